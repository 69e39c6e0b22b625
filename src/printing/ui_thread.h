// What a caller's thread shares with the thread that runs its print job, and
// how steps handed to the UI thread report what they raise.
//
// The toolkits run a callable given to them on their UI thread and deal with
// its exceptions themselves (printed, or dropped), so nothing raised there
// reaches the host by itself. An export's steps therefore record the failure
// and end the caller's wait at once; the print dialog's step, which nobody
// waits for, logs it.
#pragma once

#include "printing/module_state.h"

namespace tw::printing {

// One export's meeting point: the event that ends the caller's wait and the
// failure messages recorded before it is set. Copies share the same objects.
class PrintJob {
  public:
    PrintJob(); // threading.Event() read from the module now, and an empty list

    // The job has ended; the waiting caller goes on to check the file.
    void finish() const;

    // The job failed with `error` (an exception or a toolkit's error object):
    // its text is recorded first, then the wait ends.
    void fail(nb::handle error) const;

    // Runs a step of the job on the thread that drives it. Whatever the step
    // raises ends the wait at once with the exception's text; an Exception
    // goes no further, anything else (KeyboardInterrupt, SystemExit) goes on
    // to the toolkit as well.
    template <typename Step> void run(Step&& step) const {
        try {
            tw::py::memory_error_for_bad_alloc(step);
        } catch (nb::python_error& error) {
            fail(error.value());
            if (!error.matches(PyExc_Exception)) throw;
        } catch (...) {
            finish();
            throw;
        }
    }

    // Waits up to `_EXPORT_TIMEOUT_S` (read now) for the job. Raises
    // PrintError("PDF export timed out"), or PrintError with the first
    // recorded failure.
    void wait() const;

  private:
    nb::object done_;
    nb::list failure_;
};

// Logs what the print dialog's UI-thread step raised as a warning on the
// module's logger.
void log_dialog_failure(nb::handle error);

// Runs the print dialog's step on the UI thread; returns the step's result,
// or None when it raised an Exception, which is logged. Anything else
// (KeyboardInterrupt, SystemExit) goes on to the toolkit.
template <typename Step> nb::object run_dialog_step(Step&& step) {
    try {
        return tw::py::memory_error_for_bad_alloc(step);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;
        log_dialog_failure(error.value());
        return nb::none();
    }
}

} // namespace tw::printing
