// The platform layer on every family: random bytes, wiping, the clock,
// process and thread ids, and the CPU features.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <thread>
#include <vector>

#include "common/platform/platform.h"
#include "harness.h"

namespace {

namespace platform = tw::platform;

NATIVE_TEST(secure_random_fills_every_byte_and_differs_each_time) {
    // More than the 256 bytes one getentropy() call gives, so that the
    // request is split where the family must.
    std::vector<uint8_t> first(1000), second(1000);
    CHECK_EQ(platform::secure_random(first.data(), first.size()), 0);
    CHECK_EQ(platform::secure_random(second.data(), second.size()), 0);
    CHECK(first != second);
    // Each 100-byte stretch got bytes (all zeros: 2^-800).
    for (std::size_t start = 0; start < first.size(); start += 100) {
        bool all_zero = true;
        for (std::size_t k = start; k < start + 100; ++k)
            all_zero = all_zero && first[k] == 0;
        CHECK(!all_zero);
    }
    CHECK_EQ(platform::secure_random(nullptr, 0), 0);
}

NATIVE_TEST(secure_wipe_zeroes_the_bytes) {
    std::vector<uint8_t> secret(77, 0xA5);
    platform::secure_wipe(secret.data() + 1, 75);
    CHECK_EQ(secret.front(), 0xA5);
    CHECK_EQ(secret.back(), 0xA5);
    for (std::size_t k = 1; k < 76; ++k)
        CHECK_EQ(secret[k], 0);
    platform::secure_wipe(nullptr, 0);
}

NATIVE_TEST(wall_clock_reads_the_system_time) {
    std::int64_t nanoseconds = 0;
    const std::time_t before = std::time(nullptr);
    CHECK_EQ(platform::wall_clock(nanoseconds), 0);
    const std::time_t after = std::time(nullptr);
    CHECK(nanoseconds / 1'000'000'000 >= before - 1 && nanoseconds / 1'000'000'000 <= after + 1);
    std::int64_t later = 0;
    platform::wall_clock(later);
    CHECK(later >= nanoseconds);
}

NATIVE_TEST(thread_ids_tell_live_threads_apart) {
    const std::uint64_t mine = platform::thread_id();
    CHECK(mine != 0);
    CHECK_EQ(platform::thread_id(), mine);
    CHECK(platform::process_id() != 0);
    constexpr int kThreads = 8;
    std::vector<std::uint64_t> ids(kThreads);
    std::atomic<int> started{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < kThreads; ++k)
        threads.emplace_back([&, k] {
            ids[static_cast<std::size_t>(k)] = platform::thread_id();
            ++started;
            while (started < kThreads)
                std::this_thread::yield(); // all alive at once
        });
    for (std::thread& thread : threads)
        thread.join();
    std::set<std::uint64_t> distinct(ids.begin(), ids.end());
    distinct.insert(mine);
    CHECK_EQ(distinct.size(), std::size_t{kThreads + 1});
}

NATIVE_TEST(cpu_features_hold_together) {
    const platform::CpuFeatures& features = platform::cpu_features();
    CHECK(&features == &platform::cpu_features()); // read once
    // Each extension needs the ones its code uses alongside.
    CHECK(!features.aes || features.sse2);
    CHECK(!features.sha || features.sse41);
    CHECK(!features.vaes || (features.avx2 && features.aes));
    // Only one architecture's flags can be set.
    const bool x86 = features.sse2 || features.sse41 || features.aes || features.avx2 ||
                     features.vaes || features.sha;
    CHECK(!(x86 && (features.armv8_aes || features.armv8_sha256)));
    std::printf("cpu features: sse2=%d sse4.1=%d aes=%d avx2=%d vaes=%d sha=%d armv8-aes=%d "
                "armv8-sha256=%d\n",
                features.sse2, features.sse41, features.aes, features.avx2, features.vaes,
                features.sha, features.armv8_aes, features.armv8_sha256);
}

} // namespace
