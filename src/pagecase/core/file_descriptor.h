// File descriptors and directory handles that close themselves, and opening
// files with them.
#pragma once

#include <dirent.h>
#include <memory>
#include <string>
#include <sys/types.h>
#include <utility>

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

// An open directory stream, closed when it goes out of scope (also when
// storing what it read throws std::bad_alloc).
struct CloseDirectory {
    void operator()(DIR* directory) const noexcept { ::closedir(directory); }
};
using DirectoryHandle = std::unique_ptr<DIR, CloseDirectory>;

// open(path, flags | O_CLOEXEC, mode), retried when a signal interrupts it.
// `error` becomes 0, or the errno of the failure, when the descriptor is
// empty.
FileDescriptor open_file(const std::string& path, int flags, int& error, mode_t mode = 0);

} // namespace tw::pagecase
