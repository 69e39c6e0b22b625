// The tree browser's folder listing: `_interesting`, the name filter shared
// with the directory picker, and `list_folder`, one level of a folder
// confined to a root.
#include <cerrno>

#include "common/classes.h"
#include "common/gil.h"
#include "pagecase/core/paths.h"
#include "pagecase/folder_read.h"
#include "pagecase/path_objects.h"

namespace tw::pagecase {
namespace {

using Lists = std::pair<nb::list, nb::list>; // folders, files

// `not entry.name.startswith(".") and entry.name not in SKIP_DIRS`, reading
// `entry.name` for each test as that expression does.
nb::object interesting(nb::handle entry) {
    nb::object name = entry.attr("name");
    bool hidden = PyUnicode_CheckExact(name.ptr()) ? PyUnicode_GET_LENGTH(name.ptr()) > 0 &&
                                                         PyUnicode_READ_CHAR(name.ptr(), 0) == '.'
                                                   : truthy(name.attr("startswith")("."));
    if (hidden) return nb::bool_(false);
    return nb::bool_(!tw::py::contains(ns[names::SKIP_DIRS], entry.attr("name")));
}

// The folder to list: `contain(root, subpath)`, or the resolved root for an
// empty subpath; nothing when containment refuses it.
std::optional<Folder> choose_target(nb::handle root, nb::handle subpath) {
    if (!truthy(subpath)) {
        if (natively(PathArgument{root})) {
            Resolution resolved;
            const int error = resolve(*path_bytes(root, Unnamable::raise), resolved);
            if (error == 0) return Folder::from_bytes(std::move(resolved.path), root.type());
            if (error == ELOOP) {
                // CPython 3.10's pathlib reports a loop this way; 3.13 and later
                // do not check (the release rule, common/originals.h).
                tw::py::raise_format(PyExc_RuntimeError, "Symlink loop from %R",
                                     tw::py::fs_decode(resolved.path).ptr());
            }
        }
        return Folder::from_object(root.attr("resolve")()); // raises what pathlib raises
    }
    std::optional<Contained> native;
    if (natively(original::contain)) native = contain_natively(root, subpath);
    if (native) {
        if (!native->path) return std::nullopt;
        return Folder::from_bytes(std::move(*native->path), native->cls);
    }
    nb::object target = ns[names::contain](root, subpath);
    if (target.is_none()) return std::nullopt;
    return Folder::from_object(target);
}

std::optional<Lists> read_natively(const std::string& folder, const NameRules& rules) {
    DirectoryEntries entries;
    if (read_folder(folder, entries) != 0) return std::nullopt;
    std::vector<std::uint32_t> folders, files;
    const auto& all = entries.entries();
    for (std::uint32_t k = 0; k < all.size(); ++k) {
        if (k % tw::py::kSignalBatch == tw::py::kSignalBatch - 1) tw::py::run_signal_handlers();
        std::string_view name = entries.name(all[k]);
        if (rules.hidden_or_skipped(name)) continue;
        if (all[k].type == EntryType::directory)
            folders.push_back(k);
        else if (all[k].type == EntryType::regular && markdown_name(rules, name))
            files.push_back(k);
    }
    return Lists{sorted_entry_dicts(folder, entries, folders),
                 sorted_entry_dicts(folder, entries, files)};
}

std::optional<Lists> read_by_steps(Folder& target) {
    nb::list folders, files;
    try {
        for_each_scandir_entry(target.object(), [&](nb::handle entry) {
            if (!truthy(ns[names::_interesting](entry))) return;
            skipping_entry_errors([&] {
                if (truthy(entry.attr("is_dir")(nb::arg("follow_symlinks") = false)))
                    folders.append(entry_dict(entry));
                else if (truthy(entry.attr("is_file")(nb::arg("follow_symlinks") = false)) &&
                         truthy(ns[names::is_markdown](ns[names::Path](entry.attr("name")))))
                    files.append(entry_dict(entry));
            });
        });
    } catch (nb::python_error& error) {
        if (error.matches(PyExc_OSError)) return std::nullopt; // no partial listing
        throw;
    }
    sort_by_lowered_name(folders);
    sort_by_lowered_name(files);
    return Lists{folders, files};
}

nb::object list_folder(nb::handle root, nb::handle subpath) {
    std::optional<Folder> target = choose_target(root, subpath);
    if (!target || !target->is_dir()) return nb::none();
    std::optional<NameRules> rules;
    if (target->bytes()) rules = native_folder_rules();
    std::optional<Lists> lists =
        rules ? read_natively(*target->bytes(), *rules) : read_by_steps(*target);
    if (!lists) return nb::none();
    nb::dict listing;
    listing["path"] = target->text();
    nb::object name = target->name();
    listing["name"] = truthy(name) ? name : target->text();
    listing["folders"] = lists->first;
    listing["files"] = lists->second;
    return listing;
}

} // namespace

void bind_listing() {
    tw::py::def(ns, names::_interesting, &interesting, tw::py::arg("entry"),
                nb::sig("def _interesting(entry: os.DirEntry[str]) -> bool"),
                "Whether a directory entry's name is neither hidden nor one of SKIP_DIRS.\n\n"
                "Only the name is looked at; no file-system access.");
    tw::py::def(
        ns, names::list_folder, &list_folder, tw::py::arg("root"), tw::py::arg("subpath") = "",
        nb::sig("def list_folder(root: pathlib.Path, subpath: str = '') -> dict[str, typing.Any] "
                "| None"),
        "One level of the folder `subpath` inside `root`: its subfolders and Markdown files, "
        "or None when it cannot be listed.\n\n"
        "None for a `subpath` outside `root`, a missing folder and an OSError while reading "
        "it; an entry whose type cannot be told is left out.");
}

} // namespace tw::pagecase
