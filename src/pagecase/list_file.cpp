// Loading and saving list files; see list_file.h.
#include "pagecase/list_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "pagecase/core/atomic_file.h"
#include "pagecase/list_json.h"

namespace tw::pagecase {
namespace {

using tw::py::steal_checked;

nb::handle json_dumps_at_load; // held for the life of the process

// Reads the whole file into `content`; 0, or the errno that stopped it.
int read_file(const std::string& path, std::string& content) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    int error = 0;
    constexpr size_t kChunk = 16384;
    for (;;) {
        size_t old = content.size();
        content.resize(old + kChunk);
        ssize_t n = ::read(fd, content.data() + old, kChunk);
        int read_error = n < 0 ? errno : 0;
        content.resize(old + static_cast<size_t>(n > 0 ? n : 0));
        if (read_error == EINTR) continue;
        error = read_error;
        if (n <= 0) break;
    }
    ::close(fd);
    return error;
}

// What reading in text mode does to line ends: CR LF and a lone CR become LF.
void translate_newlines(std::string& text) {
    if (std::memchr(text.data(), '\r', text.size()) == nullptr) return;
    size_t out = 0;
    for (size_t in = 0; in < text.size(); ++in) {
        if (text[in] == '\r') {
            text[out++] = '\n';
            if (in + 1 < text.size() && text[in + 1] == '\n') ++in;
        } else {
            text[out++] = text[in];
        }
    }
    text.resize(out);
}

// `target.read_text(encoding="utf-8")`.
nb::object read_text(nb::handle target) {
    if (!is_native_path(target)) return target.attr("read_text")(nb::arg("encoding") = "utf-8");
    std::string path = path_bytes(target);
    std::string content;
    int error = 0;
    Py_BEGIN_ALLOW_THREADS error = read_file(path, content);
    Py_END_ALLOW_THREADS if (error) tw::py::raise_os_error(error, target);
    translate_newlines(content);
    return steal_checked(
        PyUnicode_DecodeUTF8(content.data(), static_cast<Py_ssize_t>(content.size()), nullptr));
}

} // namespace

// The native rendering while json.dumps is the one bound at load, else
// json.dumps itself.
std::string render_file(nb::handle entries) {
    nb::object dumps = ns[names::json].attr("dumps");
    if (dumps.is(json_dumps_at_load)) {
        if (std::optional<std::string> rendered = render_entries(entries))
            return std::move(*rendered);
    }
    nb::object text = dumps(entries, nb::arg("ensure_ascii") = false, nb::arg("indent") = 2);
    if (!PyUnicode_Check(text.ptr())) {
        nb::object type_name = text.type().attr("__name__");
        PyErr_Format(PyExc_TypeError, "data must be str, not %S", type_name.ptr());
        throw nb::python_error();
    }
    return utf8_escaping_surrogates(text);
}

nb::object entry_path(nb::handle entry) {
    if (PyDict_CheckExact(entry.ptr())) {
        PyObject* value = PyDict_GetItemWithError(entry.ptr(), nb::str("path").ptr());
        if (!value && PyErr_Occurred()) throw nb::python_error();
        return value ? nb::borrow(value) : nb::none();
    }
    return entry.attr("get")("path");
}

nb::list load_entries(nb::handle target) {
    try {
        nb::object data = ns[names::json].attr("loads")(read_text(target));
        nb::list entries;
        if (PyList_Check(data.ptr())) {
            for (nb::handle element : data)
                if (PyDict_Check(element.ptr()) && truthy(entry_path(element)))
                    entries.append(element);
        }
        return entries;
    } catch (nb::python_error& error) {
        if (tw::py::matches_any(error, PyExc_OSError, PyExc_ValueError)) return nb::list();
        throw;
    }
}

void write_file(nb::handle path, const std::string& content) {
    if (!is_native_path(path)) {
        // Not a pathlib path: its own write_text, as documented.
        nb::object text = steal_checked(
            PyUnicode_DecodeUTF8(content.data(), static_cast<Py_ssize_t>(content.size()), nullptr));
        try {
            path.attr("write_text")(text, nb::arg("encoding") = "utf-8");
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_OSError)) throw;
        }
        return;
    }
    std::string destination = path_bytes(path);
    int error = 0;
    Py_BEGIN_ALLOW_THREADS error = replace_file(destination, content, FileMode::like_replaced);
    Py_END_ALLOW_THREADS(void)
        error; // a failed save is silent: the list in memory keeps the change
}

void remember_json_dumps() {
    json_dumps_at_load = nb::object(ns[names::json].attr("dumps")).release();
}

} // namespace tw::pagecase
