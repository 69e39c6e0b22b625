// The name rules: NameSet against a std::set, and the hidden-or-skipped and
// Markdown tests against their plain definitions (the suffix of pathlib's
// `suffix`, `name.startswith(".")`, membership in SKIP_DIRS), for the module's own
// constants and for sets made up from the input.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <set>
#include <string>

#include "check.h"
#include "pagecase/core/name_rules.h"

namespace {

using tw::pagecase::NameRules;
using tw::pagecase::Verdict;

const char* const kSkipDirs[] = {
    ".git",  ".hg",   ".svn",        "node_modules",  "__pycache__",   ".venv",
    "venv",  ".tox",  ".mypy_cache", ".pytest_cache", ".ruff_cache",   "dist",
    "build", ".idea", ".vscode",     ".cache",        "site-packages", ".DS_Store"};
const char* const kMarkdownSuffixes[] = {".md", ".markdown", ".mdown", ".mkd", ".mdtxt", ".text"};

struct Reference {
    std::set<std::string, std::less<>> skip_dirs, suffixes;
    bool every_suffix_asks = false;

    // `Path(name).suffix.lower() in MARKDOWN_SUFFIXES`, with "ask" where
    // lower-casing is more than ASCII.
    Verdict markdown(std::string_view name) const {
        if (every_suffix_asks) return Verdict::ask;
        const size_t dot = name.rfind('.');
        if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) {
            return suffixes.count("") ? Verdict::yes : Verdict::no;
        }
        std::string suffix(name.substr(dot));
        for (char& c : suffix) {
            if (static_cast<unsigned char>(c) >= 0x80) return Verdict::ask;
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        return suffixes.count(suffix) ? Verdict::yes : Verdict::no;
    }

    bool hidden_or_skipped(std::string_view name) const {
        return (!name.empty() && name[0] == '.') || skip_dirs.count(name) > 0;
    }
};

void add(NameRules& rules, Reference& reference, bool suffix, std::string name) {
    (suffix ? reference.suffixes : reference.skip_dirs).insert(name);
    (suffix ? rules.markdown_suffixes : rules.skip_dirs).add(std::move(name));
}

size_t longest(const std::set<std::string, std::less<>>& names) {
    size_t out = 0;
    for (const std::string& name : names)
        out = std::max(out, name.size());
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    NameRules rules;
    Reference reference;
    if (input.ConsumeBool()) { // the module's constants
        for (const char* name : kSkipDirs)
            add(rules, reference, false, name);
        for (const char* suffix : kMarkdownSuffixes)
            add(rules, reference, true, suffix);
    }
    const int made_up = input.ConsumeIntegralInRange(0, 8);
    for (int k = 0; k < made_up; ++k) {
        const bool suffix = input.ConsumeBool();
        add(rules, reference, suffix, input.ConsumeRandomLengthString(16));
    }
    rules.every_suffix_asks = reference.every_suffix_asks =
        input.ConsumeBool() && input.ConsumeBool();
    TW_FUZZ_CHECK(rules.skip_dirs.longest() == longest(reference.skip_dirs));
    TW_FUZZ_CHECK(rules.markdown_suffixes.longest() == longest(reference.suffixes));

    while (input.remaining_bytes() > 0) {
        const std::string name = input.ConsumeRandomLengthString(32);
        TW_FUZZ_CHECK(rules.skip_dirs.contains(name) == (reference.skip_dirs.count(name) > 0));
        TW_FUZZ_CHECK(rules.markdown_suffixes.contains(name) ==
                      (reference.suffixes.count(name) > 0));
        TW_FUZZ_CHECK(rules.hidden_or_skipped(name) == reference.hidden_or_skipped(name));
        TW_FUZZ_CHECK(rules.markdown(name) == reference.markdown(name));
    }
    return 0;
}
