// `_GtkBackend`: printing on Linux through WebKitGTK's own print operation.
//
// GTK objects may only be touched on the GTK main loop's thread, so every
// GTK step is packed into a callable that GLib.idle_add runs there; the
// export then waits on an event that the operation's signals set. The
// page's own print() is never used: pywebview's script evaluation waits for
// a bridge script that a host's local page never announces.
#include "printing/module_state.h"

namespace tw::printing {
namespace {

nb::handle gtk_backend_class; // for super(); set once at load

nb::object gtk_init(nb::handle self, nb::handle window) {
    call_base_init(gtk_backend_class, self, window);
    self.attr("_webview") = nb::none();
    self.attr("_lock") = ns[names::threading].attr("Lock")();
    self.attr("_operation") = nb::none();
    return nb::none();
}

nb::object gtk_prepare(nb::handle self) {
    self.attr("_webview") = ns[names::_gtk_webview](self.attr("window"));
    return nb::none();
}

nb::object gtk_show_dialog(nb::handle self) {
    auto [GLib, WebKit2] = import_from("gi.repository", {"GLib", "WebKit2"});
    nb::object build = tw::py::function("build", [backend = nb::borrow(self), webkit = WebKit2]() {
        nb::object operation = webkit.attr("PrintOperation").attr("new")(backend.attr("_webview"));
        backend.attr("_operation") = operation;
        operation.attr("run_dialog")(getattr_or_none(backend.attr("window"), "native"));
        return false; // run once
    });
    GLib.attr("idle_add")(build);
    return nb::none();
}

// Runs on the UI thread: an operation printing the page to `destination`
// as an A4 PDF, whose signals release the waiting thread.
nb::object make_export_build(nb::handle backend, nb::handle destination, nb::handle done,
                             nb::handle failure, nb::handle GLib, nb::handle Gtk,
                             nb::handle WebKit2) {
    auto build = [backend = nb::borrow(backend), destination = nb::borrow(destination),
                  done = nb::borrow(done), failure = nb::borrow(failure), GLib = nb::borrow(GLib),
                  Gtk = nb::borrow(Gtk), WebKit2 = nb::borrow(WebKit2)]() {
        nb::object settings = Gtk.attr("PrintSettings")();
        settings.attr("set")(Gtk.attr("PRINT_SETTINGS_OUTPUT_URI"),
                             GLib.attr("filename_to_uri")(tw::py::str_of(destination), nb::none()));
        settings.attr("set")(Gtk.attr("PRINT_SETTINGS_OUTPUT_FILE_FORMAT"), "pdf");
        // GTK names its file printer in the user's language.
        settings.attr("set_printer")(GLib.attr("dgettext")("gtk30", "Print to File"));
        nb::object page_setup = Gtk.attr("PageSetup")();
        page_setup.attr("set_paper_size")(
            Gtk.attr("PaperSize").attr("new")(Gtk.attr("PAPER_NAME_A4")));

        nb::object operation = WebKit2.attr("PrintOperation").attr("new")(backend.attr("_webview"));
        operation.attr("set_print_settings")(settings);
        operation.attr("set_page_setup")(page_setup);
        operation.attr("connect")(
            "finished", tw::py::function("on_finished", [done](nb::args) { done.attr("set")(); }));
        operation.attr("connect")("failed", tw::py::function(
                                                "on_failed",
                                                [done, failure](nb::handle, nb::handle error) {
                                                    // The message first: the waiting thread reads
                                                    // it once woken.
                                                    failure.attr("append")(tw::py::str_of(error));
                                                    done.attr("set")();
                                                },
                                                tw::py::arg("operation"), tw::py::arg("error")));
        backend.attr("_operation") = operation;
        operation.attr("print_")();
        return false; // run once
    };
    return tw::py::function("build", std::move(build));
}

nb::object gtk_export_pdf(nb::handle self, nb::handle destination) {
    auto [GLib, Gtk, WebKit2] = import_from("gi.repository", {"GLib", "Gtk", "WebKit2"});
    // Exports on one window run one at a time: `with self._lock:`.
    nb::object lock = self.attr("_lock");
    lock.attr("__enter__")();
    try {
        nb::object done = new_event();
        nb::list failure;
        GLib.attr("idle_add")(
            make_export_build(self, destination, done, failure, GLib, Gtk, WebKit2));
        wait_for_job(done);
        if (failure.size() > 0) raise_print_error(nb::object(failure[0]));
    } catch (nb::python_error& error) {
        nb::object traceback = error.traceback();
        nb::object suppress = lock.attr("__exit__")(error.type(), error.value(),
                                                    traceback.is_valid() ? traceback : nb::none());
        if (truthy(suppress)) return nb::none();
        throw;
    } catch (...) {
        lock.attr("__exit__")(nb::none(), nb::none(), nb::none());
        throw;
    }
    lock.attr("__exit__")(nb::none(), nb::none(), nb::none());
    return nb::none();
}

} // namespace

void bind_gtk_backend(nb::module_& m) {
    nb::object cls = make_backend_class(
        "_GtkBackend", "Linux: WebKitGTK's print operation, driven on the GTK main loop.",
        "webkitgtk", {&gtk_init, &gtk_prepare, &gtk_show_dialog, &gtk_export_pdf});
    gtk_backend_class = cls.inc_ref(); // held, like the module, for the process
    m.attr("_GtkBackend") = cls;
}

} // namespace tw::printing
