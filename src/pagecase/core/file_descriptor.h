// File descriptors that close themselves, and opening files with them.
#pragma once

#include <string>
#include <utility>

#include "common/platform/platform.h"

namespace tw::pagecase {

// An open file descriptor, closed when it goes out of scope.
class FileDescriptor {
  public:
    FileDescriptor() noexcept = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { close(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

    // Closes the descriptor now: 0, or the errno of close(), which is where a
    // write's last error can show.
    int close() noexcept;

  private:
    int fd_ = -1;
};

// platform::open_file(path, flags, mode), retried when a signal interrupts it
// (flags and mode as there). `error` becomes 0, or the errno of the failure,
// when the descriptor is empty.
FileDescriptor open_file(const std::string& path, unsigned flags, int& error, unsigned mode = 0);

} // namespace tw::pagecase
