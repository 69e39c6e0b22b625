// Whole-file replacement; see atomic_file.h.
#include "pagecase/core/atomic_file.h"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "common/interruption.h"
#include "pagecase/core/file_descriptor.h"
#include "pagecase/core/temporary_files.h"

namespace tw::pagecase {
namespace {

constexpr int kMaxLinkHops = 40; // the kernel's own limit before ELOOP

// A path split into its folder ("." for a bare name) and final component.
struct Location {
    std::string folder, name;
};

Location locate(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

std::optional<std::string> read_link(const std::string& path, std::size_t size_hint, int& error) {
    std::string target(size_hint + 1, '\0');
    for (;;) {
        ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n < 0) {
            error = errno;
            return std::nullopt;
        }
        if (static_cast<std::size_t>(n) < target.size()) {
            target.resize(static_cast<std::size_t>(n));
            return target;
        }
        target.resize(target.size() * 2); // cut short: the link grew, or its size was not known
    }
}

// Whether the kernel would follow the symbolic link at `path` (`link` being its
// lstat) under fs.protected_symlinks (follow_trusted_links).
bool may_follow(const std::string& path, const struct stat& link) {
    struct stat folder;
    if (::stat(locate(path).folder.c_str(), &folder) != 0) return false;
    constexpr mode_t shared = S_ISVTX | S_IWOTH;
    return (folder.st_mode & shared) != shared || link.st_uid == ::geteuid() ||
           link.st_uid == folder.st_uid;
}

} // namespace

std::optional<LinkEnd> follow_trusted_links(const std::string& start, int& error) {
    std::string path = start;
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        LinkEnd found{path};
        found.exists = ::lstat(path.c_str(), &found.status) == 0;
        if (!found.exists || !S_ISLNK(found.status.st_mode)) return found;
        if (!may_follow(path, found.status)) {
            error = EACCES;
            return std::nullopt;
        }
        auto size_hint =
            static_cast<std::size_t>(found.status.st_size > 0 ? found.status.st_size : 255);
        std::optional<std::string> target = read_link(path, size_hint, error);
        if (!target) return std::nullopt;
        path = (!target->empty() && target->front() == '/') ? std::move(*target)
                                                            : locate(path).folder + "/" + *target;
    }
    error = ELOOP;
    return std::nullopt;
}

namespace {

LinkEnd examine(const std::string& path) {
    LinkEnd found{path};
    found.exists = ::stat(path.c_str(), &found.status) == 0;
    return found;
}

int write_all(int fd, std::string_view content) {
    while (!content.empty()) {
        ssize_t n = ::write(fd, content.data(), content.size());
        if (n < 0) {
            if (errno == EINTR && !tw::interruption::stop_after_signal()) continue;
            return errno;
        }
        content.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

// The plain write: truncate the file and write the content into it, creating
// it if need be. Only a regular file is written (a FIFO or a device in its
// place fails without waiting). The token's file is made private before the
// token goes in; a file we do not own stays as it is, as the plain write's
// chmod would fail and be ignored.
int write_in_place(const std::string& path, std::string_view content, FileMode mode) {
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    int error = 0;
    FileDescriptor file = open_file(path, flags, error, mode == FileMode::owner_only ? 0600 : 0666);
    if (!file) return error;
    struct stat status;
    if (::fstat(file.get(), &status) != 0) return errno;
    if (!S_ISREG(status.st_mode)) return EINVAL;
    if (mode == FileMode::owner_only) (void)::fchmod(file.get(), 0600);
    error = write_all(file.get(), content);
    int closed = file.close();
    return error ? error : closed;
}

// Creates the temporary file. Should the name be taken already (by a writer
// of an earlier process with our ids, or one in another PID namespace), it is
// freed only when its writer is gone.
FileDescriptor create_temporary(const std::string& temporary, mode_t bits, int& error) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
    FileDescriptor file = open_file(temporary, flags, error, bits);
    if (!file && error == EEXIST && remove_if_stale(temporary))
        file = open_file(temporary, flags, error, bits);
    return file;
}

// Whether the file open at `fd` has lost its last name.
bool unnamed(int fd) {
    struct stat status;
    return ::fstat(fd, &status) == 0 && status.st_nlink == 0;
}

// Locks the temporary file just created, writes `content` into it, flushes it
// and renames it over `destination`; a failure removes it. The descriptor,
// and with it the lock, is kept until the rename is done: fsync() has
// reported the write's errors by then.
//
// Between the creation and the lock, a cleaner (another saver's
// remove_stale_temporaries) may find the temporary unlocked and remove it.
// `lost` then tells the caller that it may simply write a new one.
int write_and_rename(FileDescriptor& file, const std::string& temporary,
                     const std::string& destination, std::string_view content,
                     std::optional<mode_t> bits, bool& lost) {
    int error = 0;
    if (!lock_for_writing(file.get())) {
        lost = true; // the cleaner holding the lock removes it
        error = EAGAIN;
    }
    if (!error && bits && ::fchmod(file.get(), *bits) != 0) error = errno;
    if (!error) error = write_all(file.get(), content);
    if (!error && ::fsync(file.get()) != 0) error = errno;
    if (!error && ::rename(temporary.c_str(), destination.c_str()) != 0) {
        error = errno;
        lost = unnamed(file.get());
    }
    if (error) ::unlink(temporary.c_str());
    int closed = file.close();
    return error ? error : closed;
}

// How often a save writes a temporary file at most: it writes another only
// when another save's cleaning took the last one away in the moment between
// its creation and its lock.
constexpr int kWriteAttempts = 3;

} // namespace

int replace_file(const std::string& path, std::string_view content, FileMode mode) {
    int error = 0;
    std::optional<LinkEnd> destination =
        mode == FileMode::like_replaced ? follow_trusted_links(path, error) : examine(path);
    if (!destination) return error;
    // Anything but a regular file where the links end (a link to /dev/null
    // that turns the history off, a FIFO) stays as it is: nothing is written.
    if (mode == FileMode::like_replaced && destination->exists &&
        !S_ISREG(destination->status.st_mode))
        return EINVAL;
    // Writing in place would need permission to write the file itself; a file
    // we may not write stays as it is, although its folder would let us
    // replace it.
    if (destination->exists &&
        ::faccessat(AT_FDCWD, destination->path.c_str(), W_OK, AT_EACCESS) != 0)
        return errno;

    bool set_bits = mode == FileMode::owner_only || destination->exists;
    mode_t bits = mode == FileMode::owner_only ? 0600
                  : destination->exists        ? (destination->status.st_mode & 07777)
                                               : 0666; // reduced by the umask, as for any new file

    Location location = locate(destination->path);
    remove_stale_temporaries(location.folder, location.name);
    std::string temporary = temporary_path(location.folder, location.name);
    for (int attempt = 1;; ++attempt) {
        // Nobody else may read the content before its final bits are set.
        FileDescriptor file = create_temporary(temporary, set_bits ? (bits & 0600) : bits, error);
        if (!file) {
            // The folder refuses new files, which a plain write does not need:
            // it only opens the file. Write in place then, as the plain write
            // would, rather than drop the change.
            if (error == EACCES || error == EPERM)
                return write_in_place(destination->path, content, mode);
            return error;
        }
        bool lost = false;
        error = write_and_rename(file, temporary, destination->path, content,
                                 set_bits ? std::optional<mode_t>(bits) : std::nullopt, lost);
        if (!lost || attempt == kWriteAttempts) return error;
    }
}

} // namespace tw::pagecase
