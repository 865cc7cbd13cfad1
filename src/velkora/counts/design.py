"""Designs: several samples in one analysis.

A design table (TSV or CSV) has one row per sample with the columns
``sample`` (a unique name), ``group`` (the condition: wild type, knockout,
...) and ``path`` (any input the fitting commands take: reads, a molecule
table; relative paths are taken from the design file's folder); further
columns are kept as the samples' annotations.

:func:`count_design` counts every sample with one set of edges (equal-count
density edges are the quantiles of all samples' molecules pooled, so that
every sample and group is binned on one density scale) into binned data
with a sample axis: the pooled counts, and each sample's own
(:class:`SampleAxis`); ``data.select(group=...)`` pools one group's samples.
"""

from __future__ import annotations

from dataclasses import dataclass, replace
from pathlib import Path

import numpy as np

from .._errors import InputError
from .._optional import require
from . import edges as _edges
from .binned import SampleAxis, Strata
from .counting import Columns, Counted, alike, count_histogram, resolve
from .files import is_count_file
from .histogram import Histogram
from .molecules import finish_binned
from .strata import read_strata

REQUIRED = ("sample", "group", "path")

# A design's counting reports its progress in thousandths of a sample.
PROGRESS_UNIT = 1000


@dataclass(frozen=True)
class Design:
    """A checked design: one row per sample.

    Attributes
    ----------
    table : pandas.DataFrame
        Index ``sample``; columns ``group``, ``path`` (absolute) and the
        annotations, in the file's order.
    source : str
        The design file.
    """

    table: object
    source: str

    @property
    def samples(self) -> list[str]:
        return list(self.table.index)

    @property
    def groups(self) -> list[str]:
        """The groups in the order they first appear."""
        return list(dict.fromkeys(self.table["group"]))

    def group_sizes(self) -> dict[str, int]:
        return {group: int((self.table["group"] == group).sum()) for group in self.groups}


def read_design(path) -> Design:
    """A design table, checked before any of its files is read.

    Parameters
    ----------
    path : str or path
        A TSV (``.tsv``, ``.txt``) or CSV file with the columns ``sample``,
        ``group`` and ``path`` (relative to the design file's folder), further
        columns kept as annotations.

    Returns
    -------
    Design
        The samples, their groups, their inputs and annotations.

    Raises
    ------
    InputError
        In one line naming the file, line and column: a missing column, an
        empty or duplicate sample name, an empty group, an input file that
        does not exist, one group only, or samples of different kinds
        (modified-base and bisulfite reads, reads and molecule tables).
    """
    pd = require("pandas")
    path = Path(path)
    if not path.is_file():
        raise InputError(f"design file not found: {path}")
    sep = "," if path.suffix.lower() == ".csv" else "\t"
    try:
        table = pd.read_csv(path, sep=sep, dtype=str, keep_default_na=False)
    except (ValueError, OSError) as error:
        raise InputError(f"{path}: cannot read the design: {error}") from None
    table.columns = [str(c).strip() for c in table.columns]
    missing = [name for name in REQUIRED if name not in table.columns]
    if missing:
        raise InputError(f"{path}: no column {missing[0]!r}; a design needs the columns sample, group and path "
                         f"(it has {', '.join(map(repr, table.columns))})")
    if len(table) == 0:
        raise InputError(f"{path}: the design lists no samples")
    for column in REQUIRED:
        values = table[column].str.strip()
        empty = np.flatnonzero(values.to_numpy() == "")
        if len(empty):
            raise InputError(f"{path}: line {int(empty[0]) + 2}: column {column!r} is empty")
        table[column] = values
    repeated = table["sample"].duplicated()
    if repeated.any():
        row = int(np.flatnonzero(repeated.to_numpy())[0])
        raise InputError(f"{path}: line {row + 2}: sample {table['sample'].iloc[row]!r} is named twice")
    folder = path.parent.absolute()
    resolved = []
    for row, given in enumerate(table["path"]):
        source = Path(given)
        source = source if source.is_absolute() else folder / source
        if not source.is_file():
            raise InputError(f"{path}: line {row + 2}: sample {table['sample'].iloc[row]!r}: file not found: "
                             f"{source}")
        resolved.append(str(source))
    table["path"] = resolved
    design = Design(table.set_index("sample"), str(path))
    if len(design.groups) < 2:
        raise InputError(f"{path}: every sample is in group {design.groups[0]!r}; comparing groups needs two or "
                         "more")
    _same_kind(design)
    return design


def _kind(source: str) -> str:
    """What a sample's input is: "modified bases", "bisulfite", "calls", "molecules" or "counts"."""
    from ..reads import input_kind  # noqa: PLC0415

    if is_count_file(source):
        return "counts"
    kind = input_kind(source)
    if kind == "alignments":
        from ..reads import bam  # noqa: PLC0415

        try:
            return bam.inspect(source).kind or "empty alignments"
        except InputError:
            return "alignments"  # unreadable: counting it says what is wrong
    return kind or "molecules"


def _same_kind(design: Design) -> None:
    kinds = {sample: _kind(source) for sample, source in design.table["path"].items()}
    if "counts" in kinds.values():
        sample = next(s for s, k in kinds.items() if k == "counts")
        raise InputError(f"{design.source}: sample {sample!r} is a count file; a design counts its samples' own "
                         "inputs (reads or molecule tables)")
    distinct = sorted(set(kinds.values()) - {"empty alignments"})
    if len(distinct) > 1:
        first = {kind: next(s for s, k in kinds.items() if k == kind) for kind in distinct}
        described = ", ".join(f"{kind} ({first[kind]!r})" for kind in distinct)
        raise InputError(f"{design.source}: the samples are of different kinds: {described}; compare samples "
                         "read the same way")


def count_design(design: Design, density_edges, meth_edges=20, *, strata=None, edges_over: str = "all",
                 threads: int = 1, client=None, progress=None, columns=None, **read_options):
    """Every sample of a design counted with one set of edges: binned data with
    a sample axis (a Strata of them with `strata`). Equal-count density edges
    are the quantiles of all samples' molecules pooled (per stratum with
    ``edges_over="stratum"``)."""
    columns = columns or Columns()
    index = None if strata is None else read_strata(strata)
    n_cells = 1 if index is None else len(index.names)
    samples = design.samples
    counted_of, reports = [], {}

    def scaled(s):
        def report(done, total):
            if progress is not None:
                progress(s * PROGRESS_UNIT + (PROGRESS_UNIT * done) // max(total, 1), PROGRESS_UNIT * len(samples))
        return report

    for s, sample in enumerate(samples):
        try:
            counted = count_histogram(design.table.at[sample, "path"], density_edges, meth_edges=meth_edges,
                                      strata=index, columns=columns, threads=threads, client=client,
                                      progress=scaled(s), **read_options)
        except InputError as error:
            raise InputError(f"sample {sample!r}: {error}") from None
        counted_of.append(counted)
        reports[sample] = counted.report
    has_depths = any(c.has_depths for c in counted_of)

    def merged_of(counts, edges, collapsed=False):
        histograms, kept = alike(counts)
        parts = [Histogram(h.cell + s * n_cells, h.density, h.level, h.depth, h.count)
                 for s, h in enumerate(histograms)]
        return Counted(Histogram.concatenate(parts).consolidated(), edges, index, has_depths, None, collapsed, kept)

    def recount(fine):
        again = []
        for s, (sample, counted) in enumerate(zip(samples, counted_of)):
            if counted.collapsed:
                again.append(count_histogram(design.table.at[sample, "path"], fine, meth_edges=meth_edges,
                                             strata=index, columns=columns, threads=threads, client=client,
                                             progress=scaled(s), **read_options))
            else:
                again.append(replace(counted, histogram=counted.histogram.with_density_bins(fine)))
        return merged_of(again, fine)

    merged = merged_of(counted_of, counted_of[0].density_edges, any(c.collapsed for c in counted_of))
    stratum_of = merged.histogram.cell % n_cells
    present = sorted(set(np.unique(stratum_of).tolist()))
    every = np.unique(merged.histogram.cell)
    groups = {t: (every if edges_over == "all" else every[every % n_cells == t]) for t in present}
    merged, coarse = resolve(merged, density_edges, groups, recount, columns.density)
    meth = _edges.meth_edges_among(merged.levels_by, meth_edges)
    histogram = merged.histogram
    stratum_of = histogram.cell % n_cells
    sample_of = histogram.cell // n_cells
    names = [None] if index is None else list(index.names)
    out = Strata()
    for t, name in enumerate(names):
        chosen = stratum_of == t
        if not chosen.any():
            continue
        edges = coarse[t]
        part = Histogram(sample_of[chosen], histogram.density[chosen], histogram.level[chosen],
                         histogram.depth[chosen], histogram.count[chosen]).consolidated()
        if not np.array_equal(edges, merged.density_edges):
            part = part.rebinned(merged.density_edges, edges)
        n_densities = len(edges) - 1
        per_sample = [part.select([s]).binned(n_densities, meth, has_depths) for s in range(len(samples))]
        counts, depths, n_outside = part.binned(n_densities, meth, has_depths)
        table = design.table.drop(columns="path").copy()
        table["molecules"] = [int(c.sum()) for c, _, _ in per_sample]
        table["median_depth"] = [_median_depth(d) for _, d, _ in per_sample]
        table["mean_level"] = [_mean_level(part.select([s]), merged.levels_by) for s in range(len(samples))]
        table["dropped_records"] = [sum((reports[sample] or {}).get("dropped", {}).values()) for sample in samples]
        axis = SampleAxis(tuple(samples), tuple(design.table["group"]),
                          np.stack([c for c, _, _ in per_sample]),
                          np.stack([d for _, d, _ in per_sample]) if has_depths else None, table)
        label = f"{design.source}" + ("" if name is None else f": stratum {name}")
        provenance = {"design": design.source, "samples": {sample: {"input": design.table.at[sample, "path"],
                                                                     "reads": reports[sample]} for sample in samples},
                      "density_edges": density_edges if isinstance(density_edges, int) else
                      [float(e) for e in np.asarray(density_edges)], "strata": None if index is None else
                      list(index.sources), "edges_over": edges_over, "read_options": dict(read_options)}
        out[name] = finish_binned(counts, depths, edges, meth, n_outside, part.molecules, {"path": label},
                                  histogram=part, provenance=provenance, sample_axis=axis, levels_by=merged.levels_by)
    if index is None:
        return out[None]
    return out


def _median_depth(depths) -> float:
    if depths is None:
        return float("nan")
    cumulative = np.cumsum(depths.sum(axis=0))
    return float(np.searchsorted(cumulative, (cumulative[-1] + 1) // 2)) if cumulative[-1] else float("nan")


def _mean_level(histogram, levels_by=None) -> float:
    """The molecules' mean level; for levels binned by `levels_by`, that of
    their bins' midpoints."""
    inside = (histogram.density >= 0) & (histogram.level >= 0)
    level = histogram.level[inside]
    if levels_by is not None:
        at = np.searchsorted(levels_by, level)
        level = (levels_by[at] + levels_by[np.minimum(at + 1, len(levels_by) - 1)]) / 2
    total = histogram.count[inside].sum()
    return float(np.dot(level, histogram.count[inside]) / total) if total else float("nan")
