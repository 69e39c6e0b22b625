// The order of ASCII names by their lower-cased text: what
// `sorted(names, key=str.lower)` gives when every name is ASCII, stable, so
// names equal once lower-cased keep their order. No Python headers: folder
// listings sort their entries with it without the GIL.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tw::pagecase {

// The indices of `names` in that order, or nothing when the work was told to
// stop (tw::interruption): it sorts in steps of a few milliseconds at most,
// asking between them. Every name is ASCII.
std::optional<std::vector<std::uint32_t>>
order_by_lowered_ascii(const std::vector<std::string_view>& names);

} // namespace tw::pagecase
