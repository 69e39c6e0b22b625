// Quick open through the module's current objects; see scan_steps.h.
#include "pagecase/scan_steps.h"

#include <array>

#include "common/classes.h"
#include "pagecase/result_dicts.h"

namespace tw::pagecase {
namespace {

using tw::py::compare;
using tw::py::contains;
using tw::py::steal_checked;

constexpr const char* kSeparators = "/\\_-. ";

// `len(obj)` as an int object, for arithmetic with other Python numbers.
nb::object length_of(nb::handle obj) {
    return nb::int_(tw::py::length_of(obj));
}

bool at_limit(nb::handle results, nb::handle max_files) {
    return compare(length_of(results), max_files, Py_GE);
}

// `a, b, c = step`, with the errors of unpacking.
std::array<nb::object, 3> unpack_three(nb::handle step) {
    std::array<nb::object, 3> items;
    nb::object iterator = steal_checked(PyObject_GetIter(step.ptr()));
    for (std::size_t k = 0; k < 4; ++k) {
        PyObject* item = PyIter_Next(iterator.ptr());
        if (!item) {
            if (PyErr_Occurred()) throw nb::python_error();
            if (k == 3) return items;
            tw::py::raise_format(PyExc_ValueError,
                                 "not enough values to unpack (expected 3, got %zu)", k);
        }
        if (k == 3) {
            Py_DECREF(item);
            tw::py::raise(PyExc_ValueError, "too many values to unpack (expected 3)");
        }
        items[k] = nb::steal(item);
    }
    return items;
}

// One directory of the walk: prune, cut at the depth limit, take the
// Markdown files. True when MAX_SCAN_FILES was reached.
bool take_directory(const ScanSettings& settings, nb::handle step, nb::handle base,
                    nb::handle base_depth, nb::handle root_text, nb::list results, nb::set seen) {
    auto [dirpath, dirnames, filenames] = unpack_three(step);
    if (at_limit(results, settings.max_files)) return true;
    nb::object path_class = ns[names::Path], is_markdown = ns[names::is_markdown];
    nb::object os_path = ns[names::os].attr("path");

    nb::list kept;
    for (nb::handle name : dirnames)
        if (!truthy(name.attr("startswith")(".")) && !contains(settings.skip_dirs, name))
            kept.append(name);
    nb::object everything = steal_checked(PySlice_New(nullptr, nullptr, nullptr));
    if (PyObject_SetItem(dirnames.ptr(), everything.ptr(), kept.ptr()) != 0)
        throw nb::python_error();
    nb::object depth = length_of(path_class(dirpath).attr("parts")) - base_depth;
    if (compare(depth, settings.max_depth, Py_GE)) dirnames.attr("clear")();

    for (nb::handle filename : filenames) {
        if (!truthy(is_markdown(path_class(filename)))) continue;
        nb::object path = os_path.attr("join")(dirpath, filename);
        if (contains(seen, path)) continue;
        tw::py::require(PySet_Add(seen.ptr(), path.ptr()));
        results.append(scan_result(path, filename, os_path.attr("relpath")(path, base), root_text));
        if (at_limit(results, settings.max_files)) return true;
    }
    return false;
}

// The walk below one resolved root; true when MAX_SCAN_FILES was reached.
bool walk_root(const ScanSettings& settings, nb::handle base, nb::list results, nb::set seen) {
    nb::object base_depth = length_of(base.attr("parts"));
    nb::object root_text = tw::py::str_of(base);
    nb::object walk = ns[names::os].attr("walk")(base, nb::arg("followlinks") = false);
    for (nb::handle step : walk)
        if (take_directory(settings, step, base, base_depth, root_text, results, seen)) return true;
    return false;
}

nb::object lowered_item(nb::handle item, const char* key) {
    return item[key].attr("lower")();
}

} // namespace

ScanSettings read_scan_settings() {
    return {ns[names::MAX_SCAN_FILES], ns[names::MAX_SCAN_DEPTH], ns[names::SKIP_DIRS],
            ns[names::MARKDOWN_SUFFIXES]};
}

nb::list scan_by_steps(const ScanSettings& settings, nb::list results, nb::set seen,
                       nb::handle base, nb::handle roots) {
    if (base.is_valid() && walk_root(settings, base, results, seen)) return results;
    for (nb::handle root : roots) {
        std::optional<nb::object> resolved =
            unless_unresolvable([&] { return nb::object(root.attr("resolve")()); });
        if (resolved && walk_root(settings, *resolved, results, seen)) break;
    }
    return results;
}

nb::object rank_by_steps(nb::handle candidates, nb::handle query, nb::handle limit) {
    nb::object up_to_limit = steal_checked(PySlice_New(nullptr, limit.ptr(), nullptr));
    if (!truthy(query)) {
        auto by_name =
            tw::py::function("key", [](nb::handle item) { return lowered_item(item, "name"); });
        nb::object ordered = tw::py::builtin("sorted")(candidates, nb::arg("key") = by_name);
        return ordered[up_to_limit];
    }
    nb::object fuzzy_score = ns[names::fuzzy_score];
    nb::object none_score = nb::int_(-999), name_bonus = nb::int_(12);
    nb::list scored;
    for (nb::handle item : candidates) {
        nb::object name_score = fuzzy_score(query, item["name"]);
        nb::object path_score = fuzzy_score(query, item["relative"]);
        if (name_score.is_none() && path_score.is_none()) continue;
        nb::object name_term = (name_score.is_none() ? none_score : name_score) + name_bonus;
        nb::object path_term = path_score.is_none() ? none_score : path_score;
        nb::object best = compare(path_term, name_term, Py_GT) ? path_term : name_term; // max()
        scored.append(nb::make_tuple(best, item));
    }
    auto by_rank = tw::py::function("key", [](nb::handle pair) {
        nb::object negated = steal_checked(PyNumber_Negative(nb::object(pair[0]).ptr()));
        return nb::make_tuple(negated, lowered_item(pair[1], "relative"));
    });
    scored.attr("sort")(nb::arg("key") = by_rank);
    nb::list ranked;
    for (nb::handle pair : nb::object(nb::handle(scored)[up_to_limit]))
        ranked.append(pair[1]);
    return ranked;
}

nb::object fuzzy_score_by_steps(nb::handle query, nb::handle candidate) {
    if (!truthy(query)) return nb::int_(0);
    nb::object haystack = candidate.attr("lower")();
    nb::object needle = query.attr("lower")();
    nb::object separators = nb::str(kSeparators);
    nb::object zero = nb::int_(0), one = nb::int_(1), missing = nb::int_(-1);
    nb::object score = nb::int_(0), position = nb::int_(0), previous = nb::int_(-2);
    for (nb::handle character : needle) {
        nb::object found = haystack.attr("find")(character, position);
        if (compare(found, missing, Py_EQ)) return nb::none();
        if (compare(found, previous + one, Py_EQ)) score = score + nb::int_(5);
        if (compare(found, zero, Py_EQ) || contains(separators, haystack[found - one]))
            score = score + nb::int_(8);
        previous = found;
        position = found + one;
    }
    return score - length_of(candidate).floor_div(nb::int_(12));
}

} // namespace tw::pagecase
