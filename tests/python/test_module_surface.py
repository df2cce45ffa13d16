"""The module object, its classes and what Python sees of them."""

import copy
import shutil
import subprocess
import ctypes
import importlib
import pickle
import sys
import weakref

import pytest

import nimbo.core as core
from nimbo.core import Component, Renderer

from conftest import XOR_IR, run_python


def test_module_attributes():
    assert core.__name__ == "nimbo.core"
    assert core.__doc__ == "Módulo Python"
    assert core.__version__ == "0.5.0"
    assert core.__all__ == ["Component", "Renderer", "__version__"]
    public = {name for name in vars(core) if not name.startswith("__")}
    assert public == {"Component", "Renderer"}


@pytest.mark.parametrize(
    "cls, doc, signature",
    [
        (Renderer, "Wrapper PyClass para Renderer", "(ir)"),
        (
            Component,
            "Wrapper PyClass LEVE - só guarda o ID do componente\n"
            "O componente real fica no armazenamento global Kelo",
            None,
        ),
    ],
)
def test_class_identity_and_docs(cls, doc, signature):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == cls.__name__.split(".")[-1]
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == signature
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize(
    "member, doc, signature",
    [
        (Component.get_values, "Retorna todos os valores como dicionário", "($self)"),
        (
            Component.update_signals,
            "Atualiza sinais com novos valores e estabiliza",
            "($self, new_values)",
        ),
        (
            Component.update_and_get,
            "Atualiza e retorna valores em uma chamada",
            "($self, new_values)",
        ),
        (Component.id_, "Propriedade id_", None),
        (Component.busses, "Propriedade busses - retorna Dict[str, str] com valores", None),
        (
            Renderer.component,
            "Obtém o componente renderizado - move para armazenamento global",
            None,
        ),
    ],
)
def test_member_docs(member, doc, signature):
    assert member.__doc__ == doc
    assert getattr(member, "__text_signature__", None) == signature


@pytest.mark.parametrize("cls", [Renderer, Component])
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def instances():
    renderer = Renderer(XOR_IR)
    return [Renderer(XOR_IR), renderer.component]


@pytest.mark.parametrize("obj", instances(), ids=["Renderer", "Component"])
def test_instances_have_no_dict_or_weakref(obj):
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize("obj", instances(), ids=["Renderer", "Component"])
def test_instances_cannot_be_copied(obj):
    with pytest.raises(TypeError):
        pickle.dumps(obj)
    with pytest.raises(TypeError):
        copy.copy(obj)


@pytest.mark.parametrize(
    "args, kwargs", [((), {}), (("x",), {}), ((), {"id_": "x"}), ((1, 2), {"k": 3})]
)
def test_component_has_no_constructor(args, kwargs):
    with pytest.raises(TypeError) as caught:
        Component(*args, **kwargs)
    assert caught.value.args == ("No constructor defined for Component",)


@pytest.mark.parametrize("action", ["set", "delete"])
def test_read_only_properties(action):
    renderer = Renderer(XOR_IR)
    handle = Renderer(XOR_IR).component
    for obj, name in [(renderer, "component"), (handle, "id_"), (handle, "busses")]:
        with pytest.raises(AttributeError):
            if action == "set":
                setattr(obj, name, None)
            else:
                delattr(obj, name)
    assert str(renderer) == f"Renderer with IR length: {len(XOR_IR)}"


def test_repeated_initialisation_returns_the_same_module():
    init = ctypes.PyDLL(core.__file__).PyInit_core
    init.restype = ctypes.py_object
    assert init() is core
    del sys.modules["nimbo.core"]
    try:
        assert importlib.import_module("nimbo.core") is core
    finally:
        sys.modules["nimbo.core"] = core


def subinterpreter_runners():
    """Names of the ways the running CPython offers to start a sub-interpreter."""
    runners = []
    try:
        import _testcapi

        if hasattr(_testcapi, "run_in_subinterp"):
            runners.append("legacy")
    except ImportError:
        pass
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            importlib.import_module(name)
            runners.append(name)
            break
        except ImportError:
            pass
    return runners or [pytest.param("none", marks=pytest.mark.skip("no sub-interpreters"))]


@pytest.mark.parametrize("runner", subinterpreter_runners())
def test_import_in_a_subinterpreter_fails(runner, tmp_path):
    result = tmp_path / "outcome.txt"
    inner = (
        "try:\n"
        "    import nimbo.core\n"
        "    outcome = 'imported'\n"
        "except ImportError as error:\n"
        "    outcome = 'ImportError: ' + str(error)\n"
        f"open({str(result)!r}, 'w').write(outcome)\n"
    )
    start = {
        "legacy": "import _testcapi; _testcapi.run_in_subinterp(INNER)",
        "_interpreters": "import _interpreters as m; m.run_string(m.create(), INNER)",
        "_xxsubinterpreters": "import _xxsubinterpreters as m; m.run_string(m.create(), INNER)",
    }[runner]
    run_python(f"import nimbo.core\nINNER = {inner!r}\n{start}\n")
    outcome = result.read_text()
    assert outcome.startswith("ImportError: ")
    assert "interpreter" in outcome


def test_main_interpreter_still_works_after_a_refused_subinterpreter():
    out = run_python(
        f"""
        import nimbo.core as core
        try:
            import _testcapi
            _testcapi.run_in_subinterp("import nimbo.core")
        except ImportError:
            pass
        print(core.Renderer({XOR_IR!r}).component.get_values()["w"])
        """
    )
    assert out.strip() == "0101"


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm (binutils)")
@pytest.mark.parametrize("module", ["nimbo.core", "nimbo._engine"])
def test_each_module_exports_only_its_init_function(module):
    path = importlib.import_module(module).__file__
    listing = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True)
    symbols = {line.split()[-1] for line in listing.stdout.splitlines() if line.strip()}
    assert symbols == {"PyInit_" + module.split(".")[1]}


def test_only_the_command_line_imports_the_command_line():
    """The library (stepping, regressions, Design, ...) never imports
    nimbo.cli, at the top of a module or inside a function: imports run
    from the command line down."""
    import ast
    import pathlib

    package = pathlib.Path(__file__).resolve().parents[2] / "src" / "nimbo"
    found = []
    for path in package.rglob("*.py"):
        relative = path.relative_to(package)
        if relative.parts[0] == "cli" or relative.name == "__main__.py":
            continue
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom):
                # `from ..cli import x` in a subpackage, `from .cli import x` at the top.
                module = node.module or ""
                target = "." * node.level + module
                depth = len(relative.parts) - 1
                if (node.level == depth + 1 and module.split(".")[0] == "cli") or module.startswith("nimbo.cli"):
                    found.append(f"{relative}: from {target} import ...")
            elif isinstance(node, ast.Import):
                found += [f"{relative}: import {a.name}" for a in node.names if a.name.startswith("nimbo.cli")]
    assert found == []
