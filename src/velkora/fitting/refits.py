"""A fit searched again from a special case's optimum.

A mode that holds another as a special case can never fit worse than it:
the smaller mode's optimum is a point of the larger mode. A search that
ends below it has stopped short, as nested fits' searches sometimes do.
:func:`refit_from` searches the larger mode again with the tied engine,
starting its shared parameters at the smaller fit's values (each density
bin's own parameters are searched afresh, as in every fit), and keeps the
better of the two; should both stay below, the smaller fit's point itself,
evaluated as a point of the larger mode, is the estimate. The result says
so in its notes.
"""

from __future__ import annotations

import dataclasses

import numpy as np

from .. import _engine, velk_core
from ..model.modes import PARAMETERS, RANGE, Estimates, layout
from .results import FitResult, fit_tolerance, parameter_table
from .settings import engine_arrays, switches


def _tied_call(result: FitResult, table, fixed, lower, upper, starts):
    s, data = result.settings, result.data
    fractions, edges = engine_arrays(data)
    keywords = {"seed": 0 if s["seed"] is None else s["seed"]}
    if result.observation_matrices is not None:
        keywords["observation"] = result.observation_matrices
    with _engine.switches(**switches(s)):
        _, params, nlls = velk_core.py_fit_tied(
            fractions, edges, s["normalize_stw"], np.ascontiguousarray(table), np.ascontiguousarray(fixed),
            np.ascontiguousarray(lower), np.ascontiguousarray(upper), np.ascontiguousarray(data.weights),
            starts, **keywords)
    return params, nlls


def _result(result: FitResult, params: np.ndarray, nlls: np.ndarray, note: str) -> FitResult:
    values = {name: params[:, c].copy() for c, name in enumerate(PARAMETERS)}
    shared = {name: float(values[name][0]) for name in result.shared}
    estimates = Estimates(values, nlls, shared)
    table = parameter_table(result.data, result.description, estimates, result.settings, result.observation)
    total = float(np.dot(nlls, result.data.n_molecules.astype(np.float64)))
    weight = result.data.weights if result.description.weighted else np.ones(len(nlls))
    return dataclasses.replace(result, table=table, shared=shared, total_nll=total,
                               objective=float(np.dot(nlls, weight)), notes=(*result.notes, note))


def refit_from(result: FitResult, start: FitResult) -> FitResult:
    """`result` (a fit of a larger mode) searched again from `start` (a fit of
    a special case of it, of the same data and settings) when it ends below
    `start`; the better of the fits, never below `start`."""
    tolerance = fit_tolerance(result, start)
    if result.llf >= start.llf - tolerance / 2:
        return result
    s, n = result.settings, result.data.n_densities
    table, fixed, entries = layout(result.mode, s, n, 1)
    lower = np.array([s[RANGE[name]][0] for name, _, _ in entries], dtype=np.float64)
    upper = np.array([s[RANGE[name]][1] for name, _, _ in entries], dtype=np.float64)
    begin = np.array([[float(start.table[name].iloc[max(d, 0)]) for name, _, d in entries]], dtype=np.float64)
    begin = np.clip(begin, lower, upper)
    params, nlls = _tied_call(result, table, fixed, lower, upper, begin if begin.shape[1] else None)
    searched = _result(result, params, nlls,
                       f"searched again from the {start.mode} optimum, which its own search had missed")
    best = searched if searched.llf > result.llf else result
    if best.llf >= start.llf - tolerance / 2:
        return best
    # The special case's point itself, as a point of this mode: every parameter held at its value.
    held = np.array([[start.table[name].iloc[d] for name in PARAMETERS] for d in range(n)], dtype=np.float64)
    params, nlls = _tied_call(result, np.full(held.shape, -1.0), held, np.empty(0), np.empty(0), None)
    point = _result(result, params, nlls, f"no search found better than the {start.mode} optimum, which is "
                                          "therefore the estimate")
    return point if point.llf > best.llf else best


__all__ = ["refit_from"]
