// Helpers the Python-facing files share: argument type errors, decoding of
// token-cipher results, and wiping bytes that held key material.
#include "tw_lattice/core/wipe.h"
#include "tw_lattice/module_state.h"

namespace tw::lattice {

nb::object decoded_text(nb::handle data) {
    if (PyBytes_Check(data.ptr()))
        return tw::py::steal_checked(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(data.ptr()),
                                                          PyBytes_GET_SIZE(data.ptr()), nullptr));
    return data.attr("decode")();
}

void raise_argument_type(const char* function, const char* argument, const char* expected,
                         nb::handle value) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", function, argument,
                 expected, Py_TYPE(value.ptr())->tp_name);
    throw nb::python_error();
}

KeyBytes::~KeyBytes() {
    // One reference, ours: no one else can read the bytes any more. Shared
    // singletons and immortal objects never have a count of one.
    PyObject* bytes = bytes_.ptr();
    if (bytes && PyBytes_CheckExact(bytes) && Py_REFCNT(bytes) == 1)
        tw::lattice::secure_wipe(PyBytes_AS_STRING(bytes),
                                 static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
}

} // namespace tw::lattice
