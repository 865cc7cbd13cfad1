"""Scanning a bisulfite BAM for counts, against a bare pysam pass.

Writes its own BAM: N_PAIRS pairs (default 1,000,000) of 150-bp reads of a
directional library on a synthetic genome (CpG-poor random sequence with a
CpG every ~100 bp, both converted strands, inserts of 200-500 bp, Bismark's
tags NM, MD, XM, XR, XG), sorted and indexed. Then, best of N interleaved
runs (so that a busy machine hurts every contestant alike):

  bare:     a pysam pass touching each record's query_sequence, cigartuples
            and XM tag;
  scan 1:   velkora.reads.scan with a cheap counting reducer (per block, a
            histogram of n_called and of n_methylated; names=False), in this
            process;
  scan 2:   the same with 2 worker processes (started by a warm-up run, as
            kept workers are);
  bare x2:  two bare passes at once in two processes, for what the machine
            gives two processes at the time (on a shared machine, often well
            below 2).

Targets: scan 1 at most 3x bare (aim 2x), scan 2 at least 1.7x faster than
scan 1. The single-process runs also report CPU time, the fairer measure
when other work shares the machine; the 2-process speed-up can only be
judged by wall time, on an otherwise idle machine.

    .venv/bin/python bench/bench_bisulfite.py [N_PAIRS] [RUNS] [--profile]

--profile runs scan 1 once more under cProfile and prints where the time goes.
"""

import cProfile
import multiprocessing
import pstats
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np
import pysam

from velkora.reads import scan

READ_LENGTH = 150
COVERAGE = 10
HISTOGRAM = 200  # sites per molecule counted in the histograms (more go in the last bin)


class Histograms:
    """The counting reducer: how many molecules have each number of called and of methylated
    sites. Module-level, so that worker processes can be sent it."""

    def __call__(self, block):
        called = np.bincount(np.minimum(block.n_called, HISTOGRAM - 1), minlength=HISTOGRAM)
        methylated = np.bincount(np.minimum(block.n_methylated, HISTOGRAM - 1), minlength=HISTOGRAM)
        return called, methylated


def genome(length, rng):
    """Random sequence with CpGs thinned to about 1 per 100 bp, as in mammalian DNA."""
    bases = rng.choice(np.frombuffer(b"ACGT", dtype=np.uint8), size=length)
    cg = np.flatnonzero((bases[:-1] == ord("C")) & (bases[1:] == ord("G")))
    bases[cg[rng.random(len(cg)) < 0.84]] = ord("T")
    return bases


def write_bam(path, n_pairs, rng):
    length = n_pairs * 2 * READ_LENGTH // COVERAGE + 2000
    ref = genome(length, rng)
    # The calls each strand's reads make: at the C of a CpG (top) or its G (bottom), methylated 70%.
    cpg = np.flatnonzero((ref[:-1] == ord("C")) & (ref[1:] == ord("G")))
    calls = {}
    for strand, at in (("CT", cpg), ("GA", cpg + 1)):
        xm = np.full(length, ord("."), dtype=np.uint8)
        xm[at] = np.where(rng.random(len(at)) < 0.7, ord("Z"), ord("z"))
        calls[strand] = xm
    starts = rng.integers(0, length - 600, size=n_pairs)
    insert = rng.integers(200, 500, size=n_pairs)
    bottom = rng.random(n_pairs) < 0.5
    # Both mates of each pair, then every record in coordinate order.
    position = np.concatenate((starts, starts + insert - READ_LENGTH))
    first = np.concatenate((np.ones(n_pairs, dtype=bool), np.zeros(n_pairs, dtype=bool)))
    pair = np.concatenate((np.arange(n_pairs), np.arange(n_pairs)))
    order = np.lexsort((~first, position))
    header = pysam.AlignmentHeader.from_dict({"HD": {"VN": "1.6", "SO": "coordinate"},
                                              "SQ": [{"SN": "chrB", "LN": length}]})
    sequence = ref.tobytes().decode("ascii")
    xm_text = {strand: xm.tobytes().decode("ascii") for strand, xm in calls.items()}
    cigar = [(0, READ_LENGTH)]
    with pysam.AlignmentFile(str(path), "wb", header=header) as out:
        for i in order.tolist():
            p, at, mate_at, is_first = int(pair[i]), int(position[i]), 0, bool(first[i])
            mate_at = int(position[i + n_pairs] if is_first else position[i - n_pairs])
            strand = "GA" if bottom[p] else "CT"
            # OT: read 1 forward, read 2 reverse; OB the other way round.
            reverse = is_first == bool(bottom[p])
            flag = 0x1 | 0x2 | (0x40 if is_first else 0x80) | (0x10 if reverse else 0x20)
            record = pysam.AlignedSegment(header)
            record.query_name = f"pair{p}"
            record.flag = flag
            record.reference_id = 0
            record.reference_start = at
            record.mapping_quality = 40
            record.cigartuples = cigar
            record.next_reference_id = 0
            record.next_reference_start = mate_at
            record.template_length = (mate_at - at) + (READ_LENGTH if mate_at >= at else -READ_LENGTH)
            record.query_sequence = sequence[at:at + READ_LENGTH]
            record.set_tags([("NM", 2, "i"), ("MD", f"{READ_LENGTH}", "Z"),
                             ("XM", xm_text[strand][at:at + READ_LENGTH], "Z"),
                             ("XR", "CT" if is_first else "GA", "Z"), ("XG", strand, "Z")])
            out.write(record)
    pysam.index(str(path))


def bare(path):
    n = 0
    with pysam.AlignmentFile(str(path)) as bam:
        for record in bam:
            record.query_sequence
            record.cigartuples
            record.get_tag("XM")
            n += 1
    return n


def counted(path, threads):
    called = np.zeros(HISTOGRAM, dtype=np.int64)
    methylated = np.zeros(HISTOGRAM, dtype=np.int64)
    pieces = scan(path, Histograms(), threads=threads, names=False)
    for (c, m), _, _ in pieces:
        called += c
        methylated += m
    return called, methylated, pieces.report


def timed(work):
    start, cpu = time.perf_counter(), time.process_time()
    result = work()
    return (time.perf_counter() - start, time.process_time() - cpu), result


def main():
    arguments = [a for a in sys.argv[1:] if not a.startswith("--")]
    n_pairs = int(arguments[0]) if arguments else 1_000_000
    runs = int(arguments[1]) if len(arguments) > 1 else 5
    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "bisulfite.bam"
        (elapsed, _), _ = timed(lambda: write_bam(path, n_pairs, rng))
        print(f"generated {n_pairs:,} pairs of {READ_LENGTH}-bp bisulfite reads ({path.stat().st_size / 1e6:.0f} MB) "
              f"in {elapsed:.1f} s")
        n = bare(path)  # warms the page cache and the imports
        reference = counted(path, 2)  # starts the worker processes, which later calls reuse
        report = reference[2].attrs()
        print(f"{report['records']:,} records, {report['molecules']:,} molecules, dropped {report['dropped']}")
        pair = ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("forkserver"))
        list(pair.map(bare, [path, path]))
        contestants = {"bare": lambda: bare(path), "one": lambda: counted(path, 1), "two": lambda: counted(path, 2),
                       "bare2": lambda: list(pair.map(bare, [path, path]))}
        best, cpu = {}, {}
        for _ in range(runs):
            for name, work in contestants.items():
                (elapsed, used), result = timed(work)
                best[name] = min(best.get(name, elapsed), elapsed)
                cpu[name] = min(cpu.get(name, used), used)
                if name in ("one", "two"):
                    assert all(np.array_equal(a, b) for a, b in zip(result[:2], reference[:2]))
        print(f"{'':34s} {'wall s':>8s} {'records/s':>11s} {'CPU s':>8s}")
        for name, label in (("bare", "bare pysam pass"), ("one", "scan, 1 process"), ("two", "scan, 2 processes")):
            used = f"{cpu[name]:8.2f}" if name != "two" else f"{'-':>8s}"
            print(f"{label:34s} {best[name]:8.2f} {n / best[name]:11,.0f} {used}")
        pair.shutdown()
        print(f"scan / bare: {best['one'] / best['bare']:.2f}x wall, {cpu['one'] / cpu['bare']:.2f}x CPU "
              f"(target <= 3, aim 2); 1 / 2 processes: {best['one'] / best['two']:.2f}x wall (target >= 1.7; "
              f"two bare passes at once ran {2 * best['bare'] / best['bare2']:.2f}x one)")
        if "--profile" in sys.argv:
            profile = cProfile.Profile()
            profile.enable()
            counted(path, 1)
            profile.disable()
            pstats.Stats(profile).sort_stats("tottime").print_stats(18)


if __name__ == "__main__":
    main()
