"""Autodoc of a module that may not be installed.

``.. velk-optional-automodule:: NAME`` documents NAME with ``automodule``
(its options passed on) when it can be imported, and otherwise renders the
directive's content instead, so the pages build with or without optional
subpackages.
"""

from __future__ import annotations

import importlib

from docutils import nodes
from docutils.parsers.rst import directives
from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles


def importable(name: str) -> bool:
    try:
        importlib.import_module(name)
    except ImportError:
        return False
    return True


class OptionalAutomodule(SphinxDirective):
    required_arguments = 1
    has_content = True
    option_spec = {"members": directives.unchanged, "no-index": directives.flag}

    def run(self):
        name = self.arguments[0]
        if importable(name):
            lines = [f".. automodule:: {name}"]
            for option, value in self.options.items():
                lines.append(f"   :{option}: {value or ''}".rstrip())
        else:
            lines = list(self.content)
        node = nodes.section()
        nested_parse_with_titles(self.state, StringList(lines, source=self.get_source_info()[0]), node)
        return node.children


def setup(app):
    app.add_directive("velk-optional-automodule", OptionalAutomodule)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
