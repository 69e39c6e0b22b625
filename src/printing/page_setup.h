// The page setup of a PDF export (paper, orientation, margins): the keyword
// arguments of every `export_pdf` in the module, the bridge's and each
// platform backend's, checked once into one value that the bridge passes on
// and each backend applies. An option left at its default keeps what the
// backend does by itself, so a new option is added here and in the backends
// that honour it.
#pragma once

#include <optional>

#include "printing/core/paper.h"
#include "printing/module_state.h"

namespace tw::printing {

struct PageSetup {
    const PaperSize* paper = nullptr; // null: the backend's own paper
    bool landscape = false;           // false: the backend's own orientation
    std::optional<double> margins_mm; // none: the engine's own margins

    // Whether every option is at its default.
    bool at_defaults() const { return !paper && !landscape && !margins_mm; }

    // The options that differ from the defaults, in parameter order, as
    // keyword arguments for a backend's export_pdf: empty at the defaults.
    nb::dict keywords() const;
};

// Attaches `export_pdf(self, destination, *, paper=None, landscape=False,
// margins_mm=None) -> <returns>` to a class. It checks the options in
// parameter order (TypeError for a wrong type, ValueError for an unknown
// paper or margins that are negative or leave no room on the page) before
// it calls `export_pdf` with them.
void add_export_pdf(tw::py::Members& members, ExportPdf export_pdf, const char* returns,
                    const char* doc);

// The class attribute `page_options` of the platform backends: the options
// their export_pdf takes.
nb::tuple page_option_names();

} // namespace tw::printing
