// Python classes built at module initialisation from C++ callables.
//
// Records are real dataclasses and plain classes are plain heap types: each is
// made with `type(name, bases, namespace)` (and `dataclasses.dataclass`), its
// methods being nanobind functions that take `self` as a handle. The result
// behaves like a class written in Python: instances have a __dict__, hosts can
// subclass it, and dataclass fields, equality, repr and hashing are the
// standard ones.
#pragma once

#include <utility>

#include "common/errors.h"

namespace tw::py {

// A parameter that takes any object. nanobind refuses None for parameters
// unless told otherwise; our functions decide for themselves what None means.
inline auto arg(const char* name) {
    return nb::arg(name).none();
}

// A function that binds as a method when stored in a class.
template <typename Func, typename... Extra>
nb::object method(const char* name, Func&& func, const Extra&... extra) {
    return nb::cpp_function(std::forward<Func>(func), nb::is_method(), nb::name(name), extra...);
}

// A plain function (module level, or for staticmethod/classmethod wrapping).
template <typename Func, typename... Extra>
nb::object function(const char* name, Func&& func, const Extra&... extra) {
    return nb::cpp_function(std::forward<Func>(func), nb::name(name), extra...);
}

inline nb::object builtin(const char* name) {
    return nb::module_::import_("builtins").attr(name);
}

inline nb::object property(nb::handle getter) {
    return builtin("property")(getter);
}

inline nb::object classmethod(nb::handle func) {
    return steal_checked(PyClassMethod_New(func.ptr()));
}

inline nb::object staticmethod(nb::handle func) {
    return steal_checked(PyStaticMethod_New(func.ptr()));
}

// `type(name, bases, ns)` with __module__ and __qualname__ filled in.
inline nb::object make_class(const char* module, const char* name, nb::tuple bases, nb::dict ns) {
    ns["__module__"] = module;
    ns["__qualname__"] = name;
    return builtin("type")(nb::str(name), bases, ns);
}

// `dataclasses.dataclass(**options)(cls)`.
inline nb::object make_dataclass(nb::handle cls, nb::kwargs options) {
    nb::object dataclass = nb::module_::import_("dataclasses").attr("dataclass");
    return dataclass(**options)(cls);
}

} // namespace tw::py
