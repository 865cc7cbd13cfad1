"""Figures of group comparisons: each group's estimates against CpG density,
and the tests' p-values."""

from __future__ import annotations

import math

import numpy as np

from .._errors import InputError
from ._base import _MISFIT, _RATES, Figure, _density_axis, _log_axis, _panels


def _edges_of(labels) -> np.ndarray:
    """Density edges back from labels such as "[0.02, 0.04)"."""
    values = []
    for label in labels:
        lo, hi = label.strip("[]()").split(",")
        values.append((float(lo), float(hi)))
    edges = [values[0][0]] + [hi for _, hi in values]
    return np.array(edges)


def differential_figure(result, *, stratum=None) -> Figure:
    """Each group's estimates with their 95 % profile-likelihood intervals
    against CpG density, one panel per parameter (a parameter shared by the
    density bins as one band per group); estimates the data do not identify
    as open markers, and the test of each parameter in its panel's title.
    `stratum` picks one stratum of a stratified result (default: the first)."""
    estimates, tests = result.estimates, result.tests
    if "stratum" in estimates.columns:
        stratum = estimates["stratum"].iloc[0] if stratum is None else stratum
        if stratum not in set(estimates["stratum"]):
            raise InputError(f"stratum {stratum!r} is not in the result; it has "
                             f"{', '.join(map(str, dict.fromkeys(estimates['stratum'])))}")
        estimates = estimates[estimates["stratum"] == stratum]
        tests = tests[tests["stratum"] == stratum]
    parameters = list(dict.fromkeys(estimates["parameter"]))
    groups = list(dict.fromkeys(estimates["group"]))
    per_bin = estimates[estimates["density_bin"] != "all bins"]
    labels = list(dict.fromkeys(per_bin["density_bin"])) or None
    edges = _edges_of(labels) if labels else np.array([0.0, 1.0])
    centres, half = 0.5 * (edges[:-1] + edges[1:]), 0.5 * np.diff(edges)
    fig, axes = _panels(len(parameters), width=3.4, height=2.8, max_columns=3)
    shift = 0.12 * (half.min() if len(half) else 0.1)
    for ax, name in zip(axes, parameters):
        rows = estimates[estimates["parameter"] == name]
        for k, group in enumerate(groups):
            mine = rows[rows["group"] == group]
            colour = f"C{k % 10}"
            estimate = mine["estimate"].to_numpy(dtype=float)
            lo = mine["lo"].to_numpy(dtype=float)
            hi = mine["hi"].to_numpy(dtype=float)
            identified = mine["identified"].to_numpy(dtype=bool)
            if (mine["density_bin"] == "all bins").all():
                low = lo[0] if math.isfinite(lo[0]) else estimate[0]
                high = hi[0] if math.isfinite(hi[0]) else estimate[0]
                ax.axhspan(low, high, color=colour, alpha=0.15, linewidth=0)
                ax.axhline(estimate[0], color=colour, linewidth=1.5, linestyle="-" if identified[0] else ":",
                           label=group)
                continue
            x = centres[: len(estimate)] + (k - (len(groups) - 1) / 2) * shift
            below = np.where(np.isfinite(lo), np.maximum(estimate - lo, 0), 0)
            above = np.where(np.isfinite(hi), np.maximum(hi - estimate, 0), 0)
            ax.errorbar(x, estimate, yerr=[below, above], fmt="none", ecolor=colour, elinewidth=1.0, capsize=2.5)
            ax.plot(x[identified], estimate[identified], "o", color=colour, markersize=4.5, label=group)
            if (~identified).any():
                ax.plot(x[~identified], estimate[~identified], "o", markerfacecolor="white", markeredgecolor=colour,
                        markeredgewidth=1.3, markersize=5.5)
        test = tests[tests["parameter"] == name]
        title = name
        if len(test):
            row = test.iloc[0]
            title += f": p = {row['p_value']:.2g}"
            if math.isfinite(row.get("p_permutation", math.nan)):
                title += f", permutation p = {row['p_permutation']:.2g}"
            if not row["identified"]:
                title += "\nnot identified by these data"
        ax.set_title(title, fontsize=8.5, color="black" if not len(test) or test.iloc[0]["identified"] else _MISFIT)
        if labels:
            _density_axis(ax, edges)
        else:
            ax.set_xticks([])
        values = rows[["estimate", "lo", "hi"]].to_numpy(dtype=float)
        finite = values[np.isfinite(values)]
        if name in _RATES and finite.size and np.all(finite > 0):
            _log_axis(ax, "y", pad=1.3)
        ax.set_ylabel(name)
    axes[0].legend(fontsize=7, frameon=False)
    where = "" if stratum is None else f", stratum {stratum}"
    fig.suptitle(f"{result.mode} fits per group{where}: estimates and 95 % profile intervals; open markers and "
                 "dotted lines: not identified by these data", fontsize=9)
    return fig


def pvalue_figure(result) -> Figure:
    """The tests' p-values as -log10 p bars (chi-square and, where made,
    permutation), with the 0.05 line; tests of parameters the data do not
    identify are drawn hatched."""
    tests = result.tests
    names = [f"{row.parameter}" + (f" ({row.stratum})" if "stratum" in tests.columns else "")
             for row in tests.itertuples()]
    y = np.arange(len(tests))
    fig = Figure(figsize=(6.4, 1.4 + 0.4 * len(tests)), layout="constrained")
    ax = fig.subplots()

    # p-values below the double's resolution print as 0: they are drawn at the cap and say so.
    cap = 16.0

    def height(p):
        return np.minimum(-np.log10(np.clip(np.asarray(p, dtype=float), 1e-300, 1.0)), cap)

    chi = height(tests["p_value"])
    identified = tests["identified"].to_numpy(dtype=bool)
    bars = ax.barh(y - 0.18, chi, height=0.34, color="C0", label="chi-square p")
    for bar, ok in zip(bars, identified):
        if not ok:
            bar.set_hatch("///")
            bar.set_facecolor("0.8")
    for yi, p in zip(y, tests["p_value"]):
        text = "p < 1e-16" if p < 1e-16 else f"p = {p:.2g}"
        ax.annotate(text, (min(-math.log10(max(p, 1e-300)), cap), yi - 0.18), xytext=(3, 0),
                    textcoords="offset points", va="center", fontsize=7, zorder=3,
                    bbox={"boxstyle": "square,pad=0.1", "facecolor": "white", "edgecolor": "none", "alpha": 0.8})
    tallest = float(chi.max(initial=0.0))
    if "p_permutation" in tests and tests["p_permutation"].notna().any():
        permuted = height(tests["p_permutation"].fillna(1.0))
        ax.barh(y + 0.18, permuted, height=0.34, color="C1", label="permutation p")
        tallest = max(tallest, float(permuted.max(initial=0.0)))
    threshold = -math.log10(0.05)
    ax.axvline(threshold, color="0.3", linestyle="--", linewidth=0.8, label="p = 0.05", zorder=1)
    # Room for the longest bar and its label, and the 0.05 line always in view.
    ax.set_xlim(0, max(2.0 * threshold, 1.3 * tallest))
    ax.set_yticks(y, names)
    ax.invert_yaxis()
    ax.set_xlabel("-log10 p")
    fig.legend(*ax.get_legend_handles_labels(), fontsize=7, frameon=False, loc="outside lower center", ncols=3)
    ax.set_title(f"{result.mode}: which parameter differs between the groups (hatched: not identified)", fontsize=9)
    return fig
