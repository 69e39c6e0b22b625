// One level of a folder for the folder listing and the directory picker: the
// folder to read (as bytes, or as an object a host handed back), the native
// read without the GIL while os.scandir, _interesting, is_markdown and Path
// are the ones bound at load, os.scandir's own entries otherwise, and the
// entry dictionaries sorted by lower-cased name.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "pagecase/core/walk.h"
#include "pagecase/name_constants.h"

namespace tw::pagecase {

// The folder a call reads: its resolved bytes when we have them, and the
// path object `contain` or `resolve()` would have returned.
class Folder {
  public:
    // A path resolved natively; `cls` is the class pathlib would have built.
    static Folder from_bytes(std::string bytes, nb::handle cls);
    // A path object returned by `resolve()` or `contain`.
    static Folder from_object(nb::object path);

    // `target.is_dir()`, a failure of the test counting as no.
    bool is_dir();
    nb::object object();
    const std::optional<std::string>& bytes() const { return bytes_; }
    nb::object text();           // str(target)
    nb::object name();           // target.name
    nb::object parent_or_none(); // str(target.parent), None for the file-system root

  private:
    std::optional<std::string> bytes_;
    nb::object object_;
    nb::handle cls_;
};

// The native rules for reading a folder, or nothing when a host rebound
// something the native read stands in for.
std::optional<NameRules> native_folder_rules();

// Reads the folder's entries without the GIL; 0 or the errno of the failure.
int read_folder(const std::string& path, DirectoryEntries& out);

// `is_markdown(Path(name))` for a name from the native read.
bool markdown_name(const NameRules& rules, std::string_view name);

// The entries at `indices` as {"name", "path"} dictionaries, sorted by
// lower-cased name (stable); the paths are `folder` joined with the names.
nb::list sorted_entry_dicts(const std::string& folder, const DirectoryEntries& entries,
                            const std::vector<std::uint32_t>& indices);

// `{"name": entry.name, "path": entry.path}` of an os.DirEntry.
nb::object entry_dict(nb::handle entry);

// `items.sort(key=lambda item: item["name"].lower())`
void sort_by_lowered_name(nb::list items);

// `with os.scandir(target) as it: for entry in it: body(entry)`, through the
// module's current `os`.
void for_each_scandir_entry(nb::handle target, const std::function<void(nb::handle)>& body);

// An OSError of one entry's type test leaves that entry out.
template <typename Test> void skipping_entry_errors(Test&& test) {
    try {
        test();
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_OSError)) throw;
    }
}

} // namespace tw::pagecase
