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

// The bytes of `text` (a str) in the file-system encoding. Returns nothing when
// the text cannot be represented (a lone surrogate outside U+DC80..U+DCFF);
// other errors propagate.
inline std::optional<std::string> fs_encode(nb::handle text) {
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
