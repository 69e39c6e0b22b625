"""What help() and repr() show of the three modules: every function, class,
method and property they define has a docstring whose first line says what it
does, and every function a class holds is named as Python names its own
(__name__, __qualname__ "Class.name", __module__)."""

import importlib
import inspect
import os
import subprocess
import sys
import sysconfig

import pytest
import releases

MODULES = ["tidewing_quillery.pagecase", "tidewing_quillery.printing", "tidewing_lattice.tw_lattice"]


def docstring(obj):
    """The description help() shows: for a nanobind function the text after the signature
    lines nanobind puts first in __doc__."""
    signatures = getattr(obj, "__nb_signature__", None)
    if isinstance(signatures, tuple):
        return signatures[0][1] or ""
    return inspect.getdoc(obj) or ""


def is_native_function(obj):
    """Ours: the exported functions, and what nanobind binds directly (a native type's
    __init__)."""
    return type(obj).__module__ in ("tidewing", "nanobind")


def class_functions(cls):
    """(name, function) for each of our functions the class itself holds; properties give
    their getter, classmethods and staticmethods the function inside. What the dataclass
    decorator adds is the standard library's."""
    for name, member in vars(cls).items():
        if isinstance(member, property):
            member = member.fget
        elif isinstance(member, (classmethod, staticmethod)):
            member = member.__func__
        else:
            member = getattr(cls, name)  # a method kept behind instancemethod: the function
        if is_native_function(member):
            yield name, member


def surface(module_name):
    """(qualified name, object) of every function and class the module defines, and of what
    its classes hold, private names included."""
    module = importlib.import_module(module_name)
    for name, value in vars(module).items():
        if getattr(value, "__module__", None) != module_name or name.startswith("__"):
            continue
        yield name, value
        if isinstance(value, type):
            for member_name, member in vars(value).items():
                if not member_name.startswith("__") and (
                    isinstance(member, property) or callable(getattr(value, member_name))
                ):
                    yield f"{name}.{member_name}", member


@pytest.mark.parametrize("module_name", MODULES)
def test_everything_defined_is_documented(module_name):
    undocumented = []
    for name, obj in surface(module_name):
        if isinstance(obj, (classmethod, staticmethod)):
            obj = obj.__func__
        first_line = docstring(obj).partition("\n")[0]
        # A sentence of its own, not a signature or a bare name.
        if (
            len(first_line.split()) < 4
            or not first_line.endswith(".")
            or first_line.startswith(name.rpartition(".")[2] + "(")
        ):
            undocumented.append(f"{name}: {first_line!r}")
    assert undocumented == []


@pytest.mark.parametrize("module_name", MODULES)
def test_class_functions_are_named_like_python_functions(module_name):
    module = importlib.import_module(module_name)
    checked, misnamed = 0, []
    for class_name, cls in vars(module).items():
        if not isinstance(cls, type) or cls.__module__ != module_name:
            continue
        for name, function in class_functions(cls):
            checked += 1
            names = (function.__name__, function.__qualname__, function.__module__)
            if names != (name, f"{cls.__qualname__}.{name}", module_name):
                misnamed.append(f"{class_name}.{name}: {names}")
    assert checked >= 8 and misnamed == []


@pytest.mark.parametrize("module_name", MODULES)
def test_module_functions_are_named(module_name):
    module = importlib.import_module(module_name)
    for name, function in vars(module).items():
        if is_native_function(function):
            assert (function.__name__, function.__qualname__, function.__module__) == (name, name, module_name)


def test_bound_methods_print_as_python_methods():
    from tidewing_lattice import tw_lattice
    from tidewing_quillery import pagecase, printing

    assert repr(pagecase.RecentFiles.load) == (
        "<bound method RecentFiles.load of <class 'tidewing_quillery.pagecase.RecentFiles'>>"
    )
    bridge = printing.PrintBridge()
    assert repr(bridge.status) == f"<bound method PrintBridge.status of {bridge!r}>"
    assert (bridge.status.__self__, bridge.status.__func__) == (bridge, printing.PrintBridge.status)
    favorites = pagecase.Favorites(pagecase.Path("favorites.json"))
    assert repr(favorites.contains).startswith("<bound method PathList.contains of Favorites(")
    # and those of the encryption module's native type
    box = tw_lattice.tw_lattice("a secret of some length")
    assert repr(box.encrypt_string) == f"<bound method tw_lattice.encrypt_string of {box!r}>"
    assert box.decrypt_string(box.encrypt_string("text")) == "text"
    cipher = tw_lattice.TwFernet(tw_lattice.TwFernet.generate_key())
    assert repr(cipher.decrypt) == f"<bound method TwFernet.decrypt of {cipher!r}>"


@pytest.mark.parametrize("module_name", MODULES)
def test_python_tools_read_every_signature(module_name):
    """inspect.signature() works on every function, method and class, exception classes aside
    (CPython gives its own none); help() lists the module's functions under FUNCTIONS with
    those signatures and shows no internal attributes."""
    import pydoc

    module = importlib.import_module(module_name)
    unreadable = []
    for name, obj in surface(module_name):
        if isinstance(obj, (classmethod, staticmethod, property)):
            obj = obj.__func__ if not isinstance(obj, property) else obj.fget
        if isinstance(obj, type) and issubclass(obj, BaseException) or not callable(obj):
            continue
        try:
            inspect.signature(obj)
        except (TypeError, ValueError) as error:
            unreadable.append(f"{name}: {error}")
    assert unreadable == []

    text = pydoc.render_doc(module, renderer=pydoc.plaintext)
    functions = text.partition("\nFUNCTIONS\n")[2].partition("\nDATA\n")[0]
    for name, obj in vars(module).items():
        public = not name.startswith("_")  # pydoc leaves private names out, as for any module
        if public and callable(obj) and not isinstance(obj, type) and getattr(obj, "__module__", None) == module_name:
            # pydoc puts a long signature's parameters on lines of their own on 3.13, and
            # writes string annotations bare from 3.14 on (releases.py).
            parameters = "".join(releases.as_help_shows(inspect.signature(obj)).split())
            assert f"{name}{parameters}" in "".join(functions.split()), name
    assert "__nb_signature__" not in text and "nb_func" not in text


def test_signatures_read_like_their_declarations():
    from tidewing_lattice import tw_lattice
    from tidewing_quillery import pagecase, printing

    assert str(inspect.signature(pagecase.search_markdown)) == (
        "(roots: 'collections.abc.Iterable[pathlib.Path]', query: 'str', limit: 'int | None' = 40)"
        " -> 'list[dict[str, str]]'"
    )
    prune = inspect.signature(pagecase.PathList.prune)
    assert prune.parameters["check"].default is pagecase.Path.is_file
    export = inspect.signature(printing.PrintBridge().export_pdf)
    assert [(p.name, p.kind.name) for p in export.parameters.values()][:2] == [
        ("destination", "POSITIONAL_OR_KEYWORD"),
        ("paper", "KEYWORD_ONLY"),
    ]
    assert str(inspect.signature(tw_lattice.tw_lattice)) == "(secret_key: 'str')"
    assert str(inspect.signature(pagecase.RecentFiles.load)) == "() -> 'RecentFiles'"


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded CPython")
@pytest.mark.parametrize("module_name", MODULES)
def test_a_free_threaded_interpreter_turns_the_gil_on_for_each_module(module_name):
    """The modules need the GIL and declare no Py_mod_gil slot: the interpreter says so as it imports one."""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    env.pop("PYTHON_GIL", None)
    script = f"import sys, {module_name}; print(sys._is_gil_enabled())"
    out = subprocess.run([sys.executable, "-W", "always", "-c", script], env=env, capture_output=True, text=True)
    assert out.stdout.strip() == "True" and module_name.rpartition(".")[2] in out.stderr, out.stderr


def outcome(call):
    try:
        return ("returned", call())
    except Exception as error:
        return (type(error).__name__, str(error))


def test_a_call_answers_alike_whether_it_runs_the_function_directly_or_through_nanobind(tmp_path):
    """Calls of exactly a function's arguments by position run its C++ directly;
    the others go through nanobind's dispatch, as every call did before."""
    from tidewing_quillery import pagecase

    md = tmp_path / "a.md"
    md.write_text("# A\n")
    cases = {
        "fuzzy_score": [("ab", "xaxb"), ("ab",), (None, "x"), ("a", "b", "c"), (b"a", "b")],
        "contain": [(tmp_path, "a.md"), (tmp_path, ""), (tmp_path, 5), (tmp_path,)],
        "is_markdown": [(md,), (tmp_path / "a.MD",), (None,), ("a.md",), ()],
        "stat_signature": [(md,), (tmp_path / "missing",), (None,)],
        "search_markdown": [([tmp_path], "a"), ([tmp_path], "a", 1), ([tmp_path],)],
    }
    for name, calls in cases.items():
        ours = getattr(pagecase, name)
        for args in calls:
            assert outcome(lambda: ours(*args)) == outcome(lambda: ours.__nb_function__(*args)), (name, args)
    keywords = {"query": "ab", "candidate": "xaxb"}
    assert pagecase.fuzzy_score(**keywords) == pagecase.fuzzy_score("ab", "xaxb") == 0
    assert outcome(lambda: pagecase.fuzzy_score("ab", query="x")) == outcome(
        lambda: pagecase.fuzzy_score.__nb_function__("ab", query="x")
    )
