// The Windows family: what the modules use on Windows (random bytes, wiping,
// the clock, process and thread ids, arm64 features), and ENOSYS for the
// file-system calls. A Windows build leaves out the native file-system route
// (TIDEWING_NATIVE_FS=OFF), so those are never reached there: the modules
// take pathlib's and os's own steps, Windows semantics included. Linux and
// the other POSIX systems answer them in posix_common.cpp.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <bcrypt.h>
#include <cerrno>

#include "common/platform/family.h"

namespace tw::platform {

// ------------------------------------------------------------ the process

std::uint64_t process_id() noexcept {
    return GetCurrentProcessId();
}

std::uint64_t thread_id() noexcept {
    // threading.get_native_id() on Windows; Linux asks the kernel (gettid),
    // the other POSIX systems see posix.cpp.
    return GetCurrentThreadId();
}

int wall_clock(std::int64_t& nanoseconds) noexcept {
    // The system time as a FILETIME: 100-nanosecond steps since 1601, the
    // clock time.time() reads on Windows. POSIX reads CLOCK_REALTIME.
    constexpr std::int64_t kStepsFrom1601To1970 = 116'444'736'000'000'000;
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    const std::int64_t steps =
        static_cast<std::int64_t>((std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime);
    nanoseconds = (steps - kStepsFrom1601To1970) * 100;
    return 0;
}

// ------------------------------------------------------ random and wiping

int secure_random(void* out, std::size_t size) noexcept {
    // BCryptGenRandom() with the system's preferred generator, as os.urandom
    // reads it on Windows; Linux has getrandom(2), the other POSIX systems
    // getentropy().
    auto* bytes = static_cast<unsigned char*>(out);
    while (size) {
        const ULONG step = size < 0x10000000 ? static_cast<ULONG>(size) : 0x10000000;
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bytes, step, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return EIO;
        bytes += step, size -= step;
    }
    return 0;
}

void secure_wipe(void* data, std::size_t size) noexcept {
    // SecureZeroMemory(): volatile stores the compiler keeps. Linux has
    // explicit_bzero(), the other POSIX family a barrier after memset.
    if (size) SecureZeroMemory(data, size);
}

namespace family {

#if defined(__aarch64__) || defined(_M_ARM64)
void read_arm64_features(CpuFeatures& features) noexcept {
    // One flag covers AES, SHA-1 and SHA-256 on Windows; Linux reads
    // getauxval(AT_HWCAP), macOS sysctlbyname().
    const bool crypto = IsProcessorFeaturePresent(PF_ARM_V8_CRYPTO_INSTRUCTIONS_AVAILABLE) != 0;
    features.armv8_aes = crypto;
    features.armv8_sha256 = crypto;
}
#endif

void at_fork(void (*)(), void (*)(), void (*)()) noexcept {
    // Windows processes do not fork: nothing is ever inherited.
}

} // namespace family

// ----------------------------------------------------------------- users

UserId effective_user() noexcept {
    return 0; // Windows has no numeric user ids; nothing here asks on Windows
}

int home_of_current_user(std::string&) {
    return ENOSYS; // os.path.expanduser reads USERPROFILE there, in Python
}

int home_of_user(const std::string&, std::string&) {
    return ENOSYS;
}

// --------------------------------------------- the file system: not here

int status(const std::string&, FileInfo&) {
    return ENOSYS;
}

int link_status(const std::string&, FileInfo&) {
    return ENOSYS;
}

int open_status(int, FileInfo&) {
    return ENOSYS;
}

int read_link(const std::string&, std::string&) {
    return ENOSYS;
}

int current_folder(std::string&) {
    return ENOSYS;
}

int check_writable(const std::string&) {
    return ENOSYS;
}

int FileDescriptor::open(const std::string&, unsigned, unsigned) noexcept {
    close();
    return ENOSYS;
}

int FileDescriptor::close() noexcept {
    fd_ = -1; // never open here
    return 0;
}

int read_some(int, void*, std::size_t, std::size_t& done) noexcept {
    done = 0;
    return ENOSYS;
}

int write_some(int, const void*, std::size_t, std::size_t& done) noexcept {
    done = 0;
    return ENOSYS;
}

int wait_until_readable(int, int) noexcept {
    return ENOSYS;
}

int seek_to_start(int) noexcept {
    return ENOSYS;
}

int flush_to_disk(int) noexcept {
    return ENOSYS;
}

int change_mode(int, unsigned) noexcept {
    return ENOSYS;
}

int rename_file(const std::string&, const std::string&) noexcept {
    return ENOSYS;
}

int remove_file(const std::string&) noexcept {
    return ENOSYS;
}

int try_lock_exclusive(int) noexcept {
    return ENOSYS;
}

Directory::~Directory() = default;

int Directory::open(const std::string&) noexcept {
    stream_ = nullptr; // no folder handle here
    entry_ = nullptr;
    return ENOSYS;
}

bool Directory::next(std::string_view&, int& error) noexcept {
    error = ENOSYS;
    return false;
}

FileKind Directory::kind() const noexcept {
    return FileKind::vanished;
}

} // namespace tw::platform
