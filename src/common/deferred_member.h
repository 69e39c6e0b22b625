// Class attributes made when first looked up.
//
// A stand-in sits in the class's dictionary under the attribute's name until
// then. Any lookup of it, on the class or an instance (through the class's
// slots too: a call, repr(), ==), first calls the function that makes the
// real attribute (or attributes: one function may make a whole class, as
// common/deferred_dataclass.h does) and sets them on the class in the
// stand-ins' place, then answers as the real attribute.
#pragma once

#include <new>

#include "common/errors.h"
#include "common/type_lookup.h"

namespace tw::py {

// Makes what `owner` defers, from `data`, unless that is made already.
using MakeDeferred = void (*)(nb::handle owner, nb::handle data);

namespace detail {

struct DeferredMember {
    PyObject_HEAD PyObject* owner; // the class
    PyObject* name;                // str
    PyObject* data;                // for make
    MakeDeferred make;
};

PyTypeObject* deferred_member_type();

inline bool is_deferred_member(PyObject* obj) {
    return obj != nullptr && Py_TYPE(obj) == deferred_member_type();
}

} // namespace detail

// Whether the class `owner` holds a stand-in under `name` (a str) itself.
inline bool holds_deferred_member(nb::handle owner, PyObject* name) {
    PyObject* held =
        PyDict_GetItemWithError(own_dict(reinterpret_cast<PyTypeObject*>(owner.ptr())), name);
    if (!held && PyErr_Occurred()) throw nb::python_error();
    return detail::is_deferred_member(held);
}

namespace detail {

inline PyObject* deferred_get(PyObject* self, PyObject* obj, PyObject* type) {
    // The class's dictionary may hold the only reference to this stand-in,
    // which making the real attribute removes from there.
    nb::object keep = nb::borrow(self);
    auto* member = reinterpret_cast<DeferredMember*>(self);
    try {
        if (holds_deferred_member(member->owner, member->name))
            member->make(member->owner, member->data);
    } catch (nb::python_error& error) {
        error.restore();
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        return nullptr;
    }
    PyTypeObject* cls = type ? reinterpret_cast<PyTypeObject*>(type) : Py_TYPE(obj);
    PyObject* real = nullptr; // borrowed
    try {
        real = type_lookup(cls, member->name);
    } catch (nb::python_error& error) {
        error.restore();
        return nullptr;
    }
    if (real == nullptr || is_deferred_member(real)) {
        PyErr_Format(PyExc_AttributeError, "type object '%s' has no attribute '%U'", cls->tp_name,
                     member->name);
        return nullptr;
    }
    if (descrgetfunc get = Py_TYPE(real)->tp_descr_get) return get(real, obj, type);
    return Py_NewRef(real);
}

inline int deferred_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* member = reinterpret_cast<DeferredMember*>(self);
    Py_VISIT(member->owner);
    Py_VISIT(member->name);
    Py_VISIT(member->data);
    return 0;
}

inline int deferred_clear(PyObject* self) {
    auto* member = reinterpret_cast<DeferredMember*>(self);
    Py_CLEAR(member->owner);
    Py_CLEAR(member->name);
    Py_CLEAR(member->data);
    return 0;
}

inline void deferred_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    deferred_clear(self);
    PyObject_GC_Del(self);
}

inline PyTypeObject* make_deferred_member_type() {
    static PyTypeObject type{}; // PyVarObject_HEAD_INIT(nullptr, 0), and the rest zero
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
    type.tp_name = "tidewing.deferred_member";
    type.tp_basicsize = sizeof(DeferredMember);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    type.tp_doc = "What a class holds in place of an attribute made when first looked up.";
    type.tp_dealloc = deferred_dealloc;
    type.tp_traverse = deferred_traverse;
    type.tp_clear = deferred_clear;
    type.tp_descr_get = deferred_get;
    require(PyType_Ready(&type));
    return &type;
}

inline PyTypeObject* deferred_member_type() {
    static PyTypeObject* type = make_deferred_member_type();
    return type;
}

} // namespace detail

// Sets a stand-in for `cls.name`: its first lookup calls `make(cls, data)`,
// which sets the real attribute.
inline void defer_member(nb::handle cls, const char* name, MakeDeferred make, nb::handle data) {
    auto* member = PyObject_GC_New(detail::DeferredMember, detail::deferred_member_type());
    if (!member) throw nb::python_error();
    member->owner = Py_NewRef(cls.ptr());
    member->name = nullptr;
    member->data = Py_NewRef(data.ptr());
    member->make = make;
    nb::object held = nb::steal(reinterpret_cast<PyObject*>(member));
    member->name = steal_checked(PyUnicode_InternFromString(name)).release().ptr();
    PyObject_GC_Track(held.ptr());
    require(PyObject_SetAttr(cls.ptr(), member->name, held.ptr()));
}

} // namespace tw::py
