// The small result dictionaries of quick open and the folder listings, built
// with their keys in the order hosts rely on ("path", "name", "relative",
// "root"; "name", "path").
#pragma once

#include "pagecase/module_state.h"

namespace tw::pagecase {

// {"path": ..., "name": ..., "relative": ..., "root": ...}
nb::object scan_result(nb::handle path, nb::handle name, nb::handle relative, nb::handle root);

// {"name": ..., "path": ...}
nb::object directory_entry(nb::handle name, nb::handle path);

} // namespace tw::pagecase
