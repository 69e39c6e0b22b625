// What the native routes of the walk and the listings take from the module's
// constants at the start of a call: SKIP_DIRS and MARKDOWN_SUFFIXES as name
// rules, the scan limits as numbers, a result limit as a slice length.
#pragma once

#include <optional>
#include <string_view>

#include "pagecase/core/name_rules.h"
#include "pagecase/module_state.h"

namespace tw::pagecase {

// SKIP_DIRS and MARKDOWN_SUFFIXES as native rules, or nothing when SKIP_DIRS
// is not a collection of str we can mirror. A suffix collection we cannot
// mirror leaves every suffix to the interpreter.
std::optional<NameRules> name_rules(nb::handle skip_dirs, nb::handle markdown_suffixes);

// MARKDOWN_SUFFIXES as native rules while it is one and the same frozenset
// (whose answers never change), for is_markdown; null for any other
// collection.
const NameRules* frozen_suffix_rules(nb::handle markdown_suffixes);

// An int constant as a number (clamped to the range of long long), or
// nothing for anything but an int.
std::optional<long long> int_constant(nb::handle value);

// `is_markdown(Path(name))` of the load-time functions, for a file name given
// as file-system bytes whose suffix the native rules cannot judge: the
// suffix is lower-cased and looked up by the interpreter.
bool markdown_name_by_steps(std::string_view name, nb::handle markdown_suffixes);

// The length `[:limit]` leaves of a sequence of `length` items, raising the
// TypeError of slicing for a limit that is neither None nor an index.
std::size_t slice_length(nb::handle limit, std::size_t length);

} // namespace tw::pagecase
