// The print job's meeting point and the reporting of UI-thread failures.
#include "printing/ui_thread.h"

namespace tw::printing {
namespace {

// `str(error)`; a failing __str__ gives the text Python's own error
// reporting uses for it, so the caller still learns that the job failed.
nb::object failure_text(nb::handle error) {
    if (PyObject* text = PyObject_Str(error.ptr())) return nb::steal(text);
    PyErr_Clear();
    return nb::str("<exception str() failed>");
}

} // namespace

PrintJob::PrintJob() : done_(ns[names::threading].attr("Event")()) {}

void PrintJob::finish() const {
    done_.attr("set")();
}

void PrintJob::fail(nb::handle error) const {
    try {
        tw::py::require(PyList_Append(failure_.ptr(), failure_text(error).ptr()));
    } catch (...) {
        finish(); // the waiting caller is released in any case
        throw;
    }
    finish();
}

// Event.wait blocks in a lock acquire that releases the GIL itself.
void PrintJob::wait() const {
    nb::object finished = done_.attr("wait")(ns[names::_EXPORT_TIMEOUT_S]);
    if (!truthy(finished)) raise_print_error("PDF export timed out");
    if (failure_.size() > 0) raise_print_error(nb::object(failure_[0]));
}

void log_dialog_failure(nb::handle error) {
    ns[names::log].attr("warning")("print dialog failed: %s", error);
}

} // namespace tw::printing
