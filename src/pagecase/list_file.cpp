// Loading and saving list files; see list_file.h.
#include "pagecase/list_file.h"

#include "pagecase/list_json.h"
#include "pagecase/path_objects.h"
#include "pagecase/state_file.h"

namespace tw::pagecase {
namespace {

using tw::py::steal_checked;

// `target.read_text(encoding="utf-8")`, or nothing for a damaged file where
// the read is native.
std::optional<nb::object> read_text(nb::handle target) {
    if (!natively(PathArgument{target}))
        return nb::object(target.attr("read_text")(nb::arg("encoding") = "utf-8"));
    return read_state_text(*path_bytes(target, Unnamable::raise), Owner::anyone);
}

// `json.loads(text)`, or nothing for text nested too deeply to parse (the
// RecursionError of json.loads): such a file is damaged like any other, and
// must not keep the viewer from starting.
std::optional<nb::object> parse(nb::handle text) {
    try {
        return nb::object(ns[names::json].attr("loads")(text));
    } catch (nb::python_error& error) {
        if (error.matches(PyExc_RecursionError)) return std::nullopt;
        throw;
    }
}

// What saving writes: the native rendering while json.dumps is the one bound
// at load, else what json.dumps returns.
struct Rendered {
    std::optional<std::string> bytes;
    nb::object text;
};

Rendered render(nb::handle entries) {
    if (natively(original::json_dumps)) {
        if (std::optional<std::string> bytes = render_entries(entries))
            return {std::move(bytes), nb::object()};
    }
    nb::object dumps = ns[names::json].attr("dumps");
    return {std::nullopt, dumps(entries, nb::arg("ensure_ascii") = false, nb::arg("indent") = 2)};
}

} // namespace

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
        std::optional<nb::object> text = read_text(target);
        if (!text) return nb::list();
        std::optional<nb::object> data = parse(*text);
        nb::list entries;
        if (data && PyList_Check(data->ptr())) {
            for (nb::handle element : *data)
                if (PyDict_Check(element.ptr()) && truthy(entry_path(element)))
                    entries.append(element);
        }
        return entries;
    } catch (nb::python_error& error) {
        if (tw::py::matches_any(error, PyExc_OSError, PyExc_ValueError)) return nb::list();
        throw;
    }
}

void save_entries(nb::handle self) {
    Rendered rendered = render(self.attr("entries"));
    nb::object path = self.attr("path");
    if (natively(PathArgument{path})) {
        if (!rendered.bytes) {
            require_text_to_write(rendered.text);
            rendered.bytes = utf8_escaping_surrogates(rendered.text);
        }
        save_state_file(*path_bytes(path, Unnamable::raise), *rendered.bytes,
                        FileMode::like_replaced);
        return;
    }
    // Not a pathlib path of its own class, or a build without the native
    // route: the save is the path's own write_text(text, encoding="utf-8").
    if (rendered.bytes) {
        rendered.text = steal_checked(PyUnicode_DecodeUTF8(
            rendered.bytes->data(), static_cast<Py_ssize_t>(rendered.bytes->size()), nullptr));
    } else if (PyUnicode_Check(rendered.text.ptr()) &&
               !PyUnicode_AsUTF8AndSize(rendered.text.ptr(), nullptr)) {
        // Text UTF-8 cannot hold (lone surrogates) raises the UnicodeEncodeError
        // write_text would raise, but before the file is opened: write_text
        // truncates the stored list first, and a failed save must keep it.
        throw nb::python_error();
    }
    try {
        path.attr("write_text")(rendered.text, nb::arg("encoding") = "utf-8");
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_OSError)) throw;
    }
}

} // namespace tw::pagecase
