// Path containment (`contain`) and the Markdown test (`is_markdown`).
#include <sys/stat.h>

#include "common/ascii.h"
#include "common/classes.h"
#include "pagecase/core/paths.h"
#include "pagecase/module_state.h"

namespace tw::pagecase {
namespace {

using tw::py::steal_checked;

nb::object lower_ascii_or_python(nb::handle text) {
    if (!PyUnicode_IS_ASCII(text.ptr())) return text.attr("lower")();
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    const Py_UCS1* source = PyUnicode_1BYTE_DATA(text.ptr());
    nb::object lowered = steal_checked(PyUnicode_New(length, 127));
    Py_UCS1* target = PyUnicode_1BYTE_DATA(lowered.ptr());
    for (Py_ssize_t k = 0; k < length; ++k)
        target[k] = tw::ascii::lower(source[k]);
    return lowered;
}

std::optional<ContainedPath> contain_native(std::string_view root, std::string_view raw) {
    PurePath candidate = parse_path(raw);
    if (expand_user(candidate) != PathError::none) return std::nullopt;
    bool relative = !candidate.is_absolute();
    if (relative) candidate = join_relative(parse_path(root), candidate);
    Resolution target = resolve(candidate.str());
    if (target.error != PathError::none) return std::nullopt;
    Resolution root_resolved = resolve(root);
    if (root_resolved.error != PathError::none) return std::nullopt;
    if (!is_within(target.path, root_resolved.path)) return std::nullopt;
    // Only a real location is an answer: a resolution that gave up at a loop
    // of links may have dropped a `..` lexically and kept a link in the path.
    if (!target.complete) {
        Resolution again = resolve(target.path);
        if (again.error != PathError::none || again.path != target.path) return std::nullopt;
    }
    return ContainedPath{std::move(target.path), relative};
}

// The documented steps through the current module objects, for a host that
// rebound `Path` or passes objects we cannot take natively.
nb::object contain_through_python(nb::handle root, nb::handle raw) {
    auto resolved = unless_unresolvable([&] {
        nb::object candidate = ns[names::Path](raw).attr("expanduser")();
        if (!truthy(candidate.attr("is_absolute")()))
            candidate = steal_checked(PyNumber_TrueDivide(root.ptr(), candidate.ptr()));
        nb::object target = candidate.attr("resolve")();
        return std::make_pair(target, nb::object(root.attr("resolve")()));
    });
    if (!resolved) return nb::none();
    const auto& [target, root_resolved] = *resolved;
    if (!target.equal(root_resolved) && !tw::py::contains(target.attr("parents"), root_resolved))
        return nb::none();
    // Only a real location is an answer: see contain_native.
    std::optional<bool> settled =
        unless_unresolvable([&] { return target.attr("resolve")().equal(target); });
    return settled.value_or(false) ? target : nb::none();
}

nb::object contain(nb::handle root, nb::handle raw) {
    if (!truthy(raw)) return nb::none();
    std::optional<nb::object> text = path_text(raw);
    if (!text) return contain_through_python(root, raw);
    std::optional<std::string> raw_bytes = outside_path_bytes(*text);
    if (!raw_bytes) return nb::none();
    if (!ns.unchanged(names::Path) || !is_path_object(root))
        return contain_through_python(root, raw);

    std::optional<ContainedPath> target = contain_native(path_bytes(root), *raw_bytes);
    if (!target) return nb::none();
    nb::handle cls = target->relative ? nb::handle(root.type()) : pathlib_classes.PosixPath;
    return new_path(cls, target->path);
}

nb::object is_markdown(nb::handle path) {
    nb::object name;
    if (PyObject_IsInstance(path.ptr(), pathlib_classes.PurePath.ptr()) == 1) {
        nb::object text = steal_checked(PyOS_FSPath(path.ptr()));
        Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
        Py_ssize_t slash = PyUnicode_FindChar(text.ptr(), '/', 0, length, -1);
        if (slash == -2) throw nb::python_error();
        name = steal_checked(PyUnicode_Substring(text.ptr(), slash + 1, length));
    } else {
        // Anything but a path object: the documented attribute access, with
        // its AttributeError when there is no `suffix`.
        nb::object suffix = path.attr("suffix").attr("lower")();
        return nb::bool_(tw::py::contains(ns[names::MARKDOWN_SUFFIXES], suffix));
    }
    return nb::bool_(lowered_suffix_in(name, ns[names::MARKDOWN_SUFFIXES]));
}

} // namespace

bool lowered_suffix_in(nb::handle name, nb::handle suffixes) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(name.ptr());
    Py_ssize_t dot = PyUnicode_FindChar(name.ptr(), '.', 0, length, -1);
    if (dot == -2) throw nb::python_error();
    bool has_suffix = dot > 0 && dot < length - 1;
    nb::object suffix =
        has_suffix ? steal_checked(PyUnicode_Substring(name.ptr(), dot, length)) : nb::str("");
    return tw::py::contains(suffixes, lower_ascii_or_python(suffix));
}

std::optional<ContainedPath> contain_bytes(std::string_view root, std::string_view raw) {
    return contain_native(root, raw);
}

void bind_paths(nb::module_& m) {
    m.def("contain", &contain, tw::py::arg("root"), tw::py::arg("raw"),
          nb::sig("def contain(root: pathlib.Path, raw: str) -> pathlib.Path | None"),
          "The resolved path of `raw` when it lies inside `root` (or is `root`), "
          "else None.");
    m.def("is_markdown", &is_markdown, tw::py::arg("path"),
          nb::sig("def is_markdown(path: pathlib.Path) -> bool"),
          "Whether the lower-cased suffix of the final component is a Markdown suffix.");
}

} // namespace tw::pagecase
