// Interpreter-side helpers of the native fast paths; see name_constants.h.
#include "pagecase/name_constants.h"

#include <algorithm>
#include <climits>

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
        } else if (std::optional<std::string> bytes = tw::py::fs_encode(member)) {
            out.add(std::move(*bytes));
        }
    }
    return true;
}

template <typename Left, typename Right>
bool code_points_less(std::size_t left_length, Left left, std::size_t right_length, Right right) {
    std::size_t common = std::min(left_length, right_length);
    for (std::size_t k = 0; k < common; ++k) {
        std::uint32_t a = left(k), b = right(k);
        if (a != b) return a < b;
    }
    return left_length < right_length;
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

CodePoints code_points(nb::handle text) {
    PyObject* ptr = text.ptr();
#if PY_VERSION_HEX < 0x030C0000
    tw::py::require(PyUnicode_READY(ptr));
#endif
    return {PyUnicode_DATA(ptr), static_cast<std::size_t>(PyUnicode_GET_LENGTH(ptr)),
            static_cast<int>(PyUnicode_KIND(ptr))};
}

LoweredKey::LoweredKey(std::string_view bytes) {
    if (tw::ascii::is_ascii(bytes))
        ascii_ = bytes;
    else
        lowered_ = tw::py::fs_decode(bytes).attr("lower")();
}

bool LoweredKey::operator<(const LoweredKey& other) const {
    auto ascii = [](std::string_view text) {
        return [text](std::size_t k) -> std::uint32_t {
            return tw::ascii::lower(static_cast<unsigned char>(text[k]));
        };
    };
    auto wide = [](CodePoints text) { return [text](std::size_t k) { return text.at(k); }; };
    if (!lowered_.is_valid() && !other.lowered_.is_valid())
        return code_points_less(ascii_.size(), ascii(ascii_), other.ascii_.size(),
                                ascii(other.ascii_));
    if (!lowered_.is_valid()) {
        CodePoints right = code_points(other.lowered_);
        return code_points_less(ascii_.size(), ascii(ascii_), right.length, wide(right));
    }
    CodePoints left = code_points(lowered_);
    if (!other.lowered_.is_valid())
        return code_points_less(left.length, wide(left), other.ascii_.size(), ascii(other.ascii_));
    CodePoints right = code_points(other.lowered_);
    return code_points_less(left.length, wide(left), right.length, wide(right));
}

std::size_t slice_length(nb::handle limit, std::size_t length) {
    nb::object slice = tw::py::steal_checked(PySlice_New(nullptr, limit.ptr(), nullptr));
    Py_ssize_t start = 0, stop = 0, step = 0;
    tw::py::require(PySlice_Unpack(slice.ptr(), &start, &stop, &step));
    return static_cast<std::size_t>(
        PySlice_AdjustIndices(static_cast<Py_ssize_t>(length), &start, &stop, step));
}

} // namespace tw::pagecase
