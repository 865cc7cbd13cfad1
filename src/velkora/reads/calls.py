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
from ._table import METHYLATED, SKIPPED_SHOWN, UNMETHYLATED, Piece, Tally
from .blocks import empty_block, molecules_block

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

    def __init__(self, path, options, tally: Tally, names: bool):
        self.path, self.options, self.tally, self.names = path, options, tally, names
        self.finished = set()
        self.carry = None  # the rows of the last read of the previous chunk, still open
        self.records = 0

    def add(self, rows, final: bool = False):
        """The block of the reads this chunk's rows (read, chrom, strand, site, state, line arrays,
        in file order) complete."""
        if self.carry is not None:
            rows = tuple(np.concatenate((c, r)) for c, r in zip(self.carry, rows))
            self.carry = None
        reads = rows[0]
        if len(reads) == 0:
            return empty_block(self.names, self.options.window_cpgs is not None)
        run = _run_index(reads)
        if not final:  # the last read may go on in the next chunk
            open_rows = run == run[-1]
            self.carry = tuple(column[open_rows] for column in rows)
            rows = tuple(column[~open_rows] for column in rows)
            run = run[~open_rows]
            if len(run) == 0:
                return empty_block(self.names, self.options.window_cpgs is not None)
        reads, chroms, strands, sites, states, lines = rows
        first = np.flatnonzero(np.concatenate(([True], run[1:] != run[:-1])))
        names = reads[first].tolist()
        if len(set(names)) < len(names) or not self.finished.isdisjoint(names):
            seen = set(self.finished)
            for at, name in zip(first.tolist(), names):
                if name in seen:
                    raise InputError(f"{self.path}: line {lines[at]}: read {name!r} comes back after other reads "
                                     "(field read_id): the rows of one read must be consecutive")
                seen.add(name)
        self.finished.update(names)
        self.records += len(names)
        run_ids = run[first]
        # One call per site, the first row's (a pair's first mate comes first); sites in reference order.
        order = np.lexsort((sites, run))
        sites, states, run = sites[order], states[order], run[order]
        keep = np.ones(len(sites), dtype=bool)
        keep[1:] = (sites[1:] != sites[:-1]) | (run[1:] != run[:-1])
        sites, states, run = sites[keep], states[keep], run[keep]
        offsets = np.searchsorted(run, np.concatenate((run_ids, [run_ids[-1] + 1])))
        # The table holds no alignment: a molecule spans its first C to its last G.
        start = sites[offsets[:-1]]
        end = sites[offsets[1:] - 1] + 2
        return molecules_block(np.array(names, dtype=object) if self.names else None, chroms[first].astype(object),
                               strands[first].astype(object), start, end, offsets, sites, states, self.options,
                               self.tally.dropped)


def read_chunks(path, format, options, chunk_size: int = 500_000, names: bool = True):
    """Yields a Piece per chunk of the table; the counts come with the last."""
    pd = require("pandas")
    path = Path(path)
    if not path.is_file():
        raise InputError(f"call table not found: {path}")
    detected = sniff_table_format(path)
    format = format or detected
    if format not in FORMATS:
        raise InputError(f"{path}: not a modkit extract table or a Bismark CpG_context file "
                         f"(format={format!r}; give format='modkit' or 'bismark')")
    tally = Tally()
    molecules = _Molecules(str(path), options, tally, names)
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
                rows = _Rows(chunk, lines, str(path), options.strict, tally)
                parsed = parse(rows, options, tally.dropped, strand)
                yield Piece(molecules.add(parsed), Counter(), 0, [])
    except InputError:
        raise
    except (ValueError, OSError, EOFError, UnicodeDecodeError) as error:
        raise InputError(f"{path}: malformed table after line {line}: {str(error).strip()}") from None
    empty = tuple(np.zeros(0, dtype=t) for t in (object, object, object, np.int64, np.int8, np.int64))
    block = molecules.add(empty, final=True)
    yield Piece(block, tally.dropped, molecules.records, tally.skipped())


def _compression(path):
    with open(path, "rb") as handle:
        return "gzip" if handle.read(2) == b"\x1f\x8b" else None


class _Rows:
    """One chunk of a table and its fields, checked: a row with an unreadable field is left out
    and counted (the first few named), or with `strict` stops the read naming line and field."""

    def __init__(self, chunk, lines, path: str, strict: bool, tally: Tally):
        self.chunk, self.lines, self.path, self.strict, self.tally = chunk, lines, path, strict, tally
        self.bad = np.zeros(len(chunk), dtype=bool)

    def __len__(self):
        return len(self.chunk)

    def has(self, field) -> bool:
        return field in self.chunk.columns

    def text(self, field) -> np.ndarray:
        return self.chunk[field].to_numpy(dtype=object).astype(str)

    def reject(self, bad, field, what) -> None:
        if not bad.any():
            return
        if self.strict:
            i = int(np.argmax(bad))
            raise InputError(f"{self.path}: line {self.lines[i]}: field {field}: {what} "
                             f"({self.chunk.iloc[i][field]!r}), read {self.chunk.iloc[i, 0]!r}")
        new = np.flatnonzero(bad & ~self.bad)
        for i in new[:SKIPPED_SHOWN].tolist():
            self.tally.skip((int(self.lines[i]), 0), "malformed_rows", str(self.chunk.iloc[i, 0]), field,
                            f"line {self.lines[i]}: {what} ({self.chunk.iloc[i][field]!r})")
        self.tally.dropped["malformed_rows"] += max(len(new) - SKIPPED_SHOWN, 0)
        self.bad |= bad

    def column(self, field) -> np.ndarray:
        if field not in self.chunk.columns:
            raise InputError(f"{self.path}: no column {field!r} (columns: {', '.join(map(str, self.chunk.columns))})")
        values = self.text(field)
        self.reject(np.char.str_len(values) == 0, field, "missing")
        return values

    def integers(self, field) -> np.ndarray:
        text = self.column(field)
        bad = ~np.char.isdigit(np.char.lstrip(text, "-")) | (np.char.str_len(text) == 0)
        self.reject(bad, field, "not an integer")
        return np.where(bad, "-1", text).astype(np.int64)

    def probabilities(self, field) -> np.ndarray:
        text = self.text(field)
        try:
            values = text.astype(np.float64)
        except ValueError:
            values = np.array([_as_float(t) for t in text])
        bad = ~((values >= 0) & (values <= 1))
        self.reject(bad, field, "not a probability within 0..1")
        return np.where(bad, np.nan, values)

    def strands(self, field, default) -> np.ndarray:
        if field not in self.chunk.columns:
            return default
        values = self.text(field)
        self.reject(~np.isin(values, ["+", "-", "."]), field, "expected + or -")
        return np.where(values == ".", default, values)


def _as_float(text) -> float:
    try:
        return float(text)
    except ValueError:
        return np.nan


def _modkit_chunk(rows, options, dropped, _strand):
    reads = rows.column("read_id")
    chroms = rows.column("chrom")
    positions = rows.integers("ref_position")
    codes = rows.column("mod_code" if rows.has("mod_code") else "call_code")
    strands = rows.strands("ref_strand", np.full(len(rows), "+"))
    # The strand of the genome holding the modified C; without the column (older tables) the read's.
    mod_strands = rows.strands("ref_mod_strand", strands)
    # Calls of the read's own strand ("+"); duplex reads also hold the other strand's ("-").
    own = rows.strands("mod_strand", np.full(len(rows), "+")) != "-"
    context = _cpg_context(rows)
    codes = np.array([_CHEBI.get(c, c) for c in codes], dtype=object) if np.isin(codes, list(_CHEBI)).any() else codes
    if rows.has("mod_qual"):
        probability = rows.probabilities("mod_qual")
        p_m = np.where(codes == "m", probability, np.nan)
        p_h = np.where(codes == "h", probability, np.nan)
        explicit = True
    elif rows.has("call_prob") or rows.has("call_code"):
        failed = (np.char.lower(rows.text("fail")) == "true" if rows.has("fail") else np.zeros(len(rows), dtype=bool))
        methylated = np.isin(codes, ["m", "h"] if options.include_hmc else ["m"])
        p_m = np.where(failed, np.nan, methylated.astype(np.float64))
        p_h = np.full(len(rows), np.nan)
        explicit = False
    else:
        raise InputError(f"{rows.path}: neither a mod_qual nor a call_code column: not a modkit extract table")
    keep = ~rows.bad & (positions >= 0)  # calls on bases without a reference position are skipped
    dropped["other_strand"] += int(np.count_nonzero(keep & ~own))
    keep &= own
    if context is not None:
        dropped["not_cpg"] += int(np.count_nonzero(keep & ~context))
        keep &= context
    sites = positions - (mod_strands == "-")
    reads, chroms, strands, sites, lines = reads[keep], chroms[keep], strands[keep], sites[keep], rows.lines[keep]
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


def _cpg_context(rows):
    """Whether each call is in a CpG, from its reference k-mer where the table
    has one and its read k-mer elsewhere; None when the table holds neither
    column (a row with neither k-mer is taken as a CpG call)."""
    ref = rows.text("ref_kmer") if rows.has("ref_kmer") else None
    query = rows.text("query_kmer") if rows.has("query_kmer") else None
    if ref is None and query is None:
        return None
    if ref is None:
        from_ref = np.zeros(len(rows), dtype=bool)
    else:
        from_ref = ref != "."  # '.': written without a reference, or a base off the alignment
    out = np.ones(len(rows), dtype=bool)  # no k-mer at all: the calls are taken as CpG calls
    if from_ref.any():
        kmers = ref[from_ref]
        out[from_ref] = _kmer_is_cpg(kmers, np.char.str_len(kmers) // 2)
    rest = ~from_ref
    if query is not None and rest.any():
        kmers = query[rest]
        if rows.has("forward_read_position") and rows.has("read_length"):
            position = rows.integers("forward_read_position")[rest]
            length = rows.integers("read_length")[rest]
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


def _bismark_chunk(rows, options, dropped, strand):
    reads = rows.column("read_id")
    chroms = rows.column("chrom")
    positions = rows.integers("position")
    calls = rows.column("call")
    rows.reject(~np.isin(calls, ["Z", "z"]), "call", "expected Z or z (a CpG context file)")
    rows.reject(positions < 1, "position", "1-based positions start at 1")
    keep = ~rows.bad
    sites = positions - (2 if strand == "-" else 1)
    states = np.where(calls == "Z", METHYLATED, UNMETHYLATED).astype(np.int8)
    return (reads[keep], chroms[keep], np.full(len(rows), strand)[keep], sites[keep], states[keep],
            rows.lines[keep])
