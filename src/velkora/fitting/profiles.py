"""Profile likelihoods and the intervals they give: of a shared St, and of
each density bin's CoW and CoE.

A profile refits the other parameters at every value of the profiled one;
its 95 % interval is where the negative log-likelihood of the molecule counts
stays within 1.92 of its minimum (see :mod:`velkora._interval`).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from .. import _checks, _engine, _interval, velk_core
from .._errors import InputError
from .._optional import require
from ..counts.binned import BinnedData
from .settings import (binned, check_settings, engine_arrays, engine_weights, keywords,
                       observation as observation_model, switches)

pd = require("pandas")


@dataclass
class ProfileResult:
    """A profile likelihood and the interval it gives.

    Attributes
    ----------
    table : pandas.DataFrame
        For :func:`profile_st` one row per St at which the profile was
        evaluated, ascending: the grid's and, with the interval, those of its
        search, which goes on until the profile crosses the 95 % threshold on
        each side or reaches the search range's end (columns St, nll,
        delta_nll, on_grid). For :func:`profile_co` one row per density bin,
        parameter ("CoW" or "CoE") and grid value (columns density_bin,
        parameter, value, nll, delta_nll). delta_nll is nll minus the
        profile's minimum: the true one, found between the grid points, when
        the interval was searched, else the grid's (per density bin and
        parameter).
    intervals : pandas.DataFrame
        The 95 % profile-likelihood interval of each profiled parameter, one row
        per parameter (and density bin): where the profile is lowest
        (``estimate``, found between the grid points, ``nll_min``), and the
        values ``lo`` and ``hi`` where the negative log-likelihood of the
        molecule counts has risen by 1.92 (half the 95 % quantile of chi-square
        with one degree of freedom) above that minimum, found by root search to
        a relative tolerance of ``xtol`` (1e-4).
    settings : dict
        The checked settings of the profile.

    Notes
    -----
    An end of an interval is NaN where the profile stays below the threshold up
    to the search range's end (``st_bounds`` or ``co_bounds``): the data do not
    bound the parameter on that side. The intervals need molecule weights
    (``weights="molecules"``, the default), which make the nll a
    log-likelihood; with other weights they are NaN.
    """

    table: pd.DataFrame
    intervals: pd.DataFrame
    settings: dict[str, Any]

    @property
    def interval(self) -> tuple[float, float]:
        """The ends (lo, hi) of the first interval, which is the St interval of :func:`profile_st`."""
        row = self.intervals.iloc[0]
        return float(row["lo"]), float(row["hi"])


def _interval_row(interval: _interval.Interval, **labels) -> dict[str, Any]:
    return {**labels, "estimate": interval.estimate, "lo": interval.lo, "hi": interval.hi,
            "nll_min": interval.nll_min, "threshold": interval.threshold, "xtol": interval.xtol,
            "evaluations": interval.evaluations}


def _no_interval(**labels) -> dict[str, Any]:
    nan = math.nan
    return {**labels, "estimate": nan, "lo": nan, "hi": nan, "nll_min": nan,
            "threshold": _interval.CHI2_1_95_HALF, "xtol": _interval.XTOL, "evaluations": 0}


def profile_st(data: BinnedData, st_grid, *, interval: bool = True, **settings) -> ProfileResult:
    """Profile likelihood of a shared St and its 95 % interval.

    At every St of `st_grid` the CoW, CoE of each density bin are refitted and
    the bins' nll summed with the weights.

    Parameters
    ----------
    data : BinnedData
        The binned molecules.
    st_grid : sequence of float
        The St values of the profile, positive.
    interval : bool, optional
        With True (default), the profile-likelihood interval of St is then
        found by refitting at further St values between and beyond the grid
        points (within ``st_bounds``); see :class:`ProfileResult`.
    **settings
        The settings of :func:`fit` (uses normalize_stw, st_bounds, co_bounds,
        n_u, n_m, weights, vmax, raw_count, seed).

    Returns
    -------
    ProfileResult
        The profile and the St interval.

    Raises
    ------
    InputError
        For data that are not a BinnedData, a bad grid or a bad setting.

    Notes
    -----
    Results are reproducible: every refit is seeded from `seed`.

    Examples
    --------
    >>> profile = vk.profile_st(data, np.geomspace(0.2, 2.0, 9))  # doctest: +SKIP
    >>> profile.interval  # doctest: +SKIP
    """
    data = binned(data)
    grid = _checks.grid(st_grid, "st_grid", positive=True)
    s = check_settings(settings, data.n_densities)
    fractions, edges = engine_arrays(data)
    weights = engine_weights(s, data)
    extras = keywords("py_profile_shared_st", s, observation_model(s, data)[1])

    def evaluate(points: np.ndarray) -> np.ndarray:
        return velk_core.py_profile_shared_st(fractions, edges, s["normalize_stw"], np.ascontiguousarray(points),
                                              s["co_bounds"], s["n_u"], s["n_m"], weights, **extras)

    with _engine.switches(**switches(s)):
        nll = evaluate(grid)
        if interval and s["weights"] == "molecules":
            found = _interval.likelihood_interval(lambda st: evaluate(np.array([st]))[0], grid, nll, s["st_bounds"])
            rows = [_interval_row(found, parameter="St")]
            table = _evaluated(found, grid, "St")
        else:
            rows = [_no_interval(parameter="St")]
            table = pd.DataFrame({"St": grid, "nll": nll, "delta_nll": nll - nll.min(), "on_grid": True})
    return ProfileResult(table, pd.DataFrame(rows), s)


def _evaluated(found: _interval.Interval, grid: np.ndarray, name: str):
    """Every point the profile was evaluated at, the grid's and the interval
    search's, ascending, with the rise above the profile's true minimum."""
    x, y = (np.array(v, dtype=np.float64) for v in zip(*found.points))
    lowest = found.nll_min if math.isfinite(found.nll_min) else float(np.min(y))
    return pd.DataFrame({name: x, "nll": y, "delta_nll": y - lowest, "on_grid": np.isin(x, grid)})


def profile_co(data: BinnedData, shared_st: float, cow_grid, coe_grid, *, interval: bool = True,
               **settings) -> ProfileResult:
    """Profile likelihoods of CoW and CoE per density bin, St held at `shared_st`,
    and their 95 % intervals.

    At every CoW of `cow_grid` the bin's CoE is refitted, and the other way
    round.

    Parameters
    ----------
    data : BinnedData
        The binned molecules.
    shared_st : float
        The St at which every profile is computed, positive.
    cow_grid, coe_grid : sequence of float
        The CoW and the CoE values of the profiles, positive; both grids must
        have the same length.
    interval : bool, optional
        With True (default), the profile-likelihood interval of CoW and of CoE
        of every density bin is found by refitting at further values (within
        ``co_bounds``), on the scale of the bin's molecule count (its nll times
        its molecules); see :class:`ProfileResult`.
    **settings
        The settings of :func:`fit` (uses normalize_stw, co_bounds, n_u, n_m,
        vmax, raw_count, seed).

    Returns
    -------
    ProfileResult
        The profiles and the intervals, per density bin and parameter.

    Raises
    ------
    InputError
        For data that are not a BinnedData, a bad `shared_st`, grids of
        different lengths or a bad setting.
    """
    data = binned(data)
    shared_st = _checks.finite(shared_st, "shared_st", positive=True)
    cow = _checks.grid(cow_grid, "cow_grid", positive=True)
    coe = _checks.grid(coe_grid, "coe_grid", positive=True)
    if cow.size != coe.size:
        raise InputError(f"cow_grid and coe_grid must have the same length, not {cow.size} and {coe.size}")
    s = check_settings(settings, data.n_densities)
    fractions, edges = engine_arrays(data)
    matrices = observation_model(s, data)[1]

    def evaluate(rows: np.ndarray, cow_points: np.ndarray, coe_points: np.ndarray, density: slice = slice(None)):
        extras = keywords("py_profile_shared_co", s, None if matrices is None else matrices[density])
        return velk_core.py_profile_shared_co(rows, edges, s["normalize_stw"], shared_st,
                                              np.ascontiguousarray(cow_points), np.ascontiguousarray(coe_points),
                                              s["co_bounds"], s["n_u"], s["n_m"], **extras)

    parts, rows = [], []
    with _engine.switches(**switches(s)):
        # Each density bin is profiled on its own row, on the grids and at every refit of its
        # interval search alike, so that both evaluate one function (the engine seeds a refit
        # by its row in the call).
        single_rows = [np.ascontiguousarray(fractions[d:d + 1]) for d in range(data.n_densities)]
        per_bin = [evaluate(single, cow, coe, slice(d, d + 1)) for d, single in enumerate(single_rows)]
        for p, (name, grid) in enumerate(zip(("CoW", "CoE"), (cow, coe))):
            for d, label in enumerate(data.labels):
                row, single = per_bin[d][p][0], single_rows[d]
                part = pd.DataFrame({"density_bin": label, "parameter": name, "value": grid, "nll": row,
                                     "delta_nll": row - row.min()})
                parts.append(part)
                if not (interval and s["weights"] == "molecules"):
                    rows.append(_no_interval(density_bin=label, parameter=name))
                    continue
                # One density bin's row alone, so that each refit fits only that bin; the
                # per-molecule nll times the bin's molecules is its log-likelihood scale.
                molecules = float(data.n_molecules[d])

                def scaled(value, p=p, d=d, single=single, molecules=molecules):
                    point = np.array([value])
                    return molecules * evaluate(single, point, point, slice(d, d + 1))[p][0, 0]

                found = _interval.likelihood_interval(scaled, grid, molecules * row, s["co_bounds"])
                rows.append(_interval_row(found, density_bin=label, parameter=name))
                if math.isfinite(found.nll_min):  # the minimum between the grid points, per molecule
                    part["delta_nll"] = row - min(found.nll_min / molecules, row.min())
    return ProfileResult(pd.concat(parts, ignore_index=True), pd.DataFrame(rows), s)
