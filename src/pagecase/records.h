// The record classes of the document store, `Document` and the persisted
// lists: dataclasses whose fields are declared once, here, by name,
// annotation and default. The annotations are text, as `from __future__
// import annotations` leaves them, and are exactly what the stubs declare.
#pragma once

#include <initializer_list>
#include <utility>

#include "common/classes.h"
#include "pagecase/module_state.h"

namespace tw::pagecase {

struct RecordField {
    enum class Default { required, new_list, none };
    const char* name;
    const char* annotation;
    Default default_value = Default::required;
};

// A dataclass of this module: the class `name` with `bases`, its docstring
// and fields, its functions attached by `attach(tw::py::Members&)`, then
// decorated with `dataclasses.dataclass(frozen=frozen)`.
template <typename Attach>
nb::object make_record(const char* name, nb::tuple bases, const char* doc,
                       std::initializer_list<RecordField> fields, bool frozen, Attach&& attach) {
    nb::dict annotations, body;
    for (const RecordField& field : fields) {
        annotations[field.name] = field.annotation;
        if (field.default_value == RecordField::Default::new_list)
            body[field.name] = ns[names::field](
                nb::arg("default_factory") = nb::handle(reinterpret_cast<PyObject*>(&PyList_Type)));
        else if (field.default_value == RecordField::Default::none)
            body[field.name] = nb::none();
    }
    body["__annotations__"] = annotations;
    body["__doc__"] = doc;
    nb::object cls = tw::py::make_class(kModuleName, name, bases, body);
    tw::py::Members members(cls);
    std::forward<Attach>(attach)(members);
    nb::kwargs options;
    if (frozen) options["frozen"] = true;
    return tw::py::make_dataclass(cls, options);
}

} // namespace tw::pagecase
