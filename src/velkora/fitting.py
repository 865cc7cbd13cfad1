"""Fits of binned methylation distributions, their bootstraps and profiles.

Every function here takes a :class:`~velkora.data.BinnedData` (or, for the
drift fit, a :class:`~velkora.data.DriftData`), checks its settings, calls the
engine :mod:`velkora.velk_core` and returns labelled pandas tables indexed by
density bin. A fit's mode says which parameters are shared between the
density bins:

======================  ====================================================
``"independent"``       every density bin its own St, CoW, CoE; n_U, n_M fixed
``"independent-exp"``   every density bin its own St, CoW, CoE, n_U, n_M
``"shared-st"``         one St for all bins; CoW, CoE per bin; n_U, n_M fixed
``"shared-exp"``        one St, n_U, n_M (and Vmax with ``fit_vmax``); CoW, CoE per bin
``"shared-st-exp"``     one St (and Vmax with ``fit_vmax``); CoW, CoE, n_U, n_M per bin
``"shared-co"``         one St, CoW, CoE; n_U, n_M per bin
======================  ====================================================

St is the free spontaneous rate: StE with ``normalize_stw=True`` (StW = 1),
StW otherwise (StE = 1).
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np

from . import _chunks, _engine, _interval, velk_core
from ._errors import InputError
from ._optional import require
from .data import BinnedData, DriftData
from .observation import observation_matrices
from .model import bin_fractions, stationary_distribution

pd = require("pandas")

MODES = ("independent", "independent-exp", "shared-st", "shared-exp", "shared-st-exp", "shared-co")

# The modes whose objective sums the density bins' nll (with the weights) and
# those that can fit a shared Vmax.
_WEIGHTED_MODES = ("shared-st", "shared-exp", "shared-st-exp", "shared-co")
_VMAX_MODES = ("shared-exp", "shared-st-exp")

DEFAULT_SETTINGS: dict[str, Any] = {
    "normalize_stw": True,
    "st_bounds": (0.01, 10.0),
    "co_bounds": (0.01, 100.0),
    "n_exp_bounds": (0.5, 5.0),
    "n_u": 2.0,
    "n_m": 2.0,
    "co_penalty": 0.0,
    "weights": "molecules",
    "fit_vmax": False,
    "vmax_bounds": (0.001, 1e6),
    "vmax": math.inf,
    "raw_count": False,
    "seed": 0,
    "observation": "auto",
}

OBSERVATIONS = ("auto", "binned", "sampled")

_PARAMETERS = ("St", "CoW", "CoE", "n_U", "n_M", "Vmax")


# ---------------------------------------------------------------- checks


def _real(value, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise InputError(f"{name} must be a number, not {value!r}")
    return float(value)


def _finite(value, name: str, *, minimum: float | None = None, positive: bool = False) -> float:
    number = _real(value, name)
    if not math.isfinite(number):
        raise InputError(f"{name} must be finite, not {number!r}")
    if positive and not number > 0:
        raise InputError(f"{name} must be positive, not {number:g}")
    if minimum is not None and number < minimum:
        raise InputError(f"{name} must be at least {minimum:g}, not {number:g}")
    return number


def _bounds(value, name: str, *, positive: bool) -> tuple[float, float]:
    """(lo, hi) as a tuple of floats. Rates are searched on a log scale, hence
    `positive`: their lower bound must be above zero."""
    rule = "0 < lo <= hi" if positive else "lo <= hi"
    try:
        lo, hi = (_real(v, name) for v in value)
    except (TypeError, ValueError, InputError):
        raise InputError(f"{name} must be a pair of finite numbers (lo, hi) with {rule}, not {value!r}") from None
    if not (math.isfinite(lo) and math.isfinite(hi) and lo <= hi and (lo > 0 or not positive)):
        raise InputError(f"{name} must be a pair of finite numbers (lo, hi) with {rule}, not ({lo:g}, {hi:g})")
    return lo, hi


def _flag(value, name: str) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise InputError(f"{name} must be True or False, not {value!r}")
    return bool(value)


def _count(value, name: str, minimum: int) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)) or value < minimum:
        raise InputError(f"{name} must be an integer of at least {minimum}, not {value!r}")
    return int(value)


def _choice(value, name: str, choices: tuple[str, ...]) -> str:
    if value not in choices:
        raise InputError(f"{name} must be one of {', '.join(choices)}, not {value!r}")
    return value


def _seed(value) -> int | None:
    return None if value is None else _count(value, "seed", 0)


def _grid(values, name: str, *, positive: bool = False) -> np.ndarray:
    """A non-empty 1-D grid of finite values as a C-contiguous float64 array."""
    try:
        grid = np.array(values, dtype=np.float64, ndmin=1)
    except (TypeError, ValueError):
        raise InputError(f"{name} must be a sequence of numbers, not {values!r}") from None
    if grid.ndim != 1 or grid.size == 0:
        raise InputError(f"{name} must be a non-empty 1-D sequence of numbers, got shape {grid.shape}")
    bad = ~np.isfinite(grid) | ((grid <= 0) if positive else False)
    if bad.any():
        first = int(np.flatnonzero(bad)[0])
        kind = "positive and finite" if positive else "finite"
        raise InputError(
            f"{name}: {int(bad.sum())} values not {kind} (first at position {first}: {grid[first]:g})")
    return np.ascontiguousarray(grid)


def _weights(value, n_densities: int):
    if isinstance(value, str):
        if value not in ("molecules", "equal"):
            raise InputError(f"weights must be 'molecules', 'equal' or one number per density bin, not {value!r}")
        return value
    weights = _grid(value, "weights")
    if weights.size != n_densities:
        raise InputError(f"weights has {weights.size} values but the data have {n_densities} density bins")
    if (weights < 0).any() or not weights.sum() > 0:
        raise InputError(f"weights must be non-negative and not all zero, got {weights.tolist()}")
    return weights.tolist()


def _settings(given: dict[str, Any], n_densities: int) -> dict[str, Any]:
    """The checked settings with the defaults filled in: plain floats, bools,
    tuples and strings (weights: 'molecules', 'equal' or a list)."""
    unknown = [name for name in given if name not in DEFAULT_SETTINGS]
    if unknown:
        raise InputError(f"unknown setting {unknown[0]!r}; the settings are {', '.join(DEFAULT_SETTINGS)}")
    s = {**DEFAULT_SETTINGS, **given}
    vmax = _real(s["vmax"], "vmax")
    if not vmax > 0:
        raise InputError(f"vmax must be positive (inf switches the ceiling off), not {vmax:g}")
    return {
        "normalize_stw": _flag(s["normalize_stw"], "normalize_stw"),
        "st_bounds": _bounds(s["st_bounds"], "st_bounds", positive=True),
        "co_bounds": _bounds(s["co_bounds"], "co_bounds", positive=True),
        "n_exp_bounds": _bounds(s["n_exp_bounds"], "n_exp_bounds", positive=False),
        "n_u": _finite(s["n_u"], "n_u"),
        "n_m": _finite(s["n_m"], "n_m"),
        "co_penalty": _finite(s["co_penalty"], "co_penalty", minimum=0.0),
        "weights": _weights(s["weights"], n_densities),
        "fit_vmax": _flag(s["fit_vmax"], "fit_vmax"),
        "vmax_bounds": _bounds(s["vmax_bounds"], "vmax_bounds", positive=True),
        "vmax": vmax,
        "raw_count": _flag(s["raw_count"], "raw_count"),
        "seed": _seed(s["seed"]),
        "observation": _choice(s["observation"], "observation", OBSERVATIONS),
    }


def _binned(data) -> BinnedData:
    if not isinstance(data, BinnedData):
        raise InputError(f"data must be a BinnedData (from bin_molecules), not {type(data).__name__}")
    return data


def _mode(mode) -> str:
    if mode not in MODES:
        raise InputError(f"unknown mode {mode!r}; the modes are {', '.join(MODES)}")
    return mode


def _engine_weights(settings: dict[str, Any], data: BinnedData) -> np.ndarray | None:
    weights = settings["weights"]
    if weights == "molecules":
        return data.weights
    if weights == "equal":
        return None
    return np.ascontiguousarray(weights, dtype=np.float64)


def _engine_arrays(data: BinnedData) -> tuple[np.ndarray, np.ndarray]:
    return (np.ascontiguousarray(data.fractions, dtype=np.float64),
            np.ascontiguousarray(data.meth_edges, dtype=np.float64))


def _switches(settings: dict[str, Any]) -> dict[str, Any]:
    """The engine's run-wide switches for these settings, for :func:`velkora._engine.switches`."""
    return {"mm_vmax": settings["vmax"], "raw_count": settings["raw_count"]}


def _observation(settings: dict[str, Any], data: BinnedData) -> tuple[str, np.ndarray | None, str]:
    """The observation model of a fit: its name, the engine's observation
    matrices (None for the plain binning) and why it was chosen."""
    wanted = settings["observation"]
    if data.depth_counts is None:
        if wanted == "sampled":
            raise InputError("observation='sampled' needs each molecule's number of called sites (an n_called or "
                             "total column); these data have levels only")
        return "binned", None, "the data have levels but no read depths, so reads are taken as whole molecules"
    if wanted == "binned" or (wanted == "auto" and not data.short_reads):
        reason = ("asked for" if wanted == "binned" else
                  "every molecule was read at 70 or more sites, the model's resolution")
        return "binned", None, reason
    reason = "asked for" if wanted == "sampled" else "molecules were read at fewer than the model's 70 sites"
    return "sampled", observation_matrices(data.depth_counts, data.meth_edges), reason


# The engine functions whose optimiser runs take a caller's seed (the others
# seed every run from its index already).
_SEEDED = ("py_fit_shared_st", "py_fit_bootstrap", "py_profile_shared_st", "py_profile_shared_co")


def _keywords(function: str, settings: dict[str, Any], matrices: np.ndarray | None) -> dict[str, Any]:
    """The engine's keyword-only extras for one call: the seed of the runs it
    would otherwise seed from the operating system, and the observation
    matrices of short reads."""
    keywords: dict[str, Any] = {}
    if function in _SEEDED and settings["seed"] is not None:
        keywords["seed"] = settings["seed"]
    if matrices is not None:
        keywords["observation"] = matrices
    return keywords


def _density_table(data: BinnedData):
    return pd.DataFrame(
        {"density_lo": data.density_edges[:-1], "density_hi": data.density_edges[1:],
         "n_molecules": data.n_molecules},
        index=pd.Index(data.labels, name="density_bin"),
    )


# ---------------------------------------------------------------- fit


@dataclass
class FitResult:
    """A fit of every density bin.

    Attributes
    ----------
    mode : str
        The mode of the fit, one of :data:`MODES`.
    settings : dict
        The checked settings the fit used, defaults filled in.
    data : BinnedData
        The data fitted.
    table : pandas.DataFrame
        One row per density bin (index "density_bin") with its edges, molecule
        count, the rates St, CoW, CoE, the exponents n_U, n_M and the ceiling
        Vmax that the fit used (fitted or fixed), the bin's nll and the
        observation model.
    shared : dict of str to float
        The values common to all bins (empty for the independent modes).
    total_nll : float
        What the fit minimised: the weighted sum of the bins' nll for the shared
        modes, their plain sum for the independent ones.
    observation : str
        The observation model the fit scored the data with: "binned" (every
        molecule read at the model's 70 sites) or "sampled" (short reads,
        through ``observation_matrices``).
    observation_matrices : numpy.ndarray or None
        With "sampled", one (n_meth_bins, 71) matrix per density bin.
    observation_reason : str
        Why that observation model was chosen.
    """

    mode: str
    settings: dict[str, Any]
    data: BinnedData
    table: pd.DataFrame
    shared: dict[str, float]
    total_nll: float
    observation: str = "binned"
    observation_matrices: np.ndarray | None = None
    observation_reason: str = ""

    def distributions(self) -> np.ndarray:
        """The fitted stationary distributions over the 71 macrostates.

        Returns
        -------
        numpy.ndarray
            Shape (n_densities, 71): row d is density bin d's distribution over
            M = 0 .. 70 methylated sites (levels M / 70).
        """
        s = self.settings
        rows = []
        for row in self.table.itertuples():
            ste, stw = (row.St, 1.0) if s["normalize_stw"] else (1.0, row.St)
            rows.append(stationary_distribution(ste, stw, row.CoW, row.CoE, row.n_U, row.n_M, row.Vmax,
                                                s["raw_count"]))
        return np.array(rows)

    def model_fractions(self, observed: bool = True) -> np.ndarray:
        """The fitted model's fractions per density bin.

        Parameters
        ----------
        observed : bool, optional
            With True (default), as the fit compared them with the data: through
            the observation matrices for short reads. With False, the binned
            distribution of molecules read at all 70 sites.

        Returns
        -------
        numpy.ndarray
            Shape (n_densities, n_meth_bins).
        """
        matrices = self.observation_matrices if observed else None
        return np.array([
            bin_fractions(p, self.data.meth_edges, None if matrices is None else matrices[d])
            for d, p in enumerate(self.distributions())
        ])

    def warm_start(self) -> tuple[float, ...] | None:
        """Where the bootstrap of a shared-exp or shared-co fit starts every resample.

        Returns
        -------
        tuple of float or None
            (St, n_U, n_M, Vmax) for shared-exp, (St, CoW, CoE) for shared-co;
            None for the other modes, whose bootstraps search afresh.
        """
        if self.mode == "shared-exp":
            return (self.shared["St"], self.shared["n_U"], self.shared["n_M"], float(self.table["Vmax"].iloc[0]))
        if self.mode == "shared-co":
            return (self.shared["St"], self.shared["CoW"], self.shared["CoE"])
        return None


def fit(data: BinnedData, mode: str = "independent", **settings) -> FitResult:
    """Fits the model to every density bin of `data`.

    Parameters
    ----------
    data : BinnedData
        The binned molecules (from :func:`bin_molecules`).
    mode : str, optional
        One of :data:`MODES` (default "independent"); the module's description
        says which parameters each mode shares between the density bins.
    **settings
        The fit settings, with their defaults:

        - ``normalize_stw=True``: StW = 1 and St is StE; False: StE = 1 and St is StW.
        - ``st_bounds=(0.01, 10.0)``, ``co_bounds=(0.01, 100.0)``: search ranges of
          St and of CoW, CoE (searched on a log scale, so 0 < lo <= hi).
        - ``n_exp_bounds=(0.5, 5.0)``: range of the fitted exponents (exp modes).
        - ``n_u=2.0``, ``n_m=2.0``: the exponents where they are not fitted.
        - ``co_penalty=0.0``: penalty on large cooperative rates.
        - ``weights="molecules"``: weight of each density bin in the shared fits;
          "molecules" (its molecule count), "equal", or one number per bin.
        - ``fit_vmax=False``, ``vmax_bounds=(0.001, 1e6)``: fit one shared
          Michaelis-Menten ceiling Vmax (shared-exp and shared-st-exp only).
        - ``vmax=inf``: the fixed ceiling on the cooperative drive (inf: none).
        - ``raw_count=False``: cooperative drive on raw site counts instead of fractions.
        - ``observation="auto"``: how the data observe the model. "binned":
          every molecule's level is one of the 71 levels M / 70 (molecules read
          at all 70 sites); "sampled": each read calls only n of its molecule's
          sites, and the model's distribution is observed through the
          hypergeometric thinning of each density bin's read-depth histogram
          (see :mod:`velkora.observation`); "auto": "sampled" when any molecule
          was read at fewer than 70 sites, else "binned" (data binned from
          levels alone, without depths, are "binned"). The result records which
          was used and why.
        - ``seed=0``: seeds every optimiser run the engine would otherwise seed
          from the operating system, so that the fit repeats exactly (None: fresh
          seeds every run).

        Settings a mode does not use are checked and then ignored.

    Returns
    -------
    FitResult
        The fitted parameters and nll of every density bin, the shared values
        and the observation model used.

    Raises
    ------
    InputError
        For data that are not a BinnedData, an unknown mode or setting, or a
        setting of the wrong kind or out of range.

    Notes
    -----
    The shared-exp and shared-co fits log their progress on standard error.
    The fit holds the engine's process-wide lock (see :mod:`velkora._engine`):
    fits from several threads run one after the other, each with its own
    settings.

    Examples
    --------
    >>> import velkora as vk
    >>> data = vk.bin_molecules(vk.synthetic_molecules(shared_st=0.5), 5, 20)
    >>> result = vk.fit(data, "shared-st")
    >>> result.table[["St", "CoW", "CoE", "nll"]]  # doctest: +SKIP
    """
    data = _binned(data)
    mode = _mode(mode)
    s = _settings(settings, data.n_densities)
    weights = _engine_weights(s, data)
    fractions, edges = _engine_arrays(data)
    head = (fractions, edges, s["normalize_stw"], s["st_bounds"], s["co_bounds"])
    observation, matrices, reason = _observation(s, data)

    def call(function: str, *args):
        return getattr(velk_core, function)(*args, **_keywords(function, s, matrices))

    n = data.n_densities
    n_u, n_m, vmax = np.full(n, s["n_u"]), np.full(n, s["n_m"]), np.full(n, s["vmax"])
    shared: dict[str, float] = {}
    with _engine.switches(**_switches(s)):
        if mode == "independent":
            fitps, nlls = call("py_fit_all_densities", *head, s["n_u"], s["n_m"], s["co_penalty"])
            st, cow, coe = fitps.T
        elif mode == "independent-exp":
            fitps, nlls = call("py_fit_all_densities_exp", *head, s["n_exp_bounds"], s["co_penalty"])
            st, n_u, n_m, cow, coe = fitps.T
        elif mode == "shared-st":
            shared_st, fitps, nlls = call("py_fit_shared_st", *head, s["n_u"], s["n_m"], s["co_penalty"], weights)
            st, cow, coe = fitps.T
            shared = {"St": float(shared_st)}
        elif mode == "shared-exp":
            shared_st, shared_n_u, shared_n_m, shared_vmax, fitps, nlls = call(
                "py_fit_shared_exp", *head, s["n_exp_bounds"], s["co_penalty"], weights, s["fit_vmax"], s["vmax_bounds"])
            st, cow, coe = fitps.T
            n_u[:], n_m[:], vmax[:] = shared_n_u, shared_n_m, shared_vmax
            shared = {"St": float(shared_st), "n_U": float(shared_n_u), "n_M": float(shared_n_m)}
        elif mode == "shared-st-exp":
            shared_st, shared_vmax, fitps, nlls = call(
                "py_fit_shared_st_exp_perdensity", *head, s["n_exp_bounds"], s["co_penalty"], weights, s["fit_vmax"], s["vmax_bounds"])
            st, n_u, n_m, cow, coe = fitps.T
            vmax[:] = shared_vmax
            shared = {"St": float(shared_st)}
        else:  # shared-co
            shared_st, shared_cow, shared_coe, fitps, nlls = call(
                "py_fit_shared_co", *head, s["n_exp_bounds"], s["co_penalty"], weights)
            st, n_u, n_m, cow, coe = fitps.T
            shared = {"St": float(shared_st), "CoW": float(shared_cow), "CoE": float(shared_coe)}
    if mode in _VMAX_MODES and s["fit_vmax"]:
        shared["Vmax"] = float(vmax[0])

    table = _density_table(data)
    for name, values in zip(_PARAMETERS, (st, cow, coe, n_u, n_m, vmax)):
        table[name] = values
    table["nll"] = nlls
    table["observation"] = observation
    weight = weights if mode in _WEIGHTED_MODES and weights is not None else np.ones(n)
    return FitResult(mode, s, data, table, shared, float(np.dot(nlls, weight)), observation, matrices, reason)


# ---------------------------------------------------------------- bootstrap


@dataclass
class BootstrapResult:
    """A bootstrap of a fit: the fit redone on resampled molecules.

    Attributes
    ----------
    fit : FitResult
        The fit that was bootstrapped.
    n_boot : int
        The number of samples asked for.
    seed : int or None
        The seed of the resampling and of the refits.
    complete : bool
        False when the run was stopped early (``keep_partial``): then only the
        first ``n_done`` of the ``n_boot`` samples are in.
    n_done : int
        The number of finished samples.
    samples : pandas.DataFrame
        Long: one row per (sample, density bin) with the refitted St, CoW, CoE,
        n_U, n_M, Vmax and nll.
    intervals : pandas.DataFrame
        One row per density bin: for every parameter the fit's estimate (column
        "St", ...) and the bootstrap percentiles ("St_p2.5", "St_p97.5", ...).
    """

    fit: FitResult
    n_boot: int
    seed: int | None
    complete: bool
    n_done: int
    samples: pd.DataFrame
    intervals: pd.DataFrame


def _run_job(job, chunk_size, progress, keep_partial, client) -> tuple[np.ndarray, int]:
    if client is not None:
        from . import cluster  # noqa: PLC0415 - Dask is an optional extra

        return cluster.run_job(job, client=client, chunk_size=chunk_size, progress=progress, keep_partial=keep_partial)
    return _chunks.run_local(job, chunk_size, progress, keep_partial)


def _run_options(n_boot, seed, chunk_size, percentiles, *, minimum_boot: int):
    n_boot = _count(n_boot, "n_boot", minimum_boot)
    chunk_size = None if chunk_size is None else _count(chunk_size, "chunk_size", 1)
    levels = _grid(percentiles, "percentiles")
    if ((levels < 0) | (levels > 100)).any():
        raise InputError(f"percentiles must lie within 0..100, got {levels.tolist()}")
    return n_boot, _seed(seed), chunk_size, levels


def _percentile_columns(table, values: np.ndarray, name: str, levels: np.ndarray) -> None:
    """Adds the columns "<name>_p<level>" from `values` (n_samples, n_densities)."""
    if values.shape[0]:
        found = np.percentile(values, levels, axis=0)
    else:
        found = np.full((len(levels), values.shape[1]), np.nan)
    for level, column in zip(levels, found):
        table[f"{name}_p{level:g}"] = column


def _bootstrap_job(result: FitResult, resampled: np.ndarray, n_boot: int, seed: int | None) -> _chunks.BootstrapJob:
    s, mode = result.settings, result.mode
    weights = _engine_weights(s, result.data)
    head = (resampled, n_boot, result.data.n_densities, _engine_arrays(result.data)[1], s["normalize_stw"])
    bounds = (s["st_bounds"], s["co_bounds"])

    # Every resample is observed as the whole data were: the observation matrices (from the
    # read depths) are conditioned on, not resampled.
    def job(function: str, *args):
        return _chunks.bootstrap_job(function, *args, switches=_switches(s),
                                     **_keywords(function, {**s, "seed": seed}, result.observation_matrices))

    if mode in ("independent", "shared-st"):
        return job("py_fit_bootstrap", *head, mode == "shared-st", False, *bounds,
                   s["n_u"], s["n_m"], s["co_penalty"], weights)
    if mode in ("independent-exp", "shared-st-exp"):
        shared_st = mode == "shared-st-exp"
        return job("py_fit_bootstrap_exp_perdensity", *head, shared_st, *bounds,
                   s["n_exp_bounds"], s["co_penalty"], weights, shared_st and s["fit_vmax"], s["vmax_bounds"])
    if mode == "shared-exp":
        return job("py_fit_bootstrap_exp", *head, *bounds, s["n_exp_bounds"], s["co_penalty"],
                   weights, result.warm_start(), s["fit_vmax"], s["vmax_bounds"])
    return job("py_fit_bootstrap_co", *head, *bounds, s["n_exp_bounds"], s["co_penalty"],
               weights, result.warm_start())


def bootstrap(
    fit_result: FitResult,
    n_boot: int = 100,
    *,
    seed: int | None = 0,
    chunk_size: int | None = None,
    progress: Callable[[int, int], None] | None = None,
    keep_partial: bool = False,
    percentiles=(2.5, 97.5),
    client=None,
) -> BootstrapResult:
    """Bootstrap intervals of a fit.

    The molecules of every density bin are resampled with replacement `n_boot`
    times (from `seed`) and each resample is fitted as `fit_result` was (same
    mode and settings; shared-exp and shared-co resamples start from the fit's
    optimum).

    Parameters
    ----------
    fit_result : FitResult
        The fit to bootstrap (from :func:`fit`).
    n_boot : int, optional
        The number of resamples (default 100), at least 1.
    seed : int or None, optional
        Seed of the resampling and of the refits (default 0).
    chunk_size : int, optional
        Samples per chunk (default: about twenty chunks); the results do not
        depend on it.
    progress : callable, optional
        ``progress(done, n_boot)``, called after each chunk.
    keep_partial : bool, optional
        With True, Ctrl+C ends the run after the running chunk and the finished
        samples are returned (``complete=False``); otherwise the
        KeyboardInterrupt propagates.
    percentiles : sequence of float, optional
        The percentiles of the intervals (default (2.5, 97.5)), within 0 .. 100.
    client : distributed.Client, optional
        A Dask client to spread the chunks over (needs ``velkora[dask]``), with
        the same samples as without it; set ``RAYON_NUM_THREADS`` for its
        workers so that, per machine, worker processes times engine threads
        stay within the CPUs (see :mod:`velkora.cluster`).

    Returns
    -------
    BootstrapResult
        The samples and the percentile intervals.

    Raises
    ------
    InputError
        For a `fit_result` that is not a FitResult, or a bad `n_boot`, `seed`,
        `chunk_size` or `percentiles`.

    Examples
    --------
    >>> boot = vk.bootstrap(result, n_boot=200, seed=0)  # doctest: +SKIP
    >>> boot.intervals[["St", "St_p2.5", "St_p97.5"]]  # doctest: +SKIP
    """
    if not isinstance(fit_result, FitResult):
        raise InputError(f"fit_result must be a FitResult (from fit), not {type(fit_result).__name__}")
    n_boot, seed, chunk_size, levels = _run_options(n_boot, seed, chunk_size, percentiles, minimum_boot=1)
    data, s = fit_result.data, fit_result.settings
    job = _bootstrap_job(fit_result, data.resample(n_boot, seed), n_boot, seed)
    rows, n_done = _run_job(job, chunk_size, progress, keep_partial, client)

    n = data.n_densities
    if rows.shape[1] == 6:  # [sample, density, St, CoW, CoE, nll]: exponents and Vmax as set
        st, cow, coe, nll = rows[:, 2:].T
        n_u, n_m, vmax = (np.full(len(rows), s[name]) for name in ("n_u", "n_m", "vmax"))
    else:  # [sample, density, St, n_U, n_M, CoW, CoE, nll, Vmax]
        st, n_u, n_m, cow, coe, nll, vmax = rows[:, 2:].T
    samples = pd.DataFrame({"sample": rows[:, 0].astype(np.int64),
                            "density_bin": np.asarray(data.labels, dtype=object)[rows[:, 1].astype(np.int64)]})
    for name, values in zip(_PARAMETERS, (st, cow, coe, n_u, n_m, vmax)):
        samples[name] = values
    samples["nll"] = nll

    fitted_vmax = fit_result.mode in _VMAX_MODES and s["fit_vmax"]
    intervals = pd.DataFrame(index=fit_result.table.index)
    for name in _PARAMETERS[:6 if fitted_vmax else 5]:
        intervals[name] = fit_result.table[name]
        # Rows come sample by sample, density bins in order within each.
        _percentile_columns(intervals, samples[name].to_numpy().reshape(n_done, n), name, levels)
    return BootstrapResult(fit_result, n_boot, seed, n_done == n_boot, n_done, samples, intervals)


# ---------------------------------------------------------------- profiles


@dataclass
class ProfileResult:
    """A profile likelihood and the interval it gives.

    Attributes
    ----------
    table : pandas.DataFrame
        For :func:`profile_st` one row per St of the grid (columns St, nll,
        delta_nll); for :func:`profile_co` one row per density bin, parameter
        ("CoW" or "CoE") and grid value (columns density_bin, parameter, value,
        nll, delta_nll). delta_nll is nll minus its minimum over the grid (per
        density bin and parameter).
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
    data = _binned(data)
    grid = _grid(st_grid, "st_grid", positive=True)
    s = _settings(settings, data.n_densities)
    fractions, edges = _engine_arrays(data)
    weights = _engine_weights(s, data)
    keywords = _keywords("py_profile_shared_st", s, _observation(s, data)[1])

    def evaluate(points: np.ndarray) -> np.ndarray:
        return velk_core.py_profile_shared_st(fractions, edges, s["normalize_stw"], np.ascontiguousarray(points),
                                              s["co_bounds"], s["n_u"], s["n_m"], weights, **keywords)

    with _engine.switches(**_switches(s)):
        nll = evaluate(grid)
        table = pd.DataFrame({"St": grid, "nll": nll, "delta_nll": nll - nll.min()})
        if interval and s["weights"] == "molecules":
            found = _interval.likelihood_interval(lambda st: evaluate(np.array([st]))[0], grid, nll, s["st_bounds"])
            rows = [_interval_row(found, parameter="St")]
        else:
            rows = [_no_interval(parameter="St")]
    return ProfileResult(table, pd.DataFrame(rows), s)


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
    data = _binned(data)
    shared_st = _finite(shared_st, "shared_st", positive=True)
    cow = _grid(cow_grid, "cow_grid", positive=True)
    coe = _grid(coe_grid, "coe_grid", positive=True)
    if cow.size != coe.size:
        raise InputError(f"cow_grid and coe_grid must have the same length, not {cow.size} and {coe.size}")
    s = _settings(settings, data.n_densities)
    fractions, edges = _engine_arrays(data)
    matrices = _observation(s, data)[1]

    def evaluate(rows: np.ndarray, cow_points: np.ndarray, coe_points: np.ndarray, density: slice = slice(None)):
        keywords = _keywords("py_profile_shared_co", s, None if matrices is None else matrices[density])
        return velk_core.py_profile_shared_co(rows, edges, s["normalize_stw"], shared_st,
                                              np.ascontiguousarray(cow_points), np.ascontiguousarray(coe_points),
                                              s["co_bounds"], s["n_u"], s["n_m"], **keywords)

    parts, rows = [], []
    with _engine.switches(**_switches(s)):
        # Each density bin is profiled on its own row, on the grids and at every refit of its
        # interval search alike, so that both evaluate one function (the engine seeds a refit
        # by its row in the call).
        single_rows = [np.ascontiguousarray(fractions[d:d + 1]) for d in range(data.n_densities)]
        per_bin = [evaluate(single, cow, coe, slice(d, d + 1)) for d, single in enumerate(single_rows)]
        for p, (name, grid) in enumerate(zip(("CoW", "CoE"), (cow, coe))):
            for d, label in enumerate(data.labels):
                row, single = per_bin[d][p][0], single_rows[d]
                parts.append(pd.DataFrame({"density_bin": label, "parameter": name, "value": grid, "nll": row,
                                           "delta_nll": row - row.min()}))
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
    return ProfileResult(pd.concat(parts, ignore_index=True), pd.DataFrame(rows), s)


# ---------------------------------------------------------------- phase grid


@dataclass
class PhaseGrid:
    """The steady state's character over a grid of log10 CoW (rows) x log10 CoE
    (columns) at one St.

    Attributes
    ----------
    st : float
        The spontaneous rate St of the grid.
    log_cow, log_coe : numpy.ndarray
        The grid's log10 CoW and log10 CoE values.
    bistability, avg_meth, entropy, frac_inter : numpy.ndarray
        The bistability score, the mean methylation level, the entropy and the
        share of intermediate levels, each of shape (len(log_cow), len(log_coe)).
    settings : dict
        The model switches the grid was computed with.
    """

    st: float
    log_cow: np.ndarray
    log_coe: np.ndarray
    bistability: np.ndarray
    avg_meth: np.ndarray
    entropy: np.ndarray
    frac_inter: np.ndarray
    settings: dict[str, Any] = field(default_factory=dict)

    def frame(self):
        """The grid as a long DataFrame.

        Returns
        -------
        pandas.DataFrame
            One row per (log_cow, log_coe) point, CoE varying fastest.
        """
        log_cow, log_coe = np.meshgrid(self.log_cow, self.log_coe, indexing="ij")
        columns = {"log_cow": log_cow.ravel(), "log_coe": log_coe.ravel()}
        for name in ("bistability", "avg_meth", "entropy", "frac_inter"):
            columns[name] = getattr(self, name).ravel()
        return pd.DataFrame(columns)


def phase_grid(st: float, log_cow, log_coe, *, normalize_stw: bool = True, n_u: float = 2.0, n_m: float = 2.0,
               vmax: float = math.inf, raw_count: bool = False) -> PhaseGrid:
    """The phase diagram of the model at one spontaneous rate.

    Parameters
    ----------
    st : float
        The spontaneous rate St, positive.
    log_cow, log_coe : sequence of float
        The grids of log10 CoW and log10 CoE.
    normalize_stw, n_u, n_m, vmax, raw_count : optional
        The model settings of :func:`fit`.

    Returns
    -------
    PhaseGrid
        The bistability, mean methylation, entropy and intermediate fraction
        over the grid.

    Raises
    ------
    InputError
        For a bad `st`, grid or setting.

    Examples
    --------
    >>> grid = vk.phase_grid(0.5, np.linspace(-2, 3, 41), np.linspace(-2, 3, 41))  # doctest: +SKIP
    """
    st = _finite(st, "st", positive=True)
    cow = _grid(log_cow, "log_cow")
    coe = _grid(log_coe, "log_coe")
    model = {"normalize_stw": normalize_stw, "n_u": n_u, "n_m": n_m, "vmax": vmax, "raw_count": raw_count}
    s = _settings(model, 0)
    with _engine.switches(**_switches(s)):
        grids = velk_core.py_compute_phase_grids(st, s["normalize_stw"], cow, coe, s["n_u"], s["n_m"])
    return PhaseGrid(st, cow, coe, *grids, settings={name: s[name] for name in model})


# ---------------------------------------------------------------- drift


@dataclass
class DriftResult:
    """Fits of the drift of the methylation distribution between ages.

    Attributes
    ----------
    data : DriftData
        The data fitted.
    table : pandas.DataFrame
        One row per density bin (index "density_bin") with its edges, molecule
        count at the youngest age, the fitted StE, StW and nll, and with a
        bootstrap the percentile columns "StE_p2.5", ... .
    settings : dict
        The search settings (``st_bounds``, ``restarts``).
    samples : pandas.DataFrame or None
        Without a bootstrap None; else long: sample, density_bin, StE, StW, nll.
    n_boot, seed, complete, n_done
        The bootstrap's size, seed, whether it ran to the end and its finished
        samples, as in :class:`BootstrapResult`.
    """

    data: DriftData
    table: pd.DataFrame
    settings: dict[str, Any]
    samples: pd.DataFrame | None = None
    n_boot: int = 0
    seed: int | None = 0
    complete: bool = True
    n_done: int = 0

    def predict(self, ages=None) -> np.ndarray:
        """The fitted model's fractions at some ages.

        Parameters
        ----------
        ages : sequence of float, optional
            The ages, on the data's age scale (default: the data's ages). The
            prediction starts from the youngest age's observed fractions.

        Returns
        -------
        numpy.ndarray
            Shape (n_densities, n_ages, n_meth_bins).
        """
        times = _grid(self.data.ages if ages is None else ages, "ages") - float(self.data.ages[0])
        reference = self.data.by_age[0]
        fractions, edges = _engine_arrays(reference)
        return np.array([
            velk_core.py_drift_predict(row.StE, row.StW, fractions[d], np.ascontiguousarray(times), edges)
            for d, row in enumerate(self.table.itertuples())
        ])


def fit_drift(
    data: DriftData,
    *,
    st_bounds=(1e-4, 1.0),
    restarts: int = 8,
    n_boot: int = 0,
    seed: int | None = 0,
    chunk_size: int | None = None,
    progress: Callable[[int, int], None] | None = None,
    keep_partial: bool = False,
    percentiles=(2.5, 97.5),
    client=None,
) -> DriftResult:
    """Fits the spontaneous rates (StE, StW) of every density bin to the change of
    its methylation distribution with age.

    The youngest age is the starting distribution, every later age is fitted at
    its time since then.

    Parameters
    ----------
    data : DriftData
        The molecules binned age by age (from :func:`bin_molecules_by_age`).
    st_bounds : (float, float), optional
        The search range of StE and StW (default (1e-4, 1.0)).
    restarts : int, optional
        Seeded searches per fit (default 8), the best of which is kept. Rates so
        large that every later age sits at the equilibrium form a plateau of the
        likelihood on which a single search can stop; the restarts make the
        results reproducible and independent of one search's luck.
    n_boot : int, optional
        Bootstrap samples (default 0, none): the molecules of every age and
        density bin are resampled and refitted (each with the same restarts).
    seed : int or None, optional
        Seed of the searches and of the resampling (default 0).
    chunk_size, progress, keep_partial, percentiles, client : optional
        As in :func:`bootstrap`; all density bins of a sample run in one job,
        so a chunk holds `chunk_size` samples.

    Returns
    -------
    DriftResult
        The fitted rates per density bin, with the bootstrap's samples and
        percentiles when `n_boot` > 0.

    Raises
    ------
    InputError
        For data that are not a DriftData or a bad setting.

    Warns
    -----
    UserWarning
        When the molecules were read at fewer than 70 sites: the drift model
        scores levels as whole molecules.

    Examples
    --------
    >>> aged = vk.synthetic_drift_molecules(0.02, 0.01, [0, 10, 20])  # doctest: +SKIP
    >>> drift = vk.fit_drift(vk.bin_molecules_by_age(aged, 5, 20))  # doctest: +SKIP
    """
    if not isinstance(data, DriftData):
        raise InputError(f"data must be a DriftData (from bin_molecules_by_age), not {type(data).__name__}")
    if any(binned.short_reads for binned in data.by_age):
        # The drift model starts from the youngest age's observed levels spread over the 71
        # macrostates, which reads of a few sites cannot give.
        depth = min(binned.median_depth for binned in data.by_age)
        warnings.warn(f"the drift fit scores the levels as whole molecules of 70 sites, but these reads call fewer "
                      f"(median {depth:g} sites); cut long reads into windows of 70 CpGs, or read the results "
                      "with care", UserWarning, stacklevel=2)
    bounds = _bounds(st_bounds, "st_bounds", positive=True)
    restarts = _count(restarts, "restarts", 1)
    n_boot, seed, chunk_size, levels = _run_options(n_boot, seed, chunk_size, percentiles, minimum_boot=0)
    reference, later = data.by_age[0], data.by_age[1:]
    edges = _engine_arrays(reference)[1]
    times = np.ascontiguousarray(data.fit_times, dtype=np.float64)
    n, n_meth = reference.n_densities, reference.n_meth_bins
    # Drift "samples" of the engine: one per (data set, restart, density bin), in that order, so
    # that the chunks of a job hold whole data sets and every search has its own seed.
    per_set = restarts * n

    def drift_job(p0, fit):  # p0: (n_sets, n, n_meth); fit: (n_sets, n, n_later, n_meth)
        n_sets = len(p0)
        p0 = np.broadcast_to(p0[:, None], (n_sets, restarts, n, n_meth)).reshape(-1, n_meth)
        fit = np.broadcast_to(fit[:, None], (n_sets, restarts, *fit.shape[1:])).reshape(-1, n_meth)
        return _chunks.bootstrap_job("py_fit_drift_bootstrap", np.ascontiguousarray(p0), np.ascontiguousarray(fit),
                                     n_sets * per_set, len(later), times, edges, bounds)

    def best(rows, n_sets):  # the lowest nll of every (data set, density bin) over its restarts
        rows = rows.reshape(n_sets, restarts, n, 3)
        pick = np.argmin(rows[..., 2], axis=1)  # the first restart among equals
        return np.take_along_axis(rows, pick[:, None, :, None], axis=1)[:, 0]

    observed = np.stack([b.fractions for b in later], axis=1)  # (n, n_later, n_meth)
    fits = best(drift_job(reference.fractions[None], observed[None]).run(0, per_set), 1)[0]
    table = _density_table(reference)
    table["StE"], table["StW"], table["nll"] = fits.T
    result = DriftResult(data, table, {"st_bounds": bounds, "restarts": restarts})
    if n_boot == 0:
        return result

    resampled = data.resample(n_boot, seed)  # (n_ages, n_boot, n, n_meth)
    job = drift_job(resampled[0], resampled[1:].transpose(1, 2, 0, 3))
    per_chunk = chunk_size or _chunks.plan_chunks(n_boot)[0][1]
    report = None if progress is None else (lambda done, _total: progress(done // per_set, n_boot))
    rows, done = _run_job(job, per_chunk * per_set, report, keep_partial, client)
    n_done = done // per_set
    rows = best(rows[: n_done * per_set], n_done).reshape(-1, 3)

    index = np.arange(n_done * n)
    labels = np.asarray(reference.labels, dtype=object)
    samples = pd.DataFrame({"sample": index // n, "density_bin": labels[index % n],
                            "StE": rows[:, 0], "StW": rows[:, 1], "nll": rows[:, 2]})
    for name in ("StE", "StW"):
        _percentile_columns(table, samples[name].to_numpy().reshape(n_done, n), name, levels)
    result.samples, result.n_boot, result.seed, result.complete, result.n_done = (
        samples, n_boot, seed, n_done == n_boot, n_done)
    return result
