"""Figures of comparisons of modes: information criteria and residual maps."""

from __future__ import annotations

import math

import matplotlib
import numpy as np
from matplotlib.patches import Rectangle
from matplotlib.ticker import FixedFormatter, FixedLocator

from .._errors import InputError
from ._base import _MISFIT, Figure, _level_axis, _short_labels, _tick_text


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
