// Native rendering of list files; see list_json.h.
//
// json.dumps with an indent runs the standard library's pure-Python encoder,
// which costs more than the rest of a save together; the lists are small and
// their values plain, so they are rendered here, to the same text.
#include "pagecase/list_json.h"

#include <charconv>
#include <cmath>
#include <vector>

namespace tw::pagecase {
namespace {

constexpr int kIndentWidth = 2;
// Deeper nesting is left to json.dumps, whose own recursion limit then applies.
constexpr size_t kMaxDepth = 100;

void append_escape(std::string& out, Py_UCS4 ch) {
    static const char digits[] = "0123456789abcdef";
    const char escape[] = {'\\',
                           'u',
                           digits[(ch >> 12) & 15],
                           digits[(ch >> 8) & 15],
                           digits[(ch >> 4) & 15],
                           digits[ch & 15]};
    out.append(escape, sizeof escape);
}

void append_utf8(std::string& out, Py_UCS4 ch) {
    if (ch < 0x800) {
        out += static_cast<char>(0xC0 | (ch >> 6));
    } else if (ch < 0x10000) {
        out += static_cast<char>(0xE0 | (ch >> 12));
        out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (ch >> 18));
        out += static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
    }
    out += static_cast<char>(0x80 | (ch & 0x3F));
}

// The string literal of json's encode_basestring (quote, backslash and
// control characters escaped, the rest as itself), then UTF-8 with lone
// surrogates escaped.
template <typename Char>
void append_literal(std::string& out, const Char* text, Py_ssize_t length) {
    out += '"';
    for (Py_ssize_t k = 0; k < length; ++k) {
        Py_UCS4 ch = text[k];
        switch (ch) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (ch < 0x20 || (ch >= 0xD800 && ch <= 0xDFFF))
                append_escape(out, ch);
            else if (ch < 0x80)
                out += static_cast<char>(ch);
            else
                append_utf8(out, ch);
        }
    }
    out += '"';
}

void append_literal(std::string& out, PyObject* text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        append_literal(out, PyUnicode_1BYTE_DATA(text), length);
        break;
    case PyUnicode_2BYTE_KIND:
        append_literal(out, PyUnicode_2BYTE_DATA(text), length);
        break;
    default:
        append_literal(out, PyUnicode_4BYTE_DATA(text), length);
        break;
    }
}

// int.__repr__.
void append_int(std::string& out, PyObject* value) {
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (!overflow) {
        char digits[24];
        auto end = std::to_chars(digits, digits + sizeof digits, small).ptr;
        out.append(digits, end);
        return;
    }
    // Large values go through repr, with its limit on digits and its error.
    nb::object text = tw::py::steal_checked(PyObject_Repr(value));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw nb::python_error();
    out.append(data, static_cast<size_t>(size));
}

// json's floatstr with allow_nan: float.__repr__ for finite values.
void append_float(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
    } else if (std::isinf(value)) {
        out += value > 0 ? "Infinity" : "-Infinity";
    } else {
        char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (!text) throw nb::python_error();
        out += text;
        PyMem_Free(text);
    }
}

class Renderer {
  public:
    bool value(PyObject* obj, int level) {
        if (PyUnicode_CheckExact(obj))
            append_literal(out, obj);
        else if (obj == Py_None)
            out += "null";
        else if (obj == Py_True)
            out += "true";
        else if (obj == Py_False)
            out += "false";
        else if (PyLong_CheckExact(obj))
            append_int(out, obj);
        else if (PyFloat_CheckExact(obj))
            append_float(out, PyFloat_AS_DOUBLE(obj));
        else if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj))
            return sequence(obj, level);
        else if (PyDict_CheckExact(obj))
            return mapping(obj, level);
        else
            return false;
        return true;
    }

    std::string out;

  private:
    bool sequence(PyObject* obj, int level) {
        PyObject** items = PySequence_Fast_ITEMS(obj);
        Py_ssize_t size = PySequence_Fast_GET_SIZE(obj);
        if (size == 0) {
            out += "[]";
            return true;
        }
        if (!enter(obj)) return false;
        out += '[';
        for (Py_ssize_t k = 0; k < size; ++k) {
            if (k > 0) out += ',';
            newline(level + 1);
            if (!value(items[k], level + 1)) return false;
        }
        newline(level);
        out += ']';
        open_.pop_back();
        return true;
    }

    bool mapping(PyObject* obj, int level) {
        if (PyDict_GET_SIZE(obj) == 0) {
            out += "{}";
            return true;
        }
        if (!enter(obj)) return false;
        out += '{';
        Py_ssize_t position = 0;
        PyObject *key, *item;
        bool first = true;
        while (PyDict_Next(obj, &position, &key, &item)) {
            if (!PyUnicode_CheckExact(key)) return false; // json.dumps converts or refuses it
            if (!first) out += ',';
            first = false;
            newline(level + 1);
            append_literal(out, key);
            out += ": ";
            if (!value(item, level + 1)) return false;
        }
        newline(level);
        out += '}';
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

    void newline(int level) {
        out += '\n';
        out.append(static_cast<size_t>(level * kIndentWidth), ' ');
    }

    std::vector<PyObject*> open_;
};

} // namespace

std::optional<std::string> render_entries(nb::handle value) {
    Renderer renderer;
    if (!renderer.value(value.ptr(), 0)) return std::nullopt;
    return std::move(renderer.out);
}

std::string utf8_escaping_surrogates(nb::handle text) {
    PyObject* encoded = PyUnicode_AsUTF8String(text.ptr());
    if (!encoded) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
        PyErr_Clear();
        encoded = tw::py::check(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "backslashreplace"));
    }
    nb::object bytes = nb::steal(encoded);
    return std::string(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
}

} // namespace tw::pagecase
