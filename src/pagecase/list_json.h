// The bytes of a list file: `json.dumps(entries, ensure_ascii=False, indent=2)`
// encoded as UTF-8, with each lone surrogate (the only code points UTF-8
// cannot carry) written as the JSON escape \uXXXX, which loads back as the
// same code point. The text itself is the core's (core/json_render.h); this
// converts Python values into its model.
#pragma once

#include <optional>
#include <string>

#include "common/errors.h"

namespace tw::pagecase {

namespace nb = nanobind;

// Renders `value` natively for the values list files hold: dicts with str
// keys, lists, tuples, str, int, float, bool and None (exact types). Nothing
// for anything else, for a container met again inside itself or nested very
// deeply, and for a split surrogate pair: json.dumps then decides (and raises
// what it raises). Errors of the conversions json.dumps shares (an int too
// long for text) propagate.
std::optional<std::string> render_entries(nb::handle value);

// `text.encode("utf-8", "backslashreplace")`, except that a high surrogate
// directly followed by a low one raises the UnicodeEncodeError of
// `text.encode("utf-8")`: its two escapes would load back as one character.
std::string utf8_escaping_surrogates(nb::handle text);

} // namespace tw::pagecase
