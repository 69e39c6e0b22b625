// Native rendering of list files; see list_json.h.
//
// json.dumps with an indent runs the standard library's pure-Python encoder,
// which costs more than the rest of a save together; the lists are small and
// their values plain, so they are converted into the core's value model and
// rendered there, to the same text.
#include "pagecase/list_json.h"

#include <charconv>
#include <cmath>
#include <vector>

#include "pagecase/core/json_render.h"

namespace tw::pagecase {
namespace {

// Deeper nesting is left to json.dumps, whose own recursion limit then applies.
constexpr size_t kMaxDepth = 100;

template <typename Char> std::u32string widened(const Char* text, Py_ssize_t length) {
    return std::u32string(text, text + length);
}

std::u32string code_points(PyObject* text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return widened(PyUnicode_1BYTE_DATA(text), length);
    case PyUnicode_2BYTE_KIND:
        return widened(PyUnicode_2BYTE_DATA(text), length);
    default:
        return widened(PyUnicode_4BYTE_DATA(text), length);
    }
}

// int.__repr__.
std::string int_text(PyObject* value) {
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (!overflow) {
        char digits[24];
        auto end = std::to_chars(digits, digits + sizeof digits, small).ptr;
        return std::string(digits, end);
    }
    // Large values go through repr, with its limit on digits and its error.
    nb::object text = tw::py::steal_checked(PyObject_Repr(value));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw nb::python_error();
    return std::string(data, static_cast<size_t>(size));
}

// json's floatstr with allow_nan: float.__repr__ for finite values.
std::string float_text(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
    char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!text) throw nb::python_error();
    std::string out(text);
    PyMem_Free(text);
    return out;
}

// Python values of the exact types json.dumps renders without help, as the
// core's value model. No Python code runs meanwhile, so the containers cannot
// change under the walk.
class Converter {
  public:
    // False for anything json.dumps would have to decide on.
    bool convert(PyObject* obj, JsonValue& into) {
        using Kind = JsonValue::Kind;
        if (PyUnicode_CheckExact(obj)) {
            into.kind = Kind::string;
            into.string = code_points(obj);
        } else if (obj == Py_None) {
            into.kind = Kind::null;
        } else if (obj == Py_True || obj == Py_False) {
            into.kind = Kind::boolean;
            into.boolean = obj == Py_True;
        } else if (PyLong_CheckExact(obj)) {
            into.kind = Kind::number;
            into.number = int_text(obj);
        } else if (PyFloat_CheckExact(obj)) {
            into.kind = Kind::number;
            into.number = float_text(PyFloat_AS_DOUBLE(obj));
        } else if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
            return sequence(obj, into);
        } else if (PyDict_CheckExact(obj)) {
            return mapping(obj, into);
        } else {
            return false;
        }
        return true;
    }

  private:
    bool sequence(PyObject* obj, JsonValue& into) {
        into.kind = JsonValue::Kind::array;
        PyObject** items = PySequence_Fast_ITEMS(obj);
        Py_ssize_t size = PySequence_Fast_GET_SIZE(obj);
        if (size == 0) return true;
        if (!enter(obj)) return false;
        into.items.resize(static_cast<size_t>(size));
        for (Py_ssize_t k = 0; k < size; ++k)
            if (!convert(items[k], into.items[static_cast<size_t>(k)])) return false;
        open_.pop_back();
        return true;
    }

    bool mapping(PyObject* obj, JsonValue& into) {
        into.kind = JsonValue::Kind::object;
        if (PyDict_GET_SIZE(obj) == 0) return true;
        if (!enter(obj)) return false;
        into.items.reserve(static_cast<size_t>(PyDict_GET_SIZE(obj)));
        into.keys.reserve(static_cast<size_t>(PyDict_GET_SIZE(obj)));
        Py_ssize_t position = 0;
        PyObject *key, *item;
        while (PyDict_Next(obj, &position, &key, &item)) {
            if (!PyUnicode_CheckExact(key)) return false; // json.dumps converts or refuses it
            into.keys.push_back(code_points(key));
            if (!convert(item, into.items.emplace_back())) return false;
        }
        open_.pop_back();
        return true;
    }

    bool enter(PyObject* container) {
        if (open_.size() >= kMaxDepth) return false;
        for (PyObject* open : open_)
            if (open == container) return false; // json.dumps raises "Circular reference detected"
        open_.push_back(container);
        return true;
    }

    std::vector<PyObject*> open_;
};

// Whether `text` holds a high surrogate directly followed by a low one.
bool has_split_surrogate_pair(PyObject* text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t k = 0; k + 1 < length; ++k) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, k);
        Py_UCS4 next = PyUnicode_READ(kind, data, k + 1);
        if (ch >= 0xD800 && ch <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) return true;
    }
    return false;
}

} // namespace

std::optional<std::string> render_entries(nb::handle value) {
    JsonValue tree;
    if (!Converter().convert(value.ptr(), tree)) return std::nullopt;
    return render_json(tree);
}

std::string utf8_escaping_surrogates(nb::handle text) {
    PyObject* encoded = PyUnicode_AsUTF8String(text.ptr());
    if (!encoded) {
        // A split pair would load back as one character: raise what the
        // plain UTF-8 write raises instead.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError) ||
            has_split_surrogate_pair(text.ptr()))
            throw nb::python_error();
        PyErr_Clear();
        encoded = tw::py::check(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "backslashreplace"));
    }
    nb::object bytes = nb::steal(encoded);
    return std::string(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
}

} // namespace tw::pagecase
