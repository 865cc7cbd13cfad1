"""Regions of an indexed alignment file, read in parallel and merged in order.

A record belongs to the region that holds its start (a pair to the region of
its first mate's start), so every molecule is counted once however the genome
is cut, and concatenating the regions' rows in genome order gives exactly the
rows of one pass over the file. Regions run in this process, in worker
processes (each opens the file itself; the pool is velkora.parallel.pool's)
or as tasks of a Dask client; the results are taken in region order, a few
regions ahead at most, so memory stays bounded whatever the file's size.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass

from .._errors import InputError
from ..parallel.pool import run_in_order
from . import _assemble
from . import bam as _bam
from ._table import Result
from .blocks import Frames

# Records per region when the index can tell: large enough that opening the
# file and seeking are noise, small enough to spread over the workers.
_TARGET_RECORDS = 20000
_MIN_RECORDS = 500
# What the worker processes import once, before they start (they fork from a server that has).
_PRELOAD = ("velkora.reads._assemble", "velkora.reads._bisulfite")
_REGION_PATTERN = re.compile(r"^(?P<chrom>.+?)(?::(?P<start>[\d,]+)(?:-(?P<end>[\d,]+))?)?$")


@dataclass(frozen=True)
class Region:
    """A reference interval, 0-based and half-open."""

    chrom: str
    start: int
    end: int

    def __str__(self) -> str:
        return f"{self.chrom}:{self.start + 1}-{self.end}"


def parse_region(text: str, contigs: dict) -> Region:
    """"chr", "chr:start-end" or "chr:start" (1-based, both ends included, as samtools takes them)."""
    if text in contigs:  # contig names may hold ':' themselves
        return Region(text, 0, contigs[text])
    match = _REGION_PATTERN.match(text.strip())
    if match is None or match["chrom"] not in contigs:
        name = match["chrom"] if match else text
        raise InputError(f"--region {text!r}: no contig {name!r} in the file's header "
                         f"(it has {', '.join(list(contigs)[:5])}{', ...' if len(contigs) > 5 else ''})")
    chrom = match["chrom"]
    if match["start"] is None:
        return Region(chrom, 0, contigs[chrom])
    start = int(match["start"].replace(",", ""))
    end = contigs[chrom] if match["end"] is None else int(match["end"].replace(",", ""))
    if start < 1 or end < start:
        raise InputError(f"--region {text!r}: expected chrom:start-end with 1 <= start <= end")
    return Region(chrom, start - 1, min(end, contigs[chrom]))


def plan(info: _bam.BamInfo, regions=None, workers: int = 1) -> list[Region]:
    """The regions to read, in genome order, overlaps merged, cut into pieces
    of about equal numbers of records."""
    contigs = dict(info.contigs)
    order = {name: i for i, (name, _) in enumerate(info.contigs)}
    # Without counts from the index (CRAM), assume a read every kilobase to cut contigs by length.
    counts = info.mapped if info.mapped is not None else tuple(length // 1000 + 1 for _, length in info.contigs)
    if regions is None:
        wanted = [Region(name, 0, length) for (name, length), n in zip(info.contigs, counts) if n]
    else:
        if isinstance(regions, str):
            regions = [regions]
        wanted = sorted((parse_region(str(r), contigs) for r in regions), key=lambda r: (order[r.chrom], r.start))
        merged = []
        for region in wanted:
            last = merged[-1] if merged else None
            if last is not None and last.chrom == region.chrom and region.start <= last.end:
                merged[-1] = Region(last.chrom, last.start, max(last.end, region.end))
            else:
                merged.append(region)
        wanted = merged
    mapped = dict(zip((name for name, _ in info.contigs), counts))
    total = sum(mapped[r.chrom] * (r.end - r.start) / max(contigs[r.chrom], 1) for r in wanted)
    # Sixteen pieces a worker at least: at the end one worker may wait for another's last piece,
    # which is then short.
    target = min(_TARGET_RECORDS, max(_MIN_RECORDS, total / (16 * max(workers, 1))))
    pieces = []
    for region in wanted:
        records = mapped[region.chrom] * (region.end - region.start) / max(contigs[region.chrom], 1)
        n = max(1, min(math.ceil(records / target), region.end - region.start))
        edges = [region.start + (region.end - region.start) * i // n for i in range(n + 1)]
        pieces.extend(Region(region.chrom, a, b) for a, b in zip(edges[:-1], edges[1:]) if b > a)
    return pieces


def _region_task(path, kind, options, region, reduce, names):
    """One region read where it runs (a worker process, a Dask task): only the reduced block and
    the counts go back."""
    piece = _assemble.read_region(path, kind, options, (region.chrom, region.start, region.end), names)
    return Result(reduce(piece.block), piece.dropped, piece.records, len(piece.block), piece.skipped)


def run_regions(path, kind, options, regions, threads: int = 1, client=None, progress=None, reduce=None,
                names: bool = True):
    """Yields the Result of each region, in order (`reduce` applied to each region's block where it
    is read; default: its molecule table)."""
    reduce = Frames() if reduce is None else reduce
    tasks = [(_region_task, path, kind, options, region, reduce, names) for region in regions]
    yield from run_in_order(tasks, workers=threads, client=client, preload=_PRELOAD, progress=progress,
                            what="the reading of the alignments")
