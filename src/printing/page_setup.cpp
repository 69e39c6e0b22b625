// Checking the page-setup options of a PDF export.
#include "printing/page_setup.h"

#include <cmath>
#include <string>

namespace tw::printing {
namespace {

constexpr Py_ssize_t kLongestPaperName = 6; // "letter"

const char* type_name_of(nb::handle obj) {
    return Py_TYPE(obj.ptr())->tp_name;
}

using tw::py::raise_format;

// Only ASCII text can name a paper: no other character lowers to one of the
// letters or digits of the names.
const PaperSize* paper_named(nb::handle paper) {
    if (!PyUnicode_Check(paper.ptr()))
        raise_format(PyExc_TypeError, "paper must be a str, not %s", type_name_of(paper));
    Py_ssize_t length = tw::py::require(PyUnicode_GetLength(paper.ptr()));
    std::string ascii;
    for (Py_ssize_t i = 0; i < length && length <= kLongestPaperName; ++i) {
        Py_UCS4 c = PyUnicode_ReadChar(paper.ptr(), i);
        if (c == static_cast<Py_UCS4>(-1) && PyErr_Occurred()) throw nb::python_error();
        if (c > 0x7f) break;
        ascii.push_back(static_cast<char>(c));
    }
    const PaperSize* found =
        static_cast<Py_ssize_t>(ascii.size()) == length ? find_paper(ascii) : nullptr;
    if (!found)
        raise_format(PyExc_ValueError,
                     "paper must be one of 'a3', 'a4', 'a5', 'letter', 'legal', not %R",
                     paper.ptr());
    return found;
}

// The margin's value without calling any of the number's own methods; an
// int too large for a double counts as infinitely large.
double margin_value(nb::handle margins_mm) {
    if (PyFloat_Check(margins_mm.ptr())) return PyFloat_AS_DOUBLE(margins_mm.ptr());
    int overflow = 0;
    long long whole = PyLong_AsLongLongAndOverflow(margins_mm.ptr(), &overflow);
    if (whole == -1 && PyErr_Occurred()) throw nb::python_error();
    return overflow != 0 ? overflow * HUGE_VAL : static_cast<double>(whole);
}

// Margins are checked against the paper asked for or, without one, against
// A4: GTK's paper, and narrower than the US Letter WebView2 starts from.
double margin_from(nb::handle margins_mm, const PaperSize& paper) {
    bool number = (PyLong_Check(margins_mm.ptr()) && !PyBool_Check(margins_mm.ptr())) ||
                  PyFloat_Check(margins_mm.ptr());
    if (!number)
        raise_format(PyExc_TypeError, "margins_mm must be None or a number, not %s",
                     type_name_of(margins_mm));
    double value = margin_value(margins_mm);
    if (!(value >= 0))
        raise_format(PyExc_ValueError, "margins_mm must be >= 0, not %R", margins_mm.ptr());
    if (!margins_leave_room(paper, value)) {
        std::string paper_name(paper.name);
        raise_format(PyExc_ValueError, "margins_mm=%R leaves no room to print on %s paper",
                     margins_mm.ptr(), paper_name.c_str());
    }
    return value;
}

PageSetup page_setup_from(nb::handle paper, nb::handle landscape, nb::handle margins_mm) {
    PageSetup setup;
    if (!paper.is_none()) setup.paper = paper_named(paper);
    if (!PyBool_Check(landscape.ptr()))
        raise_format(PyExc_TypeError, "landscape must be a bool, not %s", type_name_of(landscape));
    setup.landscape = landscape.is(Py_True);
    if (!margins_mm.is_none())
        setup.margins_mm = margin_from(margins_mm, setup.paper ? *setup.paper : kA4);
    return setup;
}

} // namespace

nb::dict PageSetup::keywords() const {
    nb::dict options;
    if (paper) options["paper"] = nb::str(paper->name.data(), paper->name.size());
    if (landscape) options["landscape"] = true;
    if (margins_mm) options["margins_mm"] = nb::float_(*margins_mm);
    return options;
}

void add_export_pdf(tw::py::Members& members, ExportPdf export_pdf, const char* returns,
                    const char* doc) {
    std::string signature = "def export_pdf(self, destination: pathlib.Path, *, "
                            "paper: str | None = None, landscape: bool = False, "
                            "margins_mm: float | None = None) -> ";
    signature += returns;
    members.method(
        "export_pdf",
        [export_pdf](nb::handle self, nb::handle destination, nb::handle paper,
                     nb::handle landscape, nb::handle margins_mm) {
            return export_pdf(self, destination, page_setup_from(paper, landscape, margins_mm));
        },
        tw::py::arg("destination"), nb::kw_only(), tw::py::arg("paper") = nb::none(),
        tw::py::arg("landscape") = nb::bool_(false), tw::py::arg("margins_mm") = nb::none(),
        nb::sig(signature.c_str()), doc);
}

nb::tuple page_option_names() {
    return nb::make_tuple("paper", "landscape", "margins_mm");
}

} // namespace tw::printing
