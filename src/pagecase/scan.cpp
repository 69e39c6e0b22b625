// Quick open: `scan_markdown`, `search_markdown` and `fuzzy_score`.
//
// While the module's `os` (with its walk and scandir), `Path` and
// `is_markdown` are the ones bound at load, the scan walks natively without
// the GIL, and the search scores and ranks the native results, building
// dictionaries only for what it returns. Otherwise os.walk, is_markdown and
// fuzzy_score run through the current objects (scan_steps.cpp).
#include <algorithm>
#include <memory>

#include "common/classes.h"
#include "common/gil.h"
#include "pagecase/core/paths.h"
#include "pagecase/core/scan_core.h"
#include "pagecase/name_constants.h"
#include "pagecase/path_objects.h"
#include "pagecase/result_dicts.h"
#include "pagecase/scan_steps.h"
#include "pagecase/str_lower.h"

namespace tw::pagecase {
namespace {

using tw::py::fs_decode;
using tw::py::steal_checked;

// ------------------------------------------------------------ fuzzy score

std::string_view ascii_view(nb::handle text) {
    return {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text.ptr())),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.ptr()))};
}

nb::object score_object(std::optional<long long> score) {
    if (!score) return nb::none();
    return nb::int_(*score);
}

// A non-empty query, lower-cased once for scoring many candidates. Text
// beyond ASCII is lower-cased with the interpreter's tables, a candidate
// only as far as the greedy pass reads it; where a capital sigma's form
// matters, the interpreter lower-cases the whole text instead.
class Needle {
  public:
    explicit Needle(nb::handle query) {
        PyObject* text = query.ptr();
        if (PyUnicode_IS_ASCII(text)) {
            ascii_ = ascii_view(query);
            tw::ascii::lower_in_place(ascii_);
            points_ = {ascii_.data(), ascii_.size(), 1};
            return;
        }
        lower_ = &interpreter_lower_case();
        if (lower_in_tables(code_points(query))) {
            points_ = {wide_.data(), wide_.size(), 4};
        } else {
            lowered_ = query.attr("lower")();
            points_ = code_points(lowered_);
        }
    }
    Needle(const Needle&) = delete; // points_ refers into this object
    Needle& operator=(const Needle&) = delete;

    // A candidate given as a str.
    std::optional<long long> score(nb::handle candidate) const {
        PyObject* text = candidate.ptr();
        if (PyUnicode_IS_ASCII(text)) return fuzzy_score_ascii(points_, ascii_view(candidate));
        const LowerCase& lower = lower_ ? *lower_ : interpreter_lower_case();
        const LoweringScore scored = fuzzy_score_lowering(points_, code_points(candidate), lower);
        if (!scored.needs_context) return scored.score;
        nb::object haystack = candidate.attr("lower")();
        return fuzzy_score_lowered(points_, code_points(haystack),
                                   static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
    }

    // A candidate given as file-system bytes.
    std::optional<long long> score(std::string_view candidate) const {
        if (tw::ascii::is_ascii(candidate)) return fuzzy_score_ascii(points_, candidate);
        return score(fs_decode(candidate));
    }

    // The score of an ASCII candidate without the interpreter, for a query
    // lower-cased natively: touches no Python object, so it may run without
    // the GIL.
    bool held_natively() const { return !lowered_.is_valid(); }
    std::optional<long long> score_ascii(std::string_view candidate) const {
        return fuzzy_score_ascii(points_, candidate);
    }

  private:
    // The query's forms from the tables; false when it holds the contextual
    // code point.
    bool lower_in_tables(CodePoints query) {
        for (std::size_t k = 0; k < query.length; ++k) {
            const std::uint32_t c = query.at(k);
            if (lower_->is_contextual(c)) return false;
            const LowerForm form = lower_->form(c);
            wide_.insert(wide_.end(), form.points, form.points + form.size);
        }
        return true;
    }

    std::string ascii_;
    std::vector<std::uint32_t> wide_;
    nb::object lowered_;
    const LowerCase* lower_ = nullptr;
    CodePoints points_{};
};

nb::object fuzzy_score(nb::handle query, nb::handle candidate) {
    if (!PyUnicode_CheckExact(query.ptr()) || !PyUnicode_CheckExact(candidate.ptr()))
        return fuzzy_score_by_steps(query, candidate);
    if (PyUnicode_GET_LENGTH(query.ptr()) == 0) return nb::int_(0);
    if (PyUnicode_IS_ASCII(query.ptr())) {
        if (PyUnicode_IS_ASCII(candidate.ptr()))
            return score_object(fuzzy_score_ascii(ascii_view(query), ascii_view(candidate)));
        const LoweringScore scored = fuzzy_score_lowering(ascii_view(query), code_points(candidate),
                                                          interpreter_lower_case());
        if (!scored.needs_context) return score_object(scored.score);
    }
    return score_object(Needle(query).score(candidate));
}

// ------------------------------------------------------------------ scan

// A scan's results: native, or the list the step-by-step scan built.
struct ScanOutcome {
    std::unique_ptr<MarkdownScan> native;
    nb::object list;
};

struct NativeSetup {
    NameRules rules;
    ScanLimits limits;
};

std::optional<NativeSetup> native_setup(const ScanSettings& settings) {
    if (!natively(original::os_walk, original::os_scandir, original::Path, pathlib_as_loaded,
                  original::is_markdown))
        return std::nullopt;
    std::optional<long long> max_files = int_constant(settings.max_files);
    std::optional<long long> max_depth = int_constant(settings.max_depth);
    if (!max_files || !max_depth) return std::nullopt;
    std::optional<NameRules> rules = name_rules(settings.skip_dirs, settings.markdown_suffixes);
    if (!rules) return std::nullopt;
    return NativeSetup{std::move(*rules), {*max_files, *max_depth}};
}

// `root.resolve()`: the bytes of the resolved root, nothing when the root is
// skipped, or the resolved object when it is not a path we can walk natively.
struct ResolvedRoot {
    std::optional<std::string> bytes;
    nb::object other;
};

ResolvedRoot resolve_root(nb::handle root) {
    if (natively(PathArgument{root})) {
        Resolution base;
        if (resolve(*path_bytes(root, Unnamable::raise), base) != 0) return {};
        return {std::move(base.path), nb::object()};
    }
    std::optional<nb::object> base =
        unless_unresolvable([&] { return nb::object(root.attr("resolve")()); });
    if (!base) return {};
    if (natively(PathArgument{*base})) return {path_bytes(*base, Unnamable::raise), nb::object()};
    return {std::nullopt, *base};
}

// Walks the current root without the GIL, taking it back only to test names
// that need the interpreter. True when MAX_SCAN_FILES was reached.
bool walk_root(MarkdownScan& scan, nb::handle markdown_suffixes) {
    for (;;) {
        MarkdownScan::Progress progress =
            tw::py::run_native([&] { return scan.run(); }, tw::py::Gil::release_when_long);
        if (progress == MarkdownScan::Progress::root_done) return false;
        if (progress == MarkdownScan::Progress::limit_reached) return true;
        std::vector<bool> answers;
        for (std::string_view name : scan.undecided())
            answers.push_back(markdown_name_by_steps(name, markdown_suffixes));
        scan.decide(answers);
    }
}

// The dictionaries of the native results at `indices`.
nb::list result_dicts(const MarkdownScan& scan, const std::vector<std::uint32_t>& indices) {
    std::vector<nb::object> roots;
    nb::list results;
    for (std::uint32_t k : indices) {
        std::size_t root = scan.root_index(k);
        while (roots.size() <= root)
            roots.push_back(fs_decode(scan.root(roots.size())));
        results.append(scan_result(fs_decode(scan.path(k)), fs_decode(scan.name(k)),
                                   fs_decode(scan.relative(k)), roots[root]));
    }
    return results;
}

nb::list all_result_dicts(const MarkdownScan& scan) {
    std::vector<std::uint32_t> all(scan.size());
    for (std::uint32_t k = 0; k < all.size(); ++k)
        all[k] = k;
    return result_dicts(scan, all);
}

ScanOutcome scan(nb::handle roots) {
    ScanSettings settings = read_scan_settings();
    nb::object iterator = steal_checked(PyObject_GetIter(roots.ptr()));
    std::optional<NativeSetup> setup = native_setup(settings);
    if (!setup)
        return {nullptr, scan_by_steps(settings, nb::list(), nb::set(), nb::handle(), iterator)};

    auto found = std::make_unique<MarkdownScan>(std::move(setup->rules), setup->limits);
    for (nb::handle root : iterator) {
        ResolvedRoot base = resolve_root(root);
        if (base.other.is_valid()) {
            // Not a path we can read natively: go on through Python objects.
            nb::list results = all_result_dicts(*found);
            nb::set seen;
            for (nb::handle result : results)
                seen.add(result["path"]);
            return {nullptr, scan_by_steps(settings, results, seen, base.other, iterator)};
        }
        if (!base.bytes) continue;
        found->begin_root(std::move(*base.bytes));
        if (walk_root(*found, settings.markdown_suffixes)) break;
    }
    return {std::move(found), nb::object()};
}

nb::object scan_markdown(nb::handle roots) {
    ScanOutcome outcome = scan(roots);
    return outcome.native ? all_result_dicts(*outcome.native) : outcome.list;
}

// ---------------------------------------------------------------- search

struct Ranked {
    long long best;
    std::uint32_t index;
    LoweredKey key;
};

// Stable order by (-best, key): the scan order breaks remaining ties.
bool ranks_before(const Ranked& a, const Ranked& b) {
    if (a.best != b.best) return a.best > b.best;
    if (a.key < b.key) return true;
    if (b.key < a.key) return false;
    return a.index < b.index;
}

nb::object first_ranked(const MarkdownScan& scan, std::vector<Ranked>& ranked, nb::handle limit) {
    std::size_t count = slice_length(limit, ranked.size());
    std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(count),
                      ranked.end(), ranks_before);
    std::vector<std::uint32_t> indices;
    for (std::size_t k = 0; k < count; ++k)
        indices.push_back(ranked[k].index);
    return result_dicts(scan, indices);
}

nb::object rank_by_name(const MarkdownScan& scan, nb::handle limit) {
    std::vector<Ranked> ranked;
    ranked.reserve(scan.size());
    for (std::uint32_t k = 0; k < scan.size(); ++k)
        ranked.push_back({0, k, LoweredKey(scan.name(k))});
    return first_ranked(scan, ranked, limit);
}

// The name and path scores of a scanned file; `known` false until scored.
struct Scores {
    std::optional<long long> name, path;
    bool known = false;
};

// Scores of the files whose name and path are ASCII, for a query lower-cased
// natively: native work, without the GIL for a large scan. The others wait
// for the interpreter (their names are decoded to str).
std::vector<Scores> score_ascii_files(const MarkdownScan& scan, const Needle& needle) {
    std::vector<Scores> scores(scan.size());
    if (!needle.held_natively()) return scores;
    auto score_all = [&] {
        for (std::uint32_t k = 0; k < scan.size(); ++k) {
            if (!tw::ascii::is_ascii(scan.name(k)) || !tw::ascii::is_ascii(scan.relative(k)))
                continue;
            scores[k] = {needle.score_ascii(scan.name(k)), needle.score_ascii(scan.relative(k)),
                         true};
        }
    };
    tw::py::run_native(score_all, tw::py::release_for_entries(scan.size()));
    return scores;
}

nb::object rank_by_score(const MarkdownScan& scan, nb::handle query, nb::handle limit) {
    constexpr long long kMissing = -999, kNameBonus = 12;
    Needle needle(query);
    std::vector<Scores> scores = score_ascii_files(scan, needle);
    std::vector<Ranked> ranked;
    for (std::uint32_t k = 0; k < scan.size(); ++k) {
        if (!scores[k].known)
            scores[k] = {needle.score(scan.name(k)), needle.score(scan.relative(k)), true};
        const auto& [name_score, path_score, known] = scores[k];
        if (!name_score && !path_score) continue;
        long long best =
            std::max(name_score.value_or(kMissing) + kNameBonus, path_score.value_or(kMissing));
        ranked.push_back({best, k, LoweredKey(scan.relative(k))});
    }
    return first_ranked(scan, ranked, limit);
}

nb::object search_markdown(nb::handle roots, nb::handle query, nb::handle limit) {
    if (!natively(original::scan_markdown))
        return rank_by_steps(ns[names::scan_markdown](roots), query, limit);
    ScanOutcome outcome = scan(roots);
    if (!outcome.native) return rank_by_steps(outcome.list, query, limit);
    const MarkdownScan& found = *outcome.native;
    if (!truthy(query)) return rank_by_name(found, limit);
    if (!PyUnicode_CheckExact(query.ptr()) || !natively(original::fuzzy_score))
        return rank_by_steps(all_result_dicts(found), query, limit);
    return rank_by_score(found, query, limit);
}

} // namespace

void bind_scan() {
    tw::py::def(ns, names::scan_markdown, &scan_markdown, tw::py::arg("roots"),
                nb::sig("def scan_markdown(roots: collections.abc.Iterable[pathlib.Path]) -> "
                        "list[dict[str, str]]"),
                "Every Markdown file below the roots as path/name/relative/root dicts; roots and "
                "folders that cannot be read are skipped.\n\n"
                "At most MAX_SCAN_DEPTH folders deep and MAX_SCAN_FILES files; hidden folders and "
                "SKIP_DIRS are left out, and a file reached twice is reported once.");
    tw::py::def(
        ns, names::search_markdown, &search_markdown, tw::py::arg("roots"), tw::py::arg("query"),
        tw::py::arg("limit") = 40,
        nb::sig("def search_markdown(roots: collections.abc.Iterable[pathlib.Path], query: str, "
                "limit: int | None = 40) -> list[dict[str, str]]"),
        "The scanned Markdown files that fit `query`, best first, at most `limit`; "
        "unreadable roots and folders are skipped.\n\n"
        "Each file is scored with fuzzy_score on its name and on its relative path; files "
        "that fit neither are left out. An empty query gives the files ordered by name.");
    tw::py::def(ns, names::fuzzy_score, &fuzzy_score, tw::py::arg("query"),
                tw::py::arg("candidate"),
                nb::sig("def fuzzy_score(query: str, candidate: str) -> int | None"),
                "How well `query` fits `candidate` as a case-insensitive subsequence (higher is "
                "better), or None when it does not fit.\n\n"
                "Arguments without the str operations used raise the error of the missing one.");
}

} // namespace tw::pagecase
