// The order of ASCII names by their lower-cased text; see name_order.h.
#include "pagecase/core/name_order.h"

#include <algorithm>
#include <cassert>
#include <string>

#include "common/ascii.h"
#include "common/interruption.h"

namespace tw::pagecase {

std::optional<std::vector<std::uint32_t>>
order_by_lowered_ascii(const std::vector<std::string_view>& names) {
    // Lower-cased copies side by side, compared as bytes: ASCII code points
    // order as their bytes do.
    std::string lowered;
    std::size_t total = 0;
    for (std::string_view name : names)
        total += name.size();
    lowered.reserve(total);
    std::vector<std::size_t> starts;
    starts.reserve(names.size() + 1);
    for (std::string_view name : names) {
        assert(tw::ascii::is_ascii(name));
        starts.push_back(lowered.size());
        for (char c : name)
            lowered.push_back(tw::ascii::lower(c));
    }
    starts.push_back(lowered.size());
    auto key = [&](std::uint32_t k) {
        return std::string_view(lowered).substr(starts[k], starts[k + 1] - starts[k]);
    };
    auto before = [&](std::uint32_t a, std::uint32_t b) { return key(a) < key(b); };
    std::vector<std::uint32_t> order(names.size());
    for (std::uint32_t k = 0; k < order.size(); ++k)
        order[k] = k;

    // Runs sorted one by one, then merged pairwise pass by pass: a stable
    // merge sort whose steps each take a few milliseconds at most.
    constexpr std::size_t kRun = 8192;
    const auto at = [&](std::size_t k) { return order.begin() + static_cast<std::ptrdiff_t>(k); };
    for (std::size_t start = 0; start < order.size(); start += kRun) {
        if (tw::interruption::stop_requested()) return std::nullopt;
        std::stable_sort(at(start), at(std::min(start + kRun, order.size())), before);
    }
    std::vector<std::uint32_t> merged(order.size());
    for (std::size_t width = kRun; width < order.size(); width *= 2) {
        for (std::size_t start = 0; start < order.size(); start += 2 * width) {
            if (tw::interruption::stop_requested()) return std::nullopt;
            const std::size_t middle = std::min(start + width, order.size());
            const std::size_t end = std::min(start + 2 * width, order.size());
            std::merge(at(start), at(middle), at(middle), at(end),
                       merged.begin() + static_cast<std::ptrdiff_t>(start), before);
        }
        order.swap(merged);
    }
    return order;
}

} // namespace tw::pagecase
