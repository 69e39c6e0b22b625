// What the printing module's functions share: the module namespace they read
// at call time, the names in it, and the few Python idioms every part of the
// module spells the same way (three-argument getattr, imports at call time,
// raising PrintError, the destination's path for an engine).
#pragma once

#include <array>
#include <cstddef>

#include "common/classes.h"
#include "common/errors.h"
#include "common/namespace.h"
#include "common/objects.h"

namespace tw::printing {

namespace nb = nanobind;
using tw::py::Name;
using tw::py::steal_checked;

inline constexpr const char* kModuleName = "tidewing_quillery.printing";

inline tw::py::ModuleNamespace ns;

// Module attributes, in the order the module binds them.
namespace names {
inline const Name logging{"logging"}, sys{"sys"}, threading{"threading"}, time{"time"},
    Path{"Path"}, log{"log"}, _SETTLE_MS{"_SETTLE_MS"}, _EXPORT_TIMEOUT_S{"_EXPORT_TIMEOUT_S"};
inline const Name PrintError{"PrintError"}, PrintBridge{"PrintBridge"}, _Backend{"_Backend"},
    _GtkBackend{"_GtkBackend"}, _CocoaBackend{"_CocoaBackend"},
    _EdgeChromiumBackend{"_EdgeChromiumBackend"}, _make_backend{"_make_backend"};
inline const Name _browser_view{"_browser_view"}, _gtk_webview{"_gtk_webview"},
    _cocoa_webview{"_cocoa_webview"}, _edge_core{"_edge_core"}, settle_ms{"settle_ms"};
} // namespace names

using tw::py::truthy;

// `getattr(obj, name, default)`: only AttributeError means "absent".
inline nb::object getattr_or(nb::handle obj, const char* name, nb::handle default_value) {
    PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
    if (value) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return nb::borrow(default_value);
}

inline nb::object getattr_or_none(nb::handle obj, const char* name) {
    return getattr_or(obj, name, nb::none());
}

// `a == b` as Python evaluates it.
inline bool equals(nb::handle a, nb::handle b) {
    return tw::py::compare(a, b, Py_EQ);
}

using tw::py::raise_instance;

// `PrintError(message)`, with PrintError read from the module now.
inline nb::object print_error(nb::handle message) {
    return ns[names::PrintError](message);
}

[[noreturn]] inline void raise_print_error(nb::handle message) {
    raise_instance(print_error(message));
}

[[noreturn]] inline void raise_print_error(const char* message) {
    raise_print_error(nb::str(message));
}

// `import name`: the top-level module.
inline nb::object import_module(const char* name) {
    return steal_checked(PyImport_ImportModuleLevel(name, nullptr, nullptr, nullptr, 0));
}

// `from package import a, b, ...`, including the fallback to sys.modules for
// submodules that are not yet attributes of the package.
template <std::size_t N>
std::array<nb::object, N> import_from(const char* package, const char* const (&members)[N]) {
    nb::list fromlist;
    for (const char* member : members)
        fromlist.append(nb::str(member));
    nb::object module =
        steal_checked(PyImport_ImportModuleLevel(package, nullptr, nullptr, fromlist.ptr(), 0));
    std::array<nb::object, N> result;
    for (std::size_t i = 0; i < N; ++i) {
        if (PyObject* value = PyObject_GetAttrString(module.ptr(), members[i])) {
            result[i] = nb::steal(value);
            continue;
        }
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        nb::object full_name = steal_checked(PyUnicode_FromFormat("%s.%s", package, members[i]));
        if (PyObject* loaded = PyDict_GetItemWithError(PyImport_GetModuleDict(), full_name.ptr())) {
            result[i] = nb::borrow(loaded);
            continue;
        }
        if (PyErr_Occurred()) throw nb::python_error();
        tw::py::raise_format(PyExc_ImportError,
                             "cannot import name '%s' from '%s' (unknown location)", members[i],
                             package);
    }
    return result;
}

// The destination with its folder resolved (made absolute, links followed
// as the kernel follows them when it opens the file): `destination.parent
// .resolve().joinpath(destination.name)`. An engine given the text of the
// original may resolve it otherwise: `os.path.abspath` and GLib collapse
// "link/.." without looking at the link.
inline nb::object resolved_destination(nb::handle destination) {
    return destination.attr("parent").attr("resolve")().attr("joinpath")(destination.attr("name"));
}

// The text an engine is given for `destination`: an absolute path as it
// is (the bridge passes its resolved destination), a relative one (from a
// host calling a backend itself) with its folder resolved. The engines
// refuse a relative path or resolve it against a folder of their own.
inline nb::object engine_path(nb::handle destination) {
    nb::object text = tw::py::str_of(destination);
    if (truthy(import_module("os").attr("path").attr("isabs")(text))) return text;
    return tw::py::str_of(resolved_destination(destination));
}

// `super(cls, self).__init__(*args)`.
template <typename... Args> void call_base_init(nb::handle cls, nb::handle self, Args&&... args) {
    tw::py::builtin("super")(cls, self).attr("__init__")(std::forward<Args>(args)...);
}

struct PageSetup; // page_setup.h

// An export_pdf with its page setup checked: `self`, the destination as the
// caller gave it, and the setup.
using ExportPdf = nb::object (*)(nb::handle self, nb::handle destination, const PageSetup& setup);

// The operations of a platform backend, as C++ functions taking `self` first.
struct BackendOperations {
    nb::object (*init)(nb::handle self, nb::handle window); // null: the base constructor
    nb::object (*prepare)(nb::handle self);
    nb::object (*show_dialog)(nb::handle self);
    ExportPdf export_pdf;
    const char* show_dialog_doc; // how the platform shows its dialog
};

// A subclass of `_Backend` (read from the module now) with the given short
// name, `supports_pdf` true, every page option in `page_options`, and the
// operations as its methods.
nb::object make_backend_class(const char* name, const char* doc, const char* short_name,
                              const BackendOperations& operations);

// Registration of each concern's names, in the module's binding order.
void bind_print_error();
void bind_bridge();
void bind_backend_base();
void bind_gtk_backend();
void bind_cocoa_backend();
void bind_webview2_backend();
void bind_backend_choice();
void bind_lookups();

} // namespace tw::printing
