// Name tests on file-system bytes; see name_rules.h.
#include "pagecase/core/name_rules.h"

#include <algorithm>

#include "common/ascii.h"
#include "pagecase/core/paths.h"

namespace tw::pagecase {

namespace {

// Shorter names first, then bytewise: most comparisons end at the lengths.
inline bool shorter_or_before(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return a.size() < b.size();
    return a.compare(b) < 0;
}

} // namespace

void NameSet::add(std::string name) {
    auto at = std::lower_bound(sorted_.begin(), sorted_.end(), name, shorter_or_before);
    if (at != sorted_.end() && *at == name) return;
    longest_ = std::max(longest_, name.size());
    sorted_.insert(at, std::move(name));
}

bool NameSet::contains(std::string_view name) const {
    if (name.size() > longest_) return false;
    if (sorted_.size() <= kScanned) {
        for (const std::string& held : sorted_)
            if (held.size() == name.size() && std::equal(held.begin(), held.end(), name.begin()))
                return true;
        return false;
    }
    auto at = std::lower_bound(sorted_.begin(), sorted_.end(), name,
                               [](const std::string& held, std::string_view sought) {
                                   return shorter_or_before(held, sought);
                               });
    return at != sorted_.end() && std::string_view(*at) == name;
}

Verdict NameRules::markdown(std::string_view name) const {
    if (every_suffix_asks) return Verdict::ask;
    std::string_view suffix = suffix_of(name);
    for (char c : suffix)
        if (static_cast<unsigned char>(c) >= 0x80) return Verdict::ask;
    if (suffix.size() > markdown_suffixes.longest()) return Verdict::no;
    char lowered[kShortSuffix];
    std::string longer;
    char* out = lowered;
    if (suffix.size() > sizeof lowered) {
        longer.resize(suffix.size());
        out = longer.data();
    }
    for (std::size_t k = 0; k < suffix.size(); ++k)
        out[k] = static_cast<char>(tw::ascii::lower(static_cast<unsigned char>(suffix[k])));
    return markdown_suffixes.contains(std::string_view(out, suffix.size())) ? Verdict::yes
                                                                            : Verdict::no;
}

} // namespace tw::pagecase
