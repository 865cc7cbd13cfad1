"""The pieces every figure shares: saving, panels, axes and their ticks."""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np

from .._errors import InputError
from .._optional import require

require("matplotlib")
import matplotlib  # noqa: E402 - after the check that names the extra
from matplotlib.figure import Figure  # noqa: E402
from matplotlib.ticker import FixedFormatter, FixedLocator, NullFormatter  # noqa: E402

from .._formats import FIGURE_FORMATS  # noqa: E402
from ..model.modes import RATES  # noqa: E402

# Parameters that are rates (drawn on log axes); the others (exponents) are not.
_RATES = (*RATES, "StE", "StW")

_OBSERVED = {"color": "0.80", "edgecolor": "0.55", "linewidth": 0.4}
_MISFIT = "#c0392b"
# The mark of an estimate at an end of its search range: a bound, not an estimate.
_AT_BOUND = "*"


def save_figure(fig: Figure, path, *, dpi: int = 150) -> Path:
    """Writes `fig` to `path` as PNG, SVG or PDF, chosen by the suffix.

    Vector files carry no creation date and no random element ids, so a
    rerun that draws the same figure writes the same bytes. Returns the path
    written.
    """
    path = Path(path)
    kind = path.suffix.lower().lstrip(".")
    if kind not in FIGURE_FORMATS:
        raise InputError(f"{path}: figures are written as .png, .svg or .pdf, not "
                         f"{path.suffix or 'a name without a suffix'}")
    _render(fig, path, kind, dpi)
    return path


def _render(fig: Figure, target, kind: str, dpi: int = 150) -> None:
    metadata = {"svg": {"Date": None}, "pdf": {"CreationDate": None}}.get(kind)
    with matplotlib.rc_context({"svg.hashsalt": "velkora", "svg.fonttype": "path"}):
        fig.savefig(target, format=kind, dpi=dpi, metadata=metadata)


def _panels(n: int, width: float = 3.2, height: float = 2.6, max_columns: int = 4):
    rows = math.ceil(n / max_columns)
    columns = math.ceil(n / rows)
    fig = Figure(figsize=(width * columns, height * rows), layout="constrained")
    axes = fig.subplots(rows, columns, squeeze=False).ravel()
    for ax in axes[n:]:
        ax.set_visible(False)
    return fig, axes[:n]


def _level_axis(ax, edges: np.ndarray) -> None:
    ax.set_xlim(edges[0], edges[-1])
    # Short labels ("0", "0.2", ..., "1"): side-by-side panels' end labels must not run together.
    ticks = [t for t in np.linspace(0.0, 1.0, 6) if edges[0] - 1e-12 <= t <= edges[-1] + 1e-12]
    if len(ticks) >= 3:
        ax.set_xticks(ticks, [f"{t:g}" for t in ticks])
    ax.set_xlabel("methylation level")


def _tick_text(value: float) -> str:
    if 1e-3 <= value < 1e5:
        return f"{value:g}"
    exponent = math.floor(math.log10(value) + 1e-9)
    mantissa = value / 10.0 ** exponent
    if abs(mantissa - 1.0) < 1e-6:
        return f"$10^{{{exponent}}}$"
    return f"${mantissa:g}\\times10^{{{exponent}}}$"


def _log_ticks(lo: float, hi: float) -> tuple[list[float], list[float]]:
    """Major and minor ticks of a log axis from lo to hi (0 < lo < hi): the
    decades when two or more fall inside, else the 1-2-5 steps, else the
    1-2-3-5-7 steps (two of which fall inside any range of a factor of 4)."""
    first, last = math.floor(math.log10(lo)), math.ceil(math.log10(hi))

    def inside(steps):
        values = [m * 10.0 ** k for k in range(first, last + 1) for m in steps]
        return [v for v in values if lo * (1 - 1e-9) <= v <= hi * (1 + 1e-9)]

    decades = inside((1,))
    if len(decades) >= 2:
        stride = max(1, math.ceil(len(decades) / 7))
        major = decades[::stride]
        minor = inside(range(2, 10)) if len(decades) <= 5 else [v for v in decades if v not in major]
        return major, minor
    for steps in ((1, 2, 5), (1, 2, 3, 5, 7)):
        major = inside(steps)
        if len(major) >= 2:
            return major, [v for v in inside(range(1, 10)) if v not in major]
    return inside(range(1, 10)), []


def _log_axis(ax, which: str = "y", *, min_ratio: float = 4.0, pad: float = 1.0) -> None:
    """Puts the x or y axis on a log scale with plain-number tick labels,
    widening its limits by the factor `pad` on both sides, and (about their
    geometric centre) to a factor of `min_ratio` at least so that two
    labelled ticks always fall inside."""
    getattr(ax, f"set_{which}scale")("log")
    lo, hi = getattr(ax, f"get_{which}lim")()
    if not (math.isfinite(lo) and math.isfinite(hi) and 0 < lo < hi):
        return
    lo, hi = lo / pad, hi * pad
    if hi / lo < min_ratio:
        centre, half = math.sqrt(lo * hi), math.sqrt(min_ratio)
        lo, hi = centre / half, centre * half
    major, minor = _log_ticks(lo, hi)
    axis = getattr(ax, f"{which}axis")
    axis.set_major_locator(FixedLocator(major))
    axis.set_major_formatter(FixedFormatter([_tick_text(v) for v in major]))
    axis.set_minor_locator(FixedLocator(minor))
    axis.set_minor_formatter(NullFormatter())
    getattr(ax, f"set_{which}lim")(lo, hi)


def _short_labels(edges: np.ndarray) -> list[str]:
    """Density bins named by their edges to three digits (the tables keep them in full)."""
    return [f"{lo:.3g} – {hi:.3g}" for lo, hi in zip(edges[:-1], edges[1:])]


def _density_axis(ax, edges: np.ndarray) -> None:
    ax.set_xlim(edges[0], edges[-1])
    ax.set_xlabel("CpG density (CpG per bp)")
