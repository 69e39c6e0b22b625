// The family of the other POSIX systems, macOS and the BSDs: the calls whose
// form differs from Linux's (linux.cpp) and from Windows' (windows.cpp).
// Only calls every one of them has, so that the family also builds on Linux,
// where TIDEWING_PLATFORM=posix forces it for the tests; a system's own call
// is taken only where no common one exists (a thread's id, arm64 features).
// What they share with Linux is in posix_common.cpp.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <pthread.h>
#include <sys/random.h>
#include <sys/sysctl.h>
#endif

#include "common/platform/family.h"

namespace tw::platform {

std::uint64_t process_id() noexcept {
    return static_cast<std::uint64_t>(::getpid());
}

std::uint64_t thread_id() noexcept {
    // macOS: the system's thread id, as threading.get_native_id() reports
    // it. Elsewhere the number this process gave the thread when it first
    // asked: unique among its live threads (and never reused), which is all
    // a temporary file's name needs. Linux asks the kernel (gettid), Windows
    // GetCurrentThreadId().
#if defined(__APPLE__)
    std::uint64_t id = 0;
    ::pthread_threadid_np(nullptr, &id);
    return id;
#else
    static std::atomic<std::uint64_t> last{0};
    thread_local const std::uint64_t id = ++last;
    return id;
#endif
}

int secure_random(void* out, std::size_t size) noexcept {
    // getentropy(), as os.urandom uses it on macOS and the BSDs: at most 256
    // bytes a call, from a source that is seeded before user code runs.
    // Linux uses getrandom(2) (linux.cpp), Windows BCryptGenRandom().
    constexpr std::size_t kMostPerCall = 256;
    auto* bytes = static_cast<unsigned char*>(out);
    while (size) {
        const std::size_t step = size < kMostPerCall ? size : kMostPerCall;
        if (::getentropy(bytes, step) != 0) return errno;
        bytes += step, size -= step;
    }
    return 0;
}

void secure_wipe(void* data, std::size_t size) noexcept {
    // A memset followed by an empty assembly statement that, as far as the
    // compiler knows, reads the memory: the stores cannot be dropped as dead.
    // This is what explicit_bzero() (Linux, the BSDs) and memset_s() (macOS)
    // do inside; it needs neither, so one form serves every system.
    // Windows has SecureZeroMemory().
    if (!size) return;
    std::memset(data, 0, size);
    __asm__ __volatile__("" : : "r"(data) : "memory");
}

namespace family {

namespace {

// macOS and the older BSDs name the field st_mtimespec; POSIX.1-2008 names
// it st_mtim (Linux, newer BSDs, where forced). Whichever the system's stat
// has is taken. Linux reads st_mtim directly (linux.cpp).
template <typename Stat> void take_time(const Stat& status, FileInfo& info) noexcept {
    if constexpr (requires { status.st_mtimespec; }) {
        info.mtime_seconds = static_cast<std::int64_t>(status.st_mtimespec.tv_sec);
        info.mtime_nanoseconds = static_cast<long>(status.st_mtimespec.tv_nsec);
    } else {
        info.mtime_seconds = static_cast<std::int64_t>(status.st_mtim.tv_sec);
        info.mtime_nanoseconds = static_cast<long>(status.st_mtim.tv_nsec);
    }
}

} // namespace

void take_modification_time(const struct stat& status, FileInfo& info) noexcept {
    take_time(status, info);
}

#if defined(__aarch64__) || defined(__arm64__)
void read_arm64_features(CpuFeatures& features) noexcept {
    // macOS answers through sysctlbyname() (1 when present; a system too old
    // to name the extensions gets the portable code). Linux reads
    // getauxval(AT_HWCAP) (linux.cpp), Windows IsProcessorFeaturePresent().
    // The BSDs keep their answer to themselves here: the portable code runs
    // there.
#if defined(__APPLE__)
    auto flag = [](const char* name) {
        int value = 0;
        std::size_t size = sizeof value;
        return ::sysctlbyname(name, &value, &size, nullptr, 0) == 0 && value == 1;
    };
    features.armv8_aes = flag("hw.optional.arm.FEAT_AES");
    features.armv8_sha256 = flag("hw.optional.arm.FEAT_SHA256");
#else
    (void)features;
#endif
}
#endif

} // namespace family
} // namespace tw::platform
