// The Linux family: the calls whose Linux form differs from the other POSIX
// systems' (posix.cpp) and from Windows' (windows.cpp). What Linux shares
// with the other POSIX systems is in posix_common.cpp.
#include <cerrno>
#include <cstring>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

#include "common/platform/family.h"

namespace tw::platform {

std::uint64_t process_id() noexcept {
    return static_cast<std::uint64_t>(::getpid());
}

std::uint64_t thread_id() noexcept {
    // The kernel's thread id, as threading.get_native_id() reports it. The
    // other POSIX systems have no such call in common (posix.cpp); Windows
    // has GetCurrentThreadId().
    return static_cast<std::uint64_t>(::syscall(SYS_gettid));
}

int secure_random(void* out, std::size_t size) noexcept {
    // getrandom(2), as os.urandom uses it: it waits until the pool is
    // seeded. The other POSIX systems have getentropy() (posix.cpp), Windows
    // BCryptGenRandom().
    auto* bytes = static_cast<unsigned char*>(out);
    while (size) {
        const ssize_t got = ::getrandom(bytes, size, 0);
        if (got < 0) return errno;
        bytes += got, size -= static_cast<std::size_t>(got);
    }
    return 0;
}

void secure_wipe(void* data, std::size_t size) noexcept {
    // glibc's explicit_bzero(); macOS has memset_s() instead, and the other
    // POSIX family a memset the compiler must assume is read (posix.cpp);
    // Windows has SecureZeroMemory().
    if (size) ::explicit_bzero(data, size);
}

namespace family {

void take_modification_time(const struct stat& status, FileInfo& info) noexcept {
    // st_mtim, as POSIX.1-2008 names it; macOS calls it st_mtimespec
    // (posix.cpp).
    info.mtime_seconds = static_cast<std::int64_t>(status.st_mtim.tv_sec);
    info.mtime_nanoseconds = static_cast<long>(status.st_mtim.tv_nsec);
}

#if defined(__aarch64__)
void read_arm64_features(CpuFeatures& features) noexcept {
    // The kernel's hardware capability bits (getauxval); macOS answers
    // through sysctlbyname() (posix.cpp), Windows through
    // IsProcessorFeaturePresent().
    const unsigned long capabilities = ::getauxval(AT_HWCAP);
    features.armv8_aes = (capabilities & HWCAP_AES) != 0;
    features.armv8_sha256 = (capabilities & HWCAP_SHA2) != 0;
}
#endif

} // namespace family
} // namespace tw::platform
