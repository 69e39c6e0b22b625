// A name looked up on a type as attribute lookup finds it there, through the
// type's method resolution order, without running anything; by public API,
// so that it keeps working on releases that change the interpreter's own
// lookup.
#pragma once

#include "common/errors.h"

namespace tw::py {

// The dictionary a class holds itself, borrowed, or null.
inline PyObject* own_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    // Static built-in types keep their dictionary per interpreter from 3.12
    // on; the reference it returns is the class's to keep.
    PyObject* dict = PyType_GetDict(type);
    Py_XDECREF(dict);
    return dict;
#else
    return type->tp_dict;
#endif
}

// The object `type` or its first base in tp_mro holds under `name` (a str),
// borrowed from that class's dictionary, or null. Raises only what a
// dictionary lookup of a str raises.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;
    const Py_ssize_t count = mro ? PyTuple_GET_SIZE(mro) : 1;
    for (Py_ssize_t k = 0; k < count; ++k) {
        auto* base = mro ? reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, k)) : type;
        PyObject* dict = own_dict(base);
        if (!dict) continue;
        PyObject* found = PyDict_GetItemWithError(dict, name);
        if (found) return found;
        if (PyErr_Occurred()) throw nb::python_error();
    }
    return nullptr;
}

} // namespace tw::py
