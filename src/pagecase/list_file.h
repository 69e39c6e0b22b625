// The JSON files of the persisted lists: loading with tolerance of damage,
// and saving by whole-file replacement.
#pragma once

#include "pagecase/module_state.h"

namespace tw::pagecase {

// `entry.get("path")`.
nb::object entry_path(nb::handle entry);

// The entries stored at `target`: the dicts with a true "path" of the file's
// top-level JSON array, in file order. A file that is missing, unreadable,
// not UTF-8, not JSON, nested too deeply for json.loads or not an array gives
// an empty list, and so does a file too large for a list, anything but a
// regular file, or one reached through a link another user planted
// (state_file.h); other errors propagate.
nb::list load_entries(nb::handle target);

// `self.path.write_text(json.dumps(self.entries, ensure_ascii=False,
// indent=2), encoding="utf-8")` with an OSError of the write ignored. The
// rendering's errors propagate before the file is touched; the file is
// replaced whole, its text encoded as UTF-8 with lone surrogates escaped
// (list_json.h), but never where a link may not be followed nor where
// anything but a regular file stands (atomic_file.h).
void save_entries(nb::handle self);

} // namespace tw::pagecase
