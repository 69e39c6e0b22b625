// POSIX path arithmetic and non-strict resolution, on file-system bytes.
//
// This reproduces what CPython 3.10's pathlib does for PosixPath: parsing,
// `expanduser`, the `/` join, and `resolve()` (os.path.realpath followed by a
// stat that turns a loop of symbolic links into an error), with identical
// results on every interpreter we support (the release rule,
// common/originals.h: 3.13 stopped reporting loops, 3.14 reads every stat
// error of is_file() and is_dir() as "not there"). No Python headers here: the
// bindings convert text to bytes with the file-system encoding first.
//
// What can fail answers as the platform layer does: 0, or an errno.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tw::pagecase {

// A path as pathlib parses it: `root` is "", "/" or "//" (exactly two leading
// slashes are kept, three or more collapse to one); `parts` leaves out empty
// and "." components but keeps "..".
struct PurePath {
    std::string root;
    std::vector<std::string> parts;

    bool is_absolute() const { return !root.empty(); }
    std::string str() const; // "." for the empty relative path
};

PurePath parse_path(std::string_view text);

// `base / relative` for a relative right-hand side.
PurePath join_relative(const PurePath& base, const PurePath& relative);

// `path.expanduser()`: a first component "~" or "~user" becomes that home
// directory. ENOENT when the home cannot be determined (pathlib raises
// RuntimeError).
int expand_user(PurePath& path);

// `Path.home()`, as bytes; fails as expand_user does.
int home_directory(std::string& home);

struct Resolution {
    std::string path; // absolute and normalised
    // False when the resolution stopped at a loop of symbolic links and kept
    // the rest of the path lexically (the result may still contain links).
    bool complete = true;
};

// `Path(text).resolve()` (non-strict) of CPython 3.10, into `resolution`.
// Fails where pathlib raises: ELOOP for a loop of links its final stat meets
// (RuntimeError there; `resolution.path` is the path that loops) or for links
// nested past Python's recursion limit, and the errno of the OSError of a
// link that cannot be read or of the current folder.
int resolve(std::string_view text, Resolution& resolution);

// Whether a resolution names a real location: one that ran to the end, or
// one that gave up at a loop of links (keeping the rest of the path
// lexically) whose result resolves to itself. A result that moves when
// resolved again may still hold a link, so it names nothing.
bool is_fixed_point(const Resolution& resolution);

// Whether an errno of stat() is one that pathlib's is_dir(), is_file() and
// exists() of CPython 3.10 read as "not there" rather than raise.
bool is_absence_error(int error);

enum class FileType { regular, directory, other, absent };

// What `path` names once links are followed, as pathlib's is_file() and
// is_dir() of CPython 3.10 see it: `absent` for a failure they read as "not
// there"; any other failure is returned (the type is then `absent` too).
int file_status(const std::string& path, FileType& type);

// Component-wise: `target == root or root in target.parents`, for paths that
// `resolve` produced.
bool is_within(std::string_view target, std::string_view root);

// The final component of a normalised path string ("" for "/" and ".").
std::string_view final_component(std::string_view path);

// pathlib's `suffix` of a final component: from its last dot on, empty when
// the only dot leads the name or ends it.
std::string_view suffix_of(std::string_view name);

// `str(path.parent)` for a normalised path string.
std::string parent_of(std::string_view path);

} // namespace tw::pagecase
