"""Modified-base and bisulfite alignments (BAM, CRAM, SAM) to molecules.

Per record the work is a handful of NumPy operations, never a loop over bases:
the CpGs are found on the read's bytes, the ``MM`` skip list becomes the
ranks of the called bases with one cumulative sum, and the CIGAR maps query
to reference positions by a search over its operations' offsets.

Conventions, as the field reads these files:

* An ``ML`` value N is the probability (N + 0.5) / 256. A CpG is methylated
  when its 5mC probability (with ``include_hmc``, 5mC + 5hmC) is at least
  ``threshold``. After ``?`` the bases an ``MM`` entry skips are no-calls;
  after ``.`` or no flag they are unmodified calls. Without a 5mC entry a
  read has no calls.
* Only bases aligned to a reference position count (soft clips and
  insertions do not). A CpG site is known by the forward-strand reference
  position of its C; a reverse read's call sits on the G of the sequence as
  stored, one position to the right.
* Bisulfite: ``Z`` / ``z`` of ``XM`` are methylated / unmethylated CpGs; the
  converted strand comes from ``XG`` (CT: top, GA: bottom). The two mates of a
  pair are one molecule and a CpG seen by both counts once, the first mate's
  call winning (a site the first mate did not call takes the second's).
* Pairs belong to the first mate (flag 0x40). A pair counts once, in the
  region holding its first mate's start; its second mate is fetched by the
  mate position when it starts elsewhere. Mates are paired when both are
  mapped primary records; each mate passes or fails the record filters on
  its own, and the survivors form the molecule.
"""

from __future__ import annotations

import zlib
from itertools import chain
from collections import Counter
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from .._errors import InputError
from .._optional import require
from ._batch import read_batch
from ._table import METHYLATED, UNMETHYLATED, Options, merge_mates, molecule_rows

MODIFIED, BISULFITE = "modified bases", "bisulfite"

_C, _G, _Z, _z = ord("C"), ord("G"), ord("Z"), ord("z")
# CIGAR operations M I D N S H P = X: which consume the query, the reference, and which align.
_QUERY = np.array([1, 1, 0, 0, 1, 0, 0, 1, 1, 0], dtype=bool)
_REFERENCE = np.array([1, 0, 1, 1, 0, 0, 0, 1, 1, 0], dtype=bool)
_ALIGNED = np.array([1, 0, 0, 0, 0, 0, 0, 1, 1, 0], dtype=bool)
_HARD_CLIP = 5
# ChEBI codes that may stand for the one-letter modification codes.
_CHEBI = {"27551": "m", "76792": "h"}
_NOT_NUMBERS = str.maketrans("", "", "0123456789, ")
_BGZF_EOF = bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")
_SNIFF_RECORDS = 2000
# Records decoded together, and the bases they may hold. The per-base arrays are kept from batch
# to batch (_batch.Workspace); the smaller ones made afresh for each batch stay small enough, at a
# megabase, for the allocator to keep their memory instead of giving it back to the system and
# faulting it in again.
_BATCH = 256
_BATCH_BASES = 1_000_000


def _pysam():
    pysam = require("pysam")
    pysam.set_verbosity(0)  # htslib's own warnings; every problem is reported as an InputError instead
    return pysam


# ---------------------------------------------------------------- the file


@dataclass(frozen=True)
class BamInfo:
    path: str
    format: str  # "BAM", "CRAM" or "SAM"
    kind: str | None  # MODIFIED, BISULFITE, or None for a file without records
    has_index: bool
    contigs: tuple  # ((name, length), ...)
    mapped: tuple  # records per contig (from a BAM index; None when unknown)
    unplaced: int  # unmapped records without a position (from the index)


def sniff_alignment_format(path) -> str | None:
    """"BAM", "CRAM" or "SAM" from the file's first bytes, or None."""
    try:
        with open(path, "rb") as handle:
            head = handle.read(65536)
    except OSError as error:
        raise InputError(f"cannot read {path}: {error.strerror}") from None
    if head.startswith(b"CRAM"):
        return "CRAM"
    if head.startswith(b"\x1f\x8b"):
        try:
            text = zlib.decompressobj(31).decompress(head, 64)
        except zlib.error:
            return None
        return "BAM" if text.startswith(b"BAM\x01") else None
    if head.startswith(b"@HD\t") or head.startswith(b"@SQ\t"):
        return "SAM"
    first = head.split(b"\n", 1)[0].split(b"\t")
    if len(first) >= 11 and first[1].isdigit() and first[3].isdigit():
        return "SAM"
    return None


def open_alignments(path, reference=None):
    pysam = _pysam()
    try:
        return pysam.AlignmentFile(str(path), reference_filename=reference)
    except (ValueError, OSError) as error:
        raise InputError(f"{path}: cannot open as BAM/CRAM/SAM: {error}") from None


def inspect(path, reference=None) -> BamInfo:
    """Checks that `path` is a readable alignment file and tells what it holds."""
    path = Path(path)
    if not path.is_file():
        raise InputError(f"alignment file not found: {path}")
    fmt = sniff_alignment_format(path)
    if fmt is None:
        raise InputError(f"{path}: not a BAM, CRAM or SAM file")
    if fmt == "BAM":
        with open(path, "rb") as handle:
            handle.seek(max(0, path.stat().st_size - len(_BGZF_EOF)))
            if handle.read() != _BGZF_EOF:
                raise InputError(f"{path}: truncated BAM (no end-of-file marker); was it copied completely?")
    if fmt == "CRAM" and reference is None:
        raise InputError(f"{path}: a CRAM file needs its reference FASTA to be decoded (--reference)")
    with open_alignments(path, reference) as bam:
        contigs = tuple(zip(bam.references, bam.lengths))
        has_index = fmt != "SAM" and bam.has_index()
        mapped, unplaced = None, 0
        if has_index and fmt == "BAM":  # a CRAM index does not count the records
            stats = {s.contig: s.total for s in bam.get_index_statistics()}
            mapped = tuple(stats.get(name, 0) for name, _ in contigs)
            unplaced = bam.nocoordinate
        kind = _kind(bam, path)
    return BamInfo(str(path), fmt, kind, has_index, contigs, mapped, unplaced)


def _kind(bam, path) -> str | None:
    first = None
    try:
        for n, record in enumerate(bam.fetch(until_eof=True)):
            if n >= _SNIFF_RECORDS:
                break
            first = first or record.query_name
            if record.has_tag("MM") or record.has_tag("Mm"):
                return MODIFIED
            if record.has_tag("XM"):
                return BISULFITE
    except (OSError, ValueError) as error:
        raise InputError(f"{path}: unreadable record after read {first!r}: {error}") from None
    if first is None:
        return None
    raise InputError(f"{path}: no methylation tags: neither MM/ML (modified bases) nor XM (bisulfite) in the "
                     f"first {min(n + 1, _SNIFF_RECORDS):,} records (first read {first!r})")


# ---------------------------------------------------------------- one record


def _reference_positions(cigar, ref_start: int, query: np.ndarray) -> np.ndarray:
    """Reference position of each query position, -1 where it is not aligned."""
    if len(cigar) == 1 and _ALIGNED[cigar[0][0]]:
        return query + ref_start
    ops = np.fromiter(chain.from_iterable(cigar), dtype=np.int64, count=2 * len(cigar)).reshape(-1, 2)
    op, length = ops[:, 0], ops[:, 1]
    query_length = np.where(_QUERY[op], length, 0)
    ref_length = np.where(_REFERENCE[op], length, 0)
    query_offset = np.cumsum(query_length) - query_length
    ref_offset = np.cumsum(ref_length) - ref_length + ref_start
    # The last operation starting at or before each position holds it (zero-length ones never do).
    which = np.searchsorted(query_offset, query, side="right") - 1
    return np.where(_ALIGNED[op[which]], ref_offset[which] + (query - query_offset[which]), -1)


def parse_mod_tags(mm: str, ml: np.ndarray, where: str) -> dict:
    """The C+ entries of MM/ML by modification code: (mode, ranks of the called
    C bases in the read's original orientation, probabilities)."""
    calls = {}
    used = 0
    for entry in mm.split(";"):
        if not entry:
            continue
        head, _, body = entry.partition(",")
        codes, mode = head[2:], ""
        if codes[-1:] in ("?", "."):
            codes, mode = codes[:-1], codes[-1]
        if len(head) < 3 or head[0] not in "ACGTUN" or head[1] not in "+-" or not codes:
            raise InputError(f"{where}: field MM: malformed entry {entry[:40]!r}")
        codes = [codes] if codes.isdigit() else list(codes)
        if body:
            if body.translate(_NOT_NUMBERS):
                raise InputError(f"{where}: field MM: skip counts must be non-negative integers in {entry[:40]!r}")
            skips = np.fromstring(body, dtype=np.int64, sep=",")
            if len(skips) != body.count(",") + 1:
                raise InputError(f"{where}: field MM: empty skip count in {entry[:40]!r}")
        else:
            skips = np.empty(0, dtype=np.int64)
        n = len(skips) * len(codes)
        if used + n > len(ml):
            raise InputError(f"{where}: fields MM/ML disagree: MM lists more calls than the {len(ml)} values of ML")
        if head[0] == "C" and head[1] == "+":
            ranks = np.cumsum(skips + 1) - 1
            values = ml[used:used + n].reshape(len(skips), len(codes))
            for j, code in enumerate(codes):
                calls[_CHEBI.get(code, code)] = (mode, ranks, (values[:, j] + 0.5) / 256.0)
        used += n
    if used != len(ml):
        raise InputError(f"{where}: fields MM/ML disagree: MM lists {used} calls, ML holds {len(ml)} values")
    return calls


class RecordReader:
    """Turns one record into (start, end, strand, sites, state), or a drop reason."""

    def __init__(self, path: str, kind: str, options: Options):
        self.path, self.kind, self.options = path, kind, options
        self.fasta = None
        self.checked_contigs = set()
        if options.reference is not None:
            try:
                self.fasta = _pysam().FastaFile(options.reference)
            except (OSError, ValueError) as error:
                raise InputError(f"{options.reference}: cannot open as an indexed FASTA: {error}") from None

    def close(self):
        if self.fasta is not None:
            self.fasta.close()

    def drop_reason(self, record) -> str | None:
        """Why a mapped record is left out, or None."""
        o = self.options
        if record.is_secondary and not o.keep_secondary:
            return "secondary"
        if record.is_supplementary and not o.keep_supplementary:
            return "supplementary"
        if record.is_qcfail and not o.keep_qcfail:
            return "qc_fail"
        if record.is_duplicate and not o.keep_duplicates:
            return "duplicate"
        if record.mapping_quality < o.min_mapq:
            return "low_mapq"
        return None

    def read(self, record):
        seq = record.query_sequence
        if not seq:
            return "no_sequence"
        bases = np.frombuffer(seq.encode("ascii"), dtype=np.uint8)
        if self.kind == MODIFIED:
            return self._modified(record, bases)
        return self._bisulfite(record, bases)

    def _where(self, record) -> str:
        return f"{self.path}: read {record.query_name!r}"

    def _tag(self, record, *names):
        for name in names:
            if record.has_tag(name):
                return record.get_tag(name)
        return None

    def _modified(self, record, bases):
        reverse = record.is_reverse
        start, end = record.reference_start, record.reference_end
        cigar = record.cigartuples
        try:
            mm = record.get_tag("MM")
        except KeyError:
            mm = self._tag(record, "Mm")
        calls = None
        if mm:
            if len(cigar) > 1 and any(op == _HARD_CLIP for op, _ in cigar):
                mn = self._tag(record, "MN")
                if mn is None or mn != len(bases):
                    return "hard_clipped"
            try:
                ml = record.get_tag("ML")
            except KeyError:
                ml = self._tag(record, "Ml")
            ml = np.empty(0, dtype=np.uint8) if ml is None else np.frombuffer(ml, dtype=np.uint8)
            calls = parse_mod_tags(mm, ml, self._where(record))
        # The bases the tags count: C as sequenced, which a reverse read stores as G, last first.
        is_motif = bases == (_G if reverse else _C)
        if self.fasta is None:
            # Candidates: the read's own CpGs, called on the C (forward) or the stored G (reverse).
            if reverse:
                query = np.flatnonzero((bases[:-1] == _C) & is_motif[1:]) + 1
            else:
                query = np.flatnonzero(is_motif[:-1] & (bases[1:] == _G))
        else:
            query = np.flatnonzero(is_motif)
        ref = _reference_positions(cigar, start, query)
        strand = "-" if reverse else "+"
        if calls is None or "m" not in calls or len(query) == 0:
            states = np.zeros(len(query), dtype=np.int8)
        else:
            # Rank of each candidate among the motif bases: the motif bases before it, segment by segment.
            counts = np.add.reduceat(is_motif.view(np.uint8), query, dtype=np.int64)
            n = int(counts.sum()) + int(np.count_nonzero(is_motif[:query[0]]))
            rank = np.cumsum(counts) - counts + (n - int(counts.sum()))
            if reverse:
                rank = n - 1 - rank
            p = self._probabilities(calls["m"], rank, n, record)
            if self.options.include_hmc and "h" in calls:
                hmc = self._probabilities(calls["h"], rank, n, record)
                p = p + np.where(np.isnan(hmc), 0.0, hmc)
            states = (p >= self.options.threshold).astype(np.int8)
            states += 1
            states[np.isnan(p)] = 0
        aligned = ref >= 0
        if not aligned.all():
            ref, states = ref[aligned], states[aligned]
        sites = ref - 1 if reverse else ref
        if self.fasta is None:
            return start, end, strand, sites, states
        return self._on_reference(record, start, end, strand, sites, states)

    def _probabilities(self, entry, rank, n, record):
        """Probability at each of the read's C bases numbered `rank`; NaN where it has no call."""
        mode, ranks, probabilities = entry
        if len(ranks) and ranks[-1] >= n:
            raise InputError(f"{self._where(record)}: field MM: calls C number {int(ranks[-1]) + 1} of the read, "
                             f"which has {n}")
        if len(ranks) == 0:
            return np.full(len(rank), np.nan if mode == "?" else 0.0)
        if len(ranks) == len(rank):  # the usual file: a call on every candidate, nothing else
            if np.array_equal(ranks, rank):
                return probabilities
            if np.array_equal(ranks, rank[::-1]):
                return probabilities[::-1]
        at = np.searchsorted(ranks, rank)
        np.minimum(at, len(ranks) - 1, out=at)
        return np.where(ranks[at] == rank, probabilities[at], np.nan if mode == "?" else 0.0)

    def _bisulfite(self, record, bases):
        start, end = record.reference_start, record.reference_end
        xm = self._tag(record, "XM")
        if xm is None:
            calls = np.empty(0, dtype=np.int64)
            codes = np.empty(0, dtype=np.uint8)
        else:
            if len(xm) != len(bases):
                raise InputError(f"{self._where(record)}: field XM: {len(xm)} characters for a read of "
                                 f"{len(bases)} bases")
            codes = np.frombuffer(xm.encode("ascii"), dtype=np.uint8)
            calls = np.flatnonzero((codes == _Z) | (codes == _z))
        strand = self._converted_strand(record, bases, calls)
        ref = _reference_positions(record.cigartuples, start, calls)
        aligned = ref >= 0
        sites = ref[aligned] - 1 if strand == "-" else ref[aligned]
        states = np.where(codes[calls[aligned]] == _Z, METHYLATED, UNMETHYLATED).astype(np.int8)
        if self.fasta is None:
            return start, end, strand, sites, states
        return self._on_reference(record, start, end, strand, sites, states)

    def _converted_strand(self, record, bases, calls) -> str:
        xg = self._tag(record, "XG")
        if xg in ("CT", "GA"):
            return "+" if xg == "CT" else "-"
        if len(calls):  # a call stands on a C/T of the top strand, a G/A of the bottom one
            return "-" if bases[calls[0]] in (_G, ord("A")) else "+"
        return "-" if record.is_reverse else "+"

    def _on_reference(self, record, start, end, strand, call_sites, states):
        """All reference CpGs of the span (their call base within it), with the read's calls on them."""
        chrom = record.reference_name
        if chrom not in self.checked_contigs:
            if chrom not in self.fasta.references:
                raise InputError(f"{self.options.reference}: no contig {chrom!r} (read {record.query_name!r}, "
                                 f"field RNAME of {self.path})")
            self.checked_contigs.add(chrom)
        low = max(start - 1, 0)
        genome = np.frombuffer(self.fasta.fetch(chrom, low, end + 1).upper().encode("ascii"), dtype=np.uint8)
        cpg = np.flatnonzero((genome[:-1] == _C) & (genome[1:] == _G)) + low
        call_base = cpg + 1 if strand == "-" else cpg
        sites = cpg[(call_base >= start) & (call_base < end)]
        state = np.zeros(len(sites), dtype=np.int8)
        if states is not None and len(sites):
            at = np.minimum(np.searchsorted(sites, call_sites), len(sites) - 1)
            hit = sites[at] == call_sites
            state[at[hit]] = states[hit]
        return start, end, strand, sites, state


# ---------------------------------------------------------------- records to molecules


class Assembler:
    """Records in file order to molecule rows in the order of their owning
    record (a single read, or a pair's first mate), pairs merged.

    `owns_first_mate(record)` tells a second mate whether its first mate is in
    the same stream (else another region owns the pair and it is skipped);
    `fetch_mate(record)` finds a missing second mate at the end.
    """

    def __init__(self, reader: RecordReader, dropped: Counter, owns_first_mate=None, fetch_mate=None):
        self.reader, self.dropped = reader, dropped
        self.owns_first_mate, self.fetch_mate = owns_first_mate, fetch_mate
        self.slots: list = []  # rows per owning record, None while its pair waits for its mate
        self.flushed = 0  # slots already handed out
        self.waiting_first: dict = {}  # name -> (slot, first mate's molecule part)
        self.waiting_second: dict = {}  # name -> second mate's molecule part
        self.records = 0

    def _part(self, record, count: bool, outcome=None):
        reason = self.reader.drop_reason(record)
        if reason is None:
            part = self.reader.read(record) if outcome is None else outcome
            if not isinstance(part, str):
                return part
            reason = part
        if count:
            self.dropped[reason] += 1
        return None

    def add(self, record, outcome=None) -> None:
        """Takes the next record; `outcome` is reader.read(record) when already computed."""
        self.records += 1
        if record.is_unmapped:
            self.dropped["unmapped"] += 1
            return
        if not (record.is_paired and not record.mate_is_unmapped and record.is_read1 != record.is_read2
                and not record.is_secondary and not record.is_supplementary):
            self._emit(len(self.slots), record.query_name, record.reference_name,
                       self._part(record, True, outcome))
            return
        name = record.query_name
        if record.is_read1:
            slot = len(self.slots)
            self.slots.append(None)
            part = self._part(record, True, outcome)
            if name in self.waiting_second:
                self._emit(slot, name, record.reference_name, merge_mates(part, self.waiting_second.pop(name)[0]))
            else:
                self.waiting_first[name] = (slot, part, record)
            return
        if self.owns_first_mate is not None and not self.owns_first_mate(record):
            self._part_reason_only(record)
            return
        part = self._part(record, True, outcome)
        if name in self.waiting_first:
            slot, first, first_record = self.waiting_first.pop(name)
            self._emit(slot, name, first_record.reference_name, merge_mates(first, part))
        else:
            self.waiting_second[name] = (part, record)

    def _part_reason_only(self, record):
        """Counts a second mate's drop reason where its record lies, without reading its calls."""
        reason = self.reader.drop_reason(record)
        if reason is not None:
            self.dropped[reason] += 1

    def _emit(self, slot: int, name: str, chrom: str, part) -> None:
        rows = [] if part is None else molecule_rows(name, chrom, part[2], part[0], part[1], part[3], part[4],
                                                     self.reader.options, self.dropped)
        if slot == len(self.slots):
            self.slots.append(rows)
        else:
            self.slots[slot] = rows

    def ready(self) -> list:
        """Rows of the molecules complete so far that no waiting pair precedes."""
        out = []
        while self.flushed < len(self.slots) and self.slots[self.flushed] is not None:
            out.extend(self.slots[self.flushed])
            self.slots[self.flushed] = ()  # keep indices stable, free the rows
            self.flushed += 1
        return out

    def finish(self) -> list:
        """Completes the pairs still waiting: second mates fetched where they start, lone mates alone."""
        for name, (slot, first, record) in list(self.waiting_first.items()):
            second = None
            if self.fetch_mate is not None:
                mate = self.fetch_mate(record)
                if mate is not None:
                    second = self._part(mate, False)
            self._emit(slot, name, record.reference_name, merge_mates(first, second))
        self.waiting_first.clear()
        for name, (part, record) in list(self.waiting_second.items()):
            self._emit(len(self.slots), name, record.reference_name, part)
        self.waiting_second.clear()
        return self.ready()


class _Batches:
    """Splits records into lists of at most _BATCH consecutive records holding at most
    _BATCH_BASES bases (a longer record alone); remembers the last record's name, which an
    error of the file after it names."""

    def __init__(self):
        self.last = None

    def of(self, records):
        batch, bases = [], 0
        for record in records:
            self.last = record.query_name
            length = record.query_length
            if batch and (len(batch) == _BATCH or bases + length > _BATCH_BASES):
                yield batch
                batch, bases = [], 0
            batch.append(record)
            bases += length
        if batch:
            yield batch


def _feed(assembler, reader, batch) -> None:
    """Hands a batch of records to the assembler, the usual modified-base reads decoded together."""
    if reader.kind == MODIFIED and reader.fasta is None and len(batch) > 1:
        for record, outcome in zip(batch, read_batch(reader, batch)):
            assembler.add(record, outcome)
    else:
        for record in batch:
            assembler.add(record)


def region_rows(path: str, kind: str, options: Options, region) -> tuple[list, Counter, int]:
    """Rows, drop counts and record count of the records starting in `region`
    (chrom, start, end) of an indexed file."""
    dropped = Counter()
    reader = RecordReader(path, kind, options)
    bam = open_alignments(path, options.reference)
    mates = None
    batches = _Batches()
    try:
        chrom, low, high = region
        tid = bam.get_tid(chrom)

        def owns_first_mate(record):
            return record.next_reference_id == tid and low <= record.next_reference_start < high

        def fetch_mate(record):
            nonlocal mates
            if mates is None:
                mates = open_alignments(path, options.reference)
            position = record.next_reference_start
            for mate in mates.fetch(record.next_reference_name, position, position + 1):
                if (mate.query_name == record.query_name and mate.is_read2 and not mate.is_secondary
                        and not mate.is_supplementary and mate.reference_start == position):
                    return mate
            return None

        assembler = Assembler(reader, dropped, owns_first_mate, fetch_mate)
        # Records starting in an earlier region belong to it.
        records = (record for record in bam.fetch(chrom, low, high) if record.reference_start >= low)
        for batch in batches.of(records):
            _feed(assembler, reader, batch)
        return assembler.finish(), dropped, assembler.records
    except (OSError, ValueError) as error:
        raise _unreadable(path, batches.last, error) from None
    finally:
        bam.close()
        if mates is not None:
            mates.close()
        reader.close()


def _unreadable(path: str, last: str | None, error: Exception) -> InputError:
    """What a failed read of the file tells the user: our own InputError as it
    is, htslib's errors with the file and the last good read."""
    if isinstance(error, InputError):
        return error
    return InputError(f"{path}: unreadable record after read {last!r} (truncated or corrupt file?): {error}")


def stream_rows(path: str, kind: str, options: Options, flush_every: int = 20000):
    """(rows, dropped, records) pieces of a whole file read in order, for files without an index."""
    dropped = Counter()
    reader = RecordReader(path, kind, options)
    bam = open_alignments(path, options.reference)
    batches = _Batches()
    try:
        assembler = Assembler(reader, dropped)
        pending = 0
        for batch in batches.of(bam.fetch(until_eof=True)):
            _feed(assembler, reader, batch)
            pending += len(batch)
            if pending >= flush_every:
                pending = 0
                rows = assembler.ready()
                if rows:
                    yield rows, Counter(), 0
        rows = assembler.finish()
        yield rows, dropped, assembler.records
    except (OSError, ValueError) as error:
        raise _unreadable(path, batches.last, error) from None
    finally:
        bam.close()
        reader.close()

