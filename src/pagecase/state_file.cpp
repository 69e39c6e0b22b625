// Reading and saving the state directory's files; see state_file.h.
#include "pagecase/state_file.h"

#include "common/gil.h"

namespace tw::pagecase {
namespace {

// The file at the end of `path`'s trusted links, opened without following a
// link that took its place meanwhile.
int read_trusted(const std::string& path, Owner owner, std::string& bytes) {
    LinkEnd end;
    if (int error = follow_trusted_links(path, end)) return error;
    return read_regular_file(end.path, kMaxStateFileBytes, owner, bytes);
}

} // namespace

std::optional<nb::object> read_state_text(const std::string& path, Owner owner) {
    // A state file is a few kilobytes, read without a wait (a FIFO or device
    // is refused unopened); only a planted large one runs long.
    std::string bytes;
    const int error = tw::py::run_native(
        [&] {
            const int read = read_trusted(path, owner, bytes);
            translate_newlines(bytes);
            return read;
        },
        tw::py::Gil::release_when_long);
    if (error) return std::nullopt;
    PyObject* text =
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
    if (!text) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw nb::python_error();
        PyErr_Clear();
        return std::nullopt;
    }
    return nb::steal(text);
}

void save_state_file(const std::string& path, std::string_view content, FileMode mode) {
    // A save waits for stable storage (fsync).
    (void)tw::py::run_native([&] { return replace_file(path, content, mode); },
                             tw::py::Gil::release);
}

void require_text_to_write(nb::handle data) {
    if (PyUnicode_Check(data.ptr())) return;
    nb::object type_name = data.attr("__class__").attr("__name__");
    tw::py::raise_format(PyExc_TypeError, "data must be str, not %S", type_name.ptr());
}

} // namespace tw::pagecase
