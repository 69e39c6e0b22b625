// Native work without the interpreter lock, and the interpreter's exit.
//
// `without_gil(work)` is the one way our modules run native work: it releases
// the GIL around `work` (which must not touch any Python object) and holds the
// lock again before anything leaves, whether `work` returns or throws, so an
// exception (std::bad_alloc included) always reaches the binding with the GIL
// held, where nanobind turns it into the Python exception.
//
// While the work runs it answers the cores' questions about stopping
// (common/interruption.h) the way CPython's own calls behave: a system call
// interrupted by a signal runs the signal handlers, with the lock held, and
// gives up with their exception (KeyboardInterrupt for Ctrl-C); long work on
// the main thread runs them every kSignalPollInterval. Only the main thread
// runs Python's signal handlers, so other threads never take the lock for it.
//
// The interpreter's exit. At finalization CPython ends every other thread
// that tries to take the lock back by unwinding it (pthread_exit), and that
// unwinding cannot pass nanobind's dispatch, a noexcept function: the process
// would abort. So no thread may be waiting for the lock inside our calls once
// finalization begins. An atexit handler, which runs before finalization
// while other threads still run, closes the exit gate: calls that begin
// afterwards on other threads, and work without the lock that ends
// afterwards, park their thread for good instead of taking the lock (CPython
// 3.14 parks such threads itself); and it waits, with the lock released,
// until every other thread inside our calls has left them or parked. Every
// exported callable enters through a CallScope (common/function.h).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

#include <nanobind/nanobind.h>

#include "common/interruption.h"

namespace tw::py {

// Work over at least this many bytes in memory (a token's payload, base64
// text) runs without the GIL.
inline constexpr std::size_t kReleaseGilFromBytes = 32 * 1024;
// How often long work on the main thread stops to run signal handlers.
inline constexpr std::chrono::milliseconds kSignalPollInterval{50};
// How long the exit handler waits for other threads to leave our calls. Only
// a thread stuck in host code that never returns makes it wait that long.
inline constexpr std::chrono::seconds kExitWait{2};

namespace detail {

struct ExitGate {
    std::atomic<bool> closed{false};
    std::atomic<unsigned long> closing_thread{0};
    // Threads inside our calls that hold the lock or may wait for it.
    std::atomic<long> holding{0};
    std::mutex mutex;
    std::condition_variable settled;
    unsigned long main_thread = 0; // the thread that runs Python's signal handlers
};
inline ExitGate exit_gate;
inline thread_local int call_depth = 0; // CallScopes open on this thread

inline bool closed_to_this_thread() noexcept {
    return exit_gate.closed.load() &&
           PyThread_get_thread_ident() != exit_gate.closing_thread.load();
}

inline bool is_main_thread() noexcept {
    return PyThread_get_thread_ident() == exit_gate.main_thread;
}

inline void stop_holding() noexcept {
    if (exit_gate.holding.fetch_sub(1) == 1 && exit_gate.closed.load()) {
        std::lock_guard<std::mutex> lock(exit_gate.mutex);
        exit_gate.settled.notify_all();
    }
}

// The end of a thread the interpreter is about to finalize without: it sleeps,
// without the lock, until the process ends.
[[noreturn]] inline void park() noexcept {
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(24));
}

// Takes the lock back for a thread that released it with `state`, unless the
// exit gate is closed to it: then it parks. Counted while it waits, so that
// the exit handler waits for it rather than let finalization begin.
inline void take_lock(PyThreadState* state) noexcept {
    exit_gate.holding.fetch_add(1);
    if (closed_to_this_thread()) {
        stop_holding();
        park();
    }
    PyEval_RestoreThread(state);
}

// The atexit handler (lock held).
inline void close_exit_gate() {
    exit_gate.closing_thread.store(PyThread_get_thread_ident());
    exit_gate.closed.store(true);
    const long own = call_depth > 0 ? 1 : 0;
    if (exit_gate.holding.load() <= own) return;
    PyThreadState* state = PyEval_SaveThread();
    {
        std::unique_lock<std::mutex> lock(exit_gate.mutex);
        exit_gate.settled.wait_for(lock, kExitWait,
                                   [own] { return exit_gate.holding.load() <= own; });
    }
    PyEval_RestoreThread(state);
}

// A forked child has this thread alone; the others' counts went with them.
inline void after_fork_in_child() {
    exit_gate.holding.store(call_depth > 0 ? 1 : 0);
}

// The answers of work that keeps the lock: the handlers run at once.
class WithLock final : public tw::interruption::Listener {
  public:
    WithLock() noexcept : previous_(tw::interruption::listener) {
        tw::interruption::listener = this;
    }
    ~WithLock() { tw::interruption::listener = previous_; }
    WithLock(const WithLock&) = delete;
    WithLock& operator=(const WithLock&) = delete;

    bool stop_after_signal() noexcept override { return run_handlers(); }
    bool stop_requested() noexcept override {
        if (!is_main_thread()) return false;
        auto now = std::chrono::steady_clock::now();
        if (now - last_run_ < kSignalPollInterval) return false;
        last_run_ = now;
        return run_handlers();
    }
    bool failed() const noexcept { return failed_; }

  private:
    bool run_handlers() noexcept {
        failed_ = failed_ || PyErr_CheckSignals() != 0;
        return failed_;
    }

    tw::interruption::Listener* previous_;
    std::chrono::steady_clock::time_point last_run_ = std::chrono::steady_clock::now();
    bool failed_ = false;
};

// The answers of work without the lock, which it takes for a moment when a
// handler may run.
class WithoutLock final : public tw::interruption::Listener {
  public:
    WithoutLock() noexcept : previous_(tw::interruption::listener) {
        tw::interruption::listener = this;
        counted_ = call_depth > 0;
        if (counted_) stop_holding();
        state_ = PyEval_SaveThread();
    }
    WithoutLock(const WithoutLock&) = delete;
    WithoutLock& operator=(const WithoutLock&) = delete;

    // Holds the lock again (or parks); the end of the work.
    void finish() noexcept {
        take_lock(state_);
        if (!counted_) stop_holding();
        tw::interruption::listener = previous_;
    }

    bool stop_after_signal() noexcept override {
        if (closed_to_this_thread()) return true;
        return is_main_thread() && run_handlers();
    }
    bool stop_requested() noexcept override {
        if (closed_to_this_thread()) return true;
        if (!is_main_thread()) return false;
        auto now = std::chrono::steady_clock::now();
        if (now - last_run_ < kSignalPollInterval) return false;
        last_run_ = now;
        return run_handlers();
    }
    bool failed() const noexcept { return failed_; }

  private:
    bool run_handlers() noexcept {
        exit_gate.holding.fetch_add(1);
        if (closed_to_this_thread()) {
            stop_holding();
            return true;
        }
        PyEval_RestoreThread(state_);
        failed_ = failed_ || PyErr_CheckSignals() != 0;
        state_ = PyEval_SaveThread();
        stop_holding();
        return failed_;
    }

    tw::interruption::Listener* previous_;
    PyThreadState* state_ = nullptr;
    std::chrono::steady_clock::time_point last_run_ = std::chrono::steady_clock::now();
    bool counted_ = false;
    bool failed_ = false;
};

} // namespace detail

// The span of one call of an exported callable (lock held): closed to
// threads other than the exiting one once the interpreter exits.
class CallScope {
  public:
    CallScope() noexcept {
        if (detail::call_depth++ > 0) return;
        detail::exit_gate.holding.fetch_add(1);
        if (detail::closed_to_this_thread()) {
            detail::stop_holding();
            PyEval_SaveThread();
            detail::park();
        }
    }
    ~CallScope() {
        if (--detail::call_depth == 0) detail::stop_holding();
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
};

// Called once from each module's initialisation: remembers the main thread
// and registers the exit handler (and the reset of a forked child).
inline void install_exit_gate() {
    namespace nb = nanobind;
    detail::exit_gate.main_thread = nb::cast<unsigned long>(
        nb::module_::import_("threading").attr("main_thread")().attr("ident"));
    nb::module_::import_("atexit").attr("register")(
        nb::cpp_function([] { detail::close_exit_gate(); }, nb::name("close_exit_gate")));
    nb::module_::import_("os").attr("register_at_fork")(
        nb::arg("after_in_child") =
            nb::cpp_function([] { detail::after_fork_in_child(); }, nb::name("after_fork")));
}

// Runs `work()` and returns what it returns: without the GIL when `release`
// is true (release only for work long enough to be worth the switch), with
// the cores' questions about stopping answered as described above. When a
// signal handler raised, its exception leaves instead of the work's result.
template <typename Work> auto without_gil(Work&& work, bool release = true) {
    using Result = std::invoke_result_t<Work&>;
    static_assert(!std::is_reference_v<Result>, "native work returns values");
    if (!release) {
        detail::WithLock listener;
        if constexpr (std::is_void_v<Result>) {
            work();
            if (listener.failed()) throw nanobind::python_error();
        } else {
            Result result = work();
            if (listener.failed()) throw nanobind::python_error();
            return result;
        }
    } else {
        std::exception_ptr failure;
        if constexpr (std::is_void_v<Result>) {
            detail::WithoutLock listener;
            try {
                work();
            } catch (...) {
                failure = std::current_exception();
            }
            listener.finish();
            if (listener.failed()) throw nanobind::python_error();
            if (failure) std::rethrow_exception(failure);
        } else {
            std::optional<Result> result;
            detail::WithoutLock listener;
            try {
                result.emplace(work());
            } catch (...) {
                failure = std::current_exception();
            }
            listener.finish();
            if (listener.failed()) throw nanobind::python_error();
            if (failure) std::rethrow_exception(failure);
            return std::move(*result);
        }
    }
}

} // namespace tw::py
