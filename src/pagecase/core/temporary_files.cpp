// Temporary files of whole-file replacement; see temporary_files.h.
#include "pagecase/core/temporary_files.h"

#include <cerrno>
#include <charconv>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tw::pagecase {
namespace {

// Room left in a 255-byte file name for ".<pid>.<tid>.tmp" and the dots.
constexpr std::size_t kMaxNameInTemporary = 200;
constexpr std::string_view kSuffix = ".tmp";

// ".<name>." as the temporary files of `name` begin.
std::string prefix_of(std::string_view name) {
    std::string prefix = ".";
    prefix += name.substr(0, kMaxNameInTemporary);
    prefix += '.';
    return prefix;
}

// Reads "<digits><end>" from the front of `text`, leaving what follows.
bool take_number(std::string_view& text, char end, long& value) {
    auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || stop == text.data() || stop == text.data() + text.size() ||
        *stop != end || value <= 0)
        return false;
    text.remove_prefix(static_cast<std::size_t>(stop - text.data()) + 1);
    return true;
}

// Whether "<pid>.<tid>.tmp" names a thread that no longer exists. A thread
// that exists but belongs to another user (EPERM) counts as alive.
bool writer_is_gone(std::string_view ids) {
    long pid = 0, tid = 0;
    if (!take_number(ids, '.', pid) || !take_number(ids, '.', tid) || ids != kSuffix.substr(1))
        return false;
    return ::syscall(SYS_tgkill, pid, tid, 0) != 0 && errno == ESRCH;
}

struct CloseDirectory {
    void operator()(DIR* directory) const noexcept { ::closedir(directory); }
};

} // namespace

std::string temporary_path(const std::string& folder, std::string_view name) {
    std::string path = folder;
    if (path.empty() || path.back() != '/') path += '/';
    path += prefix_of(name);
    path += std::to_string(::getpid());
    path += '.';
    path += std::to_string(static_cast<long>(::syscall(SYS_gettid)));
    path += kSuffix;
    return path;
}

void remove_stale_temporaries(const std::string& folder, std::string_view name) {
    std::unique_ptr<DIR, CloseDirectory> directory(::opendir(folder.c_str()));
    if (!directory) return;
    const std::string prefix = prefix_of(name);
    while (const dirent* entry = ::readdir(directory.get())) {
        std::string_view entry_name = entry->d_name;
        if (entry_name.size() <= prefix.size() || entry_name.substr(0, prefix.size()) != prefix)
            continue;
        if (writer_is_gone(entry_name.substr(prefix.size())))
            ::unlinkat(::dirfd(directory.get()), entry->d_name, 0); // a failure leaves it for later
    }
}

} // namespace tw::pagecase
