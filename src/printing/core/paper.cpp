// Paper lookup and the margin check of a PDF export's page setup.
#include "printing/core/paper.h"

#include <algorithm>

#include "common/ascii.h"

namespace tw::printing {
namespace {

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return tw::ascii::lower(x) == tw::ascii::lower(y);
           });
}

} // namespace

const PaperSize* find_paper(std::string_view name) {
    for (const PaperSize& paper : kPaperSizes)
        if (equal_ignoring_ascii_case(paper.name, name)) return &paper;
    return nullptr;
}

bool margins_leave_room(const PaperSize& paper, double margin_mm) {
    double shorter_side = std::min(paper.width_mm, paper.height_mm);
    return margin_mm >= 0 && 2 * margin_mm < shorter_side; // false for NaN
}

} // namespace tw::printing
