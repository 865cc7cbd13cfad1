"""The ``velkora`` command's help, taken from its own parser.

``.. velk-cli::`` renders the top-level help and then, in a section per
subcommand, that subcommand's ``format_help()``: the page says exactly what
``velkora COMMAND --help`` says, and cannot drift from it.
"""

from __future__ import annotations

import argparse
import os

from docutils import nodes
from sphinx.util.docutils import SphinxDirective

WIDTH = "92"


def _subcommands(parser: argparse.ArgumentParser):
    for action in parser._actions:  # noqa: SLF001 - argparse offers no public way to list subparsers
        if isinstance(action, argparse._SubParsersAction):  # noqa: SLF001
            return list(action.choices.items())
    return []


def _help(parser: argparse.ArgumentParser) -> str:
    previous = os.environ.get("COLUMNS")
    os.environ["COLUMNS"] = WIDTH  # argparse wraps at the terminal width it finds
    try:
        return parser.format_help().rstrip()
    finally:
        if previous is None:
            del os.environ["COLUMNS"]
        else:
            os.environ["COLUMNS"] = previous


class CliDirective(SphinxDirective):
    has_content = False

    def run(self):
        from velkora.cli import build_parser  # noqa: PLC0415

        parser = build_parser()
        text = _help(parser)
        result = [nodes.literal_block(text, text, language="none")]
        for name, sub in _subcommands(parser):
            section_id = f"command-{name}"
            section = nodes.section(ids=[section_id], names=[section_id])
            section += nodes.title(text=f"velkora {name}")
            help_text = _help(sub)
            section += nodes.literal_block(help_text, help_text, language="none")
            self.state.document.note_implicit_target(section)
            result.append(section)
        return result


def setup(app):
    app.add_directive("velk-cli", CliDirective)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
