"""What every alignment reader shares: the base and CIGAR codes, query to
reference positions, how a record's problems are reported, and what to make
of a record htslib refuses to decode."""

from __future__ import annotations

import struct
import zlib
from itertools import chain
from typing import NamedTuple

import numpy as np

from .._errors import InputError

C, G, A = ord("C"), ord("G"), ord("A")
Z, z = ord("Z"), ord("z")
# CIGAR operations M I D N S H P = X: which consume the query, the reference, and which align.
QUERY = np.array([1, 1, 0, 0, 1, 0, 0, 1, 1, 0], dtype=bool)
REFERENCE = np.array([1, 0, 1, 1, 0, 0, 0, 1, 1, 0], dtype=bool)
ALIGNED = np.array([1, 0, 0, 0, 0, 0, 0, 1, 1, 0], dtype=bool)
MATCH, HARD_CLIP, EQUAL, DIFFERENT = 0, 5, 7, 8
NOT_NUMBERS = str.maketrans("", "", "0123456789, ")


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
    """A record htslib would not decode, met while iterating a file."""

    name: str
    tid: int
    pos: int
    field: str
    problem: str


def unreadable(path: str, last: str | None, error: Exception) -> InputError:
    """What a failed read of the file tells the user: our own InputError as it
    is, htslib's errors with the file and the last good read."""
    if isinstance(error, InputError):
        return error
    return InputError(f"{path}: unreadable record after read {last!r} (truncated or corrupt file?): {error}")


def refused_record(path: str, bam, offset: int, last: str | None, error: Exception, strict: bool) -> Refused:
    """The record that made iterating `bam` fail, when it is whole but its CIGAR
    does not match its sequence (htslib refuses such a record; the file goes on
    after it). `offset` is a virtual offset at or before it. Anything else (a
    corrupt or truncated file, a CRAM or SAM file) is the InputError of an
    unreadable file, as is a refused record with `strict`."""
    if not (isinstance(error, OSError) and "error -4" in str(error)) or bam.format != "BAM":
        raise unreadable(path, last, error)
    found = _record_at(path, _failing_offset(bam, offset))
    if found is None:
        raise unreadable(path, last, error)
    name, tid, pos, sequence_length, cigar_bases = found
    problem = f"covers {cigar_bases} bases of a {sequence_length}-base sequence"
    if strict:
        raise InputError(f"{path}: read {name!r}: field CIGAR: {problem}")
    return Refused(name, tid, pos, "CIGAR", problem)


def _failing_offset(bam, offset: int) -> int | None:
    """The virtual offset of the first record from `offset` on that htslib refuses."""
    from .bam import open_alignments  # noqa: PLC0415 - the reader of files imports this module

    with open_alignments(bam.filename.decode()) as again:
        again.seek(offset)
        while True:
            at = again.tell()
            try:
                next(again)
            except StopIteration:
                return None
            except (OSError, ValueError):
                return at


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
