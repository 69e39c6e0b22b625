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

constexpr const char* kInitDoc =
    "Keep the pywebview window to print as `window`; touches neither the window nor a toolkit.";

constexpr const char* kPrepareDoc =
    "Find the window's native web view; raises PrintError while pywebview has not created it "
    "yet.\n\n"
    "The bridge takes any exception as \"not ready yet\" and tries again with a new backend.";

constexpr const char* kExportDoc =
    "Write the page as a PDF file at `destination` and return once the engine has finished; "
    "raises PrintError on a failure the engine reports or after _EXPORT_TIMEOUT_S seconds.\n\n"
    "`destination` has been through expanduser() and its folder exists; a relative one is "
    "written below the current folder. The page setup is the backend's own (A4 on GTK, the "
    "shared print info on macOS, WebView2's defaults on Windows) except for the `paper`, "
    "`landscape` or `margins_mm` given (ValueError or TypeError for values outside those the "
    "bridge accepts). Call it from a thread other than the GUI thread, which does the work.";

void add_init(tw::py::Members& members, nb::object (*init)(nb::handle, nb::handle)) {
    members.method("__init__", init, tw::py::arg("window"),
                   nb::sig("def __init__(self, window: object) -> None"), kInitDoc);
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
    nb::object cls =
        tw::py::make_class(kModuleName, name, nb::make_tuple(ns[names::_Backend]), body);
    tw::py::Members members(cls);
    if (operations.init) add_init(members, operations.init);
    members.method("prepare", operations.prepare, nb::sig("def prepare(self) -> None"), kPrepareDoc)
        .method("show_dialog", operations.show_dialog, nb::sig("def show_dialog(self) -> None"),
                operations.show_dialog_doc);
    add_export_pdf(members, operations.export_pdf, "None", kExportDoc);
    return cls;
}

void bind_print_error() {
    nb::dict body;
    body["__doc__"] = "A print request failed in a way the module anticipates; the message says "
                      "which, in fixed English.\n\n"
                      "Raised by PrintBridge and the backends: no backend bound, no PDF support, "
                      "an unsupported page option, a native web view that is not ready, \"PDF "
                      "export timed out\", an error the engine reported, or an export that wrote "
                      "no file.";
    ns.set(names::PrintError,
           tw::py::make_class(kModuleName, "PrintError",
                              nb::make_tuple(nb::handle(PyExc_RuntimeError)), body));
}

// A backend declares in `page_options` the page-setup options its
// export_pdf takes; the bridge passes on only those, and only when the host
// asked for something other than the default.
void bind_backend_base() {
    nb::dict body;
    body["__doc__"] = "How one pywebview window is printed on one platform. Subclasses resolve "
                      "their native handles in prepare() and implement the two jobs.";
    body["name"] = "none";
    body["supports_pdf"] = false;
    body["page_options"] = nb::tuple();
    nb::object cls = tw::py::make_class(kModuleName, "_Backend", nb::make_tuple(), body);
    tw::py::Members members(cls);
    add_init(members, &backend_init);
    members
        .method("prepare", &backend_prepare, nb::sig("def prepare(self) -> None"),
                "Do nothing: the base backend has no native handles to find.")
        .method("show_dialog", &not_implemented, nb::sig("def show_dialog(self) -> None"),
                "Raise NotImplementedError: each platform backend opens its own print dialog.")
        .method("export_pdf", &not_implemented_export, tw::py::arg("destination"),
                nb::sig("def export_pdf(self, destination: pathlib.Path) -> None"),
                "Raise NotImplementedError: each platform backend writes its own PDF file.");
    ns.set(names::_Backend, cls);
}

} // namespace tw::printing
