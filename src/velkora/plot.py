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

from __future__ import annotations

import math
from pathlib import Path

import numpy as np

from ._errors import InputError
from ._formats import FIGURE_FORMATS
from ._interval import CHI2_1_95_HALF
from ._optional import require
from .model.binning import NCPG
from .model.modes import PARAMETERS, RANGE, RATES

require("matplotlib")
import matplotlib  # noqa: E402 - after the check that names the extra
from matplotlib import patheffects  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402
from matplotlib.patches import Rectangle  # noqa: E402
from matplotlib.ticker import FixedFormatter, FixedLocator, NullFormatter  # noqa: E402

__all__ = ["FIGURE_FORMATS", "bootstrap_figure", "comparison_figure", "drift_figure", "drift_interval_figure",
           "fit_figure", "phase_figure", "profile_figure", "residual_figure", "save_figure"]

# Parameters that are rates (drawn on log axes); the others (exponents) are not.
_RATES = (*RATES, "StE", "StW")

_OBSERVED = {"color": "0.80", "edgecolor": "0.55", "linewidth": 0.4}
_MISFIT = "#c0392b"

_PHASE_QUANTITIES = {
    "bistability": ("bistability score", "magma"),
    "avg_meth": ("mean methylation level", "viridis"),
    "entropy": ("entropy (nats)", "cividis"),
    "frac_inter": ("fraction at intermediate levels", "plasma"),
}


# ---------------------------------------------------------------- saving


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


# ---------------------------------------------------------------- axes


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


# ---------------------------------------------------------------- fits


def _goodness_rows(goodness, fit_result):
    """The goodness-of-fit rows (G, p_value, misfit) of the fit's density bins,
    from a Comparison or its goodness_of_fit table (all modes, or one)."""
    if goodness is None:
        return None
    table = getattr(goodness, "goodness_of_fit", goodness)
    for column in ("G", "p_value", "misfit"):
        if column not in getattr(table, "columns", ()):
            raise InputError(f"goodness: missing column '{column}' (expected a Comparison or its goodness_of_fit)")
    if table.index.nlevels > 1:
        modes = table.index.get_level_values(0)
        if fit_result.mode not in set(modes):
            raise InputError(f"goodness: no rows of mode {fit_result.mode!r}; it has {', '.join(dict.fromkeys(modes))}")
        table = table.xs(fit_result.mode, level=0)
    missing = [label for label in fit_result.data.labels if label not in table.index]
    if missing:
        raise InputError(f"goodness: no row of density bin {missing[0]} (from another fit?)")
    return table.loc[fit_result.data.labels]


def _fit_labels(fit_result) -> tuple[str, str]:
    """Legend labels of the binned model and of the model on its 71 levels."""
    if fit_result.observation == "sampled":
        depth = fit_result.data.median_depth
        read = "fit, as read" + ("" if depth is None else f" (median depth {depth:g})")
        return read, "model, whole 70-site molecules"
    return "fit", "model at its 71 levels M/70"


# The mark of an estimate at an end of its search range: a bound, not an estimate.
_AT_BOUND = "*"


def _bound_names(text: str) -> set[str]:
    """The parameter names of an ``at_bound`` entry such as "CoW (upper), St (lower)"."""
    return {item.split(" ")[0] for item in text.split(", ") if item}


def _parameter_text(row, fitted) -> str:
    flagged = _bound_names(getattr(row, "at_bound", "") or "")

    def shown(name):
        return f"{name} {getattr(row, name):.3g}{_AT_BOUND if name in flagged else ''}"

    text = "  ".join(shown(name) for name in ("St", "CoW", "CoE"))
    extra = [name for name in ("n_U", "n_M", "Vmax") if name in fitted]
    if extra:
        text += "\n" + "  ".join(shown(name) for name in extra)
    return text


def fit_figure(fit_result, *, macrostates: bool = True, goodness=None, title: str | None = None) -> Figure:
    """Observed and fitted distribution of every density bin.

    Bars are the observed molecules; the step line is the fitted model binned
    as the fit compared it with them (for short reads: as reads of the data's
    depths observe it); with `macrostates` (default) a thin line adds the
    model on its 71 levels M / 70, the distribution of whole 70-site
    molecules. All are fractions of molecules per unit of methylation level.
    `goodness` (a :class:`~velkora.comparison.Comparison` or its
    ``goodness_of_fit`` table) adds each bin's G test and marks in red the
    bins the model does not explain.
    """
    data, table = fit_result.data, fit_result.table
    edges = data.meth_edges
    widths = np.diff(edges)
    observed = data.fractions / widths
    as_read = fit_result.model_fractions(observed=True) / widths
    levels = np.arange(NCPG + 1) / NCPG
    molecules = fit_result.distributions() * NCPG if macrostates else None
    flags = _goodness_rows(goodness, fit_result)
    read_label, level_label = _fit_labels(fit_result)
    names = _short_labels(data.density_edges)
    fig, axes = _panels(data.n_densities, width=3.3, height=2.9)
    for d, (ax, row) in enumerate(zip(axes, table.itertuples())):
        ax.bar(edges[:-1], observed[d], width=widths, align="edge", label="observed", **_OBSERVED)
        if molecules is not None:
            ax.plot(levels, molecules[d], color="C0", linewidth=0.8, alpha=0.85, label=level_label)
        ax.stairs(as_read[d], edges, color="C3", linewidth=1.5, label=read_label)
        _level_axis(ax, edges)
        ax.set_ylim(0, None)
        parameters = _parameter_text(row, fit_result.description.fitted(fit_result.settings))
        heading = f"CpG density {names[d]} per bp  (n = {row.n_molecules:,})\n{parameters}"
        colour = "black"
        if flags is not None:
            check = flags.iloc[d]
            verdict = "  not explained" if check["misfit"] else ""
            heading += f"\nG = {check['G']:.3g}, p = {check['p_value']:.2g}{verdict}"
            if check["misfit"]:
                colour = _MISFIT
                for spine in ax.spines.values():
                    spine.set(color=_MISFIT, linewidth=1.6)
        ax.set_title(heading, fontsize=7.5, color=colour)
    axes[0].set_ylabel("fraction per unit level")
    handles, labels = axes[0].get_legend_handles_labels()
    order = [labels.index(name) for name in ("observed", read_label, level_label) if name in labels]
    fig.legend([handles[k] for k in order], [labels[k] for k in order], loc="outside lower center", ncols=3,
               fontsize=8, frameon=False)
    if title is None:
        title = (f"{fit_result.mode} fit: total nll {fit_result.total_nll:.6g} "
                 "(molecule-weighted sum of the density bins' nll)")
        if fit_result.observation == "sampled":
            title += "; short reads, scored as read"
        if flags is not None and flags["misfit"].any():
            title += "; red: density bins the model does not explain (G test)"
        if fit_result.at_bound:
            title += f"\n{_AT_BOUND} at an end of its search range: a bound, not an estimate"
    fig.suptitle(title, fontsize=10)
    return fig


# ---------------------------------------------------------------- intervals


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


# ---------------------------------------------------------------- profile, phase, drift


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


# ---------------------------------------------------------------- comparisons


def _symlog_axis(ax, largest: float) -> None:
    """An x axis from 0 that stays readable when the differences span decades:
    linear up to 1, logarithmic beyond, labelled at 0 and the decades."""
    if largest <= 30:
        ax.set_xlim(0, max(largest, 1.0) * 1.3)
        return
    ax.set_xscale("symlog", linthresh=1.0, linscale=0.5)
    top = math.ceil(math.log10(largest * 3))
    stride = max(1, math.ceil(top / 6))
    ticks = [0.0] + [10.0 ** k for k in range(0, top + 1, stride)]
    ax.xaxis.set_major_locator(FixedLocator(ticks))
    ax.xaxis.set_major_formatter(FixedFormatter(["0"] + [_tick_text(v) for v in ticks[1:]]))
    ax.xaxis.set_minor_locator(FixedLocator([]))
    ax.set_xlim(0, 10.0 ** top)


def comparison_figure(comparison) -> Figure:
    """Differences in AIC and in BIC of every compared mode to the lowest, as
    horizontal bars (modes ordered by AIC, the best in bold), with the Akaike
    weights beside the AIC bars."""
    table = getattr(comparison, "table", comparison)
    for column in ("delta_aic", "delta_bic", "akaike_weight"):
        if column not in table:
            raise InputError(f"comparison: missing column '{column}' (expected a Comparison or its table)")
    table = table.sort_values(["delta_aic", "delta_bic"], kind="stable")
    modes, y = list(table.index), np.arange(len(table))
    fig = Figure(figsize=(7.6, 1.5 + 0.42 * len(modes)), layout="constrained")
    axes = fig.subplots(1, 2, sharey=True)
    # One scale for both panels, set by the larger difference, so that the bars compare across them.
    largest = float(np.nanmax(table[["delta_aic", "delta_bic"]].to_numpy(dtype=float)))
    for ax, column, label in ((axes[0], "delta_aic", "ΔAIC"), (axes[1], "delta_bic", "ΔBIC")):
        values = table[column].to_numpy(dtype=float)
        best = values == values.min()
        ax.barh(y, values, height=0.6, color=np.where(best, "C2", "0.65"))
        _symlog_axis(ax, largest)
        for yi, value, is_best in zip(y, values, best):
            text = "best" if is_best else f"{value:.3g}"
            ax.annotate(text, (value, yi), xytext=(4, 0), textcoords="offset points", va="center", fontsize=7.5,
                        fontweight="bold" if is_best else "normal")
        ax.set_xlabel(f"{label} (to the lowest)")
        ax.grid(axis="x", color="0.9", linewidth=0.6)
        ax.set_axisbelow(True)
    axes[0].set_yticks(y, [f"{mode}\nw = {w:.2g}" for mode, w in zip(modes, table["akaike_weight"])])
    axes[0].invert_yaxis()
    for tick, is_best in zip(axes[0].get_yticklabels(), table["delta_aic"].to_numpy() == table["delta_aic"].min()):
        tick.set_fontweight("bold" if is_best else "normal")
    fig.suptitle("model choice: lower is better; w = Akaike weight", fontsize=10)
    return fig


def residual_figure(comparison, mode: str | None = None, *, limit: float | None = None) -> Figure:
    """The Pearson residuals of one compared mode (default: the best by AIC)
    as a heat map, density bins by methylation level, on a diverging colour
    scale centred at 0 (red: more molecules observed than the model expects).
    Density bins the model does not explain (G test) are outlined and named
    in red; every row gives its G test's p-value. `limit` caps the colour
    scale at ±limit (default: the largest absolute residual, at least 2)."""
    mode = comparison.best if mode is None else mode
    if mode not in comparison.fits:
        raise InputError(f"mode {mode!r} was not compared; the comparison has {', '.join(comparison.fits)}")
    data = comparison.fits[mode].data
    residuals = comparison.residuals.xs(mode, level="mode")["residual"]
    values = residuals.to_numpy(dtype=float).reshape(data.n_densities, data.n_meth_bins)
    checks = comparison.goodness_of_fit.xs(mode, level="mode").loc[data.labels]
    if limit is None:
        finite = np.abs(values[np.isfinite(values)])
        limit = max(2.0, float(finite.max()) if finite.size else 2.0)
    colours = matplotlib.colormaps["RdBu_r"].with_extremes(bad="0.85")
    fig = Figure(figsize=(7.2, 1.6 + 0.42 * data.n_densities), layout="constrained")
    ax = fig.subplots()
    rows = np.arange(data.n_densities + 1)
    image = ax.pcolormesh(data.meth_edges, rows, np.ma.masked_invalid(values), cmap=colours, vmin=-limit,
                          vmax=limit, edgecolors="white", linewidth=0.3)
    bar = fig.colorbar(image, ax=ax, extend="both", pad=0.01)
    bar.set_label("Pearson residual\n(observed - expected) / sqrt(expected)", fontsize=8)
    ax.set_yticks(rows[:-1] + 0.5, _short_labels(data.density_edges), fontsize=7.5)
    ax.set_ylabel("CpG density bin (CpG per bp)")
    _level_axis(ax, data.meth_edges)
    for d, (tick, check) in enumerate(zip(ax.get_yticklabels(), checks.itertuples())):
        flagged = bool(check.misfit)
        ax.annotate(f"p = {check.p_value:.2g}", (1.0, d + 0.5), xycoords=("axes fraction", "data"), xytext=(4, 0),
                    textcoords="offset points", va="center", fontsize=7, color=_MISFIT if flagged else "0.3",
                    fontweight="bold" if flagged else "normal")
        if flagged:
            tick.set_color(_MISFIT)
            ax.add_patch(Rectangle((data.meth_edges[0], d), data.meth_edges[-1] - data.meth_edges[0],
                                                      1, fill=False, edgecolor=_MISFIT, linewidth=1.6, zorder=3))
    flagged = int(checks["misfit"].sum())
    note = f"\n{flagged} density bin{'s' if flagged != 1 else ''} not explained (red)" if flagged else ""
    ax.set_title(f"{mode}: residuals per density bin and level; G test p-values at the right{note}", fontsize=9)
    return fig
