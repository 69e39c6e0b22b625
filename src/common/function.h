// The callables our modules export: module functions, the methods of the
// classes built at run time, and callbacks handed to toolkits.
//
// Each is a small object of our own around the nanobind function that
// converts its arguments. It is what Python's tools expect of a function:
// `__name__`, `__qualname__`, `__module__`, `__doc__` and an
// `inspect.Signature` (common/signature.h), so `help(module)` lists it under
// FUNCTIONS and `inspect.signature()` works; a method binds as a Python
// function binds (`obj.name` is a standard bound method), a module function
// does not bind, as a built-in function does not.
//
// A call goes to the nanobind function, which matches keywords and defaults,
// converts the arguments and reports wrong calls. A function whose
// parameters are all plain objects that may be None and that returns an
// object (`nb::object f(nb::handle, nb::handle)`) needs none of that when
// called with exactly its arguments by position: such a call runs the C++
// function directly, and every other call, and every C++ exception other
// than a Python error, still takes nanobind's way (direct_call).
#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <type_traits>
#include <utility>

#include "common/errors.h"
#include "common/signature.h"

// After Python.h, which the headers above include.
#include <structmember.h>

namespace tw::py {

namespace detail {

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* wrapped;   // the nanobind function
    PyObject* name;      // str
    PyObject* qualname;  // str
    PyObject* module;    // str or None
    PyObject* doc;       // str or None
    PyObject* signature; // inspect.Signature, made on first use; null until then
    void (*direct)();    // the C++ function a call may run directly (direct_call), or null
    bool binds;          // a method: binds to the instance it is read from
};

inline FunctionObject* as_function(PyObject* self) {
    return reinterpret_cast<FunctionObject*>(self);
}

inline PyObject* function_call(PyObject* self, PyObject* const* args, size_t nargsf,
                               PyObject* kwnames) {
    return PyObject_Vectorcall(as_function(self)->wrapped, args, nargsf, kwnames);
}

// A C++ exception that a direct call hands to nanobind's translators: the
// nanobind function of a directly called function rethrows it rather than
// run (translating), so the Python error is the one nanobind's own dispatch
// would have set.
inline thread_local const std::exception_ptr* exception_to_translate = nullptr;

// The type of a directly called function of as many parameters as indices.
template <std::size_t> using Handle = nb::handle;
template <std::size_t... I> using DirectFunction = nb::object (*)(Handle<I>...);

template <std::size_t... I>
PyObject* run_direct(void (*direct)(), PyObject* const* args, std::index_sequence<I...>) {
    auto function = reinterpret_cast<DirectFunction<I...>>(direct);
    return function(nb::handle(args[I])...).release().ptr();
}

// The vectorcall of a function of N plain parameters (see the top).
template <std::size_t N>
PyObject* direct_call(PyObject* self, PyObject* const* args, size_t nargsf,
                      PyObject* kwnames) noexcept {
    FunctionObject* f = as_function(self);
    if (kwnames != nullptr || PyVectorcall_NARGS(nargsf) != N)
        return PyObject_Vectorcall(f->wrapped, args, nargsf, kwnames);
    try {
        return run_direct(f->direct, args, std::make_index_sequence<N>());
    } catch (nb::python_error& error) {
        error.restore();
        return nullptr;
    } catch (...) {
        const std::exception_ptr failure = std::current_exception();
        exception_to_translate = &failure;
        PyObject* result = PyObject_Vectorcall(f->wrapped, args, N, nullptr);
        exception_to_translate = nullptr;
        return result;
    }
}

// What nanobind is given for a directly called function: the function, but
// rethrowing the exception a direct call hands over instead of running.
template <typename... Handles> auto translating(nb::object (*function)(Handles...)) {
    return [function](Handles... args) -> nb::object {
        if (const std::exception_ptr* failure = std::exchange(exception_to_translate, nullptr))
            std::rethrow_exception(*failure);
        return function(args...);
    };
}

// Whether a function bound with `Extra` may be called directly: it takes
// plain objects and returns one, and every parameter is declared
// (tw::py::arg) accepting None, as a direct call passes anything.
template <typename Extra> constexpr bool declares_argument() {
    return nb::detail::arg_traits<Extra>::is_arg;
}
template <typename Extra> constexpr bool accepts_none() {
    constexpr auto none = static_cast<uint32_t>(nb::detail::cast_flags::accepts_none);
    return !declares_argument<Extra>() || (nb::detail::arg_traits<Extra>::flags & none) != 0;
}
template <typename Func, typename... Extra> struct Direct {
    static constexpr bool callable = false;
};
template <typename... Handles, typename... Extra>
struct Direct<nb::object (*)(Handles...), Extra...> {
    static constexpr std::size_t arity = sizeof...(Handles);
    static constexpr bool callable = (std::is_same_v<Handles, nb::handle> && ...) &&
                                     (0 + ... + (declares_argument<Extra>() ? 1 : 0)) == arity &&
                                     (accepts_none<Extra>() && ...);
};

inline PyObject* function_bind(PyObject* self, PyObject* obj, PyObject*) {
    if (!as_function(self)->binds || obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

inline int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self)); // a heap type, which its instances hold
    Py_VISIT(f->wrapped);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->signature);
    return 0;
}

inline int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->wrapped);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->signature);
    return 0;
}

inline void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

inline PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<built-in function %U>", as_function(self)->qualname);
}

// Pickled by reference, as a function defined in a module is.
inline PyObject* function_reduce(PyObject* self, PyObject*) {
    Py_INCREF(as_function(self)->qualname);
    return as_function(self)->qualname;
}

template <std::size_t Offset> PyObject* get_field(PyObject* self, void*) {
    PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    Py_INCREF(value);
    return value;
}

// A writable text field (`__name__`, `__qualname__`), as a function's are.
template <std::size_t Offset> int set_text_field(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "the value must be a str");
        return -1;
    }
    PyObject** field = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    Py_INCREF(value);
    Py_SETREF(*field, value);
    return 0;
}

inline PyObject* function_signature(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (!f->signature) {
        try {
            nb::object declarations = nb::borrow(f->wrapped).attr("__nb_signature__");
            nb::str text(declarations[0][0]);
            f->signature = signature_from_text(text.c_str()).release().ptr();
        } catch (nb::python_error& error) {
            error.restore();
            return nullptr;
        } catch (const std::exception& error) {
            PyErr_SetString(PyExc_ValueError, error.what());
            return nullptr;
        }
    }
    Py_INCREF(f->signature);
    return f->signature;
}

// An instance's __module__ and __doc__, read and written as a Python
// function's are. Getters in the type's dictionary would stand where a heap
// type keeps its own __module__ ("tidewing") and __doc__, so these two names
// are answered here first, as nanobind answers them for its functions.
inline PyObject** instance_field(PyObject* self, PyObject* name) {
    if (!PyUnicode_Check(name)) return nullptr;
    if (PyUnicode_CompareWithASCIIString(name, "__module__") == 0)
        return &as_function(self)->module;
    if (PyUnicode_CompareWithASCIIString(name, "__doc__") == 0) return &as_function(self)->doc;
    return nullptr;
}

inline PyObject* function_getattro(PyObject* self, PyObject* name) {
    if (PyObject** field = instance_field(self, name)) return Py_NewRef(*field);
    return PyObject_GenericGetAttr(self, name);
}

inline int function_setattro(PyObject* self, PyObject* name, PyObject* value) {
    if (PyObject** field = instance_field(self, name)) {
        Py_XSETREF(*field, Py_NewRef(value ? value : Py_None));
        return 0;
    }
    return PyObject_GenericSetAttr(self, name, value);
}

// A heap type made from a spec, as nanobind makes its own function types:
// immutable, never instantiated from Python, its __module__ taken from its
// name.
inline PyTypeObject* make_function_type() {
    static PyMemberDef members[] = {{"__vectorcalloffset__", T_PYSSIZET,
                                     static_cast<Py_ssize_t>(offsetof(FunctionObject, vectorcall)),
                                     READONLY, nullptr},
                                    {nullptr, 0, 0, 0, nullptr}};
    static PyGetSetDef getset[] = {
        {"__name__", get_field<offsetof(FunctionObject, name)>,
         set_text_field<offsetof(FunctionObject, name)>, nullptr, nullptr},
        {"__qualname__", get_field<offsetof(FunctionObject, qualname)>,
         set_text_field<offsetof(FunctionObject, qualname)>, nullptr, nullptr},
        {"__signature__", function_signature, nullptr, nullptr, nullptr},
        // The nanobind function inside, for the stub generator.
        {"__nb_function__", get_field<offsetof(FunctionObject, wrapped)>, nullptr, nullptr,
         nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr}};
    static PyMethodDef methods[] = {{"__reduce__", function_reduce, METH_NOARGS, nullptr},
                                    {nullptr, nullptr, 0, nullptr}};
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("A function of a Tidewing extension module.")},
        {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(function_bind)},
        {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
        {Py_tp_getattro, reinterpret_cast<void*>(function_getattro)},
        {Py_tp_setattro, reinterpret_cast<void*>(function_setattro)},
        {Py_tp_members, members},
        {Py_tp_getset, getset},
        {Py_tp_methods, methods},
        {0, nullptr}};
    static PyType_Spec spec = {
        "tidewing.native_function", static_cast<int>(sizeof(FunctionObject)), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
            Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots};
    return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)));
}

inline PyTypeObject* function_type() {
    static PyTypeObject* type = make_function_type();
    return type;
}

} // namespace detail

// Whether `obj` is one of our exported callables.
inline bool is_function(nb::handle obj) {
    return Py_TYPE(obj.ptr()) == detail::function_type();
}

// A C++ function that calls of exactly its arguments by position run
// directly, with the vectorcall that does it.
struct DirectCall {
    void (*function)() = nullptr;
    vectorcallfunc vectorcall = nullptr;
};

// The exported form of the nanobind function `wrapped`: named `name`, with
// `qualname` ("Class.name" for a class's function), in `module` (a str); a
// method when `binds`. With `direct`, `wrapped` must be the nanobind
// function of detail::translating(that function).
inline nb::object export_function(nb::object wrapped, const char* name, const char* qualname,
                                  nb::handle module, bool binds, DirectCall direct = {}) {
    PyTypeObject* type = detail::function_type();
    auto* f = PyObject_GC_New(detail::FunctionObject, type);
    if (!f) throw nb::python_error();
    f->vectorcall = direct.function ? direct.vectorcall : detail::function_call;
    f->direct = direct.function;
    f->wrapped = wrapped.release().ptr();
    f->name = nullptr;
    f->qualname = nullptr;
    f->module = nb::borrow(module).release().ptr();
    f->doc = nullptr;
    f->signature = nullptr;
    f->binds = binds;
    nb::object result = nb::steal(reinterpret_cast<PyObject*>(f));
    f->name = nb::str(name).release().ptr();
    f->qualname = nb::str(qualname).release().ptr();
    // The description alone, without the signature lines nanobind puts first.
    nb::object declarations = nb::borrow(f->wrapped).attr("__nb_signature__");
    nb::object doc = declarations[0][1];
    f->doc = doc.release().ptr();
    PyObject_GC_Track(result.ptr());
    return result;
}

// The nanobind function of `function` bound with `extra`, and how calls may
// run it directly (see the top): for export_function.
template <typename Func, typename... Extra>
std::pair<nb::object, DirectCall> nanobind_function(Func&& function, const char* name,
                                                    const Extra&... extra) {
    using Plain = std::decay_t<Func>;
    using Traits = detail::Direct<Plain, Extra...>;
    if constexpr (Traits::callable) {
        Plain plain = function;
        return {
            nb::cpp_function(detail::translating(plain), nb::name(name), extra...),
            DirectCall{reinterpret_cast<void (*)()>(plain), detail::direct_call<Traits::arity>}};
    } else {
        return {nb::cpp_function(std::forward<Func>(function), nb::name(name), extra...), {}};
    }
}

} // namespace tw::py
