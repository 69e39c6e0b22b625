// CPU features, for every family: on x86-64 the CPUID instruction answers
// alike under every operating system (only the compiler's spelling of it
// differs), and the extended-state register XCR0 tells whether the system
// saves the 256-bit registers; on arm64 the family's own record answers
// (family.h), as user code there cannot read the feature registers itself.
#include "common/platform/family.h"

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#define TW_PLATFORM_X86 1
// Microsoft's compiler has intrinsics for both instructions; GCC and clang
// (clang-cl included) have <cpuid.h> and GNU inline assembly.
#if defined(_MSC_VER) && !defined(__clang__)
#define TW_PLATFORM_MSVC_INTRINSICS 1
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace tw::platform {
namespace {

#if defined(TW_PLATFORM_X86)

struct CpuidRegisters {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
};

// CPUID leaf `leaf`, subleaf `subleaf`; zeros for a leaf past the highest.
CpuidRegisters cpuid(unsigned leaf, unsigned subleaf) noexcept {
    CpuidRegisters r;
#if defined(TW_PLATFORM_MSVC_INTRINSICS)
    int out[4];
    __cpuid(out, 0);
    if (static_cast<unsigned>(out[0]) < leaf) return r;
    __cpuidex(out, static_cast<int>(leaf), static_cast<int>(subleaf));
    r = {static_cast<unsigned>(out[0]), static_cast<unsigned>(out[1]),
         static_cast<unsigned>(out[2]), static_cast<unsigned>(out[3])};
#else
    if (static_cast<unsigned>(__get_cpuid_max(0, nullptr)) < leaf) return r;
    __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
#endif
    return r;
}

// XCR0, read only once CPUID has said that the system enabled XGETBV.
std::uint64_t extended_state_enabled() noexcept {
#if defined(TW_PLATFORM_MSVC_INTRINSICS)
    return _xgetbv(0);
#else
    unsigned low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (std::uint64_t{high} << 32) | low;
#endif
}

constexpr bool bit(unsigned word, int n) {
    return ((word >> n) & 1u) != 0;
}

CpuFeatures detect() noexcept {
    CpuFeatures features;
    const CpuidRegisters leaf1 = cpuid(1, 0), leaf7 = cpuid(7, 0);
    features.sse2 = bit(leaf1.edx, 26);
    features.sse41 = bit(leaf1.ecx, 19);
    features.aes = bit(leaf1.ecx, 25) && features.sse2;
    features.sha = bit(leaf7.ebx, 29) && features.sse41;
    // The 256-bit registers are usable only when the system saves them (XCR0
    // bits 1 and 2, the SSE and AVX states) and has enabled XGETBV (OSXSAVE,
    // leaf 1 ECX bit 27) to say so.
    const bool wide_registers =
        bit(leaf1.ecx, 27) && bit(leaf1.ecx, 28) && (extended_state_enabled() & 0x6) == 0x6;
    features.avx2 = wide_registers && bit(leaf7.ebx, 5);
    features.vaes = features.avx2 && features.aes && bit(leaf7.ecx, 9);
    return features;
}

#elif defined(__aarch64__) || defined(_M_ARM64)

CpuFeatures detect() noexcept {
    CpuFeatures features;
    family::read_arm64_features(features);
    return features;
}

#else

CpuFeatures detect() noexcept {
    return {}; // no instructions of ours on this processor: the portable code runs
}

#endif

} // namespace

const CpuFeatures& cpu_features() noexcept {
    static const CpuFeatures features = detect();
    return features;
}

} // namespace tw::platform
