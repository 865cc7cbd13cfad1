"""Binned data: molecule counts per density bin and methylation bin.

:class:`BinnedData` holds what every fit needs of the molecules: per density
bin, how many fall into each methylation bin, and how many sites each read
called (the read-depth histogram, which decides how the model is observed).
Resamples and simulations of binned data keep the depth histograms, so that a
bootstrap or a parametric bootstrap scores its data with the observed data's
observation model. :class:`DriftData` holds the same bins at several ages.
"""

from __future__ import annotations

from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np

from .._checks import count as _checked_count
from .._errors import InputError
from .._optional import require
from ..model.binning import NCPG, interval_labels
from .edges import density_edges as _density_edges, finite_array, meth_edges as _meth_edges, meth_edges_among

@dataclass(frozen=True)
class BinnedData:
    """Molecule counts per density bin (rows) and methylation bin (columns).

    Bins include their left edge; the last bin also its right edge.

    Attributes
    ----------
    fractions : numpy.ndarray
        ``fractions[d]`` are the observed fractions of density bin d, as the
        fits take them; shape (n_densities, n_meth_bins).
    counts : numpy.ndarray
        The molecule counts the fractions come from (int64, same shape).
    density_edges : numpy.ndarray
        The n_densities + 1 edges of the density bins.
    meth_edges : numpy.ndarray
        The n_meth_bins + 1 edges of the methylation bins, within 0 .. 1.
    n_outside : int
        Molecules left out because their density lies outside the edges.
    depth_counts : numpy.ndarray or None
        ``depth_counts[d, n]`` (shape (n_densities, 71), or None when the table
        gave no depths) counts the molecules of density bin d whose level was
        read from n called CpG sites, n = 1 .. 70; reads with 70 or more called
        sites count as 70, the model's resolution. The fits use it to score the
        model as short reads observe it (see :func:`velkora.fit`'s
        ``observation``).
    histogram : Histogram or None
        For counted data (:func:`velkora.count`), the molecules by exact
        level and depth per density bin (:mod:`velkora.counts.histogram`),
        from which :meth:`with_meth_edges` bins them anew.
    provenance : dict or None
        Where counted data came from: the input, its SHA-256, the options,
        the reads' report, velkora's version.
    sample_axis : SampleAxis or None
        For the data of a design (:func:`velkora.count` of a
        :func:`velkora.read_design`), every sample's own counts; the data
        themselves pool all samples. See :attr:`samples` and :meth:`select`.
    levels_by : numpy.ndarray or None
        For counted data whose input had more distinct levels than a count
        keeps exactly (see :mod:`velkora.counts.counting`), the methylation
        edges its levels were binned by: other edges must be among them.
    """

    fractions: np.ndarray
    counts: np.ndarray
    density_edges: np.ndarray
    meth_edges: np.ndarray
    n_outside: int = 0
    depth_counts: np.ndarray | None = None
    histogram: Any = field(default=None, repr=False, compare=False)
    provenance: dict | None = field(default=None, repr=False, compare=False)
    sample_axis: Any = field(default=None, repr=False, compare=False)
    levels_by: np.ndarray | None = field(default=None, repr=False, compare=False)

    @property
    def short_reads(self) -> bool:
        """Whether any molecule was read at fewer than the model's 70 sites."""
        return self.depth_counts is not None and bool(self.depth_counts[:, :NCPG].any())

    @property
    def observation(self) -> str:
        """How these data observe the model when a fit is left to choose
        (``observation="auto"``): "sampled" when any molecule was read at
        fewer than the model's 70 sites, else "binned". Resamples and
        simulations (:meth:`with_counts`) keep the depth histograms, hence
        this choice."""
        return "sampled" if self.short_reads else "binned"

    def with_counts(self, counts) -> "BinnedData":
        """The same bins and read-depth histograms holding other molecule
        counts: a resample or a simulation of these data, observed as they
        are.

        Parameters
        ----------
        counts : array_like of int
            Shape (n_densities, n_meth_bins), no density bin empty.

        Returns
        -------
        BinnedData
            With fractions counts / molecules per bin.
        """
        counts = np.asarray(counts, dtype=np.int64)
        if counts.shape != self.counts.shape:
            raise InputError(f"counts must have shape {self.counts.shape}, not {counts.shape}")
        if np.any(counts < 0) or np.any(counts.sum(axis=1) == 0):
            raise InputError("counts must be non-negative with at least one molecule in every density bin")
        fractions = np.ascontiguousarray(counts / counts.sum(axis=1)[:, None])
        return replace(self, fractions=fractions, counts=counts, histogram=None)

    def with_meth_edges(self, meth_edges) -> "BinnedData":
        """The same molecules binned by other methylation edges (counted data
        only: their exact levels are kept).

        Parameters
        ----------
        meth_edges : array_like or int
            As in :func:`velkora.bin_molecules`.

        Returns
        -------
        BinnedData
            The same density bins and molecules, other methylation bins.

        Raises
        ------
        InputError
            For data binned without their levels kept, or bad edges.
        """
        if self.histogram is None:
            raise InputError("these data keep no levels to bin anew: count them (velkora.count) or bin the "
                             "molecules again")
        edges = meth_edges_among(self.levels_by, meth_edges)
        counts, depth_counts, _ = self.histogram.binned(self.n_densities, edges, self.depth_counts is not None)
        if np.any(counts.sum(axis=1) == 0):
            raise InputError("meth_edges leave a density bin without molecules")
        fractions = np.ascontiguousarray(counts / counts.sum(axis=1)[:, None])
        return replace(self, fractions=fractions, counts=counts, meth_edges=edges, depth_counts=depth_counts)

    @property
    def samples(self):
        """Per sample of a design (index ``sample``): group, annotations,
        molecules, median depth, mean level and dropped records (None for
        data of one sample)."""
        return None if self.sample_axis is None else self.sample_axis.table

    @property
    def groups(self) -> list[str]:
        """The design's groups in their first order (empty for one sample)."""
        return [] if self.sample_axis is None else list(dict.fromkeys(self.sample_axis.groups))

    def select(self, group=None, samples=None) -> "BinnedData":
        """The pooled data of some samples of a design: one group (or several),
        or samples by name.

        Parameters
        ----------
        group : str or sequence of str, optional
            The group(s) whose samples are pooled.
        samples : str or sequence of str, optional
            The samples pooled (within `group` when both are given).

        Returns
        -------
        BinnedData
            The chosen samples' molecules pooled, with their sample axis.

        Raises
        ------
        InputError
            For data without samples, unknown names, or a selection that
            leaves a density bin empty.
        """
        axis = self.sample_axis
        if axis is None:
            raise InputError("these data have no samples to select from: count a design (velkora.read_design)")
        keep = axis.chosen(group, samples)
        if not keep.any():
            raise InputError("the selection holds no sample")
        counts = axis.counts[keep].sum(axis=0)
        empty = np.flatnonzero(counts.sum(axis=1) == 0)
        if len(empty):
            raise InputError(f"density bin {self.labels[empty[0]]} holds no molecules of the chosen samples")
        depths = None if axis.depth_counts is None else axis.depth_counts[keep].sum(axis=0)
        names = [name for name, chosen in zip(axis.names, keep) if chosen]
        sub = SampleAxis(tuple(names), tuple(g for g, chosen in zip(axis.groups, keep) if chosen), axis.counts[keep],
                         None if axis.depth_counts is None else axis.depth_counts[keep], axis.table.loc[names])
        histogram = None if self.histogram is None else self.histogram.select(np.flatnonzero(keep))
        fractions = np.ascontiguousarray(counts / counts.sum(axis=1)[:, None])
        return replace(self, fractions=fractions, counts=counts, depth_counts=depths, histogram=histogram,
                       sample_axis=sub)

    @property
    def median_depth(self) -> float | None:
        """The median number of called sites per molecule (None without depths)."""
        if self.depth_counts is None:
            return None
        cumulative = np.cumsum(self.depth_counts.sum(axis=0))
        # The depth of the middle molecule (the lower one of the two for an even count).
        return float(np.searchsorted(cumulative, (cumulative[-1] + 1) // 2))

    @classmethod
    def from_fractions(cls, fractions, meth_edges, n_molecules=None, density_edges=None) -> "BinnedData":
        """Binned data from observed fractions that were binned elsewhere.

        Parameters
        ----------
        fractions : array_like
            Shape (n_densities, n_meth_bins), each row summing to 1.
        meth_edges : array_like or int
            The methylation bin edges (n_meth_bins + 1 ascending values within
            0 .. 1), or the number of equal bins.
        n_molecules : array_like of int, optional
            Molecules behind each row (default 1000 each); they weigh the densities
            in the shared fits and size the bootstrap resamples.
        density_edges : array_like, optional
            n_densities + 1 edges (default 0, 1, 2, ...).

        Returns
        -------
        BinnedData
            Counts rounded from the fractions times the molecules, without depths.

        Raises
        ------
        InputError
            For negative or non-finite fractions, rows that do not sum to 1, or
            edges and counts that do not match the rows and columns.
        """
        fractions = finite_array(fractions, "fractions", ndim=2)
        if np.any(fractions < 0):
            raise InputError("fractions: negative values")
        sums = fractions.sum(axis=1)
        if np.any(np.abs(sums - 1.0) > 1e-6):
            d = int(np.argmax(np.abs(sums - 1.0)))
            raise InputError(f"fractions: row {d} sums to {sums[d]:g}, not 1")
        meth_edges = _meth_edges(meth_edges)
        if fractions.shape[1] != len(meth_edges) - 1:
            raise InputError(
                f"fractions has {fractions.shape[1]} columns but meth_edges gives {len(meth_edges) - 1} bins"
            )
        n = fractions.shape[0]
        n_molecules = np.full(n, 1000) if n_molecules is None else np.asarray(n_molecules)
        if n_molecules.shape != (n,) or np.any(n_molecules < 1):
            raise InputError(f"n_molecules must hold one positive count per row ({n} rows)")
        density_edges = np.arange(n + 1.0) if density_edges is None else _density_edges(density_edges)
        if len(density_edges) != n + 1:
            raise InputError(f"density_edges must hold {n + 1} edges for {n} rows, not {len(density_edges)}")
        counts = np.rint(fractions * n_molecules[:, None]).astype(np.int64)
        return cls(np.ascontiguousarray(fractions), counts, density_edges, meth_edges)

    @property
    def n_densities(self) -> int:
        """The number of density bins."""
        return self.fractions.shape[0]

    @property
    def n_meth_bins(self) -> int:
        """The number of methylation bins."""
        return self.fractions.shape[1]

    @property
    def n_molecules(self) -> np.ndarray:
        """Molecules per density bin (int64)."""
        return self.counts.sum(axis=1)

    @property
    def weights(self) -> np.ndarray:
        """Molecule counts per density bin as float64, the shared fits' weights."""
        return np.ascontiguousarray(self.n_molecules, dtype=np.float64)

    @property
    def labels(self) -> list[str]:
        """Density-bin labels such as "[0.02, 0.04)"."""
        return interval_labels(self.density_edges)

    @property
    def meth_labels(self) -> list[str]:
        """Methylation-bin labels such as "[0.1, 0.2)"."""
        return interval_labels(self.meth_edges)

    def resample(self, n_boot: int, seed: int | None = 0) -> np.ndarray:
        """Bootstrap resamples of the molecules, stacked for the bootstrap fits.

        Each density bin's molecules are drawn with replacement, as many as it
        holds (a multinomial draw of its counts), from
        ``numpy.random.default_rng(seed)`` in the order sample 0, 1, ... and,
        within a sample, density bin 0, 1, ....

        Parameters
        ----------
        n_boot : int
            The number of resamples.
        seed : int or None, optional
            Seed of the draws (default 0).

        Returns
        -------
        numpy.ndarray
            The resampled fractions, shape (n_boot * n_densities, n_meth_bins), row
            b * n_densities + d for sample b and density bin d.
        """
        return self._resampled(_checked_count(n_boot, "n_boot", 0), np.random.default_rng(seed))

    def _resampled(self, n_boot: int, rng: np.random.Generator) -> np.ndarray:
        n = self.n_molecules
        out = np.empty((n_boot * self.n_densities, self.n_meth_bins))
        for b in range(n_boot):
            for d in range(self.n_densities):
                out[b * self.n_densities + d] = rng.multinomial(n[d], self.fractions[d]) / n[d]
        return out

    def frame(self):
        """The binned data as a DataFrame.

        Returns
        -------
        pandas.DataFrame
            One row per density bin (index "density_bin"): its edges and molecule
            count, then the fraction of each methylation bin (columns named by the
            bin).
        """
        pd = require("pandas")
        table = pd.DataFrame(self.fractions, columns=self.meth_labels, index=pd.Index(self.labels, name="density_bin"))
        table.insert(0, "n_molecules", self.n_molecules)
        table.insert(0, "density_hi", self.density_edges[1:])
        table.insert(0, "density_lo", self.density_edges[:-1])
        return table


@dataclass(frozen=True)
class DriftData:
    """The same density and methylation bins observed at several ages.

    Attributes
    ----------
    ages : numpy.ndarray
        The ages, ascending.
    by_age : tuple of BinnedData
        ``by_age[k]`` holds the molecules of ``ages[k]``. The youngest age is
        the reference distribution P0 of the drift model, and the others are
        fitted at the times ``fit_times`` since it.
    """

    ages: np.ndarray
    by_age: tuple[BinnedData, ...]

    @property
    def fit_times(self) -> np.ndarray:
        """The times of the later ages since the youngest one."""
        return np.ascontiguousarray(self.ages[1:] - self.ages[0])

    @property
    def reference(self) -> BinnedData:
        """The youngest age's binned data, the drift model's starting distribution."""
        return self.by_age[0]

    @property
    def density_edges(self) -> np.ndarray:
        """The density bins' edges, shared by every age."""
        return self.reference.density_edges

    @property
    def meth_edges(self) -> np.ndarray:
        """The methylation bins' edges, shared by every age."""
        return self.reference.meth_edges

    def resample(self, n_boot: int, seed: int | None = 0) -> np.ndarray:
        """Bootstrap resamples of every age's molecules, each density bin on its own.

        Drawn from one ``numpy.random.default_rng(seed)`` age by age, then as
        :meth:`BinnedData.resample` within an age.

        Parameters
        ----------
        n_boot : int
            The number of resamples.
        seed : int or None, optional
            Seed of the draws (default 0).

        Returns
        -------
        numpy.ndarray
            Shape (n_ages, n_boot, n_densities, n_meth_bins).
        """
        n_boot = _checked_count(n_boot, "n_boot", 0)
        rng = np.random.default_rng(seed)
        out = np.empty((len(self.ages), n_boot, self.reference.n_densities, self.reference.n_meth_bins))
        for k, data in enumerate(self.by_age):
            out[k] = data._resampled(n_boot, rng).reshape(n_boot, data.n_densities, data.n_meth_bins)
        return out


class Strata(dict):
    """Binned data per stratum: a dict of stratum name to BinnedData, in the
    strata's order (the BED names as they first appear, then ``outside``),
    from :func:`velkora.count` with ``strata``. Strata without molecules are
    left out.

    Attributes
    ----------
    keys, values, items
        As of a dict; ``frame()`` puts every stratum's binned data in one table.
    """

    def frame(self):
        """All strata's binned data in one DataFrame (index: stratum, density bin).

        Returns
        -------
        pandas.DataFrame
            The rows of each stratum's ``frame()``.
        """
        pd = require("pandas")
        return pd.concat({name: data.frame() for name, data in self.items()}, names=["stratum"])


@dataclass(frozen=True)
class SampleAxis:
    """The samples behind binned data, each with its own counts.

    Attributes
    ----------
    names : tuple of str
        The samples, in the design's order.
    groups : tuple of str
        Each sample's group.
    counts : numpy.ndarray
        (n_samples, n_densities, n_meth_bins) molecule counts.
    depth_counts : numpy.ndarray or None
        (n_samples, n_densities, 71) read-depth histograms.
    table : pandas.DataFrame
        Per sample (index ``sample``): group, annotations, molecules, median
        depth, mean level and dropped records.
    """

    names: tuple[str, ...]
    groups: tuple[str, ...]
    counts: np.ndarray
    depth_counts: np.ndarray | None
    table: object

    def chosen(self, group=None, samples=None) -> np.ndarray:
        """Which samples a selection keeps (bool per sample)."""
        keep = np.ones(len(self.names), dtype=bool)
        for wanted, labels, what in ((group, self.groups, "group"), (samples, self.names, "sample")):
            if wanted is None:
                continue
            wanted = [wanted] if isinstance(wanted, str) else list(wanted)
            unknown = [w for w in wanted if w not in labels]
            if unknown:
                raise InputError(f"no {what} {unknown[0]!r}; the {what}s are {', '.join(dict.fromkeys(labels))}")
            keep &= np.isin(np.array(labels, dtype=object), wanted)
        return keep
