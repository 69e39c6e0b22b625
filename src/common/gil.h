// Native work and the interpreter lock: one rule for when to give the lock up.
//
// `run_native(work, policy)` is the one way our modules run native work
// (work that touches no Python object): with the GIL given up or kept as the
// policy says, and always held again before anything leaves, whether `work`
// returns or throws, so an exception (std::bad_alloc included) reaches the
// binding with the GIL held, where nanobind turns it into the Python
// exception.
//
// The rule. Giving the lock up costs nothing when no other thread wants it,
// but beside a busy Python thread taking it back waits for that thread's
// switch interval (5 ms by default): a 50 µs folder listing that released
// the lock took 5 ms there. So work keeps the lock unless it is long enough
// to be worth that wait, or may block:
//   - Gil::release: work that may block for good (opening or reading a FIFO
//     or a device), that waits for stable storage (a save's fsync), or whose
//     size says it is long (release_for_bytes / release_for_file below);
//   - Gil::keep: short work: a stat, a realpath walk, a small file or token;
//   - Gil::release_when_long: work whose length is known only as it goes (a
//     folder of unknown size, a tree walk): it starts with the lock and gives
//     it up once it has run for kHoldGilFor, at its next check, or as soon
//     as it sees it will be long (a walk with many folders ahead).
// The thresholds below were measured on an x86-64 machine: each is where the
// work takes about kHoldGilFor.
//
// While the work runs it answers the cores' questions about stopping
// (common/interruption.h) as CPython's own calls behave: a system call
// interrupted by a signal runs the signal handlers, with the lock held, and
// gives up with their exception (KeyboardInterrupt for Ctrl-C); long work on
// the main thread runs them as it starts and every kSignalPollInterval. Only the main thread
// runs Python's signal handlers (common/host_life.h), so other threads never
// take the lock for it. Loops that build many Python objects, with the lock
// held, let the handlers run every kSignalBatch objects (run_signal_handlers).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include <nanobind/nanobind.h>

#include "common/host_life.h"
#include "common/interruption.h"

namespace tw::py {

// How long work holds the lock before it is worth giving up.
inline constexpr std::chrono::microseconds kHoldGilFor{500};
// A token's payload, base64 text, a digest's message: bytes in memory at
// about 1 GB/s through AES, HMAC and base64 together.
inline constexpr std::size_t kReleaseGilFromBytes = 512 * 1024;
// A file read whole and decoded: about 4 GB/s from the page cache.
inline constexpr std::int64_t kReleaseGilFromFileBytes = 2 * 1024 * 1024;
// Names sorted by their lower-cased text: about 100 ns each.
inline constexpr std::size_t kReleaseGilFromEntries = 4096;
// How often long work on the main thread stops to run signal handlers: a
// handler that raises ends the work within this and one unit of the work
// (a folder, a batch of entries, a megabyte), well under 50 ms. Taking the
// lock back for it waits for a busy thread's switch interval at worst; while
// that costs nothing (the work holds the lock, or the last time it was taken
// back at once), the handlers run every kSignalPollQuick instead.
inline constexpr std::chrono::milliseconds kSignalPollInterval{20};
inline constexpr std::chrono::milliseconds kSignalPollQuick{2};
// Taking the lock back faster than this found no other thread holding it.
inline constexpr std::chrono::microseconds kLockFree{200};
// How many Python objects a loop builds between two runs of the handlers.
inline constexpr std::size_t kSignalBatch = 4096;

enum class Gil { keep, release, release_when_long };

inline Gil release_for_bytes(std::size_t size) {
    return size >= kReleaseGilFromBytes ? Gil::release : Gil::keep;
}

inline Gil release_for_entries(std::size_t count) {
    return count >= kReleaseGilFromEntries ? Gil::release : Gil::keep;
}

// A file of `size` bytes (its stat), or something that is no regular file
// and may make a read wait for good.
inline Gil release_for_file(bool regular, std::int64_t size) {
    return !regular || size >= kReleaseGilFromFileBytes ? Gil::release : Gil::keep;
}

namespace detail {

// The span of one piece of native work: the lock given up or held as the
// policy says, and the cores' questions about stopping answered.
class NativeWork final : public tw::interruption::Listener {
  public:
    explicit NativeWork(Gil gil) noexcept
        : previous_(tw::interruption::listener), adaptive_(gil == Gil::release_when_long) {
        tw::interruption::listener = this;
        if (gil != Gil::release) return;
        // Long work first runs the handlers of signals that came meanwhile,
        // with the lock still held, where that costs nothing: a call made of
        // several pieces of work (a token decoded, then decrypted) ends as
        // promptly on a signal that came late in one piece as in the next.
        if (is_main_thread()) failed_ = PyErr_CheckSignals() != 0;
        if (!failed_) give_up_lock();
    }
    NativeWork(const NativeWork&) = delete;
    NativeWork& operator=(const NativeWork&) = delete;

    // Holds the lock again: the end of the work. Should the interpreter have
    // begun to finalize meanwhile, CPython ends the thread here instead
    // (common/host_life.h).
    void finish() noexcept {
        if (released_) PyEval_RestoreThread(state_);
        tw::interruption::listener = previous_;
    }

    bool stop_after_signal() noexcept override { return is_main_thread() && run_handlers(); }

    bool stop_requested() noexcept override {
        auto now = std::chrono::steady_clock::now();
        if (!started_) started_ = last_run_ = now;
        if (adaptive_ && !released_ && now - *started_ >= kHoldGilFor) give_up_lock();
        if (!is_main_thread() || now - last_run_ < poll_every_) return false;
        last_run_ = now;
        return run_handlers();
    }

    void work_is_long() noexcept override {
        if (adaptive_ && !released_) give_up_lock();
    }

    bool failed() const noexcept { return failed_; }

  private:
    void give_up_lock() noexcept {
        state_ = PyEval_SaveThread();
        released_ = true;
    }

    // The signal handlers, with the lock held, taken for a moment when the
    // work runs without it; how long that took sets when they run next.
    bool run_handlers() noexcept {
        if (released_) {
            const auto asked = std::chrono::steady_clock::now();
            PyEval_RestoreThread(state_);
            const bool waited = std::chrono::steady_clock::now() - asked >= kLockFree;
            poll_every_ = waited ? std::chrono::steady_clock::duration(kSignalPollInterval)
                                 : std::chrono::steady_clock::duration(kSignalPollQuick);
        }
        failed_ = failed_ || PyErr_CheckSignals() != 0;
        if (released_) state_ = PyEval_SaveThread();
        return failed_;
    }

    tw::interruption::Listener* previous_;
    bool adaptive_;
    bool released_ = false;
    bool failed_ = false;
    PyThreadState* state_ = nullptr;
    std::optional<std::chrono::steady_clock::time_point> started_; // at the first check
    std::chrono::steady_clock::time_point last_run_{};
    std::chrono::steady_clock::duration poll_every_ = kSignalPollQuick;
};

} // namespace detail

// Runs `work()` under `gil` and returns what it returns. When a signal
// handler raised, its exception leaves instead of the work's result.
template <typename Work> auto run_native(Work&& work, Gil gil) {
    using Result = std::invoke_result_t<Work&>;
    static_assert(!std::is_reference_v<Result>, "native work returns values");
    constexpr bool kVoid = std::is_void_v<Result>;
    std::optional<std::conditional_t<kVoid, std::monostate, Result>> result;
    std::exception_ptr failure;
    detail::NativeWork span(gil);
    if (!span.failed()) {
        try {
            if constexpr (kVoid) {
                work();
                result.emplace();
            } else {
                result.emplace(work());
            }
        } catch (...) {
            failure = std::current_exception();
        }
    }
    span.finish();
    if (span.failed()) throw nanobind::python_error();
    if (failure) std::rethrow_exception(failure);
    if constexpr (!kVoid) return std::move(*result);
}

// Runs the signal handlers, raising what one raises; on threads other than
// the main one, nothing. For loops that build Python objects with the lock
// held: every kSignalBatch of them.
inline void run_signal_handlers() {
    if (PyErr_CheckSignals() != 0) throw nanobind::python_error();
}

} // namespace tw::py
