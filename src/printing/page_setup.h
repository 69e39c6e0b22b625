// The page setup of a PDF export (paper, orientation, margins) as a host
// passes it to `PrintBridge.export_pdf` and the bridge passes it on to a
// platform backend: checked once, from Python objects into plain values.
#pragma once

#include <optional>
#include <utility>

#include "printing/core/paper.h"
#include "printing/module_state.h"

namespace tw::printing {

struct PageSetup {
    const PaperSize* paper = &kDefaultPaper;
    bool landscape = false;
    std::optional<double> margins_mm; // none: the engine's own margins
};

// Checks the three options in parameter order: TypeError for a wrong type,
// ValueError for an unknown paper or margins that are negative or leave no
// room on the page.
PageSetup page_setup_from(nb::handle paper, nb::handle landscape, nb::handle margins_mm);

// The options that differ from the defaults, in parameter order, as keyword
// arguments for a backend's export_pdf.
nb::dict non_default_options(const PageSetup& setup);

// The class attribute `page_options` of the platform backends: the options
// their export_pdf takes.
nb::tuple page_option_names();

// `export_pdf(self, destination, *, paper="a4", landscape=False,
// margins_mm=None)` attached as a method; the bridge and the backends share it.
template <typename Func>
void add_export_pdf(tw::py::Members& members, Func&& func, const char* signature, const char* doc) {
    members.method("export_pdf", std::forward<Func>(func), tw::py::arg("destination"),
                   nb::kw_only(), tw::py::arg("paper") = nb::str("a4"),
                   tw::py::arg("landscape") = nb::bool_(false),
                   tw::py::arg("margins_mm") = nb::none(), nb::sig(signature), doc);
}

} // namespace tw::printing
