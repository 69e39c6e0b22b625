// Reading whole files; see read_file.h.
#include "pagecase/core/read_file.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/interruption.h"

namespace tw::pagecase {
namespace {

constexpr std::size_t kReadStep = std::size_t{1} << 20;

FileContent refused(ReadStatus status, int error = 0) {
    FileContent result;
    result.status = status;
    result.error = error;
    return result;
}

} // namespace

Filled fill(int fd, char* buffer, std::size_t size) {
    Filled filled;
    while (filled.size < size) {
        // Large files in steps, so that the code running the read is asked
        // between them (it may give up the GIL, or stop for a signal).
        if (filled.size > 0 && tw::interruption::stop_requested()) {
            filled.error = EINTR;
            break;
        }
        ssize_t n = ::read(fd, buffer + filled.size, std::min(size - filled.size, kReadStep));
        if (n < 0) {
            if (errno == EINTR && !tw::interruption::stop_after_signal()) continue;
            filled.error = errno;
            break;
        }
        if (n == 0) break;
        filled.size += static_cast<std::size_t>(n);
    }
    return filled;
}

ReadStatus read_rest(int fd, std::string& content, std::size_t cap, int& error) {
    assert(cap < SIZE_MAX); // room for the one byte that tells a file over the cap
    for (;;) {
        std::size_t held = content.size();
        if (held > cap) return ReadStatus::too_large;
        std::size_t room = content.capacity() > held ? content.capacity() - held : kReadStep;
        room = std::min(room, cap + 1 - held);
        content.resize(held + room);
        Filled filled = fill(fd, content.data() + held, room);
        content.resize(held + filled.size);
        if (filled.error) {
            error = filled.error;
            return ReadStatus::failed;
        }
        if (filled.size < room)
            return held + filled.size > cap ? ReadStatus::too_large : ReadStatus::complete;
    }
}

FileContent read_regular_file(const std::string& path, std::size_t cap, Owner owner) {
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0) return refused(ReadStatus::failed, errno);
    if (S_ISLNK(status.st_mode)) return refused(ReadStatus::untrusted);
    if (!S_ISREG(status.st_mode)) return refused(ReadStatus::not_regular);

    // Should a FIFO take the file's place meanwhile, opening it does not wait.
    int error = 0;
    FileDescriptor file = open_file(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW, error);
    if (!file) return refused(ReadStatus::failed, error);
    if (::fstat(file.get(), &status) != 0) return refused(ReadStatus::failed, errno);
    if (!S_ISREG(status.st_mode)) return refused(ReadStatus::not_regular);
    if (owner == Owner::effective_user && status.st_uid != ::geteuid())
        return refused(ReadStatus::untrusted);
    auto size = static_cast<std::size_t>(std::max<off_t>(status.st_size, 0));
    if (size > cap) return refused(ReadStatus::too_large);

    FileContent result;
    result.bytes.reserve(size + 1); // room to see the end of the file in the same read
    result.status = read_rest(file.get(), result.bytes, cap, result.error);
    if (result.status != ReadStatus::complete) return refused(result.status, result.error);
    return result;
}

void translate_newlines(std::string& text) {
    if (std::memchr(text.data(), '\r', text.size()) == nullptr) return;
    std::size_t out = 0;
    for (std::size_t in = 0; in < text.size(); ++in) {
        if (text[in] == '\r') {
            text[out++] = '\n';
            if (in + 1 < text.size() && text[in + 1] == '\n') ++in;
        } else {
            text[out++] = text[in];
        }
    }
    text.resize(out);
}

} // namespace tw::pagecase
