"""nanobind's stub generator, run on our modules.

Our modules export their functions as objects of their own around nanobind
functions (src/common/function.h), so that Python's tools can read them. The
generator does not know that wrapper; it is told here to describe such a
function by the nanobind function inside it. The records are dataclasses
built at run time; their class lines say so, as a dataclass's source would.
A native type's __signature__ is for inspect, not for the stubs. Everything
else is nanobind's own.
"""

import dataclasses

from nanobind import stubgen

_put = stubgen.StubGen.put


def _dataclass_line(cls):
    decorator = "@dataclasses.dataclass(frozen=True)" if cls.__dataclass_params__.frozen else "@dataclasses.dataclass"
    bases = ", ".join(base.__name__ for base in cls.__bases__ if base is not object)
    return f"{decorator}\nclass {cls.__name__}" + (f"({bases})" if bases else "")


def _put_described(self, value, name=None, parent=None):
    if type(value).__name__ == "native_function":
        value = value.__nb_function__
    elif isinstance(value, type) and dataclasses.is_dataclass(value):
        value.__nb_signature__ = _dataclass_line(value)
    _put(self, value, name, parent)


stubgen.StubGen.put = _put_described
stubgen.SKIP_LIST.append("__signature__")

if __name__ == "__main__":
    stubgen.main()
