// The native routes' snapshots of the module's constants; see name_constants.h.
#include "pagecase/name_constants.h"

#include <climits>

#include "pagecase/path_objects.h"

namespace tw::pagecase {
namespace {

bool mirrorable(nb::handle collection) {
    PyObject* ptr = collection.ptr();
    return PyFrozenSet_CheckExact(ptr) || PySet_CheckExact(ptr) || PyList_CheckExact(ptr) ||
           PyTuple_CheckExact(ptr);
}

// The members of a collection of str, encoded; false when it holds anything
// else. Members that no file name can equal are left out.
bool mirror(nb::handle collection, NameSet& out, bool ascii_only) {
    if (!mirrorable(collection)) return false;
    for (nb::handle member : collection) {
        if (!PyUnicode_CheckExact(member.ptr())) return false;
        if (ascii_only) {
            if (!PyUnicode_IS_ASCII(member.ptr())) continue;
            out.add(std::string(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(member.ptr())),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(member.ptr()))));
        } else if (std::optional<std::string> bytes = path_bytes(member, Unnamable::refuse)) {
            out.add(std::move(*bytes));
        }
    }
    return true;
}

} // namespace

std::optional<NameRules> name_rules(nb::handle skip_dirs, nb::handle markdown_suffixes) {
    NameRules rules;
    if (!mirror(skip_dirs, rules.skip_dirs, false)) return std::nullopt;
    rules.every_suffix_asks = !mirror(markdown_suffixes, rules.markdown_suffixes, true);
    return rules;
}

const NameRules* frozen_suffix_rules(nb::handle markdown_suffixes) {
    static PyObject* mirrored = nullptr; // a reference, held until another set comes
    static NameRules rules;
    if (markdown_suffixes.ptr() == mirrored) return &rules;
    if (!PyFrozenSet_CheckExact(markdown_suffixes.ptr())) return nullptr;
    NameRules made;
    made.every_suffix_asks = !mirror(markdown_suffixes, made.markdown_suffixes, true);
    rules = std::move(made);
    Py_XSETREF(mirrored, Py_NewRef(markdown_suffixes.ptr()));
    return &rules;
}

std::optional<long long> int_constant(nb::handle value) {
    if (!PyLong_CheckExact(value.ptr()) && !PyBool_Check(value.ptr())) return std::nullopt;
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (number == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow) return overflow > 0 ? LLONG_MAX : LLONG_MIN;
    return number;
}

bool markdown_name_by_steps(std::string_view name, nb::handle markdown_suffixes) {
    return lowered_suffix_in(tw::py::fs_decode(name), markdown_suffixes);
}

std::size_t slice_length(nb::handle limit, std::size_t length) {
    nb::object slice = tw::py::steal_checked(PySlice_New(nullptr, limit.ptr(), nullptr));
    Py_ssize_t start = 0, stop = 0, step = 0;
    tw::py::require(PySlice_Unpack(slice.ptr(), &start, &stop, &step));
    return static_cast<std::size_t>(
        PySlice_AdjustIndices(static_cast<Py_ssize_t>(length), &start, &stop, step));
}

} // namespace tw::pagecase
