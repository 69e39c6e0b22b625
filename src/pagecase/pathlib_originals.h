// pathlib's classes as the document store loaded them, and the questions
// about path objects that its call sites ask the registry of originals
// (common/originals.h) besides those about module attributes:
//
//     if (natively(original::Path, pathlib_as_loaded, PathText{raw})) ...
//
// Only the document store reads pathlib, so its watch of pathlib lives here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "common/originals.h"
#include "common/type_lookup.h"

// After Python.h, which the headers above include.
#include <structmember.h>

namespace tw::pagecase {

namespace nb = nanobind;
using tw::py::check;
using tw::py::keep_for_process;
using tw::py::kNativeFileSystem;
using tw::py::steal_checked;
using tw::py::type_lookup;

// pathlib's classes and what they held at load for every method and property
// the Python-level steps call, and those that CPython 3.10's versions of them
// call in turn (is_file, is_dir, exists and resolve call stat; home calls
// expanduser; read_bytes, read_text and write_text call open). A path object
// counts as native while its class still holds exactly those and the object
// carries no attributes of its own.
class PathlibOriginals {
  public:
    static constexpr const char* kWatchedNames[] = {
        // making, showing, comparing and joining paths
        "__new__", "__init__", "__getattribute__", "__fspath__", "__str__", "__eq__", "__hash__",
        "__lt__", "__truediv__", "__rtruediv__",
        // pure properties and methods, and the slot the text is kept in
        "name", "suffix", "parent", "parents", "parts", "is_absolute", "_str",
        // file-system methods
        "home", "expanduser", "resolve", "stat", "is_file", "is_dir", "exists", "iterdir", "open",
        "read_bytes", "read_text", "write_text", "mkdir", "chmod"};
    static constexpr std::size_t kWatched = std::size(kWatchedNames);

    // Called once while the module loads, with pathlib imported.
    void remember(nb::handle pathlib) {
        for (std::size_t k = 0; k < kWatched; ++k)
            keys_[k] = check(PyUnicode_InternFromString(kWatchedNames[k]));
        watch_classes();
        PurePath = keep_for_process(pathlib.attr("PurePath"));
        Path = keep_for_process(pathlib.attr("Path"));
        remember_class(concrete_, keep_for_process(pathlib.attr("PosixPath")));
        remember_class(pure_, keep_for_process(pathlib.attr("PurePosixPath")));
        remember_text_slot(method("_str"));
    }

    // `os.fspath(obj)` for a path whose pure properties may be read natively
    // (native_pure_path): `str(obj)`, which pathlib makes once and keeps in a
    // slot, read there without calling its methods.
    nb::object text(nb::handle obj) const {
        if (text_offset_ >= 0) {
            PyObject* kept =
                *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj.ptr()) + text_offset_);
            if (kept != nullptr && PyUnicode_Check(kept)) return nb::borrow(kept);
        }
        return steal_checked(PyOS_FSPath(obj.ptr()));
    }

    // PosixPath as loaded (the class native routes make paths of).
    nb::handle posix_path() const { return reinterpret_cast<PyObject*>(concrete_.cls); }

    // What PosixPath held at load under `name`, one of kWatchedNames
    // (`Path.is_file` is the default of PathList.prune).
    nb::handle method(const char* name) const {
        for (std::size_t k = 0; k < kWatched; ++k)
            if (std::string_view(kWatchedNames[k]) == name) return concrete_.held[k];
        return nb::handle();
    }

    // PosixPath itself still holds its methods as loaded.
    bool classes_as_loaded() { return class_holds(concrete_.cls, concrete_); }

    // `obj` is a PosixPath (or subclass) holding pathlib's methods as loaded.
    bool native_path(nb::handle obj) {
        // PosixPath itself: no instance dictionary to look at.
        if (Py_TYPE(obj.ptr()) == concrete_.cls) return class_holds(concrete_.cls, concrete_);
        return is_subclass(obj, concrete_) && class_holds(Py_TYPE(obj.ptr()), concrete_) &&
               carries_no_attributes(obj);
    }

    // `obj` is a pure path (PurePosixPath, PosixPath or a subclass) whose
    // pure properties may be read natively.
    bool native_pure_path(nb::handle obj) {
        if (Py_TYPE(obj.ptr()) == concrete_.cls) return class_holds(concrete_.cls, concrete_);
        if (is_subclass(obj, concrete_)) return native_path(obj);
        return is_subclass(obj, pure_) && class_holds(Py_TYPE(obj.ptr()), pure_) &&
               carries_no_attributes(obj);
    }

    // `obj` is a pathlib path whose class does not hold pathlib's methods as
    // loaded: `Path(obj)` would read its insides through them.
    bool patched_path(nb::handle obj) {
        return PyObject_TypeCheck(obj.ptr(), reinterpret_cast<PyTypeObject*>(PurePath.ptr())) &&
               !native_pure_path(obj);
    }

    nb::handle PurePath, Path; // as imported at load

  private:
    struct LoadTimeMethods {
        PyTypeObject* cls = nullptr;
        std::array<PyObject*, kWatched> held{}; // kept for the process
    };

    PyObject* held_by(PyTypeObject* cls, std::size_t k) const { return type_lookup(cls, keys_[k]); }

    void remember_class(LoadTimeMethods& methods, nb::handle cls) {
        methods.cls = reinterpret_cast<PyTypeObject*>(cls.ptr());
        for (std::size_t k = 0; k < kWatched; ++k) {
            PyObject* value = held_by(methods.cls, k);
            methods.held[k] = value ? keep_for_process(value) : nullptr;
        }
    }

    // Where instances keep `_str`, when it is an object slot.
    void remember_text_slot(nb::handle descriptor) {
        if (!descriptor || Py_TYPE(descriptor.ptr()) != &PyMemberDescr_Type) return;
        const PyMemberDef* member =
            reinterpret_cast<PyMemberDescrObject*>(descriptor.ptr())->d_member;
#if PY_VERSION_HEX >= 0x030C0000
        constexpr int kObjectSlot = Py_T_OBJECT_EX;
#else
        constexpr int kObjectSlot = T_OBJECT_EX;
#endif
        if (member->type == kObjectSlot) text_offset_ = member->offset;
    }

    bool holds_all(PyTypeObject* cls, const LoadTimeMethods& methods) const {
        for (std::size_t k = 0; k < kWatched; ++k)
            if (held_by(cls, k) != methods.held[k]) return false;
        return true;
    }

    // A class's verdict holds until the class or one of its bases changes.
    // From CPython 3.12 on, dictionary watchers say when a class's own
    // dictionary or one in its method resolution order changes, and the
    // order itself is kept to be compared. Before 3.12 there is no public
    // way to learn it: the interpreter's version tag of the class (which it
    // renumbers on any such change) stands in, as CPython 3.10 and 3.11 keep
    // it (tested on 3.10.13 and 3.11.7); 0 means none (checked every call).
#if PY_VERSION_HEX >= 0x030C0000
    struct Stamp {
        std::uint64_t generation = 0;
        PyObject* mro = nullptr; // a reference is held while a verdict keeps it
        bool operator==(const Stamp& other) const {
            return generation == other.generation && mro == other.mro;
        }
    };
    static inline std::uint64_t generation_ = 1;
    static inline int watcher_ = -1;

    static int changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
        ++generation_;
        return 0;
    }

    static void watch_classes() {
        watcher_ = PyDict_AddWatcher(&changed);
        if (watcher_ < 0) throw nb::python_error();
    }

    // The stamp of a class whose dictionaries are watched from now on.
    static Stamp stamp_of(PyTypeObject* cls) {
        PyObject* mro = cls->tp_mro;
        if (!mro) return {};
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(mro); ++k) {
            PyObject* dict =
                PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, k)));
            const int watched = dict ? PyDict_Watch(watcher_, dict) : 0;
            Py_XDECREF(dict);
            if (watched < 0) throw nb::python_error();
        }
        return {generation_, mro};
    }
    static Stamp current_stamp(PyTypeObject* cls) { return {generation_, cls->tp_mro}; }
    static bool valid(const Stamp& stamp) { return stamp.mro != nullptr; }
    // A verdict's stamp holds its order of classes, so that a new order
    // cannot take the old one's address; no destructor, so nothing is
    // released after the interpreter has gone.
    static void keep(Stamp& kept, const Stamp& stamp) {
        Py_XINCREF(stamp.mro);
        Py_XDECREF(kept.mro);
        kept = stamp;
    }
#else
    using Stamp = unsigned int;
    static void watch_classes() {}
    static Stamp tag_of(PyTypeObject* cls) {
        if (!PyType_HasFeature(cls, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
        return cls->tp_version_tag;
    }
    static Stamp stamp_of(PyTypeObject* cls) { return tag_of(cls); }
    static Stamp current_stamp(PyTypeObject* cls) { return tag_of(cls); }
    static bool valid(Stamp stamp) { return stamp != 0; }
    static void keep(Stamp& kept, Stamp stamp) { kept = stamp; }
#endif

    bool class_holds(PyTypeObject* cls, const LoadTimeMethods& methods) {
        const Stamp now = current_stamp(cls);
        if (valid(now))
            for (const Verdict& verdict : verdicts_)
                if (verdict.cls == cls && verdict.stamp == now) return verdict.native;
        const Stamp stamp = stamp_of(cls);
        const bool native = holds_all(cls, methods);
        if (valid(stamp) && stamp == current_stamp(cls)) {
            Verdict& verdict = verdicts_[next_verdict_];
            keep(verdict.stamp, stamp);
            verdict.cls = cls;
            verdict.native = native;
            next_verdict_ = (next_verdict_ + 1) % verdicts_.size();
        }
        return native;
    }

    // Instances of a subclass without __slots__ may carry attributes that
    // shadow the methods; any instance attribute at all sends the call the
    // Python-level way, where such shadowing takes effect.
    static bool carries_no_attributes(nb::handle obj) {
        PyTypeObject* cls = Py_TYPE(obj.ptr());
        bool has_dict = cls->tp_dictoffset != 0;
#ifdef Py_TPFLAGS_MANAGED_DICT
        has_dict = has_dict || PyType_HasFeature(cls, Py_TPFLAGS_MANAGED_DICT);
#endif
        if (!has_dict) return true; // pathlib's own classes: __slots__ only
        nb::object dict = steal_checked(PyObject_GenericGetDict(obj.ptr(), nullptr));
        return PyDict_Check(dict.ptr()) && PyDict_GET_SIZE(dict.ptr()) == 0;
    }

    static bool is_subclass(nb::handle obj, const LoadTimeMethods& methods) {
        return PyType_IsSubtype(Py_TYPE(obj.ptr()), methods.cls) != 0;
    }

    struct Verdict {
        PyTypeObject* cls = nullptr;
        Stamp stamp{};
        bool native = false;
    };

    std::array<PyObject*, kWatched> keys_{}; // interned, kept for the process
    LoadTimeMethods concrete_, pure_;        // PosixPath, PurePosixPath
    std::array<Verdict, 8> verdicts_{};
    std::size_t next_verdict_ = 0;
    Py_ssize_t text_offset_ = -1; // of the `_str` slot, when there is one
};

// pathlib as the module loaded it; only the document store remembers it.
inline PathlibOriginals pathlib_originals;

// ------------------------------------------------ the questions

// What a call may depend on besides Originals: pathlib's classes as loaded,
// a path argument read natively, one whose pure properties are read
// natively, and an argument `Path(raw)` takes the text of (a str, or a path
// of a class as loaded).
struct PathlibAsLoaded {};
inline constexpr PathlibAsLoaded pathlib_as_loaded{};
struct PathArgument {
    nb::handle object;
};
struct PurePathArgument {
    nb::handle object;
};
struct PathText {
    nb::handle object;
};
// An argument that is the very function PosixPath held at load under `name`,
// one of kWatchedNames (`Path.is_file` given as PathList.prune's check).
struct PathlibMethod {
    nb::handle object;
    const char* name;
};

inline bool as_loaded(PathlibAsLoaded) {
    return kNativeFileSystem && pathlib_originals.classes_as_loaded();
}
inline bool as_loaded(PathArgument argument) {
    return kNativeFileSystem && pathlib_originals.native_path(argument.object);
}
inline bool as_loaded(PurePathArgument argument) {
    return kNativeFileSystem && pathlib_originals.native_pure_path(argument.object);
}
inline bool as_loaded(PathText argument) {
    return kNativeFileSystem && !pathlib_originals.patched_path(argument.object);
}
inline bool as_loaded(PathlibMethod argument) {
    return argument.object.is(pathlib_originals.method(argument.name));
}

} // namespace tw::pagecase
