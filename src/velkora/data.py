"""Per-molecule methylation tables and their binned distributions.

A per-molecule table has one row per sequenced molecule, with its CpG density
(or CpG count) and its methylation level (or its methylated and total CpG
counts). :func:`bin_molecules` bins the molecules by density and by
methylation level into a :class:`BinnedData`: the observed fractions that
every fit of :mod:`velk_core` takes, with the molecule counts behind them.
"""

from __future__ import annotations

import csv
import os
import warnings
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from ._errors import InputError
from ._optional import require

# Column names used when the caller names none.
DENSITY = "cpg_density"
LEVEL = "meth_level"
METHYLATED = "n_methylated"
TOTAL = "n_cpg"
AGE = "age"
CALLED = "n_called"

# Sites per molecule in the model: deeper reads are observed at its resolution.
NCPG = 70

# The table attribute in which read_molecules records the file a table came from.
_SOURCE = "velkora_source"


def _interval_labels(edges: np.ndarray) -> list[str]:
    """"[a, b)" for every bin, the last one closed: "[a, b]"."""
    n = len(edges) - 1
    return [f"[{edges[j]:g}, {edges[j + 1]:g}{']' if j == n - 1 else ')'}" for j in range(n)]


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
    """

    fractions: np.ndarray
    counts: np.ndarray
    density_edges: np.ndarray
    meth_edges: np.ndarray
    n_outside: int = 0
    depth_counts: np.ndarray | None = None

    @property
    def short_reads(self) -> bool:
        """Whether any molecule was read at fewer than the model's 70 sites."""
        return self.depth_counts is not None and bool(self.depth_counts[:, :NCPG].any())

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
        fractions = _finite_array(fractions, "fractions", ndim=2)
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
        density_edges = np.arange(n + 1.0) if density_edges is None else _density_edges(density_edges, None)
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
        return _interval_labels(self.density_edges)

    @property
    def meth_labels(self) -> list[str]:
        """Methylation-bin labels such as "[0.1, 0.2)"."""
        return _interval_labels(self.meth_edges)

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
        return self._resampled(_count(n_boot, "n_boot"), np.random.default_rng(seed))

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
        n_boot = _count(n_boot, "n_boot")
        rng = np.random.default_rng(seed)
        out = np.empty((len(self.ages), n_boot, self.reference.n_densities, self.reference.n_meth_bins))
        for k, data in enumerate(self.by_age):
            out[k] = data._resampled(n_boot, rng).reshape(n_boot, data.n_densities, data.n_meth_bins)
        return out


def read_molecules(source, **read_kwargs):
    """A per-molecule table from a DataFrame or a file.

    Parameters
    ----------
    source : pandas.DataFrame or path
        A DataFrame (returned as it is), or the path of a CSV/TSV
        (``pandas.read_csv``) or Parquet file (``pandas.read_parquet``); the
        format follows the suffix (.csv, .txt, .tsv, .parquet, .pq).
    **read_kwargs
        Passed on to the reader.

    Returns
    -------
    pandas.DataFrame
        One row per molecule.

    Raises
    ------
    InputError
        For a missing file, an unknown suffix or a file the reader cannot read.
    """
    pd = require("pandas")
    if isinstance(source, pd.DataFrame):
        return source
    if not isinstance(source, (str, os.PathLike)):
        raise InputError(f"molecules: expected a DataFrame or a file path, not {type(source).__name__}")
    path = Path(source)
    if not path.is_file():
        raise InputError(f"molecules file not found: {path}")
    suffix = path.suffix.lower()
    if suffix not in (".csv", ".txt", ".tsv", ".parquet", ".pq"):
        raise InputError(f"molecules file {path}: unknown format {suffix!r} (use .csv, .tsv, .txt, .parquet or .pq)")
    try:
        if suffix in (".parquet", ".pq"):
            table = pd.read_parquet(path, **read_kwargs)
        else:
            table = pd.read_csv(path, sep="\t" if suffix == ".tsv" else ",", **read_kwargs)
    except (ValueError, OSError) as error:  # malformed files, unreadable encodings
        raise InputError(f"cannot read {path}: {error}") from error
    # Where the rows came from, so that an error can point into the file.
    table.attrs[_SOURCE] = {"path": str(path), "text": suffix not in (".parquet", ".pq"),
                            "sep": "\t" if suffix == ".tsv" else ",", "plain": not read_kwargs}
    return table


def bin_molecules(
    molecules,
    density_edges,
    meth_edges=20,
    *,
    density: str = DENSITY,
    level: str = LEVEL,
    methylated: str = METHYLATED,
    total: str = TOTAL,
    depth: str | None = None,
) -> BinnedData:
    """Bins a per-molecule table by CpG density and methylation level.

    Parameters
    ----------
    molecules : pandas.DataFrame or path
        One row per molecule (see :func:`read_molecules`).
    density_edges : array_like or int
        Ascending edges of the density bins, or an int k for k bins holding
        about equal numbers of molecules (quantiles).
    meth_edges : array_like or int, optional
        Ascending edges within 0 .. 1, or an int n for n equal bins (default 20).
    density : str, optional
        The column of CpG density (or CpG count) used for the density bins.
    level : str, optional
        The column of the methylation level (0 .. 1), used when the table has
        it; else the level is ``methylated / total``.
    methylated, total : str, optional
        The columns of methylated and of total CpG counts.
    depth : str, optional
        The column of called CpG sites per molecule, whose histogram per density
        bin is kept (``depth_counts``); default: ``n_called`` when the table has
        it, else the ``total`` column when the table has it, else none (levels
        without counts: the fits then score the model at its own resolution).
        For long reads, cut them into windows of 70 CpG sites.

    Returns
    -------
    BinnedData
        Counts and fractions per density and methylation bin. Bins include
        their left edge, the last one also its right edge.

    Raises
    ------
    InputError
        For a missing or non-numeric column, a level outside 0 .. 1, bad edges,
        or an empty density bin (it has nothing to fit); the message names the
        column and the file's line.

    Warns
    -----
    UserWarning
        When molecules lie outside the density edges: they are left out, and
        the warning says how many.

    Examples
    --------
    >>> import velkora as vk
    >>> data = vk.bin_molecules(vk.synthetic_molecules(), density_edges=5, meth_edges=10)
    >>> data.fractions.shape
    (5, 10)
    """
    table = read_molecules(molecules)
    with _naming_the_file(table):
        densities, levels = _density_and_level(table, density, level, methylated, total)
        depths = _depths(table, depth, total)
        return _bin(table, densities, levels, _density_edges(density_edges, densities, density),
                    _meth_edges(meth_edges), depths)


def bin_molecules_by_age(
    molecules,
    density_edges,
    meth_edges=20,
    *,
    age: str = AGE,
    density: str = DENSITY,
    level: str = LEVEL,
    methylated: str = METHYLATED,
    total: str = TOTAL,
    depth: str | None = None,
) -> DriftData:
    """Bins a per-molecule table with an age column, age by age, into the same
    density and methylation bins.

    Parameters
    ----------
    molecules : pandas.DataFrame or path
        One row per molecule, with an age column; at least two ages.
    density_edges, meth_edges : optional
        As in :func:`bin_molecules`; quantile density edges are computed over
        all ages together.
    age : str, optional
        The column of the molecule's age.
    density, level, methylated, total, depth : str, optional
        As in :func:`bin_molecules`.

    Returns
    -------
    DriftData
        The binned data of every age; the youngest is the drift model's
        reference.

    Raises
    ------
    InputError
        As :func:`bin_molecules`, and for fewer than two ages.
    """
    table = read_molecules(molecules)
    with _naming_the_file(table):
        densities, levels = _density_and_level(table, density, level, methylated, total)
        depths = _depths(table, depth, total)
        ages = _numeric_column(table, age)
        edges = _density_edges(density_edges, densities, density)
        meth = _meth_edges(meth_edges)
        unique = np.unique(ages)
        if len(unique) < 2:
            raise InputError(f"column '{age}': needs at least two distinct ages, found {len(unique)}")
        by_age = []
        for value in unique:
            chosen = ages == value
            try:
                by_age.append(_bin(table[chosen], densities[chosen], levels[chosen], edges, meth,
                                   None if depths is None else depths[chosen]))
            except InputError as error:
                raise InputError(f"age {value:g}: {error}") from None
    return DriftData(unique.astype(np.float64), tuple(by_age))


@contextmanager
def _naming_the_file(table):
    """Puts the name of the file the table came from in front of every InputError."""
    source = table.attrs.get(_SOURCE)
    try:
        yield
    except InputError as error:
        if source is None or str(error).startswith(source["path"]):
            raise
        raise InputError(f"{source['path']}: {error}") from None


def _row_name(table, position: int) -> str:
    """How a person finds row `position` of the table: the line of a text file
    (1-based, the header line counted), the row position in a Parquet file, or
    the index label of a DataFrame."""
    source = table.attrs.get(_SOURCE)
    if source is None:
        return f"row {table.index[position]!r}"
    if not source["text"]:
        return f"row position {position} (counting from 0)"
    line = _text_line(source["path"], source["sep"], position) if source["plain"] else None
    return f"line {line}" if line is not None else f"data row {position + 1}"


def _text_line(path: str, sep: str, position: int) -> int | None:
    """The file line on which data row `position` starts, read as pandas reads
    a plain CSV: blank lines skipped, the first line the header, quoted fields
    possibly spanning lines."""
    try:
        with open(path, newline="", encoding="utf-8", errors="replace") as text:
            reader = csv.reader(text, delimiter=sep)
            row = -1  # the header
            for fields in reader:
                if not fields or fields == [""]:
                    continue
                if row == position:
                    return reader.line_num - (sum(f.count("\n") for f in fields))
                row += 1
    except (OSError, csv.Error):
        return None
    return None


def _depths(table, depth: str | None, total: str) -> np.ndarray | None:
    """Called sites per molecule, as whole numbers of at least 1, or None."""
    if depth is None:
        depth = CALLED if CALLED in table.columns else (total if total in table.columns else None)
        if depth is None:
            return None
    values = _numeric_column(table, depth)
    _check_range(table, depth, values, (values < 1) | (values != np.round(values)), "not a whole number >= 1")
    return values


def _bin(table, densities, levels, density_edges, meth_edges, depths=None) -> BinnedData:
    if len(table) == 0:
        raise InputError("the molecule table holds no molecules (no data rows)")
    d = _bin_index(densities, density_edges)
    outside = (d < 0) | (d >= len(density_edges) - 1)
    if outside.any():
        source = table.attrs.get(_SOURCE)
        warnings.warn(
            f"{source['path'] + ': ' if source else ''}{int(outside.sum())} of {len(d)} molecules lie outside the density edges "
            f"[{density_edges[0]:g}, {density_edges[-1]:g}] and are left out",
            UserWarning,
            stacklevel=3,
        )
    m = _bin_index(levels, meth_edges)
    n_dens, n_meth = len(density_edges) - 1, len(meth_edges) - 1
    inside = ~outside & (m >= 0) & (m < n_meth)
    counts = np.bincount(d[inside] * n_meth + m[inside], minlength=n_dens * n_meth).reshape(n_dens, n_meth)
    per_density = counts.sum(axis=1)
    empty = np.flatnonzero(per_density == 0)
    if len(empty):
        labels = _interval_labels(density_edges)
        raise InputError(
            f"density bin {labels[empty[0]]} holds no molecules ({len(empty)} empty bin(s)); "
            "choose other density edges or fewer quantile bins"
        )
    fractions = np.ascontiguousarray(counts / per_density[:, None])
    depth_counts = None
    if depths is not None:
        called = np.minimum(depths[inside], NCPG).astype(np.int64)
        depth_counts = np.bincount(d[inside] * (NCPG + 1) + called, minlength=n_dens * (NCPG + 1))
        depth_counts = depth_counts.reshape(n_dens, NCPG + 1)
    return BinnedData(fractions, counts.astype(np.int64), density_edges, meth_edges, int(outside.sum()), depth_counts)


def _bin_index(values: np.ndarray, edges: np.ndarray) -> np.ndarray:
    """Bin of each value: [e_j, e_j+1), the last bin closed; -1 or n outside."""
    index = np.searchsorted(edges, values, side="right") - 1
    index[values == edges[-1]] = len(edges) - 2
    return index


def _density_and_level(table, density, level, methylated, total):
    densities = _numeric_column(table, density)
    if level in table.columns:
        levels = _numeric_column(table, level)
        _check_range(table, level, levels, levels < 0, "outside 0..1", levels > 1)
        return densities, levels
    if methylated in table.columns and total in table.columns:
        m = _numeric_column(table, methylated)
        n = _numeric_column(table, total)
        _check_range(table, methylated, m, m < 0, "negative")
        _check_range(table, total, n, n <= 0, "not positive")
        _check_range(table, methylated, m, m > n, f"larger than column '{total}'")
        return densities, m / n
    raise InputError(
        f"no methylation level: the table needs column '{level}', or columns '{methylated}' and '{total}'; "
        f"it has {', '.join(map(repr, map(str, table.columns)))}"
    )


def _numeric_column(table, name: str) -> np.ndarray:
    if name not in table.columns:
        raise InputError(
            f"missing column '{name}'; the table has {', '.join(map(repr, map(str, table.columns)))}"
        )
    column = table[name]
    try:
        values = column.to_numpy(dtype=np.float64)
    except (TypeError, ValueError):
        bad = next(k for k, v in enumerate(column.to_numpy()) if not _is_number(v))
        raise InputError(
            f"column '{name}': not numeric ({_row_name(table, bad)}: {column.iloc[bad]!r})") from None
    _check_range(table, name, values, ~np.isfinite(values), "missing or not finite (NaN/inf)")
    return values


def _is_number(value) -> bool:
    try:
        float(value)
    except (TypeError, ValueError):
        return False
    return True


def _check_range(table, name, values, bad, what, *more_bad) -> None:
    for extra in more_bad:
        bad = bad | extra
    if bad.any():
        first = int(np.argmax(bad))
        raise InputError(
            f"column '{name}': {int(bad.sum())} value(s) {what} (first at {_row_name(table, first)}: "
            f"{values[first]:g})"
        )


def _finite_array(values, name: str, ndim: int) -> np.ndarray:
    try:
        array = np.array(values, dtype=np.float64)
    except (TypeError, ValueError):
        raise InputError(f"{name}: expected numbers, got {values!r}") from None
    if array.ndim != ndim:
        raise InputError(f"{name}: expected a {ndim}-dimensional sequence, got shape {array.shape}")
    if not np.all(np.isfinite(array)):
        raise InputError(f"{name}: NaN or infinite values")
    return array


def _ascending_edges(edges, name: str) -> np.ndarray:
    array = _finite_array(edges, name, ndim=1)
    if len(array) < 2:
        raise InputError(f"{name}: needs at least 2 edges, got {len(array)}")
    if np.any(np.diff(array) <= 0):
        raise InputError(f"{name}: edges must be strictly increasing, got {array.tolist()}")
    return np.ascontiguousarray(array)


def _meth_edges(meth_edges) -> np.ndarray:
    if isinstance(meth_edges, (int, np.integer)) and not isinstance(meth_edges, bool):
        if meth_edges < 1:
            raise InputError(f"meth_edges: the number of methylation bins must be at least 1, not {meth_edges}")
        return np.linspace(0.0, 1.0, int(meth_edges) + 1)
    edges = _ascending_edges(meth_edges, "meth_edges")
    if edges[0] < 0 or edges[-1] > 1:
        raise InputError(f"meth_edges: methylation levels run from 0 to 1, got edges {edges[0]:g} .. {edges[-1]:g}")
    return edges


def _density_edges(density_edges, densities, column: str = DENSITY) -> np.ndarray:
    if isinstance(density_edges, (int, np.integer)) and not isinstance(density_edges, bool):
        k = int(density_edges)
        if k < 1:
            raise InputError(f"density_edges: the number of density bins must be at least 1, not {k}")
        if densities is None or len(densities) == 0:
            raise InputError("density_edges: quantile bins need molecules")
        edges = np.unique(np.quantile(densities, np.linspace(0.0, 1.0, k + 1)))
        if len(edges) < k + 1:
            raise InputError(
                f"density_edges: column '{column}' has too few distinct values for {k} quantile bins "
                f"(got {len(edges) - 1}); ask for fewer bins or give the edges"
            )
        return edges
    return _ascending_edges(density_edges, "density_edges")


def _count(value, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 0:
        raise InputError(f"{name} must be a non-negative integer, not {value!r}")
    return int(value)
