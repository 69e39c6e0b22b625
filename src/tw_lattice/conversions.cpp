// Helpers the Python-facing files share: argument type errors, bytes made or
// read without extra copies, decoding of token-cipher results, and wiping
// bytes that held key material.
#include "tw_lattice/core/wipe.h"
#include "tw_lattice/module_state.h"

namespace tw::lattice {

nb::object uninitialised_bytes(size_t size) {
    if (size > static_cast<size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    return tw::py::steal_checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
}

void shorten_fresh_bytes(nb::object& bytes, size_t size) {
    if (size == 0) {
        bytes = uninitialised_bytes(0); // the shared empty bytes, as everywhere else
        return;
    }
    Py_SET_SIZE(bytes.ptr(), static_cast<Py_ssize_t>(size));
    PyBytes_AS_STRING(bytes.ptr())[size] = '\0';
}

std::optional<std::string_view> ascii_text(nb::handle text) {
#if PY_VERSION_HEX < 0x030C0000
    tw::py::require(PyUnicode_READY(text.ptr()));
#endif
    if (!PyUnicode_IS_ASCII(text.ptr())) return std::nullopt;
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(text.ptr())),
                            static_cast<size_t>(PyUnicode_GET_LENGTH(text.ptr())));
}

nb::object decoded_text(nb::handle data) {
    if (PyBytes_Check(data.ptr()))
        return tw::py::steal_checked(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(data.ptr()),
                                                          PyBytes_GET_SIZE(data.ptr()), nullptr));
    return data.attr("decode")();
}

void raise_argument_type(const char* function, const char* argument, const char* expected,
                         nb::handle value) {
    tw::py::raise_format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", function,
                         argument, expected, Py_TYPE(value.ptr())->tp_name);
}

KeyBytes::~KeyBytes() {
    // One reference, ours: no one else can read the bytes any more. Shared
    // singletons and immortal objects never have a count of one.
    PyObject* bytes = bytes_.ptr();
    if (bytes && PyBytes_CheckExact(bytes) && Py_REFCNT(bytes) == 1)
        tw::lattice::secure_wipe(PyBytes_AS_STRING(bytes),
                                 static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
}

} // namespace tw::lattice
