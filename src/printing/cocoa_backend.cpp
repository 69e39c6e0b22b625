// `_CocoaBackend`: printing on macOS through the window's WKWebView.
//
// AppKit objects belong to the main thread, so both jobs are handed to the
// main operation queue. Export runs a print operation of the web view on a
// private copy of the shared print settings whose job is saved to the
// destination, so no panel is shown and the application's settings stay
// untouched.
#include "printing/module_state.h"

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
        return cocoa.attr("BrowserView").attr("print_webview")(webview);
    });
    main_queue(Foundation).attr("addOperationWithBlock_")(show);
    return nb::none();
}

// A copy of the shared print info that saves the job, scaled to the page
// width, to the destination's file URL.
nb::object save_to_file_info(nb::handle AppKit, nb::handle Foundation, nb::handle destination) {
    nb::object info = AppKit.attr("NSPrintInfo").attr("sharedPrintInfo")().attr("copy")();
    info.attr("setHorizontalPagination_")(AppKit.attr("NSFitPagination"));
    info.attr("setJobDisposition_")(AppKit.attr("NSPrintSaveJob"));
    nb::object settings = info.attr("dictionary")();
    settings.attr("setObject_forKey_")(
        Foundation.attr("NSURL").attr("fileURLWithPath_")(tw::py::str_of(destination)),
        AppKit.attr("NSPrintJobSavingURL"));
    return info;
}

nb::object cocoa_export_pdf(nb::handle self, nb::handle destination) {
    nb::object AppKit = import_module("AppKit");
    nb::object Foundation = import_module("Foundation");
    nb::object webview = ns[names::_cocoa_webview](self.attr("window"));
    nb::object info = save_to_file_info(AppKit, Foundation, destination);
    nb::object done = new_event();

    // Runs on the main thread. The event is set in every case; an error of
    // the job goes on to the queue's own handling, and the missing file is
    // what the bridge then reports.
    nb::object run = tw::py::function("run", [webview, info, done]() {
        try {
            nb::object operation = webview.attr("_printOperationWithPrintInfo_")(info);
            operation.attr("setShowsPrintPanel_")(false);
            operation.attr("setShowsProgressPanel_")(false);
            operation.attr("runOperation")();
        } catch (...) {
            done.attr("set")();
            throw;
        }
        done.attr("set")();
    });
    main_queue(Foundation).attr("addOperationWithBlock_")(run);
    wait_for_job(done);
    return nb::none();
}

} // namespace

void bind_cocoa_backend(nb::module_& m) {
    m.attr("_CocoaBackend") = make_backend_class(
        "_CocoaBackend", "macOS: the WKWebView's print operation, run on the main queue.",
        "wkwebview", {nullptr, &cocoa_prepare, &cocoa_show_dialog, &cocoa_export_pdf});
}

} // namespace tw::printing
