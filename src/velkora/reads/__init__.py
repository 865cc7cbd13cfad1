"""From sequencing files to molecule tables.

:func:`read_bam` reads modified-base (``MM``/``ML``) and bisulfite (``XM``)
alignments, :func:`read_calls` the per-read call tables of modkit and
Bismark; both give one row per molecule with the columns that
:func:`velkora.bin_molecules` takes (``cpg_density``, ``meth_level``,
``n_methylated``, ``n_cpg``) beside ``read_id``, ``chrom``, ``start``,
``end``, ``strand``, ``n_called``. :func:`write_molecules` streams either kind
of input to a Parquet file with bounded memory, and :func:`load_molecules`
reads any input path the ``velkora`` command accepts.

What was left out, and why, is counted in ``table.attrs`` (``"dropped"``:
counts by reason; ``"records"``, ``"molecules"``, ``"settings"``), which
Parquet files keep. pysam is needed for the alignment files:
``pip install 'velkora[reads]'``.
"""

from __future__ import annotations

from pathlib import Path

from .._errors import InputError
from .._optional import require
from ._table import COLUMNS, DROP_REASONS, Options, ParquetOutput, Report, frame_of

__all__ = ["read_bam", "read_calls", "write_molecules", "load_molecules", "input_kind", "COLUMNS", "DROP_REASONS"]

_OPTION_NAMES = ("threshold", "include_hmc", "min_mapq", "min_cpg", "window_cpgs", "reference", "keep_secondary",
                 "keep_supplementary", "keep_qcfail", "keep_duplicates")


def read_bam(
    path,
    *,
    regions=None,
    reference=None,
    threshold: float = 0.5,
    include_hmc: bool = False,
    min_mapq: int = 0,
    min_cpg: int = 1,
    window_cpgs: int | None = None,
    keep_secondary: bool = False,
    keep_supplementary: bool = False,
    keep_qcfail: bool = False,
    keep_duplicates: bool = False,
    threads: int = 1,
    client=None,
    progress=None,
):
    """The molecules of a modified-base or bisulfite BAM, CRAM or SAM file.

    The kind of file comes from its tags (``MM``/``ML`` or the legacy
    ``Mm``/``Ml``: modified bases; ``XM``: bisulfite).

    Parameters
    ----------
    path : str or path
        The alignment file.
    regions : sequence of str, optional
        "chr" or "chr:start-end" (1-based, inclusive) strings to read (needs an
        index). Default: the whole file.
    reference : str or path, optional
        An indexed FASTA giving the CpG context (default: the read's own
        sequence); CRAM files need it to be decoded.
    threshold : float, optional
        A CpG is methylated when its 5mC probability, (ML + 0.5) / 256, is at
        least this (default 0.5).
    include_hmc : bool, optional
        Test 5mC + 5hmC instead (as bisulfite sees both).
    min_mapq : int, optional
        The lowest mapping quality of a record that counts (default 0).
    min_cpg : int, optional
        Fewest called CpGs a molecule needs (default 1).
    window_cpgs : int, optional
        Cut each molecule into consecutive windows of this many CpG sites from
        its leftmost one, each a row (with a ``window`` column) spanning its
        first C to its last G; a shorter remainder is dropped.
    keep_secondary, keep_supplementary, keep_qcfail, keep_duplicates : bool, optional
        Which records count: unmapped, secondary, supplementary, QC-failed and
        duplicate records are skipped by default.
    threads : int, optional
        Worker processes over the regions of an indexed file (default 1).
        They stay for the next call, and end after five minutes unused or
        with the program; an error or Ctrl+C stops them at once.
    client : distributed.Client, optional
        A Dask client instead, one task per region.
    progress : callable, optional
        ``progress(done, total)``, called per region.

    Returns
    -------
    pandas.DataFrame
        One row per molecule (a read, or the two mates of a bisulfite pair):
        ``read_id``, ``chrom``, ``start``, ``end`` (0-based, half-open
        reference span of the aligned part), ``strand``, ``n_cpg`` (CpG sites
        in the molecule), ``n_called`` (sites with a call), ``n_methylated``,
        ``meth_level`` = n_methylated / n_called and ``cpg_density`` = n_cpg /
        span (CpG per bp). The rows and their order are the same whatever the
        number of workers or regions. What was dropped, and why, is counted in
        ``table.attrs["dropped"]``.

    Raises
    ------
    InputError
        For a file that is not an alignment file or is truncated, records
        without modification or bisulfite tags, regions without an index, or a
        reference without the read's contig; the message names the file, the
        read and the field.
    """
    options = _options(locals())
    report, pieces = _bam_pieces(path, options, regions, threads, client, progress)
    return _collect(pieces, report, options)


def read_calls(path, format: str | None = None, *, threshold: float = 0.5, include_hmc: bool = False,
               min_cpg: int = 1, window_cpgs: int | None = None, chunk_size: int = 500_000):
    """The molecules of a per-read call table, read in chunks of ``chunk_size`` rows.

    Parameters
    ----------
    path : str or path
        The call table, plain or gzipped.
    format : {"modkit", "bismark"}, optional
        "modkit" (the table of ``modkit extract``: one row per call) or
        "bismark" (a ``CpG_context`` file of Bismark's methylation extractor);
        detected from the first line when not given.
    threshold, include_hmc, min_cpg, window_cpgs : optional
        As in :func:`read_bam`.
    chunk_size : int, optional
        Rows read at a time (default 500000).

    Returns
    -------
    pandas.DataFrame
        The columns of :func:`read_bam`. The tables hold no alignment: a
        molecule spans its first to its last CpG site (first C to last G), and
        ``n_cpg`` counts the sites with a row.

    Raises
    ------
    InputError
        For a table of neither format or a malformed row, naming the line.
    """
    options = _options(locals())
    report, pieces = _call_pieces(path, format, options, chunk_size)
    return _collect(pieces, report, options)


def write_molecules(source, out, *, format: str | None = None, regions=None, threads: int = 1, client=None,
                    progress=None, chunk_size: int = 500_000, **options) -> dict:
    """Streams the molecules of a BAM/CRAM/SAM file or a call table into a
    Parquet file, piece by piece (bounded memory).

    Parameters
    ----------
    source : str or path
        The alignment file or call table.
    out : str or path
        The Parquet file to write. It appears only when complete: it is written
        under a temporary name beside ``out`` and renamed at the end; an error
        or Ctrl+C leaves neither.
    format, regions, threads, client, progress, chunk_size, **options
        As in :func:`read_bam` and :func:`read_calls`.

    Returns
    -------
    dict
        The report that also goes into the file
        (``pandas.read_parquet(out).attrs``).
    """
    unknown = set(options) - set(_OPTION_NAMES)
    if unknown:
        raise TypeError(f"write_molecules() got an unexpected keyword argument {sorted(unknown)[0]!r}")
    parsed = Options(**options)
    kind = input_kind(source)
    if kind == "alignments":
        report, pieces = _bam_pieces(source, parsed, regions, threads, client, progress)
    elif kind == "calls":
        if regions is not None:
            raise InputError(f"{source}: --region needs an indexed BAM/CRAM, not a call table")
        report, pieces = _call_pieces(source, format, parsed, chunk_size)
    else:
        raise InputError(f"{source}: not a BAM, CRAM or SAM file nor a modkit or Bismark call table")
    output = ParquetOutput(out)
    windows = parsed.window_cpgs is not None
    try:
        for rows, dropped, records in pieces:
            report.dropped.update(dropped)
            report.records += records
            if rows:
                report.molecules += len(rows)
                output.write(frame_of(rows, windows))
        output.commit(report.attrs(), frame_of([], windows))
    except BaseException:
        output.abort()
        raise
    return report.attrs()


def input_kind(path) -> str | None:
    """What kind of input a file is, from its content.

    Parameters
    ----------
    path : str or path
        The file.

    Returns
    -------
    str or None
        "alignments" (BAM, CRAM, SAM), "calls" (modkit or Bismark table) or
        None (anything else, e.g. a molecule table).
    """
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


def load_molecules(path, *, format: str | None = None, regions=None, threads: int = 1, client=None,
                   progress=None, **options):
    """The molecule table of a BAM/CRAM/SAM file or a call table.

    Parameters
    ----------
    path : str or path
        The file, whose kind is detected from its content.
    format, regions, threads, client, progress, **options
        As in :func:`read_bam` and :func:`read_calls`.

    Returns
    -------
    pandas.DataFrame or None
        The molecules, or None when `path` is neither kind (an ordinary
        molecule table, for :func:`velkora.read_molecules`).
    """
    kind = input_kind(path)
    if kind == "alignments":
        return read_bam(path, regions=regions, threads=threads, client=client, progress=progress, **options)
    if kind == "calls":
        if regions is not None:
            raise InputError(f"{path}: --region needs an indexed BAM/CRAM, not a call table")
        calls_options = {k: v for k, v in options.items() if k in ("threshold", "include_hmc", "min_cpg",
                                                                    "window_cpgs")}
        return read_calls(path, format, **calls_options)
    return None


# ---------------------------------------------------------------- internals


def _options(arguments: dict) -> Options:
    return Options(**{name: arguments[name] for name in _OPTION_NAMES if name in arguments})


def _count(value, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise InputError(f"{name} must be a positive integer, not {value!r}")
    return value


def _bam_pieces(path, options, regions, threads, client, progress):
    from . import bam, regions as _regions  # noqa: PLC0415

    threads = _count(threads, "threads")
    info = bam.inspect(path, options.reference)
    report = Report(str(path), info.kind or "empty", options.settings())
    report.settings["regions"] = None if regions is None else ([regions] if isinstance(regions, str)
                                                               else [str(r) for r in regions])
    if info.kind is None:
        return report, iter(())
    if regions is not None and not info.has_index:
        raise InputError(f"{path}: --region needs an index (.bai or .csi): run `samtools index {path}`")
    if not info.has_index:
        if threads > 1 or client is not None:
            report.notes.append("no index: read in one pass, in this process")
        return report, _with_progress(bam.stream_rows(str(path), info.kind, options), progress)
    pieces = _regions.plan(info, regions, threads)

    def run():
        yield from _regions.run_regions(str(path), info.kind, options, pieces, threads, client, progress)
        if regions is None and info.unplaced:  # unmapped records without a position, outside every region
            yield [], {"unmapped": info.unplaced}, info.unplaced

    return report, run()


def _with_progress(pieces, progress):
    if progress is not None:
        progress(0, 1)
    yield from pieces
    if progress is not None:
        progress(1, 1)


def _call_pieces(path, format, options, chunk_size):
    from . import calls  # noqa: PLC0415

    chunk_size = _count(chunk_size, "chunk_size")
    if format is not None and format not in calls.FORMATS:
        raise InputError(f"format must be one of {', '.join(calls.FORMATS)}, not {format!r}")
    detected = format or calls.sniff_table_format(path) if Path(path).is_file() else None
    report = Report(str(path), f"{detected or 'unknown'} calls", options.settings())
    report.notes.append("molecule spans run from the first to the last called CpG (the table holds no alignment)")
    return report, calls.read_chunks(path, format, options, chunk_size)


def _collect(pieces, report, options):
    pd = require("pandas")
    windows = options.window_cpgs is not None
    frames = []
    for rows, dropped, records in pieces:
        report.dropped.update(dropped)
        report.records += records
        if rows:
            frames.append(frame_of(rows, windows))
    table = pd.concat(frames, ignore_index=True) if len(frames) > 1 else (frames[0] if frames
                                                                          else frame_of([], windows))
    report.molecules = len(table)
    table.attrs.update(report.attrs())
    return table
