// Stopping native work early, as the interpreter's own calls stop: when a
// signal interrupts a system call (EINTR), CPython runs the signal handlers
// and gives up with their exception (KeyboardInterrupt for Ctrl-C), and long
// work checks for signals now and then. No Python headers: the cores ask
// these questions, and the bindings answer them for the work they run
// (common/gil.h), with the interpreter lock taken only when a handler may run.
#pragma once

#include <cerrno>

namespace tw::interruption {

// What the code that started a piece of native work says about stopping it.
class Listener {
  public:
    // A signal interrupted a system call: true when the work should give up
    // (the call then fails with EINTR) rather than retry it.
    virtual bool stop_after_signal() noexcept = 0;
    // Asked now and then by long work: true when it should give up.
    virtual bool stop_requested() noexcept = 0;
    // Said by work that sees it will be long (a walk with many folders
    // ahead): the code running it may give up the GIL now rather than later.
    virtual void work_is_long() noexcept = 0;

  protected:
    ~Listener() = default;
};

// The listener of the work running on this thread; none outside such work,
// where interrupted calls are simply retried.
inline thread_local Listener* listener = nullptr;

// Whether a system call that failed with EINTR should be given up rather
// than called again.
inline bool stop_after_signal() noexcept {
    return listener != nullptr && listener->stop_after_signal();
}

// Calls `call` (a platform call: 0 or an errno) again for as long as a signal
// interrupts it and the work is not told to stop; its last result:
//   int error = tw::interruption::retried([&] { return file.open(path, flags); });
template <typename Call> int retried(Call&& call) {
    for (;;) {
        const int error = call();
        if (error != EINTR || stop_after_signal()) return error;
    }
}

// For long work, once per unit of work (a folder, a batch of entries).
inline bool stop_requested() noexcept {
    return listener != nullptr && listener->stop_requested();
}

inline void work_is_long() noexcept {
    if (listener != nullptr) listener->work_is_long();
}

} // namespace tw::interruption
