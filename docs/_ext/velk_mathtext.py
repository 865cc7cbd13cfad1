"""Equations drawn at build time with matplotlib's mathtext.

The pages must show their equations without network access, so instead of a
JavaScript renderer loaded from elsewhere every ``:math:`` role and ``math``
directive becomes a small SVG image (glyphs as paths, no fonts needed by the
browser). mathtext understands a large subset of TeX; an expression it
cannot parse is a build warning, so ``-W`` stops the build rather than
shipping a page with raw TeX in it.
"""

from __future__ import annotations

import hashlib
import html
import os

from docutils import nodes
from sphinx.util import logging

logger = logging.getLogger(__name__)

INLINE_SIZE = 12.0
DISPLAY_SIZE = 15.0


def _render(translator, latex: str, size: float, node) -> str:
    import matplotlib  # noqa: PLC0415 - only when a page has math
    from matplotlib import mathtext  # noqa: PLC0415

    latex = " ".join(latex.split())
    key = hashlib.sha1(f"{size}|{latex}".encode()).hexdigest()[:16]
    name = f"math-{key}.svg"
    folder = os.path.join(translator.builder.outdir, "_images", "math")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name)
    alt = html.escape(latex, quote=True)
    try:
        rc = {"mathtext.fontset": "cm", "font.size": size, "svg.fonttype": "path", "svg.hashsalt": key}
        with matplotlib.rc_context(rc):
            depth = mathtext.math_to_image(f"${latex}$", path, dpi=72, format="svg")
    except Exception as error:  # noqa: BLE001 - any parse failure is reported the same way
        logger.warning("cannot draw the equation %r: %s", latex, error, location=node)
        return f'<code class="math-failed">{alt}</code>'
    uri = f"{translator.builder.imgpath}/math/{name}"
    return f'<img class="math" src="{uri}" alt="{alt}" style="vertical-align: -{depth:.2f}pt"/>'


def visit_inline(translator, node) -> None:
    translator.body.append(_render(translator, node.astext(), INLINE_SIZE, node))
    raise nodes.SkipNode


def visit_block(translator, node) -> None:
    # One image per equation: blank lines separate the equations of a directive.
    # Displayed fractions at full size, as TeX's display style would set them.
    parts = [part.replace("\\frac", "\\dfrac") for part in node.astext().split("\n\n") if part.strip()]
    images = "".join(f'<div class="math-line">{_render(translator, part, DISPLAY_SIZE, node)}</div>'
                     for part in parts)
    number = ""
    if node.get("number"):
        number = f'<span class="eqno">({node["number"]})</span>'
    translator.body.append(f'<div class="math-wrapper docutils container">{number}{images}</div>\n')
    raise nodes.SkipNode


def setup(app):
    app.add_html_math_renderer("velk_mathtext", (visit_inline, None), (visit_block, None))
    app.config.html_math_renderer = "velk_mathtext"
    return {"parallel_read_safe": True, "parallel_write_safe": False}
