"""Counting any input: from sequencing files or molecule tables to binned data,
piece by piece, without ever holding a table of all the molecules.

Each piece of the input (a region of an indexed BAM, a piece of a stream, a
chunk of a call table, a row group of a Parquet table, a chunk of a CSV) is
reduced where it is read, in a worker process or Dask task for the readers
that run there, to a :class:`~velkora.counts.histogram.Histogram`: molecules
by (stratum, density, level, depth). The histograms add up; from their sum
and the edges come the binned data, the same, bit for bit, as
:func:`velkora.bin_molecules` of the whole molecule table.

Density edges. Explicit edges are applied in the pieces, which then keep one
row per (density bin, level, depth). For k equal-count bins the pieces keep
the densities themselves; the edges are the exact quantiles of all the
molecules' densities (NumPy's linear interpolation between order
statistics, from the histogram of distinct densities:
:func:`velkora.counts.edges.quantiles`). While the input's distinct
(stratum, density, level, depth) keys stay within ``ROW_BUDGET`` rows, one
pass suffices: the kept histogram is binned by the edges at the end. Beyond
the budget (a large molecule table whose densities are ratios of many
spans), the histogram drops levels and depths and keeps only what the
quantiles need, the molecules per distinct density, and the input is read a
second time with the edges then known. So memory is bounded by the budget
and the distinct densities, never by the molecules; the price of a large,
varied input is a second pass.

Levels. They are kept exactly, so that a count file can be binned by other
methylation edges later. Their distinct values are bounded by the pairs of
(methylated, called) sites, but a table of continuous levels without
counts has one per molecule: once density-binned keys outgrow the budget,
the levels are binned by the methylation edges of the call (each level
replaced by its bin's lower edge, which bins the same), and the result
records them (``levels_by``): only methylation edges among those can then
be applied (:meth:`BinnedData.with_meth_edges`, count files).
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Callable

import numpy as np

from .._errors import InputError
from .._optional import require
from ..model.binning import NCPG
from . import edges as _edges
from .binned import BinnedData, DriftData, Strata
from .histogram import EXACT, LEVELS, Accumulator, Histogram, fine_edges
from .molecules import (AGE, CALLED, DENSITY, LEVEL, METHYLATED, TOTAL, SOURCE_ATTR, density_and_level, depths_of,
                        finish_binned, molecule_file, naming_the_file)
from .strata import OUTSIDE, StrataIndex, read_strata

# Distinct (density, level, depth) keys kept per input before equal-count edges fall back on a second pass.
ROW_BUDGET = 400_000
# Rows of a molecule table counted at a time (a CSV chunk; the rows of a Parquet task).
TABLE_CHUNK = 500_000
# Rows of a Parquet table turned into a frame at a time, within a task: the frame and its
# histogram's sort are the largest things a worker holds.
TABLE_BATCH = 100_000
# How the equal-count density edges of strata are made: over all strata's molecules, or each its own.
EDGES_OVER = ("all", "stratum")


@dataclass(frozen=True)
class Columns:
    """The columns of a molecule table, as :func:`velkora.bin_molecules` names them."""

    density: str = DENSITY
    level: str = LEVEL
    methylated: str = METHYLATED
    total: str = TOTAL
    depth: str | None = None


@dataclass(frozen=True)
class Spec:
    """What a piece reduces its molecules to: density bins (None: keep the
    densities, for equal-count edges), strata (None: one cell), or cells by
    an age column (the age's bits as the cell); the methylation edges to bin
    the levels by should the distinct keys outgrow the budget (None: keep
    them exact whatever they cost)."""

    edges: np.ndarray | None
    strata: StrataIndex | None = None
    age: str | None = None
    meth: np.ndarray | None = None

    def accumulator(self) -> Accumulator:
        return Accumulator(ROW_BUDGET, self.meth, binned=self.edges is not None)


def _cells_of_strata(spec: Spec, chrom, start, end, n: int) -> np.ndarray:
    if spec.strata is None:
        return np.zeros(n, dtype=np.int64)
    return spec.strata.assign(chrom, start, end)


def _histogram(spec: Spec, cell, density, level, depth) -> Histogram:
    histogram = Histogram.of(cell, density, level, depth)
    return histogram if spec.edges is None else histogram.with_density_bins(spec.edges)


@dataclass(frozen=True)
class BlockCounter:
    """The reduction of a block of molecules read from a BAM or a call table."""

    spec: Spec

    def __call__(self, block) -> Histogram:
        n = len(block)
        cell = _cells_of_strata(self.spec, block.chrom, block.start, block.end, n)
        depth = np.minimum(np.asarray(block.n_called, dtype=np.int64), NCPG)
        return _histogram(self.spec, cell, block.cpg_density, block.meth_level, depth)


def table_histogram(table, columns: Columns, spec: Spec) -> Histogram:
    """The histogram of a chunk of a molecule table, its values checked and
    taken as :func:`velkora.bin_molecules` takes them."""
    with naming_the_file(table):
        densities, levels = density_and_level(table, columns.density, columns.level, columns.methylated,
                                               columns.total)
        depths = depths_of(table, columns.depth, columns.total)
        depth = np.zeros(len(table), dtype=np.int64) if depths is None else \
            np.minimum(depths, NCPG).astype(np.int64)
        if spec.age is not None:
            from .molecules import numeric_column  # noqa: PLC0415

            cell = numeric_column(table, spec.age).view(np.int64)
        elif spec.strata is not None:
            missing = [c for c in ("chrom", "start", "end") if c not in table.columns]
            if missing:
                raise InputError(f"strata need each molecule's place: the table has no column '{missing[0]}'")
            cell = spec.strata.assign(table["chrom"].to_numpy(), table["start"].to_numpy(dtype=np.int64),
                                      table["end"].to_numpy(dtype=np.int64))
        else:
            cell = np.zeros(len(table), dtype=np.int64)
        return _histogram(spec, cell, densities, levels, depth)


def _parquet_batches(path: str, row_groups, columns, offset: int, batch_size: int):
    pq = require("pyarrow.parquet")
    handle = pq.ParquetFile(path)
    for batch in handle.iter_batches(batch_size=batch_size, row_groups=row_groups, columns=columns):
        frame = batch.to_pandas()
        frame.attrs[SOURCE_ATTR] = {"path": path, "text": False, "sep": ",", "plain": True, "offset": offset}
        offset += len(frame)
        yield frame


def _count_row_groups(path: str, row_groups, columns, offset: int, table_columns: Columns, spec: Spec):
    """A task: the histogram of some row groups of a Parquet table (runs in a
    worker), and what it kept (see :class:`Accumulator`)."""
    total = spec.accumulator()
    for frame in _parquet_batches(path, row_groups, columns, offset, TABLE_BATCH):
        total.add(table_histogram(frame, table_columns, spec))
    return total.result(), total.state


def _needed(names, columns: Columns, spec: Spec) -> list[str]:
    wanted = [columns.density, columns.level, columns.methylated, columns.total, columns.depth or CALLED]
    if spec.strata is not None:
        wanted += ["chrom", "start", "end"]
    if spec.age is not None:
        wanted.append(spec.age)
    return [name for name in dict.fromkeys(wanted) if name in names]


def _table_pieces(source, columns: Columns, spec: Spec, threads: int, client, progress):
    """Histograms of a molecule table, piece by piece (Parquet row groups in
    worker processes; CSV/TSV chunks and DataFrames here), each with what it
    kept (:class:`Accumulator`)."""
    pd = require("pandas")
    if isinstance(source, pd.DataFrame):
        yield table_histogram(source, columns, spec), EXACT
        return
    path = molecule_file(source)
    suffix = path.suffix.lower()
    if suffix in (".parquet", ".pq"):
        pq = require("pyarrow.parquet")
        try:
            handle = pq.ParquetFile(str(path))
        except (OSError, ValueError) as error:
            raise InputError(f"cannot read {path}: {error}") from None
        names = handle.schema_arrow.names
        groups = handle.metadata.num_row_groups
        if groups == 0 or handle.metadata.num_rows == 0:
            raise InputError(f"{path}: the molecule table holds no molecules (no data rows)")
        # Row groups in tasks of about a chunk's rows, in file order.
        tasks, offset, current, rows = [], 0, [], 0
        for g in range(groups):
            current.append(g)
            rows += handle.metadata.row_group(g).num_rows
            if rows >= TABLE_CHUNK or g == groups - 1:
                tasks.append((_count_row_groups, str(path), current, _needed(names, columns, spec), offset, columns,
                              spec))
                offset += rows
                current, rows = [], 0
        from ..parallel.pool import run_in_order  # noqa: PLC0415

        try:
            yield from run_in_order(tasks, workers=threads, client=client, progress=progress,
                                    preload=("velkora.counts.counting",), what="the counting of a table")
        except (OSError, ValueError) as error:
            raise InputError(f"cannot read {path}: {error}") from None
        return
    sep = "\t" if suffix == ".tsv" else ","
    offset = 0
    try:
        reader = pd.read_csv(path, sep=sep, chunksize=TABLE_CHUNK)
        with reader:
            for frame in reader:
                frame.attrs[SOURCE_ATTR] = {"path": str(path), "text": True, "sep": sep, "plain": True,
                                            "offset": offset}
                offset += len(frame)
                yield table_histogram(frame, columns, spec), EXACT
    except pd.errors.EmptyDataError:
        raise InputError(f"{path}: the molecule table holds no molecules (no data rows)") from None
    except (ValueError, OSError) as error:
        raise InputError(f"cannot read {path}: {error}") from None


# ---------------------------------------------------------------- the front door


@dataclass(frozen=True)
class Counted:
    """The histogram of an input and what it was made with."""

    histogram: Histogram
    density_edges: np.ndarray | None
    strata: StrataIndex | None
    has_depths: bool
    report: dict | None  # the reads' report (records, drops), for reads
    collapsed: bool = False  # densities only were kept: count again once the edges are known
    levels_by: np.ndarray | None = None  # the methylation edges the levels were binned by (None: exact)


def count_histogram(source, density_edges, *, meth_edges=None, strata=None, columns: Columns = Columns(),
                    age: str | None = None, threads: int = 1, client=None, progress=None, **read_options) -> Counted:
    """The histogram of any input: reads (BAM/CRAM/SAM, call tables) or a
    molecule table (DataFrame, CSV/TSV, Parquet), density-binned when the
    edges are explicit. For equal-count edges the densities are kept; an
    input with more distinct (density, level, depth) keys than ROW_BUDGET
    keeps only its densities (``collapsed``) and is counted again with the
    edges they give (:func:`resolve`). With explicit edges, such an input
    has its levels binned by `meth_edges` (``levels_by``; None: kept exact
    whatever they cost)."""
    pd = require("pandas")
    k = _edges.equal_count_bins(density_edges)
    edges = None if k is not None else _edges.density_edges(density_edges)
    index = None
    if strata is not None:
        index = strata if isinstance(strata, StrataIndex) else read_strata(strata)
    meth = None if meth_edges is None else _edges.meth_edges(meth_edges)
    spec = Spec(edges, index, age, meth)
    total = spec.accumulator()
    report = None
    if not isinstance(source, pd.DataFrame) and _reads_kind(source) is not None:
        if age is not None:
            raise InputError(f"{source}: reads carry no ages")
        from ..reads import scan  # noqa: PLC0415

        if index is not None:
            _check_contigs(source, index, read_options.get("reference"))
        pieces = scan(source, BlockCounter(spec), threads=threads, client=client, progress=progress, names=False,
                      **read_options)
        for histogram, _, _ in pieces:
            total.add(histogram)
        report = pieces.attrs()
        has_depths = True
    else:
        if read_options:
            name = sorted(read_options)[0]
            raise InputError(f"{name} applies to reads (BAM/CRAM/SAM files, call tables), not to the molecule "
                             f"table {source if not isinstance(source, pd.DataFrame) else 'given'}")
        for histogram, state in _table_pieces(source, columns, spec, threads, client, progress):
            total.add(histogram, state)
        # A depth column holds whole numbers of at least 1: any depth above 0 means the table gave them.
        has_depths = bool(np.any(total.result().depth > 0))
    return Counted(total.result(), edges, index, has_depths, report, total.collapsed,
                   meth if total.state == LEVELS else None)


def _reads_kind(source):
    if not isinstance(source, (str, os.PathLike)):
        return None
    from ..reads import input_kind  # noqa: PLC0415

    return input_kind(source)


def _check_contigs(source, index: StrataIndex, reference) -> None:
    """A BED contig the alignment file lacks is most likely the wrong genome build: refuse it."""
    from ..reads import bam  # noqa: PLC0415

    if bam.sniff_alignment_format(source) is None:
        return  # a call table: its contigs are only known while reading
    info = bam.inspect(source, reference)
    contigs = {name for name, _ in info.contigs}
    missing = sorted(index.contigs() - contigs)
    if missing:
        raise InputError(f"--strata {', '.join(index.sources)}: contig {missing[0]!r} is not in the header of "
                         f"{source} (another genome build?)")


def reads_summary(report: dict) -> str:
    """One line on what reading an input gave: molecules, records, drops by
    reason and the first malformed records skipped."""
    dropped = ", ".join(f"{n:,} {reason.replace('_', ' ')}" for reason, n in report["dropped"].items())
    text = (f"{report['molecules']:,} molecules from {report['records']:,} records ({report['kind']}); "
            f"dropped: {dropped or 'none'}")
    skipped = report.get("skipped_records") or []
    if skipped:
        text += "; malformed records skipped, first " + "; ".join(
            f"{one['read']!r} ({one['field']}: {one['problem']})" for one in skipped[:3])
    return text


def resolve(counted: Counted, density_edges, groups: dict, recount: Callable, column: str = DENSITY):
    """Bins a histogram by its final density edges: explicit ones as they are,
    equal-count ones from the densities of each group of cells (`groups`:
    label -> cells; labels sharing cells share edges). Returns the histogram
    binned by edges fine enough for every group (the groups' edges and what
    keeps their closed ends apart; the input counted again with
    `recount(edges)` when its histogram kept densities only) and each
    label's own edges."""
    if counted.density_edges is not None:
        return counted, {label: counted.density_edges for label in groups}
    coarse = {}
    for label, cells in groups.items():
        values, counts = counted.histogram.select(cells).densities()
        try:
            coarse[label] = _edges.density_edges(density_edges, values, counts, column=column)
        except InputError as error:
            raise InputError(f"{label}: {error}" if isinstance(label, str) else str(error)) from None
    distinct = {tuple(edges) for edges in coarse.values()}
    fine = next(iter(coarse.values())) if len(distinct) == 1 else fine_edges(list(coarse.values()))
    if counted.collapsed:
        again = recount(fine)
        return Counted(again.histogram, fine, counted.strata, again.has_depths, again.report,
                       levels_by=again.levels_by), coarse
    return Counted(counted.histogram.with_density_bins(fine), fine, counted.strata, counted.has_depths,
                   counted.report, levels_by=counted.levels_by), coarse


def binned_of(counted: Counted, edges: np.ndarray, meth_edges, *, cells=None, source_name: str | None = None,
              cell_of=None) -> BinnedData:
    """The binned data of some cells of a density-binned histogram (default
    all, pooled), by `edges` (among the histogram's own, see :func:`resolve`),
    as :func:`velkora.bin_molecules` would bin their molecules. `cell_of`
    maps the cells kept to the histogram's cells (default: all pooled)."""
    histogram = counted.histogram if cells is None else counted.histogram.select(cells)
    n_total = histogram.molecules
    if n_total == 0:
        raise InputError(f"{source_name + ': ' if source_name else ''}no molecules to count")
    cell = np.zeros(len(histogram), dtype=np.int64) if cell_of is None else cell_of(histogram.cell)
    histogram = Histogram(cell, histogram.density, histogram.level, histogram.depth, histogram.count).consolidated()
    if not np.array_equal(edges, counted.density_edges):
        histogram = histogram.rebinned(counted.density_edges, edges)
    meth = _edges.meth_edges_among(counted.levels_by, meth_edges)
    counts, depth_counts, n_outside = histogram.binned(len(edges) - 1, meth, counted.has_depths)
    source = {"path": source_name} if source_name else None
    return finish_binned(counts, depth_counts, edges, meth, n_outside, n_total, source, histogram=histogram,
                         levels_by=counted.levels_by)


def alike(counts: list[Counted]) -> tuple[list[Histogram], np.ndarray | None]:
    """The histograms of several counts made alike: where one had its levels
    binned (its input had too many distinct keys), all are, by the same
    methylation edges, so that they pool. Returns them and those edges."""
    kept = next((c.levels_by for c in counts if c.levels_by is not None), None)
    if kept is None:
        return [c.histogram for c in counts], None
    return [c.histogram if c.levels_by is not None else c.histogram.levels_by(kept) for c in counts], kept


def count_by_age(sources, density_edges, meth_edges=20, *, ages=None, age: str = AGE, threads: int = 1,
                 client=None, progress=None, columns: Columns = Columns(), **read_options) -> DriftData:
    """Counts molecules of several ages into the same bins: one molecule
    table with an age column (`ages` None), or one input per age (`ages`
    given, one per source). Equal-count density edges come from all ages
    together, as :func:`velkora.bin_molecules_by_age` makes them, and the
    result is the same bit for bit."""
    pd = require("pandas")
    single = ages is None
    if single:
        sources = [sources] if isinstance(sources, (str, os.PathLike, pd.DataFrame)) else list(sources)
        if len(sources) != 1:
            raise InputError("several inputs need their ages, one per input")
    else:
        sources = list(sources)
        ages = [float(a) for a in ages]
        if len(ages) != len(sources):
            raise InputError(f"{len(ages)} ages for {len(sources)} inputs: give one age per input")
    counts_of = []
    for k, source in enumerate(sources):
        counted = count_histogram(source, density_edges, meth_edges=meth_edges, columns=columns,
                                  age=age if single else None, threads=threads, client=client, progress=progress,
                                  **read_options)
        counts_of.append(counted)
    bits = None if single else [np.float64(a).view(np.int64) for a in ages]

    def merged_of(counts, edges, collapsed=False):
        histograms, kept = alike(counts)
        if not single:
            histograms = [Histogram(np.full(len(h), bits[k], dtype=np.int64), h.density, h.level, h.depth, h.count)
                          for k, h in enumerate(histograms)]
        return Counted(Histogram.concatenate(histograms).consolidated(), edges, None,
                       any(c.has_depths for c in counts), None, collapsed, kept)

    merged = merged_of(counts_of, counts_of[0].density_edges, any(c.collapsed for c in counts_of))
    cells = np.unique(merged.histogram.cell)
    values = np.sort(cells.view(np.float64))
    if len(values) < 2:
        raise InputError(f"column '{age}': needs at least two distinct ages, found {len(values)}" if single else
                         "the inputs need at least two distinct ages")

    def recount(fine):
        return merged_of([count_histogram(source, fine, meth_edges=meth_edges, columns=columns,
                                          age=age if single else None, threads=threads, client=client,
                                          progress=progress, **read_options) for source in sources], fine)

    merged, coarse = resolve(merged, density_edges, {"all": cells}, recount, columns.density)
    by_age = []
    for value in values:
        name = None if isinstance(sources[0], pd.DataFrame) else str(sources[0] if single else
                                                                        sources[ages.index(value)])
        try:
            by_age.append(binned_of(merged, coarse["all"], meth_edges, cells=[np.float64(value).view(np.int64)],
                                    source_name=name))
        except InputError as error:
            raise InputError(f"age {value:g}: {error}") from None
    return DriftData(values.astype(np.float64), tuple(by_age))


def with_provenance(data: BinnedData, provenance: dict) -> BinnedData:
    from dataclasses import replace  # noqa: PLC0415

    return replace(data, provenance=provenance)


def strata_of(counted: Counted, density_edges, meth_edges, edges_over: str, name, column, provenance,
              recount: Callable) -> Strata:
    """One BinnedData per stratum holding molecules; strata without any are left out."""
    index = counted.strata
    present = [k for k in range(len(index.names)) if k in set(np.unique(counted.histogram.cell).tolist())]
    if edges_over == "all":
        groups = {index.names[k]: present for k in present}
    else:
        groups = {index.names[k]: [k] for k in present}
    try:
        counted, coarse = resolve(counted, density_edges, groups, recount, column)
    except InputError as error:
        raise InputError(f"{name + ': ' if name else ''}{error}") from None
    out = Strata()
    for k in present:
        stratum = index.names[k]
        try:
            data = binned_of(counted, coarse[stratum], meth_edges, cells=[k],
                             source_name=f"{name + ': ' if name else ''}stratum {stratum}".strip())
        except InputError as error:
            raise InputError(f"{error}; with strata, fewer or explicit density bins may be needed "
                             f"(or edges_over='stratum')") from None
        out[stratum] = with_provenance(data, {**provenance, "stratum": stratum})
    if not out:
        raise InputError(f"{name + ': ' if name else ''}no molecules to count")
    return out


__all__ = ["count_histogram", "count_by_age", "binned_of", "resolve", "strata_of", "Columns", "OUTSIDE"]
