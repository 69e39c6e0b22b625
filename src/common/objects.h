// Python's operators spelled once for the bindings: truth, comparison,
// membership and length, each with the interpreter's own semantics and
// exceptions.
#pragma once

#include "common/errors.h"

namespace tw::py {

// `left <op> right` then its truth, as a Python expression evaluates it: no
// identity shortcut, so an object whose __eq__ says no is not equal to itself.
inline bool compare(nb::handle left, nb::handle right, int op) {
    return truthy(steal_checked(PyObject_RichCompare(left.ptr(), right.ptr(), op)));
}

// `item in container`.
inline bool contains(nb::handle container, nb::handle item) {
    return require(PySequence_Contains(container.ptr(), item.ptr())) == 1;
}

// `len(obj)`.
inline Py_ssize_t length_of(nb::handle obj) {
    return require(PyObject_Length(obj.ptr()));
}

} // namespace tw::py
