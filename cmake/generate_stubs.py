"""nanobind's stub generator, run on our modules.

Our modules export their functions as objects of their own around nanobind
functions (src/common/function.h), so that Python's tools can read them. The
generator does not know that wrapper; it is told here to describe such a
function by the nanobind function inside it. Everything else is nanobind's
own.
"""

from nanobind import stubgen

_put = stubgen.StubGen.put


def _put_unwrapped(self, value, name=None, parent=None):
    if type(value).__name__ == "native_function":
        value = value.__nb_function__
    _put(self, value, name, parent)


stubgen.StubGen.put = _put_unwrapped

if __name__ == "__main__":
    stubgen.main()
