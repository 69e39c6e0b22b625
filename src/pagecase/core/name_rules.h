// The name tests of the walk and the listings, on file-system bytes: hidden
// or skipped directory names, and the Markdown suffix test for names whose
// suffix is ASCII. A suffix with other characters needs the interpreter's own
// lower-casing (the Kelvin sign lower-cases to "k"), so it is answered "ask".
// No Python headers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tw::pagecase {

enum class Verdict : unsigned char { no, yes, ask };

// A set of names compared as whole byte strings, case-sensitively.
class NameSet {
  public:
    void add(std::string name);
    bool contains(std::string_view name) const;
    std::size_t longest() const { return longest_; }

  private:
    // Sets this small are scanned: most names differ in length.
    static constexpr std::size_t kScanned = 16;

    std::vector<std::string> sorted_;
    std::size_t longest_ = 0;
};

struct NameRules {
    // Suffixes up to this long are lowered on the stack.
    static constexpr std::size_t kShortSuffix = 32;

    NameSet skip_dirs;              // SKIP_DIRS, encoded
    NameSet markdown_suffixes;      // the ASCII members of MARKDOWN_SUFFIXES
    bool every_suffix_asks = false; // the suffix set is not one we can mirror

    // `name.startswith(".") or name in SKIP_DIRS`
    bool hidden_or_skipped(std::string_view name) const {
        return (!name.empty() && name.front() == '.') || skip_dirs.contains(name);
    }

    // `Path(name).suffix.lower() in MARKDOWN_SUFFIXES`, or ask.
    Verdict markdown(std::string_view name) const;
};

} // namespace tw::pagecase
