// Lower-casing tables; see lower_case.h.
#include "pagecase/core/lower_case.h"

#include <algorithm>

namespace tw::pagecase {

LowerCase::LowerCase(SimpleMapping simple, std::vector<Expansion> expansions, Contextual contextual)
    : simple_(simple), expansions_(std::move(expansions)), contextual_(contextual),
      index_(kTableEnd >> 8, 0), entries_(256, 0) {
    auto is_special = [this](std::uint32_t c) {
        return c == contextual_.from ||
               std::any_of(expansions_.begin(), expansions_.end(),
                           [c](const Expansion& e) { return e.from == c; });
    };
    for (const Expansion& e : expansions_)
        expansion_sources_.push_back(e.from);
    std::int32_t block[256];
    for (std::uint32_t first = 0; first < kTableEnd; first += 256) {
        bool unchanged = true;
        for (std::uint32_t k = 0; k < 256; ++k) {
            const std::uint32_t c = first + k;
            const std::uint32_t lowered = simple(c);
            const bool special = is_special(c);
            block[k] = (static_cast<std::int32_t>(lowered) - static_cast<std::int32_t>(c)) * 2 +
                       (special ? kSpecial : 0);
            unchanged = unchanged && block[k] == 0;
            if (!special && lowered != c) lowered_sources_.emplace_back(lowered, c);
        }
        if (unchanged) continue;
        index_[first >> 8] = static_cast<std::uint16_t>(entries_.size() >> 8);
        entries_.insert(entries_.end(), block, block + 256);
    }

    for (const Expansion& e : expansions_)
        for (std::size_t k = 0; k < e.to.size; ++k)
            lowered_sources_.emplace_back(e.to.points[k], e.from);
    for (std::uint32_t lowered : contextual_.forms)
        lowered_sources_.emplace_back(lowered, contextual_.from);
    std::sort(lowered_sources_.begin(), lowered_sources_.end());
    lowered_sources_.erase(std::unique(lowered_sources_.begin(), lowered_sources_.end()),
                           lowered_sources_.end());

    for (int b = 0; b < 256; ++b)
        latin1_.sources[b][0] = latin1_.sources[b][1] = ByteFolding::kNone;
    for (std::uint32_t b = 0; b < 256 && latin1_valid_; ++b) {
        const LowerForm own = form(b);
        latin1_valid_ = !is_special(b) && own.size == 1 && own.points[0] < 256;
        if (!latin1_valid_) break;
        latin1_.lower[b] = static_cast<std::uint8_t>(own.points[0]);
        std::int16_t* sources = latin1_.sources[own.points[0]];
        if (sources[1] != ByteFolding::kNone) latin1_valid_ = false;
        sources[sources[0] == ByteFolding::kNone ? 0 : 1] = static_cast<std::int16_t>(b);
    }

    // Runs of sources_ by lowered code point, indexed as the forms are.
    source_index_.assign(kTableEnd >> 8, 0);
    source_runs_.assign(256, 0);
    auto next = lowered_sources_.begin();
    for (std::uint32_t first = 0; first < kTableEnd; first += 256) {
        if (next == lowered_sources_.end() || next->first >= first + 256) continue;
        source_index_[first >> 8] = static_cast<std::uint16_t>(source_runs_.size() >> 8);
        source_runs_.resize(source_runs_.size() + 256, 0);
        std::uint32_t* runs = source_runs_.data() + source_runs_.size() - 256;
        for (; next != lowered_sources_.end() && next->first < first + 256; ++next) {
            std::uint32_t& run = runs[next->first - first];
            if (run == 0) run = static_cast<std::uint32_t>(sources_.size()) << 8;
            sources_.push_back(next->second);
            // More sources than a scan takes are never read: the count stops
            // there, within its byte.
            if ((run & 0xFF) <= kMaxScanValues) ++run;
        }
    }
}

LowerForm LowerCase::special_form(std::uint32_t c) const {
    for (const Expansion& e : expansions_)
        if (e.from == c) return e.to;
    if (c == contextual_.from) return {{contextual_.forms[0]}, 1};
    return {{simple_(c)}, 1};
}

} // namespace tw::pagecase
