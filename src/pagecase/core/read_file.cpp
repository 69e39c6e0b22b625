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
        std::size_t got = 0;
        int error = platform::read_some(fd, buffer + filled.size,
                                        std::min(size - filled.size, kReadStep), got);
        if (error == EAGAIN || error == EWOULDBLOCK) error = wait_for_data(fd);
        if (error == EINTR && !tw::interruption::stop_after_signal()) continue;
        if (error) {
            filled.error = error;
            break;
        }
        if (got == 0) break;
        filled.size += got;
    }
    return filled;
}

int wait_for_data(int fd) {
    // In steps, asking between them: a signal that came just before a step
    // began interrupts nothing, and would otherwise be seen only when a
    // writer comes, perhaps never.
    constexpr int kStepMilliseconds = 20;
    for (;;) {
        const int error = platform::wait_until_readable(fd, kStepMilliseconds);
        if (error == ETIMEDOUT) {
            if (tw::interruption::stop_requested()) return EINTR;
            continue;
        }
        if (error != EINTR || tw::interruption::stop_after_signal()) return error;
    }
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
    platform::FileInfo status;
    if (int error = platform::link_status(path, status)) return refused(ReadStatus::failed, error);
    if (status.kind == platform::FileKind::symlink) return refused(ReadStatus::untrusted);
    if (status.kind != platform::FileKind::regular) return refused(ReadStatus::not_regular);

    // Should a FIFO take the file's place meanwhile, opening it does not wait.
    const unsigned flags = platform::kReadOnly | platform::kNonBlocking |
                           platform::kNoControllingTerminal | platform::kNoFollow;
    int error = 0;
    FileDescriptor file = open_file(path, flags, error);
    if (!file) return refused(ReadStatus::failed, error);
    if ((error = platform::open_status(file.get(), status)) != 0)
        return refused(ReadStatus::failed, error);
    if (status.kind != platform::FileKind::regular) return refused(ReadStatus::not_regular);
    if (owner == Owner::effective_user && status.owner != platform::effective_user())
        return refused(ReadStatus::untrusted);
    auto size = static_cast<std::size_t>(std::max<std::int64_t>(status.size, 0));
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
