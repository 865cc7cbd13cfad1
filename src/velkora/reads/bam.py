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
* A record whose tags cannot be right (``ML`` shorter or longer than ``MM``
  implies, an ``XM`` not as long as the read) or whose CIGAR does not match
  its sequence is left out and counted (``malformed_tags``,
  ``malformed_cigar``), the first few named in the report; with ``strict``
  it refuses the file instead.

How records become molecules (pairs, regions, blocks) is in ``_assemble``;
the usual records are decoded many at a time in ``_batch`` (modified bases)
and ``_bisulfite``.
"""

from __future__ import annotations

import zlib
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from .._errors import InputError
from ._alignment import (G, HARD_CLIP, NOT_NUMBERS, C, Malformed, MalformedRecord, Z, open_alignments, pysam_quiet,
                         reference_positions, refused_by_htslib, z)
from ._table import METHYLATED, UNMETHYLATED, Options

MODIFIED, BISULFITE = "modified bases", "bisulfite"

# ChEBI codes that may stand for the one-letter modification codes.
_CHEBI = {"27551": "m", "76792": "h"}
_BGZF_EOF = bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")
_SNIFF_RECORDS = 2000


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
    records = bam.fetch(until_eof=True)
    n = refused = 0
    while n < _SNIFF_RECORDS:
        try:
            record = next(records)
        except StopIteration:
            break
        except (OSError, ValueError) as error:
            # A record htslib refuses (its CIGAR does not match its sequence) is the reader's to
            # judge; a few in a row mean a file that is not readable at all.
            refused += 1
            if not refused_by_htslib(error) or refused > 10:
                raise InputError(f"{path}: unreadable record after read {first!r}: {error}") from None
            continue
        n += 1
        first = first or record.query_name
        if record.has_tag("MM") or record.has_tag("Mm"):
            return MODIFIED
        xm = record.get_tag("XM") if record.has_tag("XM") else None
        if isinstance(xm, str):
            return BISULFITE
    if first is None:
        return None
    raise InputError(f"{path}: no methylation tags: neither MM/ML (modified bases) nor XM (bisulfite) in the "
                     f"first {min(n + 1, _SNIFF_RECORDS):,} records (first read {first!r})")


# ---------------------------------------------------------------- one record


def parse_mod_tags(mm: str, ml: np.ndarray) -> dict:
    """The C+ entries of MM/ML by modification code: (mode, ranks of the called
    C bases in the read's original orientation, probabilities). Raises
    MalformedRecord for tags that cannot be right."""
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
            raise MalformedRecord("MM", f"malformed entry {entry[:40]!r}")
        codes = [codes] if codes.isdigit() else list(codes)
        if body:
            if body.translate(NOT_NUMBERS):
                raise MalformedRecord("MM", f"skip counts must be non-negative integers in {entry[:40]!r}")
            skips = np.fromstring(body, dtype=np.int64, sep=",")
            if len(skips) != body.count(",") + 1:
                raise MalformedRecord("MM", f"empty skip count in {entry[:40]!r}")
        else:
            skips = np.empty(0, dtype=np.int64)
        n = len(skips) * len(codes)
        if used + n > len(ml):
            problem = f"MM lists more calls than the {len(ml)} values of ML"
            raise MalformedRecord("MM/ML", problem, f"fields MM/ML disagree: {problem}")
        if head[0] == "C" and head[1] == "+":
            ranks = np.cumsum(skips + 1) - 1
            values = ml[used:used + n].reshape(len(skips), len(codes))
            for j, code in enumerate(codes):
                calls[_CHEBI.get(code, code)] = (mode, ranks, (values[:, j] + 0.5) / 256.0)
        used += n
    if used != len(ml):
        problem = f"MM lists {used} calls, ML holds {len(ml)} values"
        raise MalformedRecord("MM/ML", problem, f"fields MM/ML disagree: {problem}")
    return calls


class RecordReader:
    """Turns one record into (chrom, start, end, strand, sites, state), or a
    drop reason, or a Malformed record (with ``strict``: an InputError)."""

    def __init__(self, path: str, kind: str, options: Options):
        self.path, self.kind, self.options = path, kind, options
        self.fasta = None
        self.checked_contigs = set()
        if options.reference is not None:
            try:
                self.fasta = pysam_quiet().FastaFile(options.reference)
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
        try:
            cigar = record.cigartuples
            if not cigar:
                raise MalformedRecord("CIGAR", "none on a mapped record", reason="malformed_cigar")
            if self.kind == MODIFIED:
                return self._modified(record, bases, cigar)
            return self._bisulfite(record, bases, cigar)
        except MalformedRecord as error:
            if self.options.strict:
                raise InputError(f"{self._where(record)}: {error}") from None
            return Malformed(error.reason, error.field, error.problem)

    def _where(self, record) -> str:
        return f"{self.path}: read {record.query_name!r}"

    def _tag(self, record, *names):
        for name in names:
            if record.has_tag(name):
                return record.get_tag(name)
        return None

    def _modified(self, record, bases, cigar):
        reverse = record.is_reverse
        start, end = record.reference_start, record.reference_end
        try:
            mm = record.get_tag("MM")
        except KeyError:
            mm = self._tag(record, "Mm")
        calls = None
        if mm:
            if len(cigar) > 1 and any(op == HARD_CLIP for op, _ in cigar):
                mn = self._tag(record, "MN")
                if mn is None or mn != len(bases):
                    return "hard_clipped"
            try:
                ml = record.get_tag("ML")
            except KeyError:
                ml = self._tag(record, "Ml")
            ml = np.empty(0, dtype=np.uint8) if ml is None else np.frombuffer(ml, dtype=np.uint8)
            calls = parse_mod_tags(mm, ml)
        # The bases the tags count: C as sequenced, which a reverse read stores as G, last first.
        is_motif = bases == (G if reverse else C)
        if self.fasta is None:
            # Candidates: the read's own CpGs, called on the C (forward) or the stored G (reverse).
            if reverse:
                query = np.flatnonzero((bases[:-1] == C) & is_motif[1:]) + 1
            else:
                query = np.flatnonzero(is_motif[:-1] & (bases[1:] == G))
        else:
            query = np.flatnonzero(is_motif)
        ref = reference_positions(cigar, start, query)
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
            return record.reference_name, start, end, strand, sites, states
        return self._on_reference(record, start, end, strand, sites, states)

    def _probabilities(self, entry, rank, n, record):
        """Probability at each of the read's C bases numbered `rank`; NaN where it has no call."""
        mode, ranks, probabilities = entry
        if len(ranks) and ranks[-1] >= n:
            raise MalformedRecord("MM", f"calls C number {int(ranks[-1]) + 1} of the read, which has {n}")
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

    def _bisulfite(self, record, bases, cigar):
        start, end = record.reference_start, record.reference_end
        xm = self._tag(record, "XM")
        if xm is None:
            calls = np.empty(0, dtype=np.int64)
            codes = np.empty(0, dtype=np.uint8)
        else:
            if not isinstance(xm, str):
                raise MalformedRecord("XM", f"not a string of calls ({xm!r:.40})")
            if len(xm) != len(bases):
                raise MalformedRecord("XM", f"{len(xm)} characters for a read of {len(bases)} bases")
            codes = np.frombuffer(xm.encode("ascii", "replace"), dtype=np.uint8)
            calls = np.flatnonzero((codes == Z) | (codes == z))
        strand = self._converted_strand(record, bases, calls)
        ref = reference_positions(cigar, start, calls)
        aligned = ref >= 0
        sites = ref[aligned] - 1 if strand == "-" else ref[aligned]
        states = np.where(codes[calls[aligned]] == Z, METHYLATED, UNMETHYLATED).astype(np.int8)
        if self.fasta is None:
            return record.reference_name, start, end, strand, sites, states
        return self._on_reference(record, start, end, strand, sites, states)

    def _converted_strand(self, record, bases, calls) -> str:
        xg = self._tag(record, "XG")
        if xg in ("CT", "GA"):
            return "+" if xg == "CT" else "-"
        if len(calls):  # a call stands on a C/T of the top strand, a G/A of the bottom one
            return "-" if bases[calls[0]] in (G, ord("A")) else "+"
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
        cpg = np.flatnonzero((genome[:-1] == C) & (genome[1:] == G)) + low
        call_base = cpg + 1 if strand == "-" else cpg
        sites = cpg[(call_base >= start) & (call_base < end)]
        state = np.zeros(len(sites), dtype=np.int8)
        if states is not None and len(sites):
            at = np.minimum(np.searchsorted(sites, call_sites), len(sites) - 1)
            hit = sites[at] == call_sites
            state[at[hit]] = states[hit]
        return chrom, start, end, strand, sites, state
