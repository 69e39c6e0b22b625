// File descriptors that close themselves; see file_descriptor.h.
#include "pagecase/core/file_descriptor.h"

#include <cerrno>

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
    return tw::platform::close_file(std::exchange(fd_, -1)); // released even when it fails
}

FileDescriptor open_file(const std::string& path, unsigned flags, int& error, unsigned mode) {
    for (;;) {
        int fd = -1;
        error = tw::platform::open_file(path, flags, mode, fd);
        if (!error) return FileDescriptor(fd);
        if (error != EINTR || tw::interruption::stop_after_signal()) return FileDescriptor();
    }
}

} // namespace tw::pagecase
