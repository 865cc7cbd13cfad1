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
from pathlib import Path

import numpy as np

from .._errors import InputError
from .._optional import require
from ..model.binning import NCPG, bin_index, interval_labels
from . import edges as _edges
from .binned import BinnedData, DriftData

# Column names used when the caller names none.
DENSITY = "cpg_density"
LEVEL = "meth_level"
METHYLATED = "n_methylated"
TOTAL = "n_cpg"
AGE = "age"
CALLED = "n_called"

# The table attribute in which read_molecules records the file a table came from.
SOURCE_ATTR = "velkora_source"


def molecule_file(source) -> Path:
    """The path of a molecule table file, checked: it exists and is CSV, TSV or Parquet by its suffix."""
    if not isinstance(source, (str, os.PathLike)):
        raise InputError(f"molecules: expected a DataFrame or a file path, not {type(source).__name__}")
    path = Path(source)
    if not path.is_file():
        raise InputError(f"molecules file not found: {path}")
    suffix = path.suffix.lower()
    if suffix not in (".csv", ".txt", ".tsv", ".parquet", ".pq"):
        raise InputError(f"molecules file {path}: unknown format {suffix!r} (use .csv, .tsv, .txt, .parquet or .pq)")
    return path


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
    path = molecule_file(source)
    suffix = path.suffix.lower()
    try:
        if suffix in (".parquet", ".pq"):
            table = pd.read_parquet(path, **read_kwargs)
        else:
            table = pd.read_csv(path, sep="\t" if suffix == ".tsv" else ",", **read_kwargs)
    except (ValueError, OSError) as error:  # malformed files, unreadable encodings
        raise InputError(f"cannot read {path}: {error}") from error
    # Where the rows came from, so that an error can point into the file.
    table.attrs[SOURCE_ATTR] = {"path": str(path), "text": suffix not in (".parquet", ".pq"),
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
    with naming_the_file(table):
        densities, levels = density_and_level(table, density, level, methylated, total)
        depths = depths_of(table, depth, total)
        return _bin(table, densities, levels, _density_edges(density_edges, densities, density),
                    _edges.meth_edges(meth_edges), depths)


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
    with naming_the_file(table):
        densities, levels = density_and_level(table, density, level, methylated, total)
        depths = depths_of(table, depth, total)
        ages = numeric_column(table, age)
        edges = _density_edges(density_edges, densities, density)
        meth = _edges.meth_edges(meth_edges)
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
def naming_the_file(table):
    """Puts the name of the file the table came from in front of every InputError."""
    source = table.attrs.get(SOURCE_ATTR)
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
    source = table.attrs.get(SOURCE_ATTR)
    if source is None:
        return f"row {table.index[position]!r}"
    # A chunk of a file (counted piece by piece) knows the rows before it.
    position += source.get("offset", 0)
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


def depths_of(table, depth: str | None, total: str) -> np.ndarray | None:
    """Called sites per molecule, as whole numbers of at least 1, or None."""
    if depth is None:
        depth = CALLED if CALLED in table.columns else (total if total in table.columns else None)
        if depth is None:
            return None
    values = numeric_column(table, depth)
    _check_range(table, depth, values, (values < 1) | (values != np.round(values)), "not a whole number >= 1")
    return values


def _bin(table, densities, levels, density_edges, meth_edges, depths=None) -> BinnedData:
    if len(table) == 0:
        raise InputError("the molecule table holds no molecules (no data rows)")
    d = bin_index(densities, density_edges)
    outside = (d < 0) | (d >= len(density_edges) - 1)
    m = bin_index(levels, meth_edges)
    n_dens, n_meth = len(density_edges) - 1, len(meth_edges) - 1
    inside = ~outside & (m >= 0) & (m < n_meth)
    counts = np.bincount(d[inside] * n_meth + m[inside], minlength=n_dens * n_meth).reshape(n_dens, n_meth)
    depth_counts = None
    if depths is not None:
        called = np.minimum(depths[inside], NCPG).astype(np.int64)
        depth_counts = np.bincount(d[inside] * (NCPG + 1) + called, minlength=n_dens * (NCPG + 1))
        depth_counts = depth_counts.reshape(n_dens, NCPG + 1)
    return finish_binned(counts, depth_counts, density_edges, meth_edges, int(outside.sum()), len(d),
                         table.attrs.get(SOURCE_ATTR))


def finish_binned(counts, depth_counts, density_edges, meth_edges, n_outside: int, n_total: int, source=None,
                  **extra) -> BinnedData:
    """Binned data from counts, as every road makes them: molecules outside the
    density edges warned of, an empty density bin refused, sparse ones warned
    of. `source` names the file in the messages (a dict with "path")."""
    where = f"{source['path']}: " if source else ""
    if n_outside:
        warnings.warn(f"{where}{n_outside} of {n_total} molecules lie outside the density edges "
                      f"[{density_edges[0]:g}, {density_edges[-1]:g}] and are left out", UserWarning, stacklevel=4)
    per_density = counts.sum(axis=1)
    empty = np.flatnonzero(per_density == 0)
    if len(empty):
        labels = interval_labels(density_edges)
        raise InputError(
            f"{where}density bin {labels[empty[0]]} holds no molecules ({len(empty)} empty bin(s)); "
            "choose other density edges or fewer equal-count bins"
        )
    warn_if_sparse(per_density, density_edges, counts.shape[1], source)
    fractions = np.ascontiguousarray(counts / per_density[:, None])
    return BinnedData(fractions, counts.astype(np.int64), density_edges, meth_edges, n_outside, depth_counts, **extra)


# Fewer molecules than this per methylation bin, on average, leave a density bin's fit resting on little.
SPARSE = 5


def warn_if_sparse(per_density: np.ndarray, density_edges: np.ndarray, n_meth: int, source=None) -> None:
    """Warns, once, of the density bins with fewer than SPARSE molecules per methylation bin."""
    sparse = np.flatnonzero(per_density < SPARSE * n_meth)
    if len(sparse):
        labels = interval_labels(density_edges)
        where = ", ".join(f"{labels[d]} {int(per_density[d]):,}" for d in sparse[:5])
        warnings.warn(f"{source['path'] + ': ' if source else ''}{len(sparse)} density bin(s) hold fewer than "
                      f"{SPARSE} molecules per methylation bin ({n_meth} bins), so their fits rest on few molecules: "
                      f"{where}{', ...' if len(sparse) > 5 else ''}; choose fewer or wider bins", UserWarning,
                      stacklevel=5)


def _density_edges(value, densities, column: str) -> np.ndarray:
    if _edges.equal_count_bins(value) is None:
        return _edges.density_edges(value)
    return _edges.density_edges(value, *_edges.distinct(densities), column=column)


def density_and_level(table, density, level, methylated, total):
    densities = numeric_column(table, density)
    if level in table.columns:
        levels = numeric_column(table, level)
        _check_range(table, level, levels, levels < 0, "outside 0..1", levels > 1)
        return densities, levels
    if methylated in table.columns and total in table.columns:
        m = numeric_column(table, methylated)
        n = numeric_column(table, total)
        _check_range(table, methylated, m, m < 0, "negative")
        _check_range(table, total, n, n <= 0, "not positive")
        _check_range(table, methylated, m, m > n, f"larger than column '{total}'")
        return densities, m / n
    raise InputError(
        f"no methylation level: the table needs column '{level}', or columns '{methylated}' and '{total}'; "
        f"it has {', '.join(map(repr, map(str, table.columns)))}"
    )


def numeric_column(table, name: str) -> np.ndarray:
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
