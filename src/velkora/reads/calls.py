"""Per-read call tables to molecules: modkit ``extract`` tables and Bismark's
``CpG_context`` files, plain or gzipped, read in chunks.

Neither table records a read's alignment, so a molecule spans its first to
its last CpG site (the first C to the last G). The rows of one read must be
consecutive, as both tools write them; a read that comes back later is an
error rather than two molecules.

* modkit: ``read_id``, ``chrom``, ``ref_position`` (0-based), ``ref_strand``,
  ``mod_code`` with ``mod_qual`` (the probability of that modification; the
  threshold and the 5hmC option apply as for BAM files), or ``call_code`` with
  ``call_prob`` and ``fail`` (modkit's own thresholded calls, taken as they
  are). Calls without a reference position are skipped. The CpG context comes
  from ``ref_kmer`` (the genome, in tables written with a reference) or else
  from ``query_kmer`` (the read's own bases, as BAM files read without a
  reference): k-mers centred on the called base, in the orientation of the
  read as sequenced (``ref_kmer`` may also be read in the genome's), so a C
  call is in a CpG when a G follows it, a G call when a C precedes it. A read
  k-mer cut short by an end of the read is placed by ``forward_read_position``
  and ``read_length``. Duplex reads also carry calls for the
  complementary strand (``mod_strand`` "-", on the read's G bases); like the
  ``G-`` entries of a BAM file they are left out (counted as
  ``other_strand``), so a molecule is one strand. ``ref_mod_strand`` tells on
  which strand of the genome the modified C lies: a site is known by the
  position of the C of its CpG on the forward strand, one base left of a call
  on the bottom strand.
* Bismark: read id, methylation state, chrom, 1-based position, ``Z``/``z``.
  The file gives no strand: it comes from the file name (OT/CTOT top, OB/CTOB
  bottom); otherwise ("." in the table) the positions are taken as the C of
  the top strand, which shifts a bottom-strand molecule's span by one base
  but not its length.
"""

from __future__ import annotations

import gzip
import re
from collections import Counter
from pathlib import Path

import numpy as np

from .._errors import InputError
from .._optional import require
from ._table import METHYLATED, UNMETHYLATED, molecule_rows

MODKIT, BISMARK = "modkit", "bismark"
FORMATS = (MODKIT, BISMARK)
_BISMARK_COLUMNS = ("read_id", "state", "chrom", "position", "call")
_CHEBI = {"27551": "m", "76792": "h"}


def _open_text(path):
    with open(path, "rb") as handle:
        magic = handle.read(2)
    return gzip.open(path, "rt") if magic == b"\x1f\x8b" else open(path, encoding="utf-8", errors="replace")


def sniff_table_format(path) -> str | None:
    """MODKIT, BISMARK or None from the first line of a (gzipped) text table."""
    try:
        with _open_text(path) as handle:
            first = handle.readline(4096)
    except (OSError, EOFError, UnicodeDecodeError):
        return None
    fields = first.rstrip("\r\n").split("\t")
    if "read_id" in fields and "ref_position" in fields:
        return MODKIT
    if first.startswith("Bismark methylation extractor"):
        return BISMARK
    if len(fields) == 5 and fields[1] in ("+", "-") and fields[3].isdigit() and fields[4] in ("Z", "z"):
        return BISMARK
    return None


def _bismark_strand(path: Path) -> str:
    name = path.name.upper()
    if re.search(r"(^|_)(CT)?OT(_|$)", name):
        return "+"
    if re.search(r"(^|_)(CT)?OB(_|$)", name):
        return "-"
    return "."


class _Molecules:
    """Groups consecutive rows of each read into molecules, across chunks."""

    def __init__(self, path, options, dropped):
        self.path, self.options, self.dropped = path, options, dropped
        self.finished = set()
        self.carry = None  # the last read of the previous chunk: (read, chrom, strand, sites, states, line)
        self.records = 0

    def add(self, reads, chroms, strands, sites, states, lines) -> list:
        """Rows of the reads completed by this chunk's calls, given in file order."""
        if len(reads) == 0:
            return []
        boundaries = np.flatnonzero(reads[1:] != reads[:-1]) + 1
        starts = np.concatenate(([0], boundaries))
        ends = np.concatenate((boundaries, [len(reads)]))
        rows = []
        for a, b in zip(starts.tolist(), ends.tolist()):
            name = reads[a]
            piece = (name, chroms[a], strands[a], sites[a:b], states[a:b], int(lines[a]))
            if self.carry is not None:
                if self.carry[0] == name:
                    carry = self.carry
                    piece = (name, carry[1], carry[2], np.concatenate((carry[3], piece[3])),
                             np.concatenate((carry[4], piece[4])), carry[5])
                    self.carry = None
                else:
                    rows.extend(self._close(self.carry))
                    self.carry = None
            if b == len(reads):
                self.carry = piece
            else:
                rows.extend(self._close(piece))
        return rows

    def finish(self) -> list:
        rows = self._close(self.carry) if self.carry is not None else []
        self.carry = None
        return rows

    def _close(self, piece) -> list:
        name, chrom, strand, sites, states, line = piece
        name, chrom, strand = str(name), str(chrom), str(strand)
        if name in self.finished:
            raise InputError(f"{self.path}: line {line}: read {name!r} comes back after other reads "
                             "(field read_id): the rows of one read must be consecutive")
        self.finished.add(name)
        self.records += 1
        # One call per site, the first row's (a pair's first mate comes first); sites in reference order.
        order = np.argsort(sites, kind="stable")
        sites, states = sites[order], states[order]
        keep = np.ones(len(sites), dtype=bool)
        keep[1:] = sites[1:] != sites[:-1]
        sites, states = sites[keep], states[keep]
        return molecule_rows(name, chrom, strand, int(sites[0]), int(sites[-1]) + 2, sites, states, self.options,
                             self.dropped)


def read_chunks(path, format, options, chunk_size: int = 500_000):
    """Yields (rows, dropped, records) per chunk of the table; the counts come with the last piece."""
    pd = require("pandas")
    path = Path(path)
    if not path.is_file():
        raise InputError(f"call table not found: {path}")
    detected = sniff_table_format(path)
    format = format or detected
    if format not in FORMATS:
        raise InputError(f"{path}: not a modkit extract table or a Bismark CpG_context file "
                         f"(format={format!r}; give format='modkit' or 'bismark')")
    dropped = Counter()
    molecules = _Molecules(str(path), options, dropped)
    header_lines = 1
    if format == MODKIT:
        reader_args = {"sep": "\t", "dtype": str, "keep_default_na": False}
        parse = _modkit_chunk
    else:
        with _open_text(path) as handle:
            header_lines = 1 if handle.readline().startswith("Bismark methylation extractor") else 0
        reader_args = {"sep": "\t", "dtype": str, "keep_default_na": False, "header": None,
                       "names": _BISMARK_COLUMNS, "skiprows": header_lines}
        parse = _bismark_chunk
    strand = _bismark_strand(path)
    line = header_lines
    try:
        with pd.read_csv(path, chunksize=chunk_size, compression=_compression(path),
                         **reader_args) as reader:
            for chunk in reader:
                lines = np.arange(line + 1, line + 1 + len(chunk))
                line += len(chunk)
                parsed = parse(chunk, lines, str(path), options, dropped, strand)
                yield molecules.add(*parsed), Counter(), 0
    except InputError:
        raise
    except (ValueError, OSError, EOFError, UnicodeDecodeError) as error:
        raise InputError(f"{path}: malformed table after line {line}: {str(error).strip()}") from None
    yield molecules.finish(), dropped, molecules.records


def _compression(path):
    with open(path, "rb") as handle:
        return "gzip" if handle.read(2) == b"\x1f\x8b" else None


def _bad_row(path, chunk, lines, bad, field, what):
    i = int(np.argmax(bad))
    value = chunk.iloc[i][field] if field in chunk.columns else ""
    return InputError(f"{path}: line {lines[i]}: field {field}: {what} ({value!r}), read {chunk.iloc[i, 0]!r}")


def _integers(chunk, field, lines, path):
    values = chunk[field].to_numpy(dtype=object)
    text = values.astype(str)
    bad = ~np.char.isdigit(np.char.lstrip(text, "-"))
    bad |= np.char.str_len(text) == 0
    if bad.any():
        raise _bad_row(path, chunk, lines, bad, field, "not an integer")
    return text.astype(np.int64)


def _column(chunk, field, path, lines):
    if field not in chunk.columns:
        raise InputError(f"{path}: no column {field!r} (columns: {', '.join(map(str, chunk.columns))})")
    values = chunk[field].to_numpy(dtype=object).astype(str)
    empty = np.char.str_len(values) == 0
    if empty.any():
        raise _bad_row(path, chunk, lines, empty, field, "missing")
    return values


def _modkit_chunk(chunk, lines, path, options, dropped, _strand):
    reads = _column(chunk, "read_id", path, lines)
    chroms = _column(chunk, "chrom", path, lines)
    positions = _integers(chunk, "ref_position", lines, path)
    codes = _column(chunk, "mod_code" if "mod_code" in chunk.columns else "call_code", path, lines)
    strands = (_column(chunk, "ref_strand", path, lines) if "ref_strand" in chunk.columns
               else np.full(len(chunk), "+"))
    bad = ~np.isin(strands, ["+", "-", "."])
    if bad.any():
        raise _bad_row(path, chunk, lines, bad, "ref_strand", "expected + or -")
    # The strand of the genome holding the modified C; without the column (older tables) the read's.
    mod_strands = _strand_column(chunk, "ref_mod_strand", path, lines, strands)
    keep = positions >= 0  # calls on bases without a reference position
    if "mod_strand" in chunk.columns:
        own = _strand_column(chunk, "mod_strand", path, lines, strands) != "-"
        dropped["other_strand"] += int(np.count_nonzero(keep & ~own))
        keep &= own
    context = _cpg_context(chunk, path, lines)
    if context is not None:
        dropped["not_cpg"] += int(np.count_nonzero(keep & ~context))
        keep &= context
    codes = np.array([_CHEBI.get(c, c) for c in codes], dtype=object) if np.isin(codes, list(_CHEBI)).any() else codes
    if "mod_qual" in chunk.columns:
        probability = _probabilities(chunk, "mod_qual", lines, path)
        p_m = np.where(codes == "m", probability, np.nan)
        p_h = np.where(codes == "h", probability, np.nan)
        explicit = True
    elif "call_prob" in chunk.columns or "call_code" in chunk.columns:
        failed = (np.char.lower(chunk["fail"].to_numpy(dtype=object).astype(str)) == "true"
                  if "fail" in chunk.columns else np.zeros(len(chunk), dtype=bool))
        methylated = np.isin(codes, ["m", "h"] if options.include_hmc else ["m"])
        p_m = np.where(failed, np.nan, methylated.astype(np.float64))
        p_h = np.full(len(chunk), np.nan)
        explicit = False
    else:
        raise InputError(f"{path}: neither a mod_qual nor a call_code column: not a modkit extract table")
    sites = positions - (mod_strands == "-")
    reads, chroms, strands, sites, lines = reads[keep], chroms[keep], strands[keep], sites[keep], lines[keep]
    p_m, p_h = p_m[keep], p_h[keep]
    # A base has one row per modification code: combine the rows of each (read, site).
    read_index = _run_index(reads)
    order = np.lexsort((sites, read_index))
    group = np.ones(len(order), dtype=bool)
    group[1:] = (read_index[order][1:] != read_index[order][:-1]) | (sites[order][1:] != sites[order][:-1])
    starts = np.flatnonzero(group)
    pm = _group_max(p_m[order], starts)
    ph = _group_max(p_h[order], starts)
    if explicit and options.include_hmc:
        p = np.where(np.isnan(pm), np.nan, pm + np.where(np.isnan(ph), 0.0, ph))
    else:
        p = pm
    threshold = options.threshold if explicit else 0.5
    states = np.where(p >= threshold, METHYLATED, UNMETHYLATED).astype(np.int8)
    states[np.isnan(p)] = 0
    first = order[starts]
    # Back to file order of the reads (groups are sorted by read, then site).
    return reads[first], chroms[first], strands[first], sites[first], states, lines[first]


def _run_index(reads: np.ndarray) -> np.ndarray:
    """Consecutive-run number of each row's read (reads stay in file order)."""
    change = np.zeros(len(reads), dtype=np.int64)
    change[1:] = reads[1:] != reads[:-1]
    return np.cumsum(change)


def _group_max(values: np.ndarray, starts: np.ndarray) -> np.ndarray:
    if len(values) == 0:
        return values
    filled = np.where(np.isnan(values), -np.inf, values)
    out = np.maximum.reduceat(filled, starts)
    return np.where(np.isneginf(out), np.nan, out)


def _probabilities(chunk, field, lines, path):
    text = chunk[field].to_numpy(dtype=object).astype(str)
    try:
        values = text.astype(np.float64)
        bad = ~((values >= 0) & (values <= 1))
    except ValueError:
        bad = np.array([not _is_float(t) for t in text])
    if bad.any():
        raise _bad_row(path, chunk, lines, bad, field, "not a probability within 0..1")
    return values


def _is_float(text) -> bool:
    try:
        return 0.0 <= float(text) <= 1.0
    except ValueError:
        return False


def _strand_column(chunk, field, path, lines, default):
    if field not in chunk.columns:
        return default
    values = chunk[field].to_numpy(dtype=object).astype(str)
    bad = ~np.isin(values, ["+", "-", "."])
    if bad.any():
        raise _bad_row(path, chunk, lines, bad, field, "expected + or -")
    return np.where(values == ".", default, values)


def _cpg_context(chunk, path, lines):
    """Whether each call is in a CpG, from its reference k-mer where the table
    has one and its read k-mer elsewhere; None when the table holds neither
    column (a row with neither k-mer is taken as a CpG call)."""
    ref = chunk["ref_kmer"].to_numpy(dtype=object).astype(str) if "ref_kmer" in chunk.columns else None
    query = chunk["query_kmer"].to_numpy(dtype=object).astype(str) if "query_kmer" in chunk.columns else None
    if ref is None and query is None:
        return None
    if ref is None:
        from_ref = np.zeros(len(chunk), dtype=bool)
    else:
        from_ref = ref != "."  # '.': written without a reference, or a base off the alignment
    out = np.ones(len(chunk), dtype=bool)  # no k-mer at all: the calls are taken as CpG calls
    if from_ref.any():
        kmers = ref[from_ref]
        out[from_ref] = _kmer_is_cpg(kmers, np.char.str_len(kmers) // 2)
    rest = ~from_ref
    if query is not None and rest.any():
        kmers = query[rest]
        if "forward_read_position" in chunk.columns and "read_length" in chunk.columns:
            position = _integers(chunk, "forward_read_position", lines, path)[rest]
            length = _integers(chunk, "read_length", lines, path)[rest]
            centre = _read_kmer_centre(np.char.str_len(kmers), position, length)
        else:
            centre = np.char.str_len(kmers) // 2
        out[rest] = _kmer_is_cpg(kmers, centre)
    return out


def _read_kmer_centre(size, position, read_length):
    """Where the called base sits in a read k-mer of `size` letters centred on
    it and cut short by the read's ends: with h letters on each side in full,
    size = min(h, p) + min(h, r) + 1 for p bases before the call and r after."""
    before, after = position, read_length - 1 - position
    shorter = np.minimum(before, after)
    half = np.where(size <= 2 * shorter + 1, (size - 1) // 2, size - 1 - shorter)
    return np.where(size >= read_length, position, np.minimum(half, before))


def _kmer_is_cpg(kmers: np.ndarray, centre: np.ndarray) -> np.ndarray:
    """CpG context from k-mers with the called base at `centre`: a C followed
    by a G, or a G preceded by a C (the read's G bases carry the calls of the
    other strand, and a reference k-mer may be written in the genome's
    orientation)."""
    if len(kmers) == 0:
        return np.zeros(0, dtype=bool)
    lengths = np.char.str_len(kmers)
    k = int(lengths.max())
    if k == 0:
        return np.zeros(len(kmers), dtype=bool)
    # One row of bytes per k-mer (shorter ones padded with zero bytes), upper-cased.
    letters = np.char.encode(kmers, "ascii", "replace").astype(f"S{k}").view(np.uint8).reshape(len(kmers), k)
    letters = letters & np.uint8(0xDF)
    inside = (centre >= 0) & (centre < lengths)
    at = np.clip(centre, 0, k - 1)
    rows = np.arange(len(kmers))
    base = letters[rows, at]
    after = np.where(at + 1 < lengths, letters[rows, np.minimum(at + 1, k - 1)], 0)
    before = np.where(at >= 1, letters[rows, np.maximum(at - 1, 0)], 0)
    return inside & (((base == ord("C")) & (after == ord("G"))) | ((base == ord("G")) & (before == ord("C"))))


def _bismark_chunk(chunk, lines, path, options, dropped, strand):
    reads = _column(chunk, "read_id", path, lines)
    chroms = _column(chunk, "chrom", path, lines)
    positions = _integers(chunk, "position", lines, path)
    calls = _column(chunk, "call", path, lines)
    bad = ~np.isin(calls, ["Z", "z"])
    if bad.any():
        raise _bad_row(path, chunk, lines, bad, "call", "expected Z or z (a CpG context file)")
    bad = positions < 1
    if bad.any():
        raise _bad_row(path, chunk, lines, bad, "position", "1-based positions start at 1")
    sites = positions - (2 if strand == "-" else 1)
    states = np.where(calls == "Z", METHYLATED, UNMETHYLATED).astype(np.int8)
    return reads, chroms, np.full(len(chunk), strand), sites, states, lines
