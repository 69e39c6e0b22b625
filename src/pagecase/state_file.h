// The small files of the state directory, the lists and the access token:
// bounded reads that take anything but a regular file as damaged, and saves
// that replace the file whole. Both run without the GIL. Reads and saves
// follow a symbolic link at the file by the same rule
// (follow_trusted_links), so that another user sharing a sticky state folder
// cannot point either at a file of their choice.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "common/errors.h"
#include "pagecase/core/atomic_file.h"
#include "pagecase/core/read_file.h"

namespace tw::pagecase {

namespace nb = nanobind;

// The most of a state file that is ever read. Lists and tokens take a few
// kilobytes; a file beyond 16 MiB is damaged (or planted) and is treated as
// damaged rather than loaded into memory.
constexpr std::size_t kMaxStateFileBytes = std::size_t{16} << 20;

// The text of the state file at `path` (file-system bytes) as
// `read_text(encoding="utf-8")` gives it, line ends translated; nothing when
// the file is missing or unreadable, reached through a link that may not be
// followed, owned by someone `owner` excludes (the access token takes only
// the effective user's: a planted token would let its planter in), larger than
// kMaxStateFileBytes, not a regular file (a FIFO, a device, a folder), or not
// UTF-8.
std::optional<nb::object> read_state_text(const std::string& path, Owner owner);

// Replaces the state file at `path` with `content` (atomic_file.h). A failed
// save is silent: the caller keeps what it meant to store.
void save_state_file(const std::string& path, std::string_view content, FileMode mode);

// Raises the TypeError of `write_text(data)` when `data` is not a str.
void require_text_to_write(nb::handle data);

} // namespace tw::pagecase
