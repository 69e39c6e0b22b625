// Whole-file replacement; see atomic_file.h.
#include "pagecase/atomic_file.h"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace pagecase {
namespace {

constexpr int kMaxLinkHops = 40;  // the kernel's own limit before ELOOP

std::string directory_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows symbolic links at `path` itself, as writing through it would.
std::optional<std::string> follow_links(std::string path, int& error) {
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n < 0) {
            error = errno;
            return std::nullopt;
        }
        target.resize(static_cast<size_t>(n));
        path = (!target.empty() && target.front() == '/') ? target : directory_of(path) + "/" + target;
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

}  // namespace

int replace_file(const std::string& path, std::string_view content, FileMode mode) {
    int error = 0;
    std::optional<std::string> destination =
        mode == FileMode::like_replaced ? follow_links(path, error) : path;
    if (!destination) return error;

    mode_t bits = 0600;
    bool set_bits = true;
    if (mode == FileMode::like_replaced) {
        struct stat st;
        set_bits = ::stat(destination->c_str(), &st) == 0;
        bits = set_bits ? (st.st_mode & 07777) : 0666;
    }

    size_t slash = destination->rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : destination->substr(0, slash + 1);
    std::string name = slash == std::string::npos ? *destination : destination->substr(slash + 1);
    std::string temporary = folder + "." + name + "." + std::to_string(::getpid()) + "." +
                            std::to_string(static_cast<long>(::syscall(SYS_gettid))) + ".tmp";

    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(temporary.c_str(), flags, set_bits ? (bits & 0600) : bits);
    if (fd < 0 && errno == EEXIST) {  // left behind by an earlier process with our pid and tid
        ::unlink(temporary.c_str());
        fd = ::open(temporary.c_str(), flags, set_bits ? (bits & 0600) : bits);
    }
    if (fd < 0) return errno;

    if (set_bits && ::fchmod(fd, bits) != 0) error = errno;
    if (!error) error = write_all(fd, content);
    if (!error && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && !error) error = errno;
    if (!error && ::rename(temporary.c_str(), destination->c_str()) != 0) error = errno;
    if (error) ::unlink(temporary.c_str());
    return error;
}

}  // namespace pagecase
