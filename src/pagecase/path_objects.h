// What the native routes read of paths as pathlib's own steps would: the
// text `Path(raw)` takes from an argument, the bytes the cores take for a
// path, and the file tests `is_file()` and `is_dir()`. Whether a path object
// may be read natively at all is the registry's question (common/originals.h:
// PathArgument, PathText).
#pragma once

#include <optional>
#include <string>

#include "pagecase/core/paths.h"
#include "pagecase/module_state.h"

namespace tw::pagecase {

// The text `Path(raw)` parses from its one argument, as CPython 3.10's
// pathlib takes it on every release (the release rule, common/originals.h):
// `os.fspath(raw)` forced to a str with `str()` (which runs a str subclass's
// own __str__; 3.11 stopped calling it). Raises what pathlib raises for anything
// else: the TypeError of os.fspath, or pathlib's own for bytes. Only for an
// argument that is not a patched path (PathText).
nb::object path_argument_text(nb::handle raw);

// What to do with a path no file can have: text with a code point the
// file-system encoding lacks, or with an embedded NUL.
enum class Unnamable {
    raise,  // as the `os` call would: UnicodeEncodeError, ValueError("embedded null byte")
    refuse, // nothing: the caller refuses it, as any other path it cannot serve
};

// The bytes the cores take for `path`, a str or a path object read natively
// (PathArgument, whose text pathlib keeps): `os.fsencode(os.fspath(path))`,
// with what no file can have handled as `unnamable` says. Under
// Unnamable::raise there are always bytes.
std::optional<std::string> path_bytes(nb::handle path, Unnamable unnamable);

// `Path(path).is_file()` or `.is_dir()` of CPython 3.10 for a normalised
// path: false for what pathlib reads as absence; any other failure raises
// its OSError, with the path's text as `filename`, as pathlib's stat() does.
bool file_test(const std::string& path, FileType wanted);

} // namespace tw::pagecase
