// Python classes built at module initialisation from C++ callables.
//
// Records are real dataclasses and plain classes are plain heap types: each is
// made with `type(name, bases, namespace)` (and `dataclasses.dataclass`, see
// common/deferred_dataclass.h), the namespace holding what a class body would
// hold besides its functions. The
// functions are attached afterwards with `Members`. The result behaves like a
// class written in Python: instances have a __dict__, hosts can subclass it,
// and dataclass fields, equality, repr and hashing are the standard ones.
#pragma once

#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "common/deferred_member.h"
#include "common/errors.h"
#include "common/function.h"
#include "common/namespace.h"

namespace tw::py {

// A parameter that takes any object. nanobind refuses None for parameters
// unless told otherwise; our functions decide for themselves what None means.
inline auto arg(const char* name) {
    return nb::arg(name).none();
}

// A free-standing callable (a callback handed to a toolkit, a sort key).
template <typename Func, typename... Extra>
nb::object function(const char* name, Func&& func, const Extra&... extra) {
    auto [wrapped, direct] = nanobind_function(std::forward<Func>(func), name, extra...);
    return export_function(std::move(wrapped), name, name, nb::none(), false, direct);
}

// A function of the module whose namespace is `ns` (what `m.def` binds),
// exported as ours and bound under `name`.
template <typename Func, typename... Extra>
void def(const ModuleNamespace& ns, const Name& name, Func&& func, const Extra&... extra) {
    auto [wrapped, direct] = nanobind_function(std::forward<Func>(func), name.text(), extra...);
    nb::object module_name = ns.module().attr("__name__");
    ns.set(name, export_function(std::move(wrapped), name.text(), name.text(), module_name, false,
                                 direct));
}

inline nb::object builtin(const char* name) {
    return nb::module_::import_("builtins").attr(name);
}

// `type(name, bases, ns)` with __module__ and __qualname__ filled in.
inline nb::object make_class(const char* module, const char* name, nb::tuple bases, nb::dict ns) {
    ns["__module__"] = module;
    ns["__qualname__"] = name;
    return builtin("type")(nb::str(name), bases, ns);
}

// The functions of a class made by make_class (or of a nanobind type), each
// exported (common/function.h) with the class's __module__ and a __qualname__
// of "Class.name", as a function defined in a class body is. Attach them in
// the order a reader should see them, each with its signature (nb::sig) and
// its docstring.
class Members {
  public:
    explicit Members(nb::handle cls) : cls_(cls) {}

    // An instance method taking `self` first: `obj.name` is a standard bound
    // method, printed as "<bound method Class.name of ...>"; on the class it
    // is the function.
    template <typename Func, typename... Extra>
    Members& method(const char* name, Func&& func, const Extra&... extra) {
        return set(name, create(name, std::forward<Func>(func), true, nb::is_method(), extra...));
    }

    // A classmethod taking `cls` first. It binds like a method, since
    // classmethod binds what it holds to the class (before Python 3.13).
    template <typename Func, typename... Extra>
    Members& class_method(const char* name, Func&& func, const Extra&... extra) {
        nb::object created = create(name, std::forward<Func>(func), true, extra...);
        return set(name, steal_checked(PyClassMethod_New(created.ptr())));
    }

    template <typename Func, typename... Extra>
    Members& static_method(const char* name, Func&& func, const Extra&... extra) {
        nb::object created = create(name, std::forward<Func>(func), false, extra...);
        return set(name, steal_checked(PyStaticMethod_New(created.ptr())));
    }

    // A read-only property computed by `getter(self)`, documented by `doc`.
    template <typename Func, typename... Extra>
    Members& property(const char* name, Func&& getter, const char* doc, const Extra&... extra) {
        nb::object created =
            create(name, std::forward<Func>(getter), false, nb::is_method(), doc, extra...);
        return set(name, builtin("property")(created, nb::none(), nb::none(), doc));
    }

    // A function nanobind bound on a native type itself (its __init__),
    // exported as ours so that Python's tools read it like the others;
    // nanobind keeps calling the original to construct instances.
    Members& adopt(const char* name) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(cls_.ptr())->tp_dict;
        PyObject* bound = PyDict_GetItemString(dict, name); // borrowed
        if (!bound) throw std::logic_error(std::string("the class holds no ") + name);
        std::string qualname = nb::str(cls_.attr("__qualname__")).c_str();
        qualname = qualname + "." + name;
        set(name, export_function(nb::borrow(bound), name, qualname.c_str(),
                                  cls_.attr("__module__"), true));
        // Python 3.10's inspect gives up on a native type that holds its own
        // __new__ before it looks at __init__; it reads a class's
        // __signature__ first: the constructor's, without `self`. Made when
        // first looked up, as making it imports `inspect`.
        if (std::strcmp(name, "__init__") == 0)
            defer_member(cls_, "__signature__", &constructor_signature, nb::none());
        return *this;
    }

  private:
    static void constructor_signature(nb::handle cls, nb::handle) {
        nb::object signature = cls.attr("__init__").attr("__signature__");
        nb::list parameters(signature.attr("parameters").attr("values")());
        parameters.attr("pop")(0);
        nb::object made =
            signature.attr("replace")(nb::arg("parameters") = parameters,
                                      nb::arg("return_annotation") = signature.attr("empty"));
        if (holds_deferred_member(cls, nb::str("__signature__").ptr()))
            cls.attr("__signature__") = made;
    }

    template <typename Func, typename... Extra>
    nb::object create(const char* name, Func&& func, bool binds, const Extra&... extra) {
        refuse_to_shadow(name);
        auto [wrapped, direct] = nanobind_function(std::forward<Func>(func), name, extra...);
        std::string qualname = nb::str(cls_.attr("__qualname__")).c_str();
        qualname = qualname + "." + name;
        return export_function(std::move(wrapped), name, qualname.c_str(), cls_.attr("__module__"),
                               binds, direct);
    }

    Members& set(const char* name, nb::handle value) {
        require(PyObject_SetAttrString(cls_.ptr(), name, value.ptr()));
        return *this;
    }

    // Replacing a public attribute a base class holds (a property, a
    // classmethod, a value) by a function of another kind is a mistake of
    // ours; report it as a failed initialisation.
    void refuse_to_shadow(const char* name) const {
        if (name[0] == '_') return;
        nb::object existing = nb::steal(PyObject_GetAttrString(cls_.ptr(), name));
        if (!existing.is_valid()) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
            PyErr_Clear();
            return;
        }
        if (PyMethod_Check(existing.ptr()))
            existing = nb::borrow(PyMethod_GET_FUNCTION(existing.ptr()));
        if (!is_function(existing))
            throw std::logic_error(std::string("cannot attach ") + name +
                                   ": the class already holds a " +
                                   Py_TYPE(existing.ptr())->tp_name + " of that name");
    }

    nb::handle cls_;
};

} // namespace tw::py
