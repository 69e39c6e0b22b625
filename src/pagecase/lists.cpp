// The persisted lists: `PathList` and its subclasses `Favorites` and
// `Workspaces`, and `RecentFiles`. Each is a mutable dataclass whose methods
// are the C++ functions below; every change is written to the list's file at
// once (list_file.h).
//
// Methods call one another through the instance (`self.save()`,
// `self.contains(...)`), so a host subclass that overrides one is honoured.
#include "pagecase/core/paths.h"
#include "pagecase/list_file.h"
#include "pagecase/module_state.h"
#include "pagecase/path_objects.h"
#include "pagecase/records.h"

namespace tw::pagecase {
namespace {

using tw::py::compare;
using tw::py::steal_checked;
using tw::py::str_of;

// ---------------------------------------------------------------- entries

// `[entry for entry in entries if entry.get("path") != key]`
nb::list without_path(nb::handle entries, nb::handle key) {
    nb::list kept;
    for (nb::handle entry : entries)
        if (compare(entry_path(entry), key, Py_NE)) kept.append(entry);
    return kept;
}

// `{"path": key, "name": name, stamp: time.time()}`
nb::dict new_entry(nb::handle key, nb::handle name, const char* stamp) {
    nb::dict entry;
    entry["path"] = key;
    entry["name"] = name;
    entry[stamp] = ns[names::time].attr("time")();
    return entry;
}

// `state_dir() / filename`
nb::object list_file_path(nb::handle filename) {
    return ns[names::state_dir]() / filename;
}

// ---------------------------------------------------------------- pruning

// `Path(raw).is_file()` / `is_dir()` of CPython 3.10 on every release (the
// release rule, common/originals.h): "not there" errors and names no file can
// have answer false; other stat errors raise.
bool has_kind(nb::handle raw, FileType kind) {
    std::optional<std::string> bytes = path_bytes(path_argument_text(raw), Unnamable::refuse);
    if (!bytes) return false;
    return file_test(parse_path(*bytes).str(), kind);
}

// Keeps the entries whose "path" passes `keep`; when that drops any, they
// replace `entries` and the list is saved. Returns `self.entries`.
template <typename Keep> nb::object prune_entries(nb::handle self, Keep keep) {
    nb::object entries = self.attr("entries");
    nb::list alive;
    for (nb::handle entry : entries) {
        nb::object path = entry["path"];
        if (keep(path)) alive.append(entry);
    }
    if (nb::len(alive) != nb::len(entries)) {
        self.attr("entries") = alive;
        self.attr("save")();
    }
    return self.attr("entries");
}

// ---------------------------------------------------------------- PathList

nb::object path_list_load(nb::handle cls, nb::handle filename, nb::handle limit) {
    nb::object target = list_file_path(filename);
    nb::list entries = load_entries(target);
    return cls(nb::arg("path") = target, nb::arg("entries") = entries, nb::arg("limit") = limit);
}

nb::object contains(nb::handle self, nb::handle target) {
    nb::object key = str_of(target);
    for (nb::handle entry : self.attr("entries"))
        if (compare(entry_path(entry), key, Py_EQ)) return nb::bool_(true);
    return nb::bool_(false);
}

void remove(nb::handle self, nb::handle target) {
    nb::object key = str_of(target);
    nb::object entries = self.attr("entries");
    size_t before = nb::len(entries);
    nb::list kept = without_path(entries, key);
    self.attr("entries") = kept;
    if (nb::len(kept) != before) self.attr("save")();
}

// The file test natively, while `check` is pathlib's own Path.is_file or
// Path.is_dir as loaded.
std::optional<FileType> native_check(nb::handle check) {
    if (natively(original::Path, pathlib_as_loaded, PathlibMethod{check, "is_file"}))
        return FileType::regular;
    if (natively(original::Path, pathlib_as_loaded, PathlibMethod{check, "is_dir"}))
        return FileType::directory;
    return std::nullopt;
}

nb::object prune(nb::handle self, nb::handle check) {
    std::optional<FileType> native = native_check(check);
    return prune_entries(self, [&](nb::handle path) {
        if (native && natively(PathText{path})) return has_kind(path, *native);
        return truthy(check(ns[names::Path](path)));
    });
}

void save(nb::handle self) {
    save_entries(self);
}

// ---------------------------------------------------------------- RecentFiles

nb::object recent_load(nb::handle cls) {
    nb::object target = list_file_path(nb::str("recent.json"));
    nb::list entries = load_entries(target);
    return cls(nb::arg("path") = target, nb::arg("entries") = entries);
}

void recent_add(nb::handle self, nb::handle document) {
    nb::object key = str_of(document);
    nb::list entries = without_path(self.attr("entries"), key);
    self.attr("entries") = entries;
    nb::dict entry = new_entry(key, document.attr("name"), "opened_at");
    tw::py::require(PyList_Insert(entries.ptr(), 0, entry.ptr()));
    // `del entries[_RECENT_LIMIT:]`, with whatever the module holds now.
    nb::object tail = steal_checked(PySlice_New(ns[names::_RECENT_LIMIT].ptr(), nullptr, nullptr));
    tw::py::require(PyObject_DelItem(entries.ptr(), tail.ptr()));
    self.attr("save")();
}

nb::object recent_prune(nb::handle self) {
    bool native = natively(original::Path, pathlib_as_loaded);
    return prune_entries(self, [&](nb::handle path) {
        if (native && natively(PathText{path})) return has_kind(path, FileType::regular);
        return truthy(ns[names::Path](path).attr("is_file")());
    });
}

// ---------------------------------------------------------------- Favorites

nb::object favorites_load(nb::handle cls) {
    return cls.attr("_load")("favorites.json", nb::arg("limit") = nb::none());
}

nb::object toggle(nb::handle self, nb::handle document) {
    if (truthy(self.attr("contains")(document))) {
        self.attr("remove")(document);
        return nb::bool_(false);
    }
    nb::object key = str_of(document);
    self.attr("entries").attr("append")(new_entry(key, document.attr("name"), "added_at"));
    self.attr("save")();
    return nb::bool_(true);
}

// ---------------------------------------------------------------- Workspaces

nb::object workspaces_load(nb::handle cls) {
    return cls.attr("_load")("workspaces.json", nb::arg("limit") = nb::none());
}

void workspaces_add(nb::handle self, nb::handle folder) {
    if (truthy(self.attr("contains")(folder))) return;
    nb::object key = str_of(folder);
    nb::object name = folder.attr("name");
    if (!truthy(name)) name = str_of(folder); // a file-system root is named by its whole path
    self.attr("entries").attr("append")(new_entry(key, name, "added_at"));
    self.attr("save")();
}

nb::object roots(nb::handle self) {
    self.attr("prune")(nb::arg("check") = ns[names::Path].attr("is_dir"));
    nb::list result;
    for (nb::handle entry : self.attr("entries"))
        result.append(ns[names::Path](entry["path"]));
    return result;
}

// `contain(root, raw) is not None`
bool root_accepts(nb::handle root, nb::handle raw) {
    if (natively(original::contain))
        if (std::optional<Contained> native = contain_natively(root, raw))
            return native->path.has_value();
    return !ns[names::contain](root, raw).is_none();
}

nb::object owning_root(nb::handle self, nb::handle target) {
    nb::object registered = self.attr("roots")();
    for (nb::handle root : registered)
        if (root_accepts(root, str_of(target))) return nb::borrow(root);
    return nb::none();
}

// ---------------------------------------------------------------- classes

using Default = RecordField::Default;

constexpr const char* kEntries = "list[dict[str, Any]]"; // typing.Any, as the stubs import it

// The functions PathList's subclasses inherit.
void attach_path_list_members(tw::py::Members& members) {
    members
        .class_method(
            "_load", &path_list_load, nb::arg("cls"), tw::py::arg("filename"), tw::py::arg("limit"),
            nb::sig("def _load(cls, filename: str, limit: int | None) -> PathList"),
            "A new instance holding the entries of `filename` in the state directory; an empty "
            "list when the file is missing or damaged.\n\n"
            "Raises the error of state_dir() when the state directory cannot be created.")
        .method("contains", &contains, tw::py::arg("target"),
                nb::sig("def contains(self, target: pathlib.Path) -> bool"),
                "Whether an entry's \"path\" is the text of `target` (str(target)).")
        .method("remove", &remove, tw::py::arg("target"),
                nb::sig("def remove(self, target: pathlib.Path) -> None"),
                "Drop the entries for `target`, saving when any was dropped; a failed write is "
                "not reported.")
        .method("prune", &prune, tw::py::arg("check") = pathlib_originals.method("is_file"),
                nb::sig("def prune(self, check: typing.Callable[[pathlib.Path], object] = "
                        "pathlib.Path.is_file) -> list[dict[str, typing.Any]]"),
                "Drop the entries whose path fails `check`, saving when any was dropped; returns "
                "`entries` itself.\n\n"
                "What `check` raises propagates with the list and its file unchanged; an entry "
                "without \"path\" raises KeyError.")
        .method("save", &save, nb::sig("def save(self) -> None"),
                "Write the entries to the list's file, replacing it whole; a failed write "
                "(OSError) is not reported.\n\n"
                "An entry JSON cannot render raises json's TypeError before the file is touched.");
}

nb::object make_path_list() {
    return make_record(
        "PathList", nb::make_tuple(),
        "A list of path entries kept as a JSON file in the state directory; each change is "
        "saved at once.",
        {{"path", "pathlib.Path", Default::required},
         {"entries", kEntries, Default::new_list},
         {"limit", "int | None", Default::none}},
        /*frozen=*/false, &attach_path_list_members);
}

nb::object make_recent_files() {
    return make_record(
        "RecentFiles", nb::make_tuple(),
        "The most recently opened documents, newest first, kept as recent.json.",
        {{"path", "pathlib.Path", Default::required}, {"entries", kEntries, Default::new_list}},
        /*frozen=*/false, [](tw::py::Members& members) {
            members
                .class_method("load", &recent_load, nb::sig("def load(cls) -> RecentFiles"),
                              "The recent list from recent.json in the state directory; empty "
                              "when the file is missing or damaged.\n\n"
                              "Raises the error of state_dir() when the state directory cannot "
                              "be created.")
                .method("add", &recent_add, tw::py::arg("document"),
                        nb::sig("def add(self, document: pathlib.Path) -> None"),
                        "Put `document` first, keeping at most _RECENT_LIMIT entries, and save; "
                        "a failed write is not reported.\n\n"
                        "A `document` without `name` (a str) raises AttributeError and saves "
                        "nothing.")
                .method("prune", &recent_prune,
                        nb::sig("def prune(self) -> list[dict[str, typing.Any]]"),
                        "Drop the entries that are no longer files, saving when any was dropped; "
                        "returns `entries` itself.\n\n"
                        "An entry without \"path\" raises KeyError, one whose \"path\" is no "
                        "text TypeError, with the list and its file unchanged.")
                .method("save", &save, nb::sig("def save(self) -> None"),
                        "Write the entries to recent.json, replacing it whole; a failed write "
                        "(OSError) is not reported.");
        });
}

nb::object make_favorites(nb::handle path_list) {
    return make_record(
        "Favorites", nb::make_tuple(path_list),
        "The documents the user pinned, in the order they were added, kept as favorites.json.", {},
        /*frozen=*/false, [](tw::py::Members& members) {
            members
                .class_method("load", &favorites_load, nb::sig("def load(cls) -> Favorites"),
                              "The favourites from favorites.json in the state directory; empty "
                              "when the file is missing or damaged.\n\n"
                              "Raises the error of state_dir() when the state directory cannot "
                              "be created.")
                .method("toggle", &toggle, tw::py::arg("document"),
                        nb::sig("def toggle(self, document: pathlib.Path) -> bool"),
                        "Add `document` when it is not listed, else remove it, and save; returns "
                        "whether it is a favourite now.\n\n"
                        "A failed write is not reported. Adding a `document` without `name` (a "
                        "str) raises AttributeError and saves nothing.");
        });
}

nb::object make_workspaces(nb::handle path_list) {
    return make_record(
        "Workspaces", nb::make_tuple(path_list),
        "The folders registered as browsing roots, kept as workspaces.json.", {},
        /*frozen=*/false, [](tw::py::Members& members) {
            members
                .class_method("load", &workspaces_load, nb::sig("def load(cls) -> Workspaces"),
                              "The registered folders from workspaces.json in the state "
                              "directory; empty when the file is missing or damaged.\n\n"
                              "Raises the error of state_dir() when the state directory cannot "
                              "be created.")
                .method("add", &workspaces_add, tw::py::arg("folder"),
                        nb::sig("def add(self, folder: pathlib.Path) -> None"),
                        "Register `folder` unless it is listed, and save; a failed write is not "
                        "reported.\n\n"
                        "A `folder` without `name` (a str) raises AttributeError and saves "
                        "nothing.")
                .method("roots", &roots, nb::sig("def roots(self) -> list[pathlib.Path]"),
                        "The registered folders that exist as directories, in registration "
                        "order; the others are pruned from the list and its file.")
                .method("owning_root", &owning_root, tw::py::arg("target"),
                        nb::sig("def owning_root(self, target: pathlib.Path) -> pathlib.Path | "
                                "None"),
                        "The first registered root that contains `target`, or None when none "
                        "does (outside, missing, unreadable or looping).");
        });
}

} // namespace

void bind_lists() {
    nb::object path_list = make_path_list();
    ns.set(names::PathList, path_list);
    ns.set(names::RecentFiles, make_recent_files());
    ns.set(names::Favorites, make_favorites(path_list));
    ns.set(names::Workspaces, make_workspaces(path_list));
}

} // namespace tw::pagecase
