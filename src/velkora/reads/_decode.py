"""The bulk work on a batch of bisulfite records: their XM calls and CIGARs
decoded for all records at once, and the sites of the records of many
molecules merged by one sort. (The batches and the pairing are _bisulfite's.)"""

from __future__ import annotations

from collections import Counter

import numpy as np

from .._errors import InputError
from ._alignment import ALIGNED, QUERY, REFERENCE, Z, z
from .blocks import molecules_block

NO_SEQUENCE, MALFORMED_TAGS, MALFORMED_CIGAR = 1, 2, 3  # what decoding a record gave (0: its calls)
_REVERSE = 0x10
_STRANDS = np.array(["+", "-"], dtype=object)


def decode(batch, n, at, starts, lengths, cigars, xms, xgs, missing, path: str, strict: bool) -> None:
    """Fills in the batch's spans, strands, outcomes and calls; `at` are the records that passed
    the filters, with their fields in the lists."""
    start = batch.start = starts
    batch.end = starts.copy()
    batch.strand = np.zeros(n, dtype=np.int8)
    batch.outcome = np.zeros(n, dtype=np.int8)
    batch.problems = {}
    batch.site_at = np.zeros(n + 1, dtype=np.int64)
    batch.sites = np.zeros(0, dtype=np.int64)
    batch.states = np.zeros(0, dtype=np.int8)
    m = len(at)
    if m == 0:
        return
    start = start[at]
    length = np.array(lengths, dtype=np.int64)
    outcome = np.zeros(m, dtype=np.int8)
    problems = {}
    xms.append("")  # for a tab after the last one
    try:
        text = "\t".join(xms)
    except TypeError:
        for i, xm in enumerate(xms):
            if not isinstance(xm, str):
                problems[i] = ("XM", f"not a string of calls ({xm!r:.40})")
                xms[i] = ""
        text = "\t".join(xms)
    # One buffer of all the XM strings, each followed by a tab (never part of a SAM field).
    codes = _bytes(text)
    xm_end = np.flatnonzero(codes == 9)
    xm_start = np.empty(m, dtype=np.int64)
    xm_start[0] = 0
    xm_start[1:] = xm_end[:-1] + 1
    xm_length = xm_end - xm_start
    bad = np.flatnonzero((xm_length != length) & (length > 0))
    if len(bad):
        absent = set(missing)
        for i in bad.tolist():
            if i not in absent and i not in problems:
                problems[i] = ("XM", f"{xm_length[i]} characters for a read of {length[i]} bases")
    for i in problems:
        outcome[i] = MALFORMED_TAGS
    n_ops, op, op_length = _cigar_operations(cigars, m, length)
    for i in np.flatnonzero(n_ops == 0).tolist():
        problems[i] = ("CIGAR", "none on a mapped record")
        outcome[i] = MALFORMED_CIGAR
    outcome[length == 0] = NO_SEQUENCE
    if strict:
        malformed = np.flatnonzero(outcome > NO_SEQUENCE)
        if len(malformed):
            i = int(malformed[0])
            field, problem = problems[i]
            raise InputError(f"{path}: read {batch.names[at[i]]!r}: field {field}: {problem}")
    usable = outcome == 0

    # The calls: Z and z of the XM strings (the only codes that are z once lower-cased), as
    # (record, query position).
    found = np.flatnonzero((codes | 32) == z)
    rid = np.searchsorted(xm_end, found)
    query = found - xm_start[rid]
    called = usable[rid]
    found, rid, query = found[called], rid[called], query[called]
    state = np.where(codes[found] == Z, 2, 1).astype(np.int8)

    # Reference spans and positions: straight for one-operation alignments, else by the CIGAR.
    first_op = np.cumsum(n_ops) - n_ops
    has_ops = n_ops > 0
    on_reference = np.where(REFERENCE[op], op_length, 0)
    span = np.zeros(m, dtype=np.int64)
    if len(op):
        span[has_ops] = np.add.reduceat(on_reference, first_op[has_ops])
    end = start + span
    if len(op):
        simple = has_ops & (n_ops == 1) & ALIGNED[op[np.minimum(first_op, len(op) - 1)]]
    else:
        simple = np.zeros(m, dtype=bool)
    ref = start[rid] + query
    complex_call = ~simple[rid]
    if complex_call.any():
        op_record = np.repeat(np.arange(m), n_ops)
        on_query = np.where(QUERY[op], op_length, 0)
        query_before = np.cumsum(on_query) - on_query
        ref_before = np.cumsum(on_reference) - on_reference
        query_at = query_before - query_before[first_op[op_record]]
        ref_at = ref_before - ref_before[first_op[op_record]]
        # The last operation starting at or before each position holds it (zero-length ones never do).
        key = op_record * (1 << 32) + query_at
        c_rid, c_query = rid[complex_call], query[complex_call]
        which = np.searchsorted(key, c_rid * (1 << 32) + c_query, side="right") - 1
        which = np.maximum(which, 0)
        aligned = (op_record[which] == c_rid) & ALIGNED[op[which]]
        ref[complex_call] = np.where(aligned, start[c_rid] + ref_at[which] + (c_query - query_at[which]), -1)

    # The converted strand: XG (CT top, GA bottom), else the read's base at its first call (a C/T
    # of the top strand, a G/A of the bottom one), else the alignment's.
    xg = np.array(xgs, dtype=object)
    bottom = xg == "GA"
    unknown = np.flatnonzero(~bottom & (xg != "CT"))
    if len(unknown):
        first_call = np.searchsorted(rid, unknown)
        for i, f in zip(unknown.tolist(), first_call.tolist()):
            if f < len(rid) and rid[f] == i:
                bottom[i] = batch.unusual[int(at[i])].query_sequence[query[f]] in "GA"
            else:
                bottom[i] = bool(batch.flags[at[i]] & _REVERSE)
    bottom = bottom.astype(bool)
    site = ref - bottom[rid]
    aligned = ref >= 0
    rid, site, state = rid[aligned], site[aligned], state[aligned]

    batch.end[at] = end
    batch.strand[at] = bottom
    batch.outcome[at] = outcome
    batch.problems = {int(at[i]): problem for i, problem in problems.items()}
    counts = np.bincount(at[rid], minlength=n)
    np.cumsum(counts, out=batch.site_at[1:])
    batch.sites, batch.states = site, state


# CIGAR operation letters to their codes (M I D N S H P = X), -1 for anything else.
_OPERATION = np.full(256, -1, dtype=np.int64)
for _code, _letter in enumerate("MIDNSHP=X"):
    _OPERATION[ord(_letter)] = _code
_POWERS = 10 ** np.arange(19, dtype=np.int64)


def _bytes(text: str) -> np.ndarray:
    """The bytes of a text, one per character (non-ASCII ones as '?')."""
    try:
        return np.frombuffer(text.encode("ascii"), dtype=np.uint8)
    except UnicodeEncodeError:
        return np.frombuffer(text.encode("ascii", "replace"), dtype=np.uint8)


def _cigar_operations(cigars, m: int, length: np.ndarray):
    """(operations per record, their codes, their lengths) of `m` CIGAR strings of reads of
    `length` bases, parsed all at once (pysam builds a CIGAR's string for a third of what its list
    of tuples costs). A one-operation CIGAR is known by its length alone: its number is the read's
    length (htslib refuses a CIGAR that does not cover the read), written in digits(length) + 1
    characters, and every CIGAR of several operations is longer than that."""
    try:
        joined = "\t".join(cigars)
    except TypeError:  # a record without a CIGAR
        cigars = [c or "" for c in cigars]
        joined = "\t".join(cigars)
    ends = np.flatnonzero(_bytes(joined + "\t") == 9)
    characters = np.diff(ends, prepend=-1) - 1
    single = (characters == np.searchsorted(_POWERS, length, side="right") + 1) & (length > 0)
    if single.all():
        last = _bytes(joined)[ends - 1]
        return np.ones(m, dtype=np.int64), np.maximum(_OPERATION[last], 0), length.copy()
    several = np.flatnonzero(~single)
    text = _bytes("\t".join([cigars[i] for i in several.tolist()]) + "\t")
    separators = np.flatnonzero(text == 9)
    letters = np.flatnonzero(text > 57)
    record = several[np.searchsorted(separators, letters)]
    # Each digit counts its power of ten by its distance to the letter after it.
    digits = np.flatnonzero((text >= 48) & (text <= 57))
    of = np.minimum(np.searchsorted(letters, digits), max(len(letters) - 1, 0))
    value = (text[digits].astype(np.int64) - 48) * _POWERS[np.clip(letters[of] - digits - 1, 0, 18)] \
        if len(letters) else np.zeros(0, dtype=np.int64)
    parsed = np.bincount(of, weights=value, minlength=len(letters)).astype(np.int64)[:len(letters)]
    n_ops = np.where(single, 1, 0)
    n_ops[several] = np.bincount(record, minlength=m)[several]
    # All operations in record order: the one of each single record among the parsed ones.
    order_record = np.concatenate((np.flatnonzero(single), record))
    order_op = np.concatenate((_OPERATION[_bytes(joined + "\t")[ends[single] - 1]], _OPERATION[text[letters]]))
    order_length = np.concatenate((length[single], parsed))
    order = np.argsort(order_record, kind="stable")
    return n_ops, np.maximum(order_op[order], 0), order_length[order]


def merge(parts, chroms, names: bool, options, dropped: Counter):
    """The molecules of contributions (batch, record indices, molecule numbers, ranks): each
    molecule's span the union of its records', its strand, contig and name its first mate's, a
    site seen by two records once with the first mate's call (unless it has none there)."""
    number = np.concatenate([p[2] for p in parts])
    rank = np.concatenate([np.broadcast_to(np.asarray(p[3], dtype=np.int64), p[1].shape) for p in parts])
    start = np.concatenate([p[0].start[p[1]] for p in parts])
    end = np.concatenate([p[0].end[p[1]] for p in parts])
    strand = np.concatenate([p[0].strand[p[1]] for p in parts])
    tid = np.concatenate([p[0].tid[p[1]] for p in parts])
    name = np.concatenate([np.array(p[0].names, dtype=object)[p[1]] for p in parts]) if names else None
    # The sites of each contribution, gathered part by part.
    counts, sites, states = [], [], []
    for batch, js, _, _ in parts:
        at, to = batch.site_at[js], batch.site_at[js + 1]
        count = to - at
        picked = np.repeat(at - (np.cumsum(count) - count), count) + np.arange(int(count.sum()))
        counts.append(count)
        sites.append(batch.sites[picked])
        states.append(batch.states[picked])
    count = np.concatenate(counts)
    site = np.concatenate(sites)
    state = np.concatenate(states)

    order_key = number * 2 + rank
    if len(order_key) > 1 and not (np.diff(order_key) > 0).all():
        order = np.argsort(order_key, kind="stable")
        number, rank, start, end, strand, tid = number[order], rank[order], start[order], end[order], \
            strand[order], tid[order]
        if name is not None:
            name = name[order]
        offset = np.cumsum(count) - count
        count = count[order]
        picked = np.repeat(offset[order] - (np.cumsum(count) - count), count) + np.arange(int(count.sum()))
        site, state = site[picked], state[picked]
    new = np.ones(len(number), dtype=bool)
    new[1:] = number[1:] != number[:-1]
    first = np.flatnonzero(new)
    molecule_of = np.cumsum(new) - 1
    n_molecules = len(first)
    mol_start = np.minimum.reduceat(start, first)
    mol_end = np.maximum.reduceat(end, first)
    site_molecule = np.repeat(molecule_of, count)
    if n_molecules < len(number):
        # Mates merged: one sort of (molecule, site, priority, state) keys, then the first of each site.
        site_rank = np.repeat(rank, count)
        priority = np.where(state > 0, site_rank, 2)
        key = (site_molecule << 36) | ((site + 1) << 4) | (priority << 2) | state.astype(np.int64)
        key.sort()
        keep = np.ones(len(key), dtype=bool)
        keep[1:] = (key[1:] >> 4) != (key[:-1] >> 4)
        key = key[keep]
        site_molecule = key >> 36
        site = ((key >> 4) & 0xFFFFFFFF) - 1
        state = (key & 3).astype(np.int8)
    offsets = np.searchsorted(site_molecule, np.arange(n_molecules + 1))
    return molecules_block(None if name is None else name[first], chroms[tid[first]], _STRANDS[strand[first]],
                           mol_start, mol_end, offsets, site, state, options, dropped)
