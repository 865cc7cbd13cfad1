"""What each fit mode is, said once.

A mode says, for each of the model's six parameters (St, CoW, CoE, n_U,
n_M, Vmax), how it varies over the density bins:

- ``fixed``: held at a setting (the exponents of independent and shared-st,
  Vmax unless ``fit_vmax``), or at the single point of a search range whose
  ends are equal;
- ``shared``: one value for all density bins;
- ``per bin``: one value per density bin.

Along a second axis, groups of samples, a fitted parameter is either one per
group or shared by all groups (:data:`PER_GROUP`, :data:`ALL_GROUPS`);
:func:`layout` turns both axes into the parameter table of a tied fit.

From the roles follow the number of free parameters and which modes are
special cases of which (nesting). Each :class:`Mode` also names the engine
function that fits it, how that function's result unpacks into one value of
every parameter per density bin, the bootstrap function and the warm start
its bootstrap resamples begin from. Everything else (the fits, bootstraps,
profiles, comparisons, the command line, figures and reports) reads these
descriptions; adding a mode is one entry in :data:`MODE_TABLE` plus its
engine call.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np

FIXED, SHARED, PER_BIN = "fixed", "shared", "per bin"
# How a fitted parameter varies over groups of samples.
PER_GROUP, ALL_GROUPS = "per group", "all groups"

# Freedom of a role: a mode nests in another when none of its parameters is freer there.
FREEDOM = {FIXED: 0, SHARED: 1, PER_BIN: 2}

PARAMETERS = ("St", "CoW", "CoE", "n_U", "n_M", "Vmax")
# The rates (searched on log scales, drawn on log axes); the exponents are not rates.
RATES = ("St", "CoW", "CoE", "Vmax")

# The setting that bounds each parameter's search, the one that fixes it where
# the mode does not fit it, and the command-line option that widens the range.
RANGE = {"St": "st_bounds", "CoW": "co_bounds", "CoE": "co_bounds", "n_U": "n_exp_bounds", "n_M": "n_exp_bounds",
         "Vmax": "vmax_bounds"}
VALUE = {"n_U": "n_u", "n_M": "n_m", "Vmax": "vmax"}


def option_name(setting: str) -> str:
    """The command-line option of a setting: "st_bounds" -> "--st-bounds"."""
    return "--" + setting.replace("_", "-")


@dataclass(frozen=True)
class Estimates:
    """What a fit gives, unpacked: one value of every parameter per density bin,
    the bins' nll and the values common to all bins."""

    values: dict[str, np.ndarray]
    nll: np.ndarray
    shared: dict[str, float]


# An engine call: call(function name, *arguments) -> the function's result, with
# the call's keyword extras (seed, observation matrices) added by the caller.
EngineCall = Callable[..., Any]


@dataclass(frozen=True)
class Mode:
    """One fit mode.

    Attributes
    ----------
    name : str
        The mode's name, as :func:`velkora.fit` takes it.
    summary : str
        One line on what the density bins share.
    roles : tuple of str
        The role of each of :data:`PARAMETERS` with the default settings.
    fit_function, bootstrap_function : str
        The engine functions that fit the mode and bootstrap it.
    weighted : bool
        Whether its objective sums the density bins' nll with weights (the
        shared modes); the independent modes fit each bin on its own.
    fits_vmax : bool
        Whether ``fit_vmax`` adds one shared Vmax.
    """

    name: str
    summary: str
    roles: tuple[str, ...]
    fit_function: str
    bootstrap_function: str
    weighted: bool
    fits_vmax: bool
    _fit: Callable[..., Estimates]
    _bootstrap: Callable[..., tuple]
    _warm_start: Callable[[Estimates, dict], tuple | None] | None = None

    def role(self, name: str, settings: dict[str, Any]) -> str:
        """The role of parameter `name` under these (checked) settings: a
        fitted Vmax is shared, and a search range of one point fixes its
        parameters there."""
        role = SHARED if name == "Vmax" and self.fits_vmax and settings["fit_vmax"] else \
            self.roles[PARAMETERS.index(name)]
        if role != FIXED:
            lo, hi = settings[RANGE[name]]
            if lo == hi:
                return FIXED
        return role

    def fixed_value(self, name: str, settings: dict[str, Any]) -> float:
        """The value at which a parameter this mode does not fit is held: its
        setting, or the single point of a search range with lo == hi."""
        if self.roles[PARAMETERS.index(name)] == FIXED and not (name == "Vmax" and self.fits_vmax
                                                                 and settings["fit_vmax"]):
            return settings[VALUE[name]]
        return settings[RANGE[name]][0]

    def fitted(self, settings: dict[str, Any]) -> tuple[str, ...]:
        """The parameters the mode fits under these settings."""
        return tuple(name for name in PARAMETERS if self.role(name, settings) != FIXED)

    def n_params(self, n_densities: int, settings: dict[str, Any]) -> int:
        """Free parameters: one per shared parameter, n_densities per per-bin one."""
        roles = [self.role(name, settings) for name in PARAMETERS]
        return roles.count(SHARED) + n_densities * roles.count(PER_BIN)

    def per_bin_params(self, settings: dict[str, Any]) -> int:
        """The parameters fitted separately in every density bin."""
        return [self.role(name, settings) for name in PARAMETERS].count(PER_BIN)

    def fit(self, call: EngineCall, head: tuple, settings: dict[str, Any], weights) -> Estimates:
        """Runs the engine fit. `head` is (fractions, meth edges, normalize_stw,
        st_bounds, co_bounds); `weights` the engine's density weights (None:
        equal)."""
        return self._fit(call, head, settings, weights)

    def bootstrap_call(self, head: tuple, settings: dict[str, Any], weights,
                       warm_start: tuple | None) -> tuple:
        """The bootstrap function's arguments after the stacked resamples,
        their count, n_densities, meth edges and normalize_stw."""
        return self._bootstrap(head, settings, weights, warm_start)

    def warm_start(self, estimates: Estimates, settings: dict[str, Any]) -> tuple | None:
        """Where the bootstrap resamples start from (None: a fresh search)."""
        return None if self._warm_start is None else self._warm_start(estimates, settings)


# ---------------------------------------------------------------- the engine calls


def _filled(n: int, settings, **given) -> dict[str, np.ndarray]:
    """Every parameter per density bin: the given ones, the rest at their settings."""
    values = {"n_U": np.full(n, settings["n_u"]), "n_M": np.full(n, settings["n_m"]),
              "Vmax": np.full(n, settings["vmax"])}
    values.update({name: np.asarray(value, dtype=np.float64) * np.ones(n) for name, value in given.items()})
    return {name: values[name] for name in PARAMETERS}


def _vmax_shared(settings, vmax: float) -> dict[str, float]:
    return {"Vmax": float(vmax)} if settings["fit_vmax"] else {}


def _fit_independent(call, head, s, weights):
    fitps, nlls = call("py_fit_all_densities", *head, s["n_u"], s["n_m"], s["co_penalty"])
    st, cow, coe = fitps.T
    return Estimates(_filled(len(nlls), s, St=st, CoW=cow, CoE=coe), nlls, {})


def _fit_independent_exp(call, head, s, weights):
    fitps, nlls = call("py_fit_all_densities_exp", *head, s["n_exp_bounds"], s["co_penalty"])
    st, n_u, n_m, cow, coe = fitps.T
    return Estimates(_filled(len(nlls), s, St=st, CoW=cow, CoE=coe, n_U=n_u, n_M=n_m), nlls, {})


def _fit_shared_st(call, head, s, weights):
    shared_st, fitps, nlls = call("py_fit_shared_st", *head, s["n_u"], s["n_m"], s["co_penalty"], weights)
    st, cow, coe = fitps.T
    return Estimates(_filled(len(nlls), s, St=st, CoW=cow, CoE=coe), nlls, {"St": float(shared_st)})


def _fit_shared_exp(call, head, s, weights):
    st, n_u, n_m, vmax, fitps, nlls = call("py_fit_shared_exp", *head, s["n_exp_bounds"], s["co_penalty"], weights,
                                           s["fit_vmax"], s["vmax_bounds"])
    _, cow, coe = fitps.T
    values = _filled(len(nlls), s, St=fitps[:, 0], CoW=cow, CoE=coe, n_U=n_u, n_M=n_m, Vmax=vmax)
    return Estimates(values, nlls, {"St": float(st), "n_U": float(n_u), "n_M": float(n_m),
                                    **_vmax_shared(s, vmax)})


def _fit_shared_st_exp(call, head, s, weights):
    st, vmax, fitps, nlls = call("py_fit_shared_st_exp_perdensity", *head, s["n_exp_bounds"], s["co_penalty"],
                                 weights, s["fit_vmax"], s["vmax_bounds"])
    st_rows, n_u, n_m, cow, coe = fitps.T
    values = _filled(len(nlls), s, St=st_rows, CoW=cow, CoE=coe, n_U=n_u, n_M=n_m, Vmax=vmax)
    return Estimates(values, nlls, {"St": float(st), **_vmax_shared(s, vmax)})


def _fit_shared_co(call, head, s, weights):
    st, cow, coe, fitps, nlls = call("py_fit_shared_co", *head, s["n_exp_bounds"], s["co_penalty"], weights)
    st_rows, n_u, n_m, cow_rows, coe_rows = fitps.T
    values = _filled(len(nlls), s, St=st_rows, CoW=cow_rows, CoE=coe_rows, n_U=n_u, n_M=n_m)
    return Estimates(values, nlls, {"St": float(st), "CoW": float(cow), "CoE": float(coe)})


def _bootstrap_three(shared_st: bool):
    def arguments(head, s, weights, warm_start):
        # (shared_st, fix_st, st_bounds, co_bounds, n_u, n_m, co_penalty, weights)
        return (shared_st, False, s["st_bounds"], s["co_bounds"], s["n_u"], s["n_m"], s["co_penalty"], weights)
    return arguments


def _bootstrap_exp_perdensity(shared_st: bool):
    def arguments(head, s, weights, warm_start):
        return (shared_st, s["st_bounds"], s["co_bounds"], s["n_exp_bounds"], s["co_penalty"], weights,
                shared_st and s["fit_vmax"], s["vmax_bounds"])
    return arguments


def _bootstrap_shared_exp(head, s, weights, warm_start):
    return (s["st_bounds"], s["co_bounds"], s["n_exp_bounds"], s["co_penalty"], weights, warm_start,
            s["fit_vmax"], s["vmax_bounds"])


def _bootstrap_shared_co(head, s, weights, warm_start):
    return (s["st_bounds"], s["co_bounds"], s["n_exp_bounds"], s["co_penalty"], weights, warm_start)


def _warm_shared_exp(estimates: Estimates, s) -> tuple:
    shared = estimates.shared
    return (shared["St"], shared["n_U"], shared["n_M"], float(estimates.values["Vmax"][0]))


def _warm_shared_co(estimates: Estimates, s) -> tuple:
    shared = estimates.shared
    return (shared["St"], shared["CoW"], shared["CoE"])


_B = PER_BIN
MODE_TABLE: dict[str, Mode] = {mode.name: mode for mode in (
    Mode("independent", "every density bin its own St, CoW, CoE; n_U, n_M fixed",
         (_B, _B, _B, FIXED, FIXED, FIXED), "py_fit_all_densities", "py_fit_bootstrap", weighted=False,
         fits_vmax=False, _fit=_fit_independent, _bootstrap=_bootstrap_three(False)),
    Mode("independent-exp", "every density bin its own St, CoW, CoE, n_U, n_M",
         (_B, _B, _B, _B, _B, FIXED), "py_fit_all_densities_exp", "py_fit_bootstrap_exp_perdensity",
         weighted=False, fits_vmax=False, _fit=_fit_independent_exp, _bootstrap=_bootstrap_exp_perdensity(False)),
    Mode("shared-st", "one St for all bins; CoW, CoE per bin; n_U, n_M fixed",
         (SHARED, _B, _B, FIXED, FIXED, FIXED), "py_fit_shared_st", "py_fit_bootstrap", weighted=True,
         fits_vmax=False, _fit=_fit_shared_st, _bootstrap=_bootstrap_three(True)),
    Mode("shared-exp", "one St, n_U, n_M (and Vmax with fit_vmax); CoW, CoE per bin",
         (SHARED, _B, _B, SHARED, SHARED, FIXED), "py_fit_shared_exp", "py_fit_bootstrap_exp", weighted=True,
         fits_vmax=True, _fit=_fit_shared_exp, _bootstrap=_bootstrap_shared_exp, _warm_start=_warm_shared_exp),
    Mode("shared-st-exp", "one St (and Vmax with fit_vmax); CoW, CoE, n_U, n_M per bin",
         (SHARED, _B, _B, _B, _B, FIXED), "py_fit_shared_st_exp_perdensity", "py_fit_bootstrap_exp_perdensity",
         weighted=True, fits_vmax=True, _fit=_fit_shared_st_exp, _bootstrap=_bootstrap_exp_perdensity(True)),
    Mode("shared-co", "one St, CoW, CoE; n_U, n_M per bin",
         (SHARED, SHARED, SHARED, _B, _B, FIXED), "py_fit_shared_co", "py_fit_bootstrap_co", weighted=True,
         fits_vmax=False, _fit=_fit_shared_co, _bootstrap=_bootstrap_shared_co, _warm_start=_warm_shared_co),
)}
del _B

MODES = tuple(MODE_TABLE)


def mode_of(name) -> Mode:
    """The description of mode `name`; ValueError for an unknown one (the
    front door turns it into its own error)."""
    try:
        return MODE_TABLE[name]
    except (KeyError, TypeError):
        raise ValueError(f"unknown mode {name!r}; the modes are {', '.join(MODES)}") from None


# ---------------------------------------------------------------- nesting


def structurally_nested(small: str, big: str) -> bool:
    """Whether `small` is a special case of `big` whatever the settings."""
    a, b = MODE_TABLE[small], MODE_TABLE[big]
    return small != big and all(FREEDOM[x] <= FREEDOM[y] for x, y in zip(a.roles, b.roles))


def not_nested_because(small: str, big: str, settings: dict[str, Any]) -> str:
    """Why `small` is not a special case of `big` under these settings ("" when it is)."""
    a, b = MODE_TABLE[small], MODE_TABLE[big]
    for name in PARAMETERS:
        role_small, role_big = a.role(name, settings), b.role(name, settings)
        if FREEDOM[role_small] > FREEDOM[role_big]:
            if role_big == FIXED:
                return f"{small} fits {name} but {big} holds it at {b.fixed_value(name, settings):g}"
            return f"{name} is {role_small} in {small} but {role_big} in {big}"
        if role_small != FIXED:
            continue
        value = a.fixed_value(name, settings)
        if role_big == FIXED:
            if value != b.fixed_value(name, settings):
                return f"{name} is held at {value:g} in {small} but at {b.fixed_value(name, settings):g} in {big}"
            continue
        lo, hi = settings[RANGE[name]]
        if not lo <= value <= hi:
            return (f"{small} holds {name} at {value:g}, outside the range {big} searches "
                    f"({RANGE[name]} = ({lo:g}, {hi:g}))")
    return ""


def nesting_reason(small: str, big: str, n_densities: int, settings: dict[str, Any]) -> str:
    """Why a likelihood-ratio test of `small` within `big` cannot be made ("" when it can)."""
    if not structurally_nested(small, big):
        if structurally_nested(big, small):
            return f"{big} is a special case of {small}, not the other way round"
        return f"neither of {small} and {big} is a special case of the other"
    reason = not_nested_because(small, big, settings)
    k_small = MODE_TABLE[small].n_params(n_densities, settings)
    k_big = MODE_TABLE[big].n_params(n_densities, settings)
    if not reason and k_big <= k_small:
        reason = f"{small} and {big} are the same model here ({k_big} free parameters each)"
    return reason


# ---------------------------------------------------------------- bounds


def at_bound(name: str, values, settings: dict[str, Any], rtol: float = 1e-6) -> np.ndarray:
    """Which estimates of a fitted parameter lie within a relative `rtol` of
    an end of its search range: -1 at the lower end, +1 at the upper, 0 inside."""
    lo, hi = settings[RANGE[name]]
    values = np.asarray(values, dtype=np.float64)
    out = np.zeros(values.shape, dtype=np.int64)
    if lo == hi:  # a range of one point holds the parameter: not an estimate
        return out
    out[np.abs(values - lo) <= rtol * max(abs(lo), math.ulp(1.0))] = -1
    out[np.abs(values - hi) <= rtol * max(abs(hi), math.ulp(1.0))] = 1
    return out


# ---------------------------------------------------------------- groups


def layout(mode: str, settings: dict[str, Any], n_densities: int, n_groups: int = 1,
           across_groups: dict[str, str] | None = None) -> tuple[np.ndarray, np.ndarray, list[tuple[str, int, int]]]:
    """The parameter table of a fit of several groups' density bins at once.

    Row r = g * n_densities + d is density bin d of group g. Every fitted
    parameter is one per group (default) or shared by all groups, as
    `across_groups` says (parameter name -> :data:`PER_GROUP` or
    :data:`ALL_GROUPS`); its role over the density bins is the mode's.

    Returns
    -------
    layout : numpy.ndarray
        float64 (rows, 6) in the order of :data:`PARAMETERS`: the index of
        the free entry each row uses, or -1 where the parameter is fixed.
    fixed : numpy.ndarray
        float64 (rows, 6): the fixed values (NaN where the entry is free).
    entries : list of (str, int, int)
        For every free entry: (parameter, group or -1 when shared by all
        groups, density bin or -1 when shared by all bins).
    """
    description = MODE_TABLE[mode]
    across_groups = across_groups or {}
    rows = n_groups * n_densities
    table = np.full((rows, len(PARAMETERS)), -1.0)
    fixed = np.full((rows, len(PARAMETERS)), np.nan)
    entries: list[tuple[str, int, int]] = []
    for c, name in enumerate(PARAMETERS):
        role = description.role(name, settings)
        if role == FIXED:
            fixed[:, c] = description.fixed_value(name, settings)
            continue
        pooled = across_groups.get(name, PER_GROUP) == ALL_GROUPS
        index: dict[tuple[int, int], int] = {}
        for g in range(n_groups):
            for d in range(n_densities):
                key = (-1 if pooled else g, d if role == PER_BIN else -1)
                if key not in index:
                    index[key] = len(entries)
                    entries.append((name, *key))
                table[g * n_densities + d, c] = index[key]
    return table, fixed, entries
