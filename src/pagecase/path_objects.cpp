// What the native routes share with pathlib's own steps; see path_objects.h.
#include "pagecase/path_objects.h"

#include "common/gil.h"

namespace tw::pagecase {
namespace {

// Whether the file-system encoding writes every ASCII character as its own
// byte, as every encoding of a POSIX system does: asked once.
bool ascii_encodes_as_itself() {
    static const bool itself = [] {
        char ascii[127];
        for (int k = 0; k < 127; ++k)
            ascii[k] = static_cast<char>(k + 1);
        PyObject* text = PyUnicode_FromStringAndSize(ascii, sizeof ascii);
        PyObject* encoded = text ? PyUnicode_EncodeFSDefault(text) : nullptr;
        const bool same = encoded && PyBytes_GET_SIZE(encoded) == sizeof ascii &&
                          std::string_view(PyBytes_AS_STRING(encoded), sizeof ascii) ==
                              std::string_view(ascii, sizeof ascii);
        Py_XDECREF(encoded);
        Py_XDECREF(text);
        PyErr_Clear();
        return same;
    }();
    return itself;
}

// The encoded bytes of a str of ASCII characters: those characters.
std::optional<std::string> ascii_as_encoded(nb::handle text) {
    if (!PyUnicode_Check(text.ptr())) return std::nullopt;
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text.ptr()) != 0) throw nb::python_error();
#endif
    if (!PyUnicode_IS_ASCII(text.ptr()) || !ascii_encodes_as_itself()) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text.ptr())),
                       static_cast<size_t>(PyUnicode_GET_LENGTH(text.ptr())));
}

// `os.fsencode(text)` for a str; nothing where the encoding lacks a code
// point and `unnamable` says to refuse.
std::optional<std::string> encoded(nb::handle text, Unnamable unnamable) {
    if (std::optional<std::string> ascii = ascii_as_encoded(text)) return ascii;
    PyObject* bytes = PyUnicode_EncodeFSDefault(text.ptr());
    if (!bytes) {
        if (unnamable == Unnamable::raise || !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
            throw nb::python_error();
        PyErr_Clear();
        return std::nullopt;
    }
    std::string copy(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
    Py_DECREF(bytes);
    return copy;
}

} // namespace

std::optional<std::string> path_bytes(nb::handle path, Unnamable unnamable) {
    nb::object text = PyUnicode_Check(path.ptr()) ? nb::borrow(path) : pathlib_originals.text(path);
    if (!PyUnicode_Check(text.ptr())) tw::py::raise(PyExc_TypeError, "expected a str path");
    std::optional<std::string> bytes = encoded(text, unnamable);
    if (bytes && bytes->find('\0') != std::string::npos) {
        if (unnamable == Unnamable::raise) tw::py::raise(PyExc_ValueError, "embedded null byte");
        return std::nullopt;
    }
    return bytes;
}

nb::object path_argument_text(nb::handle raw) {
    if (PyUnicode_CheckExact(raw.ptr())) return nb::borrow(raw);
    nb::object text = tw::py::steal_checked(PyOS_FSPath(raw.ptr()));
    if (!PyUnicode_Check(text.ptr())) {
        tw::py::raise_format(PyExc_TypeError,
                             "argument should be a str object or an os.PathLike object returning "
                             "str, not %R",
                             reinterpret_cast<PyObject*>(Py_TYPE(text.ptr())));
    }
    return tw::py::str_of(text);
}

bool file_test(const std::string& path, FileType wanted) {
    FileType type;
    const int error =
        tw::py::run_native([&] { return file_status(path, type); }, tw::py::Gil::keep);
    if (error) tw::py::raise_os_error(error, tw::py::fs_decode(path));
    return type == wanted;
}

} // namespace tw::pagecase
