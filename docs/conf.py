"""Sphinx configuration of the velkora documentation.

Built by ``make docs`` with warnings as errors. Everything the build needs is
installed into the project's virtual environment, and nothing is fetched at
build time: equations are drawn by matplotlib's mathtext (see
``_ext/velk_mathtext.py``) instead of a script loaded from the network.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "_ext"))

import velkora  # noqa: E402  (after the path above; the installed package)

project = "velkora"
author = "the velkora developers"
copyright = "the velkora developers"
release = version = velkora.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "matplotlib.sphinxext.plot_directive",
    "velk_mathtext",
    "velk_run",
    "velk_engine",
    "velk_cli",
    "velk_optional",
]

exclude_patterns = ["_build"]
templates_path: list[str] = []

# Docstrings are numpydoc style; attributes listed under "Attributes" become
# fields of their class rather than separate entries that would duplicate the
# dataclass fields.
napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_use_ivar = True
napoleon_use_rtype = False
autodoc_member_order = "bysource"
# The numpydoc sections state every type; hints in the signatures would
# only repeat them at length.
autodoc_typehints = "none"
autodoc_class_signature = "separated"
autodoc_default_options = {"exclude-members": "__init__, __new__"}

# The tutorial's figures: PNG only, shown inline, with the code above them.
plot_formats = [("png", 110)]
plot_html_show_formats = False
plot_html_show_source_link = False
plot_include_source = False
plot_rcparams = {"figure.figsize": (7.0, 3.6), "figure.dpi": 110}

html_theme = "pydata_sphinx_theme"
html_title = f"velkora {release}"
html_static_path = ["_static"]
html_css_files = ["velkora.css"]
html_theme_options = {
    "navigation_with_keys": False,
    "header_links_before_dropdown": 4,
    "navbar_persistent": ["search-button"],
    "show_prev_next": True,
    "secondary_sidebar_items": ["page-toc"],
    "navbar_end": ["theme-switcher", "navbar-icon-links"],
    "footer_start": ["copyright"],
    "footer_end": [],
}
html_sidebars = {"**": []}
html_show_sourcelink = False
html_copy_source = False
