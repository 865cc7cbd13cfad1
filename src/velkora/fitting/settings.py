"""The fit settings, checked once, and what a fit hands the engine.

This is the fitting layer's interface to the rest of the package: the
comparison, the command line and the figures take their checks from here, so
that a setting means the same and is refused with the same words
everywhere.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from .. import _checks
from .._errors import InputError
from ..counts.binned import BinnedData
from ..model.modes import MODES, Mode, mode_of
from ..model.observation import observation_matrices

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

# The settings of the model itself (what a phase grid needs).
MODEL_SETTINGS = ("normalize_stw", "n_u", "n_m", "vmax", "raw_count")

# The engine functions whose optimiser runs take a caller's seed (the others
# seed every run from its index already).
_SEEDED = ("py_fit_shared_st", "py_fit_bootstrap", "py_profile_shared_st", "py_profile_shared_co")


def _weights(value, n_densities: int):
    if isinstance(value, str):
        if value not in ("molecules", "equal"):
            raise InputError(f"weights must be 'molecules', 'equal' or one number per density bin, not {value!r}")
        return value
    weights = _checks.grid(value, "weights")
    if weights.size != n_densities:
        raise InputError(f"weights has {weights.size} values but the data have {n_densities} density bins")
    if (weights < 0).any() or not weights.sum() > 0:
        raise InputError(f"weights must be non-negative and not all zero, got {weights.tolist()}")
    return weights.tolist()


def check_settings(given: dict[str, Any], n_densities: int) -> dict[str, Any]:
    """The checked settings with the defaults filled in: plain floats, bools,
    tuples and strings (weights: 'molecules', 'equal' or a list). Raises
    InputError naming the setting."""
    unknown = [name for name in given if name not in DEFAULT_SETTINGS]
    if unknown:
        raise InputError(f"unknown setting {unknown[0]!r}; the settings are {', '.join(DEFAULT_SETTINGS)}")
    s = {**DEFAULT_SETTINGS, **given}
    vmax = _checks.real(s["vmax"], "vmax")
    if not vmax > 0:
        raise InputError(f"vmax must be positive (inf switches the ceiling off), not {vmax:g}")
    return {
        "normalize_stw": _checks.flag(s["normalize_stw"], "normalize_stw"),
        "st_bounds": _checks.bounds(s["st_bounds"], "st_bounds", positive=True),
        "co_bounds": _checks.bounds(s["co_bounds"], "co_bounds", positive=True),
        "n_exp_bounds": _checks.bounds(s["n_exp_bounds"], "n_exp_bounds", positive=False),
        "n_u": _checks.finite(s["n_u"], "n_u"),
        "n_m": _checks.finite(s["n_m"], "n_m"),
        "co_penalty": _checks.finite(s["co_penalty"], "co_penalty", minimum=0.0),
        "weights": _weights(s["weights"], n_densities),
        "fit_vmax": _checks.flag(s["fit_vmax"], "fit_vmax"),
        "vmax_bounds": _checks.bounds(s["vmax_bounds"], "vmax_bounds", positive=True),
        "vmax": vmax,
        "raw_count": _checks.flag(s["raw_count"], "raw_count"),
        "seed": _checks.seed(s["seed"]),
        "observation": _checks.choice(s["observation"], "observation", OBSERVATIONS),
    }


def likelihood_settings(settings: dict[str, Any]) -> str:
    """Why fits with these settings do not maximise the likelihood of the
    molecule counts ("" when they do): other weights or a penalty."""
    if settings["weights"] != "molecules":
        return (f"weights must be 'molecules' to compare modes, not {settings['weights']!r}: other weights make "
                "the fits' objective no log-likelihood of the molecule counts")
    if settings["co_penalty"] != 0.0:
        return (f"co_penalty must be 0 to compare modes, not {settings['co_penalty']:g}: a penalised fit does "
                "not maximise the likelihood")
    return ""


def binned(data) -> BinnedData:
    """`data` itself when it is a BinnedData, else InputError."""
    if not isinstance(data, BinnedData):
        raise InputError(f"data must be a BinnedData (from bin_molecules), not {type(data).__name__}")
    return data


def mode(name) -> Mode:
    """The description of a mode, or InputError naming the modes."""
    try:
        return mode_of(name)
    except ValueError:
        raise InputError(f"unknown mode {name!r}; the modes are {', '.join(MODES)}") from None


def engine_weights(settings: dict[str, Any], data: BinnedData) -> np.ndarray | None:
    """The engine's density weights: molecule counts, None (equal) or the given ones."""
    weights = settings["weights"]
    if weights == "molecules":
        return data.weights
    if weights == "equal":
        return None
    return np.ascontiguousarray(weights, dtype=np.float64)


def engine_arrays(data: BinnedData) -> tuple[np.ndarray, np.ndarray]:
    """The observed fractions and methylation edges as the engine takes them."""
    return (np.ascontiguousarray(data.fractions, dtype=np.float64),
            np.ascontiguousarray(data.meth_edges, dtype=np.float64))


def switches(settings: dict[str, Any]) -> dict[str, Any]:
    """The engine's run-wide switches for these settings, for :func:`velkora._engine.switches`."""
    return {"mm_vmax": settings["vmax"], "raw_count": settings["raw_count"]}


def observation(settings: dict[str, Any], data: BinnedData) -> tuple[str, np.ndarray | None, str]:
    """The observation model of a fit: its name, the engine's observation
    matrices (None for the plain binning) and why it was chosen."""
    wanted = settings["observation"]
    if data.depth_counts is None:
        if wanted == "sampled":
            raise InputError("observation='sampled' needs each molecule's number of called sites (an n_called or "
                             "total column); these data have levels only")
        return "binned", None, "the data have levels but no read depths, so reads are taken as whole molecules"
    if wanted == "binned" or (wanted == "auto" and data.observation == "binned"):
        reason = ("asked for" if wanted == "binned" else
                  "every molecule was read at 70 or more sites, the model's resolution")
        return "binned", None, reason
    reason = "asked for" if wanted == "sampled" else "molecules were read at fewer than the model's 70 sites"
    return "sampled", observation_matrices(data.depth_counts, data.meth_edges), reason


def keywords(function: str, settings: dict[str, Any], matrices: np.ndarray | None) -> dict[str, Any]:
    """The engine's keyword-only extras for one call: the seed of the runs it
    would otherwise seed from the operating system, and the observation
    matrices of short reads."""
    extras: dict[str, Any] = {}
    if function in _SEEDED and settings["seed"] is not None:
        extras["seed"] = settings["seed"]
    if matrices is not None:
        extras["observation"] = matrices
    return extras


def run_options(n_boot, seed, chunk_size, percentiles, *, minimum_boot: int):
    """The checked options of a bootstrap run: (n_boot, seed, chunk_size, percentile levels)."""
    n_boot = _checks.count(n_boot, "n_boot", minimum_boot)
    chunk_size = None if chunk_size is None else _checks.count(chunk_size, "chunk_size", 1)
    levels = _checks.grid(percentiles, "percentiles")
    if ((levels < 0) | (levels > 100)).any():
        raise InputError(f"percentiles must lie within 0..100, got {levels.tolist()}")
    return n_boot, _checks.seed(seed), chunk_size, levels
