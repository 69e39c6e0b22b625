// Record classes that become dataclasses when first looked at.
//
// Importing `dataclasses` costs as much as the rest of a module's import (it
// brings `inspect`, `ast` and `dis` with it), and its decorator compiles and
// runs the code of every generated method. So a record class is made without
// it, and each name the decorator adds to a class (`__init__`, `__repr__`,
// `__eq__`, `__hash__`, `__match_args__`, `__dataclass_fields__`,
// `__dataclass_params__`, `__setattr__` and `__delattr__` when frozen,
// `__replace__` from 3.13 on) first holds a stand-in. The first lookup of any
// of them, on the class or an instance (making one, repr(), ==, hash(),
// assigning to a frozen field, dataclasses.fields(), pattern matching,
// inspect.signature()), runs the real decorator on a class made from the same
// body and bases, moves what it made into the record class in one step that
// runs no Python code, and then answers as the real attribute. Every look at
// a record thus sees the standard dataclass; only the raw class `__dict__`
// shows the stand-ins before that. When `dataclasses` is loaded already, the
// class is made a dataclass at once.
//
// The generated `__setattr__` of a frozen class compares with the class it
// was made for: the closures of the moved functions are pointed at the
// record class.
#pragma once

#include <new>
#include <utility>
#include <vector>

#include "common/deferred_member.h"

namespace tw::py {

namespace detail {

// Whether `owner` still waits for its decorator.
inline bool still_deferred(nb::handle owner) {
    static PyObject* const key = check(PyUnicode_InternFromString("__dataclass_fields__"));
    return holds_deferred_member(owner, key);
}

// Points the closure cells of `function` (and of functions it closes over,
// as a repr wrapper does) that hold `from` at `to`.
inline void retarget_closures(PyObject* function, PyObject* from, PyObject* to, int depth = 2) {
    if (depth == 0 || !PyFunction_Check(function)) return;
    PyObject* closure = PyFunction_GetClosure(function);
    if (closure == nullptr) return;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(closure); ++k) {
        PyObject* cell = PyTuple_GET_ITEM(closure, k);
        PyObject* held = PyCell_GET(cell);
        if (held == from)
            require(PyCell_Set(cell, to));
        else if (held != nullptr)
            retarget_closures(held, from, to, depth - 1);
    }
}

// Moves what the decorator made for `scratch` into `owner`: every name it
// added that `owner` does not hold already but as a stand-in; stand-ins it
// made nothing for go. No Python code runs meanwhile (the collector is off),
// so no other thread sees the class half made.
inline void move_into(nb::handle owner, nb::handle scratch, nb::handle body) {
    std::vector<std::pair<nb::object, nb::object>> moved;
    PyObject* made = own_dict(reinterpret_cast<PyTypeObject*>(scratch.ptr()));
    PyObject* holds = own_dict(reinterpret_cast<PyTypeObject*>(owner.ptr()));
    Py_ssize_t at = 0;
    PyObject *key, *value;
    while (PyDict_Next(made, &at, &key, &value)) {
        // The class's own descriptors of its instances' __dict__ and weak references.
        if (PyUnicode_Check(key) && (PyUnicode_CompareWithASCIIString(key, "__dict__") == 0 ||
                                     PyUnicode_CompareWithASCIIString(key, "__weakref__") == 0))
            continue;
        if (PyDict_GetItemWithError(body.ptr(), key) == value) continue; // as the body had it
        PyObject* held = PyDict_GetItemWithError(holds, key);
        if (PyErr_Occurred()) throw nb::python_error();
        if (held == nullptr || is_deferred_member(held))
            moved.emplace_back(nb::borrow(key), nb::borrow(value));
    }
    std::vector<nb::object> left;
    at = 0;
    while (PyDict_Next(holds, &at, &key, &value))
        if (is_deferred_member(value) && !PyDict_Contains(made, key))
            left.push_back(nb::borrow(key));

    for (auto& [name, member] : moved)
        retarget_closures(member.ptr(), scratch.ptr(), owner.ptr());
    const int collecting = PyGC_Disable();
    int failed = 0;
    for (auto& [name, member] : moved)
        failed = failed || PyObject_SetAttr(owner.ptr(), name.ptr(), member.ptr()) != 0;
    for (nb::object& name : left)
        failed = failed || PyObject_DelAttr(owner.ptr(), name.ptr()) != 0;
    if (collecting) PyGC_Enable();
    if (failed) throw nb::python_error();
}

// Makes `owner` the dataclass its recipe describes, unless it is one already.
inline void realize(nb::handle owner, nb::handle recipe) {
    if (!still_deferred(owner)) return;
    nb::module_ dataclasses = nb::module_::import_("dataclasses");
    if (!still_deferred(owner)) return; // made by another thread meanwhile
    nb::object name = recipe[0], bases = recipe[1], body = recipe[2], factories = recipe[4];
    nb::dict scratch_body = nb::steal<nb::dict>(check(PyDict_Copy(body.ptr())));
    for (auto [field, factory] : nb::borrow<nb::dict>(factories))
        scratch_body[field] = dataclasses.attr("field")(nb::arg("default_factory") = factory);
    nb::object scratch =
        nb::borrow(reinterpret_cast<PyObject*>(&PyType_Type))(name, bases, scratch_body);
    nb::kwargs options;
    if (truthy(recipe[3])) options["frozen"] = true;
    nb::object decorated = dataclasses.attr("dataclass")(**options)(scratch);
    if (!decorated.is(scratch))
        raise(PyExc_RuntimeError, "the dataclass decorator made a new class");
    if (!still_deferred(owner)) return;
    move_into(owner, scratch, body);
}

} // namespace detail

// A field whose default is made by calling `factory`
// (`dataclasses.field(default_factory=factory)`).
struct FactoryField {
    const char* name;
    nb::handle factory;
};

// Makes `cls`, which `type(name, bases, body)` made, what
// `dataclasses.dataclass(frozen=frozen)` makes of it with the fields in
// `factories` given their default factories: at once when `dataclasses` is
// loaded already, otherwise when first looked at (see the top).
inline void defer_dataclass(nb::handle cls, nb::handle name, nb::handle bases, nb::dict body,
                            bool frozen, const std::vector<FactoryField>& factories) {
    nb::dict factory_map;
    for (const FactoryField& field : factories)
        factory_map[field.name] = field.factory;
    nb::object recipe = nb::make_tuple(name, bases, body, nb::bool_(frozen), factory_map);
    std::vector<const char*> names = {"__dataclass_fields__",
                                      "__dataclass_params__",
                                      "__init__",
                                      "__repr__",
                                      "__eq__",
                                      "__hash__",
                                      "__match_args__"};
    if (frozen) names.insert(names.end(), {"__setattr__", "__delattr__"});
#if PY_VERSION_HEX >= 0x030D0000
    names.push_back("__replace__");
#endif
    for (const char* member_name : names)
        defer_member(cls, member_name, detail::realize, recipe);
    if (PyObject* loaded = PyImport_GetModule(nb::str("dataclasses").ptr())) {
        Py_DECREF(loaded);
        detail::realize(cls, recipe);
    } else if (PyErr_Occurred()) {
        throw nb::python_error();
    }
}

} // namespace tw::py
