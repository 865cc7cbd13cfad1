"""Counts of molecules by key: the additive form in which inputs are counted.

Every molecule is reduced to a key, (cell, density, level, depth): the cell
it belongs to (a stratum, a sample, an age), its CpG density (the value
itself, or its density bin once the edges are known), its methylation level
and the number of sites its read called (0 when the input gives none). A
:class:`Histogram` holds how many molecules share each key. Histograms of
pieces of an input add up, whatever the order, to the histogram of the whole
input (the counts are integers), and they are small: they grow with the
number of distinct keys, not with the molecules.

From a histogram and methylation edges come the binned data of each cell:
the molecule counts per density bin and methylation bin, and the read-depth
histograms, exactly as :func:`velkora.bin_molecules` would bin the molecules
themselves (the same levels, the same binning rule, the same depth rule).
Since the levels are kept exactly, other methylation edges can be applied
later without reading the input again.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from ..model.binning import NCPG, bin_index

# Rows of pending pieces before they are merged into one histogram.
_MERGE_ROWS = 1 << 20


@dataclass(frozen=True)
class Histogram:
    """Molecule counts by key, one row per distinct key.

    Attributes
    ----------
    cell : numpy.ndarray
        int64 cell index of each row.
    density : numpy.ndarray
        float64 CpG density (before density edges are applied) or the density
        bin as a float (after; -1 for molecules outside the edges).
    level : numpy.ndarray
        float64 methylation level.
    depth : numpy.ndarray
        int64 called sites, clipped to the model's 70 (0: not given).
    count : numpy.ndarray
        int64 molecules with that key.
    """

    cell: np.ndarray
    density: np.ndarray
    level: np.ndarray
    depth: np.ndarray
    count: np.ndarray

    @classmethod
    def empty(cls) -> Histogram:
        return cls(np.empty(0, np.int64), np.empty(0), np.empty(0), np.empty(0, np.int64), np.empty(0, np.int64))

    @classmethod
    def of(cls, cell, density, level, depth, count=None) -> Histogram:
        """The histogram of molecules given one by one (or with counts)."""
        cell = np.asarray(cell, dtype=np.int64)
        n = len(cell)
        count = np.ones(n, dtype=np.int64) if count is None else np.asarray(count, dtype=np.int64)
        return cls(cell, np.asarray(density, dtype=np.float64), np.asarray(level, dtype=np.float64),
                   np.asarray(depth, dtype=np.int64), count).consolidated()

    def __len__(self) -> int:
        return len(self.count)

    @property
    def molecules(self) -> int:
        return int(self.count.sum())

    def consolidated(self) -> Histogram:
        """Rows of equal keys merged, keys ascending (cell, density, level, depth)."""
        if len(self) == 0:
            return self
        order = np.lexsort((self.depth, self.level, self.density, self.cell))
        cell, density, level, depth = (a[order] for a in (self.cell, self.density, self.level, self.depth))
        new = np.ones(len(order), dtype=bool)
        new[1:] = ((cell[1:] != cell[:-1]) | (density[1:] != density[:-1]) | (level[1:] != level[:-1])
                   | (depth[1:] != depth[:-1]))
        starts = np.flatnonzero(new)
        count = np.add.reduceat(self.count[order], starts)
        return Histogram(cell[starts], density[starts], level[starts], depth[starts], count)

    @staticmethod
    def concatenate(parts) -> Histogram:
        parts = [p for p in parts if len(p)]
        if not parts:
            return Histogram.empty()
        return Histogram(*(np.concatenate([getattr(p, name) for p in parts])
                           for name in ("cell", "density", "level", "depth", "count")))

    def with_density_bins(self, edges: np.ndarray) -> Histogram:
        """Densities replaced by their bin (-1 outside the edges, where level
        and depth no longer matter), rows merged."""
        bins = bin_index(self.density, edges)
        outside = (bins < 0) | (bins >= len(edges) - 1)
        bins = np.where(outside, -1, bins).astype(np.float64)
        level = np.where(outside, 0.0, self.level)
        depth = np.where(outside, 0, self.depth)
        return Histogram(self.cell, bins, level, depth, self.count).consolidated()

    def densities(self) -> tuple[np.ndarray, np.ndarray]:
        """The distinct densities, ascending, and their molecules (before binning)."""
        order = np.argsort(self.density, kind="stable")
        density, count = self.density[order], self.count[order]
        new = np.ones(len(density), dtype=bool)
        new[1:] = density[1:] != density[:-1]
        starts = np.flatnonzero(new)
        return density[starts], np.add.reduceat(count, starts)

    def levels_by(self, meth_edges: np.ndarray) -> Histogram:
        """Every level replaced by the lower edge of its methylation bin (-1
        outside the edges): the same counts for these edges, and for any
        edges among them, with at most one row per (cell, density, bin,
        depth)."""
        m = bin_index(self.level, meth_edges)
        inside = (m >= 0) & (m < len(meth_edges) - 1)
        level = np.where(inside, meth_edges[np.clip(m, 0, len(meth_edges) - 2)], -1.0)
        return Histogram(self.cell, self.density, level, self.depth, self.count).consolidated()

    def densities_only(self) -> Histogram:
        """The molecules per (cell, density), their levels and depths dropped
        (level -1, depth -1): what equal-count density edges need."""
        return Histogram(self.cell, self.density, np.full(len(self), -1.0), np.full(len(self), -1, dtype=np.int64),
                         self.count).consolidated()

    def rebinned(self, fine: np.ndarray, coarse: np.ndarray) -> Histogram:
        """Rows binned by the `fine` edges re-binned by `coarse` edges, whose
        edges are all among the fine ones (each fine bin lies in one coarse bin
        or outside them; see :func:`fine_edges`)."""
        fine_bin = self.density.astype(np.int64)
        target = bin_index(fine[:-1], coarse)
        target = np.where((target < 0) | (target >= len(coarse) - 1), -1, target)
        mapped = np.where(fine_bin >= 0, target[np.maximum(fine_bin, 0)], -1)
        outside = mapped < 0
        return Histogram(self.cell, mapped.astype(np.float64), np.where(outside, 0.0, self.level),
                         np.where(outside, 0, self.depth), self.count).consolidated()

    def select(self, cells) -> Histogram:
        """The rows of the given cells."""
        chosen = np.isin(self.cell, np.asarray(cells, dtype=np.int64))
        return Histogram(*(getattr(self, name)[chosen] for name in ("cell", "density", "level", "depth", "count")))

    def binned(self, n_densities: int, meth_edges: np.ndarray, has_depths: bool):
        """(counts (n_densities, n_meth), depth counts (n_densities, 71) or None,
        molecules outside the density edges) of density-binned rows, all
        cells pooled."""
        d = self.density.astype(np.int64)
        outside = d < 0
        m = bin_index(self.level, meth_edges)
        n_meth = len(meth_edges) - 1
        inside = ~outside & (m >= 0) & (m < n_meth)
        counts = np.bincount(d[inside] * n_meth + m[inside], weights=self.count[inside],
                             minlength=n_densities * n_meth)
        counts = np.rint(counts).astype(np.int64).reshape(n_densities, n_meth)
        depth_counts = None
        if has_depths:
            depth_counts = np.bincount(d[inside] * (NCPG + 1) + self.depth[inside], weights=self.count[inside],
                                       minlength=n_densities * (NCPG + 1))
            depth_counts = np.rint(depth_counts).astype(np.int64).reshape(n_densities, NCPG + 1)
        return counts, depth_counts, int(self.count[outside].sum())


def fine_edges(edge_sets) -> np.ndarray:
    """Edges that every one of `edge_sets` is made of: their union and, after
    each set's last edge, the next double, so that the molecules at a set's
    last edge (its closed end) have a fine bin of their own."""
    values = set()
    for edges in edge_sets:
        values.update(float(e) for e in edges)
        values.add(float(np.nextafter(edges[-1], np.inf)))
    return np.array(sorted(values))


# What an accumulator kept: every key, the densities only, or the levels binned.
EXACT, DENSITIES, LEVELS = "exact", "densities", "levels"


class Accumulator:
    """Adds the histograms of pieces as they come, merging them now and then
    so that memory stays with the distinct keys.

    With a `budget` (rows), a histogram that outgrows it keeps from then on
    less: for equal-count density edges (densities not yet binned) only the
    molecules per (cell, density), levels and depths dropped (:attr:`state`
    ``DENSITIES``), the input then counted again once the edges are known;
    for binned densities and given `meth_edges`, the levels binned by those
    edges (``LEVELS``): the same binned data, but only methylation edges
    among these can be applied afterwards."""

    def __init__(self, budget: int | None = None, meth_edges: np.ndarray | None = None, binned: bool = False):
        self._merged = Histogram.empty()
        self._pending: list[Histogram] = []
        self._rows = 0
        self.budget = budget
        self.meth_edges = meth_edges
        self.binned = binned
        self.state = EXACT

    @property
    def collapsed(self) -> bool:
        """Whether only the densities were kept (the input must be counted again)."""
        return self.state == DENSITIES

    def _reduce(self, part: Histogram) -> Histogram:
        if self.state == DENSITIES:
            return part.densities_only()
        if self.state == LEVELS:
            return part.levels_by(self.meth_edges)
        return part

    def add(self, part: Histogram, state: str = EXACT) -> None:
        """Adds a piece's histogram; `state` says what it kept (from an
        accumulator of its own that outgrew its budget)."""
        if state != EXACT and self.state == EXACT:
            self._merge()
            self._shrink(state)
        if len(part):
            self._pending.append(part if state == self.state else self._reduce(part))
            self._rows += len(part)
            if self._rows > max(_MERGE_ROWS if self.budget is None else self.budget // 4, 2 * len(self._merged)):
                self._merge()

    def _shrink(self, state: str) -> None:
        self.state = state
        self._merged = self._reduce(self._merged)

    def _merge(self) -> None:
        self._merged = Histogram.concatenate([self._merged, *self._pending]).consolidated()
        self._pending, self._rows = [], 0
        if self.budget is not None and self.state == EXACT and len(self._merged) > self.budget:
            if not self.binned:
                self._shrink(DENSITIES)
            elif self.meth_edges is not None:
                self._shrink(LEVELS)

    def result(self) -> Histogram:
        self._merge()
        return self._merged

