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

#include <atomic>
#include <memory>

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

} // namespace tw::pagecase
