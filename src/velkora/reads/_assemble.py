"""Records to molecules: pairs, regions, and the blocks handed out per piece.

A pair belongs to its first mate (flag 0x40): it counts once, in the region
holding its first mate's start, at the place of its first mate in the file;
its second mate is fetched by the mate position when it lies elsewhere. A
second mate joins the first mate of the same name met in the same region;
one whose first mate is not there belongs to the region its mate fields
point to (that region fetches it), else it is a molecule alone, after the
region's others. Each mate passes or fails the record filters on its own,
and the survivors form the molecule: a CpG seen by both counts once, the
first mate's call winning unless it has none there, and the span is the
union of theirs.

A mate whose pair is not found is a molecule alone, in its own place: a
first mate whose second is nowhere at its mate position, a second mate whose
first is neither in its region nor at its mate position. So the molecules
and their order are the same however the file is cut into regions, and as
in one pass over the whole file.

What is counted where: every record's filter reason in the region holding
it; its decoding's outcome (no sequence, malformed) where it joins a
molecule, so once whatever the regions. The same name met twice as the same
mate of an open pair completes the earlier one alone.

Bisulfite records without a reference FASTA go through the batches of
``_bisulfite``, which follow these rules in bulk; everything else goes
through :class:`Assembler`, record by record (modified-base records decoded
in batches by ``_batch``).
"""

from __future__ import annotations

from collections import Counter

import numpy as np

from ._alignment import Malformed, Records, Refused, close_quietly, mate_finder, open_alignments, unreadable
from ._batch import read_batch
from .bam import BISULFITE, MODIFIED, RecordReader
from ._table import Options, Piece, Tally
from .blocks import MoleculeBlock, empty_block, molecules_block

# Records decoded together, and the bases they may hold. The per-base arrays are kept from batch
# to batch (_batch.Workspace); the smaller ones made afresh for each batch stay small enough, at a
# megabase, for the allocator to keep their memory instead of giving it back to the system and
# faulting it in again.
_BATCH = 256
_BATCH_BASES = 1_000_000
# Bisulfite records go through the batches of _bisulfite (False: record by record, as the tests compare).
BATCHED_BISULFITE = True


def merge_mates(first, second):
    """One molecule part from the two mates of a pair, each (chrom, start, end,
    strand, sites, state) or None: a site seen by both counts once, the first
    mate's call winning unless it has none there."""
    if first is None or second is None:
        return first if second is None else second
    sites = np.concatenate((first[4], second[4]))
    state = np.concatenate((first[5], second[5]))
    # Priority within a site: the first mate's call, then the second mate's, then no call.
    rank = np.concatenate((np.where(first[5] > 0, 0, 2), np.where(second[5] > 0, 1, 2)))
    order = np.lexsort((rank, sites))
    sites, state = sites[order], state[order]
    keep = np.ones(len(sites), dtype=bool)
    keep[1:] = sites[1:] != sites[:-1]
    return first[0], min(first[1], second[1]), max(first[2], second[2]), first[3], sites[keep], state[keep]


def _pairable(record) -> bool:
    return (record.is_paired and not record.mate_is_unmapped and record.is_read1 != record.is_read2
            and not record.is_secondary and not record.is_supplementary)


class Assembler:
    """Records in file order to molecules in the order of their owning record
    (a single read, or a pair's first mate), pairs merged, record by record.

    `owns_first_mate(record)` tells whether a second mate whose first mate was
    not met belongs to this stream (else the region of its first mate's start
    does, if `fetch_mate(name, contig, position, first=True)` finds it there);
    `fetch_mate(name, contig, position)` finds a missing second mate at the
    end.
    """

    def __init__(self, reader: RecordReader, tally: Tally, owns_first_mate=None, fetch_mate=None):
        self.reader, self.tally, self.dropped = reader, tally, tally.dropped
        self.owns_first_mate, self.fetch_mate = owns_first_mate, fetch_mate
        # Per single read, first mate, and second mate not yet paired: its molecule, () for none,
        # None while its pair waits.
        self.slots: list = []
        self.flushed = 0  # slots already handed out
        self.waiting_first: dict = {}  # name -> (slot, first mate's part, record, its index)
        self.waiting_second: dict = {}  # name -> (record, its index, outcome, slot)
        self.records = 0

    def _part(self, record, key, outcome=None, filters: bool = True):
        """The record's molecule part, or None with the reason counted (its filter reason only if
        `filters`: a fetched mate's is counted where it lies)."""
        reason = self.reader.drop_reason(record)
        if reason is not None:
            if filters:
                self.dropped[reason] += 1
            return None
        part = self.reader.read(record) if outcome is None else outcome
        if isinstance(part, str):
            self.dropped[part] += 1
            return None
        if isinstance(part, Malformed):
            self.tally.skip(key, part.reason, record.query_name, part.field, part.problem)
            return None
        return part

    def add(self, record, outcome=None) -> None:
        """Takes the next record; `outcome` is reader.read(record) when already computed."""
        index = self.records
        self.records += 1
        if record.is_unmapped:
            self.dropped["unmapped"] += 1
            return
        name = record.query_name
        if not _pairable(record):
            self._emit(len(self.slots), name, self._part(record, (index, 0), outcome))
            return
        if record.is_read1:
            slot = len(self.slots)
            self.slots.append(None)
            part = self._part(record, (index, 0), outcome)
            if name in self.waiting_second:
                second, at, second_outcome, second_slot = self.waiting_second.pop(name)
                self.slots[second_slot] = ()  # it joins its first mate's molecule
                self._emit(slot, name, merge_mates(part, self._part(second, (at, 0), second_outcome)))
                return
            if name in self.waiting_first:  # the same name again: the open pair goes on alone
                open_slot, open_part, _, _ = self.waiting_first.pop(name)
                self._emit(open_slot, name, open_part)
            self.waiting_first[name] = (slot, part, record, index)
            return
        if name in self.waiting_first:
            slot, first, _, _ = self.waiting_first.pop(name)
            self._emit(slot, name, merge_mates(first, self._part(record, (index, 0), outcome)))
            return
        if name in self.waiting_second:  # the same name again: the earlier one goes on alone
            self._lone_second(*self.waiting_second.pop(name))
        self.waiting_second[name] = (record, index, outcome, len(self.slots))
        self.slots.append(None)

    def add_refused(self, refused: Refused) -> None:
        """Counts a record htslib refused to decode, in its place in the file."""
        self.tally.skip((self.records, 0), "malformed_cigar", refused.name, refused.field, refused.problem)
        self.records += 1

    def _lone_second(self, record, index, outcome, slot) -> None:
        """A second mate without its first: a molecule alone in its own place, unless its first
        mate lies at its mate position in another region, which fetches it (then only its filter
        reason counts here)."""
        if (self.owns_first_mate is not None and not self.owns_first_mate(record)
                and self.fetch_mate(record.query_name, record.next_reference_name, record.next_reference_start,
                                    first=True) is not None):
            self.slots[slot] = ()
            reason = self.reader.drop_reason(record)
            if reason is not None:
                self.dropped[reason] += 1
            return
        self._emit(slot, record.query_name, self._part(record, (index, 0), outcome))

    def _emit(self, slot: int, name: str, part) -> None:
        molecule = () if part is None else (name, *part)
        if slot == len(self.slots):
            self.slots.append(molecule)
        else:
            self.slots[slot] = molecule

    def ready(self) -> list:
        """The molecules complete so far that no waiting pair precedes."""
        out = []
        while self.flushed < len(self.slots) and self.slots[self.flushed] is not None:
            if self.slots[self.flushed]:
                out.append(self.slots[self.flushed])
            self.slots[self.flushed] = ()  # keep indices stable, free the molecule
            self.flushed += 1
        return out

    def finish(self) -> list:
        """Completes the pairs still waiting: second mates fetched where they start, lone mates alone."""
        for name, (slot, first, record, index) in list(self.waiting_first.items()):
            second = None
            if self.fetch_mate is not None:
                mate = self.fetch_mate(name, record.next_reference_name, record.next_reference_start)
                if mate is not None:
                    second = self._part(mate, (index, 1), filters=False)
            self._emit(slot, name, merge_mates(first, second))
        self.waiting_first.clear()
        for record, index, outcome, slot in list(self.waiting_second.values()):
            self._lone_second(record, index, outcome, slot)
        self.waiting_second.clear()
        return self.ready()


def block_of(molecules: list, options: Options, dropped: Counter, names: bool) -> MoleculeBlock:
    """The block of molecules (name, chrom, start, end, strand, sites, state)."""
    if not molecules:
        return empty_block(names, options.window_cpgs is not None)
    name, chrom, start, end, strand, sites, states = zip(*molecules)
    lengths = np.fromiter(map(len, sites), dtype=np.int64, count=len(sites))
    offsets = np.zeros(len(lengths) + 1, dtype=np.int64)
    np.cumsum(lengths, out=offsets[1:])
    return molecules_block(np.array(name, dtype=object) if names else None, np.array(chrom, dtype=object),
                           np.array(strand, dtype=object), np.array(start, dtype=np.int64),
                           np.array(end, dtype=np.int64), offsets,
                           np.concatenate(sites).astype(np.int64, copy=False),
                           np.concatenate(states).astype(np.int8, copy=False), options, dropped)


def read_region(path: str, kind: str, options: Options, region, names: bool = True) -> Piece:
    """The molecules, drop counts and record count of the records starting in
    `region` (chrom, start, end) of an indexed file."""
    if kind == BISULFITE and options.reference is None and BATCHED_BISULFITE:
        from . import _bisulfite  # noqa: PLC0415

        return _bisulfite.read_region(path, options, region, names)
    tally = Tally()
    reader = RecordReader(path, kind, options)
    bam = open_alignments(path, options.reference)
    fetch_mate, close_mates = mate_finder(path, options)
    chrom, low, high = region
    records = None
    try:
        tid = bam.get_tid(chrom)

        def owns_first_mate(record):
            return record.next_reference_id == tid and low <= record.next_reference_start < high

        assembler = Assembler(reader, tally, owns_first_mate, fetch_mate)
        records = Records(path, bam, bam.fetch(chrom, low, high), options.strict, (tid, low, high))
        # Records starting in an earlier region belong to it.
        for batch in _batches(records, low, high, tid):
            _feed(assembler, reader, batch)
        block = block_of(assembler.finish(), options, tally.dropped, names)
        return Piece(block, tally.dropped, assembler.records, tally.skipped())
    except (OSError, ValueError) as error:
        raise unreadable(path, records.last if records is not None else None, error) from None
    finally:
        close_quietly(bam)
        close_mates()
        reader.close()


def read_stream(path: str, kind: str, options: Options, names: bool = True, flush_every: int = 20000):
    """Pieces of a whole file read in order, for files without an index; the
    counts come with the last."""
    if kind == BISULFITE and options.reference is None and BATCHED_BISULFITE:
        from . import _bisulfite  # noqa: PLC0415

        yield from _bisulfite.read_stream(path, options, names, flush_every)
        return
    tally = Tally()
    reader = RecordReader(path, kind, options)
    bam = open_alignments(path, options.reference)
    records = None
    try:
        assembler = Assembler(reader, tally)
        records = Records(path, bam, bam.fetch(until_eof=True), options.strict)
        pending = 0
        for batch in _batches(records):
            _feed(assembler, reader, batch)
            pending += len(batch)
            if pending >= flush_every:
                pending = 0
                molecules = assembler.ready()
                if molecules:
                    yield Piece(block_of(molecules, options, tally.dropped, names), Counter(), 0, [])
        block = block_of(assembler.finish(), options, tally.dropped, names)
        yield Piece(block, tally.dropped, assembler.records, tally.skipped())
    except (OSError, ValueError) as error:
        raise unreadable(path, records.last if records is not None else None, error) from None
    finally:
        close_quietly(bam)
        reader.close()


def _batches(records, low=None, high=None, tid=None):
    """Lists of at most _BATCH consecutive records holding at most _BATCH_BASES bases (a longer
    record alone), from `low` on; a refused record of the region comes as a list of its own."""
    batch, bases = [], 0
    for record in records:
        if isinstance(record, Refused):
            if low is None or (record.tid == tid and low <= record.pos < high):
                if batch:
                    yield batch
                    batch, bases = [], 0
                yield [record]
            continue
        if low is not None and record.reference_start < low:
            continue
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
    if len(batch) == 1 and isinstance(batch[0], Refused):
        assembler.add_refused(batch[0])
    elif reader.kind == MODIFIED and reader.fasta is None and len(batch) > 1:
        for record, outcome in zip(batch, read_batch(reader, batch)):
            assembler.add(record, outcome)
    else:
        for record in batch:
            assembler.add(record)

