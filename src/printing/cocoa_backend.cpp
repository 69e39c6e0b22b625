// `_CocoaBackend`: printing on macOS through the window's WKWebView.
//
// AppKit objects belong to the main thread, so both jobs are handed to the
// main operation queue. Export runs a print operation of the web view on a
// private copy of the shared print settings whose job is saved to the
// destination, so no panel is shown and the application's settings stay
// untouched.
#include "printing/module_state.h"
#include "printing/page_setup.h"
#include "printing/ui_thread.h"

namespace tw::printing {
namespace {

nb::object cocoa_prepare(nb::handle self) {
    ns[names::_cocoa_webview](self.attr("window"));
    return nb::none();
}

nb::object main_queue(nb::handle Foundation) {
    return Foundation.attr("NSOperationQueue").attr("mainQueue")();
}

nb::object cocoa_show_dialog(nb::handle self) {
    nb::object Foundation = import_module("Foundation");
    auto [cocoa] = import_from("webview.platforms", {"cocoa"});
    nb::object webview = ns[names::_cocoa_webview](self.attr("window"));
    nb::object show = tw::py::function("show", [cocoa = cocoa, webview]() {
        return run_dialog_step(
            [&] { return cocoa.attr("BrowserView").attr("print_webview")(webview); });
    });
    main_queue(Foundation).attr("addOperationWithBlock_")(show);
    return nb::none();
}

// A copy of the shared print info that saves the job, scaled to the page
// width, to the file URL of `path`.
nb::object save_to_file_info(nb::handle AppKit, nb::handle Foundation, nb::handle path) {
    nb::object info = AppKit.attr("NSPrintInfo").attr("sharedPrintInfo")().attr("copy")();
    info.attr("setHorizontalPagination_")(AppKit.attr("NSFitPagination"));
    info.attr("setJobDisposition_")(AppKit.attr("NSPrintSaveJob"));
    nb::object settings = info.attr("dictionary")();
    settings.attr("setObject_forKey_")(Foundation.attr("NSURL").attr("fileURLWithPath_")(path),
                                       AppKit.attr("NSPrintJobSavingURL"));
    return info;
}

// Paper size, orientation and margins on the copy, in points, each only
// when the host gave it: otherwise the application's shared settings apply.
void apply_page_setup(nb::handle info, const PageSetup& setup, nb::handle AppKit,
                      nb::handle Foundation) {
    if (setup.paper)
        info.attr("setPaperSize_")(Foundation.attr("NSMakeSize")(
            points_from_mm(setup.paper->width_mm), points_from_mm(setup.paper->height_mm)));
    if (setup.landscape) info.attr("setOrientation_")(AppKit.attr("NSPaperOrientationLandscape"));
    if (setup.margins_mm) {
        double points = points_from_mm(*setup.margins_mm);
        for (const char* setter :
             {"setTopMargin_", "setBottomMargin_", "setLeftMargin_", "setRightMargin_"})
            info.attr(setter)(points);
    }
}

nb::object cocoa_export_pdf(nb::handle self, nb::handle destination, const PageSetup& setup) {
    nb::object AppKit = import_module("AppKit");
    nb::object Foundation = import_module("Foundation");
    nb::object webview = ns[names::_cocoa_webview](self.attr("window"));
    nb::object info = save_to_file_info(AppKit, Foundation, engine_path(destination));
    apply_page_setup(info, setup, AppKit, Foundation);
    PrintJob job;

    // Runs on the main thread. A step that raises ends the wait at once with
    // its text; otherwise the job ends when the operation has run, and the
    // bridge then checks the file.
    nb::object run = tw::py::function("run", [webview, info, job]() {
        job.run([&] {
            nb::object operation = webview.attr("_printOperationWithPrintInfo_")(info);
            operation.attr("setShowsPrintPanel_")(false);
            operation.attr("setShowsProgressPanel_")(false);
            operation.attr("runOperation")();
            job.finish();
        });
    });
    main_queue(Foundation).attr("addOperationWithBlock_")(run);
    job.wait();
    return nb::none();
}

} // namespace

void bind_cocoa_backend() {
    ns.set(
        names::_CocoaBackend,
        make_backend_class(
            "_CocoaBackend", "macOS: the WKWebView's print operation, run on the main queue.",
            "wkwebview",
            {nullptr, &cocoa_prepare, &cocoa_show_dialog, &cocoa_export_pdf,
             "Schedule the print panel for the page on the main queue and return at once; raises "
             "PrintError when the WKWebView is not ready, and a failure of the panel is logged."}));
}

} // namespace tw::printing
