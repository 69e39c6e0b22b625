// Path containment (`contain`) and the Markdown test (`is_markdown`).
#include "common/ascii.h"
#include "common/classes.h"
#include "pagecase/core/paths.h"
#include "pagecase/module_state.h"
#include "pagecase/name_constants.h"
#include "pagecase/path_objects.h"

namespace tw::pagecase {
namespace {

using tw::py::steal_checked;

// `text[start:end].lower()`: ASCII text lowered as it is copied.
nb::object lowered_slice(nb::handle text, Py_ssize_t start, Py_ssize_t end) {
    if (!PyUnicode_IS_ASCII(text.ptr()))
        return steal_checked(PyUnicode_Substring(text.ptr(), start, end)).attr("lower")();
    const Py_UCS1* source = PyUnicode_1BYTE_DATA(text.ptr()) + start;
    nb::object lowered = steal_checked(PyUnicode_New(end - start, 127));
    Py_UCS1* target = PyUnicode_1BYTE_DATA(lowered.ptr());
    for (Py_ssize_t k = 0; k < end - start; ++k)
        target[k] = tw::ascii::lower(source[k]);
    return lowered;
}

// `contain` on file-system bytes: the resolved target, and whether `raw` was
// joined to the root (the answer then takes the root's class).
struct NativeTarget {
    std::string path;
    bool joined;
};

std::optional<NativeTarget> contain_bytes(std::string_view root, std::string_view raw) {
    PurePath candidate = parse_path(raw);
    if (expand_user(candidate) != 0) return std::nullopt;
    bool joined = !candidate.is_absolute();
    if (joined) candidate = join_relative(parse_path(root), candidate);
    Resolution target, root_resolved;
    if (resolve(candidate.str(), target) != 0 || resolve(root, root_resolved) != 0)
        return std::nullopt;
    if (!is_within(target.path, root_resolved.path)) return std::nullopt;
    // Only a real location is an answer: a resolution that gave up at a loop
    // of links may have dropped a `..` lexically and kept a link in the path.
    if (!is_fixed_point(target)) return std::nullopt;
    return NativeTarget{std::move(target.path), joined};
}

// `contain` through the module's current `Path` and the objects' own methods,
// for a host that rebound `Path`, patched pathlib, or passes objects we
// cannot read natively.
nb::object contain_by_steps(nb::handle root, nb::handle raw) {
    // A str no file can have: pathlib's steps would raise, and every route refuses it.
    if (!truthy(raw) || (PyUnicode_CheckExact(raw.ptr()) && !path_bytes(raw, Unnamable::refuse)))
        return nb::none();
    auto resolved = unless_unresolvable([&] {
        nb::object candidate = ns[names::Path](raw).attr("expanduser")();
        if (!truthy(candidate.attr("is_absolute")())) candidate = root / candidate;
        nb::object target = candidate.attr("resolve")();
        return std::make_pair(target, nb::object(root.attr("resolve")()));
    });
    if (!resolved) return nb::none();
    const auto& [target, root_resolved] = *resolved;
    if (!tw::py::compare(target, root_resolved, Py_EQ) &&
        !tw::py::contains(target.attr("parents"), root_resolved))
        return nb::none();
    // Only a real location is an answer: see contain_bytes.
    return resolves_to_itself(target) ? target : nb::none();
}

nb::object contain(nb::handle root, nb::handle raw) {
    if (std::optional<Contained> native = contain_natively(root, raw)) return native->object();
    return contain_by_steps(root, raw);
}

nb::object is_markdown(nb::handle path) {
    if (!natively(PurePathArgument{path})) {
        // `path.suffix.lower() in MARKDOWN_SUFFIXES`, with the AttributeError
        // of an object without `suffix`, and the suffix's own `lower`.
        nb::object suffix = path.attr("suffix").attr("lower")();
        return nb::bool_(tw::py::contains(ns[names::MARKDOWN_SUFFIXES], suffix));
    }
    nb::object text = pathlib_originals.text(path);
    nb::object suffixes = ns[names::MARKDOWN_SUFFIXES];
    Py_ssize_t slash;
    if (PyUnicode_IS_ASCII(text.ptr())) {
        std::string_view ascii(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text.ptr())),
                               static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.ptr())));
        std::size_t name_start = ascii.rfind('/') + 1; // 0 without a slash
        if (const NameRules* rules = frozen_suffix_rules(suffixes)) {
            Verdict verdict = rules->markdown(ascii.substr(name_start));
            if (verdict != Verdict::ask) return nb::bool_(verdict == Verdict::yes);
        }
        slash = static_cast<Py_ssize_t>(name_start) - 1;
    } else {
        slash = PyUnicode_FindChar(text.ptr(), '/', 0, PyUnicode_GET_LENGTH(text.ptr()), -1);
        if (slash == -2) throw nb::python_error();
    }
    return nb::bool_(lowered_suffix_in(text, suffixes, slash + 1));
}

} // namespace

bool lowered_suffix_in(nb::handle text, nb::handle suffixes, Py_ssize_t name_start) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    Py_ssize_t dot = PyUnicode_FindChar(text.ptr(), '.', name_start, length, -1);
    if (dot == -2) throw nb::python_error();
    bool has_suffix = dot > name_start && dot < length - 1;
    nb::object suffix = has_suffix ? lowered_slice(text, dot, length) : nb::str("");
    return tw::py::contains(suffixes, suffix);
}

nb::object Contained::object() const {
    return path ? new_path(cls, *path) : nb::none();
}

std::optional<Contained> contain_natively(nb::handle root, nb::handle raw) {
    if (!natively(original::Path, pathlib_as_loaded, PathArgument{root}, PathText{raw}))
        return std::nullopt;
    Contained refused{std::nullopt, nb::handle()};
    if (!truthy(raw)) return refused;
    std::optional<nb::object> text = unless_unresolvable([&] { return path_argument_text(raw); });
    if (!text) return refused;
    std::optional<std::string> raw_bytes = path_bytes(*text, Unnamable::refuse);
    if (!raw_bytes) return refused;
    std::optional<NativeTarget> target =
        contain_bytes(*path_bytes(root, Unnamable::raise), *raw_bytes);
    if (!target) return refused;
    nb::handle cls = target->joined ? nb::handle(root.type()) : pathlib_originals.posix_path();
    return Contained{std::move(target->path), cls};
}

bool resolves_to_itself(nb::handle path) {
    if (natively(PathArgument{path})) {
        std::string bytes = parse_path(*path_bytes(path, Unnamable::raise)).str();
        Resolution again;
        return resolve(bytes, again) == 0 && again.path == bytes;
    }
    // What a host's own resolve() gave that is no pathlib path is taken as it is.
    if (!PyObject_TypeCheck(path.ptr(),
                            reinterpret_cast<PyTypeObject*>(pathlib_originals.Path.ptr())))
        return true;
    return unless_unresolvable([&] { return tw::py::compare(path.attr("resolve")(), path, Py_EQ); })
        .value_or(false);
}

void bind_paths() {
    tw::py::def(
        ns, names::contain, &contain, tw::py::arg("root"), tw::py::arg("raw"),
        nb::sig("def contain(root: pathlib.Path, raw: str) -> pathlib.Path | None"),
        "The resolved path of `raw` when it is `root` or lies below it, else None.\n\n"
        "`raw` is relative to `root` or absolute, possibly starting with a tilde; symbolic "
        "links are followed on both sides before they are compared. None for an empty `raw`, "
        "a path outside `root`, and one whose resolution raises OSError or RuntimeError (a "
        "loop of links); a `raw` that is neither str nor path raises pathlib's TypeError.");
    tw::py::def(ns, names::is_markdown, &is_markdown, tw::py::arg("path"),
                nb::sig("def is_markdown(path: pathlib.Path) -> bool"),
                "Whether the lower-cased suffix of the path's final component is in "
                "MARKDOWN_SUFFIXES.\n\n"
                "No file-system access; an object without `suffix` raises AttributeError.");
}

} // namespace tw::pagecase
