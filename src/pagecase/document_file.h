// Reading a document file and decoding its text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/errors.h"
#include "common/gil.h"

namespace tw::pagecase {

namespace nb = nanobind;

// The text of document bytes: UTF-8, invalid sequences replaced by U+FFFD only
// when strict decoding fails, one leading byte-order mark dropped.
nb::object decode_document(std::string_view bytes);

// The same steps for whatever a host's read_bytes() returned:
// `raw.decode("utf-8")`, on UnicodeDecodeError `raw.decode("utf-8",
// errors="replace")`, then one leading U+FEFF dropped; the errors of those
// calls (AttributeError for an object without `decode`) propagate.
nb::object decode_read_bytes(nb::handle raw);

// The largest byte count a document may have under the module's size limit
// (any number object; a non-number limit imposes no cap of its own).
int64_t byte_cap(nb::handle limit);

// Reads the whole file at `path` and decodes it. Nothing when opening or
// reading fails, or when more than `cap` bytes turn up; never holds more
// than `cap` + 1 bytes. Whether the lock is given up is decided by what the
// opened descriptor holds, never by an earlier stat: a regular file by its
// size (release_for_file), anything else (a FIFO waiting for its writer, a
// device) always. Memory running out raises MemoryError.
std::optional<nb::object> read_document_text(const std::string& path, int64_t cap);

} // namespace tw::pagecase
