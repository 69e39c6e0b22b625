// When native code may stand in for pathlib, and the pieces it shares with
// the documented steps: the text `Path(raw)` takes from an argument, and the
// file tests `is_file()` and `is_dir()`.
//
// A host's tests may replace pathlib's methods (`monkeypatch.setattr(
// pathlib.Path, "home", ...)`) or pass a Path subclass that overrides some.
// The documented steps then call those, so native code that stands in for
// them steps aside, exactly as it does for a rebound module name. What
// pathlib's classes hold for each method and property the steps call (and
// the ones those call in turn) is remembered at load; a path object counts as
// native while its class still holds exactly those.
#pragma once

#include <string>

#include "pagecase/core/paths.h"
#include "pagecase/module_state.h"

namespace tw::pagecase {

// Remembers what pathlib's classes hold; called once while the module loads,
// once pathlib_classes is filled.
void remember_pathlib_methods();

// `obj` is a pure path (PurePosixPath, PosixPath or a subclass) whose class
// holds pathlib's methods as loaded: its suffix may be read natively.
bool is_native_pure_path(nb::handle obj);

// The module's `Path` is the one bound at load and pathlib's methods are as
// loaded: `Path(text)`, `Path.home()` and the methods of the paths they make
// may be done natively.
bool path_class_native();

// `obj` is a pathlib path whose class does not hold pathlib's methods as
// loaded. `Path(obj)` takes the text of a path object from its insides, so
// such an argument is left to pathlib.
bool is_patched_path(nb::handle obj);

// The text `Path(raw)` parses from its one argument, as CPython 3.10's
// pathlib takes it: `os.fspath(raw)` forced to a str with `str()` (which runs
// a str subclass's own __str__). Raises what pathlib raises for anything
// else: the TypeError of os.fspath, or pathlib's own for bytes. Not for a
// patched path (see is_patched_path).
nb::object path_argument_text(nb::handle raw);

// `Path(path).is_file()` or `.is_dir()` of CPython 3.10 for a normalised
// path: false for what pathlib reads as absence; any other failure raises
// its OSError, with the path's text as `filename`, as pathlib's stat() does.
bool file_test(const std::string& path, FileType wanted);

} // namespace tw::pagecase
