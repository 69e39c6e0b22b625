// The in-app pickers: `browse_directories`, one directory anywhere (home by
// default) with its enterable subdirectories and Markdown documents, and
// `browse_shortcuts`, the starting points offered before one is chosen.
#include <algorithm>
#include <cerrno>

#include "common/classes.h"
#include "pagecase/core/paths.h"
#include "pagecase/folder_read.h"
#include "pagecase/path_objects.h"

namespace tw::pagecase {
namespace {

using tw::py::fs_decode;

// --------------------------------------------------- the directory picker

struct Listing {
    nb::list folders, files;
    long long markdown_count = 0;
};

enum class ReadFailure { none, denied, other };

// The directory to show, natively: `Path(raw).expanduser().resolve()`, or
// `Path.home().resolve()` when no directory is given.
std::optional<Folder> choose_directory_natively(nb::handle raw, bool given) {
    std::string start;
    if (given) {
        std::optional<nb::object> text =
            unless_unresolvable([&] { return path_argument_text(raw); });
        std::optional<std::string> bytes =
            text ? path_bytes(*text, Unnamable::refuse) : std::nullopt;
        if (!bytes) return std::nullopt;
        PurePath path = parse_path(*bytes);
        if (expand_user(path) != 0) return std::nullopt;
        start = path.str();
    } else if (home_directory(start) != 0) {
        return std::nullopt;
    }
    Resolution target;
    if (resolve(start, target) != 0) return std::nullopt;
    return Folder::from_bytes(std::move(target.path), pathlib_originals.posix_path());
}

// The same through the module's current `Path` and the objects' own methods.
std::optional<Folder> choose_directory_by_steps(nb::handle raw, bool given) {
    // A str no file can have: pathlib's steps would raise, and every route refuses it.
    if (given && PyUnicode_CheckExact(raw.ptr()) && !path_bytes(raw, Unnamable::refuse))
        return std::nullopt;
    std::optional<nb::object> target = unless_unresolvable([&] {
        nb::object path_class = ns[names::Path];
        nb::object start = given ? path_class(raw).attr("expanduser")() : path_class.attr("home")();
        return nb::object(start.attr("resolve")());
    });
    if (!target) return std::nullopt;
    return Folder::from_object(*target);
}

// The directory to show, or nothing.
std::optional<Folder> choose_directory(nb::handle raw) {
    bool given = truthy(raw);
    if (natively(original::Path, pathlib_as_loaded, PathText{raw}))
        return choose_directory_natively(raw, given);
    return choose_directory_by_steps(raw, given);
}

ReadFailure failure_of(int error) {
    if (error == 0) return ReadFailure::none;
    return error == EACCES || error == EPERM ? ReadFailure::denied : ReadFailure::other;
}

ReadFailure read_natively(const std::string& directory, const NameRules& rules,
                          nb::handle include_files, Listing& listing) {
    DirectoryEntries entries;
    if (ReadFailure failure = failure_of(read_folder(directory, entries));
        failure != ReadFailure::none)
        return failure;
    std::vector<std::uint32_t> folders, files;
    const auto& all = entries.entries();
    for (std::uint32_t k = 0; k < all.size(); ++k) {
        std::string_view name = entries.name(all[k]);
        if (all[k].type == EntryType::directory) {
            if (!rules.hidden_or_skipped(name)) folders.push_back(k);
        } else if (all[k].type == EntryType::regular && markdown_name(rules, name)) {
            ++listing.markdown_count;
            if (truthy(include_files)) files.push_back(k);
        }
    }
    listing.folders = sorted_entry_dicts(directory, entries, folders);
    listing.files = sorted_entry_dicts(directory, entries, files);
    return ReadFailure::none;
}

ReadFailure read_by_steps(Folder& target, nb::handle include_files, Listing& listing) {
    try {
        for_each_scandir_entry(target.object(), [&](nb::handle entry) {
            skipping_entry_errors([&] {
                if (truthy(entry.attr("is_dir")(nb::arg("follow_symlinks") = false))) {
                    if (truthy(ns[names::_interesting](entry)))
                        listing.folders.append(entry_dict(entry));
                } else if (truthy(entry.attr("is_file")(nb::arg("follow_symlinks") = false)) &&
                           truthy(ns[names::is_markdown](ns[names::Path](entry.attr("name"))))) {
                    ++listing.markdown_count;
                    if (truthy(include_files)) listing.files.append(entry_dict(entry));
                }
            });
        });
    } catch (nb::python_error& error) {
        if (error.matches(PyExc_PermissionError)) return ReadFailure::denied;
        if (error.matches(PyExc_OSError)) return ReadFailure::other;
        throw;
    }
    sort_by_lowered_name(listing.folders);
    sort_by_lowered_name(listing.files);
    return ReadFailure::none;
}

nb::object picker_result(Folder& target, const Listing& listing, bool denied) {
    nb::dict result;
    result["path"] = target.text();
    result["parent"] = target.parent_or_none();
    result["folders"] = listing.folders;
    result["files"] = listing.files;
    result["markdown_count"] = nb::int_(listing.markdown_count);
    result["denied"] = nb::bool_(denied);
    return result;
}

nb::object browse_directories(nb::handle raw, nb::handle include_files) {
    std::optional<Folder> target = choose_directory(raw);
    if (!target || !target->is_dir()) return nb::none();
    std::optional<NameRules> rules;
    if (target->bytes()) rules = native_folder_rules();
    Listing listing;
    ReadFailure failure = rules ? read_natively(*target->bytes(), *rules, include_files, listing)
                                : read_by_steps(*target, include_files, listing);
    if (failure == ReadFailure::other) return nb::none();
    if (failure == ReadFailure::denied) return picker_result(*target, Listing{}, true);
    return picker_result(*target, listing, false);
}

// ------------------------------------------------------------- shortcuts

constexpr const char* kMountDirectories[] = {"/media", "/mnt", "/Volumes"};
constexpr std::size_t kEntriesPerMount = 8;

struct Shortcut {
    nb::object label;
    std::string path;
};

// The first 8 entries of a mount directory in name order that are
// directories; an error ends the work on it, keeping what it added.
void add_volumes(const std::string& mount, std::vector<Shortcut>& candidates) {
    FileType type;
    if (file_status(mount, type) != 0 || type != FileType::directory) return;
    DirectoryEntries entries;
    if (read_folder(mount, entries) != 0) return;
    // Sorted as pathlib orders paths of one folder: by the names' code points.
    std::vector<std::pair<nb::object, std::string_view>> names;
    for (const auto& entry : entries.entries())
        names.emplace_back(fs_decode(entries.name(entry)), entries.name(entry));
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) {
        return tw::py::compare(a.first, b.first, Py_LT);
    });
    names.resize(std::min(names.size(), kEntriesPerMount));
    for (const auto& [label, name] : names) {
        std::string path = mount;
        append_name(path, name);
        if (file_status(path, type) != 0) return;
        if (type == FileType::directory) candidates.push_back({label, std::move(path)});
    }
}

nb::object browse_shortcuts_natively() {
    std::string home;
    if (home_directory(home) != 0)
        tw::py::raise(PyExc_RuntimeError, "Could not determine home directory.");
    auto below_home = [&home](std::string_view name) {
        std::string path = home;
        append_name(path, name);
        return path;
    };
    std::vector<Shortcut> candidates{{nb::str("Home"), home},
                                     {nb::str("Documents"), below_home("Documents")},
                                     {nb::str("Desktop"), below_home("Desktop")}};
    for (const char* mount : kMountDirectories)
        add_volumes(mount, candidates);
    candidates.push_back({nb::str("Filesystem"), "/"});

    std::vector<std::string> reported;
    nb::list shortcuts;
    for (const Shortcut& candidate : candidates) {
        Resolution resolved;
        if (resolve(candidate.path, resolved) != 0) continue;
        if (std::find(reported.begin(), reported.end(), resolved.path) != reported.end()) continue;
        if (!file_test(resolved.path, FileType::directory)) continue;
        reported.push_back(resolved.path);
        nb::dict shortcut;
        shortcut["label"] = candidate.label;
        shortcut["path"] = fs_decode(resolved.path);
        shortcuts.append(shortcut);
    }
    return shortcuts;
}

// The shortcuts through the module's current `Path` and its paths' methods.
nb::object browse_shortcuts_by_steps() {
    nb::object path_class = ns[names::Path];
    nb::list candidates;
    candidates.append(nb::make_tuple("Home", path_class.attr("home")()));
    candidates.append(
        nb::make_tuple("Documents", path_class.attr("home")() / nb::str("Documents")));
    candidates.append(nb::make_tuple("Desktop", path_class.attr("home")() / nb::str("Desktop")));
    for (const char* mount : kMountDirectories) {
        try {
            nb::object base = path_class(mount);
            if (!truthy(base.attr("is_dir")())) continue;
            nb::object listed = tw::py::builtin("sorted")(base.attr("iterdir")());
            nb::object first =
                listed[nb::slice(nb::none(), nb::int_(kEntriesPerMount), nb::none())];
            for (nb::handle child : first)
                if (truthy(child.attr("is_dir")()))
                    candidates.append(nb::make_tuple(child.attr("name"), child));
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_OSError)) throw;
        }
    }
    candidates.append(nb::make_tuple("Filesystem", path_class("/")));

    nb::set reported;
    nb::list shortcuts;
    for (nb::handle candidate : candidates) {
        std::optional<nb::object> resolved =
            unless_unresolvable([&] { return nb::object(candidate[1].attr("resolve")()); });
        if (!resolved) continue;
        nb::object key = tw::py::str_of(*resolved);
        if (reported.contains(key) || !truthy(resolved->attr("is_dir")())) continue;
        reported.add(key);
        nb::dict shortcut;
        shortcut["label"] = candidate[0];
        shortcut["path"] = key;
        shortcuts.append(shortcut);
    }
    return shortcuts;
}

nb::object browse_shortcuts() {
    if (natively(original::Path, pathlib_as_loaded)) return browse_shortcuts_natively();
    return browse_shortcuts_by_steps();
}

} // namespace

void bind_picker() {
    tw::py::def(
        ns, names::browse_directories, &browse_directories, tw::py::arg("raw") = "",
        tw::py::arg("include_files") = false,
        nb::sig("def browse_directories(raw: str = '', include_files: bool = False) -> dict[str, "
                "typing.Any] | None"),
        "One directory for the pickers: its enterable subdirectories and Markdown documents; "
        "\"denied\" when it may not be read, None when there is no such directory.\n\n"
        "`raw` is absolute, relative or starts with a tilde; empty means the home directory. "
        "The documents are listed only when `include_files` is true, counted always.");
    tw::py::def(ns, names::browse_shortcuts, &browse_shortcuts,
                nb::sig("def browse_shortcuts() -> list[dict[str, str]]"),
                "Starting points for the pickers as label/path dicts: home, Documents, Desktop, "
                "mounted volumes and the file-system root; missing ones are left out.\n\n"
                "Raises the error of Path.home() when no home directory can be determined.");
}

} // namespace tw::pagecase
