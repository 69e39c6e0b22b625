// `_GtkBackend`: printing on Linux through WebKitGTK's own print operation.
//
// GTK objects may only be touched on the GTK main loop's thread, so every
// GTK step is packed into a callable that GLib.idle_add runs there; the
// export then waits until the operation's signals, or a step that raised,
// end the job. The page's own print() is never used: pywebview's script
// evaluation waits for a bridge script that a host's local page never
// announces.
#include "common/context_manager.h"
#include "printing/module_state.h"
#include "printing/page_setup.h"
#include "printing/ui_thread.h"

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
        run_dialog_step([&] {
            nb::object operation =
                webkit.attr("PrintOperation").attr("new")(backend.attr("_webview"));
            backend.attr("_operation") = operation;
            operation.attr("run_dialog")(getattr_or_none(backend.attr("window"), "native"));
            return nb::none();
        });
        return false; // run once
    });
    GLib.attr("idle_add")(build);
    return nb::none();
}

// Paper, orientation and margins (in millimetres) on GTK's page setup. A
// fresh one is portrait with GTK's default margins and the locale's paper,
// so the paper is always set: A4 unless the host named another.
nb::object page_setup_for(const PageSetup& setup, nb::handle Gtk) {
    nb::object page_setup = Gtk.attr("PageSetup")();
    const PaperSize& paper = setup.paper ? *setup.paper : kA4;
    nb::str paper_name(paper.gtk_name.data(), paper.gtk_name.size());
    page_setup.attr("set_paper_size")(Gtk.attr("PaperSize").attr("new")(paper_name));
    if (setup.landscape)
        page_setup.attr("set_orientation")(Gtk.attr("PageOrientation").attr("LANDSCAPE"));
    if (setup.margins_mm) {
        nb::object millimetres = Gtk.attr("Unit").attr("MM");
        for (const char* setter :
             {"set_top_margin", "set_bottom_margin", "set_left_margin", "set_right_margin"})
            page_setup.attr(setter)(*setup.margins_mm, millimetres);
    }
    return page_setup;
}

struct ExportToolkit {
    nb::object GLib, Gtk, WebKit2;
};

// Runs on the UI thread: an operation printing the page to the file at
// `path` as a PDF, whose signals end the job. A step that raises ends it
// at once with the exception's text.
nb::object make_export_build(nb::handle backend, nb::object path, const PageSetup& setup,
                             const PrintJob& job, ExportToolkit toolkit) {
    auto steps = [backend = nb::borrow(backend), path, setup, job, toolkit]() {
        auto& [GLib, Gtk, WebKit2] = toolkit;
        nb::object settings = Gtk.attr("PrintSettings")();
        settings.attr("set")(Gtk.attr("PRINT_SETTINGS_OUTPUT_URI"),
                             GLib.attr("filename_to_uri")(path, nb::none()));
        settings.attr("set")(Gtk.attr("PRINT_SETTINGS_OUTPUT_FILE_FORMAT"), "pdf");
        // GTK names its file printer in the user's language.
        settings.attr("set_printer")(GLib.attr("dgettext")("gtk30", "Print to File"));
        nb::object page_setup = page_setup_for(setup, Gtk);

        nb::object operation = WebKit2.attr("PrintOperation").attr("new")(backend.attr("_webview"));
        operation.attr("set_print_settings")(settings);
        operation.attr("set_page_setup")(page_setup);
        operation.attr("connect")(
            "finished", tw::py::function("on_finished", [job](nb::args) { job.finish(); }));
        operation.attr("connect")(
            "failed", tw::py::function(
                          "on_failed", [job](nb::handle, nb::handle error) { job.fail(error); },
                          tw::py::arg("operation"), tw::py::arg("error")));
        backend.attr("_operation") = operation;
        operation.attr("print_")();
    };
    return tw::py::function("build", [steps, job]() {
        job.run(steps);
        return false; // run once
    });
}

nb::object gtk_export_pdf(nb::handle self, nb::handle destination, const PageSetup& setup) {
    auto [GLib, Gtk, WebKit2] = import_from("gi.repository", {"GLib", "Gtk", "WebKit2"});
    nb::object path = engine_path(destination);
    // Exports on one window run one at a time.
    tw::py::with_context(self.attr("_lock"), [&](nb::handle) {
        PrintJob job;
        GLib.attr("idle_add")(make_export_build(self, path, setup, job, {GLib, Gtk, WebKit2}));
        job.wait();
    });
    return nb::none();
}

} // namespace

void bind_gtk_backend() {
    nb::object cls = make_backend_class(
        "_GtkBackend", "Linux: WebKitGTK's print operation, driven on the GTK main loop.",
        "webkitgtk",
        {&gtk_init, &gtk_prepare, &gtk_show_dialog, &gtk_export_pdf,
         "Schedule GTK's print dialog for the page on the GTK main loop and return at once; a "
         "failure there is logged as a warning."});
    gtk_backend_class = tw::py::keep_for_process(cls);
    ns.set(names::_GtkBackend, cls);
}

} // namespace tw::printing
