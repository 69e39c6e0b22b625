// The order of ASCII names by their lower-cased text: what
// `sorted(names, key=str.lower)` gives when every name is ASCII, stable, so
// names equal once lower-cased keep their order. No Python headers: folder
// listings sort their entries with it without the GIL.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace tw::pagecase {

// The indices of `names` in that order. Every name is ASCII.
std::vector<std::uint32_t> order_by_lowered_ascii(const std::vector<std::string_view>& names);

} // namespace tw::pagecase
