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
// How long it then gives the threads that have called us before, and run
// Python code now, to reach their next call and park there; a thread idle
// elsewhere (a worker waiting on a queue) makes it wait that long.
inline constexpr std::chrono::milliseconds kParkingWait{250};

namespace detail {

struct ExitGate {
    std::atomic<bool> closed{false};
    std::atomic<unsigned long> closing_thread{0};
    // Threads inside our calls that hold the lock or may wait for it.
    std::atomic<long> holding{0};
    // Threads alive that have called us, and those of them parked.
    std::atomic<long> known{0}, parked{0};
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

inline void notify_if_closed() noexcept {
    if (!exit_gate.closed.load()) return;
    std::lock_guard<std::mutex> lock(exit_gate.mutex);
    exit_gate.settled.notify_all();
}

inline void stop_holding() noexcept {
    if (exit_gate.holding.fetch_sub(1) == 1) notify_if_closed();
}

// Counts the thread among those that have called us, from its first call
// until it ends.
inline thread_local bool thread_is_known = false;
struct KnownThread {
    KnownThread() noexcept {
        exit_gate.known.fetch_add(1);
        thread_is_known = true;
    }
    ~KnownThread() {
        exit_gate.known.fetch_sub(1);
        notify_if_closed();
    }
};
inline void know_this_thread() noexcept {
    static thread_local KnownThread known;
    (void)known;
}

// The end of a thread the interpreter is about to finalize without: it sleeps,
// without the lock, until the process ends.
[[noreturn]] inline void park() noexcept {
    exit_gate.parked.fetch_add(1);
    notify_if_closed();
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

// The atexit handler (lock held). A thread left running Python code could
// still be waiting for the lock when finalization frees the interpreter's
// state, which CPython 3.10 to 3.13 do not always survive; so the threads
// that have called us are given the chance to park at their next call.
inline void close_exit_gate() {
    know_this_thread();
    exit_gate.closing_thread.store(PyThread_get_thread_ident());
    exit_gate.closed.store(true);
    const long own = call_depth > 0 ? 1 : 0;
    auto left = [own] { return exit_gate.holding.load() <= own; };
    // The closing thread itself is known, and never parks.
    auto parked = [] { return exit_gate.parked.load() >= exit_gate.known.load() - 1; };
    if (left() && parked()) return;
    PyThreadState* state = PyEval_SaveThread();
    {
        std::unique_lock<std::mutex> lock(exit_gate.mutex);
        exit_gate.settled.wait_for(lock, kExitWait, left);
        exit_gate.settled.wait_for(lock, kParkingWait, parked);
    }
    PyEval_RestoreThread(state);
}

// A forked child has this thread alone; the others' counts went with them.
inline void after_fork_in_child() {
    exit_gate.holding.store(call_depth > 0 ? 1 : 0);
    exit_gate.known.store(thread_is_known ? 1 : 0);
    exit_gate.parked.store(0);
}

} // namespace detail

// The span of one call of an exported callable (lock held): closed to
// threads other than the exiting one once the interpreter exits. A thread
// that was inside a call when the gate closed parks as it leaves, rather than
// go back to running Python code: it would only wait for the lock again, and
// a thread still waiting for it as the interpreter's state is freed at the
// end of finalization may crash the process (CPython 3.10 and later).
class CallScope {
  public:
    CallScope() noexcept {
        if (detail::call_depth++ > 0) return;
        detail::know_this_thread();
        detail::exit_gate.holding.fetch_add(1);
        if (detail::closed_to_this_thread()) park_without_lock();
    }
    ~CallScope() {
        if (--detail::call_depth > 0) return;
        if (detail::closed_to_this_thread()) park_without_lock();
        detail::stop_holding();
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

  private:
    [[noreturn]] static void park_without_lock() noexcept {
        detail::stop_holding();
        PyEval_SaveThread();
        detail::park();
    }
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
