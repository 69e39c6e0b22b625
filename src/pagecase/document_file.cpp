// Reading a document file and decoding its text; see document_file.h.
#include "pagecase/document_file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "common/ascii.h"

namespace tw::pagecase {
namespace {

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

// Reads up to `size` bytes; returns the count, or -1 with errno set.
ssize_t read_up_to(int fd, char* buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::read(fd, buffer + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// Reads the rest of a file that grew after its stat, after `prefix`, into a
// buffer that stops growing past `cap` + 1 bytes.
std::optional<nb::object> read_grown_file(int fd, std::string prefix, int64_t cap) {
    bool too_large = false, failed = false;
    Py_BEGIN_ALLOW_THREADS const size_t chunk = 1 << 20;
    while (static_cast<int64_t>(prefix.size()) <= cap) {
        size_t room = static_cast<size_t>(
            std::min<int64_t>(cap + 1 - static_cast<int64_t>(prefix.size()), chunk));
        size_t old = prefix.size();
        prefix.resize(old + room);
        ssize_t n = read_up_to(fd, prefix.data() + old, room);
        if (n < 0) {
            failed = true;
            break;
        }
        prefix.resize(old + static_cast<size_t>(n));
        if (static_cast<size_t>(n) < room) break;
    }
    too_large = static_cast<int64_t>(prefix.size()) > cap;
    Py_END_ALLOW_THREADS if (failed || too_large) return std::nullopt;
    return decode_document(prefix);
}

} // namespace

nb::object decode_document(std::string_view bytes) {
    if (bytes.size() >= 3 && std::memcmp(bytes.data(), "\xEF\xBB\xBF", 3) == 0)
        bytes.remove_prefix(3);
    auto size = static_cast<Py_ssize_t>(bytes.size());
    PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), size, nullptr);
    if (!text && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyErr_Clear();
        text = PyUnicode_DecodeUTF8(bytes.data(), size, "replace");
    }
    return tw::py::steal_checked(text);
}

int64_t byte_cap(nb::handle limit) {
    if (PyLong_Check(limit.ptr())) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(limit.ptr(), &overflow);
        if (overflow) return overflow > 0 ? INT64_MAX - 1 : -1;
        return std::max<long long>(value, -1);
    }
    if (PyFloat_Check(limit.ptr())) {
        double value = std::floor(PyFloat_AS_DOUBLE(limit.ptr()));
        if (std::isnan(value) || value >= 9.0e18) return INT64_MAX - 1;
        return value < 0 ? -1 : static_cast<int64_t>(value);
    }
    return INT64_MAX - 1;
}

std::optional<nb::object> read_document_text(const std::string& path, int64_t expected,
                                             int64_t cap) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return std::nullopt;
    size_t size = static_cast<size_t>(std::clamp<int64_t>(expected, 0, std::max<int64_t>(cap, 0)));

    // Most documents are ASCII: read straight into a new str and keep it when
    // every byte is below 0x80, so the text costs one copy of the file. The
    // object is not visible to anyone else until it is returned.
    nb::object text = tw::py::steal_checked(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
    char* data = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.ptr()));
    ssize_t got = 0;
    bool grew = false, ascii = false;
    char probe = 0;
    Py_BEGIN_ALLOW_THREADS got = read_up_to(file.get(), data, size);
    if (got == static_cast<ssize_t>(size)) {
        ssize_t extra = read_up_to(file.get(), &probe, 1);
        if (extra < 0) got = -1;
        grew = extra == 1;
    }
    if (got >= 0 && !grew)
        ascii = tw::ascii::is_ascii(std::string_view(data, static_cast<size_t>(got)));
    Py_END_ALLOW_THREADS if (got < 0) return std::nullopt;
    if (grew) {
        // A regular file is read again from its start, holding nothing else
        // meanwhile; a pipe cannot seek, and carries over what was read (its
        // stat size, normally nothing).
        std::string prefix;
        if (::lseek(file.get(), 0, SEEK_SET) != 0) {
            prefix.assign(data, static_cast<size_t>(got));
            prefix.push_back(probe);
        }
        text.reset();
        return read_grown_file(file.get(), std::move(prefix), cap);
    }
    if (!ascii) return decode_document(std::string_view(data, static_cast<size_t>(got)));
    if (static_cast<size_t>(got) < size) // the file shrank after its stat
        return tw::py::steal_checked(PyUnicode_DecodeASCII(data, got, nullptr));
    return text;
}

} // namespace tw::pagecase
