// How the modules stand towards the GIL: they need it. Their C++ shares
// state between calls on the understanding that the interpreter lock
// serialises them (the verdict caches of common/originals.h among them), so none may run on a
// free-threaded CPython with the lock off. nanobind gives a module the slot Py_mod_gil =
// Py_MOD_GIL_NOT_USED only when it is built with FREE_THREADED; ours are
// built without it (cmake/TidewingModule.cmake), so they carry no such slot,
// which CPython reads as Py_MOD_GIL_USED: a free-threaded interpreter turns
// the GIL on when it imports one and warns that it did. Each module.cpp
// includes this header, which holds that line.
#pragma once

#if defined(NB_FREE_THREADED)
#error "the modules need the GIL: build them without nanobind's FREE_THREADED"
#endif
