// Directory reading and the top-down walk; see walk.h.
#include "pagecase/core/walk.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>

#include "common/interruption.h"
#include "pagecase/core/file_descriptor.h"

namespace tw::pagecase {
namespace {

// Between batches of this many entries (a few hundred microseconds of
// reading), the code running the read is asked whether to go on: it may give
// up the GIL for a long read, or stop for a signal.
constexpr std::size_t kEntriesBetweenChecks = 1024;

EntryType type_of_mode(mode_t mode) {
    if (S_ISDIR(mode)) return EntryType::directory;
    if (S_ISREG(mode)) return EntryType::regular;
    if (S_ISLNK(mode)) return EntryType::symlink;
    return EntryType::other;
}

// The entry's type from the read, with an lstat only when the file system
// does not report it (as DirEntry does for follow_symlinks=False).
EntryType type_of(DIR* dir, const struct dirent* entry) {
    switch (entry->d_type) {
    case DT_DIR:
        return EntryType::directory;
    case DT_REG:
        return EntryType::regular;
    case DT_LNK:
        return EntryType::symlink;
    case DT_UNKNOWN: {
        struct stat st;
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return EntryType::vanished;
        return type_of_mode(st.st_mode);
    }
    default:
        return EntryType::other;
    }
}

bool is_dot_or_dot_dot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

} // namespace

void DirectoryEntries::add(std::string_view name, EntryType type) {
    entries_.push_back(
        {static_cast<std::uint32_t>(names_.size()), static_cast<std::uint32_t>(name.size()), type});
    names_.append(name);
}

int read_directory(const std::string& path, DirectoryEntries& out) {
    out.clear();
    DirectoryHandle dir(::opendir(path.c_str()));
    if (!dir) return errno;
    for (std::size_t read = 1;; ++read) {
        if (read % kEntriesBetweenChecks == 0 && tw::interruption::stop_requested()) return EINTR;
        errno = 0;
        const struct dirent* entry = ::readdir(dir.get());
        if (!entry) return errno;
        if (!is_dot_or_dot_dot(entry->d_name)) out.add(entry->d_name, type_of(dir.get(), entry));
    }
}

bool is_directory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
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
