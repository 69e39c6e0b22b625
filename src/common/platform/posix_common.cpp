// What Linux and the other POSIX systems share: the file, folder, user and
// clock calls, which have the same form on both (the calls that differ are in
// linux.cpp and posix.cpp). Windows has none of these in this form: its
// family answers ENOSYS for the file-system calls (windows.cpp).
#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/platform/directory_entry.h"
#include "common/platform/family.h"

namespace tw::platform {
namespace {

int failure() noexcept {
    return errno ? errno : EIO;
}

FileKind kind_of_mode(mode_t mode) noexcept {
    if (S_ISREG(mode)) return FileKind::regular;
    if (S_ISDIR(mode)) return FileKind::directory;
    if (S_ISLNK(mode)) return FileKind::symlink;
    return FileKind::other;
}

void fill(const struct stat& status, FileInfo& info) noexcept {
    info.kind = kind_of_mode(status.st_mode);
    info.mode = static_cast<unsigned>(status.st_mode & 07777);
    info.owner = static_cast<UserId>(status.st_uid);
    info.device = static_cast<std::uint64_t>(status.st_dev);
    info.inode = static_cast<std::uint64_t>(status.st_ino);
    info.links = static_cast<std::uint64_t>(status.st_nlink);
    info.size = static_cast<std::int64_t>(status.st_size);
    family::take_modification_time(status, info);
}

int open_flags(unsigned flags) noexcept {
    int native = (flags & kWriteOnly) ? O_WRONLY : O_RDONLY;
    if (flags & kCreate) native |= O_CREAT;
    if (flags & kExclusive) native |= O_EXCL;
    if (flags & kTruncate) native |= O_TRUNC;
    if (flags & kNoFollow) native |= O_NOFOLLOW;
    if (flags & kNonBlocking) native |= O_NONBLOCK;
    if (flags & kNoControllingTerminal) native |= O_NOCTTY;
    return native | O_CLOEXEC;
}

// A passwd entry's home folder, the buffer grown while the entry does not
// fit (getpwnam_r and getpwuid_r take the same arguments after the first).
template <typename Lookup> int home_from_passwd(Lookup lookup, std::string& home) {
    struct passwd entry;
    struct passwd* result = nullptr;
    std::string buffer(1024, '\0');
    for (;;) {
        int error = lookup(&entry, buffer.data(), buffer.size(), &result);
        if (error == ERANGE && buffer.size() < (std::size_t{1} << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error) return error;
        if (!result || !result->pw_dir) return ENOENT;
        home = result->pw_dir;
        return 0;
    }
}

} // namespace

// ------------------------------------------------------------ the process

int wall_clock(std::int64_t& nanoseconds) noexcept {
    // time.time() reads CLOCK_REALTIME on every POSIX system; Windows reads
    // the system time as a FILETIME instead.
    timespec now;
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return failure();
    nanoseconds = std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
    return 0;
}

// ----------------------------------------------------------------- users

UserId effective_user() noexcept {
    return static_cast<UserId>(::geteuid());
}

int home_of_current_user(std::string& home) {
    const uid_t user = ::getuid();
    return home_from_passwd(
        [user](passwd* entry, char* buffer, std::size_t size, passwd** result) {
            return ::getpwuid_r(user, entry, buffer, size, result);
        },
        home);
}

int home_of_user(const std::string& name, std::string& home) {
    return home_from_passwd(
        [&name](passwd* entry, char* buffer, std::size_t size, passwd** result) {
            return ::getpwnam_r(name.c_str(), entry, buffer, size, result);
        },
        home);
}

// ------------------------------------------------------------ file status

int status(const std::string& path, FileInfo& info) {
    struct stat found;
    if (::stat(path.c_str(), &found) != 0) return failure();
    fill(found, info);
    return 0;
}

int link_status(const std::string& path, FileInfo& info) {
    struct stat found;
    if (::lstat(path.c_str(), &found) != 0) return failure();
    fill(found, info);
    return 0;
}

int open_status(int fd, FileInfo& info) {
    struct stat found;
    if (::fstat(fd, &found) != 0) return failure();
    fill(found, info);
    return 0;
}

int read_link(const std::string& path, std::string& target) {
    target.assign(256, '\0');
    for (;;) {
        ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n < 0) return failure();
        if (static_cast<std::size_t>(n) < target.size()) {
            target.resize(static_cast<std::size_t>(n));
            return 0;
        }
        target.resize(target.size() * 2); // cut short: the link is longer
    }
}

int current_folder(std::string& path) {
    path.assign(4096, '\0');
    while (!::getcwd(path.data(), path.size())) {
        if (errno != ERANGE) return failure();
        path.resize(path.size() * 2);
    }
    path.resize(path.find('\0'));
    return 0;
}

int check_writable(const std::string& path) {
    return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0 ? 0 : failure();
}

// -------------------------------------------------------------- files

int FileDescriptor::open(const std::string& path, unsigned flags, unsigned mode) noexcept {
    close();
    fd_ = ::open(path.c_str(), open_flags(flags), static_cast<mode_t>(mode));
    return fd_ >= 0 ? 0 : failure();
}

int FileDescriptor::close() noexcept {
    if (fd_ < 0) return 0;
    // Linux and the BSDs release the descriptor even when close() fails, so
    // it is never retried: another thread may already have its number.
    return ::close(std::exchange(fd_, -1)) == 0 ? 0 : failure();
}

int read_some(int fd, void* buffer, std::size_t size, std::size_t& done) noexcept {
    ssize_t n = ::read(fd, buffer, size);
    done = n > 0 ? static_cast<std::size_t>(n) : 0;
    return n >= 0 ? 0 : failure();
}

int write_some(int fd, const void* data, std::size_t size, std::size_t& done) noexcept {
    ssize_t n = ::write(fd, data, size);
    done = n > 0 ? static_cast<std::size_t>(n) : 0;
    return n >= 0 ? 0 : failure();
}

int wait_until_readable(int fd, int milliseconds) noexcept {
    // A FIFO's reader that no writer has joined yet is neither readable nor
    // hung up (POSIX: POLLHUP only once a writer has closed it).
    struct pollfd watched = {fd, POLLIN, 0};
    const int ready = ::poll(&watched, 1, milliseconds);
    return ready > 0 ? 0 : ready == 0 ? ETIMEDOUT : failure();
}

int seek_to_start(int fd) noexcept {
    return ::lseek(fd, 0, SEEK_SET) == 0 ? 0 : failure();
}

int flush_to_disk(int fd) noexcept {
    return ::fsync(fd) == 0 ? 0 : failure();
}

int change_mode(int fd, unsigned mode) noexcept {
    return ::fchmod(fd, static_cast<mode_t>(mode)) == 0 ? 0 : failure();
}

int rename_file(const std::string& from, const std::string& to) noexcept {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : failure();
}

int remove_file(const std::string& path) noexcept {
    return ::unlink(path.c_str()) == 0 ? 0 : failure();
}

int try_lock_exclusive(int fd) noexcept {
    // flock() rather than fcntl() record locks, which belong to the process
    // and end when any of its descriptors of the file closes, so one
    // process's threads could not tell each other's locks apart; and rather
    // than open-file-description locks (F_OFD_SETLK), which have flock()'s
    // semantics but exist on Linux only. A flock() lock belongs to the open
    // file description on Linux, macOS and the BSDs alike: another open() of
    // the file, in this process or any other, finds it held, and it ends
    // when the holder's descriptor closes, at exit or SIGKILL included.
    // Linux emulates flock() on NFS with record locks; there a thread of the
    // same process may take a sibling's lock.
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    return errno == EAGAIN ? EWOULDBLOCK : failure();
}

// ------------------------------------------------------------ folders

Directory::~Directory() {
    if (stream_) ::closedir(static_cast<DIR*>(stream_));
}

int Directory::open(const std::string& path) noexcept {
    if (stream_) ::closedir(static_cast<DIR*>(stream_));
    entry_ = nullptr;
    stream_ = ::opendir(path.c_str());
    return stream_ ? 0 : failure();
}

bool Directory::next(std::string_view& name, int& error) noexcept {
    error = 0;
    if (!stream_) {
        error = EBADF;
        return false;
    }
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(static_cast<DIR*>(stream_));
        entry_ = entry;
        if (!entry) {
            error = errno;
            return false;
        }
        const char* text = entry->d_name;
        if (text[0] == '.' && (text[1] == '\0' || (text[1] == '.' && text[2] == '\0'))) continue;
        name = text;
        return true;
    }
}

FileKind Directory::kind() const noexcept {
    const auto* entry = static_cast<const dirent*>(entry_);
    if (!entry) return FileKind::vanished;
    if (std::optional<FileKind> kind = reported_kind(*entry)) return *kind;
    // As DirEntry.is_dir(follow_symlinks=False) does: an lstat of the entry,
    // relative to the folder being read.
    struct stat found;
    if (::fstatat(::dirfd(static_cast<DIR*>(stream_)), entry->d_name, &found,
                  AT_SYMLINK_NOFOLLOW) != 0)
        return FileKind::vanished;
    return kind_of_mode(found.st_mode);
}

namespace family {

void at_fork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept {
    // Handlers stay registered for the life of the process, as the module
    // that registers them stays loaded (CPython never unloads an extension).
    ::pthread_atfork(prepare, parent, child);
}

} // namespace family

} // namespace tw::platform
