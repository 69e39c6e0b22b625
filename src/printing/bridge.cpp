// `PrintBridge`, the host's per-window face of printing, and `_make_backend`,
// which picks the backend class for the running platform.
#include "printing/module_state.h"
#include "printing/page_setup.h"

namespace tw::printing {
namespace {

constexpr double kAttachBudgetSeconds = 10.0;
constexpr double kAttachRetrySeconds = 0.25;

constexpr const char* kNotAvailable = "printing is not available on this platform build";
constexpr const char* kNoFile = "the print backend reported success but wrote no file";

nb::object monotonic() {
    return ns[names::time].attr("monotonic")();
}

bool less_than(nb::handle a, nb::handle b) {
    return tw::py::compare(a, b, Py_LT);
}

nb::object bridge_init(nb::handle self) {
    self.attr("_window") = nb::none();
    self.attr("_backend") = nb::none();
    return nb::none();
}

// pywebview may call the start callback before the window's widget exists,
// so binding keeps trying, each time with a fresh backend, until a fixed
// budget of time has passed.
nb::object bridge_attach(nb::handle self, nb::handle window) {
    self.attr("_window") = window;
    nb::object deadline =
        steal_checked(PyNumber_Add(monotonic().ptr(), nb::float_(kAttachBudgetSeconds).ptr()));
    nb::object last_error = nb::none();
    while (less_than(monotonic(), deadline)) {
        nb::object backend;
        try {
            backend = ns[names::_make_backend](window);
            backend.attr("prepare")();
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_Exception)) throw;
            last_error = nb::borrow(error.value());
            ns[names::time].attr("sleep")(kAttachRetrySeconds);
            continue;
        }
        self.attr("_backend") = backend;
        ns[names::log].attr("info")("print backend ready: %s", backend.attr("name"));
        return nb::none();
    }
    ns[names::log].attr("warning")("printing unavailable: %s", last_error);
    self.attr("_backend") = nb::none();
    return nb::none();
}

nb::object bridge_available(nb::handle self) {
    return nb::bool_(!self.attr("_backend").is_none());
}

// Every method reads `_backend` afresh at each use: an attach running on
// another thread may replace it between the steps of a call.
nb::object bridge_status(nb::handle self) {
    nb::dict result;
    result["available"] = self.attr("available");
    result["backend"] =
        truthy(self.attr("_backend")) ? nb::object(self.attr("_backend").attr("name")) : nb::none();
    result["can_export_pdf"] = nb::bool_(truthy(self.attr("_backend")) &&
                                         truthy(self.attr("_backend").attr("supports_pdf")));
    return result;
}

nb::object bridge_print_dialog(nb::handle self) {
    if (!truthy(self.attr("_backend"))) raise_print_error(kNotAvailable);
    self.attr("_backend").attr("show_dialog")();
    nb::dict result;
    result["ok"] = true;
    result["backend"] = self.attr("_backend").attr("name");
    return result;
}

// `destination.stat()`, or None when there is nothing to stat.
nb::object stat_or_none(nb::handle path) {
    return tw::py::unless_raised([&] { return nb::object(path.attr("stat")()); }, PyExc_OSError)
        .value_or(nb::none());
}

bool same_file_state(nb::handle before, nb::handle after) {
    for (const char* field : {"st_ino", "st_size", "st_mtime_ns"})
        if (!equals(before.attr(field), after.attr(field))) return false;
    return true;
}

// A backend takes the page-setup options it lists in `page_options`;
// asking one for any other is refused before anything is touched.
void refuse_unsupported_options(nb::handle backend, nb::handle options) {
    nb::object supported = getattr_or(backend, "page_options", nb::tuple());
    for (nb::handle option : options) {
        if (!tw::py::contains(supported, option))
            raise_print_error(
                steal_checked(PyUnicode_FromFormat("%S does not support the PDF export option '%U'",
                                                   backend.attr("name").ptr(), option.ptr())));
    }
}

// The page setup has been checked before anything else, so that a bad
// option fails the same way whatever the platform and whether or not a
// backend is bound. With every option at its default, the backend is called
// with the destination alone, as backends written for that call expect.
//
// The destination's folder is resolved once, after it has been created, and
// that one path goes to the backend (and so to the engine) and to every
// check of the file: the engine then writes where the checks look, also
// for a destination such as "link/../x.pdf".
nb::object bridge_export_pdf(nb::handle self, nb::handle destination_arg, const PageSetup& setup) {
    if (!truthy(self.attr("_backend"))) raise_print_error(kNotAvailable);
    if (!truthy(self.attr("_backend").attr("supports_pdf")))
        raise_print_error(steal_checked(PyUnicode_FromFormat(
            "%S cannot export PDF directly", self.attr("_backend").attr("name").ptr())));
    nb::dict options = setup.keywords();
    refuse_unsupported_options(self.attr("_backend"), options);
    nb::object destination = destination_arg.attr("expanduser")();
    destination.attr("parent").attr("mkdir")(nb::arg("parents") = true, nb::arg("exist_ok") = true);
    nb::object target = resolved_destination(destination);

    // A file left at the destination by an earlier export must not pass for
    // this one: the backend may return without having written anything.
    nb::object before = stat_or_none(target);
    self.attr("_backend").attr("export_pdf")(target, **options);
    if (!truthy(target.attr("is_file")()) ||
        equals(target.attr("stat")().attr("st_size"), nb::int_(0)))
        raise_print_error(kNoFile);
    if (!before.is_none() && same_file_state(before, target.attr("stat")()))
        raise_print_error(kNoFile);

    nb::dict result;
    result["ok"] = true;
    result["backend"] = self.attr("_backend").attr("name");
    result["path"] = tw::py::str_of(destination);
    result["size"] = target.attr("stat")().attr("st_size");
    return result;
}

nb::object make_backend(nb::handle window) {
    auto platform = [] { return ns[names::sys].attr("platform"); };
    if (truthy(platform().attr("startswith")("linux"))) return ns[names::_GtkBackend](window);
    if (equals(platform(), nb::str("darwin"))) return ns[names::_CocoaBackend](window);
    if (equals(platform(), nb::str("win32")) || equals(platform(), nb::str("cygwin")))
        return ns[names::_EdgeChromiumBackend](window);
    raise_print_error(
        steal_checked(PyUnicode_FromFormat("no print backend for %S", platform().ptr())));
}

} // namespace

void bind_bridge() {
    nb::dict body;
    body["__doc__"] = "Per-window printing. Create one, ``attach`` it, then call the methods.";
    nb::object cls = tw::py::make_class(kModuleName, "PrintBridge", nb::make_tuple(), body);
    tw::py::Members members(cls);
    members
        .method("__init__", &bridge_init, nb::sig("def __init__(self) -> None"),
                "A bridge bound to no window and no backend yet.")
        .method("attach", &bridge_attach, tw::py::arg("window"),
                nb::sig("def attach(self, window: object) -> None"),
                "Bind the platform's print backend to a pywebview window, trying for up to 10 "
                "seconds; never raises.\n\n"
                "pywebview may call its start callback before the window's web widget exists, "
                "so each failed attempt is retried with a new backend. Success is logged as "
                "\"print backend ready: %s\"; giving up logs \"printing unavailable: %s\" and "
                "leaves the bridge unbound, as `available` and status() show.")
        .property("available", &bridge_available,
                  "Whether a print backend is bound (attach succeeded).",
                  nb::sig("def available(self) -> bool"))
        .method("status", &bridge_status, nb::sig("def status(self) -> dict[str, typing.Any]"),
                "A new dict of the bridge's state: available, backend (its name or None) and "
                "can_export_pdf; never raises.")
        .method("print_dialog", &bridge_print_dialog,
                nb::sig("def print_dialog(self) -> dict[str, typing.Any]"),
                "Show the platform's print dialog for the page and return {\"ok\": True, "
                "\"backend\": name}; raises PrintError when no backend is bound.\n\n"
                "On WebKitGTK and macOS the dialog is scheduled on the GUI thread and the call "
                "returns at once. What the backend raises reaches the caller unchanged.");
    add_export_pdf(
        members, &bridge_export_pdf, "dict[str, typing.Any]",
        "Write the page as a PDF file at `destination` and return ok, backend, path and size; "
        "raises PrintError when that fails.\n\n"
        "The backend's own page setup (A4 portrait on GTK, the application's shared print "
        "info on macOS, WebView2's defaults on Windows) changes only where `paper`, "
        "`landscape` or `margins_mm` are given. PrintError when no backend is bound, the "
        "backend cannot export PDF or does not take a page option asked for, or the export "
        "left no new non-empty file; ValueError or TypeError for a bad option, before anything "
        "is touched. `destination` is expanded (~) and its missing folders are created; the "
        "file is written in that folder as the system resolves it (links followed), a "
        "relative one below the current folder, and \"path\" repeats it as given. Call it from "
        "a thread other than the GUI thread.");
    ns.set(names::PrintBridge, cls);
}

void bind_backend_choice() {
    tw::py::def(ns, names::_make_backend, &make_backend, tw::py::arg("window"),
                nb::sig("def _make_backend(window: object) -> _Backend"),
                "A new backend for the running platform, constructed with the window; raises "
                "PrintError on a platform without one.");
}

} // namespace tw::printing
