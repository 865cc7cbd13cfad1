"""Bisulfite records (``XM`` tags) to molecules, many records at a time.

Short bisulfite reads hold a few CpG calls each, so per-record NumPy calls
would cost far more than the calls are worth. Here the only work done per
record in Python is taking its fields from pysam into lists; the rest runs
over a batch of records at once: the ``XM`` strings joined into one buffer
and searched for ``Z``/``z``, query positions mapped to the reference
(straight for one-operation CIGARs, by a search over all the batch's CIGAR
operations otherwise), and mates merged by one sort of the sites of all the
molecules a batch completes (that bulk work is ``_decode``'s). The pairing
rules, the counting and the order of the molecules are those of ``_assemble`` (whose record-by-record reader
gives the same results; a reference FASTA goes that way).

Molecules are numbered by their owning record's index in the region (or
stream); a batch's molecules are handed out once no pair before them waits
for a mate, so memory stays bounded by how far apart mates lie in the file.
"""

from __future__ import annotations

from bisect import bisect_right
from collections import Counter

import numpy as np

from .._errors import InputError
from ._alignment import Refused, close_quietly, mate_finder, open_alignments, refused_record, resumed, unreadable
from ._decode import NO_SEQUENCE, decode, merge
from ._table import Piece, Tally
from .blocks import concat_blocks, empty_block

# Records read together, and the bases they may hold.
_BATCH_RECORDS = 4096
_BATCH_BASES = 1_000_000

_FILTERS = ("secondary", "supplementary", "qc_fail", "duplicate", "low_mapq")  # codes 1.. in precedence
_OUTCOMES = ("no_sequence", "malformed_tags", "malformed_cigar")  # decoding's codes 1..
_PAIRED, _MATE_UNMAPPED, _READ1, _READ2 = 0x1, 0x8, 0x40, 0x80
_SECONDARY, _QCFAIL, _DUPLICATE, _SUPPLEMENTARY, _UNMAPPED = 0x100, 0x200, 0x400, 0x800, 0x4


class _Batch:
    """The records of one batch: their fields, what became of them, and their CpG calls
    (record j's sites are ``sites[site_at[j]:site_at[j + 1]]``)."""

    __slots__ = ("first", "names", "mate_tid", "mate_start", "unusual", "flags", "tid", "start", "end", "strand",
                 "filtered", "outcome", "problems", "site_at", "sites", "states")

    def usable(self, j) -> bool:
        return self.filtered[j] == 0 and self.outcome[j] == 0


class _Chunk:
    """The molecules numbered `low`..`high` - 1 (those a batch's records own), gathered as
    contributions: (batch, record indices, molecule numbers, rank: 0 first mate or single, 1 second)."""

    __slots__ = ("low", "high", "parts", "late")

    def __init__(self, low, high):
        self.low, self.high, self.parts, self.late = low, high, [], []


class Unit:
    """The records of one region (or a whole file) in file order to blocks of molecules."""

    def __init__(self, path: str, options, references, tally: Tally, names: bool, region=None, fetch_mate=None):
        self.path, self.options, self.tally, self.names = path, options, tally, names
        self.fetch_mate = fetch_mate  # of _assemble.mate_finder, for a region
        self.chroms = np.array(references, dtype=object)
        self.region = region  # (tid, low, high), or None for a whole file
        self.records = 0
        # Open pairs by name: the first mate's index (the molecule's number), or the second mate's.
        # Both keep file order, so their first entries are the oldest.
        self.waiting_first: dict = {}
        self.waiting_second: dict = {}
        self.batches: list[_Batch] = []  # those holding records of open pairs, in file order
        self.firsts: list[int] = []
        self.chunks: list[_Chunk] = []
        self.lows: list[int] = []
        skip = _UNMAPPED
        for flag, keep in ((_SECONDARY, options.keep_secondary), (_SUPPLEMENTARY, options.keep_supplementary),
                           (_QCFAIL, options.keep_qcfail), (_DUPLICATE, options.keep_duplicates)):
            if not keep:
                skip |= flag
        self.skip = skip

    # ------------------------------------------------------------ reading

    def consume(self, bam, iterator):
        """Reads the records of `iterator`, yielding the blocks of molecules as they complete."""
        low = -1 if self.region is None else self.region[1]
        every_contig = self.region is None  # a region's records are all on its contig
        skip, min_mapq = self.skip, self.options.min_mapq
        check_mapq = min_mapq > 0  # no record has a mapping quality below 0
        last = None
        # A region's iterator finds its first record only when asked for it: until then the file's
        # position says nothing.
        started = self.region is None
        while True:
            flags, starts, mapqs, names, mate_tids, mate_starts, tids = [], [], [], [], [], [], []
            decoded, lengths, cigars, xms, xgs, missing, unusual = [], [], [], [], [], [], {}
            add_flag, add_start, add_mapq, add_name = flags.append, starts.append, mapqs.append, names.append
            add_mate_tid, add_mate_start, add_tid = mate_tids.append, mate_starts.append, tids.append
            add_decoded, add_length = decoded.append, lengths.append
            add_cigar, add_xm, add_xg = cigars.append, xms.append, xgs.append
            n = bases = 0
            offset = bam.tell() if started else None
            refused = None
            finished = True
            try:
                for record in iterator:
                    start = record.reference_start
                    if start < low:
                        continue  # starts in an earlier region, which reads it
                    flag = record.flag
                    add_flag(flag)
                    add_start(start)
                    add_name(record.query_name)
                    # (The fields of the record, not the record: keeping thousands of them alive costs
                    # more than taking the two more fields every record.)
                    add_mate_tid(record.next_reference_id)
                    add_mate_start(record.next_reference_start)
                    if every_contig:
                        add_tid(record.reference_id)
                    passes = not flag & skip
                    if check_mapq:
                        mapq = record.mapping_quality
                        add_mapq(mapq)
                        passes = passes and mapq >= min_mapq
                    if passes:
                        add_decoded(n)
                        length = record.query_length
                        add_length(length)
                        add_cigar(record.cigarstring)
                        # (Tag names as bytes: pysam takes them twice as fast.)
                        try:
                            add_xm(record.get_tag(b"XM"))
                        except KeyError:
                            add_xm("")
                            missing.append(len(xms) - 1)
                        try:
                            xg = record.get_tag(b"XG")
                        except KeyError:
                            xg = None
                        add_xg(xg)
                        if xg != "CT" and xg != "GA":  # the strand comes from the read's bases then
                            unusual[n] = record
                        bases += length
                    n += 1
                    if n == _BATCH_RECORDS or bases >= _BATCH_BASES:
                        finished = False
                        break
            except (OSError, ValueError) as error:
                if isinstance(error, InputError):
                    raise
                last = names[-1] if names else last
                refused = refused_record(self.path, bam, offset, last, error, self.options.strict, self.region)
                iterator = resumed(bam, refused, self.region)
                started = True
                finished = False
            if names:
                last = names[-1]
                started = True
                self._batch(flags, starts, mapqs, names, mate_tids, mate_starts, tids, unusual, decoded, lengths,
                            cigars, xms, xgs, missing)
            if refused is not None:
                self._refused(refused)
            yield from self._ready()
            if finished:
                return

    def _refused(self, refused: Refused) -> None:
        region = self.region
        if region is None or (refused.tid == region[0] and region[1] <= refused.pos < region[2]):
            self.tally.skip((self.records, 0), "malformed_cigar", refused.name, refused.field, refused.problem)
            self.records += 1

    def _batch(self, flags, starts, mapqs, names, mate_tids, mate_starts, tids, unusual, decoded, lengths, cigars, xms,
               xgs, missing):
        batch = _Batch()
        first = batch.first = self.records
        n = len(flags)
        self.records += n
        batch.names, batch.mate_tid, batch.mate_start, batch.unusual = names, mate_tids, mate_starts, unusual
        flag = batch.flags = np.array(flags, dtype=np.int64)
        batch.tid = np.array(tids, dtype=np.int64) if tids else np.full(n, self.region[0], dtype=np.int64)
        unmapped = (flag & _UNMAPPED) != 0
        self.tally.dropped["unmapped"] += int(np.count_nonzero(unmapped))
        mapq = np.array(mapqs, dtype=np.int64) if mapqs else np.zeros(n, dtype=np.int64)
        batch.filtered = self._filters(flag, mapq, unmapped)
        at = np.arange(n) if len(decoded) == n else np.array(decoded, dtype=np.int64)
        decode(batch, n, at, np.array(starts, dtype=np.int64), lengths, cigars, xms, xgs, missing, self.path,
               self.options.strict)

        # Singles and first mates own the molecules numbered by their index.
        pairable = (((flag & _PAIRED) != 0) & ((flag & _MATE_UNMAPPED) == 0)
                    & (((flag & _READ1) != 0) != ((flag & _READ2) != 0))
                    & ((flag & (_SECONDARY | _SUPPLEMENTARY)) == 0) & ~unmapped)
        owners = ~unmapped & (~pairable | ((flag & _READ1) != 0))
        chunk = _Chunk(first, first + n)
        self.chunks.append(chunk)
        self.lows.append(first)
        self.batches.append(batch)
        self.firsts.append(first)
        own = np.flatnonzero(owners & (batch.filtered == 0))
        self._count_outcomes(batch, own)
        own = own[batch.outcome[own] == 0]
        if len(own):
            chunk.parts.append((batch, own, own + first, 0))

        self._pair(batch, names, flags, flag, pairable)

    def _pair(self, batch, names, flags, flag, pairable):
        """Pairs the batch's mates by name, with each other and with the open pairs before them."""
        first = batch.first
        waiting_first, waiting_second = self.waiting_first, self.waiting_second
        firsts = np.flatnonzero(pairable & ((flag & _READ1) != 0)).tolist()
        seconds = np.flatnonzero(pairable & ((flag & _READ1) == 0)).tolist()
        first_names = [names[j] for j in firsts]
        second_names = [names[j] for j in seconds]
        first_of = dict(zip(first_names, firsts))
        second_of = dict(zip(second_names, seconds))
        if (len(first_of) == len(first_names) and len(second_of) == len(second_names)
                and waiting_first.keys().isdisjoint(first_of) and waiting_second.keys().isdisjoint(second_of)):
            # No name twice: the pairs do not depend on the order the mates come in, so they are
            # found by set operations on the names instead of one step per record.
            earlier_names = first_of.keys() & waiting_second.keys()  # first mates of waiting second ones
            paired_names = first_of.keys() & second_of.keys()  # both mates here
            joining_names = second_of.keys() & waiting_first.keys()  # second mates of waiting first ones
            earlier = [waiting_second.pop(name) for name in earlier_names]
            earlier_number = [first + first_of[name] for name in earlier_names]
            here = [second_of[name] for name in paired_names] + [second_of[name] for name in joining_names]
            here_number = ([first + first_of[name] for name in paired_names]
                           + [waiting_first.pop(name) for name in joining_names])
            # The others wait, in file order.
            if len(earlier_names) + len(paired_names) < len(first_names):
                done = earlier_names | paired_names
                waiting_first.update((name, first + j) for name, j in first_of.items() if name not in done)
            if len(paired_names) + len(joining_names) < len(second_names):
                done = paired_names | joining_names
                waiting_second.update((name, first + j) for name, j in second_of.items() if name not in done)
            self._joins(batch, here, here_number, earlier, earlier_number, [])
            return
        # Pairs by name, one record after the other.
        here, here_number, earlier, earlier_number, displaced = [], [], [], [], []
        for j in np.flatnonzero(pairable).tolist():
            name = names[j]
            if flags[j] & _READ1:
                second = waiting_second.pop(name, -1)
                if second >= 0:
                    earlier.append(second)
                    earlier_number.append(first + j)
                    continue
                waiting_first.pop(name, None)  # the same name again: the open pair goes on alone
                waiting_first[name] = first + j
                continue
            number = waiting_first.pop(name, -1)
            if number >= 0:
                here.append(j)
                here_number.append(number)
                continue
            older = waiting_second.pop(name, -1)
            if older >= 0:
                displaced.append(older)
            waiting_second[name] = first + j
        self._joins(batch, here, here_number, earlier, earlier_number, displaced)

    def _joins(self, batch, here, here_number, earlier, earlier_number, displaced):
        """Records `here` of the batch join the molecules `here_number`, second mates of earlier
        batches (by index) the molecules `earlier_number`; `displaced` second mates go on alone."""
        if here:
            self._join(batch, np.array(here, dtype=np.int64), np.array(here_number, dtype=np.int64), 1)
        if earlier:
            earlier = np.array(earlier, dtype=np.int64)
            earlier_number = np.array(earlier_number, dtype=np.int64)
            which = np.searchsorted(np.array(self.firsts), earlier, side="right") - 1
            for b in np.unique(which).tolist():
                chosen = which == b
                source = self.batches[b]
                self._join(source, earlier[chosen] - source.first, earlier_number[chosen], 1)
        for older in displaced:
            self._lone_second(older)

    def _filters(self, flag, mapq, unmapped, count: bool = True):
        """The first filter reason of each record (0: none), counted unless not `count` (a record's
        filter reason counts where it lies, not where it is fetched as a mate)."""
        o = self.options
        filtered = np.zeros(len(flag), dtype=np.int8)
        checks = (((flag & _SECONDARY) != 0) & (not o.keep_secondary),
                  ((flag & _SUPPLEMENTARY) != 0) & (not o.keep_supplementary),
                  ((flag & _QCFAIL) != 0) & (not o.keep_qcfail), ((flag & _DUPLICATE) != 0) & (not o.keep_duplicates),
                  mapq < o.min_mapq)
        for code in range(len(checks), 0, -1):  # the earliest reason wins
            filtered[checks[code - 1]] = code
        filtered[unmapped] = 0
        if not count:
            return filtered
        counts = np.bincount(filtered, minlength=len(_FILTERS) + 1)
        for code, reason in enumerate(_FILTERS, 1):
            if counts[code]:
                self.tally.dropped[reason] += int(counts[code])
        return filtered

    def _count_outcomes(self, batch, indices, fetched_for=None) -> None:
        """Counts what decoding the records `indices` of `batch` gave (records that passed the
        filters), where they join a molecule; mates fetched for the first mates numbered
        `fetched_for` are named after them."""
        outcome = batch.outcome[indices]
        if not outcome.any():
            return
        for i in np.flatnonzero(outcome).tolist():
            j = int(indices[i])
            code = batch.outcome[j]
            if code == NO_SEQUENCE:
                self.tally.dropped["no_sequence"] += 1
            else:
                field, problem = batch.problems[j]
                key = (batch.first + j, 0) if fetched_for is None else (int(fetched_for[i]), 1)
                self.tally.skip(key, _OUTCOMES[code - 1], batch.names[j], field, problem)

    def _batch_of(self, index: int) -> tuple[_Batch, int]:
        b = bisect_right(self.firsts, index) - 1
        return self.batches[b], index - self.firsts[b]

    def _join(self, batch, js, numbers, rank: int, fetched: bool = False) -> None:
        """Records `js` of `batch` join the molecules `numbers` (rank 1: as second mates)."""
        passed = batch.filtered[js] == 0
        js, numbers = js[passed], numbers[passed]
        self._count_outcomes(batch, js, numbers if fetched else None)
        usable = batch.outcome[js] == 0
        js, numbers = js[usable], numbers[usable]
        if len(js) == 0:
            return
        if numbers.min() >= self.lows[-1]:  # all in the newest chunk, as most are
            self.chunks[-1].late.append((batch, js, numbers, rank))
            return
        chunk = np.searchsorted(np.array(self.lows), numbers, side="right") - 1
        for c in range(int(chunk.min()), int(chunk.max()) + 1):  # a few chunks at most
            chosen = chunk == c
            if not chosen.any():
                continue
            self.chunks[c].late.append((batch, js[chosen], numbers[chosen], rank))

    def _lone_second(self, index: int) -> None:
        """The second mate `index` without its first: a molecule alone in its own place, unless
        its first mate lies at its mate position in another region, which fetches it."""
        batch, j = self._batch_of(index)
        region = self.region
        if region is not None and not (batch.mate_tid[j] == region[0]
                                       and region[1] <= batch.mate_start[j] < region[2]):
            if self.fetch_mate is None or self.fetch_mate(batch.names[j], self.chroms[batch.mate_tid[j]],
                                                          batch.mate_start[j], first=True) is not None:
                return
        self._join_alone(index)

    def _join_alone(self, index: int) -> None:
        batch, j = self._batch_of(index)
        self._join(batch, np.array([j]), np.array([index]), 0)

    def finish(self):
        """Completes the pairs still open (second mates fetched where they start, lone mates
        alone) and yields the last blocks."""
        # All the mates looked for at once: the second mates of open first mates, and the first
        # mates of open second mates that would belong to another region.
        wanted, seconds, foreign = [], [], set()
        region = self.region
        for number in self.waiting_first.values():
            batch, j = self._batch_of(number)
            seconds.append((number, (batch.names[j], self.chroms[batch.mate_tid[j]], batch.mate_start[j], False)))
        for index in self.waiting_second.values():
            batch, j = self._batch_of(index)
            if region is not None and not (batch.mate_tid[j] == region[0]
                                           and region[1] <= batch.mate_start[j] < region[2]):
                key = (batch.names[j], self.chroms[batch.mate_tid[j]], batch.mate_start[j], True)
                wanted.append(key)
                foreign.add(index)
        found = {}
        if self.fetch_mate is not None and (seconds or wanted):
            found = self.fetch_mate.many(wanted + [key for _, key in seconds])
        fetched = [(number, found[key]) for number, key in seconds if key in found]
        self.waiting_first.clear()
        if fetched:
            mates = self._decoded_alone([mate for _, mate in fetched])
            self._join(mates, np.arange(len(fetched)), np.array([number for number, _ in fetched]), 1, fetched=True)
        for index in list(self.waiting_second.values()):
            if index in foreign:
                batch, j = self._batch_of(index)
                if (batch.names[j], self.chroms[batch.mate_tid[j]], batch.mate_start[j], True) in found:
                    continue  # its first mate's region fetches it
            self._join_alone(index)
        self.waiting_second.clear()
        yield from self._ready()

    def _decoded_alone(self, records) -> _Batch:
        """A batch of fetched mates: decoded like the others, counted by none of their filters."""
        batch = _Batch()
        batch.first = -1
        batch.names = [r.query_name for r in records]
        batch.unusual = dict(enumerate(records))
        batch.flags = np.array([r.flag for r in records], dtype=np.int64)
        batch.tid = np.array([r.reference_id for r in records], dtype=np.int64)
        batch.filtered = self._filters(batch.flags, np.array([r.mapping_quality for r in records]),
                                       np.zeros(len(records), dtype=bool), count=False)
        xms, missing = [], []
        for i, r in enumerate(records):
            try:
                xms.append(r.get_tag("XM"))
            except KeyError:
                xms.append("")
                missing.append(i)
        xgs = [r.get_tag("XG") if r.has_tag("XG") else None for r in records]
        decode(batch, len(records), np.arange(len(records)),
                     np.array([r.reference_start for r in records], dtype=np.int64),
               [r.query_length for r in records], [r.cigarstring for r in records], xms, xgs, missing, self.path,
               self.options.strict)
        return batch

    # ------------------------------------------------------------ decoding

    # ------------------------------------------------------------ molecules

    def _ready(self):
        """Blocks of the chunks whose molecules are all complete (no open pair among or before them)."""
        # The oldest open pair's first mate, or second mate (whose place a lone second mate takes).
        oldest = min([next(iter(w.values())) for w in (self.waiting_first, self.waiting_second) if w],
                     default=None)
        boundary = oldest
        if oldest is None:
            oldest = self.records
        # Batches before every open pair's records are needed no more for finding them.
        drop = bisect_right(self.firsts, oldest) - 1
        if drop > 0:
            del self.batches[:drop], self.firsts[:drop]
        done = 0
        while done < len(self.chunks) and (boundary is None or self.chunks[done].high <= boundary):
            done += 1
        if done == 0:
            return
        chunks, self.chunks, self.lows = self.chunks[:done], self.chunks[done:], self.lows[done:]
        block = self._molecules(chunks)
        if len(block):
            yield block

    def _molecules(self, chunks):
        parts = []
        for chunk in chunks:
            parts.extend(chunk.parts)
            parts.extend(chunk.late)
        windows = self.options.window_cpgs is not None
        if not parts:
            return empty_block(self.names, windows)
        return merge(parts, self.chroms, self.names, self.options, self.tally.dropped)


def read_region(path: str, options, region, names: bool = True) -> Piece:
    """The molecules of the records starting in `region` (chrom, start, end) of an indexed file."""
    tally = Tally()
    bam = open_alignments(path)
    fetch_mate, close_mates = mate_finder(path, options)
    chrom, low, high = region
    unit = None
    try:
        tid = bam.get_tid(chrom)
        unit = Unit(path, options, bam.references, tally, names, (tid, low, high), fetch_mate)
        blocks = list(unit.consume(bam, bam.fetch(chrom, low, high)))
        blocks.extend(unit.finish())
        block = concat_blocks(blocks, names, options.window_cpgs is not None)
        return Piece(block, tally.dropped, unit.records, tally.skipped())
    except (OSError, ValueError) as error:
        raise unreadable(path, None, error) from None
    finally:
        close_quietly(bam)
        close_mates()


def read_stream(path: str, options, names: bool = True, flush_every: int = 20000):
    """Pieces of a whole file read in order (no index); the counts come with the last."""
    tally = Tally()
    bam = open_alignments(path)
    try:
        unit = Unit(path, options, bam.references, tally, names)
        windows = options.window_cpgs is not None
        pending = []
        for block in unit.consume(bam, bam.fetch(until_eof=True)):
            pending.append(block)
            if sum(map(len, pending)) >= flush_every:
                yield Piece(concat_blocks(pending, names, windows), Counter(), 0, [])
                pending = []
        pending.extend(unit.finish())
        yield Piece(concat_blocks(pending, names, windows), tally.dropped, unit.records, tally.skipped())
    except (OSError, ValueError) as error:
        raise unreadable(path, None, error) from None
    finally:
        close_quietly(bam)
