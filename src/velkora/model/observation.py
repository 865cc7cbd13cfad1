"""Observation matrices for reads that call only some of a molecule's sites.

A molecule of the model carries 70 CpG sites, M of them methylated. A read
that calls n of those sites sees i methylated ones with the hypergeometric
probability

    H(i; 70, M, n) = C(M, i) C(70 - M, n - i) / C(70, n),

and reports the level i / n. For a density bin whose reads have the depth
histogram w(n) (normalised over n = 1 .. 70), the probability that a
molecule with M methylated sites is observed in methylation bin j is

    T[j, M] = sum_n w(n) * sum of H(i; 70, M, n) over the i whose level i / n
              falls in bin j,

with the same bins as the engine's plain binning: [e_j, e_j+1), the last bin
closed, levels outside every bin dropped. The engine's keyword-only
``observation`` argument takes T (one matrix per density) and scores the
binned fractions against T p instead of the binning of M / 70. With every
read calling all 70 sites, T is exactly that plain binning.

NumPy only.
"""

from __future__ import annotations

import functools
import math

import numpy as np

from .._errors import InputError
from .binning import NCPG, STATES, bin_index

__all__ = ["observation_matrix", "observation_matrices"]


@functools.cache
def _hypergeometric(n: int) -> np.ndarray:
    """H[M, i] = H(i; 70, M, n) for M = 0..70, i = 0..n (read-only).

    Each entry is a ratio of exact integer binomials, divided once (Python's
    int / int rounds correctly), so every probability is the double nearest
    to its true value: no cancellation, no accumulated rounding.
    """
    total = math.comb(NCPG, n)
    table = np.array(
        [[math.comb(m, i) * math.comb(NCPG - m, n - i) / total for i in range(n + 1)] for m in range(STATES)],
        dtype=np.float64,
    )
    table.flags.writeable = False
    return table


def _bin_of_levels(levels: np.ndarray, edges: np.ndarray) -> np.ndarray:
    """Index of the bin holding each level, -1 for a dropped level. Levels are
    float64 quotients i / n, so n = 70 gives the engine's M / 70 bit for bit."""
    bins = bin_index(levels, edges)
    return np.where((bins >= 0) & (bins < len(edges) - 1), bins, -1)


def _edges(meth_edges) -> np.ndarray:
    edges = np.asarray(meth_edges, dtype=np.float64)
    if edges.ndim != 1 or len(edges) < 2:
        raise InputError(f"meth_edges must be a 1-D sequence of at least 2 edges, got shape {edges.shape}")
    return edges


def _depth_weights(depth_counts, what: str = "depth_counts") -> np.ndarray:
    """Weights of depths 1..70 (index n - 1), summing to 1."""
    counts = np.asarray(depth_counts, dtype=np.float64)
    if counts.ndim != 1 or len(counts) == 0:
        raise InputError(f"{what} must be a non-empty 1-D histogram indexed by depth, got shape {counts.shape}")
    if not np.all(np.isfinite(counts)) or np.any(counts < 0):
        raise InputError(f"{what} must hold finite, non-negative counts")
    weights = np.zeros(NCPG)
    # Depth 0 (a molecule with no called site) says nothing about methylation:
    # those molecules are left out. Depths beyond 70 count as 70.
    weights[: min(len(counts) - 1, NCPG)] = counts[1 : NCPG + 1]
    weights[NCPG - 1] += counts[NCPG + 1 :].sum()
    total = weights.sum()
    if not total > 0.0:
        raise InputError(f"{what} holds no molecule with at least one called site")
    return weights / total


def observation_matrix(depth_counts, meth_edges) -> np.ndarray:
    """The observation matrix of one density bin from its read-depth histogram.

    Parameters
    ----------
    depth_counts : array_like, 1-D
        ``depth_counts[n]`` is the number (or any non-negative weight) of
        molecules whose read calls n sites. Index 0 (no called site) carries
        no information and is ignored; the weights of n = 1 .. 70 are
        renormalised to sum to 1. Entries beyond index 70 count as depth 70.
    meth_edges : array_like, 1-D
        The methylation bin edges (n_meth_bins + 1 values), as given to the
        engine's ``meth_bin_edges``.

    Returns
    -------
    numpy.ndarray
        C-contiguous float64 array of shape (n_meth_bins, 71): entry [j, M] is
        the probability that a molecule with M of 70 sites methylated is read
        at a level i / n inside bin j. Columns sum to 1 when the edges cover
        0 .. 1 (less where levels fall outside every bin).

    Raises
    ------
    InputError
        For a histogram that is not 1-D, holds a negative or non-finite
        entry, or no molecule of depth >= 1; for fewer than two edges.

    Examples
    --------
    Reads of exactly two sites: a molecule with 35 of 70 methylated sites is
    seen unmethylated, half or fully methylated.

    >>> import numpy as np
    >>> T = observation_matrix([0, 0, 1], [0.0, 0.25, 0.75, 1.0])
    >>> T.shape
    (3, 71)
    >>> np.round(T[:, 35], 4)
    array([0.2464, 0.5072, 0.2464])

    Full-depth reads reproduce the plain binning of M / 70:

    >>> full = observation_matrix(np.eye(71)[70], np.linspace(0.0, 1.0, 11))
    >>> bool(np.all((full == 0) | (full == 1)))
    True
    """
    edges = _edges(meth_edges)
    weights = _depth_weights(depth_counts)
    n_bins = len(edges) - 1
    matrix = np.zeros((n_bins, STATES))
    for n in np.flatnonzero(weights) + 1:
        n = int(n)
        levels = np.arange(n + 1, dtype=np.float64) / np.float64(n)
        bins = _bin_of_levels(levels, edges)
        kept = bins >= 0
        # binned[j, M]: the probability of reading M's molecule in bin j at this depth.
        binned = np.zeros((n_bins, STATES))
        np.add.at(binned.T, (slice(None), bins[kept]), _hypergeometric(n)[:, kept])
        matrix += weights[n - 1] * binned
    return np.ascontiguousarray(matrix)


def observation_matrices(depth_counts, meth_edges) -> np.ndarray:
    """The observation matrices of several density bins, stacked.

    Parameters
    ----------
    depth_counts : array_like, 2-D, or sequence of 1-D histograms
        One read-depth histogram per density bin, in density order (as for
        :func:`observation_matrix`; histograms may differ in length).
    meth_edges : array_like, 1-D
        The methylation bin edges shared by every density bin.

    Returns
    -------
    numpy.ndarray
        C-contiguous float64 array of shape (n_densities, n_meth_bins, 71),
        ready for the engine's ``observation`` argument of the fits over all
        densities and of the bootstraps (one matrix per density, used for
        every bootstrap sample).

    Raises
    ------
    InputError
        As :func:`observation_matrix`, naming the density bin at fault.

    Examples
    --------
    >>> import numpy as np
    >>> depths = np.zeros((2, 71))
    >>> depths[0, 5] = 10     # density 0: reads of 5 sites
    >>> depths[1, 3:8] = 1    # density 1: 3 to 7 sites, equally often
    >>> observation_matrices(depths, np.linspace(0.0, 1.0, 6)).shape
    (2, 5, 71)
    """
    edges = _edges(meth_edges)
    histograms = list(depth_counts)
    stacked = np.zeros((len(histograms), len(edges) - 1, STATES))
    for d, histogram in enumerate(histograms):
        try:
            stacked[d] = observation_matrix(histogram, edges)
        except InputError as error:
            raise InputError(f"density bin {d}: {error}") from None
    return stacked
