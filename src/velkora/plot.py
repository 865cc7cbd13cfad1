"""Figures of fits, bootstraps, profiles, phase diagrams and drift fits.

Every function returns a :class:`matplotlib.figure.Figure` built without
pyplot, so figures can be made in worker threads and on machines without a
display; ``fig.savefig("name.png")`` writes one, and Jupyter shows them as
they are. Needs matplotlib (``pip install 'velkora[plot]'``).
"""

from __future__ import annotations

import math

import numpy as np

from ._errors import InputError
from ._optional import require

require("matplotlib")
from matplotlib import patheffects  # noqa: E402 - after the check that names the extra
from matplotlib.figure import Figure  # noqa: E402

# Half the width of a 95 % profile-likelihood interval: chi-square(1) / 2.
_DELTA_95 = 1.92

_PHASE_QUANTITIES = {
    "bistability": ("bistability score", "magma"),
    "avg_meth": ("mean methylation level", "viridis"),
    "entropy": ("entropy (nats)", "cividis"),
    "frac_inter": ("fraction at intermediate levels", "plasma"),
}


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
    ax.set_xlabel("methylation level")


def fit_figure(fit_result, *, title: str | None = None) -> Figure:
    """Observed (bars) and fitted (line) distribution of every density bin,
    with the bin's fitted parameters."""
    data, table = fit_result.data, fit_result.table
    edges = data.meth_edges
    fitted = fit_result.model_fractions()
    centres, widths = 0.5 * (edges[:-1] + edges[1:]), np.diff(edges)
    fig, axes = _panels(data.n_densities)
    for d, (ax, row) in enumerate(zip(axes, table.itertuples())):
        ax.bar(centres, data.fractions[d], width=widths, color="0.78", edgecolor="0.55", linewidth=0.4,
               label="observed")
        ax.plot(centres, fitted[d], color="C3", marker=".", linewidth=1.4, label="fit")
        _level_axis(ax, edges)
        ax.set_title(f"density {row.Index}  (n = {row.n_molecules:,})", fontsize=9)
        ax.text(0.03, 0.97, f"St {row.St:.3g}\nCoW {row.CoW:.3g}\nCoE {row.CoE:.3g}", transform=ax.transAxes,
                va="top", fontsize=7, family="monospace")
    axes[0].set_ylabel("fraction of molecules")
    fig.legend(*axes[0].get_legend_handles_labels(), loc="outside lower center", ncols=2, fontsize=8, frameon=False)
    fig.suptitle(title or f"{fit_result.mode} fit: total nll {fit_result.total_nll:.6g}", fontsize=10)
    return fig


def bootstrap_figure(bootstrap_result, *, parameters=None) -> Figure:
    """The fit's estimate and the bootstrap interval of each parameter, per
    density bin. `parameters` defaults to the fitted ones: those whose
    estimate or interval is not the same fixed value everywhere."""
    intervals = bootstrap_result.intervals
    low, high = _interval_columns(intervals, "St")
    if parameters is None:
        names = [p for p in ("St", "CoW", "CoE", "n_U", "n_M", "Vmax") if p in intervals
                 and np.unique(intervals[[p, f"{p}_{low}", f"{p}_{high}"]].to_numpy()).size > 1]
    else:
        names = list(parameters)
    for name in names:
        if name not in intervals:
            raise InputError(f"no bootstrap interval of {name!r}; the result has {', '.join(intervals.columns)}")
    names = names or ["St"]
    fig, axes = _panels(len(names), width=3.0, height=2.4, max_columns=3)
    x = np.arange(len(intervals))
    for ax, name in zip(axes, names):
        estimate = intervals[name].to_numpy()
        lo, hi = intervals[f"{name}_{low}"].to_numpy(), intervals[f"{name}_{high}"].to_numpy()
        # Percentiles need not bracket the estimate on a small bootstrap: clip the bars at zero length.
        ax.errorbar(x, estimate, yerr=[np.maximum(estimate - lo, 0), np.maximum(hi - estimate, 0)], fmt="o",
                    color="C0", ecolor="C0", capsize=3, markersize=4)
        ax.set_xticks(x, intervals.index, rotation=45, ha="right", fontsize=7)
        ax.set_title(name, fontsize=9)
        if name in ("CoW", "CoE", "Vmax"):
            ax.set_yscale("log")
    n_done, n_boot = bootstrap_result.n_done, bootstrap_result.n_boot
    done = f"{n_done}" if n_done == n_boot else f"{n_done} of {n_boot}"
    fig.suptitle(f"{bootstrap_result.fit.mode} fit, {low[1:]}-{high[1:]} percentile intervals from {done} "
                 "bootstrap samples", fontsize=10)
    return fig


def _interval_columns(intervals, name: str) -> tuple[str, str]:
    levels = sorted(float(c[len(name) + 2:]) for c in intervals.columns if c.startswith(f"{name}_p"))
    if not levels:
        raise InputError(f"no percentile columns of {name!r} in the intervals")
    return f"p{levels[0]:g}", f"p{levels[-1]:g}"


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
    fig = Figure(figsize=(4.5, 3.2), layout="constrained")
    ax = fig.subplots()
    ax.plot(table["St"], table["delta_nll"], marker="o", markersize=3, color="C0", label="profile")
    ax.axhline(_DELTA_95, color="0.4", linestyle="--", linewidth=0.8, label="95 % (Δnll = 1.92)")
    if intervals is not None and len(intervals):
        lo, hi = float(intervals["lo"].iloc[0]), float(intervals["hi"].iloc[0])
        if np.isfinite(lo) or np.isfinite(hi):
            low_end = lo if np.isfinite(lo) else float(table["St"].min())
            high_end = hi if np.isfinite(hi) else float(table["St"].max())
            text = f"[{lo:.4g}, {hi:.4g}]".replace("nan", "open")
            ax.axvspan(low_end, high_end, color="C0", alpha=0.12, linewidth=0, label=f"95 % interval {text}")
    if fitted_st is not None:
        ax.axvline(fitted_st, color="C3", linewidth=0.8, label=f"fitted St = {fitted_st:.4g}")
    ax.set_xscale("log")
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
        for name, xi, yi in zip(table.index, x, y):
            ax.annotate(str(name), (xi, yi), fontsize=6, color="white", xytext=(4, 3), textcoords="offset points",
                        path_effects=[patheffects.withStroke(linewidth=1.5, foreground="black")])
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
        ax.set_title(f"density {row.Index}: StE {row.StE:.3g}, StW {row.StW:.3g}", fontsize=8)
    axes[0].set_ylabel("fraction of molecules")
    axes[0].legend(fontsize=6, frameon=False)
    fig.suptitle("drift fit: observed (points) and predicted (lines) by age", fontsize=10)
    return fig
