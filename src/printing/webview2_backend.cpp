// `_EdgeChromiumBackend`: printing on Windows through WebView2's
// CoreWebView2, reached with pythonnet. The print UI is opened directly on
// the calling thread; PDF export starts PrintToPdfAsync and is released by a
// continuation of its task, whatever the task's outcome.
#include "printing/module_state.h"
#include "printing/page_setup.h"
#include "printing/ui_thread.h"

namespace tw::printing {
namespace {

nb::object edge_prepare(nb::handle self) {
    ns[names::_edge_core](self.attr("window"));
    return nb::none();
}

nb::object edge_show_dialog(nb::handle self) {
    ns[names::_edge_core](self.attr("window")).attr("ShowPrintUI")();
    return nb::none();
}

// `raise PrintError("PrintToPdfAsync failed: ...") from cause`.
[[noreturn]] void raise_start_failure(nb::handle cause) {
    nb::object error =
        print_error(steal_checked(PyUnicode_FromFormat("PrintToPdfAsync failed: %S", cause.ptr())));
    if (PyExceptionInstance_Check(error.ptr())) {
        // Both steal a reference; raising inside `except` also sets the context.
        PyException_SetCause(error.ptr(), cause.inc_ref().ptr());
        PyException_SetContext(error.ptr(), cause.inc_ref().ptr());
    }
    raise_instance(error);
}

// WebView2's print settings, in inches, for the options the host gave;
// None at the defaults, so that WebView2's own settings apply and no
// CoreWebView2.Environment is needed. Fresh settings are portrait with
// WebView2's own paper and margins.
nb::object print_settings_for(nb::handle core, const PageSetup& setup) {
    if (setup.at_defaults()) return nb::none();
    nb::object settings = core.attr("Environment").attr("CreatePrintSettings")();
    if (setup.paper) {
        settings.attr("PageWidth") = inches_from_mm(setup.paper->width_mm);
        settings.attr("PageHeight") = inches_from_mm(setup.paper->height_mm);
    }
    if (setup.landscape) {
        auto [Orientation] =
            import_from("Microsoft.Web.WebView2.Core", {"CoreWebView2PrintOrientation"});
        settings.attr("Orientation") = Orientation.attr("Landscape");
    }
    if (setup.margins_mm) {
        double inches = inches_from_mm(*setup.margins_mm);
        for (const char* side : {"MarginTop", "MarginBottom", "MarginLeft", "MarginRight"})
            settings.attr(side) = inches;
    }
    return settings;
}

nb::object edge_export_pdf(nb::handle self, nb::handle destination, const PageSetup& setup) {
    nb::object core = ns[names::_edge_core](self.attr("window"));
    nb::object path = engine_path(destination);
    PrintJob job;
    nb::object on_complete =
        tw::py::function("on_complete", [job](nb::handle) { job.finish(); }, tw::py::arg("task"));
    try {
        auto [Action] = import_from("System", {"Action"});
        auto [Task] = import_from("System.Threading.Tasks", {"Task"});
        nb::object task = core.attr("PrintToPdfAsync")(path, print_settings_for(core, setup));
        task.attr("ContinueWith")(Action[Task](on_complete));
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;
        raise_start_failure(error.value());
    }
    job.wait();
    return nb::none();
}

} // namespace

void bind_webview2_backend() {
    ns.set(names::_EdgeChromiumBackend,
           make_backend_class(
               "_EdgeChromiumBackend",
               "Windows: WebView2's print UI and PrintToPdfAsync, via pythonnet.", "webview2",
               {nullptr, &edge_prepare, &edge_show_dialog, &edge_export_pdf,
                "Open WebView2's print dialog for the page on this thread; raises PrintError when "
                "CoreWebView2 is not ready, and what ShowPrintUI raises propagates."}));
}

} // namespace tw::printing
