// The extension module tidewing_quillery.pagecase: the document store.
//
// Initialisation binds the names in the order a reader of the module expects
// (standard modules, constants, then each concern's functions and classes)
// and remembers what it bound, so native routes can tell when a host has
// rebound one of them (common/originals.h).
#include "common/host_life.h"
#include "common/needs_gil.h"
#include "pagecase/module_state.h"

namespace tw::pagecase {
namespace {

nb::frozenset frozenset_of(std::initializer_list<const char*> members) {
    nb::set set;
    for (const char* member : members)
        set.add(nb::str(member));
    return nb::frozenset(set);
}

void bind_standard_modules(nb::module_& m) {
    m.attr("json") = nb::module_::import_("json");
    m.attr("os") = nb::module_::import_("os");
    m.attr("time") = nb::module_::import_("time");
    nb::module_ dataclasses = nb::module_::import_("dataclasses");
    m.attr("dataclass") = dataclasses.attr("dataclass");
    m.attr("field") = dataclasses.attr("field");
    nb::module_ pathlib = nb::module_::import_("pathlib");
    m.attr("Path") = pathlib.attr("Path");
    pathlib_originals.remember(pathlib);
}

void bind_constants(nb::module_& m) {
    m.attr("MARKDOWN_SUFFIXES") =
        frozenset_of({".md", ".markdown", ".mdown", ".mkd", ".mdtxt", ".text"});
    m.attr("ASSET_SUFFIXES") =
        frozenset_of({".png", ".jpg", ".jpeg", ".gif", ".webp", ".svg", ".avif", ".bmp", ".ico"});
    m.attr("MAX_DOCUMENT_BYTES") = 32 * 1024 * 1024;
    m.attr("_RECENT_LIMIT") = 20;
    m.attr("SKIP_DIRS") =
        frozenset_of({".git", ".hg", ".svn", "node_modules", "__pycache__", ".venv", "venv", ".tox",
                      ".mypy_cache", ".pytest_cache", ".ruff_cache", "dist", "build", ".idea",
                      ".vscode", ".cache", "site-packages", ".DS_Store"});
    m.attr("MAX_SCAN_FILES") = 20000;
    m.attr("MAX_SCAN_DEPTH") = 12;
}

bool initialised = false;

} // namespace
} // namespace tw::pagecase

NB_MODULE(pagecase, m) {
    using namespace tw::pagecase;
    tw::py::refuse_second_initialisation(initialised, kModuleName);
    m.doc() = "Document store of the Tidewing Markdown viewer: containment of outside paths, "
              "document reading, per-user state, folder listing, pickers and quick open.";
    ns.attach(m);
    tw::py::install_host_hooks();
    bind_standard_modules(m);
    bind_constants(m);
    bind_paths(m);
    bind_documents(m);
    bind_state(m);
    bind_lists(m);
    bind_scan(m);
    bind_listing(m);
    bind_picker(m);
    for (tw::py::Original* bound : original::all)
        bound->remember();
}
