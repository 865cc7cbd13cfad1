"""The model's resolution and the one binning rule every layer shares.

A molecule of the model carries `NCPG` = 70 CpG sites, so its methylation
level is one of the 71 values M / 70. Values are binned as the engine bins
levels: bin j holds e_j <= x < e_j+1 and the last bin also holds its right
edge, so the bins cover [e_0, e_n] once; values outside are in no bin. The
molecule tables, the counts, the observation matrices, the NumPy model and
the labels of the tables all use this one rule, so a level can never fall
into different bins on different roads.
"""

from __future__ import annotations

import numpy as np

# Sites per molecule in the model; reads that call more count as reads of 70.
NCPG = 70
# Macrostates M = 0 .. 70.
STATES = NCPG + 1


def bin_index(values, edges) -> np.ndarray:
    """The bin of every value: j with e_j <= value < e_j+1, the last bin closed.

    Parameters
    ----------
    values : array_like
        The values to bin.
    edges : array_like
        Ascending bin edges (n_bins + 1 values).

    Returns
    -------
    numpy.ndarray
        int64 bin indices; -1 below the first edge, n_bins above the last
        (and for NaN).
    """
    values = np.asarray(values, dtype=np.float64)
    edges = np.asarray(edges, dtype=np.float64)
    index = np.searchsorted(edges, values, side="right").astype(np.int64) - 1
    index[values == edges[-1]] = len(edges) - 2
    index[np.isnan(values)] = len(edges) - 1
    return index


def interval_labels(edges) -> list[str]:
    """"[a, b)" for every bin, the last one closed: "[a, b]"."""
    edges = np.asarray(edges, dtype=np.float64)
    n = len(edges) - 1
    return [f"[{edges[j]:g}, {edges[j + 1]:g}{']' if j == n - 1 else ')'}" for j in range(n)]
