// POSIX path arithmetic and non-strict resolution; see paths.h.
#include "pagecase/core/paths.h"

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <unordered_map>

#include "common/platform/platform.h"

namespace tw::pagecase {
namespace {

// posixpath.join(a, b)
void join_into(std::string& a, std::string_view b) {
    if (!b.empty() && b.front() == '/')
        a.assign(b);
    else if (a.empty() || a.back() == '/')
        a.append(b);
    else {
        a.push_back('/');
        a.append(b);
    }
}

std::string joined(std::string a, std::string_view b) {
    join_into(a, b);
    return a;
}

// posixpath.split(p), returning the head and storing the tail.
std::string split_head(const std::string& p, std::string& tail) {
    size_t i = p.rfind('/');
    i = (i == std::string::npos) ? 0 : i + 1;
    std::string head = p.substr(0, i);
    tail = p.substr(i);
    if (!head.empty() && head.find_first_not_of('/') != std::string::npos) {
        size_t end = head.find_last_not_of('/');
        head.resize(end + 1);
    }
    return head;
}

// posixpath.normpath(p) as written in CPython 3.10.
std::string normpath(std::string_view path) {
    if (path.empty()) return ".";
    int initial_slashes = path.front() == '/' ? 1 : 0;
    if (initial_slashes && path.substr(0, 2) == "//" && path.substr(0, 3) != "///")
        initial_slashes = 2;
    std::vector<std::string_view> comps;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view comp = path.substr(start, end - start);
        start = end + 1;
        if (comp.empty() || comp == ".") continue;
        if (comp != ".." || (!initial_slashes && comps.empty()) ||
            (!comps.empty() && comps.back() == ".."))
            comps.push_back(comp);
        else if (!comps.empty())
            comps.pop_back();
    }
    std::string out(static_cast<size_t>(initial_slashes), '/');
    for (size_t k = 0; k < comps.size(); ++k) {
        if (k) out.push_back('/');
        out.append(comps[k]);
    }
    return out.empty() ? "." : out;
}

bool is_symlink(const std::string& path) {
    platform::FileInfo info;
    return platform::link_status(path, info) == 0 && info.kind == platform::FileKind::symlink;
}

// posixpath._joinrealpath(path, rest, strict=False, seen) of CPython 3.10.
class RealPathWalker {
  public:
    int error = 0;

    // Returns the `ok` flag; `path` is updated in place.
    bool join(std::string& path, std::string_view rest, int depth = 0) {
        if (depth > kMaxDepth) { // where Python would hit its recursion limit
            error = ELOOP;
            return false;
        }
        if (!rest.empty() && rest.front() == '/') {
            rest.remove_prefix(1);
            path.assign(1, '/');
        }
        while (!rest.empty()) {
            size_t cut = rest.find('/');
            std::string_view name = rest.substr(0, cut);
            rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
            if (name.empty() || name == ".") continue;
            if (name == "..") {
                if (!path.empty()) {
                    std::string tail;
                    path = split_head(path, tail);
                    if (tail == "..") {
                        join_into(path, "..");
                        join_into(path, "..");
                    }
                } else {
                    path.assign(2, '.');
                }
                continue;
            }
            std::string newpath = joined(path, name);
            if (!is_symlink(newpath)) {
                path = std::move(newpath);
                continue;
            }
            auto found = seen_.find(newpath);
            if (found != seen_.end()) {
                if (found->second) {
                    path = *found->second;
                    continue;
                }
                path = joined(newpath, rest); // a loop: keep the rest unresolved
                return false;
            }
            seen_.emplace(newpath, std::nullopt);
            std::string target;
            if ((error = platform::read_link(newpath, target)) != 0) return false;
            bool ok = join(path, target, depth + 1);
            if (error) return false;
            if (!ok) {
                join_into(path, rest);
                return false;
            }
            seen_[newpath] = path;
        }
        return true;
    }

  private:
    static constexpr int kMaxDepth = 1000;
    std::unordered_map<std::string, std::optional<std::string>> seen_;
};

} // namespace

std::string PurePath::str() const {
    std::string out = root;
    for (size_t k = 0; k < parts.size(); ++k) {
        if (k) out.push_back('/');
        out.append(parts[k]);
    }
    return out.empty() ? "." : out;
}

PurePath parse_path(std::string_view text) {
    PurePath path;
    if (!text.empty() && text.front() == '/') {
        size_t slashes = text.find_first_not_of('/');
        if (slashes == std::string_view::npos) slashes = text.size();
        path.root = slashes == 2 ? "//" : "/";
        text.remove_prefix(slashes);
    }
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('/', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view part = text.substr(start, end - start);
        if (!part.empty() && part != ".") path.parts.emplace_back(part);
        start = end + 1;
    }
    return path;
}

PurePath join_relative(const PurePath& base, const PurePath& relative) {
    PurePath out = base;
    out.parts.insert(out.parts.end(), relative.parts.begin(), relative.parts.end());
    return out;
}

int expand_user(PurePath& path) {
    if (path.is_absolute() || path.parts.empty() || path.parts.front().front() != '~') return 0;
    const std::string& first = path.parts.front();
    std::string home;
    bool found;
    if (first.size() == 1) {
        const char* env = std::getenv("HOME");
        found = env ? (home = env, true) : platform::home_of_current_user(home) == 0;
    } else {
        found = platform::home_of_user(first.substr(1), home) == 0;
    }
    // os.path.expanduser leaves the text unchanged when it finds no home, and
    // pathlib then refuses anything still starting with a tilde.
    if (!found) return ENOENT;
    size_t end = home.find_last_not_of('/');
    home.resize(end == std::string::npos ? 0 : end + 1);
    if (home.empty()) home.assign(1, '/');
    if (home.front() == '~') return ENOENT;
    PurePath expanded = parse_path(home);
    expanded.parts.insert(expanded.parts.end(), path.parts.begin() + 1, path.parts.end());
    path = std::move(expanded);
    return 0;
}

int home_directory(std::string& home) {
    PurePath path;
    path.parts.emplace_back("~");
    const int error = expand_user(path);
    if (!error) home = path.str();
    return error;
}

int resolve(std::string_view text, Resolution& resolution) {
    resolution = Resolution{};
    RealPathWalker walker;
    std::string path;
    resolution.complete = walker.join(path, text);
    if (walker.error) return walker.error;
    if (path.empty() || path.front() != '/') { // abspath
        std::string cwd;
        if (int error = platform::current_folder(cwd)) return error;
        join_into(cwd, path);
        path = std::move(cwd);
    }
    resolution.path = parse_path(normpath(path)).str();
    // pathlib's own check: a remaining loop shows as ELOOP from stat().
    platform::FileInfo info;
    return platform::status(resolution.path, info) == ELOOP ? ELOOP : 0;
}

bool is_fixed_point(const Resolution& resolution) {
    if (resolution.complete) return true;
    Resolution again;
    return resolve(resolution.path, again) == 0 && again.path == resolution.path;
}

bool is_absence_error(int error) {
    return error == ENOENT || error == ENOTDIR || error == EBADF || error == ELOOP;
}

int file_status(const std::string& path, FileType& type) {
    type = FileType::absent;
    platform::FileInfo info;
    if (int error = platform::status(path, info)) return is_absence_error(error) ? 0 : error;
    type = info.kind == platform::FileKind::regular     ? FileType::regular
           : info.kind == platform::FileKind::directory ? FileType::directory
                                                        : FileType::other;
    return 0;
}

bool is_within(std::string_view target, std::string_view root) {
    PurePath t = parse_path(target), r = parse_path(root);
    if (t.root != r.root || r.parts.size() > t.parts.size()) return false;
    for (size_t k = 0; k < r.parts.size(); ++k)
        if (t.parts[k] != r.parts[k]) return false;
    return true;
}

std::string_view final_component(std::string_view path) {
    size_t slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return name == "." ? std::string_view() : name;
}

std::string_view suffix_of(std::string_view name) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 >= name.size()) return {};
    return name.substr(dot);
}

std::string parent_of(std::string_view path) {
    PurePath parsed = parse_path(path);
    if (!parsed.parts.empty()) parsed.parts.pop_back();
    return parsed.str();
}

} // namespace tw::pagecase
