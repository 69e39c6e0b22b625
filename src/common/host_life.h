// The host's life as our modules meet it: which thread runs Python's signal
// handlers, a fork, and the interpreter's exit.
//
// Exit. Nothing of ours runs or waits at exit: every thread goes on calling
// us while the host's exit handlers run, as it would call any other module.
// Once finalization has begun, the interpreter ends a thread that wants its
// lock back. CPython 3.14 and later park such a thread for good themselves;
// CPython 3.10 to 3.13 end it with pthread_exit, whose unwinding each module
// stops at its first frame of ours, parking the thread there
// (common/platform/thread_end_glibc.cpp; where pthread_exit does not unwind,
// there is nothing to stop). So a thread waits at our boundary only where
// CPython itself ends it.
//
// Signals. Only the interpreter's main thread runs Python's signal handlers,
// so only there does native work interrupted by a signal give up, and only
// there does long work stop now and then to run them (common/gil.h). The main
// thread is the one the interpreter started on (the one `threading` names);
// in a child of fork() it is the thread that forked, whichever thread that
// was.
//
// The record is one for the process, shared by the three modules through the
// interpreter's state dictionary: the first module loaded makes it and
// registers the hooks that keep it.
#pragma once

#include <atomic>
#include <cstddef>
#include <new>

#include "common/errors.h"

namespace tw::py {

namespace detail {

struct HostRecord {
    std::atomic<unsigned long> main_thread{0};
    bool threads_at_exit = false; // other threads alive when the exit handlers ran
};

// This module's view of the process's record; null until install_host_hooks.
inline HostRecord* host_record = nullptr;

// The thread of the main interpreter's first thread state, which lives as
// long as the interpreter: the thread it started on. (Importing `threading`
// to ask it would cost every import a millisecond.)
inline unsigned long interpreter_main_thread() noexcept {
    PyThreadState* first = PyInterpreterState_ThreadHead(PyInterpreterState_Main());
    for (PyThreadState* next = first; next != nullptr; next = PyThreadState_Next(next))
        first = next;
    return first->thread_id;
}

inline void after_fork_in_child() noexcept {
    host_record->main_thread.store(PyThread_get_thread_ident());
}

// At the interpreter's exit: objects that threads still running hold then
// are never freed, and nanobind's report of what was left alive would list
// them as leaks. The report stays on for an exit that no such thread sees,
// where whatever is left alive is a reference that was lost.
inline void before_exit() noexcept {
    PyThreadState* head = PyInterpreterState_ThreadHead(PyInterpreterState_Get());
    if (head != nullptr && PyThreadState_Next(head) != nullptr) {
        host_record->threads_at_exit = true;
        nanobind::set_leak_warnings(false);
    }
}

#if PY_VERSION_HEX < 0x030B0000
// CPython 3.10 frees its main interpreter and every thread state at the very
// end of finalization (3.11 and later keep the main interpreter in static
// memory). A thread still waiting for the lock then reads them when it wakes,
// to learn that it must end, and writes to them every switch interval: once
// the memory is reused, the process may crash on its way out. So when the
// interpreter clears its state dictionary, which holds the record, with other
// threads alive, those blocks are kept for the rest of the process: a hook
// around the raw allocator (the domain they come from) lets every other block
// go as before. The hook takes the wrapped allocator's context as its own, so
// that a thread reading the old functions with the new context, or the other
// way round, still frees through the right allocator.
struct KeptBlocks {
    PyMemAllocatorEx wrapped;
    std::size_t count = 0;
    void** blocks = nullptr;
};
inline std::atomic<KeptBlocks*> kept_blocks{nullptr};

inline bool is_kept(const KeptBlocks& kept, void* block) noexcept {
    for (std::size_t i = 0; i < kept.count; ++i)
        if (kept.blocks[i] == block) return true;
    return false;
}

inline void* kept_malloc(void*, std::size_t size) noexcept {
    const KeptBlocks& kept = *kept_blocks.load(std::memory_order_acquire);
    return kept.wrapped.malloc(kept.wrapped.ctx, size);
}
inline void* kept_calloc(void*, std::size_t count, std::size_t size) noexcept {
    const KeptBlocks& kept = *kept_blocks.load(std::memory_order_acquire);
    return kept.wrapped.calloc(kept.wrapped.ctx, count, size);
}
inline void* kept_realloc(void*, void* block, std::size_t size) noexcept {
    const KeptBlocks& kept = *kept_blocks.load(std::memory_order_acquire);
    return kept.wrapped.realloc(kept.wrapped.ctx, block, size);
}
inline void kept_free(void*, void* block) noexcept {
    const KeptBlocks& kept = *kept_blocks.load(std::memory_order_acquire);
    if (!is_kept(kept, block)) kept.wrapped.free(kept.wrapped.ctx, block);
}

inline void keep_interpreter_memory() noexcept {
    if (kept_blocks.load() != nullptr) return; // kept once, for the process
    PyInterpreterState* interpreter = PyInterpreterState_Main();
    std::size_t states = 0;
    for (PyThreadState* state = PyInterpreterState_ThreadHead(interpreter); state != nullptr;
         state = PyThreadState_Next(state))
        ++states;
    auto* kept = new (std::nothrow) KeptBlocks;
    void** blocks = new (std::nothrow) void*[states + 1];
    if (kept == nullptr || blocks == nullptr) {
        delete kept;
        delete[] blocks;
        return;
    }
    kept->blocks = blocks;
    PyMem_GetAllocator(PYMEM_DOMAIN_RAW, &kept->wrapped);
    kept->blocks[kept->count++] = interpreter;
    for (PyThreadState* state = PyInterpreterState_ThreadHead(interpreter); state != nullptr;
         state = PyThreadState_Next(state))
        kept->blocks[kept->count++] = state;
    kept_blocks.store(kept, std::memory_order_release);
    PyMemAllocatorEx hook{kept->wrapped.ctx, kept_malloc, kept_calloc, kept_realloc, kept_free};
    PyMem_SetAllocator(PYMEM_DOMAIN_RAW, &hook);
}
#endif

inline void before_interpreter_is_freed(PyObject*) noexcept {
#if PY_VERSION_HEX < 0x030B0000
    if (host_record->threads_at_exit) keep_interpreter_memory();
#endif
}

} // namespace detail

// Whether the calling thread is the one that runs Python's signal handlers.
inline bool is_main_thread() noexcept {
    return PyThread_get_thread_ident() ==
           detail::host_record->main_thread.load(std::memory_order_relaxed);
}

// Called from each module's initialisation (lock held): finds the process's
// record, or makes it and registers its hooks (the reset of a forked child,
// the exit handler).
inline void install_host_hooks() {
    namespace nb = nanobind;
    constexpr const char* kKey = "tidewing.host_record";
    PyObject* states = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (states == nullptr) raise(PyExc_RuntimeError, "no interpreter state dictionary");
    nb::object key = steal_checked(PyUnicode_FromString(kKey));
    if (PyObject* found = PyDict_GetItemWithError(states, key.ptr())) {
        void* record = PyCapsule_GetPointer(found, kKey);
        if (record == nullptr) throw nb::python_error();
        detail::host_record = static_cast<detail::HostRecord*>(record);
        return;
    }
    if (PyErr_Occurred()) throw nb::python_error();
    // Kept for the process: threads parked at exit may still read it.
    auto* record = new detail::HostRecord;
    record->main_thread.store(detail::interpreter_main_thread());
    nb::object capsule =
        steal_checked(PyCapsule_New(record, kKey, detail::before_interpreter_is_freed));
    require(PyDict_SetItem(states, key.ptr(), capsule.ptr()));
    detail::host_record = record;
    nb::module_::import_("os").attr("register_at_fork")(
        nb::arg("after_in_child") =
            nb::cpp_function([] { detail::after_fork_in_child(); }, nb::name("after_fork")));
    nb::module_::import_("atexit").attr("register")(
        nb::cpp_function([] { detail::before_exit(); }, nb::name("before_exit")));
}

} // namespace tw::py
