"""Many modified-base reads at once: the usual records (one ``C+m`` entry in
``MM``, CpG context from the reads) are decoded in batches, so that the NumPy
work runs over up to a megabase per call instead of one read's bases.

Anything unusual (other or several modification entries, 5hmC requested,
legacy tag names, hard clips, a reference FASTA, a malformed tag) goes through
the record-by-record reader, which also gives the precise error messages; the
results are the same either way.
"""

from __future__ import annotations

import threading

import numpy as np

from ._alignment import DIFFERENT, EQUAL, HARD_CLIP, MATCH, NOT_NUMBERS, C, G, reference_positions

_per_thread = threading.local()


def _usual(record):
    """(mode, skip list text, ML bytes) of a record the batch can read, else None."""
    try:
        mm = record.get_tag("MM")
        ml = record.get_tag("ML")
    except KeyError:
        return None
    if not mm.startswith("C+m") or mm.find(";") != len(mm) - 1:
        return None
    flag = mm[3]
    if flag in "?.":
        mode, body = flag, mm[4:-1]
    else:
        mode, body = "", mm[3:-1]
    if body and body[0] != ",":
        return None  # several codes or a ChEBI number: the record reader knows them
    return mode, body[1:], ml


def read_batch(reader, records):
    """Outcomes of reader.read for `records` (None where a record is not to be read)."""
    outcomes = [None] * len(records)
    index, seqs, reverse, starts, ends, cigars, modes, bodies, mls, chroms = [], [], [], [], [], [], [], [], [], []
    for i, record in enumerate(records):
        if record.is_unmapped or reader.drop_reason(record) is not None:
            continue
        usual = _usual(record)
        seq = record.query_sequence
        cigar = record.cigartuples
        if usual is None or not seq or not cigar or (len(cigar) > 1 and any(op == HARD_CLIP for op, _ in cigar)):
            outcomes[i] = reader.read(record)
            continue
        index.append(i)
        seqs.append(seq)
        reverse.append(record.is_reverse)
        starts.append(record.reference_start)
        ends.append(record.reference_end)
        cigars.append(cigar)
        modes.append(usual[0])
        bodies.append(usual[1])
        mls.append(usual[2])
        chroms.append(record.reference_name)
    if not index:
        return outcomes
    parts = _decode(reader, seqs, reverse, starts, ends, cigars, modes, bodies, mls, chroms)
    if parts is None:  # a malformed tag somewhere: the record reader finds it and says which
        for i in index:
            outcomes[i] = reader.read(records[i])
        return outcomes
    for i, part in zip(index, parts):
        outcomes[i] = part
    return outcomes


class Workspace:
    """The per-base arrays of a batch, kept from batch to batch (and region to region: one per
    thread): allocated afresh, megabyte arrays go back to the system when freed and fault in again
    page by page for the next batch, which costs a fifth of the time (more when two workers share
    the memory)."""

    def __init__(self):
        self.capacity = 0

    def arrays(self, n_bases: int):
        """(bases, is_c, is_g, scratch) with room for n_bases and a 64-base word more; they hold
        whatever the previous batch left."""
        if n_bases + 64 > self.capacity:
            self.capacity = max(n_bases + 64, self.capacity * 3 // 2)
            self.bases = bytearray(self.capacity)
            self.view = memoryview(self.bases)
            self.is_c = np.zeros(self.capacity, dtype=bool)
            self.is_g = np.zeros(self.capacity, dtype=bool)
            self.scratch = np.zeros(self.capacity, dtype=bool)
        return self.view, self.is_c, self.is_g, self.scratch


def _decode(reader, seqs, reverse, starts, ends, cigars, modes, bodies, mls, chroms):
    n_reads = len(seqs)
    lengths = np.fromiter(map(len, seqs), dtype=np.int64, count=n_reads)
    read_end = np.cumsum(lengths)
    read_start = read_end - lengths
    reverse = np.array(reverse, dtype=bool)
    n_bases = int(read_end[-1])
    workspace = getattr(_per_thread, "workspace", None)
    if workspace is None:
        workspace = _per_thread.workspace = Workspace()
    view, is_c, is_g, scratch = workspace.arrays(n_bases)
    at = 0
    for seq in seqs:
        view[at:at + len(seq)] = seq.encode("ascii")
        at += len(seq)
    bases = np.frombuffer(view, dtype=np.uint8, count=n_bases)
    # Masks padded to whole 64-base words, so that a read's end can be looked up like any position.
    padded = (n_bases // 64 + 1) * 64
    is_c, is_g = is_c[:padded], is_g[:padded]
    np.equal(bases, C, out=is_c[:n_bases])
    np.equal(bases, G, out=is_g[:n_bases])
    is_c[n_bases:] = False
    is_g[n_bases:] = False

    # CpG candidates within a read, called on the C (forward reads) or on the stored G (reverse).
    both = np.logical_and(is_c[:n_bases - 1], is_g[1:n_bases], out=scratch[:n_bases - 1])
    cg = np.flatnonzero(both)
    rid = np.searchsorted(read_end, cg, side="right")
    inside = cg + 1 < read_end[rid]
    cg, rid = cg[inside], rid[inside]
    rev = reverse[rid]
    query = cg + rev

    # Rank of each candidate among its read's motif bases (C as sequenced: stored C or, reversed, G),
    # from counts of motif bases before a position: whole 64-base words, then the bits below it.
    rank = np.empty(len(query), dtype=np.int64)
    n_motif = np.empty(n_reads, dtype=np.int64)
    for mask, chosen_reads, chosen in ((is_c, ~reverse, ~rev), (is_g, reverse, rev)):
        words = np.packbits(mask, bitorder="little").view(np.uint64)
        before_word = np.zeros(len(words) + 1, dtype=np.int64)
        np.cumsum(np.bitwise_count(words), dtype=np.int64, out=before_word[1:])

        def before(x, words=words, before_word=before_word):
            word = x >> 6
            below = np.left_shift(np.uint64(1), (x & 63).astype(np.uint64)) - np.uint64(1)
            return before_word[word] + np.bitwise_count(words[word] & below)

        at_start = before(read_start[chosen_reads])
        n_motif[chosen_reads] = before(read_end[chosen_reads]) - at_start
        if chosen.any():
            r = rid[chosen]
            if mask is is_c:
                rank[chosen] = before(query[chosen]) - before(read_start[r])
            else:
                rank[chosen] = before(read_end[r]) - 1 - before(query[chosen])

    # The skip lists of all reads in one parse; ranks of the called bases read by read.
    text = ",".join(body for body in bodies if body)
    n_calls = np.fromiter((body.count(",") + 1 if body else 0 for body in bodies), dtype=np.int64, count=n_reads)
    if text.translate(NOT_NUMBERS):
        return None
    skips = np.fromstring(text, dtype=np.int64, sep=",") if text else np.empty(0, dtype=np.int64)
    ml = np.frombuffer(b"".join(mls), dtype=np.uint8)
    ml_lengths = np.fromiter(map(len, mls), dtype=np.int64, count=n_reads)
    if len(skips) != n_calls.sum() or not np.array_equal(ml_lengths, n_calls):
        return None
    call_read = np.repeat(np.arange(n_reads), n_calls)
    steps = np.cumsum(skips + 1)
    first = np.cumsum(n_calls) - n_calls
    before_read = np.where(first > 0, steps[np.maximum(first - 1, 0)] if len(steps) else 0, 0)
    call_rank = steps - 1 - np.repeat(before_read, n_calls)
    if len(call_rank) and np.any(call_rank >= n_motif[call_read]):
        return None
    probability = (ml + 0.5) / 256.0

    # Each candidate's call: read and rank as one sorted key.
    call_key = call_read * (1 << 32) + call_rank
    key = rid * (1 << 32) + rank
    implicit = np.array([m != "?" for m in modes], dtype=bool)
    p = np.where(implicit[rid], 0.0, np.nan)
    if len(call_key):
        at = np.minimum(np.searchsorted(call_key, key), len(call_key) - 1)
        hit = call_key[at] == key
        p[hit] = probability[at[hit]]
    states = (p >= reader.options.threshold).astype(np.int8)
    states += 1
    states[np.isnan(p)] = 0

    # Reference positions: straight for one-operation alignments, by the CIGAR otherwise.
    simple = np.fromiter((len(c) == 1 and c[0][0] in (MATCH, EQUAL, DIFFERENT) for c in cigars), dtype=bool,
                         count=n_reads)
    starts_arr = np.array(starts, dtype=np.int64)
    ref = query - read_start[rid] + starts_arr[rid]
    bounds = np.searchsorted(rid, np.arange(n_reads + 1))
    parts = []
    for i in range(n_reads):
        lo, hi = bounds[i], bounds[i + 1]
        if simple[i]:
            r, s = ref[lo:hi], states[lo:hi]
        else:
            r = reference_positions(cigars[i], starts[i], query[lo:hi] - read_start[i])
            aligned = r >= 0
            r, s = r[aligned], states[lo:hi][aligned]
        if reverse[i]:
            parts.append((chroms[i], starts[i], ends[i], "-", r - 1, s))
        else:
            parts.append((chroms[i], starts[i], ends[i], "+", r, s))
    return parts
