// Name tests on file-system bytes; see name_rules.h.
#include "pagecase/core/name_rules.h"

#include <algorithm>

#include "common/ascii.h"
#include "pagecase/core/paths.h"

namespace tw::pagecase {

void NameSet::add(std::string name) {
    auto at = std::lower_bound(sorted_.begin(), sorted_.end(), name);
    if (at != sorted_.end() && *at == name) return;
    longest_ = std::max(longest_, name.size());
    sorted_.insert(at, std::move(name));
}

bool NameSet::contains(std::string_view name) const {
    if (name.size() > longest_) return false;
    auto at = std::lower_bound(sorted_.begin(), sorted_.end(), name, std::less<>());
    return at != sorted_.end() && *at == name;
}

Verdict NameRules::markdown(std::string_view name) const {
    if (every_suffix_asks) return Verdict::ask;
    std::string_view suffix = suffix_of(name);
    for (char c : suffix)
        if (static_cast<unsigned char>(c) >= 0x80) return Verdict::ask;
    if (suffix.size() > markdown_suffixes.longest()) return Verdict::no;
    std::string lowered(suffix);
    tw::ascii::lower_in_place(lowered);
    return markdown_suffixes.contains(lowered) ? Verdict::yes : Verdict::no;
}

} // namespace tw::pagecase
