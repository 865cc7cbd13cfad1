"""Molecules per second of velkora.read_bam on a generated modified-base BAM
(20,000 reads of about 10 kb, both strands, a 5mC call at every CpG, CpG-poor
random sequence), against

  floor:  a pysam pass that decodes every record and touches its sequence,
          CIGAR and MM/ML tags, and
  loop:   the straightforward per-read loop (pysam's modified_bases plus
          get_reference_positions, keeping the aligned CpG calls),

all measured in one run (best of five, interleaved, so that a busy machine
hurts every contestant alike); then read_bam with 2 worker processes. The
single-process runs also report their CPU time, the fairer measure when
other work shares the machine; the 2-process speed-up can only be judged by
wall time, on an otherwise idle machine.

    .venv/bin/python bench/bench_reads.py [N_READS]
"""

import sys
import tempfile
import time
from array import array
from pathlib import Path

import numpy as np
import pysam

import velkora

READ_LENGTH = 10_000
COVERAGE = 10
COMPLEMENT = bytes.maketrans(b"ACGT", b"TGCA")


def genome(length, rng):
    """Random sequence with CpGs thinned to about 1 per 100 bp, as in mammalian DNA."""
    bases = rng.choice(np.frombuffer(b"ACGT", dtype=np.uint8), size=length)
    cg = np.flatnonzero((bases[:-1] == ord("C")) & (bases[1:] == ord("G")))
    thinned = cg[rng.random(len(cg)) < 0.84]
    bases[thinned] = ord("T")
    return bases


def write_bam(path, n_reads, rng):
    length = n_reads * READ_LENGTH // COVERAGE + READ_LENGTH + 500  # room for the longest read at the end
    ref = genome(length, rng)
    header = pysam.AlignmentHeader.from_dict({"HD": {"VN": "1.6", "SO": "coordinate"},
                                              "SQ": [{"SN": "chrB", "LN": length}]})
    starts = np.sort(rng.integers(0, length - READ_LENGTH - 500, size=n_reads))
    with pysam.AlignmentFile(str(path), "wb", header=header) as out:
        for i, start in enumerate(starts.tolist()):
            span = READ_LENGTH + int(rng.integers(-500, 500))
            seq = ref[start:start + span]
            reverse = bool(i % 2)
            # The read as sequenced: reverse reads are read off the other strand.
            sequenced = seq.tobytes().translate(COMPLEMENT)[::-1] if reverse else seq.tobytes()
            bytes_ = np.frombuffer(sequenced, dtype=np.uint8)
            c = np.flatnonzero(bytes_ == ord("C"))
            cpg_c = np.flatnonzero(np.isin(c, np.flatnonzero((bytes_[:-1] == ord("C")) & (bytes_[1:] == ord("G")))))
            skips = np.diff(np.concatenate(([-1], cpg_c))) - 1
            record = pysam.AlignedSegment(header)
            record.query_name = f"read{i}"
            record.flag = 16 if reverse else 0
            record.reference_id, record.reference_start, record.mapping_quality = 0, start, 60
            record.cigartuples = [(0, span)]
            record.query_sequence = seq.tobytes().decode("ascii")
            record.set_tag("MM", "C+m?" + "".join(f",{s}" for s in skips.tolist()) + ";")
            record.set_tag("ML", array("B", rng.integers(0, 256, size=len(cpg_c), dtype=np.uint8).tobytes()))
            out.write(record)
    pysam.index(str(path))


def floor(path):
    n = 0
    with pysam.AlignmentFile(str(path)) as bam:
        for record in bam:
            record.query_sequence
            record.cigartuples
            record.get_tag("MM")
            record.get_tag("ML")
            n += 1
    return n


def loop(path):
    """What a user writes first: every call of every read, kept when aligned and in a CpG."""
    rows = []
    with pysam.AlignmentFile(str(path)) as bam:
        for record in bam:
            seq = record.query_sequence
            positions = record.get_reference_positions(full_length=True)
            calls = record.modified_bases.get(("C", int(record.is_reverse), "m"), [])
            n_cpg = n_methylated = 0
            for query, quality in calls:
                if positions[query] is None:
                    continue
                cpg = seq[query - 1:query + 1] == "CG" if record.is_reverse else seq[query:query + 2] == "CG"
                if cpg:
                    n_cpg += 1
                    n_methylated += quality >= 128
            rows.append((record.query_name, n_cpg, n_methylated))
    return len(rows)


def timed(work):
    start, cpu = time.perf_counter(), time.process_time()
    result = work()
    return (time.perf_counter() - start, time.process_time() - cpu), result


def main():
    n_reads = int(sys.argv[1]) if len(sys.argv) > 1 else 20_000
    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "bench.bam"
        (elapsed, _), _ = timed(lambda: write_bam(path, n_reads, rng))
        print(f"generated {n_reads:,} reads of ~{READ_LENGTH // 1000} kb ({path.stat().st_size / 1e6:.0f} MB) "
              f"in {elapsed:.1f} s")
        n = floor(path)  # warms the page cache and the imports
        velkora.read_bam(path, threads=2)  # starts the worker processes, which later calls reuse
        runs = {"floor": lambda: floor(path), "loop": lambda: loop(path), "one": lambda: velkora.read_bam(path),
                "two": lambda: velkora.read_bam(path, threads=2)}
        best, cpu = {}, {}
        for _ in range(5):
            for name, work in runs.items():
                (elapsed, used), result = timed(work)
                best[name] = min(best.get(name, elapsed), elapsed)
                cpu[name] = min(cpu.get(name, used), used)
                if name in ("one", "two"):
                    assert len(result) == n
                    if name == "one":
                        one = result
                    else:
                        assert one.equals(result)
        t_floor, t_loop, t_one, t_two = best["floor"], best["loop"], best["one"], best["two"]
        print(f"{'':34s} {'wall s':>8s} {'reads/s':>10s} {'CPU s':>8s}")
        for name, label in (("floor", "floor (decode + touch fields)"), ("loop", "straightforward loop"),
                            ("one", "read_bam, 1 process"), ("two", "read_bam, 2 processes")):
            used = f"{cpu[name]:8.2f}" if name != "two" else f"{'-':>8s}"
            print(f"{label:34s} {best[name]:8.2f} {n / best[name]:10,.0f} {used}")
        print(f"read_bam / floor: {t_one / t_floor:.2f}x wall, {cpu['one'] / cpu['floor']:.2f}x CPU (target <= 2); "
              f"loop / read_bam: {t_loop / t_one:.2f}x wall, {cpu['loop'] / cpu['one']:.2f}x CPU (target >= 3); "
              f"1 / 2 processes: {t_one / t_two:.2f}x wall (target >= 1.7)")


if __name__ == "__main__":
    main()
