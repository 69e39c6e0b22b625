// Reading a document file and decoding its text; see document_file.h.
#include "pagecase/document_file.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "common/ascii.h"
#include "common/gil.h"
#include "common/interruption.h"
#include "pagecase/core/read_file.h"

namespace tw::pagecase {
namespace {

using tw::py::Gil;
using tw::py::run_native;
using tw::py::steal_checked;
using tw::py::truthy;

constexpr Py_UCS4 kByteOrderMark = 0xFEFF;

// The first read of a document: as many bytes as its stat announced, then one
// probe for more.
struct FirstRead {
    int error = 0;
    std::size_t size = 0; // bytes read into the buffer
    bool grew = false;    // the file holds more than announced; `probe` is the next byte
    char probe = 0;
    bool ascii = false;
};

FirstRead read_announced(int fd, char* buffer, std::size_t size) {
    FirstRead first;
    first.error = fill(fd, buffer, size, first.size);
    if (!first.error && first.size == size) {
        std::size_t extra = 0;
        first.error = fill(fd, &first.probe, 1, extra);
        first.grew = extra == 1;
    }
    if (!first.error && !first.grew)
        first.ascii = tw::ascii::is_ascii(std::string_view(buffer, first.size));
    return first;
}

// The rest of a file after `content`, decoded; nothing when the read fails or
// more than `cap` bytes turn up.
std::optional<nb::object> read_rest_of_file(int fd, std::string content, std::size_t cap, Gil gil) {
    if (run_native([&] { return read_rest(fd, content, cap); }, gil) != 0) return std::nullopt;
    return decode_document(content);
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
    return steal_checked(text);
}

nb::object decode_read_bytes(nb::handle raw) {
    if (PyBytes_CheckExact(raw.ptr()))
        return decode_document(std::string_view(PyBytes_AS_STRING(raw.ptr()),
                                                static_cast<size_t>(PyBytes_GET_SIZE(raw.ptr()))));
    nb::object text;
    try {
        text = raw.attr("decode")("utf-8");
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_UnicodeDecodeError)) throw;
    }
    if (!text.is_valid()) text = raw.attr("decode")("utf-8", nb::arg("errors") = "replace");
    if (PyUnicode_CheckExact(text.ptr())) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
        if (length > 0 && PyUnicode_READ_CHAR(text.ptr(), 0) == kByteOrderMark)
            return steal_checked(PyUnicode_Substring(text.ptr(), 1, length));
        return text;
    }
    if (truthy(text.attr("startswith")("\xEF\xBB\xBF"))) // U+FEFF, as UTF-8 for nanobind
        return text[nb::slice(nb::int_(1), nb::none(), nb::none())];
    return text;
}

int64_t byte_cap(nb::handle limit) {
    if (PyLong_Check(limit.ptr())) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(limit.ptr(), &overflow);
        if (value == -1 && PyErr_Occurred()) throw nb::python_error();
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

namespace {

// Opens the document without waiting, and lets what the descriptor holds
// decide how it is read: a regular file as its size says, anything else (a
// FIFO, a device) without the lock, as it may wait for good. A FIFO is read
// once its writer has come, as a blocking open would have waited for it; it
// is never opened twice, lest a writer that came and went in between leave
// its data behind. A stat taken before decides nothing: another process may
// have swapped the file since.
struct OpenedDocument {
    platform::FileDescriptor file;
    int64_t size = 0;
    Gil gil = Gil::keep;
};

std::optional<OpenedDocument> open_document(const std::string& path) {
    constexpr unsigned kFlags =
        platform::kReadOnly | platform::kNonBlocking | platform::kNoControllingTerminal;
    OpenedDocument opened;
    platform::FileDescriptor& file = opened.file;
    if (run_native(
            [&] { return tw::interruption::retried([&] { return file.open(path, kFlags); }); },
            Gil::keep) != 0)
        return std::nullopt;
    platform::FileInfo status;
    if (platform::open_status(opened.file.get(), status) != 0) return std::nullopt;
    if (status.kind == platform::FileKind::directory) return std::nullopt; // EISDIR
    if (status.kind == platform::FileKind::regular) {
        opened.size = status.size;
        opened.gil = tw::py::release_for_file(true, status.size);
        return opened;
    }
    opened.gil = Gil::release;
    if (run_native([&] { return wait_for_data(opened.file.get()); }, opened.gil) != 0)
        return std::nullopt;
    return opened;
}

} // namespace

std::optional<nb::object> read_document_text(const std::string& path, int64_t cap) {
    std::optional<OpenedDocument> opened = open_document(path);
    if (!opened) return std::nullopt;
    platform::FileDescriptor& file = opened->file;
    const Gil gil = opened->gil;
    const int64_t expected = opened->size;
    const auto limit = static_cast<std::size_t>(std::max<int64_t>(cap, 0));
    const auto size = std::min(static_cast<std::size_t>(std::max<int64_t>(expected, 0)), limit);

    // Most documents are ASCII: read straight into a new str and keep it when
    // every byte is below 0x80, so the text costs one copy of the file. The
    // str is ours alone until it is returned, so its buffer may be filled
    // without the GIL.
    nb::object text = steal_checked(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
    char* data = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.ptr()));
    FirstRead first = run_native([&] { return read_announced(file.get(), data, size); }, gil);
    if (first.error) return std::nullopt;
    std::string_view got(data, first.size);
    if (first.grew) {
        // Longer than its stat said. A regular file is read again from its
        // start, holding nothing else meanwhile; a pipe cannot seek, and
        // carries over what was read (its stat size, normally nothing).
        std::string content;
        if (platform::seek_to_start(file.get()) != 0) {
            content.assign(got);
            content.push_back(first.probe);
        }
        text.reset();
        // How long the rest takes is not known: the lock goes once it is long.
        return read_rest_of_file(file.get(), std::move(content), limit,
                                 gil == Gil::keep ? Gil::release_when_long : gil);
    }
    if (!first.ascii) return decode_document(got);
    if (got.size() < size) // the file shrank after its stat
        return steal_checked(
            PyUnicode_DecodeASCII(got.data(), static_cast<Py_ssize_t>(got.size()), nullptr));
    return text;
}

} // namespace tw::pagecase
