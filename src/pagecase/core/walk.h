// Reading directories as os.scandir reports them, and the top-down walk of
// os.walk(top, followlinks=False) built on that reading. No Python headers:
// everything here works on file-system bytes and runs without the GIL.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tw::pagecase {

// What a directory entry is, without following it: the type the directory
// read reports, or that of an lstat when the read does not say.
enum class EntryType : std::uint8_t {
    directory, // a real directory, never a link to one
    regular,   // a regular file
    symlink,   // a symbolic link, whatever it points to
    other,     // fifo, socket, device
    vanished,  // the type was unknown and the lstat failed
};

// The entries of one directory in the order it yields them, "." and ".."
// left out; names are stored back to back.
class DirectoryEntries {
  public:
    struct Entry {
        std::uint32_t offset, length;
        EntryType type;
    };

    const std::vector<Entry>& entries() const { return entries_; }
    std::string_view name(const Entry& entry) const {
        return std::string_view(names_).substr(entry.offset, entry.length);
    }
    void clear() {
        names_.clear();
        entries_.clear();
    }
    void add(std::string_view name, EntryType type);

  private:
    std::string names_;
    std::vector<Entry> entries_;
};

// Reads every entry of `path` into `out` (cleared first). Returns 0, or the
// errno of the failed open or read; the handle is closed either way.
int read_directory(const std::string& path, DirectoryEntries& out);

// Whether `path` names a directory once links are followed; any failure of
// the stat means no, as DirEntry.is_dir() does inside os.walk.
bool is_directory(const std::string& path);

// os.path.join(folder, name) for a name without slashes.
void append_name(std::string& folder, std::string_view name);

// The directories of os.walk(top, followlinks=False): each is read once,
// handed over, and the subdirectories the caller keeps are visited next, in
// the order given. One that cannot be opened or read is skipped silently,
// contributing nothing; links to directories are never entered.
class TreeWalk {
  public:
    void start(std::string top);

    // Reads the next directory that can be read; false when the walk is over.
    bool next();

    const std::string& path() const { return path_; }
    long long depth() const { return depth_; } // 0 for the top
    const DirectoryEntries& entries() const { return entries_; }

    // Visit these subdirectories of the current directory after it, in this
    // order; `kept` holds indices into entries().entries() of type directory.
    void descend_into(const std::vector<std::uint32_t>& kept);

  private:
    struct Pending {
        std::string path;
        long long depth;
    };
    std::vector<Pending> pending_;
    std::string path_;
    long long depth_ = 0;
    DirectoryEntries entries_;
};

} // namespace tw::pagecase
