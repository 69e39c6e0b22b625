// Whole-file replacement; see atomic_file.h.
#include "pagecase/core/atomic_file.h"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tw::pagecase {
namespace {

constexpr int kMaxLinkHops = 40; // the kernel's own limit before ELOOP

std::string directory_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// What stands at the destination, once symbolic links at its final component
// are followed; `exists` is false when nothing (or nothing we can see) does.
struct Destination {
    std::string path;
    bool exists = false;
    struct stat status{};
};

// Follows symbolic links at `path` itself, as writing through it would.
std::optional<Destination> follow_links(std::string path, int& error) {
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        Destination found{path};
        found.exists = ::lstat(path.c_str(), &found.status) == 0;
        if (!found.exists || !S_ISLNK(found.status.st_mode)) return found;
        std::string target(
            static_cast<size_t>(found.status.st_size > 0 ? found.status.st_size : 255) + 1, '\0');
        ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n < 0) {
            error = errno;
            return std::nullopt;
        }
        target.resize(static_cast<size_t>(n));
        path =
            (!target.empty() && target.front() == '/') ? target : directory_of(path) + "/" + target;
    }
    error = ELOOP;
    return std::nullopt;
}

int write_all(int fd, std::string_view content) {
    while (!content.empty()) {
        ssize_t n = ::write(fd, content.data(), content.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        content.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

} // namespace

int replace_file(const std::string& path, std::string_view content, FileMode mode) {
    int error = 0;
    std::optional<Destination> destination;
    if (mode == FileMode::like_replaced) {
        destination = follow_links(path, error);
        if (!destination) return error;
    } else {
        destination = Destination{path};
        destination->exists = ::stat(path.c_str(), &destination->status) == 0;
    }
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

    const std::string& target = destination->path;
    size_t slash = target.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temporary = folder + "." + name + "." + std::to_string(::getpid()) + "." +
                            std::to_string(static_cast<long>(::syscall(SYS_gettid))) + ".tmp";

    // Nobody else may read the content before its final bits are set.
    const mode_t creation_bits = set_bits ? (bits & 0600) : bits;
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(temporary.c_str(), flags, creation_bits);
    if (fd < 0 && errno == EEXIST) { // left behind by an earlier process with our pid and tid
        ::unlink(temporary.c_str());
        fd = ::open(temporary.c_str(), flags, creation_bits);
    }
    if (fd < 0) return errno;

    if (set_bits && ::fchmod(fd, bits) != 0) error = errno;
    if (!error) error = write_all(fd, content);
    if (!error && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && !error) error = errno;
    if (!error && ::rename(temporary.c_str(), target.c_str()) != 0) error = errno;
    if (error) ::unlink(temporary.c_str());
    return error;
}

} // namespace tw::pagecase
