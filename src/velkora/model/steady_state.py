"""The steady-state model in NumPy, for figures and synthetic data.

The engine computes the same distributions (to about 1e-10) inside every fit;
this copy exists because figures need model distributions for any exponents
and Vmax, and synthetic data need the full 71-state distribution, neither of
which the engine hands out. The chain only moves between neighbouring
macrostates, so its stationary distribution follows from detailed balance,
p[M + 1] / p[M] = writing rate out of M / erasing rate out of M + 1, summed
here in log space so that strongly bistable distributions keep their troughs.
"""

from __future__ import annotations

import math

import numpy as np

from .binning import NCPG, bin_index

PROB_FLOOR = 1e-8


def _drive(coefficient: float, base: np.ndarray, exponent: float, vmax: float) -> np.ndarray:
    drive = coefficient * base**exponent
    if math.isfinite(vmax):
        drive = drive / (drive / vmax + 1.0)
    return drive


def stationary_distribution(
    ste: float,
    stw: float,
    cow: float,
    coe: float,
    n_u: float = 2.0,
    n_m: float = 2.0,
    vmax: float = math.inf,
    raw_count: bool = False,
) -> np.ndarray:
    """Stationary probabilities of M = 0 .. 70 methylated sites.

    Writing M -> M + 1 happens at ``(70 - M) * (StW + D(CoW, b_w(M + 1), n_M))``,
    erasing M -> M - 1 at ``M * (StE + D(CoE, b_e(M - 1), n_U))``, with the
    drive ``D(C, b, n) = C * b**n``, saturated as ``D / (D / Vmax + 1)`` when
    Vmax is finite, and the bases ``b_w(k) = k / 70``, ``b_e(k) = 1 - k / 70``
    (or k and 70 - k with ``raw_count``).

    Parameters
    ----------
    ste, stw : float
        The spontaneous erasing and writing rates.
    cow, coe : float
        The cooperative writing and erasing coefficients.
    n_u, n_m : float, optional
        The exponents of the erasing and the writing drive (default 2).
    vmax : float, optional
        The ceiling on both drives (default inf: none).
    raw_count : bool, optional
        Bases on raw site counts instead of fractions (default False).

    Returns
    -------
    numpy.ndarray
        Shape (71,), summing to 1. Rates that leave no unique distribution
        (zeros that cut the chain, NaN) give the uniform distribution, as the
        engine does for a singular system.
    """
    m = np.arange(NCPG, dtype=np.float64)  # source macrostates of the writing steps
    up = m + 1.0
    down = m  # targets of the erasing steps out of M + 1
    if raw_count:
        write_base, erase_base = up, NCPG - down
    else:
        write_base, erase_base = up / NCPG, 1.0 - down / NCPG
    writing = (NCPG - m) * (stw + _drive(cow, write_base, n_m, vmax))
    erasing = up * (ste + _drive(coe, erase_base, n_u, vmax))
    with np.errstate(divide="ignore", invalid="ignore"):
        steps = np.log(writing) - np.log(erasing)
    if not np.all(np.isfinite(steps)):
        return np.full(NCPG + 1, 1.0 / (NCPG + 1))
    log_p = np.concatenate([[0.0], np.cumsum(steps)])
    p = np.exp(log_p - log_p.max())
    return p / p.sum()


def bin_fractions(p: np.ndarray, meth_edges: np.ndarray, observation: np.ndarray | None = None) -> np.ndarray:
    """Probabilities of the methylation bins for a 71-state distribution.

    Macrostate M has level M / 70; bin j is [edges[j], edges[j + 1]), the last
    bin also holds its right edge; levels outside the edges are dropped. Every
    bin is floored at 1e-8 and the bins are then renormalised, as in the
    engine's likelihood.

    Parameters
    ----------
    p : array_like
        The distribution over the 71 macrostates.
    meth_edges : array_like
        The methylation bin edges.
    observation : array_like, optional
        Shape (n_bins, 71), see :mod:`velkora.model.observation`: the bins are then
        those of reads that see only some sites, ``T p``.

    Returns
    -------
    numpy.ndarray
        Shape (n_bins,).
    """
    edges = np.asarray(meth_edges, dtype=np.float64)
    n_bins = len(edges) - 1
    if observation is not None:
        binned = np.asarray(observation, dtype=np.float64) @ np.asarray(p, dtype=np.float64)
    else:
        index = bin_index(np.arange(NCPG + 1) / NCPG, edges)
        inside = (index >= 0) & (index < n_bins)
        binned = np.bincount(index[inside], weights=np.asarray(p)[inside], minlength=n_bins)
    binned = np.maximum(binned, PROB_FLOOR)
    total = binned.sum()
    return binned / total if total > 0 else binned


def model_fractions(
    st: float,
    cow: float,
    coe: float,
    meth_edges: np.ndarray,
    *,
    normalize_stw: bool = True,
    n_u: float = 2.0,
    n_m: float = 2.0,
    vmax: float = math.inf,
    raw_count: bool = False,
    observation: np.ndarray | None = None,
) -> np.ndarray:
    """Binned model distribution for a fitted (St, CoW, CoE) and exponents.

    Parameters
    ----------
    st, cow, coe : float
        The free spontaneous rate and the cooperative coefficients.
    meth_edges : array_like
        The methylation bin edges.
    normalize_stw : bool, optional
        True (default): StW = 1 and St is StE; False: StE = 1 and St is StW.
    n_u, n_m, vmax, raw_count : optional
        As in :func:`stationary_distribution`.
    observation : array_like, optional
        The density bin's observation matrix for short reads (see
        :func:`bin_fractions`).

    Returns
    -------
    numpy.ndarray
        Shape (n_bins,).
    """
    ste, stw = (st, 1.0) if normalize_stw else (1.0, st)
    p = stationary_distribution(ste, stw, cow, coe, n_u, n_m, vmax, raw_count)
    return bin_fractions(p, meth_edges, observation)
