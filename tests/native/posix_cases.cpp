// The platform layer's file, folder and user calls on the POSIX families
// (Linux, and the other POSIX systems' family where TIDEWING_PLATFORM=posix
// forces it): files made here with POSIX calls are read back through the
// layer.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "common/platform/directory_entry.h"
#include "common/platform/platform.h"
#include "harness.h"

namespace {

namespace platform = tw::platform;
namespace fs = std::filesystem;

// A fresh folder of this run, removed with what it holds.
class Scratch {
  public:
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "tw-native-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~Scratch() { fs::remove_all(path_); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

void write_file(const std::string& path, const std::string& content) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    CHECK(fd >= 0 &&
          ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()));
    ::close(fd);
}

NATIVE_TEST(a_file_written_read_and_examined_through_the_layer) {
    Scratch scratch;
    const std::string path = scratch / "file";
    platform::FileDescriptor file;
    const unsigned create = platform::kWriteOnly | platform::kCreate | platform::kExclusive;
    CHECK_EQ(file.open(path, create, 0600), 0);
    int fd = file.get();
    CHECK_EQ(::fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    std::size_t done = 0;
    CHECK_EQ(platform::write_some(fd, "twelve bytes", 12, done), 0);
    CHECK_EQ(done, std::size_t{12});
    CHECK_EQ(platform::flush_to_disk(fd), 0);
    CHECK_EQ(platform::change_mode(fd, 0640), 0);
    platform::FileInfo info;
    CHECK_EQ(platform::open_status(fd, info), 0);
    CHECK(info.kind == platform::FileKind::regular);
    CHECK_EQ(info.size, std::int64_t{12});
    CHECK_EQ(info.mode, 0640u);
    CHECK_EQ(info.links, std::uint64_t{1});
    CHECK_EQ(info.owner, platform::effective_user());
    CHECK_EQ(file.close(), 0);
    CHECK(!file);
    CHECK_EQ(file.close(), 0); // closed once only
    platform::FileDescriptor again;
    CHECK_EQ(again.open(path, create, 0600), EEXIST);
    CHECK(!again);

    CHECK_EQ(file.open(path, platform::kReadOnly), 0);
    fd = file.get();
    char buffer[32] = {};
    CHECK_EQ(platform::read_some(fd, buffer, sizeof buffer, done), 0);
    CHECK_EQ(std::string(buffer, done), std::string("twelve bytes"));
    CHECK_EQ(platform::read_some(fd, buffer, sizeof buffer, done), 0);
    CHECK_EQ(done, std::size_t{0}); // the end
    CHECK_EQ(platform::seek_to_start(fd), 0);
    CHECK_EQ(platform::read_some(fd, buffer, 6, done), 0);
    CHECK_EQ(std::string(buffer, done), std::string("twelve"));
    file.close();

    CHECK_EQ(platform::check_writable(path), 0);
    CHECK_EQ(platform::rename_file(path, scratch / "renamed"), 0);
    CHECK_EQ(platform::status(path, info), ENOENT);
    CHECK_EQ(platform::check_writable(path), ENOENT);
    CHECK_EQ(platform::remove_file(scratch / "renamed"), 0);
    CHECK_EQ(platform::remove_file(scratch / "renamed"), ENOENT);
}

NATIVE_TEST(modification_times_keep_their_nanoseconds) {
    Scratch scratch;
    const std::string path = scratch / "dated";
    write_file(path, "x");
    const timespec times[2] = {{1'600'000'000, 5}, {1'700'000'001, 123'456'789}};
    CHECK_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    platform::FileInfo info;
    CHECK_EQ(platform::status(path, info), 0);
    CHECK_EQ(info.mtime_seconds, std::int64_t{1'700'000'001});
    CHECK_EQ(info.mtime_nanoseconds, 123'456'789L);
    // The double os.stat_result.st_mtime holds: seconds + nanoseconds * 1e-9.
    CHECK(info.mtime() == 1'700'000'001.0 + 123'456'789 * 1e-9);
}

NATIVE_TEST(links_are_seen_read_and_refused_where_asked) {
    Scratch scratch;
    write_file(scratch / "target", "content");
    // Longer than the first buffer read_link tries.
    const std::string target = std::string(300, 'x') + "/../../target";
    CHECK_EQ(::symlink(target.c_str(), (scratch / "long").c_str()), 0);
    CHECK_EQ(::symlink("target", (scratch / "link").c_str()), 0);
    std::string read;
    CHECK_EQ(platform::read_link(scratch / "long", read), 0);
    CHECK_EQ(read, target);
    CHECK_EQ(platform::read_link(scratch / "target", read), EINVAL);
    platform::FileInfo info;
    CHECK_EQ(platform::link_status(scratch / "link", info), 0);
    CHECK(info.kind == platform::FileKind::symlink);
    CHECK_EQ(platform::status(scratch / "link", info), 0);
    CHECK(info.kind == platform::FileKind::regular && info.size == 7);
    platform::FileDescriptor file;
    CHECK_EQ(file.open(scratch / "link", platform::kReadOnly | platform::kNoFollow), ELOOP);
}

NATIVE_TEST(an_exclusive_lock_is_held_by_one_open_file_at_a_time) {
    Scratch scratch;
    write_file(scratch / "locked", "");
    platform::FileDescriptor writer, cleaner;
    CHECK_EQ(writer.open(scratch / "locked", platform::kReadOnly), 0);
    CHECK_EQ(cleaner.open(scratch / "locked", platform::kReadOnly), 0);
    CHECK_EQ(platform::try_lock_exclusive(writer.get()), 0);
    CHECK_EQ(platform::try_lock_exclusive(writer.get()), 0); // its own lock again
    // Another open of the same file, in the same process and thread, finds
    // it held: the lock belongs to the open file, not to the process.
    CHECK_EQ(platform::try_lock_exclusive(cleaner.get()), EWOULDBLOCK);
    platform::FileDescriptor ended = std::move(writer);
    CHECK(!writer && ended);
    ended = platform::FileDescriptor(); // the writer ends, and its lock with it
    CHECK_EQ(platform::try_lock_exclusive(cleaner.get()), 0);
}

NATIVE_TEST(a_folder_is_read_with_the_kind_of_each_entry) {
    Scratch scratch;
    write_file(scratch / "file", "");
    fs::create_directory(scratch / "folder");
    CHECK_EQ(::symlink("folder", (scratch / "link").c_str()), 0);
    CHECK_EQ(::mkfifo((scratch / "fifo").c_str(), 0600), 0);
    platform::Directory folder;
    CHECK_EQ(folder.open(scratch.path()), 0);
    std::map<std::string, platform::FileKind> kinds;
    std::string_view name;
    int error = -1;
    while (folder.next(name, error))
        kinds[std::string(name)] = folder.kind();
    CHECK_EQ(error, 0);
    CHECK_EQ(kinds.size(), std::size_t{4}); // "." and ".." left out
    CHECK(kinds["file"] == platform::FileKind::regular);
    CHECK(kinds["folder"] == platform::FileKind::directory);
    CHECK(kinds["link"] == platform::FileKind::symlink);
    CHECK(kinds["fifo"] == platform::FileKind::other);

    platform::Directory missing;
    CHECK_EQ(missing.open(scratch / "missing"), ENOENT);
    CHECK(!missing.next(name, error));
}

// Entries of the shapes the systems have: with a type, with DT_UNKNOWN (file
// systems that record none), and without the field (POSIX asks for none).
struct TypedEntry {
    unsigned char d_type;
};
struct UntypedEntry {
    char d_name[8];
};

NATIVE_TEST(an_entry_without_a_reported_type_is_left_to_an_lstat) {
    CHECK(platform::reported_kind(TypedEntry{DT_DIR}) == platform::FileKind::directory);
    CHECK(platform::reported_kind(TypedEntry{DT_LNK}) == platform::FileKind::symlink);
    CHECK(platform::reported_kind(TypedEntry{DT_FIFO}) == platform::FileKind::other);
    CHECK(!platform::reported_kind(TypedEntry{DT_UNKNOWN}));
    CHECK(!platform::reported_kind(UntypedEntry{}));
}

NATIVE_TEST(the_current_folder_and_home_folders) {
    std::string folder;
    CHECK_EQ(platform::current_folder(folder), 0);
    CHECK_EQ(folder, fs::current_path().string());
    std::string home;
    const int found = platform::home_of_current_user(home);
    CHECK(found == 0 ? !home.empty() : found == ENOENT);
    CHECK(platform::home_of_user("no such user, surely", home) != 0);
}

} // namespace
