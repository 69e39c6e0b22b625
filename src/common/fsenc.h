// File names from the bytes the operating system sees back to Python text,
// as `os` decodes them: the file-system encoding with the surrogateescape
// handler, so that names with undecodable bytes round-trip. The other way,
// a path to bytes, is pagecase's path_bytes (pagecase/path_objects.h).
#pragma once

#include <string_view>

#include "common/errors.h"

namespace tw::py {

// The str that `os` would give for a file name of these bytes.
inline nb::str fs_decode(std::string_view bytes) {
    return nb::steal<nb::str>(check(
        PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()))));
}

} // namespace tw::py
