"""Figures of intervals against CpG density: bootstraps and drift bootstraps."""

from __future__ import annotations

import numpy as np

from .._errors import InputError
from ..model.modes import PARAMETERS, RANGE
from ._base import _AT_BOUND, _MISFIT, _RATES, Figure, _density_axis, _log_axis, _panels


def _interval_columns(intervals, name: str) -> tuple[str, str]:
    levels = sorted(float(c[len(name) + 2:]) for c in intervals.columns if c.startswith(f"{name}_p"))
    if not levels:
        raise InputError(f"no percentile columns of {name!r} in the intervals")
    return f"p{levels[0]:g}", f"p{levels[-1]:g}"


def _at_range_end(values: np.ndarray, search: tuple[float, float] | None) -> np.ndarray:
    if search is None or search[0] == search[1]:
        return np.zeros(len(values), dtype=bool)
    lo, hi = search
    return (np.abs(values - lo) <= 1e-6 * abs(lo)) | (np.abs(values - hi) <= 1e-6 * abs(hi))


def _interval_figure(intervals, names, density_edges, shared, low: str, high: str, ranges=None) -> Figure:
    """One panel per parameter: its estimate and interval against CpG density,
    a parameter in `shared` drawn once as a band over all density bins.
    `ranges` (parameter -> search range) marks estimates and interval ends at
    an end of their range: the range's end is drawn as a dotted line and such
    estimates as open red markers."""
    ranges = ranges or {}
    centres = 0.5 * (density_edges[:-1] + density_edges[1:])
    half = 0.5 * np.diff(density_edges)
    fig, axes = _panels(len(names), width=3.3, height=2.6, max_columns=3)
    for ax, name in zip(axes, names):
        estimate = intervals[name].to_numpy(dtype=float)
        lo = intervals[f"{name}_{low}"].to_numpy(dtype=float)
        hi = intervals[f"{name}_{high}"].to_numpy(dtype=float)
        search = ranges.get(name)
        bounded = _at_range_end(estimate, search)
        if search is not None and search[0] != search[1]:
            shown = np.concatenate([estimate, lo, hi])
            for end in search:
                if np.any(np.abs(shown - end) <= 1e-6 * abs(end)):
                    ax.axhline(end, color=_MISFIT, linestyle=":", linewidth=0.9)
        if name in shared:
            ax.axhspan(lo[0], hi[0], color="C0", alpha=0.2, linewidth=0, label="interval")
            ax.axhline(estimate[0], color=_MISFIT if bounded[0] else "C0", linewidth=1.5, label="estimate")
            mark = f" {_AT_BOUND}" if bounded[0] else ""
            ax.set_title(f"{name}, shared: {estimate[0]:.3g}{mark} [{lo[0]:.3g}, {hi[0]:.3g}]", fontsize=9)
            # The band alone gives no vertical range to speak of: leave room around it.
            ax.set_ylim(min(lo[0], estimate[0]) * 0.8, max(hi[0], estimate[0]) * 1.25)
        else:
            # Percentiles need not bracket the estimate on a small bootstrap: clip the bars at zero length.
            ax.errorbar(centres, estimate, xerr=half, yerr=[np.maximum(estimate - lo, 0), np.maximum(hi - estimate, 0)],
                        fmt="o", color="C0", ecolor="C0", elinewidth=1.0, capsize=2.5, markersize=4)
            if bounded.any():
                ax.plot(centres[bounded], estimate[bounded], "o", markersize=7, markerfacecolor="white",
                        markeredgecolor=_MISFIT, markeredgewidth=1.4, zorder=4)
            ax.set_title(name + (f" ({_AT_BOUND} red: at a search bound)" if bounded.any() else ""), fontsize=9)
        _density_axis(ax, density_edges)
        if name in _RATES and np.all(np.concatenate([estimate, lo, hi]) > 0):
            # Estimates at a search bound would sit on the frame: leave a little room.
            _log_axis(ax, "y", pad=1.3)
        ax.set_ylabel(name)
    return fig


def bootstrap_figure(bootstrap_result, *, parameters=None) -> Figure:
    """The fit's estimate and the bootstrap interval of each parameter against
    CpG density (points at the density bins' centres, their widths as
    horizontal bars); a parameter the mode shares between the density bins
    is one band. `parameters` defaults to the fitted ones: those whose
    estimate or interval is not the same fixed value everywhere."""
    intervals = bootstrap_result.intervals
    fit = bootstrap_result.fit
    low, high = _interval_columns(intervals, "St")
    if parameters is None:
        names = [p for p in PARAMETERS if p in intervals
                 and np.unique(intervals[[p, f"{p}_{low}", f"{p}_{high}"]].to_numpy()).size > 1]
    else:
        names = list(parameters)
    for name in names:
        if name not in intervals:
            raise InputError(f"no bootstrap interval of {name!r}; the result has {', '.join(intervals.columns)}")
    names = names or ["St"]
    shared = {name for name in names if name in fit.shared}
    fitted = fit.description.fitted(fit.settings)
    ranges = {name: fit.settings[RANGE[name]] for name in names if name in fitted}
    fig = _interval_figure(intervals, names, fit.data.density_edges, shared, low, high, ranges)
    n_done, n_boot = bootstrap_result.n_done, bootstrap_result.n_boot
    done = f"{n_done}" if n_done == n_boot else f"{n_done} of {n_boot}"
    fig.suptitle(f"{fit.mode} fit, {low[1:]}-{high[1:]} percentile intervals from {done} bootstrap samples",
                 fontsize=10)
    return fig


def drift_interval_figure(drift_result) -> Figure:
    """StE and StW of a bootstrapped drift fit with their percentile
    intervals, against CpG density."""
    table = drift_result.table
    if drift_result.samples is None or not any(c.startswith("StE_p") for c in table.columns):
        raise InputError("drift intervals need a drift fit with a bootstrap (fit_drift(..., n_boot > 0))")
    low, high = _interval_columns(table, "StE")
    search = drift_result.settings["st_bounds"]
    fig = _interval_figure(table, ["StE", "StW"], drift_result.data.density_edges, set(), low, high,
                           {"StE": search, "StW": search})
    fig.suptitle(f"drift fit, {low[1:]}-{high[1:]} percentile intervals from {drift_result.n_done} bootstrap "
                 "samples", fontsize=10)
    return fig
