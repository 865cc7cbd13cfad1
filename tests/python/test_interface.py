"""The module's public face: names, order, docstrings and text signatures."""

import ast
import inspect
import pathlib

import pytest

from velkora import velk_core

from conftest import run_python

# Golden docstrings, text signature first, separated by "%%" lines, in the
# interface order of the exported functions.
DOCSTRINGS = {
    doc.split("(", 1)[0]: doc
    for doc in (pathlib.Path(__file__).with_name("docstrings.txt").read_text(encoding="utf-8")[:-1].split("\n%%\n"))
}



def test_module_docstring_and_all_in_interface_order():
    assert velk_core.__doc__ == "Python module."
    assert velk_core.__all__ == list(DOCSTRINGS)
    assert {name for name in dir(velk_core) if name.startswith("py_")} == set(DOCSTRINGS)


@pytest.mark.parametrize("name", sorted(DOCSTRINGS))
def test_docstring_and_text_signature(name):
    function = getattr(velk_core, name)
    doc = DOCSTRINGS[name]
    head, prose = doc.split("\n--\n\n")
    # The interpreter strips the text signature off __doc__ and keeps it apart.
    assert function.__doc__ == prose
    assert function.__text_signature__ == head[len(name):]
    # inspect renders the `...` default (vmax_bounds) as Ellipsis.
    signature = inspect.signature(function)
    assert f"{name}{signature}".replace("=Ellipsis", "=...") == head
    if "vmax_bounds" in signature.parameters:
        assert signature.parameters["vmax_bounds"].default is Ellipsis


def test_second_initialisation_in_one_process_raises_import_error():
    result = run_python(
        """
        import importlib, sys
        import velkora.velk_core
        del sys.modules["velkora.velk_core"]
        try:
            importlib.import_module("velkora.velk_core")
        except ImportError as error:
            print("ImportError:", error)
        else:
            print("imported twice")
        """
    )
    assert result.returncode == 0, result.stderr
    assert "ImportError:" in result.stdout
    assert "once" in result.stdout


def test_every_function_is_typed_in_the_stub():
    import velkora

    stub = pathlib.Path(velkora.__file__).with_name("velk_core.pyi")
    typed = {node.name: node.args for node in ast.parse(stub.read_text()).body if isinstance(node, ast.FunctionDef)}
    assert set(DOCSTRINGS) == set(typed)
    # The stub's parameters, keyword-only ones included, follow the runtime signatures.
    for name, args in typed.items():
        signature = inspect.signature(getattr(velk_core, name)).parameters.values()
        keyword_only = [p.name for p in signature if p.kind is p.KEYWORD_ONLY]
        assert [a.arg for a in args.args] == [p.name for p in signature if p.name not in keyword_only], name
        assert [a.arg for a in args.kwonlyargs] == keyword_only, name
