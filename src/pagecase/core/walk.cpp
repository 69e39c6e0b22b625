// Directory reading and the top-down walk; see walk.h.
#include "pagecase/core/walk.h"

#include <cerrno>

#include "common/interruption.h"
#include "common/platform/platform.h"

namespace tw::pagecase {
namespace {

// Between batches of this many entries (a few hundred microseconds of
// reading), the code running the read is asked whether to go on: it may give
// up the GIL for a long read, or stop for a signal.
constexpr std::size_t kEntriesBetweenChecks = 1024;
// A walk with this many folders still to read is a long one (milliseconds):
// the code running it need not wait for its time budget to pass.
constexpr std::size_t kFoldersAheadOfALongWalk = 16;

EntryType type_of(platform::FileKind kind) {
    switch (kind) {
    case platform::FileKind::directory:
        return EntryType::directory;
    case platform::FileKind::regular:
        return EntryType::regular;
    case platform::FileKind::symlink:
        return EntryType::symlink;
    case platform::FileKind::vanished:
        return EntryType::vanished;
    case platform::FileKind::other:
        break;
    }
    return EntryType::other;
}

} // namespace

void DirectoryEntries::add(std::string_view name, EntryType type) {
    entries_.push_back(
        {static_cast<std::uint32_t>(names_.size()), static_cast<std::uint32_t>(name.size()), type});
    names_.append(name);
}

int read_directory(const std::string& path, DirectoryEntries& out) {
    out.clear();
    platform::Directory directory;
    if (int error = directory.open(path)) return error;
    std::string_view name;
    int error = 0;
    for (std::size_t read = 1;; ++read) {
        if (read % kEntriesBetweenChecks == 0 && tw::interruption::stop_requested()) return EINTR;
        if (!directory.next(name, error)) return error;
        // The type the read reported, with an lstat only where it reported
        // none (as DirEntry does for follow_symlinks=False).
        out.add(name, type_of(directory.kind()));
    }
}

bool is_directory(const std::string& path) {
    platform::FileInfo info;
    return platform::status(path, info) == 0 && info.kind == platform::FileKind::directory;
}

void append_name(std::string& folder, std::string_view name) {
    if (!folder.empty() && folder.back() != '/') folder.push_back('/');
    folder.append(name);
}

void TreeWalk::start(std::string top) {
    pending_.clear();
    pending_.push_back({std::move(top), 0});
}

bool TreeWalk::next() {
    while (!pending_.empty()) {
        // A long walk stops when the code that started it says so (a signal
        // handler raised); what it found so far is dropped by that code.
        if (tw::interruption::stop_requested()) return false;
        if (pending_.size() >= kFoldersAheadOfALongWalk) tw::interruption::work_is_long();
        path_ = std::move(pending_.back().path);
        depth_ = pending_.back().depth;
        pending_.pop_back();
        if (read_directory(path_, entries_) == 0) return true;
    }
    return false;
}

void TreeWalk::descend_into(const std::vector<std::uint32_t>& kept) {
    const auto& all = entries_.entries();
    for (auto index = kept.rbegin(); index != kept.rend(); ++index) {
        std::string child = path_;
        append_name(child, entries_.name(all[*index]));
        pending_.push_back({std::move(child), depth_ + 1});
    }
}

} // namespace tw::pagecase
