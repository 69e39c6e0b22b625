// How a thread ends when the interpreter ends it inside one of our calls, on
// C libraries whose pthread_exit unwinds the stack (glibc).
//
// Once finalization has begun, CPython 3.10 to 3.13 end every other thread
// that wants the interpreter lock back with pthread_exit, and glibc's
// pthread_exit unwinds the thread's stack as an exception nothing may stop
// ("forced unwinding"). A thread inside one of our calls, waiting for the
// lock after native work or in host code we called (a callback that sleeps,
// a Path subclass's method), would be unwound through our frames: their
// destructors would change reference counts without the lock while the main
// thread collects garbage, and the unwinding would end in nanobind's noexcept
// dispatch, which terminates the process.
//
// So each extension module is linked with its C++ personality routine
// wrapped (-Wl,--wrap=__gxx_personality_v0, cmake/TidewingModule.cmake): the
// unwinder asks the personality routine of every C++ frame what to do before
// it runs that frame's cleanups, and the wrapper stops a forced unwind at the
// first frame of the module it reaches. The thread then sleeps for good,
// without the lock and with every signal blocked, until the process ends:
// what CPython 3.14 and later do themselves with such a thread. The frames
// beneath ours belong to CPython's C code, which has no cleanups to run.
//
// Only a thread's end unwinds by force: pthread_exit, which CPython calls
// only there, and pthread_cancel, which no host can use on a thread that runs
// Python code. Ordinary C++ exceptions pass through unchanged. No Python
// headers: nothing here may touch the interpreter.
#include <csignal>
#include <unwind.h>

#include <pthread.h>
#include <unistd.h>

extern "C" {

_Unwind_Reason_Code __real___gxx_personality_v0(int version, _Unwind_Action actions,
                                                _Unwind_Exception_Class exception_class,
                                                _Unwind_Exception* exception,
                                                _Unwind_Context* context);

// The personality routine of every C++ frame in the module.
_Unwind_Reason_Code __wrap___gxx_personality_v0(int version, _Unwind_Action actions,
                                                _Unwind_Exception_Class exception_class,
                                                _Unwind_Exception* exception,
                                                _Unwind_Context* context) {
    if ((actions & _UA_FORCE_UNWIND) != 0) {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        for (;;)
            pause();
    }
    return __real___gxx_personality_v0(version, actions, exception_class, exception, context);
}

} // extern "C"
