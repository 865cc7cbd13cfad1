"""Profile-likelihood intervals: where a profile rises a given height above its minimum.

A profile is known only where it was evaluated, and every evaluation is a
refit, so the search works on the caller's grid first and evaluates new
points only to close in on the minimum and on the two crossings. All
searches run on the log scale of the parameter (rates are positive and their
uncertainty is multiplicative), so the tolerance is relative.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

# Half the 95 % quantile of chi-square with one degree of freedom: the rise of
# the negative log-likelihood that bounds a 95 % profile interval.
CHI2_1_95_HALF = 1.920729410347062

# Relative tolerance of the interval's ends and of the minimum's position.
XTOL = 1e-4

_GOLDEN = (math.sqrt(5.0) - 1.0) / 2.0


@dataclass(frozen=True)
class Interval:
    """A profile-likelihood interval of one parameter.

    ``estimate`` is where the profile is lowest, ``nll_min`` its value there;
    ``lo`` and ``hi`` are where it has risen by ``threshold``, each to a
    relative tolerance of ``xtol``. An end is NaN when the profile stays
    below the threshold up to that end of the search range ``bounds``: the
    data do not bound the parameter on that side.
    """

    estimate: float
    nll_min: float
    lo: float
    hi: float
    threshold: float
    xtol: float
    bounds: tuple[float, float]
    evaluations: int
    # Every point of the profile known at the end, (x, value) by ascending x: the grid's and the search's.
    points: tuple[tuple[float, float], ...] = ()


class _Profile:
    """The profile as a function of ln x, remembering every value it computed."""

    def __init__(self, evaluate: Callable[[float], float]):
        self.evaluate = evaluate
        self.known: dict[float, float] = {}
        self.grid: dict[float, float] = {}
        self.evaluations = 0

    def points(self) -> tuple[tuple[float, float], ...]:
        # Grid points keep their own value; exp(ln x) need not give x back to the bit.
        return tuple((self.grid.get(t, math.exp(t)), y) for t, y in sorted(self.known.items()))

    def __call__(self, t: float) -> float:
        if t not in self.known:
            self.known[t] = float(self.evaluate(math.exp(t)))
            self.evaluations += 1
        return self.known[t]


def likelihood_interval(
    evaluate: Callable[[float], float],
    grid,
    values,
    bounds: tuple[float, float],
    threshold: float = CHI2_1_95_HALF,
    xtol: float = XTOL,
) -> Interval:
    """The interval where a profile stays within `threshold` of its minimum.

    `evaluate(x)` computes the profile (a negative log-likelihood) at x > 0;
    `values` are its values at the points of `grid`, already computed.
    `bounds` (0 < lo <= hi) is the range the search may go beyond the grid
    to. Non-finite profile values count as higher than every finite one.
    """
    profile = _Profile(evaluate)
    grid = np.asarray(grid, dtype=float)
    for x, t, y in zip(grid, np.log(grid), np.asarray(values, dtype=float)):
        profile.known[float(t)] = float(y) if math.isfinite(y) else math.inf
        profile.grid[float(t)] = float(x)
    t_lo, t_hi = math.log(bounds[0]), math.log(bounds[1])
    t_min, y_min = _minimum(profile, t_lo, t_hi, xtol)
    if not math.isfinite(y_min):
        nan = math.nan
        return Interval(nan, nan, nan, nan, threshold, xtol, bounds, profile.evaluations, profile.points())
    target = y_min + threshold
    ends = [_crossing(profile, t_min, target, limit, direction, xtol) for limit, direction in ((t_lo, -1.0),
                                                                                           (t_hi, 1.0))]
    lo, hi = (math.nan if t is None else math.exp(t) for t in ends)
    return Interval(math.exp(t_min), y_min, lo, hi, threshold, xtol, tuple(bounds), profile.evaluations,
                    profile.points())


def _minimum(profile: _Profile, t_lo: float, t_hi: float, xtol: float) -> tuple[float, float]:
    """The profile's minimum: the lowest grid point, walked outward while the
    profile keeps falling past the grid's end, then refined by golden-section
    search between its neighbours."""
    points = sorted(profile.known)
    k = min(range(len(points)), key=lambda i: (profile.known[points[i]], i))
    step = math.log(2.0)
    # A minimum at the grid's end may lie beyond it: step outward while the profile falls.
    if k == 0 or k == len(points) - 1:
        direction, limit = (-1.0, t_lo) if k == 0 else (1.0, t_hi)
        t = points[k]
        while (t - limit) * direction < 0:
            t_next = limit if abs(limit - t) <= step else t + direction * step
            points.append(t_next)
            if profile(t_next) >= profile(t):
                break
            t = t_next
        points.sort()
        k = min(range(len(points)), key=lambda i: (profile(points[i]), i))
    a = points[k - 1] if k > 0 else points[k]
    b = points[k + 1] if k < len(points) - 1 else points[k]
    m = points[k]
    # Successive parabolic interpolation within the bracket [a, b] around the
    # lowest point m, falling back to a golden-section step where the parabola
    # points nowhere useful. Only the minimum's value matters for the interval,
    # so the search stops once a step lowers it by less than `ftol`.
    ftol = 1e-3 * CHI2_1_95_HALF
    while b - a > xtol:
        fa, fm, fb = profile(a), profile(m), profile(b)
        numerator = (m - a) ** 2 * (fm - fb) - (m - b) ** 2 * (fm - fa)
        denominator = (m - a) * (fm - fb) - (m - b) * (fm - fa)
        v = m - 0.5 * numerator / denominator if denominator != 0 and math.isfinite(denominator) else math.nan
        if a < v < b and abs(v - m) < 0.5 * xtol:
            break  # the parabola through the bracket is lowest at m itself
        if not a < v < b:
            v = m + (1.0 - _GOLDEN) * ((b - m) if b - m > m - a else (a - m))
        fv = profile(v)
        if fv < fm:
            a, b = (a, m) if v < m else (m, b)
            improvement, m = fm - fv, v
            if improvement < ftol:
                break
        elif v < m:
            a = v
        else:
            b = v
    return m, profile(m)


def _crossing(profile: _Profile, t_min: float, target: float, limit: float, direction: float,
              xtol: float) -> float | None:
    """Where the profile, going from its minimum in `direction` (+1 or -1)
    towards `limit`, first reaches `target`; None when it stays below up to
    `limit`."""
    beyond = sorted((t for t in profile.known if (t - t_min) * direction > 0), key=lambda t: (t - t_min) * direction)
    inner = t_min
    for t in beyond:
        if profile(t) >= target:
            return _root(profile, inner, t, target, xtol)
        inner = t
    # Past the grid: double the step until the profile reaches the target or the range ends.
    step = math.log(2.0)
    while (limit - inner) * direction > 0:
        t = limit if abs(limit - inner) <= step else inner + direction * step
        if profile(t) >= target:
            return _root(profile, inner, t, target, xtol)
        inner, step = t, 2.0 * step
    return None


def _root(profile: _Profile, inside: float, outside: float, target: float, xtol: float) -> float:
    """The crossing of `target` between `inside` (below it) and `outside` (at or
    above it), by regula falsi with the Illinois modification; bisection
    where a value is not finite."""
    a, b = inside, outside
    fa, fb = profile(a) - target, profile(b) - target
    side = 0
    while abs(b - a) > xtol:
        if math.isfinite(fb) and fb != fa:
            t = b - fb * (b - a) / (fb - fa)
            if not min(a, b) < t < max(a, b):
                t = 0.5 * (a + b)
        else:
            t = 0.5 * (a + b)
        ft = profile(t) - target
        if ft >= 0:
            b, fb = t, ft
            if side == -1:
                fa /= 2.0
            side = -1
        else:
            a, fa = t, ft
            if side == 1:
                fb /= 2.0
            side = 1
    return 0.5 * (a + b)
