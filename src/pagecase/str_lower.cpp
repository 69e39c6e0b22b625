// The running interpreter's str.lower() as tables. Its simple mapping
// (Py_UNICODE_TOLOWER) comes from its own Unicode database, which differs
// between releases; str.lower() departs from it in two ways only:
// - U+0130 (capital I with dot above) becomes two code points, i and
//   U+0307, the one full mapping longer than one in every release from
//   3.10 to 3.15 (tests/pagecase/test_fuzzy.py holds each to that);
// - U+03A3 (capital sigma) becomes final sigma, U+03C2, at the end of a
//   word and U+03C3 elsewhere, judged by the neighbours' "cased" and
//   "case-ignorable" properties, which no public function gives: the core
//   asks for the whole candidate's str.lower() where that choice matters.
#include "pagecase/str_lower.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "common/ascii.h"
#include "common/gil.h"

namespace tw::pagecase {
namespace {

std::uint32_t simple_lower(std::uint32_t c) {
    return static_cast<std::uint32_t>(Py_UNICODE_TOLOWER(static_cast<Py_UCS4>(c)));
}

std::unique_ptr<const LowerCase> build() {
    return std::make_unique<const LowerCase>(
        simple_lower, std::vector<LowerCase::Expansion>{{0x130, {{0x69, 0x307}, 2}}},
        LowerCase::Contextual{0x3A3, {0x3C3, 0x3C2}});
}

template <typename Left, typename Right>
bool code_points_less(std::size_t left_length, Left left, std::size_t right_length, Right right) {
    std::size_t common = std::min(left_length, right_length);
    for (std::size_t k = 0; k < common; ++k) {
        std::uint32_t a = left(k), b = right(k);
        if (a != b) return a < b;
    }
    return left_length < right_length;
}

} // namespace

const LowerCase& interpreter_lower_case() {
    // Published once, without a lock a forked child could inherit taken; a
    // thread that lost the race frees its copy.
    static std::atomic<const LowerCase*> tables{nullptr};
    if (const LowerCase* built = tables.load(std::memory_order_acquire)) return *built;
    // Most of a millisecond, and no Python object is touched: without the GIL.
    std::unique_ptr<const LowerCase> mine =
        tw::py::run_native([] { return build(); }, tw::py::Gil::release);
    const LowerCase* expected = nullptr;
    if (!tables.compare_exchange_strong(expected, mine.get(), std::memory_order_acq_rel))
        return *expected;
    return *mine.release();
}

CodePoints code_points(nb::handle text) {
    PyObject* ptr = text.ptr();
#if PY_VERSION_HEX < 0x030C0000
    tw::py::require(PyUnicode_READY(ptr));
#endif
    return {PyUnicode_DATA(ptr), static_cast<std::size_t>(PyUnicode_GET_LENGTH(ptr)),
            static_cast<int>(PyUnicode_KIND(ptr))};
}

LoweredKey::LoweredKey(std::string_view bytes) {
    if (tw::ascii::is_ascii(bytes))
        ascii_ = bytes;
    else
        lowered_ = tw::py::fs_decode(bytes).attr("lower")();
}

bool LoweredKey::operator<(const LoweredKey& other) const {
    auto ascii = [](std::string_view text) {
        return [text](std::size_t k) -> std::uint32_t {
            return tw::ascii::lower(static_cast<unsigned char>(text[k]));
        };
    };
    auto wide = [](CodePoints text) { return [text](std::size_t k) { return text.at(k); }; };
    if (!lowered_.is_valid() && !other.lowered_.is_valid())
        return code_points_less(ascii_.size(), ascii(ascii_), other.ascii_.size(),
                                ascii(other.ascii_));
    if (!lowered_.is_valid()) {
        CodePoints right = code_points(other.lowered_);
        return code_points_less(ascii_.size(), ascii(ascii_), right.length, wide(right));
    }
    CodePoints left = code_points(lowered_);
    if (!other.lowered_.is_valid())
        return code_points_less(left.length, wide(left), other.ascii_.size(), ascii(other.ascii_));
    CodePoints right = code_points(other.lowered_);
    return code_points_less(left.length, wide(left), right.length, wide(right));
}

} // namespace tw::pagecase
