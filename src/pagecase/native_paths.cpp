// When native code may stand in for pathlib; see native_paths.h.
#include "pagecase/native_paths.h"

#include <array>
#include <iterator>

#include "common/gil.h"

namespace tw::pagecase {
namespace {

using tw::py::steal_checked;

// Every method and property of pathlib's classes that a documented step
// calls, and those that CPython 3.10's versions of them call in turn
// (is_file, is_dir, exists and resolve call stat; home calls expanduser;
// read_bytes, read_text and write_text call open).
constexpr const char* kWatchedNames[] = {
    // making, showing, comparing and joining paths
    "__new__", "__init__", "__getattribute__", "__fspath__", "__str__", "__eq__", "__hash__",
    "__lt__", "__truediv__", "__rtruediv__",
    // pure properties and methods
    "name", "suffix", "parent", "parents", "parts", "is_absolute",
    // file-system methods
    "home", "expanduser", "resolve", "stat", "is_file", "is_dir", "exists", "iterdir", "open",
    "read_bytes", "read_text", "write_text", "mkdir", "chmod"};
constexpr std::size_t kWatched = std::size(kWatchedNames);

std::array<PyObject*, kWatched> watched_keys{}; // interned, kept for the process

// What one of pathlib's classes held at load for each watched name (null
// where it has none). The references are kept for the process, so no other
// object can come to live at those addresses.
struct LoadTimeMethods {
    PyTypeObject* cls = nullptr;
    std::array<PyObject*, kWatched> held{};
};
LoadTimeMethods concrete, pure; // PosixPath, PurePosixPath

// The attribute `name` resolves to on the class, through its bases; the
// lookup sets no error.
PyObject* held_by(PyTypeObject* cls, std::size_t k) {
    return _PyType_Lookup(cls, watched_keys[k]);
}

void remember(LoadTimeMethods& methods, nb::handle cls) {
    methods.cls = reinterpret_cast<PyTypeObject*>(cls.ptr());
    for (std::size_t k = 0; k < kWatched; ++k) {
        PyObject* value = held_by(methods.cls, k);
        Py_XINCREF(value);
        methods.held[k] = value;
    }
}

bool holds_all(PyTypeObject* cls, const LoadTimeMethods& methods) {
    for (std::size_t k = 0; k < kWatched; ++k)
        if (held_by(cls, k) != methods.held[k]) return false;
    return true;
}

// The interpreter gives a class a new version number whenever the class or
// one of its bases changes, so what was found for a class holds for as long
// as it keeps its number. 0: no valid number (unnumbered classes are checked
// at every call).
unsigned int version_of(PyTypeObject* cls) {
#if PY_VERSION_HEX < 0x030C0000
    if (!PyType_HasFeature(cls, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
    return cls->tp_version_tag;
}

struct Verdict {
    PyTypeObject* cls = nullptr;
    unsigned int version = 0;
    bool native = false;
};
std::array<Verdict, 8> verdicts;
std::size_t next_verdict = 0;

bool class_holds(PyTypeObject* cls, const LoadTimeMethods& methods) {
    unsigned int version = version_of(cls);
    if (version != 0)
        for (const Verdict& verdict : verdicts)
            if (verdict.cls == cls && verdict.version == version) return verdict.native;
    bool native = holds_all(cls, methods);
    version = version_of(cls); // the lookups may have numbered it
    if (version != 0) {
        verdicts[next_verdict] = {cls, version, native};
        next_verdict = (next_verdict + 1) % verdicts.size();
    }
    return native;
}

// Instances of a subclass without __slots__ may carry attributes that shadow
// the methods; any instance attribute at all sends the call the documented
// way, where such shadowing takes effect.
bool carries_no_attributes(nb::handle obj) {
    PyTypeObject* cls = Py_TYPE(obj.ptr());
    bool has_dict = cls->tp_dictoffset != 0;
#ifdef Py_TPFLAGS_MANAGED_DICT
    has_dict = has_dict || PyType_HasFeature(cls, Py_TPFLAGS_MANAGED_DICT);
#endif
    if (!has_dict) return true; // pathlib's own classes: __slots__ only
    nb::object dict = steal_checked(PyObject_GenericGetDict(obj.ptr(), nullptr));
    return PyDict_Check(dict.ptr()) && PyDict_GET_SIZE(dict.ptr()) == 0;
}

bool is_subclass(nb::handle obj, const LoadTimeMethods& methods) {
    return PyType_IsSubtype(Py_TYPE(obj.ptr()), methods.cls) != 0;
}

} // namespace

void remember_pathlib_methods() {
    for (std::size_t k = 0; k < kWatched; ++k)
        watched_keys[k] = tw::py::check(PyUnicode_InternFromString(kWatchedNames[k]));
    remember(concrete, pathlib_classes.PosixPath);
    remember(pure, pathlib_classes.PurePosixPath);
}

bool is_native_path(nb::handle obj) {
    return is_subclass(obj, concrete) && class_holds(Py_TYPE(obj.ptr()), concrete) &&
           carries_no_attributes(obj);
}

bool is_native_pure_path(nb::handle obj) {
    if (is_subclass(obj, concrete)) return is_native_path(obj);
    return is_subclass(obj, pure) && class_holds(Py_TYPE(obj.ptr()), pure) &&
           carries_no_attributes(obj);
}

bool path_class_native() {
    return ns.unchanged(names::Path) && class_holds(concrete.cls, concrete);
}

bool is_patched_path(nb::handle obj) {
    return PyObject_TypeCheck(obj.ptr(),
                              reinterpret_cast<PyTypeObject*>(pathlib_classes.PurePath.ptr())) &&
           !is_native_pure_path(obj);
}

nb::object path_argument_text(nb::handle raw) {
    if (PyUnicode_CheckExact(raw.ptr())) return nb::borrow(raw);
    nb::object text = steal_checked(PyOS_FSPath(raw.ptr()));
    if (!PyUnicode_Check(text.ptr())) {
        PyErr_Format(PyExc_TypeError,
                     "argument should be a str object or an os.PathLike object returning str, "
                     "not %R",
                     reinterpret_cast<PyObject*>(Py_TYPE(text.ptr())));
        throw nb::python_error();
    }
    return tw::py::str_of(text);
}

bool file_test(const std::string& path, FileType wanted) {
    FileStatus status = tw::py::without_gil([&] { return file_status(path); });
    if (status.error != 0) tw::py::raise_os_error(status.error, tw::py::fs_decode(path));
    return status.type == wanted;
}

} // namespace tw::pagecase
