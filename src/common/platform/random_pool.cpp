// pooled_random(): random bytes from a pool filled in batches; see
// platform.h. Shared by every family; the fork hook is the family's.
#include <cstring>
#include <mutex>

#include "common/platform/family.h"

namespace tw::platform {
namespace {

// Sixteen IVs a batch: most of a system call's cost saved, and within
// getentropy()'s most per call (posix.cpp).
constexpr std::size_t kBatch = 256;

// A global, initialised before first use (constant-initialised where the
// library's std::mutex allows it), so no first use can be caught half done
// by a fork.
struct Pool {
    std::mutex lock;
    bool hooked = false;       // the fork handlers are registered
    std::size_t used = kBatch; // bytes[used..] are yet to be handed out
    unsigned char bytes[kBatch] = {};
};
Pool pool;

// Across a fork the lock is held, so the child's copy of the pool is whole;
// the child wipes what its parent had not handed out.
void before_fork() {
    pool.lock.lock();
}
void in_parent() {
    pool.lock.unlock();
}
void in_child() {
    secure_wipe(pool.bytes, kBatch);
    pool.used = kBatch;
    pool.lock.unlock();
}

} // namespace

int pooled_random(void* out, std::size_t size) noexcept {
    if (size > kBatch / 4) return secure_random(out, size); // too large to be worth pooling
    std::lock_guard<std::mutex> held(pool.lock);
    if (!pool.hooked) {
        family::at_fork(before_fork, in_parent, in_child);
        pool.hooked = true;
    }
    if (kBatch - pool.used < size) {
        // Refilled whole: the fill overwrites what was left.
        if (const int error = secure_random(pool.bytes, kBatch)) {
            secure_wipe(pool.bytes, kBatch);
            pool.used = kBatch;
            return error;
        }
        pool.used = 0;
    }
    std::memcpy(out, pool.bytes + pool.used, size);
    secure_wipe(pool.bytes + pool.used, size);
    pool.used += size;
    return 0;
}

} // namespace tw::platform
