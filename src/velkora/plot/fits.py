"""Figures of fits: observed and fitted distributions per density bin."""

from __future__ import annotations

import numpy as np

from .._errors import InputError
from ..model.binning import NCPG
from ._base import _AT_BOUND, _MISFIT, _OBSERVED, Figure, _level_axis, _panels, _short_labels


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
