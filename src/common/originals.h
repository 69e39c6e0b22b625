// What the native routes stand in for, as it was when the module was loaded,
// and the one question every call site asks before it takes one: may this
// call run natively?
//
// A native route computes what the module's Python-level steps would compute
// (os.walk, json.dumps, hashlib.pbkdf2_hmac, pathlib's methods, our own
// contain or is_markdown), bit for bit, without calling them. That holds only
// while those steps would call the objects bound at load: a host that rebinds
// a module attribute, replaces a function of a standard module, or patches
// pathlib's classes (or passes a Path subclass that overrides them) gets the
// steps themselves, through its objects. Each such object is registered once,
// as an Original beside the module's names (pathlib's classes, which only the
// document store reads, in pagecase/pathlib_originals.h), and a call site
// names the ones it depends on:
//
//     if (natively(original::Path, pathlib_as_loaded, PathText{raw}))
//         return resolve_document_natively(raw);
//     return resolve_document_by_steps(raw);
//
// A build without the native file-system route answers no for everything
// that reads the file system through pathlib or os (kNativeFileSystem): on
// Windows the steps bring pathlib's Windows semantics with them.
//
// The release rule, for where CPython releases differ (README: "Where CPython
// releases differ", which lists every case). The modules are made for
// CPython 3.10. On every release, the native route gives 3.10's result (the
// value, or the exception with its type, message and chained cause) and
// emits no warning that 3.10 would not. The Python-level steps call what the
// host bound, and the running interpreter's own code for the rest, and give
// what that gives on the release at hand. A call that goes through a standard
// function on either route (threading.Event.wait for a print export) hands it
// values that every release reads as 3.10 does. Each place that applies the
// rule names it ("release rule").
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

#include "common/errors.h"
#include "common/namespace.h"

#ifndef TIDEWING_NATIVE_FS
#define TIDEWING_NATIVE_FS 1
#endif

namespace tw::py {

// The build has the native file-system route (CMake's TIDEWING_NATIVE_FS).
inline constexpr bool kNativeFileSystem = TIDEWING_NATIVE_FS != 0;

// Whether what a route reads goes through the file system.
enum class Reads { memory, file_system };

// A module attribute (`os`, `contain`), or a function of the module an
// attribute holds (`os.walk`, `hashlib.pbkdf2_hmac`), as bound at load.
// Declare each as an `inline Original` beside the module's names: it
// registers itself there, and Original::remember_all at the end of the
// module's initialisation remembers every one, so none can be left out.
class Original {
  public:
    Original(const ModuleNamespace& ns, const Name& attribute, const char* member = nullptr,
             Reads reads = Reads::memory)
        : ns_(ns), attribute_(attribute), member_(member), reads_(reads),
          next_(std::exchange(first_, this)) {}
    Original(const Original&) = delete;
    Original& operator=(const Original&) = delete;

    // Keeps what every Original declared on `ns` holds now, for the process;
    // called once, as the module's initialisation ends. One that names an
    // attribute the module has not bound by then would never stand in for
    // anything: the module refuses to load instead.
    static void remember_all(const ModuleNamespace& ns) {
        for (Original* original = first_; original != nullptr; original = original->next_)
            if (&original->ns_ == &ns) original->remember();
    }

    // The attribute still holds its load-time object, and so does its
    // member; a failing lookup means no (the steps meet the same failure).
    bool as_loaded() const {
        if (reads_ == Reads::file_system && !kNativeFileSystem) return false;
        if (!attribute_at_load_) return false;
        PyObject* value = PyDict_GetItemWithError(ns_.dict(), attribute_.key());
        if (!value) {
            if (PyErr_Occurred()) throw nb::python_error();
            return false;
        }
        if (value != attribute_at_load_) return false;
        if (!member_) return true;
        if (PyModule_CheckExact(value)) {
            PyObject* member = PyDict_GetItemWithError(PyModule_GetDict(value), member_key_);
            if (!member && PyErr_Occurred()) throw nb::python_error();
            return member == member_at_load_;
        }
        // A module whose class a host replaced: ask it as an attribute access would.
        PyObject* member = PyObject_GetAttr(value, member_key_);
        if (!member) {
            PyErr_Clear();
            return false;
        }
        Py_DECREF(member);
        return member == member_at_load_;
    }

    // What was bound at load (borrowed; valid for the process): the member
    // when there is one, else the attribute.
    nb::handle loaded() const { return member_ ? member_at_load_ : attribute_at_load_; }

    // What the Python-level steps call now: the module attribute, or its
    // member looked up as `module.member` is, raising what that raises.
    nb::object current() const {
        nb::object value = ns_[attribute_];
        if (!member_) return value;
        return steal_checked(member_key_ ? PyObject_GetAttr(value.ptr(), member_key_)
                                         : PyObject_GetAttrString(value.ptr(), member_));
    }

  private:
    void remember() {
        PyObject* value = PyDict_GetItemWithError(ns_.dict(), attribute_.key());
        if (!value) {
            if (PyErr_Occurred()) throw nb::python_error();
            throw std::logic_error(std::string(PyModule_GetName(ns_.module().ptr())) +
                                   ": an original names '" + attribute_.text() +
                                   "', which the module has not bound");
        }
        if (member_) {
            member_key_ = check(PyUnicode_InternFromString(member_));
            member_at_load_ = keep_for_process(steal_checked(PyObject_GetAttr(value, member_key_)));
        }
        attribute_at_load_ = keep_for_process(value);
    }

    // The Originals of this extension, each linked in as it is constructed
    // (all of them before the module's initialisation runs).
    static inline Original* first_ = nullptr;

    const ModuleNamespace& ns_;
    const Name& attribute_;
    const char* member_;
    Reads reads_;
    Original* next_;
    PyObject* member_key_ = nullptr;
    PyObject* attribute_at_load_ = nullptr;
    PyObject* member_at_load_ = nullptr;
};

// ------------------------------------------------ the question

// What a call may depend on besides module attributes: an argument whose
// class is exactly the class an Original held at load (one the module made;
// its instances still qualify once a host rebinds the name).
struct InstanceOf {
    nb::handle object;
    const Original& cls;
};

inline bool as_loaded(const Original& original) {
    return original.as_loaded();
}
inline bool as_loaded(InstanceOf argument) noexcept {
    return reinterpret_cast<PyObject*>(Py_TYPE(argument.object.ptr())) ==
           argument.cls.loaded().ptr();
}

// May this call run natively? Everything it names is as loaded.
template <typename... Dependencies> bool natively(const Dependencies&... dependencies) {
    return (as_loaded(dependencies) && ...);
}

} // namespace tw::py
