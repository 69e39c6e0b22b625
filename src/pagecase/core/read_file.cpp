// Reading whole files; see read_file.h.
#include "pagecase/core/read_file.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/interruption.h"

namespace tw::pagecase {
namespace {

constexpr std::size_t kReadStep = std::size_t{1} << 20;

} // namespace

int fill(int fd, char* buffer, std::size_t size, std::size_t& filled) {
    filled = 0;
    while (filled < size) {
        // Large files in steps, so that the code running the read is asked
        // between them (it may give up the GIL, or stop for a signal).
        if (filled > 0 && tw::interruption::stop_requested()) return EINTR;
        std::size_t got = 0;
        int error = tw::interruption::retried([&] {
            return platform::read_some(fd, buffer + filled, std::min(size - filled, kReadStep),
                                       got);
        });
        // Nothing to read yet (a FIFO whose writer pauses) is no end of the
        // file: wait for more, or for the writer to close it.
        if (error == EAGAIN || error == EWOULDBLOCK) {
            if ((error = wait_for_data(fd)) != 0) return error;
            continue;
        }
        if (error) return error;
        if (got == 0) break;
        filled += got;
    }
    return 0;
}

int wait_for_data(int fd) {
    // In steps, asking between them: a signal that came just before a step
    // began interrupts nothing, and would otherwise be seen only when a
    // writer comes, perhaps never.
    constexpr int kStepMilliseconds = 20;
    for (;;) {
        const int error = tw::interruption::retried(
            [&] { return platform::wait_until_readable(fd, kStepMilliseconds); });
        if (error != ETIMEDOUT) return error;
        if (tw::interruption::stop_requested()) return EINTR;
    }
}

int read_rest(int fd, std::string& content, std::size_t cap) {
    assert(cap < SIZE_MAX); // room for the one byte that tells a file over the cap
    for (;;) {
        std::size_t held = content.size();
        if (held > cap) return EFBIG;
        std::size_t room = content.capacity() > held ? content.capacity() - held : kReadStep;
        room = std::min(room, cap + 1 - held);
        content.resize(held + room);
        std::size_t filled = 0;
        const int error = fill(fd, content.data() + held, room, filled);
        content.resize(held + filled);
        if (error) return error;
        if (filled < room) return held + filled > cap ? EFBIG : 0;
    }
}

namespace {

int read_regular(const std::string& path, std::size_t cap, Owner owner, std::string& bytes) {
    platform::FileInfo status;
    if (int error = platform::link_status(path, status)) return error;
    if (status.kind == platform::FileKind::symlink) return ELOOP;
    if (status.kind != platform::FileKind::regular) return EINVAL;

    // Should a FIFO take the file's place meanwhile, opening it does not wait.
    const unsigned flags = platform::kReadOnly | platform::kNonBlocking |
                           platform::kNoControllingTerminal | platform::kNoFollow;
    platform::FileDescriptor file;
    if (int error = tw::interruption::retried([&] { return file.open(path, flags); })) return error;
    if (int error = platform::open_status(file.get(), status)) return error;
    if (status.kind != platform::FileKind::regular) return EINVAL;
    if (owner == Owner::effective_user && status.owner != platform::effective_user()) return EACCES;
    auto size = static_cast<std::size_t>(std::max<std::int64_t>(status.size, 0));
    if (size > cap) return EFBIG;
    bytes.reserve(size + 1); // room to see the end of the file in the same read
    return read_rest(file.get(), bytes, cap);
}

} // namespace

int read_regular_file(const std::string& path, std::size_t cap, Owner owner, std::string& bytes) {
    bytes.clear();
    const int error = read_regular(path, cap, owner, bytes);
    if (error) bytes.clear();
    return error;
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
