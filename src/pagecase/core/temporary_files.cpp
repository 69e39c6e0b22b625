// Temporary files of whole-file replacement; see temporary_files.h.
#include "pagecase/core/temporary_files.h"

#include <cerrno>
#include <charconv>
#include <cstdint>

#include "common/interruption.h"
#include "common/platform/platform.h"

namespace tw::pagecase {
namespace {

// Room left in a 255-byte file name for ".<pid>.<tid>.tmp" and the dots.
constexpr std::size_t kMaxNameInTemporary = 200;
constexpr std::string_view kSuffix = ".tmp";

// ".<name>." as the temporary files of `name` begin.
std::string prefix_of(std::string_view name) {
    std::string prefix = ".";
    prefix += name.substr(0, kMaxNameInTemporary);
    prefix += '.';
    return prefix;
}

// Reads "<digits><end>" from the front of `text`, leaving what follows.
bool take_number(std::string_view& text, char end, std::uint64_t& value) {
    auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || stop == text.data() || stop == text.data() + text.size() ||
        *stop != end || value == 0)
        return false;
    text.remove_prefix(static_cast<std::size_t>(stop - text.data()) + 1);
    return true;
}

// Whether `ids` is the "<pid>.<tid>.tmp" that ends a temporary's name.
bool is_writer_suffix(std::string_view ids) {
    std::uint64_t pid = 0, tid = 0;
    return take_number(ids, '.', pid) && take_number(ids, '.', tid) && ids == kSuffix.substr(1);
}

} // namespace

std::string temporary_path(const std::string& folder, std::string_view name) {
    std::string path = folder;
    if (path.empty() || path.back() != '/') path += '/';
    path += prefix_of(name);
    path += std::to_string(platform::process_id());
    path += '.';
    path += std::to_string(platform::thread_id());
    path += kSuffix;
    return path;
}

// The lock is the platform's exclusive lock of an open file description
// (flock() on POSIX systems): another open() of the file, in this process or
// any other, finds it held, and it ends with the writer's descriptor, at exit
// or SIGKILL included.
bool lock_for_writing(int fd) {
    return platform::try_lock_exclusive(fd) != EWOULDBLOCK;
}

bool lock_is_free(int fd) {
    return platform::try_lock_exclusive(fd) == 0;
}

bool remove_if_stale(const std::string& path) {
    // Looked at before opening, so that a FIFO or a device is never opened;
    // the open descriptor is examined again, as something else may have
    // taken the name meanwhile.
    platform::FileInfo named;
    if (platform::link_status(path, named) != 0 || named.kind != platform::FileKind::regular)
        return false;
    const unsigned flags =
        platform::kNonBlocking | platform::kNoFollow | platform::kNoControllingTerminal;
    platform::FileDescriptor file;
    auto open = [&](unsigned access) {
        return tw::interruption::retried([&] { return file.open(path, access | flags); });
    };
    int error = open(platform::kReadOnly);
    if (error == EACCES) error = open(platform::kWriteOnly); // a write-only file's temporary
    if (error) return false;
    platform::FileInfo opened;
    if (platform::open_status(file.get(), opened) != 0 ||
        opened.kind != platform::FileKind::regular || !lock_is_free(file.get()))
        return false;
    // The name may have been given to a new temporary since it was opened:
    // only the file whose lock is held here goes.
    if (platform::link_status(path, named) != 0 || !named.same_file(opened)) return false;
    return platform::remove_file(path) == 0; // a failure leaves it for later
}

void remove_stale_temporaries(const std::string& folder, std::string_view name) {
    platform::Directory directory;
    if (directory.open(folder) != 0) return;
    const std::string prefix = prefix_of(name);
    std::string path = folder;
    if (path.empty() || path.back() != '/') path += '/';
    const std::size_t folder_length = path.size();
    std::string_view entry_name;
    int error = 0;
    while (directory.next(entry_name, error)) {
        if (entry_name.size() <= prefix.size() || entry_name.substr(0, prefix.size()) != prefix ||
            !is_writer_suffix(entry_name.substr(prefix.size())))
            continue;
        path.resize(folder_length);
        path += entry_name;
        remove_if_stale(path);
    }
}

} // namespace tw::pagecase
