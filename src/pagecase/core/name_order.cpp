// The order of ASCII names by their lower-cased text; see name_order.h.
#include "pagecase/core/name_order.h"

#include <algorithm>
#include <cassert>
#include <string>

#include "common/ascii.h"

namespace tw::pagecase {

std::vector<std::uint32_t> order_by_lowered_ascii(const std::vector<std::string_view>& names) {
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
    std::vector<std::uint32_t> order(names.size());
    for (std::uint32_t k = 0; k < order.size(); ++k)
        order[k] = k;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return key(a) < key(b); });
    return order;
}

} // namespace tw::pagecase
