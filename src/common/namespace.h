// Module-level names looked up at call time.
//
// Every function of our modules reads the constants, functions, classes and
// standard modules it uses from its module's namespace at the moment of the
// call, exactly as a Python function reads its globals; a host that rebinds a
// module attribute changes later calls. Native routes stand in for a name
// only while it still holds the object bound at load (common/originals.h).
#pragma once

#include <string>
#include <utility>

#include "common/errors.h"

namespace tw::py {

// A module attribute name, interned once. Declare them as `inline const Name`
// at namespace scope so each module has exactly one of each.
class Name {
  public:
    constexpr explicit Name(const char* text) : text_(text) {}
    const char* text() const { return text_; }
    PyObject* key() const {
        if (!key_) key_ = check(PyUnicode_InternFromString(text_)); // lives for the process
        return key_;
    }

  private:
    const char* text_;
    mutable PyObject* key_ = nullptr; // interned on first use
};

class ModuleNamespace {
  public:
    // Called once from the module's initialisation. The module is kept alive for
    // the rest of the process: its functions keep reading its namespace even
    // after a host drops it from sys.modules.
    void attach(nb::handle module) {
        module_ = keep_for_process(module);
        dict_ = PyModule_GetDict(module_);
    }

    nb::handle module() const { return module_; }
    PyObject* dict() const { return dict_; }

    // The current value of `name`, raising NameError as a global lookup would.
    nb::object operator[](const Name& name) const {
        PyObject* value = PyDict_GetItemWithError(dict_, name.key());
        if (!value) {
            if (PyErr_Occurred()) throw nb::python_error();
            raise_format(PyExc_NameError, "name '%s' is not defined", name.text());
        }
        return nb::borrow(value);
    }

    // Binds `name` to `value` (a Python object, or what nanobind casts to
    // one: a number, a str): the one way our modules bind their attributes,
    // so that each is spelled once, as its Name.
    template <typename Value> void set(const Name& name, Value&& value) const {
        nb::object object = nb::cast(std::forward<Value>(value));
        require(PyDict_SetItem(dict_, name.key(), object.ptr()));
    }

  private:
    PyObject* module_ = nullptr;
    PyObject* dict_ = nullptr;
};

// Refuse a second initialisation of a module in one process: the native code
// keeps its namespace and the objects bound at load for the whole process.
inline void refuse_second_initialisation(bool& initialised, const char* module_name) {
    if (initialised)
        throw std::runtime_error(std::string(module_name) +
                                 " is already initialised in this process and cannot be "
                                 "initialised again; import it once and keep the module");
    initialised = true;
}

} // namespace tw::py
