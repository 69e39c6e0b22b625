// The interpreter's exit, as our native code must meet it.
//
// At finalization CPython ends every other thread that tries to take the
// interpreter lock back by unwinding it (pthread_exit), and that unwinding
// cannot pass nanobind's dispatch, a noexcept function: the process would
// abort. So no thread may be waiting for the lock inside our calls once
// finalization begins. An atexit handler, which runs before finalization
// while other threads still run, closes the exit gate: calls that begin
// afterwards on other threads, and native work that ends afterwards without
// the lock, park their thread for good instead of taking the lock (CPython
// 3.14 parks such threads itself); and it waits, with the lock released,
// until every other thread inside our calls has left them or parked. Every
// exported callable enters through a CallScope (common/function.h); native
// work takes the lock back through take_lock (common/gil.h).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <nanobind/nanobind.h>

namespace tw::py {

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

} // namespace tw::py
