// The JSON files of the persisted lists: loading with tolerance of damage,
// and saving by whole-file replacement.
#pragma once

#include "pagecase/module_state.h"

namespace tw::pagecase {

// `entry.get("path")`.
nb::object entry_path(nb::handle entry);

// The entries stored at `target`: the dicts with a true "path" of the file's
// top-level JSON array, in file order. A file that is missing, unreadable,
// not UTF-8, not JSON or not an array gives an empty list; other errors
// propagate.
nb::list load_entries(nb::handle target);

// The bytes of the file for `entries`: json.dumps(entries,
// ensure_ascii=False, indent=2), its errors propagating, encoded as UTF-8
// with lone surrogates escaped (list_json.h).
std::string render_file(nb::handle entries);

// Replaces the file at `path` with `content`; a failed write is silent.
void write_file(nb::handle path, const std::string& content);

// Called once at load: json.dumps as bound then, which the native rendering
// stands in for.
void remember_json_dumps();

} // namespace tw::pagecase
