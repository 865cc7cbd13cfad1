"""Which rate differs between groups of samples.

For a mode and the samples of a design, H1 gives every group its own
parameters (the mode fitted to each group's molecules pooled); H0 ties one
parameter across the groups (per density bin where the mode fits it per bin)
and leaves every other parameter per group. The statistic is
2 (llf1 - llf0), compared with chi-square on the difference in free
parameters; "all" ties every parameter at once.

The chi-square p-value assumes that molecules are independent, across the
replicates of a group as within a sample: it measures how surprising the
difference is against the sampling of molecules alone, not against the
differences between biological replicates. Where every group has at least
two samples, the replicate-aware p relabels the samples among the groups
(group sizes kept; every distinct relabelling when there are few, else
``n_perm`` seeded draws) and recomputes the statistic: it assumes only that
the samples are exchangeable under H0, and so holds when replicates differ
more than their molecules do. The optional parametric-bootstrap p simulates
each group's molecules under H0, observed as the data are (read depths
kept), and refits both hypotheses.

A group's estimate comes with its 95 % profile-likelihood interval (the
other parameters refitted at every value); a parameter whose estimate or
interval reaches its search range is marked "not identified by these data",
and so is every test that involves it.
"""

from __future__ import annotations

import itertools
import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from .. import _checks, _engine, _interval, velk_core
from .._errors import InputError
from .._optional import require
from .._stats import chi2_sf
from ..counts.binned import BinnedData, Strata
from ..fitting.fits import fit
from ..fitting.settings import engine_arrays, mode as checked_mode, switches
from ..model.modes import ALL_GROUPS, PARAMETERS, RANGE, RATES, at_bound, layout
from ..model.observation import observation_matrices
from .choice import comparable

pd = require("pandas")

ALL = "all"
NOT_IDENTIFIED = "not identified by these data"
# Relabellings enumerated in full up to this many; beyond, n_perm random ones.
MAX_ENUMERATED = 2000
DEFAULT_PERMUTATIONS = 999


@dataclass
class Differential:
    """The tests of which parameters differ between groups.

    Attributes
    ----------
    tests : pandas.DataFrame
        One row per test (per stratum with strata): ``parameter`` (or "all"),
        ``statistic`` = 2 (llf1 - llf0), ``df``, ``p_value`` (chi-square,
        molecules independent), ``p_holm`` (Holm's adjustment over all
        tests), ``p_permutation`` (replicate-aware, NaN where a group has one
        sample) with ``n_relabelings``, ``p_bootstrap`` with ``n_sim``,
        ``identified`` and ``note``.
    estimates : pandas.DataFrame
        One row per group, parameter and density bin ("all bins" for a
        parameter shared by the bins): ``estimate``, the 95 % profile interval
        ``lo``, ``hi`` (NaN where open), ``identified`` and ``ratio`` (to the
        first group's estimate).
    group_fits : dict
        Per stratum (None without strata), the FitCollection of H1.
    mode : str
        The mode of every fit.
    settings : dict
        The checked fit settings.
    """

    tests: Any
    estimates: Any
    group_fits: dict
    mode: str
    settings: dict


# ---------------------------------------------------------------- one set of rows


@dataclass(frozen=True)
class _Rows:
    """The groups' density bins as the rows of tied fits: row g * D + d."""

    fractions: np.ndarray
    weights: np.ndarray
    observation: np.ndarray | None
    edges: np.ndarray
    n_groups: int
    n_densities: int


def _rows(parts: list[BinnedData], observation: str) -> _Rows:
    fractions = np.ascontiguousarray(np.concatenate([part.fractions for part in parts]), dtype=np.float64)
    weights = np.ascontiguousarray(np.concatenate([part.weights for part in parts]))
    matrices = None
    if observation == "sampled":
        matrices = np.ascontiguousarray(np.concatenate([observation_matrices(part.depth_counts, part.meth_edges)
                                                        for part in parts]))
    return _Rows(fractions, weights, matrices, engine_arrays(parts[0])[1], len(parts), parts[0].n_densities)


def _bounds(entries, s) -> tuple[np.ndarray, np.ndarray]:
    lower = np.array([s[RANGE[name]][0] for name, _, _ in entries], dtype=np.float64)
    upper = np.array([s[RANGE[name]][1] for name, _, _ in entries], dtype=np.float64)
    return lower, upper


def _start(entries, values: dict[str, np.ndarray], n_densities: int) -> np.ndarray:
    """Each entry's start from the groups' own estimates (values[name]: (G, D)):
    a group's entry at its group's value, an entry tied across the groups at
    their geometric (rates) or plain mean. An entry shared by the density
    bins has one value in every bin: bin 0's."""
    start = []
    for name, group, d in entries:
        column = max(d, 0)
        found = values[name][:, column] if group < 0 else values[name][group, column:column + 1]
        if name in RATES:
            start.append(float(np.exp(np.mean(np.log(np.maximum(found, 1e-300))))))
        else:
            start.append(float(np.mean(found)))
    return np.array(start, dtype=np.float64)


def _tied(rows: _Rows, mode: str, s: dict, across: dict, values, seed: int, hold=None):
    """A tied fit of the rows; `hold` = (entry index, value) holds one entry
    fixed (for profiles). Returns (llf, theta, params)."""
    table, fixed, entries = layout(mode, s, rows.n_densities, rows.n_groups, across)
    lower, upper = _bounds(entries, s)
    starts = _start(entries, values, rows.n_densities)[None, :]
    if hold is not None:
        k, value = hold
        used = table == k
        table = np.where(table > k, table - 1, table)
        table[used] = -1
        fixed = fixed.copy()
        fixed[used] = value
        lower, upper, starts = (np.delete(a, k, axis=-1) for a in (lower, upper, starts))
    keywords = {"seed": seed}
    if rows.observation is not None:
        keywords["observation"] = rows.observation
    with _engine.switches(**switches(s)):
        theta, params, nlls = velk_core.py_fit_tied(
            rows.fractions, rows.edges, s["normalize_stw"], np.ascontiguousarray(table), np.ascontiguousarray(fixed),
            np.ascontiguousarray(lower), np.ascontiguousarray(upper), np.ascontiguousarray(rows.weights),
            np.ascontiguousarray(starts) if starts.shape[1] else None, **keywords)
    return -float(np.dot(nlls, rows.weights)), theta, params, entries


def _values(params: np.ndarray, n_groups: int, n_densities: int) -> dict[str, np.ndarray]:
    return {name: params[:, c].reshape(n_groups, n_densities) for c, name in enumerate(PARAMETERS)}


def _group_values(fits) -> dict[str, np.ndarray]:
    return {name: np.array([f.table[name].to_numpy() for f in fits]) for name in PARAMETERS}


def _statistics(parts: list[BinnedData], mode: str, s: dict, tested: list[str], observation: str):
    """llf of H1 and of each H0, with H1's fits and values: the mode fitted
    to each group, and every tie by the tied engine started from them."""
    group_fits = [fit(part, mode, **{**s, "observation": observation}) for part in parts]
    values = _group_values(group_fits)
    rows = _rows(parts, observation)
    llf1 = math.fsum(f.llf for f in group_fits)
    out = {}
    for name in tested:
        across = {p: ALL_GROUPS for p in PARAMETERS} if name == ALL else {name: ALL_GROUPS}
        llf0, theta, params, entries = _tied(rows, mode, s, across, values, s["seed"])
        if llf0 > llf1:  # the groups' own searches fell short of the tie: search again from it
            refit, _, _, _ = _tied(rows, mode, s, {}, _values(params, rows.n_groups, rows.n_densities), s["seed"])
            llf1 = max(llf1, refit)
        out[name] = (llf0, len(entries), params)
    return llf1, out, group_fits, rows


# ---------------------------------------------------------------- relabelings


def relabelings(groups: list[str], seed: int, n_perm: int | None) -> tuple[list[tuple[str, ...]], bool]:
    """The relabelings of the samples among the groups, group sizes kept: every
    distinct one, the observed one first, when there are at most
    MAX_ENUMERATED of them and `n_perm` does not ask for fewer; else the
    observed one and `n_perm` (default 999) seeded random ones. Relabelings
    that only swap the names of equal-sized groups make the same partition of
    the samples, hence the same statistic, and count once. Returns them and
    whether they are all of them."""
    names = list(dict.fromkeys(groups))
    sizes = [groups.count(g) for g in names]
    n = len(groups)
    total = math.factorial(n)
    for size in sizes:
        total //= math.factorial(size)
    for size in set(sizes):
        total //= math.factorial(sizes.count(size))
    observed = tuple(groups)
    if total <= MAX_ENUMERATED and (n_perm is None or n_perm >= total - 1):
        seen = {_partition_key(observed, names)}
        found = [observed]
        for labels in _assignments(n, names, sizes):
            key = _partition_key(labels, names)
            if key not in seen:
                seen.add(key)
                found.append(labels)
        return found, True
    rng = np.random.default_rng([seed, 7])
    count = DEFAULT_PERMUTATIONS if n_perm is None else n_perm
    return [observed] + [tuple(np.array(groups, dtype=object)[rng.permutation(n)]) for _ in range(count)], False


def _assignments(n: int, names: list[str], sizes: list[int]):
    """Every labelling of the positions 0 .. n-1 with names[k] on sizes[k] of them."""
    labels: list[str | None] = [None] * n

    def fill(free: list[int], k: int):
        if k == len(names):
            yield tuple(labels)
            return
        for chosen in itertools.combinations(free, sizes[k]):
            for i in chosen:
                labels[i] = names[k]
            yield from fill([i for i in free if i not in chosen], k + 1)

    yield from fill(list(range(n)), 0)


def _partition_key(labels, names) -> frozenset:
    """The partition of sample positions that a labelling makes, whatever the groups' names."""
    return frozenset(frozenset(i for i, x in enumerate(labels) if x == g) for g in names)


# ---------------------------------------------------------------- the front door


def differential(data, mode: str, between: str = "group", parameters=None, n_perm: int | None = None,
                 n_sim: int = 0, seed: int = 0, *, intervals: bool = True, **settings) -> Differential:
    """Tests which parameters of a mode differ between groups of samples.

    Parameters
    ----------
    data : BinnedData or Strata
        The counts of a design (:func:`velkora.count` of
        :func:`velkora.read_design`), with a sample axis; with strata, every
        stratum is tested and Holm's adjustment runs over all tests.
    mode : str
        One of :data:`velkora.MODES`.
    between : str, optional
        The column of ``data.samples`` whose values are the groups (default
        "group").
    parameters : sequence of str, optional
        The parameters to test (default: every parameter the mode fits); the
        test of all at once is always made.
    n_perm : int, optional
        Random relabelings for the permutation p when there are too many to
        enumerate (default 999); with few, every distinct one is used; 0: no
        permutation p.
    n_sim : int, optional
        Parametric-bootstrap simulations per test (default 0: none).
    seed : int, optional
        Seeds the fits, the relabelings and the simulations (default 0).
    intervals : bool, optional
        Profile-likelihood intervals of the group estimates (default True;
        each costs some twenty refits). Without them a parameter is marked
        not identified only where an estimate lies at a search bound.
    **settings
        The settings of :func:`velkora.fit`; molecule weights and no penalty,
        as for :func:`velkora.compare`.

    Returns
    -------
    Differential
        The tests and the group estimates.

    Raises
    ------
    InputError
        For data without samples, one group only, an unknown column, mode or
        parameter, or settings that make the nll no log-likelihood.

    Warns
    -----
    UserWarning
        When a group has one sample: no permutation p (the chi-square p is
        still given).
    """
    if isinstance(data, Strata):
        parts = {name: part for name, part in data.items()}
    elif isinstance(data, BinnedData):
        parts = {None: data}
    else:
        raise InputError(f"data must be the counts of a design (velkora.count), not {type(data).__name__}")
    description = checked_mode(mode)
    seed = _checks.count(seed, "seed", 0)
    n_sim = _checks.count(n_sim, "n_sim", 0)
    n_perm = None if n_perm is None else _checks.count(n_perm, "n_perm", 0)
    intervals = _checks.flag(intervals, "intervals")
    first = next(iter(parts.values()))
    if first.sample_axis is None:
        raise InputError("differential needs the counts of a design: several samples with their groups "
                         "(velkora.read_design, then velkora.count)")
    s = comparable({**settings, "seed": seed}, first.n_densities)
    if between not in first.samples.columns:
        raise InputError(f"between={between!r}: no such column of the samples; they have "
                         f"{', '.join(map(str, first.samples.columns))}")
    fitted = description.fitted(s)
    tested = list(fitted) if parameters is None else list(parameters)
    unknown = [p for p in tested if p not in fitted]
    if unknown:
        raise InputError(f"{mode} does not fit {unknown[0]!r}; its parameters are {', '.join(fitted)}")
    tested = [p for p in fitted if p in tested] + [ALL]

    rows, estimate_rows, group_fits = [], [], {}
    for stratum, part in parts.items():
        found = _one_stratum(part, mode, s, between, tested, n_perm, n_sim, seed, intervals)
        for row in found["tests"]:
            rows.append({"stratum": stratum, **row} if stratum is not None else row)
        for row in found["estimates"]:
            estimate_rows.append({"stratum": stratum, **row} if stratum is not None else row)
        group_fits[stratum] = found["fits"]
    tests = pd.DataFrame(rows)
    tests.insert(tests.columns.get_loc("p_value") + 1, "p_holm", holm(tests["p_value"].to_numpy()))
    return Differential(tests, pd.DataFrame(estimate_rows), group_fits, mode, s)


def holm(p_values) -> np.ndarray:
    """Holm's step-down adjustment of p-values (NaN ones left out and kept NaN)."""
    p = np.asarray(p_values, dtype=np.float64)
    out = np.full(len(p), math.nan)
    valid = np.flatnonzero(~np.isnan(p))
    order = valid[np.argsort(p[valid], kind="stable")]
    m = len(order)
    running = 0.0
    for rank, i in enumerate(order):
        running = max(running, min(1.0, (m - rank) * p[i]))
        out[i] = running
    return out


def _one_stratum(data: BinnedData, mode: str, s: dict, between: str, tested: list[str], n_perm, n_sim: int,
                 seed: int, intervals: bool) -> dict:
    from ..fitting.collections import FitCollection  # noqa: PLC0415

    samples = data.samples
    labels = [str(x) for x in samples[between]]
    groups = list(dict.fromkeys(labels))
    if len(groups) < 2:
        raise InputError(f"column {between!r}: every sample is in {groups[0]!r}; a test needs two groups or more")
    observation = data.observation if s["observation"] == "auto" else s["observation"]
    if data.depth_counts is None:
        observation = "binned"

    def parts_of(labelling):
        names = list(samples.index)
        return [data.select(samples=[n for n, x in zip(names, labelling) if x == g]) for g in groups]

    llf1, h0, group_fits, rows = _statistics(parts_of(labels), mode, s, tested, observation)
    statistic = {name: max(0.0, 2.0 * (llf1 - llf0)) for name, (llf0, _, _) in h0.items()}
    k1 = sum(f.df_model for f in group_fits)
    df = {name: k1 - k0 for name, (_, k0, _) in h0.items()}

    # Replicate-aware p: the statistic over relabelings of the samples.
    p_perm = {name: math.nan for name in tested}
    n_relabelings = 0
    sizes = {g: labels.count(g) for g in groups}
    note_perm = ""
    if n_perm == 0:
        pass
    elif min(sizes.values()) < 2:
        import warnings  # noqa: PLC0415

        lonely = [g for g, n in sizes.items() if n < 2]
        note_perm = f"group {lonely[0]!r} has one sample: no permutation p"
        warnings.warn(f"{note_perm} (the chi-square p is given; it assumes molecules independent across samples)",
                      UserWarning, stacklevel=3)
    else:
        labellings, complete = relabelings(labels, seed, n_perm)
        n_relabelings = len(labellings)
        exceed = {name: 1 for name in tested}  # the observed labelling itself
        for labelling in labellings[1:]:
            llf1_r, h0_r, _, _ = _statistics(parts_of(labelling), mode, s, tested, observation)
            for name, (llf0_r, _, _) in h0_r.items():
                exceed[name] += 2.0 * (llf1_r - llf0_r) >= statistic[name] - 1e-9 * max(1.0, statistic[name])
        p_perm = {name: exceed[name] / n_relabelings for name in tested}

    # Parametric bootstrap under each H0, observed as the data are.
    p_boot = {name: math.nan for name in tested}
    if n_sim:
        for t, name in enumerate(tested):
            params = h0[name][2]
            q = _observed_fractions(params, rows, s)
            rng_exceed = 1
            for k in range(n_sim):
                rng = np.random.default_rng([seed, 11, t, k])
                simulated = [part.with_counts(np.array([rng.multinomial(n, p) for n, p in zip(part.n_molecules, qg)]))
                             for part, qg in zip(parts_of(labels), np.split(q, rows.n_groups))]
                llf1_s, h0_s, _, _ = _statistics(simulated, mode, s, [name], observation)
                rng_exceed += 2.0 * (llf1_s - h0_s[name][0]) >= statistic[name]
            p_boot[name] = rng_exceed / (n_sim + 1)

    estimates, identified = _estimates(group_fits, groups, rows, mode, s, intervals)
    tests = []
    for name in tested:
        involved = [p for p in tested if p != ALL] if name == ALL else [name]
        ok = all(identified.get(p, True) for p in involved)
        notes = [] if ok else [f"{', '.join(p for p in involved if not identified.get(p, True))}: {NOT_IDENTIFIED}"]
        if note_perm:
            notes.append(note_perm)
        tests.append({"parameter": name, "statistic": statistic[name], "df": df[name],
                      "p_value": chi2_sf(statistic[name], df[name]) if df[name] > 0 else math.nan,
                      "p_permutation": p_perm[name], "n_relabelings": n_relabelings, "p_bootstrap": p_boot[name],
                      "n_sim": n_sim, "identified": ok, "note": "; ".join(notes)})
    return {"tests": tests, "estimates": estimates, "fits": FitCollection("group", dict(zip(groups, group_fits)))}


def _observed_fractions(params: np.ndarray, rows: _Rows, s: dict) -> np.ndarray:
    """Each row's model fractions as the data observe them, from a tied fit's parameters."""
    from ..model.steady_state import bin_fractions, stationary_distribution  # noqa: PLC0415

    out = []
    for r, (st, cow, coe, n_u, n_m, vmax) in enumerate(params):
        ste, stw = (st, 1.0) if s["normalize_stw"] else (1.0, st)
        p = stationary_distribution(ste, stw, cow, coe, n_u, n_m, vmax, s["raw_count"])
        out.append(bin_fractions(p, rows.edges, None if rows.observation is None else rows.observation[r]))
    return np.array(out)


def _estimates(group_fits, groups, rows: _Rows, mode: str, s: dict, intervals: bool):
    """Every group's estimates with their profile intervals; which parameters
    the data identify (estimate and interval inside the search range in every
    group)."""
    fitted = group_fits[0].description.fitted(s)
    labels = group_fits[0].data.labels
    out, identified = [], {name: True for name in fitted}
    values = _group_values(group_fits)
    for g, (group, group_fit) in enumerate(zip(groups, group_fits)):
        single = _Rows(rows.fractions[g * rows.n_densities:(g + 1) * rows.n_densities],
                       rows.weights[g * rows.n_densities:(g + 1) * rows.n_densities],
                       None if rows.observation is None else
                       rows.observation[g * rows.n_densities:(g + 1) * rows.n_densities], rows.edges, 1,
                       rows.n_densities)
        own = {name: v[g:g + 1] for name, v in values.items()}
        _, _, entries = layout(mode, s, rows.n_densities, 1)
        for k, (name, _, d) in enumerate(entries):
            estimate = float(values[name][g, max(d, 0)])
            lo = hi = math.nan
            side = at_bound(name, [estimate], s)[0]
            if intervals:
                lo, hi = _profile_interval(single, mode, s, own, k, estimate, name)
            inside = side == 0 and (not intervals or (math.isfinite(lo) and math.isfinite(hi)))
            identified[name] = identified[name] and inside
            reference = float(values[name][0, max(d, 0)])
            out.append({"parameter": name, "density_bin": "all bins" if d < 0 else labels[d], "group": group,
                        "estimate": estimate, "lo": lo, "hi": hi, "identified": inside,
                        "ratio": estimate / reference if reference else math.nan})
    return out, identified


def _profile_interval(single: _Rows, mode: str, s: dict, own, k: int, estimate: float, name: str):
    """The 95 % profile-likelihood interval of entry k of a group's fit."""
    lo_bound, hi_bound = s[RANGE[name]]
    if not 0 < lo_bound < hi_bound:
        return math.nan, math.nan

    def evaluate(x: float) -> float:
        return -_tied(single, mode, s, {}, own, s["seed"], hold=(k, x))[0]

    center = min(max(estimate, lo_bound), hi_bound)
    grid = np.array(sorted({max(lo_bound, center / 1.5), center, min(hi_bound, center * 1.5)}))
    values = np.array([evaluate(x) for x in grid])
    found = _interval.likelihood_interval(evaluate, grid, values, (lo_bound, hi_bound))
    return found.lo, found.hi
