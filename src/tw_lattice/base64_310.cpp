// base64.urlsafe_b64decode as CPython 3.10 runs it, for the native route of
// every release (the release rule, common/originals.h): the argument taken
// as 3.10's base64 takes it, then the text decoded by the core
// (core/base64_310.h), with binascii.Error and 3.10's messages for what it
// refuses, and no warning.
#include "tw_lattice/core/base64_310.h"
#include "common/gil.h"
#include "tw_lattice/core/wipe.h"
#include "tw_lattice/module_state.h"

namespace tw::lattice {
namespace {

using tw::py::steal_checked;

// The bytes 3.10's base64 decodes from `data` (its _bytes_from_decode_data),
// or nothing where that raises: the loaded decoder then raises it, as it
// does the same way on every release.
std::optional<nb::object> decodable_bytes(nb::handle data) {
    if (PyBytes_Check(data.ptr()) || PyByteArray_Check(data.ptr())) return nb::borrow(data);
    if (PyUnicode_CheckExact(data.ptr())) {
        if (!ascii_text(data)) return std::nullopt;
        return steal_checked(PyUnicode_AsASCIIString(data.ptr()));
    }
    if (PyUnicode_Check(data.ptr())) { // a subclass's own encode
        nb::object encoded;
        try {
            encoded = data.attr("encode")("ascii");
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_UnicodeEncodeError)) throw;
            return std::nullopt;
        }
        if (PyBytes_Check(encoded.ptr()) || PyByteArray_Check(encoded.ptr())) return encoded;
        return std::nullopt;
    }
    if (!PyObject_CheckBuffer(data.ptr())) return std::nullopt;
    nb::object view = steal_checked(PyMemoryView_FromObject(data.ptr()));
    return view.attr("tobytes")();
}

[[noreturn]] void refuse(const base64::Decoded310& decoded) {
    nb::object error = nb::module_::import_("binascii").attr("Error");
    if (decoded.refusal == base64::Refusal::incorrect_padding)
        tw::py::raise_object(error, nb::str("Incorrect padding"));
    nb::object message = steal_checked(PyUnicode_FromFormat(
        "Invalid base64-encoded string: number of data characters (%zu) cannot be 1 more than "
        "a multiple of 4",
        decoded.data_characters));
    tw::py::raise_object(error, message);
}

} // namespace

nb::object urlsafe_b64decode_as_310(nb::handle data) {
    const std::optional<nb::object> bytes = decodable_bytes(data);
    if (!bytes) return nb::borrow(original::b64decode.loaded())(data);
    const bool immutable = PyBytes_Check(bytes->ptr());
    const char* text =
        immutable ? PyBytes_AS_STRING(bytes->ptr()) : PyByteArray_AS_STRING(bytes->ptr());
    const size_t size = static_cast<size_t>(tw::py::length_of(*bytes));
    // The decoded bytes before they are copied out: keys pass through here.
    SecretBuffer out(base64::decoded_bound_310(size));
    const base64::Decoded310 decoded =
        tw::py::run_native([&] { return base64::decode_as_310(text, size, out.data()); },
                           immutable ? tw::py::release_for_bytes(size) : tw::py::Gil::keep);
    if (decoded.refusal != base64::Refusal::none) refuse(decoded);
    return new_bytes(out.data(), decoded.size);
}

} // namespace tw::lattice
