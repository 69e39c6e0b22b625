// File descriptors that close themselves; see file_descriptor.h.
#include "pagecase/core/file_descriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "common/interruption.h"

namespace tw::pagecase {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

int FileDescriptor::close() noexcept {
    if (fd_ < 0) return 0;
    // Linux frees the descriptor even when close() fails, so it is never retried.
    int result = ::close(std::exchange(fd_, -1));
    return result == 0 ? 0 : errno;
}

FileDescriptor open_file(const std::string& path, int flags, int& error, mode_t mode) {
    for (;;) {
        int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
        if (fd >= 0) {
            error = 0;
            return FileDescriptor(fd);
        }
        if (errno != EINTR || tw::interruption::stop_after_signal()) break;
    }
    error = errno;
    return FileDescriptor();
}

} // namespace tw::pagecase
