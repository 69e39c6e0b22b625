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

void bind_standard_modules() {
    ns.set(names::logging, nb::module_::import_("logging"));
    ns.set(names::sys, nb::module_::import_("sys"));
    ns.set(names::threading, nb::module_::import_("threading"));
    ns.set(names::time, nb::module_::import_("time"));
    ns.set(names::Path, nb::module_::import_("pathlib").attr("Path"));
    ns.set(names::log,
           nb::module_::import_("logging").attr("getLogger")(ns.module().attr("__name__")));
}

void bind_constants() {
    ns.set(names::_SETTLE_MS, 350);
    ns.set(names::_EXPORT_TIMEOUT_S, 90.0);
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
    bind_standard_modules();
    bind_constants();
    bind_print_error();
    bind_bridge();
    bind_backend_base();
    bind_gtk_backend();
    bind_cocoa_backend();
    bind_webview2_backend();
    bind_backend_choice();
    bind_lookups();
}
