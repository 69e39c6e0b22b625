// The record classes of the document store, `Document` and the persisted
// lists: dataclasses whose fields are declared once, here, by name,
// annotation and default. The annotations are text, as `from __future__
// import annotations` leaves them, and are exactly what the stubs declare.
#pragma once

#include <initializer_list>
#include <utility>
#include <vector>

#include "common/classes.h"
#include "common/deferred_dataclass.h"
#include "pagecase/module_state.h"

namespace tw::pagecase {

struct RecordField {
    enum class Default { required, new_list, none };
    const char* name;
    const char* annotation;
    Default default_value = Default::required;
};

// A dataclass of this module: the class `name` with `bases`, its docstring
// and fields, its functions attached by `attach(tw::py::Members&)`, and
// decorated with `dataclasses.dataclass(frozen=frozen)` when first looked at
// (common/deferred_dataclass.h).
template <typename Attach>
nb::object make_record(const char* name, nb::tuple bases, const char* doc,
                       std::initializer_list<RecordField> fields, bool frozen, Attach&& attach) {
    nb::dict annotations, body;
    std::vector<tw::py::FactoryField> factories;
    for (const RecordField& field : fields) {
        annotations[field.name] = field.annotation;
        if (field.default_value == RecordField::Default::new_list)
            factories.push_back({field.name, reinterpret_cast<PyObject*>(&PyList_Type)});
        else if (field.default_value == RecordField::Default::none)
            body[field.name] = nb::none();
    }
    body["__annotations__"] = annotations;
    body["__doc__"] = doc;
    nb::object cls = tw::py::make_class(kModuleName, name, bases, body);
    tw::py::Members members(cls);
    std::forward<Attach>(attach)(members);
    tw::py::defer_dataclass(cls, nb::str(name), bases, body, frozen, factories);
    return cls;
}

} // namespace tw::pagecase
