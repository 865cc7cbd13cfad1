"""Code that runs when the pages are built, shown with what it printed.

``.. velk-run::`` executes its content in the namespace that matplotlib's
``plot`` directive uses with ``:context:``, so a page can compute in these
blocks and draw in ``.. plot::`` blocks that follow, and its examples can
never go stale: an exception is a build warning, which ``-W`` makes fatal.
The option ``:reset:`` starts the page's namespace afresh.
"""

from __future__ import annotations

import contextlib
import io
import traceback

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

logger = logging.getLogger(__name__)


class RunDirective(SphinxDirective):
    has_content = True
    option_spec = {"reset": directives.flag, "hide-output": directives.flag}

    def run(self):
        from matplotlib.sphinxext.plot_directive import plot_context  # noqa: PLC0415

        if "reset" in self.options:
            # What the plot directive itself would run first in a fresh context
            # (NumPy as np, pyplot as plt), so that plot blocks can follow.
            plot_context.clear()
            pre_code = self.config.plot_pre_code
            if pre_code is None:
                pre_code = "import numpy as np\nfrom matplotlib import pyplot as plt\n"
            exec(pre_code, plot_context)  # noqa: S102
        code = "\n".join(self.content)
        source = nodes.literal_block(code, code, language="python")
        source["classes"].append("velk-run-source")
        printed = io.StringIO()
        try:
            with contextlib.redirect_stdout(printed):
                exec(compile(code, f"<{self.env.docname}:{self.lineno}>", "exec"), plot_context)  # noqa: S102
        except Exception:  # noqa: BLE001 - the traceback goes into the warning
            logger.warning("the example raised:\n%s", traceback.format_exc(), location=self.get_location())
        result = [source]
        text = printed.getvalue().rstrip()
        if text and "hide-output" not in self.options:
            output = nodes.literal_block(text, text, language="none")
            output["classes"].append("velk-run-output")
            result.append(output)
        return result


def setup(app):
    app.add_directive("velk-run", RunDirective)
    return {"parallel_read_safe": False, "parallel_write_safe": True}
