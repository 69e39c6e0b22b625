// Document access: the `Document` record, resolution of documents and their
// images, reading, and the change signature.
#include <string>

#include "common/gil.h"
#include "common/platform/platform.h"
#include "pagecase/core/paths.h"
#include "pagecase/document_file.h"
#include "pagecase/module_state.h"
#include "pagecase/path_objects.h"
#include "pagecase/records.h"

namespace tw::pagecase {
namespace {

using tw::py::steal_checked;

// ---------------------------------------------------------------- the title

// Line boundaries of str.splitlines().
inline bool is_line_break(Py_UCS4 ch) {
    switch (ch) {
    case '\n':
    case '\r':
    case 0x0b:
    case 0x0c:
    case 0x1c:
    case 0x1d:
    case 0x1e:
    case 0x85:
    case 0x2028:
    case 0x2029:
        return true;
    default:
        return false;
    }
}

inline bool is_space(Py_UCS4 ch) {
    return Py_UNICODE_ISSPACE(ch);
}

constexpr int kTitleLines = 40;

// The description of Document.title, which states how far the title is looked
// for; the command line's help reads it.
const char* title_doc() {
    static const std::string doc = "The text of the first \"# \" heading among the first " +
                                   std::to_string(kTitleLines) +
                                   " lines, or the file name when there is none.";
    return doc.c_str();
}

// Finds the first "# " heading among the first kTitleLines lines (as
// splitlines() counts them) and returns its [begin, end) span in code points.
template <typename Char>
std::optional<std::pair<Py_ssize_t, Py_ssize_t>> find_title(const Char* text, Py_ssize_t length) {
    Py_ssize_t start = 0;
    for (int line = 0; line < kTitleLines && start < length; ++line) {
        Py_ssize_t end = start;
        while (end < length && !is_line_break(text[end]))
            ++end;
        Py_ssize_t next = end;
        if (next < length)
            next += (text[next] == '\r' && next + 1 < length && text[next + 1] == '\n') ? 2 : 1;

        Py_ssize_t begin = start, stop = end;
        while (begin < stop && is_space(text[begin]))
            ++begin;
        while (stop > begin && is_space(text[stop - 1]))
            --stop;
        if (stop - begin >= 2 && text[begin] == '#' && text[begin + 1] == ' ') {
            begin += 2;
            while (begin < stop && is_space(text[begin]))
                ++begin;
            return std::make_pair(begin, stop);
        }
        start = next;
    }
    return std::nullopt;
}

std::optional<std::pair<Py_ssize_t, Py_ssize_t>> find_title(nb::handle text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    switch (PyUnicode_KIND(text.ptr())) {
    case PyUnicode_1BYTE_KIND:
        return find_title(PyUnicode_1BYTE_DATA(text.ptr()), length);
    case PyUnicode_2BYTE_KIND:
        return find_title(PyUnicode_2BYTE_DATA(text.ptr()), length);
    default:
        return find_title(PyUnicode_4BYTE_DATA(text.ptr()), length);
    }
}

nb::object document_title(nb::handle self) {
    nb::object text = self.attr("text");
    if (PyUnicode_Check(text.ptr())) {
        if (auto span = find_title(text))
            return steal_checked(PyUnicode_Substring(text.ptr(), span->first, span->second));
    } else {
        // Not a str: splitlines(), strip() and startswith() of its own.
        nb::object lines =
            text.attr("splitlines")()[nb::slice(nb::none(), nb::int_(kTitleLines), nb::none())];
        for (nb::handle line : lines) {
            nb::object stripped = line.attr("strip")();
            if (nb::cast<bool>(stripped.attr("startswith")("# ")))
                return stripped[nb::slice(nb::int_(2), nb::none(), nb::none())].attr("strip")();
        }
    }
    return self.attr("path").attr("name");
}

nb::object document_payload(nb::handle self) {
    nb::object path = self.attr("path");
    nb::dict payload;
    payload["path"] = tw::py::str_of(path);
    payload["name"] = path.attr("name");
    payload["dir"] = tw::py::str_of(path.attr("parent"));
    payload["title"] = self.attr("title");
    payload["text"] = self.attr("text");
    payload["mtime"] = self.attr("mtime");
    payload["size"] = self.attr("size");
    return payload;
}

nb::object make_document_class() {
    using Default = RecordField::Default;
    return make_record(
        "Document", nb::make_tuple(),
        "A Markdown file as read: its path, decoded text, and the st_mtime and st_size of the "
        "stat taken before reading.\n\nFrozen: assigning a field raises "
        "dataclasses.FrozenInstanceError.",
        {{"path", "pathlib.Path", Default::required},
         {"text", "str", Default::required},
         {"mtime", "float", Default::required},
         {"size", "int", Default::required}},
        /*frozen=*/true, [](tw::py::Members& members) {
            members
                .property("title", &document_title, title_doc(), nb::sig("def title(self) -> str"))
                .method("as_payload", &document_payload,
                        nb::sig("def as_payload(self) -> dict[str, typing.Any]"),
                        "A new dict for the page: path, name, dir, title, text, mtime and size.");
        });
}

// ------------------------------------------------------------- resolution

// `path.is_file()` of a path the native steps resolved; any failure means no.
bool is_regular_file(const std::string& path) {
    FileType type;
    return file_status(path, type) == 0 && type == FileType::regular;
}

// `path.is_file()`, with every OSError meaning "no".
bool is_file_by_steps(nb::handle path) {
    return tw::py::unless_raised([&] { return truthy(path.attr("is_file")()); }, PyExc_OSError)
        .value_or(false);
}

bool is_markdown_call(nb::handle path, std::string_view bytes) {
    if (natively(original::is_markdown))
        return lowered_suffix_in(tw::py::fs_decode(final_component(bytes)),
                                 ns[names::MARKDOWN_SUFFIXES]);
    return truthy(ns[names::is_markdown](path));
}

nb::object resolve_document_natively(nb::handle raw) {
    std::optional<nb::object> text = unless_unresolvable([&] { return path_argument_text(raw); });
    std::optional<std::string> bytes = text ? path_bytes(*text, Unnamable::refuse) : std::nullopt;
    if (!bytes) return nb::none();
    PurePath path = parse_path(*bytes);
    if (expand_user(path) != 0) return nb::none();
    Resolution resolved;
    // Only a real location is an answer, as in `contain`: a resolution that
    // gave up at a loop of links may have kept a link in the path.
    if (resolve(path.str(), resolved) != 0 || !is_fixed_point(resolved) ||
        !is_regular_file(resolved.path))
        return nb::none();
    nb::object result = new_path(pathlib_originals.posix_path(), resolved.path);
    return is_markdown_call(result, resolved.path) ? result : nb::none();
}

// `Path(raw).expanduser().resolve()` through the module's current `Path`,
// then the file and suffix tests through the current objects.
nb::object resolve_document_by_steps(nb::handle raw) {
    // A str no file can have: pathlib's steps would raise, and every route refuses it.
    if (PyUnicode_CheckExact(raw.ptr()) && !path_bytes(raw, Unnamable::refuse)) return nb::none();
    std::optional<nb::object> path = unless_unresolvable(
        [&] { return nb::object(ns[names::Path](raw).attr("expanduser")().attr("resolve")()); });
    if (!path || !resolves_to_itself(*path) || !is_file_by_steps(*path) ||
        !truthy(ns[names::is_markdown](*path)))
        return nb::none();
    return *path;
}

nb::object resolve_document(nb::handle raw) {
    if (!truthy(raw)) return nb::none();
    if (natively(original::Path, pathlib_as_loaded, PathText{raw}))
        return resolve_document_natively(raw);
    return resolve_document_by_steps(raw);
}

nb::object resolve_asset(nb::handle document, nb::handle raw) {
    nb::object folder = document.attr("parent");
    std::optional<Contained> native;
    if (natively(original::contain)) native = contain_natively(folder, raw);
    if (native) {
        // The answer is of a native path class: its file test and suffix natively.
        if (!native->path || !is_regular_file(*native->path) ||
            !lowered_suffix_in(tw::py::fs_decode(final_component(*native->path)),
                               ns[names::ASSET_SUFFIXES]))
            return nb::none();
        return native->object();
    }
    nb::object target = ns[names::contain](folder, raw);
    if (target.is_none() || !is_file_by_steps(target)) return nb::none();
    nb::object suffix = target.attr("suffix").attr("lower")();
    return tw::py::contains(ns[names::ASSET_SUFFIXES], suffix) ? target : nb::none();
}

// ----------------------------------------------------------------- reading

nb::object make_document(nb::handle path, nb::handle text, const platform::FileInfo& st) {
    nb::kwargs fields;
    fields["path"] = path;
    fields["text"] = text;
    fields["mtime"] = nb::float_(st.mtime()); // the double os.stat_result.st_mtime holds
    fields["size"] = nb::int_(static_cast<long long>(st.size));
    return ns[names::Document](**fields);
}

// `size > limit`, with the interpreter's comparison.
bool exceeds(nb::handle size, nb::handle limit) {
    return tw::py::compare(size, limit, Py_GT);
}

// stat() of file-system bytes, short enough to keep the GIL; false when it
// fails.
bool stat_path(const std::string& path, platform::FileInfo& st) {
    return tw::py::run_native([&] { return platform::status(path, st) == 0; }, tw::py::Gil::keep);
}

// `read_document` through the object's own stat() and read_bytes().
nb::object read_document_by_steps(nb::handle path, nb::handle limit) {
    nb::object st, raw;
    try {
        st = path.attr("stat")();
        if (exceeds(st.attr("st_size"), limit)) return nb::none();
        raw = path.attr("read_bytes")();
    } catch (nb::python_error& error) {
        if (error.matches(PyExc_OSError)) return nb::none();
        throw;
    }
    nb::kwargs fields;
    fields["path"] = path;
    fields["text"] = decode_read_bytes(raw);
    fields["mtime"] = st.attr("st_mtime");
    fields["size"] = st.attr("st_size");
    return ns[names::Document](**fields);
}

nb::object read_document(nb::handle path) {
    nb::object limit = ns[names::MAX_DOCUMENT_BYTES];
    if (!natively(PathArgument{path})) return read_document_by_steps(path, limit);
    std::string bytes = *path_bytes(path, Unnamable::raise);
    platform::FileInfo st;
    if (!stat_path(bytes, st)) return nb::none();
    if (exceeds(nb::int_(static_cast<long long>(st.size)), limit)) return nb::none();
    std::optional<nb::object> text = read_document_text(bytes, byte_cap(limit));
    if (!text) return nb::none();
    return make_document(path, *text, st);
}

nb::object stat_signature(nb::handle path) {
    if (!natively(PathArgument{path})) {
        std::optional<nb::object> st =
            tw::py::unless_raised([&] { return nb::object(path.attr("stat")()); }, PyExc_OSError);
        if (!st) return nb::none();
        return nb::make_tuple(st->attr("st_mtime"), st->attr("st_size"));
    }
    std::string bytes = *path_bytes(path, Unnamable::raise);
    platform::FileInfo st;
    if (!stat_path(bytes, st)) return nb::none();
    return nb::make_tuple(nb::float_(st.mtime()), nb::int_(static_cast<long long>(st.size)));
}

} // namespace

void bind_documents() {
    ns.set(names::Document, make_document_class());
    tw::py::def(
        ns, names::resolve_document, &resolve_document, tw::py::arg("raw"),
        nb::sig("def resolve_document(raw: str) -> pathlib.Path | None"),
        "The resolved path of the existing Markdown file `raw` names, or None.\n\n"
        "`raw` is absolute, relative to the current folder, or starts with a tilde. None when "
        "it is empty, cannot be resolved (OSError, RuntimeError), is no regular file or has no "
        "Markdown suffix. A `raw` that is neither str nor path raises pathlib's TypeError.");
    tw::py::def(
        ns, names::resolve_asset, &resolve_asset, tw::py::arg("document"), tw::py::arg("raw"),
        nb::sig("def resolve_asset(document: pathlib.Path, raw: str) -> pathlib.Path | None"),
        "The resolved path of the existing image `raw` refers to, inside the document's "
        "folder, or None.\n\n"
        "None for whatever `contain` refuses, for anything but a regular file, and for a "
        "suffix outside ASSET_SUFFIXES.");
    tw::py::def(ns, names::read_document, &read_document, tw::py::arg("path"),
                nb::sig("def read_document(path: pathlib.Path) -> Document | None"),
                "Read a Markdown file into a Document, or None when it cannot be read (OSError) or "
                "exceeds MAX_DOCUMENT_BYTES.\n\n"
                "The bytes are decoded as UTF-8 with invalid sequences replaced and one leading "
                "byte-order mark removed, so content never fails.");
    tw::py::def(ns, names::stat_signature, &stat_signature, tw::py::arg("path"),
                nb::sig("def stat_signature(path: pathlib.Path) -> tuple[float, int] | None"),
                "The (st_mtime, st_size) pair of a file, or None when it cannot be examined "
                "(OSError).\n\n"
                "For an unchanged file it equals the (mtime, size) of the Document read from it.");
}

} // namespace tw::pagecase
