// The interpreter's str.lower(), one code point at a time, as the core's
// tables (core/lower_case.h).
#pragma once

#include "pagecase/core/lower_case.h"

namespace tw::pagecase {

// Built on first use (most of a millisecond, without the GIL) and kept for
// the life of the process; read-only, so any thread may use it.
const LowerCase& interpreter_lower_case();

} // namespace tw::pagecase
