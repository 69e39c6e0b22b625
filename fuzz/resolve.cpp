// The non-strict resolution walker over a small tree built from the input in
// a private folder: folders, files, relative and absolute symbolic links,
// dangling links and loops, then paths to resolve (absolute, and relative to
// the tree as the current directory). The result is absolute and normalised,
// and wherever realpath(3) succeeds (every component exists, no loop) it is
// realpath's answer. The run's time limit catches a walk that never ends.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "check.h"
#include "pagecase/core/paths.h"
#include "scratch.h"

namespace {

std::string workspace; // resolved private folder; each input builds its tree in workspace/t
std::string tree;

constexpr int kMaxEntries = 12;
constexpr int kMaxQueries = 4;

// A name of the tree; walks add "." and ".." and empty components.
std::string name(FuzzedDataProvider& input, bool walk) {
    static const char* const names[] = {"a", "b", "c", "d", ".", "..", ""};
    return names[input.ConsumeIntegralInRange<size_t>(0, walk ? 6 : 3)];
}

std::string relative_path(FuzzedDataProvider& input, bool walk) {
    std::string path = name(input, walk);
    const int more = input.ConsumeIntegralInRange(0, walk ? 4 : 2);
    for (int k = 0; k < more; ++k)
        path += "/" + name(input, walk);
    if (walk && input.ConsumeBool()) path += "/";
    return path;
}

// Whether every folder above `path` (relative to the tree) is a real folder,
// so that creating `path` cannot reach through a link out of the tree.
bool parents_are_folders(const std::string& path) {
    for (size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        struct stat st;
        if (::lstat((tree + "/" + path.substr(0, slash)).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return false;
    }
    return true;
}

void build_entry(FuzzedDataProvider& input) {
    const int kind = input.ConsumeIntegralInRange(0, 4);
    const std::string path = relative_path(input, false);
    if (!parents_are_folders(path)) return;
    const std::string at = tree + "/" + path;
    switch (kind) {
    case 0:
        ::mkdir(at.c_str(), 0700);
        break;
    case 1:
        if (int fd = ::open(at.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600); fd >= 0)
            ::close(fd);
        break;
    case 2: // relative link, possibly dangling or looping
        ::symlink(relative_path(input, true).c_str(), at.c_str());
        break;
    case 3: // absolute link into the tree
        ::symlink((tree + "/" + relative_path(input, true)).c_str(), at.c_str());
        break;
    default: // absolute link from the file-system root
        ::symlink(("/" + relative_path(input, true)).c_str(), at.c_str());
        break;
    }
}

void remove_tree() {
    tw::fuzz::remove_all(tree);
}

int print_entry(const char* path, const struct stat* st, int, struct FTW*) {
    std::string target;
    if (S_ISLNK(st->st_mode)) {
        target.resize(4096);
        const ssize_t n = ::readlink(path, target.data(), target.size());
        target.resize(n > 0 ? static_cast<size_t>(n) : 0);
        target.insert(0, " -> ");
    }
    std::fprintf(stderr, "  %s%s%s\n", path, S_ISDIR(st->st_mode) ? "/" : "", target.c_str());
    return 0;
}

// Absolute and normalised, with pathlib's roots: "/", or "//" kept from a
// resolution that gave up at a loop. CPython 3.10 keeps the rest of the path
// lexically there, and a link to "x///y" met again leaves "//y".
bool is_absolute_and_normalised(const tw::pagecase::Resolution& resolved) {
    const std::string& path = resolved.path;
    const tw::pagecase::PurePath parsed = tw::pagecase::parse_path(path);
    if (parsed.root != "/" && (resolved.complete || parsed.root != "//")) return false;
    for (const std::string& part : parsed.parts)
        if (part == "..") return false;
    return parsed.str() == path;
}

void check_resolution(const std::string& query) {
    tw::pagecase::Resolution resolved;
    const int error = tw::pagecase::resolve(query, resolved);
    char* real = ::realpath(query.c_str(), nullptr);
    const bool resolved_at_all = error == 0;
    const bool shaped = !resolved_at_all || is_absolute_and_normalised(resolved);
    const bool as_realpath =
        !real || (resolved_at_all && resolved.complete && resolved.path == real);
    if (!shaped || !as_realpath) {
        std::fprintf(stderr, "tree:\n");
        ::nftw(tree.c_str(), print_entry, 16, FTW_PHYS);
        std::fprintf(stderr,
                     "resolve(\"%s\") gave \"%s\" (error %d, complete %d), realpath \"%s\"\n",
                     query.c_str(), resolved.path.c_str(), error, resolved.complete,
                     real ? real : "(failed)");
    }
    std::free(real);
    TW_FUZZ_CHECK(shaped);
    TW_FUZZ_CHECK(as_realpath);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    tw::fuzz::keep_findings_here(argc, argv);
    workspace = tw::fuzz::make_scratch_folder("resolve");
    tree = workspace + "/t";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    remove_tree();
    TW_FUZZ_CHECK(::mkdir(tree.c_str(), 0700) == 0);
    const int entries = input.ConsumeIntegralInRange(0, kMaxEntries);
    for (int k = 0; k < entries; ++k)
        build_entry(input);

    const tw::fuzz::WorkingDirectory in_tree(tree);
    const int queries = input.ConsumeIntegralInRange(1, kMaxQueries);
    for (int k = 0; k < queries; ++k) {
        const std::string query = relative_path(input, true);
        check_resolution(tree + "/" + query);
        check_resolution(query);
    }
    return 0;
}
