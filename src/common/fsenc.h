// File names between Python text and the bytes the operating system sees.
//
// The conversions are the ones `os` uses: the file-system encoding with the
// surrogateescape handler, so that names with undecodable bytes round-trip.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/errors.h"

namespace tw::py {

namespace detail {

// Whether the file-system encoding writes every ASCII character as its own
// byte, as every encoding of a POSIX system does: asked once.
inline bool ascii_encodes_as_itself() {
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
inline std::optional<std::string> ascii_as_encoded(nb::handle text) {
    if (!PyUnicode_Check(text.ptr())) return std::nullopt;
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text.ptr()) != 0) throw nb::python_error();
#endif
    if (!PyUnicode_IS_ASCII(text.ptr()) || !ascii_encodes_as_itself()) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text.ptr())),
                       static_cast<size_t>(PyUnicode_GET_LENGTH(text.ptr())));
}

} // namespace detail

// The bytes of `text` (a str) in the file-system encoding. Returns nothing when
// the text cannot be represented (a lone surrogate outside U+DC80..U+DCFF);
// other errors propagate.
inline std::optional<std::string> fs_encode(nb::handle text) {
    if (std::optional<std::string> ascii = detail::ascii_as_encoded(text)) return ascii;
    PyObject* encoded = PyUnicode_EncodeFSDefault(text.ptr());
    if (!encoded) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            PyErr_Clear();
            return std::nullopt;
        }
        throw nb::python_error();
    }
    std::string bytes(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
    Py_DECREF(encoded);
    return bytes;
}

// Like fs_encode, but an unrepresentable name raises the UnicodeEncodeError.
inline std::string fs_encode_or_raise(nb::handle text) {
    if (std::optional<std::string> ascii = detail::ascii_as_encoded(text)) return *std::move(ascii);
    nb::object encoded = steal_checked(PyUnicode_EncodeFSDefault(text.ptr()));
    return std::string(PyBytes_AS_STRING(encoded.ptr()),
                       static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

// The str that `os` would give for a file name of these bytes.
inline nb::str fs_decode(std::string_view bytes) {
    return nb::steal<nb::str>(check(
        PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()))));
}

inline bool has_nul(std::string_view bytes) {
    return bytes.find('\0') != std::string_view::npos;
}

} // namespace tw::py
