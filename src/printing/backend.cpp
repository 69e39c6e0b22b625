// The module's exception `PrintError` and `_Backend`, the per-window print
// backend interface the three platform backends fill in.
#include "printing/module_state.h"
#include "printing/page_setup.h"

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

nb::object init_method(nb::object (*init)(nb::handle, nb::handle)) {
    return tw::py::method("__init__", init, tw::py::arg("window"),
                          nb::sig("def __init__(self, window: object) -> None"));
}

nb::object prepare_method(nb::object (*prepare)(nb::handle)) {
    return tw::py::method("prepare", prepare, nb::sig("def prepare(self) -> None"));
}

nb::object show_dialog_method(nb::object (*show_dialog)(nb::handle)) {
    return tw::py::method("show_dialog", show_dialog, nb::sig("def show_dialog(self) -> None"));
}

} // namespace

// The class attributes first, then the interface's methods in their order.
nb::object make_backend_class(const char* name, const char* doc, const char* short_name,
                              const BackendOperations& operations) {
    nb::dict body;
    body["__doc__"] = doc;
    body["name"] = short_name;
    body["supports_pdf"] = true;
    body["page_options"] = page_option_names();
    if (operations.init) body["__init__"] = init_method(operations.init);
    body["prepare"] = prepare_method(operations.prepare);
    body["show_dialog"] = show_dialog_method(operations.show_dialog);
    body["export_pdf"] =
        export_pdf_method(operations.export_pdf,
                          "def export_pdf(self, destination: pathlib.Path, *, paper: str = 'a4', "
                          "landscape: bool = False, margins_mm: float | None = None) -> None");
    return tw::py::make_class(kModuleName, name, nb::make_tuple(ns[names::_Backend]), body);
}

void bind_print_error(nb::module_& m) {
    nb::handle runtime_error(PyExc_RuntimeError);
    m.attr("PrintError") =
        tw::py::make_class(kModuleName, "PrintError", nb::make_tuple(runtime_error), nb::dict());
}

// A backend declares in `page_options` the page-setup options its
// export_pdf takes; the bridge passes on only those, and only when the host
// asked for something other than the default.
void bind_backend_base(nb::module_& m) {
    nb::dict body;
    body["__doc__"] = "How one pywebview window is printed on one platform. Subclasses resolve "
                      "their native handles in prepare() and implement the two jobs.";
    body["name"] = "none";
    body["supports_pdf"] = false;
    body["page_options"] = nb::tuple();
    body["__init__"] = init_method(&backend_init);
    body["prepare"] = prepare_method(&backend_prepare);
    body["show_dialog"] = show_dialog_method(&not_implemented);
    body["export_pdf"] =
        tw::py::method("export_pdf", &not_implemented_export, tw::py::arg("destination"),
                       nb::sig("def export_pdf(self, destination: pathlib.Path) -> None"));
    m.attr("_Backend") = tw::py::make_class(kModuleName, "_Backend", nb::make_tuple(), body);
}

} // namespace tw::printing
