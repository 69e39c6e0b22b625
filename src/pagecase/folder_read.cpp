// One level of a folder for the listing and the picker; see folder_read.h.
#include "pagecase/folder_read.h"

#include <algorithm>

#include "common/ascii.h"
#include "common/classes.h"
#include "common/context_manager.h"
#include "common/gil.h"
#include "pagecase/core/name_order.h"
#include "pagecase/core/paths.h"
#include "pagecase/path_objects.h"
#include "pagecase/result_dicts.h"
#include "pagecase/str_lower.h"

namespace tw::pagecase {
namespace {

using tw::py::fs_decode;

} // namespace

Folder Folder::from_bytes(std::string bytes, nb::handle cls) {
    Folder folder;
    folder.bytes_ = std::move(bytes);
    folder.cls_ = cls;
    return folder;
}

Folder Folder::from_object(nb::object path) {
    Folder folder;
    folder.object_ = std::move(path);
    return folder;
}

bool Folder::is_dir() {
    if (!bytes_ && natively(PathArgument{object_})) {
        // pathlib's is_dir() answers no for text no file can have (NUL, unencodable).
        bytes_ = path_bytes(object_, Unnamable::refuse);
        if (!bytes_) return false;
    }
    if (bytes_) {
        FileType type;
        return file_status(*bytes_, type) == 0 && type == FileType::directory;
    }
    return tw::py::unless_raised([&] { return truthy(object_.attr("is_dir")()); },
                                 PyExc_OSError) // a name too long, for one
        .value_or(false);
}

nb::object Folder::object() {
    if (!object_.is_valid()) object_ = new_path(cls_, *bytes_);
    return object_;
}

nb::object Folder::text() {
    return bytes_ ? nb::object(fs_decode(*bytes_)) : tw::py::str_of(object_);
}

nb::object Folder::name() {
    return bytes_ ? nb::object(fs_decode(final_component(*bytes_)))
                  : nb::object(object_.attr("name"));
}

nb::object Folder::parent_or_none() {
    if (bytes_) {
        std::string parent = parent_of(*bytes_);
        return parent == *bytes_ ? nb::none() : nb::object(fs_decode(parent));
    }
    nb::object parent = object_.attr("parent");
    return parent.equal(object_) ? nb::none() : tw::py::str_of(parent);
}

std::optional<NameRules> native_folder_rules() {
    if (!natively(original::os_scandir, original::_interesting, original::is_markdown,
                  original::Path, pathlib_as_loaded))
        return std::nullopt;
    return name_rules(ns[names::SKIP_DIRS], ns[names::MARKDOWN_SUFFIXES]);
}

int read_folder(const std::string& path, DirectoryEntries& out) {
    return tw::py::run_native([&] { return read_directory(path, out); },
                              tw::py::Gil::release_when_long);
}

bool markdown_name(const NameRules& rules, std::string_view name) {
    switch (rules.markdown(name)) {
    case Verdict::yes:
        return true;
    case Verdict::no:
        return false;
    default:
        return markdown_name_by_steps(name, ns[names::MARKDOWN_SUFFIXES]);
    }
}

// `indices` in the order of their names lowered by str.lower(): ASCII names
// natively, without the GIL for a large folder; others through the
// interpreter's lower-casing.
std::vector<std::uint32_t> by_lowered_name(const DirectoryEntries& entries,
                                           const std::vector<std::uint32_t>& indices) {
    const auto& all = entries.entries();
    std::vector<std::string_view> names;
    names.reserve(indices.size());
    bool ascii = true;
    for (std::uint32_t index : indices) {
        names.push_back(entries.name(all[index]));
        ascii = ascii && tw::ascii::is_ascii(names.back());
    }
    std::vector<std::uint32_t> sorted;
    sorted.reserve(indices.size());
    if (ascii) {
        // Told to stop only when a signal handler raised: run_native raises it.
        std::optional<std::vector<std::uint32_t>> order =
            tw::py::run_native([&] { return order_by_lowered_ascii(names); },
                               tw::py::release_for_entries(names.size()));
        for (std::uint32_t k : order.value())
            sorted.push_back(indices[k]);
        return sorted;
    }
    std::vector<std::pair<LoweredKey, std::uint32_t>> keyed;
    keyed.reserve(indices.size());
    for (std::size_t k = 0; k < indices.size(); ++k) {
        if (k % tw::py::kSignalBatch == 0) tw::py::run_signal_handlers();
        keyed.emplace_back(LoweredKey(names[k]), indices[k]);
    }
    std::size_t compared = 0;
    std::stable_sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
        if (++compared % tw::py::kSignalBatch == 0) tw::py::run_signal_handlers();
        return a.first < b.first;
    });
    for (const auto& entry : keyed)
        sorted.push_back(entry.second);
    return sorted;
}

nb::list sorted_entry_dicts(const std::string& folder, const DirectoryEntries& entries,
                            const std::vector<std::uint32_t>& indices) {
    const auto& all = entries.entries();
    nb::list dicts;
    std::size_t built = 0;
    for (std::uint32_t index : by_lowered_name(entries, indices)) {
        if (++built % tw::py::kSignalBatch == 0) tw::py::run_signal_handlers();
        std::string_view name = entries.name(all[index]);
        std::string path = folder;
        append_name(path, name);
        dicts.append(directory_entry(fs_decode(name), fs_decode(path)));
    }
    return dicts;
}

nb::object entry_dict(nb::handle entry) {
    nb::object name = entry.attr("name");
    return directory_entry(name, entry.attr("path"));
}

void sort_by_lowered_name(nb::list items) {
    auto key = tw::py::function(
        "key", [](nb::handle item) { return nb::object(item["name"].attr("lower")()); });
    items.attr("sort")(nb::arg("key") = key);
}

void for_each_scandir_entry(nb::handle target, const std::function<void(nb::handle)>& body) {
    tw::py::with_context(ns[names::os].attr("scandir")(target), [&](nb::handle entries) {
        for (nb::handle entry : entries)
            body(entry);
    });
}

} // namespace tw::pagecase
