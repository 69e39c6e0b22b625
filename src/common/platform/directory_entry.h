// The type a directory read reports for an entry, where the system's entries
// carry one. Internal to the layer's POSIX families; a header of its own so
// that the native tests can hand it entries of either shape.
#pragma once

#include <dirent.h>
#include <optional>

#include "common/platform/platform.h"

namespace tw::platform {

// Linux, macOS and the BSDs give each entry a d_type; POSIX does not ask for
// one, and DT_UNKNOWN comes from file systems that do not record types.
// Nothing in both cases: the caller then takes an lstat of the entry, as
// os.scandir's DirEntry does. (The Windows family reads no folders: the
// native file-system route is left out there, and os.scandir runs instead.)
template <typename Entry> std::optional<FileKind> reported_kind(const Entry& entry) noexcept {
    if constexpr (requires { entry.d_type; }) {
        switch (entry.d_type) {
        case DT_DIR:
            return FileKind::directory;
        case DT_REG:
            return FileKind::regular;
        case DT_LNK:
            return FileKind::symlink;
        case DT_UNKNOWN:
            return std::nullopt;
        default:
            return FileKind::other;
        }
    } else {
        return std::nullopt;
    }
}

} // namespace tw::platform
