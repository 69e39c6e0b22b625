// Paper sizes and units for the page setup of a PDF export. Pure arithmetic,
// shared by the bridge's argument checks and the three platform backends,
// which each hand the size to their engine in its own unit.
#pragma once

#include <string_view>

namespace tw::printing {

struct PaperSize {
    std::string_view name;     // as hosts spell it, in lower case: "a4", "letter"
    std::string_view gtk_name; // GTK's standard paper name: "iso_a4", "na_letter"
    double width_mm;           // portrait: the shorter side
    double height_mm;
};

// The sizes a host may ask for, in the order error messages list them.
inline constexpr PaperSize kPaperSizes[] = {
    {"a3", "iso_a3", 297.0, 420.0},      {"a4", "iso_a4", 210.0, 297.0},
    {"a5", "iso_a5", 148.0, 210.0},      {"letter", "na_letter", 215.9, 279.4},
    {"legal", "na_legal", 215.9, 355.6},
};

inline constexpr const PaperSize& kA4 = kPaperSizes[1];

// The size named `name`, compared without regard to ASCII case; null if none.
const PaperSize* find_paper(std::string_view name);

// Whether margins of `margin_mm` on all four sides leave any of the page to
// print on (false for NaN and infinity as well).
bool margins_leave_room(const PaperSize& paper, double margin_mm);

inline constexpr double kMillimetresPerInch = 25.4;
inline constexpr double kPointsPerInch = 72.0;

inline constexpr double inches_from_mm(double mm) {
    return mm / kMillimetresPerInch;
}

inline constexpr double points_from_mm(double mm) {
    return inches_from_mm(mm) * kPointsPerInch;
}

} // namespace tw::printing
