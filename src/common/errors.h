// Raising and recognising Python exceptions from C++.
//
// Every error the modules report is a real Python exception of the exact type
// and message; C++ code signals it by setting the Python error indicator and
// throwing nb::python_error, which nanobind hands back to the interpreter
// unchanged.
#pragma once

#include <nanobind/nanobind.h>

#include <new>
#include <optional>
#include <utility>

namespace tw::py {

namespace nb = nanobind;

// Raise `type(message)`.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw nb::python_error();
}

// Raise `type(*args)` for an exception class built at run time.
[[noreturn]] inline void raise_object(nb::handle type, nb::handle value) {
    PyErr_SetObject(type.ptr(), value.ptr());
    throw nb::python_error();
}

// Raise `type(message)` with the message built by PyUnicode_FromFormat.
template <typename... Args>
[[noreturn]] void raise_format(PyObject* type, const char* format, Args... args) {
    PyErr_Format(type, format, args...);
    throw nb::python_error();
}

// `raise error` for an exception instance, as the `raise` statement does:
// TypeError for anything that is no exception. With a `context`, as inside
// an `except` block handling it.
[[noreturn]] inline void raise_instance(nb::handle error, nb::handle context = nb::handle()) {
    if (!PyExceptionInstance_Check(error.ptr()))
        raise(PyExc_TypeError, "exceptions must derive from BaseException");
    if (context) PyException_SetContext(error.ptr(), Py_NewRef(context.ptr()));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw nb::python_error();
}

// Turn a NULL result of the C API into a C++ exception; pass others through.
inline PyObject* check(PyObject* result) {
    if (!result) throw nb::python_error();
    return result;
}

// Steal a new reference returned by the C API, raising on NULL.
inline nb::object steal_checked(PyObject* result) {
    return nb::steal(check(result));
}

// The status of a C API call that returns an int: negative means it failed
// with a Python error set, which is raised; anything else is returned.
template <typename Status> Status require(Status status) {
    if (status < 0) throw nb::python_error();
    return status;
}

// A reference kept for the rest of the process (the objects bound at load,
// a module whose functions keep reading its namespace): never released, so
// no other object can come to live at its address.
inline PyObject* keep_for_process(nb::handle obj) {
    return Py_NewRef(obj.ptr());
}

// Python's truth test of `obj`.
inline bool truthy(nb::handle obj) {
    return require(PyObject_IsTrue(obj.ptr())) == 1;
}

// `str(obj)`.
inline nb::object str_of(nb::handle obj) {
    return steal_checked(PyObject_Str(obj.ptr()));
}

// Whether `error` is an instance of any of the given exception classes.
template <typename... Types> bool matches_any(const nb::python_error& error, Types... types) {
    return (error.matches(types) || ...);
}

// `try: return body()` / `except (<types>): return None`: the body's result,
// or nothing when it raised one of `types`; any other exception propagates.
template <typename Body, typename... Types>
auto unless_raised(Body&& body, Types... types) -> std::optional<decltype(body())> {
    try {
        return body();
    } catch (nb::python_error& error) {
        if (matches_any(error, types...)) return std::nullopt;
        throw;
    }
}

// Runs `body()` and returns its result; a std::bad_alloc it throws leaves as
// Python's MemoryError (nb::python_error), so that what handles Python errors
// around it (an `except Exception` of ours, a context manager's __exit__)
// sees the MemoryError it is.
template <typename Body> decltype(auto) memory_error_for_bad_alloc(Body&& body) {
    try {
        return std::forward<Body>(body)();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        throw nb::python_error();
    }
}

// Raise OSError(errno, strerror(errno), filename) the way `os` functions do;
// `filename` may be null.
[[noreturn]] inline void raise_os_error(int error_number, nb::handle filename = nb::handle()) {
    errno = error_number;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    throw nb::python_error();
}

} // namespace tw::py
