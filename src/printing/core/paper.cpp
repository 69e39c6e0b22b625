// Paper lookup and the margin check of a PDF export's page setup.
#include "printing/core/paper.h"

#include <algorithm>

namespace tw::printing {
namespace {

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return ascii_lower(x) == ascii_lower(y);
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
