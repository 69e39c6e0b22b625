// What the native routes share with pathlib's own steps; see path_objects.h.
#include "pagecase/path_objects.h"

#include "common/gil.h"

namespace tw::pagecase {

nb::object path_argument_text(nb::handle raw) {
    if (PyUnicode_CheckExact(raw.ptr())) return nb::borrow(raw);
    nb::object text = tw::py::steal_checked(PyOS_FSPath(raw.ptr()));
    if (!PyUnicode_Check(text.ptr())) {
        tw::py::raise_format(PyExc_TypeError,
                             "argument should be a str object or an os.PathLike object returning "
                             "str, not %R",
                             reinterpret_cast<PyObject*>(Py_TYPE(text.ptr())));
    }
    return tw::py::str_of(text);
}

bool file_test(const std::string& path, FileType wanted) {
    FileType type;
    const int error =
        tw::py::run_native([&] { return file_status(path, type); }, tw::py::Gil::keep);
    if (error) tw::py::raise_os_error(error, tw::py::fs_decode(path));
    return type == wanted;
}

} // namespace tw::pagecase
