"""nanobind's stub generator, run on our modules.

The classes built at run time keep their instance methods behind CPython's
`instancemethod`, so that they bind the way Python functions do. The generator
does not know that wrapper; it is told here to describe such a class member by
the nanobind function inside it. Everything else is nanobind's own.
"""

from nanobind import stubgen

_put = stubgen.StubGen.put


def _put_unwrapped(self, value, name=None, parent=None):
    if type(value).__name__ == "instancemethod":
        value = value.__func__
    _put(self, value, name, parent)


stubgen.StubGen.put = _put_unwrapped

if __name__ == "__main__":
    stubgen.main()
