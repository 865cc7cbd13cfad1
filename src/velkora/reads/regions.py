"""Regions of an indexed alignment file, read in parallel and merged in order.

A record belongs to the region that holds its start (a pair to the region of
its first mate's start), so every molecule is counted once however the genome
is cut, and concatenating the regions' rows in genome order gives exactly the
rows of one pass over the file. Regions run in this process, in worker
processes (each opens the file itself) or as tasks of a Dask client; the
results are taken in region order, a few regions ahead at most, so memory
stays bounded whatever the file's size.
"""

from __future__ import annotations

import math
import multiprocessing
import os
import re
import signal
import sys
import threading
from contextlib import contextmanager
from concurrent.futures import ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass

from .._errors import InputError
from . import bam as _bam

# Records per region when the index can tell: large enough that opening the
# file and seeking are noise, small enough to spread over the workers.
_TARGET_RECORDS = 20000
_MIN_RECORDS = 500
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


def _region_task(path, kind, options, region):
    return _bam.region_rows(path, kind, options, (region.chrom, region.start, region.end))


def _quiet_worker():
    # Ctrl+C goes to the whole process group: the parent stops the run, workers just end.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def run_regions(path, kind, options, regions, threads: int = 1, client=None, progress=None):
    """Yields (rows, dropped, records) region by region, in order."""
    total = len(regions)
    if progress is not None:
        progress(0, total)
    if client is not None:
        yield from _run_dask(client, path, kind, options, regions, progress)
        return
    if threads <= 1 or total <= 1:
        for done, region in enumerate(regions, 1):
            yield _region_task(path, kind, options, region)
            if progress is not None:
                progress(done, total)
        return
    ahead = 4 * threads
    futures = []
    with _leased_pool(threads) as executor:
        submitted = 0
        for done in range(total):
            with _unimportable_main_hidden():
                while submitted < total and submitted < done + ahead:
                    futures.append(executor.submit(_region_task, path, kind, options, regions[submitted]))
                    submitted += 1
            try:
                result = futures[done].result()
            except BrokenProcessPool:
                raise RuntimeError("a worker process reading the alignments died (out of memory, or a script "
                                   "the workers cannot import, such as one read from standard input?)") from None
            futures[done] = None
            yield result
            if progress is not None:
                progress(done + 1, total)


class _Pool:
    """Worker processes kept between calls, so that reading many files, or one small file, does not
    pay for starting them each time; they end after a while unused, or with the interpreter."""

    IDLE_SECONDS = 300.0
    _lock = threading.Lock()
    _kept = None  # (pid, workers, executor) of the idle pool
    _timer = None

    @classmethod
    def take(cls, workers: int) -> ProcessPoolExecutor:
        with cls._lock:
            if cls._timer is not None:
                cls._timer.cancel()
                cls._timer = None
            kept, cls._kept = cls._kept, None
        if kept is not None:
            pid, size, executor = kept
            if pid == os.getpid() and size == workers and not getattr(executor, "_broken", False):
                return executor
            if pid == os.getpid():  # a pool of another size; one inherited by a fork is not ours to stop
                executor.shutdown(wait=False, cancel_futures=True)
        context = multiprocessing.get_context("forkserver")
        # Workers fork from a server that has imported the readers once, instead of importing them each.
        context.set_forkserver_preload(["velkora.reads.bam"])
        return ProcessPoolExecutor(max_workers=workers, mp_context=context, initializer=_quiet_worker)

    @classmethod
    def give_back(cls, workers: int, executor: ProcessPoolExecutor) -> None:
        with cls._lock:
            if cls._kept is not None:  # another call kept its pool meanwhile: this one is not needed
                executor.shutdown(wait=False)
                return
            cls._kept = (os.getpid(), workers, executor)
            timer = cls._timer = threading.Timer(cls.IDLE_SECONDS, lambda: cls.close(timer))
            timer.daemon = True
            timer.start()

    @classmethod
    def close(cls, timer=None) -> None:
        """Stops the idle workers, if any; from `timer`, only if it still stands for the kept pool
        (the pool may have been taken and given back while it fired)."""
        with cls._lock:
            if timer is not None and timer is not cls._timer:
                return
            kept, cls._kept = cls._kept, None
            if cls._timer is not None:
                cls._timer.cancel()
                cls._timer = None
        if kept is not None and kept[0] == os.getpid():
            kept[2].shutdown(wait=True)


@contextmanager
def _leased_pool(workers: int):
    """A pool for one run: kept for the next run when the run ends normally, its workers
    stopped at once when it fails or is interrupted (they may be mid-region)."""
    executor = _Pool.take(workers)
    try:
        yield executor
    except BaseException:
        _stop(executor)
        raise  # GeneratorExit too: a run abandoned midway leaves work queued
    _Pool.give_back(workers, executor)


@contextmanager
def _unimportable_main_hidden():
    """New worker processes re-run the parent's main script when it has a file; a script read from
    standard input ('<stdin>') has none to run, so its name is hidden while workers start."""
    main = sys.modules.get("__main__")
    name = getattr(main, "__file__", None)
    if name is None or os.path.exists(name):
        yield
        return
    del main.__file__
    try:
        yield
    finally:
        main.__file__ = name


def _stop(executor) -> None:
    executor.shutdown(wait=False, cancel_futures=True)
    terminate = getattr(executor, "terminate_workers", None)
    if terminate is not None:
        terminate()
        return
    for process in list((getattr(executor, "_processes", None) or {}).values()):
        process.terminate()


def _run_dask(client, path, kind, options, regions, progress):
    ahead = 4 * max(1, len(getattr(client, "nthreads", lambda: {})() or {}))
    futures = []
    submitted = 0
    total = len(regions)
    try:
        for done in range(total):
            while submitted < total and submitted < done + ahead:
                futures.append(client.submit(_region_task, path, kind, options, regions[submitted], pure=False,
                                             key=f"velkora-region-{submitted}-{id(futures)}"))
                submitted += 1
            result = futures[done].result()
            futures[done] = None
            yield result
            if progress is not None:
                progress(done + 1, total)
    except BaseException:
        for future in futures:
            if future is not None:
                future.cancel()
        raise

