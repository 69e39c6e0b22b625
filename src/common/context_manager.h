// The `with` statement from C++, as CPython 3.10 runs it on every release
// (the release rule, common/originals.h): later releases raise TypeError
// where 3.10 raises AttributeError for a missing __enter__ or __exit__.
#pragma once

#include "common/errors.h"
#include "common/type_lookup.h"

namespace tw::py {

// `type(obj).<name>` bound to `obj`, as the interpreter looks up the methods
// of a statement such as `with`: the instance's own attributes are not
// consulted. A missing one raises AttributeError(name), as CPython 3.10's
// `with` does.
inline nb::object lookup_special(nb::handle obj, const char* name) {
    nb::str key(name);
    PyTypeObject* type = Py_TYPE(obj.ptr());
    PyObject* found = type_lookup(type, key.ptr()); // borrowed
    if (!found) raise(PyExc_AttributeError, name);
    nb::object attribute = nb::borrow(found); // held while __get__ runs
    descrgetfunc bind = Py_TYPE(found)->tp_descr_get;
    if (!bind) return attribute;
    return steal_checked(bind(attribute.ptr(), obj.ptr(), reinterpret_cast<PyObject*>(type)));
}

// `with manager as value: block(value)`. __enter__ and __exit__ are looked up
// on the type, both before the block; an exception of the block (a
// std::bad_alloc as MemoryError) is offered to __exit__, and a true answer
// swallows it.
template <typename Block> void with_context(nb::handle manager, Block&& block) {
    nb::object enter = lookup_special(manager, "__enter__");
    nb::object exit = lookup_special(manager, "__exit__");
    nb::object value = enter();
    try {
        memory_error_for_bad_alloc([&] { block(nb::handle(value)); });
    } catch (nb::python_error& error) {
        nb::object traceback = error.traceback();
        if (truthy(
                exit(error.type(), error.value(), traceback.is_valid() ? traceback : nb::none())))
            return;
        throw;
    } catch (...) {
        exit(nb::none(), nb::none(), nb::none());
        throw;
    }
    exit(nb::none(), nb::none(), nb::none());
}

} // namespace tw::py
