// Temporary files of whole-file replacement; see temporary_files.h.
#include "pagecase/core/temporary_files.h"

#include <cerrno>
#include <charconv>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "pagecase/core/file_descriptor.h"

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

// Whether `ids` is the "<pid>.<tid>.tmp" that ends a temporary's name.
bool is_writer_suffix(std::string_view ids) {
    long pid = 0, tid = 0;
    return take_number(ids, '.', pid) && take_number(ids, '.', tid) && ids == kSuffix.substr(1);
}

// flock() rather than fcntl() record locks, which belong to the process and
// end when any of its descriptors of the file closes, so this process's
// threads could not tell each other's temporaries apart; and rather than
// open-file-description locks (F_OFD_SETLK), which have the same semantics as
// flock() but exist on Linux only. A flock() lock belongs to the open file
// description on Linux, macOS and the BSDs alike: another open() of the file,
// in this process or any other, finds it held, and it ends when the writer's
// descriptor closes, at exit or SIGKILL included. Linux emulates flock() on
// NFS with record locks; there a thread of the same process may take a
// sibling's lock, and that sibling's save then finds its temporary gone and
// writes it once more (atomic_file.cpp).
bool try_exclusive_lock(int fd) {
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

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

bool lock_for_writing(int fd) {
    return try_exclusive_lock(fd) || errno != EWOULDBLOCK;
}

bool lock_is_free(int fd) {
    return try_exclusive_lock(fd);
}

bool remove_if_stale(const std::string& path) {
    // Looked at before opening, so that a FIFO or a device is never opened;
    // the open descriptor is examined again, as something else may have
    // taken the name meanwhile.
    struct stat named;
    if (::lstat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) return false;
    const int flags = O_NONBLOCK | O_NOFOLLOW | O_NOCTTY;
    int error = 0;
    FileDescriptor file = open_file(path, O_RDONLY | flags, error);
    if (!file && error == EACCES) // a temporary of a write-only file's bits
        file = open_file(path, O_WRONLY | flags, error);
    if (!file) return false;
    struct stat opened;
    if (::fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || !lock_is_free(file.get()))
        return false;
    // The name may have been given to a new temporary since it was opened:
    // only the file whose lock is held here goes.
    if (::lstat(path.c_str(), &named) != 0 || !same_file(named, opened)) return false;
    return ::unlink(path.c_str()) == 0; // a failure leaves it for later
}

void remove_stale_temporaries(const std::string& folder, std::string_view name) {
    DirectoryHandle directory(::opendir(folder.c_str()));
    if (!directory) return;
    const std::string prefix = prefix_of(name);
    std::string path = folder;
    if (path.empty() || path.back() != '/') path += '/';
    const std::size_t folder_length = path.size();
    while (const dirent* entry = ::readdir(directory.get())) {
        std::string_view entry_name = entry->d_name;
        if (entry_name.size() <= prefix.size() || entry_name.substr(0, prefix.size()) != prefix ||
            !is_writer_suffix(entry_name.substr(prefix.size())))
            continue;
        path.resize(folder_length);
        path += entry_name;
        remove_if_stale(path);
    }
}

} // namespace tw::pagecase
