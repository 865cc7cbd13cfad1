"""Figures of fits, bootstraps, profiles, phase diagrams, drift fits and
comparisons of modes.

Every function returns a :class:`matplotlib.figure.Figure` built without
pyplot, so figures can be made in worker threads and on machines without a
display; :func:`save_figure` writes one as PNG, SVG or PDF (chosen by the
file's suffix), and Jupyter shows them as they are. Needs matplotlib
(``pip install 'velkora[plot]'``).

Conventions shared by the figures: distributions over the methylation level
are drawn as fractions of molecules per unit of methylation level (a bin's
fraction divided by its width), so that bins of any width, and the model's 71 levels M / 70,
share one scale; density bins sit on a continuous CpG-density axis at their
centres, with their widths drawn; rates are on logarithmic axes whose
labelled ticks are plain numbers (0.1, 1, 10, or 0.2, 0.5 on short ranges).
"""

from ._base import FIGURE_FORMATS, _log_ticks, _render, save_figure  # noqa: F401 - for tests, report
from .comparisons import comparison_figure, residual_figure
from .fits import fit_figure
from .groups import differential_figure, pvalue_figure
from .intervals import bootstrap_figure, drift_interval_figure
from .models import drift_figure, phase_figure, profile_figure

__all__ = ["FIGURE_FORMATS", "bootstrap_figure", "comparison_figure", "differential_figure", "drift_figure",
           "drift_interval_figure", "fit_figure", "phase_figure", "profile_figure", "pvalue_figure", "residual_figure",
           "save_figure"]
