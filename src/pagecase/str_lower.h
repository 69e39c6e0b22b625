// Lower-casing as the interpreter does it: its str.lower(), one code point
// at a time, as the core's tables (core/lower_case.h); the code points of a
// str; and the sort key `text.lower()` of a name given as bytes.
#pragma once

#include <string_view>

#include "pagecase/core/fuzzy.h"
#include "pagecase/core/lower_case.h"
#include "pagecase/module_state.h"

namespace tw::pagecase {

// Built on first use (most of a millisecond, without the GIL) and kept for
// the life of the process; read-only, so any thread may use it.
const LowerCase& interpreter_lower_case();

// The code points of a str.
CodePoints code_points(nb::handle text);

// The sort key `text.lower()` of a name or path given as file-system bytes:
// ASCII text is lower-cased while comparing, anything else once by str.lower().
class LoweredKey {
  public:
    explicit LoweredKey(std::string_view bytes);
    bool operator<(const LoweredKey& other) const;

  private:
    std::string_view ascii_;
    nb::object lowered_; // the lower-cased str when the text is not ASCII
};

} // namespace tw::pagecase
