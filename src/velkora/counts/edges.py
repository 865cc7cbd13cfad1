"""Bin edges: checked explicit edges, and equal-count density edges.

Equal-count ("quantile") density edges are the k + 1 quantiles of the
molecules' densities at 0, 1/k, ..., 1, with linear interpolation between
order statistics. They are computed from a histogram of the distinct
densities (value and count), never from the molecules one by one, so that the
whole-table road and the counting road (which never holds the molecules)
give the same edges to the bit: the arithmetic is NumPy's own
(``numpy.quantile``, method "linear"), step for step.
"""

from __future__ import annotations

import numpy as np

from .._errors import InputError


def finite_array(values, name: str, ndim: int) -> np.ndarray:
    """`values` as a float64 array of `ndim` dimensions, all finite."""
    try:
        array = np.array(values, dtype=np.float64)
    except (TypeError, ValueError):
        raise InputError(f"{name}: expected numbers, got {values!r}") from None
    if array.ndim != ndim:
        raise InputError(f"{name}: expected a {ndim}-dimensional sequence, got shape {array.shape}")
    if not np.all(np.isfinite(array)):
        raise InputError(f"{name}: NaN or infinite values")
    return array


def ascending_edges(edges, name: str) -> np.ndarray:
    """At least two finite, strictly increasing edges."""
    array = finite_array(edges, name, ndim=1)
    if len(array) < 2:
        raise InputError(f"{name}: needs at least 2 edges, got {len(array)}")
    if np.any(np.diff(array) <= 0):
        raise InputError(f"{name}: edges must be strictly increasing, got {array.tolist()}")
    return np.ascontiguousarray(array)


def meth_edges(value) -> np.ndarray:
    """Methylation edges: an int n for n equal bins over 0 .. 1, or edges within 0 .. 1."""
    if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)):
        if value < 1:
            raise InputError(f"meth_edges: the number of methylation bins must be at least 1, not {value}")
        return np.linspace(0.0, 1.0, int(value) + 1)
    edges = ascending_edges(value, "meth_edges")
    if edges[0] < 0 or edges[-1] > 1:
        raise InputError(f"meth_edges: methylation levels run from 0 to 1, got edges {edges[0]:g} .. {edges[-1]:g}")
    return edges


def meth_edges_among(kept: np.ndarray | None, value) -> np.ndarray:
    """Methylation edges for levels binned by the `kept` edges (None: levels
    kept exactly, any edges do): edges among the kept ones, each taken as the
    kept edge it matches (within 1e-9), so that ``10`` can bin what ``20``
    binned."""
    edges = meth_edges(value)
    if kept is None:
        return edges
    at = np.clip(np.searchsorted(kept, edges), 1, len(kept) - 1)
    nearest = np.where(np.abs(kept[at - 1] - edges) <= np.abs(kept[at] - edges), at - 1, at)
    if np.any(np.abs(kept[nearest] - edges) > 1e-9):
        raise InputError(f"the levels were binned by {len(kept) - 1} methylation bins when counted (the input has "
                         "more distinct levels than a count keeps exactly): other methylation edges must be among "
                         "those, or count the input again with them")
    return kept[nearest]


def equal_count_bins(value) -> int | None:
    """The k of "k equal-count density bins", or None when `value` gives edges."""
    if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)):
        if value < 1:
            raise InputError(f"density_edges: the number of density bins must be at least 1, not {value}")
        return int(value)
    return None


def density_edges(value, values=None, counts=None, column: str = "cpg_density") -> np.ndarray:
    """Density edges: explicit ascending edges, or for an int k the equal-count
    edges of the distinct densities `values` (ascending) seen `counts` times."""
    k = equal_count_bins(value)
    if k is None:
        return ascending_edges(value, "density_edges")
    if values is None or len(values) == 0 or int(np.sum(counts)) == 0:
        raise InputError("density_edges: equal-count bins need molecules, and there are none")
    edges = np.unique(quantiles(values, counts, np.linspace(0.0, 1.0, k + 1)))
    if len(edges) < k + 1:
        raise InputError(
            f"density_edges: column '{column}' has {len(values)} distinct value{'s' if len(values) != 1 else ''}, "
            f"too few for {k} equal-count bins (they give {len(edges) - 1}); ask for fewer bins, or give the "
            f"edges themselves (density_edges=[...], --density-edges)")
    return edges


def distinct(values) -> tuple[np.ndarray, np.ndarray]:
    """The distinct values of an array, ascending, and how often each occurs."""
    unique, counts = np.unique(np.asarray(values, dtype=np.float64), return_counts=True)
    return unique, counts.astype(np.int64)


def quantiles(values: np.ndarray, counts: np.ndarray, q: np.ndarray) -> np.ndarray:
    """``numpy.quantile(x, q)`` (method "linear") of the data x that holds each
    of the ascending `values` `counts` times, without x: the same order
    statistics and the same interpolation arithmetic, hence the same bits."""
    values = np.asarray(values, dtype=np.float64)
    ends = np.cumsum(np.asarray(counts, dtype=np.int64))
    n = int(ends[-1])
    virtual = (n - 1) * np.asarray(q, dtype=np.float64)
    previous = np.floor(virtual)
    following = previous + 1
    above = virtual >= n - 1
    previous[above] = n - 1
    following[above] = n - 1
    below = virtual < 0
    previous[below] = 0
    following[below] = 0
    gamma = virtual - previous

    def order_statistic(i):  # the i-th smallest (0-based) of the data
        return values[np.searchsorted(ends, i.astype(np.int64), side="right")]

    a, b = order_statistic(previous), order_statistic(following)
    # numpy's _lerp: a + (b - a) t, or b - (b - a)(1 - t) for t >= 0.5.
    difference = b - a
    out = a + difference * gamma
    upper = gamma >= 0.5
    out[upper] = (b - difference * (1 - gamma))[upper]
    return out
