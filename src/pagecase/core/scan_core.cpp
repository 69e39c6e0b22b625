// The Markdown scan on file-system bytes; see scan_core.h.
#include "pagecase/core/scan_core.h"

namespace tw::pagecase {

void MarkdownScan::begin_root(std::string base) {
    if (!roots_.empty() && !deduplicate_) {
        deduplicate_ = true;
        for (std::size_t k = 0; k < found_.size(); ++k)
            seen_.emplace(path(k));
    }
    roots_.push_back(base);
    walk_.start(std::move(base));
    files_pending_ = false;
}

MarkdownScan::Progress MarkdownScan::run() {
    for (;;) {
        if (!files_pending_) {
            if (!walk_.next()) return Progress::root_done;
            if (limit_reached()) return Progress::limit_reached;
            files_pending_ = true;
            if (visit_directory()) return Progress::needs_decisions;
        }
        files_pending_ = false;
        if (take_files()) return Progress::limit_reached;
    }
}

bool MarkdownScan::visit_directory() {
    const DirectoryEntries& directory = walk_.entries();
    const auto& entries = directory.entries();
    kept_.clear();
    candidates_.clear();
    undecided_.clear();
    bool descend = walk_.depth() < limits_.max_depth;
    for (std::uint32_t k = 0; k < entries.size(); ++k) {
        std::string_view name = directory.name(entries[k]);
        if (entries[k].type == EntryType::directory) {
            if (descend && !rules_.hidden_or_skipped(name)) kept_.push_back(k);
            continue;
        }
        // Everything else is among os.walk's file names, links to
        // directories too until a Markdown name makes the difference.
        Verdict verdict = rules_.markdown(name);
        if (verdict == Verdict::no) continue;
        candidates_.push_back({k, verdict});
        if (verdict == Verdict::ask) undecided_.push_back(name);
    }
    walk_.descend_into(kept_);
    return !undecided_.empty();
}

void MarkdownScan::decide(const std::vector<bool>& is_markdown) {
    std::size_t next = 0;
    for (Candidate& candidate : candidates_)
        if (candidate.verdict == Verdict::ask)
            candidate.verdict =
                next < is_markdown.size() && is_markdown[next++] ? Verdict::yes : Verdict::no;
}

bool MarkdownScan::take_files() {
    const DirectoryEntries& directory = walk_.entries();
    for (const Candidate& candidate : candidates_) {
        if (candidate.verdict != Verdict::yes) continue;
        const DirectoryEntries::Entry& entry = directory.entries()[candidate.entry];
        std::string_view name = directory.name(entry);
        if (entry.type == EntryType::symlink) {
            // os.walk lists a link to a directory among the directories.
            std::string target = walk_.path();
            append_name(target, name);
            if (is_directory(target)) continue;
        }
        add(name);
        if (limit_reached()) return true;
    }
    return false;
}

void MarkdownScan::add(std::string_view name) {
    const std::string& base = roots_.back();
    std::size_t path_at = arena_.size();
    arena_.append(walk_.path());
    append_name(arena_, name);
    std::size_t path_end = arena_.size();
    if (deduplicate_ && !seen_.emplace(text(path_at, path_end)).second) {
        arena_.resize(path_at);
        return;
    }
    std::size_t relative_at = path_at + base.size() + (base.back() == '/' ? 0 : 1);
    found_.push_back({static_cast<std::uint32_t>(roots_.size() - 1), path_at, relative_at,
                      path_end - name.size(), path_end});
}

} // namespace tw::pagecase
