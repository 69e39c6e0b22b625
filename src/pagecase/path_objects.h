// What the native routes share with pathlib's own steps: the text `Path(raw)`
// takes from an argument, and the file tests `is_file()` and `is_dir()`.
// Whether a path object may be read natively at all is the registry's
// question (common/originals.h: PathArgument, PathText).
#pragma once

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

// `Path(path).is_file()` or `.is_dir()` of CPython 3.10 for a normalised
// path: false for what pathlib reads as absence; any other failure raises
// its OSError, with the path's text as `filename`, as pathlib's stat() does.
bool file_test(const std::string& path, FileType wanted);

} // namespace tw::pagecase
