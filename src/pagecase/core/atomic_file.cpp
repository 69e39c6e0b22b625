// Whole-file replacement; see atomic_file.h.
#include "pagecase/core/atomic_file.h"

#include <cerrno>
#include <optional>

#include "common/interruption.h"
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

// Whether the kernel would follow the symbolic link at `path` (`link` being its
// lstat) under fs.protected_symlinks (follow_trusted_links).
bool may_follow(const std::string& path, const platform::FileInfo& link) {
    platform::FileInfo folder;
    if (platform::status(locate(path).folder, folder) != 0) return false;
    constexpr unsigned shared = platform::kStickyBit | platform::kOthersMayWrite;
    return (folder.mode & shared) != shared || link.owner == platform::effective_user() ||
           link.owner == folder.owner;
}

} // namespace

int follow_trusted_links(const std::string& start, LinkEnd& end) {
    std::string path = start;
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        end = LinkEnd{path};
        end.exists = platform::link_status(path, end.status) == 0;
        if (!end.exists || end.status.kind != platform::FileKind::symlink) return 0;
        if (!may_follow(path, end.status)) return EACCES;
        std::string target;
        if (int error = platform::read_link(path, target)) return error;
        path = (!target.empty() && target.front() == '/') ? std::move(target)
                                                          : locate(path).folder + "/" + target;
    }
    return ELOOP;
}

namespace {

LinkEnd examine(const std::string& path) {
    LinkEnd found{path};
    found.exists = platform::status(path, found.status) == 0;
    return found;
}

int write_all(int fd, std::string_view content) {
    while (!content.empty()) {
        std::size_t written = 0;
        if (int error = tw::interruption::retried(
                [&] { return platform::write_some(fd, content.data(), content.size(), written); }))
            return error;
        content.remove_prefix(written);
    }
    return 0;
}

// Opens `path`, again after a signal unless told to stop.
int open_retried(platform::FileDescriptor& file, const std::string& path, unsigned flags,
                 unsigned mode) {
    return tw::interruption::retried([&] { return file.open(path, flags, mode); });
}

// The plain write: truncate the file and write the content into it, creating
// it if need be. Only a regular file is written (a FIFO or a device in its
// place fails without waiting). The token's file is made private before the
// token goes in; a file we do not own stays as it is, as the plain write's
// chmod would fail and be ignored.
int write_in_place(const std::string& path, std::string_view content, FileMode mode) {
    const unsigned flags = platform::kWriteOnly | platform::kCreate | platform::kTruncate |
                           platform::kNoFollow | platform::kNonBlocking |
                           platform::kNoControllingTerminal;
    platform::FileDescriptor file;
    int error = open_retried(file, path, flags, mode == FileMode::owner_only ? 0600 : 0666);
    if (error) return error;
    platform::FileInfo status;
    if ((error = platform::open_status(file.get(), status)) != 0) return error;
    if (status.kind != platform::FileKind::regular) return EINVAL;
    if (mode == FileMode::owner_only) (void)platform::change_mode(file.get(), 0600);
    error = write_all(file.get(), content);
    int closed = file.close();
    return error ? error : closed;
}

// Creates the temporary file. Should the name be taken already (by a writer
// of an earlier process with our ids, or one in another PID namespace), it is
// freed only when its writer is gone.
int create_temporary(const std::string& temporary, unsigned bits, platform::FileDescriptor& file) {
    const unsigned flags =
        platform::kWriteOnly | platform::kCreate | platform::kExclusive | platform::kNoFollow;
    int error = open_retried(file, temporary, flags, bits);
    if (error == EEXIST && remove_if_stale(temporary))
        error = open_retried(file, temporary, flags, bits);
    return error;
}

// Whether the file open at `fd` has lost its last name.
bool unnamed(int fd) {
    platform::FileInfo status;
    return platform::open_status(fd, status) == 0 && status.links == 0;
}

// Locks the temporary file just created, writes `content` into it, flushes it
// and renames it over `destination`; a failure removes it. The descriptor,
// and with it the lock, is kept until the rename is done: fsync() has
// reported the write's errors by then.
//
// Between the creation and the lock, a cleaner (another saver's
// remove_stale_temporaries) may find the temporary unlocked and remove it.
// `lost` then tells the caller that it may simply write a new one.
int write_and_rename(platform::FileDescriptor& file, const std::string& temporary,
                     const std::string& destination, std::string_view content,
                     std::optional<unsigned> bits, bool& lost) {
    int error = 0;
    if (!lock_for_writing(file.get())) {
        lost = true; // the cleaner holding the lock removes it
        error = EAGAIN;
    }
    if (!error && bits) error = platform::change_mode(file.get(), *bits);
    if (!error) error = write_all(file.get(), content);
    if (!error) error = platform::flush_to_disk(file.get());
    if (!error && (error = platform::rename_file(temporary, destination)) != 0)
        lost = unnamed(file.get());
    if (error) platform::remove_file(temporary);
    int closed = file.close();
    return error ? error : closed;
}

// How often a save writes a temporary file at most: it writes another only
// when another save's cleaning took the last one away in the moment between
// its creation and its lock.
constexpr int kWriteAttempts = 3;

} // namespace

int replace_file(const std::string& path, std::string_view content, FileMode mode) {
    LinkEnd destination;
    int error = 0;
    if (mode == FileMode::like_replaced)
        error = follow_trusted_links(path, destination);
    else
        destination = examine(path);
    if (error) return error;
    // Anything but a regular file where the links end (a link to /dev/null
    // that turns the history off, a FIFO) stays as it is: nothing is written.
    if (mode == FileMode::like_replaced && destination.exists &&
        destination.status.kind != platform::FileKind::regular)
        return EINVAL;
    // Writing in place would need permission to write the file itself; a file
    // we may not write stays as it is, although its folder would let us
    // replace it.
    if (destination.exists && (error = platform::check_writable(destination.path)) != 0)
        return error;

    bool set_bits = mode == FileMode::owner_only || destination.exists;
    unsigned bits = mode == FileMode::owner_only ? 0600
                    : destination.exists         ? destination.status.mode
                                         : 0666; // reduced by the umask, as for any new file

    Location location = locate(destination.path);
    remove_stale_temporaries(location.folder, location.name);
    std::string temporary = temporary_path(location.folder, location.name);
    for (int attempt = 1;; ++attempt) {
        // Nobody else may read the content before its final bits are set.
        platform::FileDescriptor file;
        if ((error = create_temporary(temporary, set_bits ? (bits & 0600) : bits, file)) != 0) {
            // The folder refuses new files, which a plain write does not need:
            // it only opens the file. Write in place then, as the plain write
            // would, rather than drop the change.
            if (error == EACCES || error == EPERM)
                return write_in_place(destination.path, content, mode);
            return error;
        }
        bool lost = false;
        error = write_and_rename(file, temporary, destination.path, content,
                                 set_bits ? std::optional<unsigned>(bits) : std::nullopt, lost);
        if (!lost || attempt == kWriteAttempts) return error;
    }
}

} // namespace tw::pagecase
