// The Markdown scan of quick open over resolved roots, on file-system bytes:
// os.walk top-down per root, hidden and skipped directories pruned, nothing
// entered below the depth limit, Markdown names collected up to the file cap,
// each path once across all roots. No Python headers; `run` is meant to be
// called without the GIL, and hands back the names whose Markdown test needs
// the interpreter.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "pagecase/core/name_rules.h"
#include "pagecase/core/walk.h"

namespace tw::pagecase {

struct ScanLimits {
    long long max_files; // MAX_SCAN_FILES
    long long max_depth; // MAX_SCAN_DEPTH
};

class MarkdownScan {
  public:
    MarkdownScan(NameRules rules, ScanLimits limits) : rules_(std::move(rules)), limits_(limits) {}

    // Walk this root next: an absolute, resolved path.
    void begin_root(std::string base);

    enum class Progress {
        root_done,       // the walk of the current root is over
        limit_reached,   // MAX_SCAN_FILES reached: the whole scan is over
        needs_decisions, // answer undecided() with decide(), then run again
    };
    Progress run();

    // File names of the current directory whose Markdown test needs the
    // interpreter, and the answers, in the same order.
    const std::vector<std::string_view>& undecided() const { return undecided_; }
    void decide(const std::vector<bool>& is_markdown);

    // The results, in scan order.
    std::size_t size() const { return found_.size(); }
    std::string_view path(std::size_t k) const {
        return text(found_[k].path_at, found_[k].path_end);
    }
    std::string_view name(std::size_t k) const {
        return text(found_[k].name_at, found_[k].path_end);
    }
    std::string_view relative(std::size_t k) const {
        return text(found_[k].relative_at, found_[k].path_end);
    }
    std::size_t root_index(std::size_t k) const { return found_[k].root; }
    const std::string& root(std::size_t index) const { return roots_[index]; }

  private:
    struct Found {
        std::uint32_t root;
        std::size_t path_at, relative_at, name_at, path_end; // offsets into arena_
    };
    struct Candidate {
        std::uint32_t entry; // index into the directory's entries
        Verdict verdict;
    };

    std::string_view text(std::size_t begin, std::size_t end) const {
        return std::string_view(arena_).substr(begin, end - begin);
    }
    bool limit_reached() const {
        return static_cast<long long>(found_.size()) >= limits_.max_files;
    }
    // Prunes and schedules the subdirectories, and lists the file names to
    // test; true when some of them need the interpreter.
    bool visit_directory();
    // Takes the Markdown files of the current directory; true at the limit.
    bool take_files();
    void add(std::string_view name);

    NameRules rules_;
    ScanLimits limits_;
    TreeWalk walk_;
    std::vector<std::string> roots_;
    std::vector<Found> found_;
    std::string arena_;
    // Paths already reported; kept only once a second root is walked, since
    // one walk never yields a path twice.
    std::unordered_set<std::string> seen_;
    bool deduplicate_ = false;

    std::vector<std::uint32_t> kept_;
    std::vector<Candidate> candidates_;
    std::vector<std::string_view> undecided_;
    bool files_pending_ = false;
};

} // namespace tw::pagecase
