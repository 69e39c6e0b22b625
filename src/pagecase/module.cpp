// The extension module tidewing_quillery.pagecase: the document store.
//
// Initialisation binds the names in the order a reader of the module expects
// (standard modules, constants, then each concern's functions and classes)
// and remembers what it bound, so native routes can tell when a host has
// rebound one of them (common/originals.h).
#include "common/classes.h"
#include "common/host_life.h"
#include "common/needs_gil.h"
#include "pagecase/module_state.h"

namespace tw::pagecase {
namespace {

nb::frozenset frozenset_of(std::initializer_list<const char*> members) {
    nb::set set;
    for (const char* member : members)
        set.add(nb::str(member));
    return nb::frozenset(set);
}

// `dataclass` and `field` of `dataclasses`, which costs as much to import as
// the rest of the module and is needed only once a host looks at a record
// (common/deferred_dataclass.h): bound at load when the host has it loaded
// already, and otherwise, until first looked up, stood in for by the module's
// `__getattr__` and `__dir__` (PEP 562), which then give way to them.
const Name getattr_name{"__getattr__"}, dir_name{"__dir__"};

bool dataclasses_loaded() {
    PyObject* loaded = PyImport_GetModule(nb::str("dataclasses").ptr());
    if (!loaded && PyErr_Occurred()) throw nb::python_error();
    Py_XDECREF(loaded);
    return loaded != nullptr;
}

// Binds the two names where the stand-ins are, keeping the order of the
// names bound after them.
void bind_dataclass_names() {
    nb::module_ dataclasses = nb::module_::import_("dataclasses");
    PyObject* dict = ns.dict();
    nb::list items = nb::steal<nb::list>(tw::py::check(PyDict_Items(dict)));
    bool moving = false;
    for (nb::handle item : items) {
        nb::handle key = nb::borrow<nb::tuple>(item)[0];
        moving = moving || key.ptr() == getattr_name.key();
        if (moving) tw::py::require(PyDict_DelItem(dict, key.ptr()));
    }
    if (!moving) { // a host removed the stand-ins: the names go last
        ns.set(names::dataclass, dataclasses.attr("dataclass"));
        ns.set(names::field, dataclasses.attr("field"));
        return;
    }
    moving = false;
    for (nb::handle item : items) {
        nb::tuple pair = nb::borrow<nb::tuple>(item);
        if (pair[0].ptr() == getattr_name.key()) {
            moving = true;
            ns.set(names::dataclass, dataclasses.attr("dataclass"));
        } else if (pair[0].ptr() == dir_name.key()) {
            ns.set(names::field, dataclasses.attr("field"));
        } else if (moving) {
            tw::py::require(PyDict_SetItem(dict, pair[0].ptr(), pair[1].ptr()));
        }
    }
}

nb::object module_getattr(nb::handle name) {
    if (PyUnicode_Check(name.ptr()) && PyDict_Contains(ns.dict(), getattr_name.key()) == 1 &&
        (PyUnicode_CompareWithASCIIString(name.ptr(), "dataclass") == 0 ||
         PyUnicode_CompareWithASCIIString(name.ptr(), "field") == 0)) {
        bind_dataclass_names();
        return nb::getattr(ns.module(), name);
    }
    tw::py::raise_format(PyExc_AttributeError, "module '%s' has no attribute '%U'", kModuleName,
                         name.ptr());
}

nb::object module_dir() {
    nb::list listed;
    for (nb::handle key : nb::borrow<nb::dict>(ns.dict()).keys()) {
        if (key.ptr() == getattr_name.key())
            listed.append(nb::str("dataclass"));
        else if (key.ptr() == dir_name.key())
            listed.append(nb::str("field"));
        else
            listed.append(key);
    }
    return listed;
}

void bind_dataclass() {
    if (dataclasses_loaded()) {
        nb::module_ dataclasses = nb::module_::import_("dataclasses");
        ns.set(names::dataclass, dataclasses.attr("dataclass"));
        ns.set(names::field, dataclasses.attr("field"));
        return;
    }
    tw::py::def(ns, getattr_name, &module_getattr, tw::py::arg("name"),
                nb::sig("def __getattr__(name: str) -> typing.Any"),
                "`dataclass` and `field` of dataclasses, bound in their place when first looked "
                "up.");
    tw::py::def(ns, dir_name, &module_dir, nb::sig("def __dir__() -> list[str]"),
                "The module's names, `dataclass` and `field` included.");
}

void bind_standard_modules() {
    ns.set(names::json, nb::module_::import_("json"));
    ns.set(names::os, nb::module_::import_("os"));
    ns.set(names::time, nb::module_::import_("time"));
    bind_dataclass();
    nb::module_ pathlib = nb::module_::import_("pathlib");
    ns.set(names::Path, pathlib.attr("Path"));
    pathlib_originals.remember(pathlib);
}

void bind_constants() {
    ns.set(names::MARKDOWN_SUFFIXES,
           frozenset_of({".md", ".markdown", ".mdown", ".mkd", ".mdtxt", ".text"}));
    ns.set(names::ASSET_SUFFIXES, frozenset_of({".png", ".jpg", ".jpeg", ".gif", ".webp", ".svg",
                                                ".avif", ".bmp", ".ico"}));
    ns.set(names::MAX_DOCUMENT_BYTES, 32 * 1024 * 1024);
    ns.set(names::_RECENT_LIMIT, 20);
    ns.set(names::SKIP_DIRS,
           frozenset_of({".git", ".hg", ".svn", "node_modules", "__pycache__", ".venv", "venv",
                         ".tox", ".mypy_cache", ".pytest_cache", ".ruff_cache", "dist", "build",
                         ".idea", ".vscode", ".cache", "site-packages", ".DS_Store"}));
    ns.set(names::MAX_SCAN_FILES, 20000);
    ns.set(names::MAX_SCAN_DEPTH, 12);
}

bool initialised = false;

} // namespace
} // namespace tw::pagecase

NB_MODULE(pagecase, m) {
    using namespace tw::pagecase;
    tw::py::refuse_second_initialisation(initialised, kModuleName);
    m.doc() = "Document store of the Tidewing Markdown viewer: containment of outside paths, "
              "document reading, per-user state, folder listing, pickers and quick open.";
    ns.attach(m);
    tw::py::install_host_hooks();
    bind_standard_modules();
    bind_constants();
    bind_paths();
    bind_documents();
    bind_state();
    bind_lists();
    bind_scan();
    bind_listing();
    bind_picker();
    tw::py::Original::remember_all(ns);
}
