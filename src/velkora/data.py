"""Per-molecule methylation tables and their binned distributions.

A per-molecule table has one row per sequenced molecule, with its CpG density
(or CpG count) and its methylation level (or its methylated and total CpG
counts). :func:`bin_molecules` bins the molecules by density and by
methylation level into a :class:`BinnedData`: the observed fractions that
every fit of :mod:`velk_core` takes, with the molecule counts behind them.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from ._errors import InputError


def _interval_labels(edges: np.ndarray) -> list[str]:
    """"[a, b)" for every bin, the last one closed: "[a, b]"."""
    n = len(edges) - 1
    return [f"[{edges[j]:g}, {edges[j + 1]:g}{']' if j == n - 1 else ')'}" for j in range(n)]


@dataclass(frozen=True)
class BinnedData:
    """Molecule counts per density bin (rows) and methylation bin (columns).

    ``fractions[d]`` are the observed fractions of density bin d, as the fits
    take them; ``counts`` the molecule counts they come from. Bins include
    their left edge; the last bin also its right edge.
    """

    fractions: np.ndarray
    counts: np.ndarray
    density_edges: np.ndarray
    meth_edges: np.ndarray
    n_outside: int = 0

    @property
    def n_densities(self) -> int:
        return self.fractions.shape[0]

    @property
    def n_meth_bins(self) -> int:
        return self.fractions.shape[1]

    @property
    def n_molecules(self) -> np.ndarray:
        """Molecules per density bin (int64)."""
        return self.counts.sum(axis=1)

    @property
    def weights(self) -> np.ndarray:
        """Molecule counts per density bin as float64: the shared fits' weights."""
        return np.ascontiguousarray(self.n_molecules, dtype=np.float64)

    @property
    def labels(self) -> list[str]:
        """Density-bin labels such as "[0.02, 0.04)"."""
        return _interval_labels(self.density_edges)

    @property
    def meth_labels(self) -> list[str]:
        return _interval_labels(self.meth_edges)

    def resample(self, n_boot: int, seed: int | None = 0) -> np.ndarray:
        """Bootstrap resamples of the molecules, stacked for the bootstrap fits.

        Each density bin's molecules are drawn with replacement, as many as it
        holds (a multinomial draw of its counts), from
        ``numpy.random.default_rng(seed)`` in the order sample 0, 1, ... and,
        within a sample, density bin 0, 1, .... Returns the resampled
        fractions, shape (n_boot * n_densities, n_meth_bins), row
        b * n_densities + d for sample b and density bin d.
        """
        n_boot = _count(n_boot, "n_boot")
        rng = np.random.default_rng(seed)
        n = self.n_molecules
        out = np.empty((n_boot * self.n_densities, self.n_meth_bins))
        for b in range(n_boot):
            for d in range(self.n_densities):
                out[b * self.n_densities + d] = rng.multinomial(n[d], self.fractions[d]) / n[d]
        return out

    def frame(self):
        """The binned data as a DataFrame: one row per density bin (index
        "density_bin"), its edges and molecule count, then the fraction of
        each methylation bin (columns named by the bin)."""
        import pandas as pd  # noqa: PLC0415 - pandas is an optional extra

        table = pd.DataFrame(self.fractions, columns=self.meth_labels, index=pd.Index(self.labels, name="density_bin"))
        table.insert(0, "n_molecules", self.n_molecules)
        table.insert(0, "density_hi", self.density_edges[1:])
        table.insert(0, "density_lo", self.density_edges[:-1])
        return table


def _count(value, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 0:
        raise InputError(f"{name} must be a non-negative integer, not {value!r}")
    return int(value)
