// The extension module tidewing_quillery.printing: the per-window print
// bridge, the lookup of pywebview's native web views, and one print backend
// per platform.
//
// Initialisation binds the names in the order a reader of the module expects
// (standard modules, the logger, the two tuning constants, the exception,
// the classes, then the functions). No platform toolkit is imported here:
// each is imported by the function that needs it, when it runs.
#include "common/host_life.h"
#include "common/needs_gil.h"
#include "printing/module_state.h"

namespace tw::printing {
namespace {

void bind_standard_modules(nb::module_& m) {
    m.attr("logging") = nb::module_::import_("logging");
    m.attr("sys") = nb::module_::import_("sys");
    m.attr("threading") = nb::module_::import_("threading");
    m.attr("time") = nb::module_::import_("time");
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("log") = nb::module_::import_("logging").attr("getLogger")(m.attr("__name__"));
}

void bind_constants(nb::module_& m) {
    m.attr("_SETTLE_MS") = 350;
    m.attr("_EXPORT_TIMEOUT_S") = 90.0;
}

bool initialised = false;

} // namespace
} // namespace tw::printing

NB_MODULE(printing, m) {
    using namespace tw::printing;
    tw::py::refuse_second_initialisation(initialised, kModuleName);
    m.doc() = "Printing and PDF export for pywebview windows: a per-window print bridge over "
              "WebKitGTK, WKWebView or WebView2.";
    ns.attach(m);
    tw::py::install_host_hooks();
    bind_standard_modules(m);
    bind_constants(m);
    bind_print_error(m);
    bind_bridge(m);
    bind_backend_base(m);
    bind_gtk_backend(m);
    bind_cocoa_backend(m);
    bind_webview2_backend(m);
    bind_backend_choice(m);
    bind_lookups(m);
}
