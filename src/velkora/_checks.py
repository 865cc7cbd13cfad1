"""Checks of the front door's arguments, shared by every layer.

Each returns the value in the plain type the engine takes (float, int, bool,
a (lo, hi) tuple, a C-contiguous float64 array) or raises :class:`InputError`
naming the argument, so that a mistake is reported before any work starts.
"""

from __future__ import annotations

import math

import numpy as np

from ._errors import InputError


def real(value, name: str) -> float:
    """A number (not a bool) as a float."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise InputError(f"{name} must be a number, not {value!r}")
    return float(value)


def finite(value, name: str, *, minimum: float | None = None, positive: bool = False) -> float:
    """A finite number, optionally positive or at least `minimum`."""
    number = real(value, name)
    if not math.isfinite(number):
        raise InputError(f"{name} must be finite, not {number!r}")
    if positive and not number > 0:
        raise InputError(f"{name} must be positive, not {number:g}")
    if minimum is not None and number < minimum:
        raise InputError(f"{name} must be at least {minimum:g}, not {number:g}")
    return number


def bounds(value, name: str, *, positive: bool) -> tuple[float, float]:
    """(lo, hi) as a tuple of floats. Rates are searched on a log scale, hence
    `positive`: their lower bound must be above zero."""
    rule = "0 < lo <= hi" if positive else "lo <= hi"
    try:
        lo, hi = (real(v, name) for v in value)
    except (TypeError, ValueError, InputError):
        raise InputError(f"{name} must be a pair of finite numbers (lo, hi) with {rule}, not {value!r}") from None
    if not (math.isfinite(lo) and math.isfinite(hi) and lo <= hi and (lo > 0 or not positive)):
        raise InputError(f"{name} must be a pair of finite numbers (lo, hi) with {rule}, not ({lo:g}, {hi:g})")
    return lo, hi


def flag(value, name: str) -> bool:
    """True or False (NumPy's bools too), nothing else."""
    if not isinstance(value, (bool, np.bool_)):
        raise InputError(f"{name} must be True or False, not {value!r}")
    return bool(value)


def count(value, name: str, minimum: int) -> int:
    """An integer (not a bool) of at least `minimum`."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)) or value < minimum:
        raise InputError(f"{name} must be an integer of at least {minimum}, not {value!r}")
    return int(value)


def choice(value, name: str, choices: tuple[str, ...]) -> str:
    """One of `choices`."""
    if not isinstance(value, str) or value not in choices:
        raise InputError(f"{name} must be one of {', '.join(choices)}, not {value!r}")
    return value


def seed(value) -> int | None:
    """A seed: None (fresh entropy) or an integer of at least 0."""
    return None if value is None else count(value, "seed", 0)


def grid(values, name: str, *, positive: bool = False) -> np.ndarray:
    """A non-empty 1-D grid of finite values as a C-contiguous float64 array."""
    try:
        array = np.array(values, dtype=np.float64, ndmin=1)
    except (TypeError, ValueError):
        raise InputError(f"{name} must be a sequence of numbers, not {values!r}") from None
    if array.ndim != 1 or array.size == 0:
        raise InputError(f"{name} must be a non-empty 1-D sequence of numbers, got shape {array.shape}")
    bad = ~np.isfinite(array) | ((array <= 0) if positive else False)
    if bad.any():
        first = int(np.flatnonzero(bad)[0])
        kind = "positive and finite" if positive else "finite"
        raise InputError(
            f"{name}: {int(bad.sum())} values not {kind} (first at position {first}: {array[first]:g})")
    return np.ascontiguousarray(array)


def callable_or_none(value, name: str):
    """A callable (a progress callback) or None."""
    if value is not None and not callable(value):
        raise InputError(f"{name} must be callable, not {value!r}")
    return value


def dask_client(value):
    """A Dask client (anything with a callable ``submit``) or None."""
    if value is not None and not callable(getattr(value, "submit", None)):
        raise InputError(f"client must be a Dask distributed.Client, not {type(value).__name__}")
    return value
