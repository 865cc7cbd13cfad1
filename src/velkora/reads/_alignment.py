"""What every alignment reader shares: the base and CIGAR codes, query to
reference positions, how a record's problems are reported, and what to make
of a record htslib refuses to decode."""

from __future__ import annotations

import re
import struct
import zlib
from itertools import chain
from typing import NamedTuple

import numpy as np

from .._errors import InputError
from .._optional import require

C, G, A = ord("C"), ord("G"), ord("A")
Z, z = ord("Z"), ord("z")
# CIGAR operations M I D N S H P = X: which consume the query, the reference, and which align.
QUERY = np.array([1, 1, 0, 0, 1, 0, 0, 1, 1, 0], dtype=bool)
REFERENCE = np.array([1, 0, 1, 1, 0, 0, 0, 1, 1, 0], dtype=bool)
ALIGNED = np.array([1, 0, 0, 0, 0, 0, 0, 1, 1, 0], dtype=bool)
MATCH, HARD_CLIP, EQUAL, DIFFERENT = 0, 5, 7, 8
NOT_NUMBERS = str.maketrans("", "", "0123456789, ")
# Records between remembered file offsets, from which a refused record is found again.
_OFFSET_EVERY = 256


def pysam_quiet():
    pysam = require("pysam")
    pysam.set_verbosity(0)  # htslib's own warnings; every problem is reported as an InputError instead
    return pysam


def open_alignments(path, reference=None):
    pysam = pysam_quiet()
    try:
        return pysam.AlignmentFile(str(path), reference_filename=reference)
    except (ValueError, OSError) as error:
        raise InputError(f"{path}: cannot open as BAM/CRAM/SAM: {error}") from None


def reference_positions(cigar, ref_start: int, query: np.ndarray) -> np.ndarray:
    """Reference position of each query position, -1 where it is not aligned."""
    if len(cigar) == 1 and ALIGNED[cigar[0][0]]:
        return query + ref_start
    ops = np.fromiter(chain.from_iterable(cigar), dtype=np.int64, count=2 * len(cigar)).reshape(-1, 2)
    op, length = ops[:, 0], ops[:, 1]
    query_length = np.where(QUERY[op], length, 0)
    ref_length = np.where(REFERENCE[op], length, 0)
    query_offset = np.cumsum(query_length) - query_length
    ref_offset = np.cumsum(ref_length) - ref_length + ref_start
    # The last operation starting at or before each position holds it (zero-length ones never do).
    which = np.searchsorted(query_offset, query, side="right") - 1
    return np.where(ALIGNED[op[which]], ref_offset[which] + (query - query_offset[which]), -1)


class MalformedRecord(Exception):
    """A record's tags or CIGAR that cannot be right. Raised by the decoders and
    always caught by the reader, where it becomes a skipped record (counted as
    `reason`) or, with ``strict``, the InputError naming file, read and field."""

    def __init__(self, field: str, problem: str, message: str | None = None,
                 reason: str = "malformed_tags"):
        super().__init__(message or f"field {field}: {problem}")
        self.field, self.problem, self.reason = field, problem, reason


class Malformed(NamedTuple):
    """A record left out as malformed: what the reader tells the assembler instead of its calls."""

    reason: str  # the drop reason: "malformed_tags" or "malformed_cigar"
    field: str
    problem: str


class Refused(NamedTuple):
    """A record htslib would not decode, met while iterating a file; the records after it
    start at the virtual offset `resume`."""

    name: str
    tid: int
    pos: int
    field: str
    problem: str
    resume: int


def close_quietly(handle) -> None:
    """Closes an alignment file whose reading may have failed: htslib then reports the failure
    again on closing, which must not hide the error that tells what went wrong."""
    if handle is None:
        return
    try:
        handle.close()
    except OSError:
        pass


def unreadable(path: str, last: str | None, error: Exception) -> InputError:
    """What a failed read of the file tells the user: our own InputError as it
    is, htslib's errors with the file and the last good read."""
    if isinstance(error, InputError):
        return error
    # A SAM file is text: what htslib stops at is as often a line it cannot parse as a cut file,
    # and a text file cannot be read on past it as a BAM can.
    why = ("a line htslib cannot parse, such as a CIGAR longer than its sequence, or a truncated file"
           if str(path).lower().endswith(".sam") else "truncated or corrupt file?")
    return InputError(f"{path}: unreadable record after read {last!r} ({why}): {error}")


def refused_by_htslib(error: Exception) -> bool:
    """Whether an error of pysam's iterators is htslib's refusal of one record (its code -4,
    which pysam words as "error -4 while reading file" or "error while reading file ...: -4")."""
    return isinstance(error, OSError) and re.search(r"error -4 |: -4$", str(error)) is not None


def refused_record(path: str, bam, offset, last: str | None, error: Exception, strict: bool,
                   region=None) -> Refused:
    """The record that made iterating `bam` fail, when it is whole but its CIGAR
    does not match its sequence (htslib refuses such a record; the file goes on
    after it). `offset` is a virtual offset at or before it, or None when the
    iterator over `region` (tid, start, end) failed on its first record. Anything
    else (a corrupt or truncated file, a CRAM or SAM file) is the InputError of
    an unreadable file, as is a refused record with `strict`."""
    if not refused_by_htslib(error) or bam.format != "BAM":
        raise unreadable(path, last, error)
    if offset is None:
        offset = _offset_before(bam, region)
    at, resume = _failing_offset(bam, offset)
    found = _record_at(path, at)
    if found is None:
        raise unreadable(path, last, error)
    name, tid, pos, sequence_length, cigar_bases = found
    problem = f"covers {cigar_bases} bases of a {sequence_length}-base sequence"
    if strict:
        raise InputError(f"{path}: read {name!r}: field CIGAR: {problem}")
    return Refused(name, tid, pos, "CIGAR", problem, resume)


def resumed(bam, refused: Refused, region=None):
    """The records after a refused one, read on from it: up to the end of `region` (tid, start,
    end) or of the file. (An iterator of pysam that met an error does not go on.)"""
    bam.seek(refused.resume)
    while True:
        try:
            record = next(bam)
        except StopIteration:
            return
        if region is not None and (record.reference_id != region[0] or record.reference_start >= region[2]):
            return
        yield record


def _offset_before(bam, region) -> int:
    """A virtual offset before the first record an iterator over `region` meets: after the last
    record before it that htslib reads, found in windows reaching further back; or the start of
    the records (the region's first record is the first of its contig)."""
    tid, low, high = region
    contig = bam.get_reference_name(tid)
    with open_alignments(bam.filename.decode()) as again:
        start_of_records = again.tell()
        for back in (10 ** 5, 10 ** 6, 10 ** 7, None):
            start = 0 if back is None else max(low - back, 0)
            at = None
            try:
                for _ in again.fetch(contig, start, high):
                    at = again.tell()
            except (OSError, ValueError):
                if at is not None:
                    return at
            if start == 0:
                break
    return start_of_records


def _failing_offset(bam, offset: int):
    """The virtual offsets of the first record from `offset` on that htslib refuses, and of the
    record after it; (None, None) if there is none."""
    with open_alignments(bam.filename.decode()) as again:
        again.seek(offset)
        while True:
            at = again.tell()
            try:
                next(again)
            except StopIteration:
                return None, None
            except (OSError, ValueError):
                return at, again.tell()


def _record_at(path: str, offset: int | None):
    """(name, tid, pos, sequence length, bases of its CIGAR) of the BAM record at a
    virtual offset, read from the compressed blocks; None unless it is a whole
    record with a readable name whose CIGAR and sequence lengths differ."""
    if offset is None:
        return None
    block_at, within = offset >> 16, offset & 0xFFFF
    with open(path, "rb") as handle:
        handle.seek(block_at)
        compressed = handle.read(1 << 22)
    data = bytearray()
    need = within + 4
    while len(data) < need and compressed:
        member = zlib.decompressobj(31)
        try:
            data += member.decompress(compressed)
        except zlib.error:
            return None
        if not member.eof:
            return None
        compressed = member.unused_data
        if need == within + 4 and len(data) >= need:
            size = int.from_bytes(data[within:within + 4], "little", signed=True)
            if not 32 <= size <= 1 << 21:
                return None
            need += size
    if len(data) < need:
        return None
    record = bytes(data[within + 4:need])
    tid, pos, name_length, _, _, n_cigar, _, sequence_length = struct.unpack_from("<iiBBHHHi", record)
    cigar_at = 32 + name_length
    if name_length < 2 or cigar_at + 4 * n_cigar > len(record):
        return None
    try:
        name = record[32:cigar_at - 1].decode("ascii")
    except UnicodeDecodeError:
        return None
    cigar = np.frombuffer(record, dtype="<u4", count=n_cigar, offset=cigar_at)
    ops = cigar & 0xF
    if (ops > 8).any() or sequence_length <= 0:
        return None
    bases = int((cigar >> 4)[QUERY[ops]].sum())
    if bases == sequence_length:
        return None
    return name, tid, pos, sequence_length, bases


class Records:
    """The records of an iterator over an open file, with those htslib refuses
    to decode (a CIGAR that does not match the sequence) handed out as
    Refused in their place, or stopping the read (``strict``, or a file that
    cannot be read on). Remembers the last good read's name for messages."""

    def __init__(self, path: str, bam, iterator, strict: bool, region=None):
        self.path, self.bam, self.iterator, self.strict = path, bam, iterator, strict
        self.region = region  # (tid, start, end) the iterator reads, or None for the whole file
        self.last = None

    def __iter__(self):
        # A region's iterator finds its first record only when asked for it: until then the file's
        # position says nothing.
        offset, since = (self.bam.tell() if self.region is None else None), 0
        while True:
            try:
                for record in self.iterator:
                    since += 1
                    if since == _OFFSET_EVERY or offset is None:
                        offset, since = self.bam.tell(), 0
                    self.last = record.query_name
                    yield record
                return
            except (OSError, ValueError) as error:
                refused = refused_record(self.path, self.bam, offset, self.last, error, self.strict, self.region)
                self.iterator = resumed(self.bam, refused, self.region)
                offset, since = refused.resume, 0
                yield refused


# Mates wanted at positions this close together are looked for in one pass over the file.
_MATES_GAP = 4096


def mate_finder(path: str, options):
    """fetch_mate(name, contig, position, first=False): the second (or first) mate `name`, found
    at its mate position; fetch_mate.many(wanted): those of many (name, contig, position, first),
    found in one pass over each stretch of the file they lie in (one search per mate would read
    the same compressed block again and again); and a close()."""
    mates = None

    def read(contig, low, high, wanted: dict, found: dict) -> None:
        nonlocal mates
        if mates is None:
            mates = open_alignments(path, options.reference)
        tid = mates.get_tid(contig)
        for mate in Records(path, mates, mates.fetch(contig, low, high), options.strict, (tid, low, high)):
            if isinstance(mate, Refused) or mate.is_secondary or mate.is_supplementary:
                continue  # (a refused one is counted by the region holding it)
            for first, is_it in ((True, mate.is_read1), (False, mate.is_read2)):
                key = (mate.query_name, contig, mate.reference_start, first)
                if is_it and key in wanted and key not in found:
                    found[key] = mate

    def many(wanted) -> dict:
        """{(name, contig, position, first): mate} of those found."""
        wanted = {(name, contig, position, bool(first)): None for name, contig, position, first in wanted}
        found = {}
        by_contig = {}
        for name, contig, position, first in wanted:
            by_contig.setdefault(contig, []).append(position)
        for contig, positions in by_contig.items():
            positions.sort()
            low = high = positions[0]
            for position in positions[1:] + [None]:
                if position is not None and position - high <= _MATES_GAP:
                    high = position
                    continue
                read(contig, low, high + 1, wanted, found)
                if position is not None:
                    low = high = position
        return found

    def fetch(name, contig, position, first: bool = False):
        return many([(name, contig, position, first)]).get((name, contig, position, bool(first)))

    def close():
        if mates is not None:
            close_quietly(mates)

    fetch.many = many
    return fetch, close
