// Finding the native object that renders a pywebview window's page: the
// platform's per-window object, and in it the WebKitGTK view, the WKWebView
// or WebView2's CoreWebView2. Also `settle_ms`, the settle delay for hosts.
//
// Everything here only reads pywebview's live objects, afresh on each call,
// so a window that pywebview registers later is found by a later call.
#include "printing/module_state.h"

namespace tw::printing {
namespace {

constexpr const char* kPlatformPrefix = "webview.platforms.";

bool is_platform_module_name(nb::handle name) {
    if (PyUnicode_CheckExact(name.ptr())) { // a subclass may answer startswith itself
        nb::object prefix = nb::str(kPlatformPrefix);
        Py_ssize_t found =
            tw::py::require(PyUnicode_Tailmatch(name.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1));
        return found == 1;
    }
    return truthy(name.attr("startswith")(kPlatformPrefix));
}

// pywebview's chosen platform module first, then every loaded platform
// module in import order. The walk is over a copy of sys.modules taken
// before any attribute is read: reading one may run code, and another
// thread may import a module meanwhile.
nb::list candidate_modules(nb::handle webview) {
    nb::object modules = ns[names::sys].attr("modules");
    nb::object snapshot = steal_checked(PyMapping_Items(modules.ptr()));
    nb::list candidates;
    nb::object guilib = getattr_or_none(webview, "guilib");
    if (!guilib.is_none()) candidates.append(guilib);
    for (nb::handle item : snapshot) {
        nb::object name = item[0], module = item[1];
        if (is_platform_module_name(name) && !module.is_none()) candidates.append(module);
    }
    return candidates;
}

nb::object browser_view(nb::handle window) {
    nb::object webview = import_module("webview");
    for (nb::handle candidate : candidate_modules(webview)) {
        nb::object cls = getattr_or_none(candidate, "BrowserView");
        if (!truthy(cls)) continue;
        nb::object instances = getattr_or_none(cls, "instances");
        if (!truthy(instances)) continue;
        if (tw::py::contains(instances, window.attr("uid"))) return instances[window.attr("uid")];
    }
    raise_print_error("could not locate the native webview for this window");
}

nb::object widget_of(nb::handle window, const char* not_ready) {
    nb::object view = getattr_or_none(ns[names::_browser_view](window), "webview");
    if (view.is_none()) raise_print_error(not_ready);
    return view;
}

nb::object gtk_webview(nb::handle window) {
    return widget_of(window, "GTK webview widget not ready");
}

nb::object cocoa_webview(nb::handle window) {
    return widget_of(window, "WKWebView not ready");
}

// On Windows the control may sit on a separate browser object, under either
// of two attribute names depending on pywebview's version.
nb::object edge_core(nb::handle window) {
    nb::object platform_object = ns[names::_browser_view](window);
    nb::object holder = getattr_or_none(platform_object, "browser");
    if (!truthy(holder)) holder = platform_object;
    nb::object view = getattr_or_none(holder, "webview");
    if (!truthy(view)) view = getattr_or_none(holder, "web_view");
    nb::object core = view.is_none() ? nb::none() : getattr_or_none(view, "CoreWebView2");
    if (core.is_none()) raise_print_error("CoreWebView2 not initialised");
    return core;
}

nb::object settle_ms() {
    return ns[names::_SETTLE_MS];
}

} // namespace

void bind_lookups() {
    tw::py::def(ns, names::_browser_view, &browser_view, tw::py::arg("window"),
                nb::sig("def _browser_view(window: object) -> object"),
                "pywebview's platform object for the window; raises PrintError when pywebview has "
                "none registered for its uid.");
    tw::py::def(ns, names::_gtk_webview, &gtk_webview, tw::py::arg("window"),
                nb::sig("def _gtk_webview(window: object) -> object"),
                "The WebKit2 web view widget of the window; raises PrintError while it is not "
                "created yet.");
    tw::py::def(ns, names::_cocoa_webview, &cocoa_webview, tw::py::arg("window"),
                nb::sig("def _cocoa_webview(window: object) -> object"),
                "The WKWebView of the window; raises PrintError while it is not created yet.");
    tw::py::def(ns, names::_edge_core, &edge_core, tw::py::arg("window"),
                nb::sig("def _edge_core(window: object) -> object"),
                "The CoreWebView2 object of the window's WebView2 control; raises PrintError while "
                "it is not initialised.");
    tw::py::def(ns, names::settle_ms, &settle_ms, nb::sig("def settle_ms() -> int"),
                "How long, in milliseconds, a host lets the page settle before printing it "
                "(_SETTLE_MS, read at each call).");
}

} // namespace tw::printing
