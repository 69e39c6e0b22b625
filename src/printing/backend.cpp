// The module's exception `PrintError` and `_Backend`, the per-window print
// backend interface the three platform backends fill in.
#include "printing/module_state.h"

namespace tw::printing {
namespace {

nb::object backend_init(nb::handle self, nb::handle window) {
    self.attr("window") = window;
    return nb::none();
}

nb::object backend_prepare(nb::handle) {
    return nb::none();
}

nb::object not_implemented(nb::handle) {
    PyErr_SetNone(PyExc_NotImplementedError);
    throw nb::python_error();
}

nb::object not_implemented_export(nb::handle, nb::handle) {
    PyErr_SetNone(PyExc_NotImplementedError);
    throw nb::python_error();
}

// The interface's methods in their order, with their signatures.
void add_operations(nb::dict body, const BackendOperations& operations) {
    if (operations.init)
        body["__init__"] = tw::py::method("__init__", operations.init, tw::py::arg("window"),
                                          nb::sig("def __init__(self, window: object) -> None"));
    body["prepare"] =
        tw::py::method("prepare", operations.prepare, nb::sig("def prepare(self) -> None"));
    body["show_dialog"] = tw::py::method("show_dialog", operations.show_dialog,
                                         nb::sig("def show_dialog(self) -> None"));
    body["export_pdf"] =
        tw::py::method("export_pdf", operations.export_pdf, tw::py::arg("destination"),
                       nb::sig("def export_pdf(self, destination: pathlib.Path) -> None"));
}

} // namespace

nb::object make_backend_class(const char* name, const char* doc, const char* short_name,
                              const BackendOperations& operations) {
    nb::dict body;
    body["__doc__"] = doc;
    body["name"] = short_name;
    body["supports_pdf"] = true;
    add_operations(body, operations);
    return tw::py::make_class(kModuleName, name, nb::make_tuple(ns[names::_Backend]), body);
}

void bind_print_error(nb::module_& m) {
    nb::handle runtime_error(PyExc_RuntimeError);
    m.attr("PrintError") =
        tw::py::make_class(kModuleName, "PrintError", nb::make_tuple(runtime_error), nb::dict());
}

void bind_backend_base(nb::module_& m) {
    nb::dict body;
    body["__doc__"] = "How one pywebview window is printed on one platform. Subclasses resolve "
                      "their native handles in prepare() and implement the two jobs.";
    body["name"] = "none";
    body["supports_pdf"] = false;
    add_operations(body,
                   {&backend_init, &backend_prepare, &not_implemented, &not_implemented_export});
    m.attr("_Backend") = tw::py::make_class(kModuleName, "_Backend", nb::make_tuple(), body);
}

} // namespace tw::printing
