"""One pass over any input, piece by piece, each piece reduced where it is read.

:func:`scan` is what every reader of this package is built on, and what the
counting layer uses to count whole genomes: the molecules of each piece (a
region of an indexed BAM, a piece of an unindexed stream, a chunk of a call
table) come as a :class:`~velkora.reads.blocks.MoleculeBlock`, and the
caller's ``reduce`` turns the block into what it needs (counts, a table) in
the worker process or Dask task that read the piece, so only that result
crosses the process boundary.
"""

from __future__ import annotations

from collections import Counter
from pathlib import Path
from typing import Callable

from .._errors import InputError
from ._table import Options, Report, Result
from .blocks import empty_block

# The keywords of Options, which every reader takes.
OPTION_NAMES = ("threshold", "include_hmc", "min_mapq", "min_cpg", "window_cpgs", "reference", "keep_secondary",
                "keep_supplementary", "keep_qcfail", "keep_duplicates", "strict")


class Scan:
    """The pieces of one input: iterating gives ``(reduce(block), dropped,
    records)`` per piece, in input order, and fills in :attr:`report` (what
    ``table.attrs`` of :func:`velkora.read_bam` holds, via ``report.attrs()``)
    as it goes. It can be iterated once."""

    def __init__(self, report: Report, results):
        self.report = report
        self._results = results

    def __iter__(self):
        for result in self._results:
            self.report.add(result.dropped, result.records, result.molecules, result.skipped)
            yield result.value, result.dropped, result.records

    def attrs(self) -> dict:
        return self.report.attrs()


def scan(source, reduce: Callable, *, format: str | None = None, regions=None, threads: int = 1, client=None,
         progress=None, names: bool = True, chunk_size: int = 500_000, **read_options) -> Scan:
    """Reads an alignment file or a call table piece by piece, each piece's
    molecules reduced where they are read.

    Parameters
    ----------
    source : str or path
        A BAM/CRAM/SAM file or a modkit / Bismark call table (the kind is
        detected from the content).
    reduce : callable
        ``reduce(block)`` of each piece's :class:`MoleculeBlock` (possibly
        empty). It runs in the worker process or Dask task that read the
        piece, so it must be picklable (a module-level function or an
        instance of a module-level class) and its result should be small.
    format, regions, threads, client, progress, chunk_size
        As in :func:`velkora.reads.write_molecules`.
    names : bool
        Whether the blocks carry the read names (``read_id``). Counting does
        not need them, and without them no name is put into a block.
    **read_options
        The read options of :func:`velkora.read_bam` (``threshold``,
        ``min_cpg``, ``window_cpgs``, ``strict`` ...).

    Returns
    -------
    Scan
        Iterating it gives ``(reduce(block), dropped, records)`` per piece in
        input order (regions in genome order, chunks in file order), whatever
        the number of workers; its ``report`` holds the counts of the pieces
        taken so far (``report.attrs()``: what ``read_bam`` puts into
        ``table.attrs``, complete once the iteration ends).

    Raises
    ------
    InputError
        As the readers do: before any work for bad arguments, an unreadable
        or missing file, regions without an index; during the iteration for
        what is found in the file.
    """
    unknown = set(read_options) - set(OPTION_NAMES)
    if unknown:
        raise TypeError(f"scan() got an unexpected keyword argument {sorted(unknown)[0]!r}")
    if not callable(reduce):
        raise InputError(f"reduce must be callable, not {reduce!r}")
    options = Options(**read_options)
    kind = input_kind(source)
    if kind == "alignments":
        return alignment_scan(source, options, reduce, regions, threads, client, progress, names)
    if kind == "calls":
        if regions is not None:
            raise InputError(f"{source}: --region needs an indexed BAM/CRAM, not a call table")
        return call_scan(source, format, options, reduce, chunk_size, names)
    if not Path(source).is_file():
        raise InputError(f"input file not found: {source}")
    raise InputError(f"{source}: not a BAM, CRAM or SAM file nor a modkit or Bismark call table")


def input_kind(path) -> str | None:
    """What kind of input a file is, from its content: "alignments" (BAM,
    CRAM, SAM), "calls" (modkit or Bismark table) or None (anything else, e.g.
    a molecule table)."""
    from .bam import sniff_alignment_format  # noqa: PLC0415
    from .calls import sniff_table_format  # noqa: PLC0415

    path = Path(path)
    if not path.is_file():
        return None
    if path.suffix.lower() in (".parquet", ".pq"):
        return None
    if sniff_alignment_format(path) is not None:
        return "alignments"
    if path.suffix.lower() in (".bam", ".cram", ".sam"):
        return "alignments"  # named so but unreadable: reading it tells what is wrong
    if sniff_table_format(path) is not None:
        return "calls"
    return None


def count(value, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise InputError(f"{name} must be a positive integer, not {value!r}")
    return value


def alignment_scan(path, options: Options, reduce, regions, threads, client, progress, names) -> Scan:
    from . import _assemble, bam, regions as _regions  # noqa: PLC0415

    threads = count(threads, "threads")
    info = bam.inspect(path, options.reference)
    report = Report(str(path), info.kind or "empty", options.settings())
    report.settings["regions"] = None if regions is None else ([regions] if isinstance(regions, str)
                                                               else [str(r) for r in regions])
    if info.kind is None:
        return Scan(report, iter(()))
    if regions is not None and not info.has_index:
        raise InputError(f"{path}: --region needs an index (.bai or .csi): run `samtools index {path}`")
    windows = options.window_cpgs is not None
    if not info.has_index:
        if threads > 1 or client is not None:
            report.notes.append("no index: read in one pass, in this process")

        def stream():
            if progress is not None:
                progress(0, 1)
            for piece in _assemble.read_stream(str(path), info.kind, options, names):
                yield Result(reduce(piece.block), piece.dropped, piece.records, len(piece.block), piece.skipped)
            if progress is not None:
                progress(1, 1)

        return Scan(report, stream())
    pieces = _regions.plan(info, regions, threads)

    def run():
        yield from _regions.run_regions(str(path), info.kind, options, pieces, threads, client, progress, reduce,
                                        names)
        if regions is None and info.unplaced:  # unmapped records without a position, outside every region
            yield Result(reduce(empty_block(names, windows)), Counter({"unmapped": info.unplaced}), info.unplaced,
                         0, [])

    return Scan(report, run())


def call_scan(path, format, options: Options, reduce, chunk_size, names) -> Scan:
    from . import calls  # noqa: PLC0415

    chunk_size = count(chunk_size, "chunk_size")
    if format is not None and format not in calls.FORMATS:
        raise InputError(f"format must be one of {', '.join(calls.FORMATS)}, not {format!r}")
    detected = format or calls.sniff_table_format(path) if Path(path).is_file() else None
    report = Report(str(path), f"{detected or 'unknown'} calls", options.settings())
    report.notes.append("molecule spans run from the first to the last called CpG (the table holds no alignment)")

    def run():
        for piece in calls.read_chunks(path, format, options, chunk_size, names):
            yield Result(reduce(piece.block), piece.dropped, piece.records, len(piece.block), piece.skipped)

    return Scan(report, run())
