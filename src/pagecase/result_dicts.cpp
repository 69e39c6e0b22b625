// Result dictionaries; see result_dicts.h.
#include "pagecase/result_dicts.h"

namespace tw::pagecase {
namespace {

// Keys interned once and kept for the process, like the module's names.
struct Keys {
    PyObject *path, *name, *relative, *root;
};

const Keys& keys() {
    static const Keys interned{tw::py::check(PyUnicode_InternFromString("path")),
                               tw::py::check(PyUnicode_InternFromString("name")),
                               tw::py::check(PyUnicode_InternFromString("relative")),
                               tw::py::check(PyUnicode_InternFromString("root"))};
    return interned;
}

void put(PyObject* dict, PyObject* key, nb::handle value) {
    tw::py::require(PyDict_SetItem(dict, key, value.ptr()));
}

} // namespace

nb::object scan_result(nb::handle path, nb::handle name, nb::handle relative, nb::handle root) {
    nb::object dict = tw::py::steal_checked(PyDict_New());
    put(dict.ptr(), keys().path, path);
    put(dict.ptr(), keys().name, name);
    put(dict.ptr(), keys().relative, relative);
    put(dict.ptr(), keys().root, root);
    return dict;
}

nb::object directory_entry(nb::handle name, nb::handle path) {
    nb::object dict = tw::py::steal_checked(PyDict_New());
    put(dict.ptr(), keys().name, name);
    put(dict.ptr(), keys().path, path);
    return dict;
}

} // namespace tw::pagecase
