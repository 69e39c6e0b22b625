// The operating system, behind one small interface: every call whose form
// differs between Linux, the other POSIX systems (macOS, the BSDs) and
// Windows lives under src/common/platform/, one source file per family, and
// CMake compiles the family's file (TIDEWING_PLATFORM). Nothing outside this
// folder tests an operating-system macro.
//
// Results are errno-style: 0, or the errno of the failure. EINTR is handed
// back rather than retried, so that the caller can let a signal handler run
// (tw::interruption) and then call again. Paths are file-system bytes.
//
// The Windows family implements what the modules use there (random bytes,
// wiping, the clock, process and thread ids, CPU features) and answers
// ENOSYS for the file-system calls: a Windows build leaves out the native
// file-system route, so they are never reached there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace tw::platform {

// ------------------------------------------------------------ the process

// The ids in a temporary file's name: os.getpid(), and the calling thread's
// id as threading.get_native_id() reports it (where the family has one).
std::uint64_t process_id() noexcept;
std::uint64_t thread_id() noexcept;

// The wall clock as time.time_ns() reads it: nanoseconds since the epoch.
int wall_clock(std::int64_t& nanoseconds) noexcept;

// ------------------------------------------------------ random and wiping

// Fills `out` from the system's secure random source, the one os.urandom
// reads, waiting until it is seeded. EINTR: a signal came first, and the
// buffer may be partly filled; call again once the handlers have run. Any
// other error: the source is unavailable here.
int secure_random(void* out, std::size_t size) noexcept;

// Random bytes for values made public at once (a token's IV), handed out
// from a pool that secure_random fills in batches, so that most calls make
// no system call. Each byte is handed out once and wiped from the pool as it
// goes. A forked child finds the pool empty: the bytes its parent had not
// yet handed out are wiped in the child before it runs anything, so the two
// never hand out the same bytes. Errors as secure_random's, before anything
// was handed out. Not for keys: their bytes should exist in one place only.
int pooled_random(void* out, std::size_t size) noexcept;

// Overwrites `size` bytes with zeros in a way the compiler may not drop as a
// dead store, for key material about to be freed.
void secure_wipe(void* data, std::size_t size) noexcept;

// ------------------------------------------------------------------- CPU

// What the processor offers and the operating system lets us use (the wide
// registers saved on a context switch included). Only the flags of the
// processor's own architecture can be true.
struct CpuFeatures {
    // x86-64
    bool sse2 = false, sse41 = false, aes = false, avx2 = false, vaes = false, sha = false;
    // arm64: the AES and SHA-256 instructions of the Armv8 cryptographic extension
    bool armv8_aes = false, armv8_sha256 = false;
};

// Read once per process, on first use.
const CpuFeatures& cpu_features() noexcept;

// ----------------------------------------------------------------- users

using UserId = std::uint32_t;

UserId effective_user() noexcept;

// The home folder of the user database entry of the calling process's real
// user (pwd.getpwuid(os.getuid()).pw_dir), or of the user named `name`
// (pwd.getpwnam(name).pw_dir). ENOENT when there is no such entry.
int home_of_current_user(std::string& home);
int home_of_user(const std::string& name, std::string& home);

// ------------------------------------------------------------ file status

enum class FileKind : std::uint8_t {
    regular,
    directory,
    symlink,
    other,    // FIFO, socket, device
    vanished, // a directory entry whose type was unknown and whose lstat failed
};

// Permission bits of FileInfo::mode, the same numbers on every POSIX system.
inline constexpr unsigned kStickyBit = 01000;
inline constexpr unsigned kOthersMayWrite = 0002;

struct FileInfo {
    FileKind kind = FileKind::other;
    unsigned mode = 0; // the permission bits, st_mode & 07777
    UserId owner = 0;
    std::uint64_t device = 0, inode = 0, links = 0;
    std::int64_t size = 0;
    std::int64_t mtime_seconds = 0;
    long mtime_nanoseconds = 0;

    // The double os.stat_result.st_mtime holds, computed the way CPython
    // computes it.
    double mtime() const {
        return static_cast<double>(mtime_seconds) + static_cast<double>(mtime_nanoseconds) * 1e-9;
    }
    bool same_file(const FileInfo& other) const {
        return device == other.device && inode == other.inode;
    }
};

int status(const std::string& path, FileInfo& info);      // stat(): links followed
int link_status(const std::string& path, FileInfo& info); // lstat(): a link itself
int open_status(int fd, FileInfo& info);                  // fstat()

// The target of the symbolic link at `path`, whatever its length.
int read_link(const std::string& path, std::string& target);

// os.getcwd() as bytes.
int current_folder(std::string& path);

// Whether the effective user may write the file at `path`, links followed
// (faccessat with AT_EACCESS): 0, or the errno that says why not.
int check_writable(const std::string& path);

// -------------------------------------------------------------- files

// Flags of FileDescriptor::open(); every descriptor is opened close-on-exec.
inline constexpr unsigned kReadOnly = 0;
inline constexpr unsigned kWriteOnly = 1u << 0;
inline constexpr unsigned kCreate = 1u << 1;
inline constexpr unsigned kExclusive = 1u << 2; // with kCreate: fail with EEXIST
inline constexpr unsigned kTruncate = 1u << 3;
inline constexpr unsigned kNoFollow = 1u << 4;    // ELOOP for a symbolic link at the path itself
inline constexpr unsigned kNonBlocking = 1u << 5; // a FIFO opens without waiting for its other end
inline constexpr unsigned kNoControllingTerminal = 1u << 6;

// An open file, closed when its descriptor goes out of scope. The calls
// below take the descriptor itself (get()).
class FileDescriptor {
  public:
    FileDescriptor() noexcept = default;
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { close(); }

    // Opens `path`, closing what was open first; `mode` gives a created
    // file's permission bits (before the umask).
    int open(const std::string& path, unsigned flags, unsigned mode = 0) noexcept;

    // Closes the file now: 0, or the errno of close(), which is where a
    // write's last error can show. The descriptor is released even when
    // this fails, and never closed again.
    int close() noexcept;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// One read() or write(): `done` is the number of bytes moved, 0 at the end
// of a file read.
int read_some(int fd, void* buffer, std::size_t size, std::size_t& done) noexcept;
int write_some(int fd, const void* data, std::size_t size, std::size_t& done) noexcept;

// Waits until a read of `fd` would not wait: data, or the end of the file (a
// FIFO's writer came and went), for at most `milliseconds`. A FIFO opened
// without waiting for its writer (kNonBlocking) waits here for one.
// ETIMEDOUT: still nothing to read; EINTR: a signal came first.
int wait_until_readable(int fd, int milliseconds) noexcept;

int seek_to_start(int fd) noexcept; // ESPIPE for a pipe
int flush_to_disk(int fd) noexcept; // fsync()
int change_mode(int fd, unsigned mode) noexcept;
int rename_file(const std::string& from, const std::string& to) noexcept;
int remove_file(const std::string& path) noexcept; // unlink(): never a folder

// Takes an exclusive lock of the open file description at `fd` without
// waiting: 0, EWOULDBLOCK when another open description holds it, or the
// errno that says the file system offers no such locks. It ends when the
// last descriptor of that description closes, the process's end included.
int try_lock_exclusive(int fd) noexcept;

// ------------------------------------------------------------ folders

// A folder being read, entry by entry, in the order the system yields them.
class Directory {
  public:
    Directory() = default;
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;
    ~Directory();

    int open(const std::string& path) noexcept;

    // The next entry but "." and "..": true with `name` set (valid until the
    // next call); false at the end, or on a failure with `error` set.
    bool next(std::string_view& name, int& error) noexcept;

    // What the entry next() gave last is, without following it: the type
    // the read reported, or an lstat's where it reported none.
    FileKind kind() const noexcept;

  private:
    void* stream_ = nullptr;      // the family's folder handle
    const void* entry_ = nullptr; // the family's record of the last entry
};

} // namespace tw::platform
