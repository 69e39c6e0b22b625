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

// The timeout handed to Event.wait. CPython 3.10's Condition.wait polls once
// for a timeout that is not above zero, NaN included; later releases may
// refuse a NaN, so a number that is not above zero is given as 0, which
// every release reads as that poll (the release rule, common/originals.h).
// Other objects go as they are, to be compared by the release's own code.
nb::object wait_timeout(nb::handle timeout) {
    if (PyFloat_CheckExact(timeout.ptr()) && !(PyFloat_AS_DOUBLE(timeout.ptr()) > 0.0))
        return nb::float_(0.0);
    if (PyLong_CheckExact(timeout.ptr())) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(timeout.ptr(), &overflow);
        if (overflow < 0 || (overflow == 0 && value <= 0)) return nb::int_(0);
    }
    return nb::borrow(timeout);
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
    nb::object finished = done_.attr("wait")(wait_timeout(ns[names::_EXPORT_TIMEOUT_S]));
    if (!truthy(finished)) raise_print_error("PDF export timed out");
    if (failure_.size() > 0) raise_print_error(nb::object(failure_[0]));
}

void log_dialog_failure(nb::handle error) {
    ns[names::log].attr("warning")("print dialog failed: %s", error);
}

} // namespace tw::printing
