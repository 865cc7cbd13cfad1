"""The engine module's functions with their docstrings as written.

The docstrings of :mod:`velkora.velk_core` are fixed plain texts compiled
into the extension, not reStructuredText, so ``.. velk-engine-functions::``
shows each one verbatim in a literal block under a normal function entry
(signature from the function itself, so it links and indexes like autodoc).
"""

from __future__ import annotations

import inspect

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles


def engine_functions():
    """The module's functions in the order the module defines them."""
    from velkora import velk_core  # noqa: PLC0415

    return [(name, value) for name, value in vars(velk_core).items()
            if callable(value) and not name.startswith("_")]


def _signature(function) -> str:
    try:
        return str(inspect.signature(function))
    except (TypeError, ValueError):
        return "(...)"


class EngineFunctions(SphinxDirective):
    has_content = False

    def run(self):
        lines = [".. py:currentmodule:: velkora.velk_core", ""]
        for name, function in engine_functions():
            lines += [f".. py:function:: {name}{_signature(function)}", "", "   .. code-block:: none", ""]
            text = inspect.cleandoc(function.__doc__ or "")
            lines += [f"      {line}" if line.strip() else "" for line in text.splitlines()]
            lines.append("")
        content = StringList(lines, source="velkora.velk_core")
        node = nodes.section()
        nested_parse_with_titles(self.state, content, node)
        return node.children


def setup(app):
    app.add_directive("velk-engine-functions", EngineFunctions)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
