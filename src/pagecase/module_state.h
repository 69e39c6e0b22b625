// What the document store's functions share: the module namespace they read
// at call time, the names in it, and conversions between pathlib objects and
// file-system bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/errors.h"
#include "common/fsenc.h"
#include "common/namespace.h"
#include "common/objects.h"
#include "common/originals.h"
#include "pagecase/pathlib_originals.h"

namespace tw::pagecase {

namespace nb = nanobind;
using tw::py::Name;

inline constexpr const char* kModuleName = "tidewing_quillery.pagecase";

inline tw::py::ModuleNamespace ns;

// Module attributes, in the order the module binds them.
namespace names {
inline const Name json{"json"}, os{"os"}, time{"time"}, dataclass{"dataclass"}, field{"field"},
    Path{"Path"};
inline const Name MARKDOWN_SUFFIXES{"MARKDOWN_SUFFIXES"}, ASSET_SUFFIXES{"ASSET_SUFFIXES"},
    MAX_DOCUMENT_BYTES{"MAX_DOCUMENT_BYTES"}, _RECENT_LIMIT{"_RECENT_LIMIT"},
    SKIP_DIRS{"SKIP_DIRS"}, MAX_SCAN_FILES{"MAX_SCAN_FILES"}, MAX_SCAN_DEPTH{"MAX_SCAN_DEPTH"};
inline const Name contain{"contain"}, is_markdown{"is_markdown"}, Document{"Document"},
    resolve_document{"resolve_document"}, resolve_asset{"resolve_asset"},
    read_document{"read_document"}, stat_signature{"stat_signature"}, state_dir{"state_dir"},
    access_token{"access_token"};
inline const Name PathList{"PathList"}, RecentFiles{"RecentFiles"}, Favorites{"Favorites"},
    Workspaces{"Workspaces"};
inline const Name scan_markdown{"scan_markdown"}, search_markdown{"search_markdown"},
    fuzzy_score{"fuzzy_score"}, _interesting{"_interesting"}, list_folder{"list_folder"},
    browse_directories{"browse_directories"}, browse_shortcuts{"browse_shortcuts"};
} // namespace names

// What the native routes stand in for (common/originals.h). A call site
// names those it depends on: `natively(original::contain, ...)`.
namespace original {
using tw::py::Original;
using tw::py::Reads;
inline Original os{ns, names::os}, Path{ns, names::Path};
inline Original os_walk{ns, names::os, "walk", Reads::file_system},
    os_scandir{ns, names::os, "scandir", Reads::file_system}, json_dumps{ns, names::json, "dumps"};
inline Original contain{ns, names::contain}, is_markdown{ns, names::is_markdown},
    scan_markdown{ns, names::scan_markdown}, fuzzy_score{ns, names::fuzzy_score},
    _interesting{ns, names::_interesting};
} // namespace original

using tw::py::natively;

// `cls(text)` for a path given as file-system bytes.
inline nb::object new_path(nb::handle cls, std::string_view bytes) {
    return cls(tw::py::fs_decode(bytes));
}

using tw::py::truthy;

// Runs a resolution step (`resolve()`, `expanduser()`, `Path.home()`): its
// result, or nothing when it raised OSError or RuntimeError, which every
// caller answers with "cannot be served" (None).
template <typename Body> auto unless_unresolvable(Body&& body) {
    return tw::py::unless_raised(std::forward<Body>(body), PyExc_OSError, PyExc_RuntimeError);
}

// `path.suffix.lower() in suffixes` for the final component of a path's
// text (a str), which starts at `name_start`.
bool lowered_suffix_in(nb::handle text, nb::handle suffixes, Py_ssize_t name_start = 0);

// `contain(root, raw)` worked out natively.
struct Contained {
    std::optional<std::string> path; // the resolved target; nothing where contain answers None
    nb::handle cls;                  // the class pathlib makes the answer of
    nb::object object() const;       // the answer as contain returns it
};

// `contain(root, raw)` of the module as loaded, worked out natively; nothing
// when it must run step by step instead (a rebound `Path`, patched pathlib
// methods, a root that is not a native path, a raw path object of a patched
// class). Callers standing in for the module's `contain` check that it is
// unchanged first (natively(original::contain)).
std::optional<Contained> contain_natively(nb::handle root, nb::handle raw);

// Whether a path resolved step by step names a real location:
// `path.resolve() == path` (natively, with CPython 3.10's resolve, for a
// native path), an OSError or RuntimeError meaning no. What is not a
// pathlib path (a host's resolve() may return anything) passes as it is.
bool resolves_to_itself(nb::handle path);

// Registration of each concern's names, in the module's binding order.
void bind_paths();
void bind_documents();
void bind_state();
void bind_lists();
void bind_scan();
void bind_listing();
void bind_picker();

} // namespace tw::pagecase
