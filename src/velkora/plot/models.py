"""Figures of profile likelihoods, phase diagrams and drift fits."""

from __future__ import annotations

import numpy as np
from matplotlib import patheffects

from .._errors import InputError
from .._interval import CHI2_1_95_HALF
from ._base import Figure, _level_axis, _log_axis, _panels

_PHASE_QUANTITIES = {
    "bistability": ("bistability score", "magma"),
    "avg_meth": ("mean methylation level", "viridis"),
    "entropy": ("entropy (nats)", "cividis"),
    "frac_inter": ("fraction at intermediate levels", "plasma"),
}


def profile_figure(profile, *, fitted_st: float | None = None) -> Figure:
    """A profile likelihood of St (the :class:`~velkora.fitting.ProfileResult`
    of :func:`velkora.profile_st`, or its table): delta nll against St, with
    the 95 % threshold, the profile-likelihood interval shaded and, if given,
    the fitted St."""
    table = getattr(profile, "table", profile)
    intervals = getattr(profile, "intervals", None)
    for column in ("St", "delta_nll"):
        if column not in table:
            raise InputError(f"profile: missing column '{column}' (expected the result of profile_st)")
    fig = Figure(figsize=(4.8, 3.4), layout="constrained")
    ax = fig.subplots()
    ax.plot(table["St"], table["delta_nll"], marker="o", markersize=3, color="C0", label="profile")
    # The interval search may go far out to find a crossing; keep the threshold's neighbourhood readable.
    highest = float(np.nanmax(table["delta_nll"])) if len(table) else CHI2_1_95_HALF
    ax.set_ylim(-0.05 * CHI2_1_95_HALF, min(max(highest, 1.5 * CHI2_1_95_HALF), 4.0 * CHI2_1_95_HALF) * 1.05)
    ax.axhline(CHI2_1_95_HALF, color="0.4", linestyle="--", linewidth=0.8, label=f"95 % (Δnll = {CHI2_1_95_HALF:.2f})")
    if intervals is not None and len(intervals):
        lo, hi = float(intervals["lo"].iloc[0]), float(intervals["hi"].iloc[0])
        if np.isfinite(lo) or np.isfinite(hi):
            low_end = lo if np.isfinite(lo) else float(table["St"].min())
            high_end = hi if np.isfinite(hi) else float(table["St"].max())
            text = f"[{lo:.4g}, {hi:.4g}]".replace("nan", "open")
            ax.axvspan(low_end, high_end, color="C0", alpha=0.12, linewidth=0, label=f"95 % interval {text}")
    if fitted_st is not None:
        ax.axvline(fitted_st, color="C3", linewidth=0.8, label=f"fitted St = {fitted_st:.4g}")
    _log_axis(ax, "x")
    ax.set_xlabel("shared St")
    ax.set_ylabel("Δ nll")
    ax.legend(fontsize=7, frameon=False)
    ax.set_title("St profile likelihood", fontsize=10)
    return fig


def phase_figure(grid, *, quantity: str = "bistability", fits=None) -> Figure:
    """A heat map of one phase-grid quantity ("bistability", "avg_meth",
    "entropy" or "frac_inter") over log10 CoW x log10 CoE. `fits` (a
    :class:`~velkora.FitResult`, or a table with columns CoW and CoE indexed by
    density bin) marks the fitted density bins on it; their St may differ from
    the grid's, which the title gives."""
    if quantity not in _PHASE_QUANTITIES:
        raise InputError(f"quantity must be one of {', '.join(_PHASE_QUANTITIES)}, not {quantity!r}")
    label, colours = _PHASE_QUANTITIES[quantity]
    fig = Figure(figsize=(5.2, 4.2), layout="constrained")
    ax = fig.subplots()
    image = ax.pcolormesh(grid.log_coe, grid.log_cow, getattr(grid, quantity), cmap=colours, shading="nearest")
    fig.colorbar(image, ax=ax, label=label)
    if fits is not None:
        table = getattr(fits, "table", fits)
        x, y = np.log10(table["CoE"].to_numpy()), np.log10(table["CoW"].to_numpy())
        ax.scatter(x, y, s=28, facecolor="white", edgecolor="black", zorder=3, label="fitted density bins")
        # Numbers at the points and the bins they stand for in a key below: names of neighbouring
        # bins written at their points would run into each other.
        for k, (xi, yi) in enumerate(zip(x, y), 1):
            ax.annotate(str(k), (xi, yi), fontsize=7, color="white", xytext=(4, 3), textcoords="offset points",
                        path_effects=[patheffects.withStroke(linewidth=1.5, foreground="black")])
        # No-break spaces within an entry, so that a wrapped key breaks only between entries.
        key = "   ".join(f"{k}: {name}".replace(" ", "\u00a0") for k, name in enumerate(map(str, table.index), 1))
        fig.text(0.5, 0.0, f"density bins (CpG per bp)   {key}", ha="center", va="bottom", fontsize=6.5, wrap=True)
        fig.get_layout_engine().set(rect=(0, 0.06, 1, 0.94))
        ax.legend(fontsize=7, loc="lower left")
    ax.set_xlabel("log10 CoE")
    ax.set_ylabel("log10 CoW")
    ax.set_title(f"{label} at St = {grid.st:.4g}", fontsize=10)
    return fig


def drift_figure(drift_result) -> Figure:
    """Observed (points) and predicted (lines) distributions of every density
    bin at every age of a drift fit."""
    data = drift_result.data
    predicted = drift_result.predict()
    edges = data.meth_edges
    centres = 0.5 * (edges[:-1] + edges[1:])
    fig, axes = _panels(data.reference.n_densities)
    colours = [f"C{k % 10}" for k in range(len(data.ages))]
    for d, (ax, row) in enumerate(zip(axes, drift_result.table.itertuples())):
        for k, (age, binned) in enumerate(zip(data.ages, data.by_age)):
            ax.plot(centres, binned.fractions[d], "o", markersize=2.5, color=colours[k])
            ax.plot(centres, predicted[d, k], "-", linewidth=1.0, color=colours[k], label=f"age {age:g}")
        _level_axis(ax, edges)
        ax.set_title(f"CpG density {row.Index} per bp: StE {row.StE:.3g}, StW {row.StW:.3g}", fontsize=8)
    axes[0].set_ylabel("fraction of molecules")
    axes[0].legend(fontsize=6, frameon=False)
    fig.suptitle("drift fit: observed (points) and predicted (lines) by age", fontsize=10)
    return fig
