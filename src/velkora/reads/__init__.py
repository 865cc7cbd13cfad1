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
counts by reason; ``"records"``, ``"molecules"``, ``"settings"``,
``"skipped_records"``: the first malformed records left out), which Parquet
files keep. pysam is needed for the alignment files:
``pip install 'velkora[reads]'``.

For the package's own use (counting whole inputs without a table),
:func:`scan` reads any input piece by piece as :class:`MoleculeBlock`
arrays, each reduced where it is read; :func:`cpg_density` and
:func:`meth_level` are the one definition of the two derived columns.
"""

from __future__ import annotations

from .._errors import InputError
from .._optional import require
from ._scan import OPTION_NAMES as _OPTION_NAMES
from ._scan import Scan, input_kind, scan
from ._table import COLUMNS, DROP_REASONS, Options, ParquetOutput
from .blocks import Frames, MoleculeBlock, cpg_density, empty_block, frame_of, meth_level  # noqa: F401

__all__ = ["read_bam", "read_calls", "write_molecules", "load_molecules", "input_kind", "COLUMNS", "DROP_REASONS"]


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
    strict: bool = False,
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
    strict : bool, optional
        Refuse the file at the first malformed record (tags that cannot be
        right, a CIGAR that does not match the sequence) instead of leaving
        it out: by default such records are counted (``malformed_tags``,
        ``malformed_cigar``) and the first five named in
        ``table.attrs["skipped_records"]``.
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
        For a file that is not an alignment file or is truncated or corrupt,
        records without modification or bisulfite tags, regions without an
        index, a reference without the read's contig, or (with `strict`) a
        malformed record; the message names the file, the read and the field.
    """
    options = _options(locals())
    from ._scan import alignment_scan  # noqa: PLC0415

    return _collect(alignment_scan(path, options, Frames(), regions, threads, client, progress, True), options)


def read_calls(path, format: str | None = None, *, threshold: float = 0.5, include_hmc: bool = False,
               min_cpg: int = 1, window_cpgs: int | None = None, strict: bool = False, chunk_size: int = 500_000):
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
    strict : bool, optional
        Refuse the table at the first row with an unreadable field instead of
        leaving the row out (counted as ``malformed_rows``, the first five
        named in ``table.attrs["skipped_records"]``).
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
        For a table of neither format, rows of one read that are not
        consecutive, or (with `strict`) a malformed row, naming the line and
        the field.
    """
    options = _options(locals())
    from ._scan import call_scan  # noqa: PLC0415

    return _collect(call_scan(path, format, options, Frames(), chunk_size, True), options)


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
    windows = parsed.window_cpgs is not None
    if input_kind(source) is None:
        raise InputError(f"{source}: not a BAM, CRAM or SAM file nor a modkit or Bismark call table")
    pieces = scan(source, Frames(), format=format, regions=regions, threads=threads, client=client,
                  progress=progress, chunk_size=chunk_size, **options)
    output = ParquetOutput(out)
    try:
        for frame, _, _ in pieces:
            if len(frame):
                output.write(frame)
        output.commit(pieces.attrs(), frame_of(empty_block(True, windows)))
    except BaseException:
        output.abort()
        raise
    return pieces.attrs()


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
                                                                    "window_cpgs", "strict")}
        return read_calls(path, format, **calls_options)
    return None


# ---------------------------------------------------------------- internals


def _options(arguments: dict) -> Options:
    return Options(**{name: arguments[name] for name in _OPTION_NAMES if name in arguments})


def _collect(pieces: Scan, options):
    pd = require("pandas")
    frames = [frame for frame, _, _ in pieces if len(frame)]
    if len(frames) > 1:
        table = pd.concat(frames, ignore_index=True)
    else:
        table = frames[0] if frames else frame_of(empty_block(True, options.window_cpgs is not None))
    table.attrs.update(pieces.attrs())
    return table
