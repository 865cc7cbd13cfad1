"""Counting at genome scale: time against the bare pysam pass, and the peak memory
of the whole process tree of `velkora fit` at two input sizes.

Writes its own inputs:

  - a bisulfite BAM of N_PAIRS pairs of 150-bp reads (default 2,000,000; the
    writer of bench_bisulfite.py) and one of a tenth as many;
  - a Parquet molecule table of N_MOLECULES molecules (default 20,000,000)
    and one of a tenth as many, written row group by row group.

Then:

  1. `vk.count(bam, 5)` in one process and with 2 worker processes, against a
     bare pysam pass touching each record's sequence, CIGAR and XM tag (best
     of RUNS, interleaved);
  2. `velkora fit INPUT --mode independent --threads 2 --no-figures` as a
     subprocess, its process tree's resident memory summed over the processes
     alive at each moment (sampled every 20 ms from /proc) and the peak kept,
     for each input and its tenth.

Targets: counting at most 3x the bare pass in one process (aim 2x), two
processes at least 1.7x one; peak memory at most 1 GB and at most 1.2x the
peak for a tenth of the input.

    .venv/bin/python bench/bench_counting.py [N_PAIRS] [N_MOLECULES] [RUNS]
"""

import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parent))
from bench_bisulfite import bare, write_bam  # noqa: E402

import velkora as vk  # noqa: E402


def write_table(path, n, rng, row_group=1_000_000):
    """Molecules of 70-site windows read at 1 to 70 sites, as `velkora molecules` writes them."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    writer = None
    for start in range(0, n, row_group):
        m = min(row_group, n - start)
        n_cpg = np.full(m, 70)
        span = rng.integers(700, 20_000, size=m)
        called = rng.integers(1, 71, size=m)
        methylated = rng.binomial(called, rng.beta(2, 2, size=m))
        table = pa.table({"n_cpg": n_cpg, "n_called": called, "n_methylated": methylated,
                          "meth_level": methylated / called, "cpg_density": n_cpg / span})
        if writer is None:
            writer = pq.ParquetWriter(path, table.schema)
        writer.write_table(table)
    writer.close()


def tree_rss(pid: int) -> int:
    """Resident bytes of a process and all its descendants now."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
                children.setdefault(int(fields[1]), []).append(int(entry))
            except OSError:
                continue
    total, todo = 0, [pid]
    page = os.sysconf("SC_PAGE_SIZE")
    while todo:
        current = todo.pop()
        try:
            with open(f"/proc/{current}/statm") as statm:
                total += int(statm.read().split()[1]) * page
        except OSError:
            pass
        todo.extend(children.get(current, []))
    return total


def peak_memory(argv) -> tuple[float, int, float]:
    """(peak tree RSS in MB, exit status, seconds) of a command."""
    start = time.perf_counter()
    process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    peak = 0
    done = threading.Event()

    def watch():
        nonlocal peak
        while not done.is_set():
            peak = max(peak, tree_rss(process.pid))
            time.sleep(0.02)

    watcher = threading.Thread(target=watch)
    watcher.start()
    _, err = process.communicate()
    done.set()
    watcher.join()
    if process.returncode:
        print(err.decode()[-2000:])
    return peak / 1e6, process.returncode, time.perf_counter() - start


def timed(work) -> float:
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def main():
    n_pairs = int(sys.argv[1]) if len(sys.argv) > 1 else 2_000_000
    n_molecules = int(sys.argv[2]) if len(sys.argv) > 2 else 20_000_000
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    velkora = [sys.executable, "-m", "velkora"]
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        rng = np.random.default_rng(0)
        inputs = {}
        for name, n in (("bam", n_pairs), ("bam_tenth", n_pairs // 10)):
            started = time.perf_counter()
            write_bam(folder / f"{name}.bam", n, rng)
            print(f"wrote {n:,} pairs in {time.perf_counter() - started:.0f} s")
            inputs[name] = folder / f"{name}.bam"
        for name, n in (("table", n_molecules), ("table_tenth", n_molecules // 10)):
            write_table(folder / f"{name}.parquet", n, rng)
            inputs[name] = folder / f"{name}.parquet"

        bam = inputs["bam"]
        vk.count(bam, 5, threads=2)  # starts the kept workers
        times = {"bare": [], "count 1": [], "count 2": []}
        for _ in range(runs):
            times["bare"].append(timed(lambda: bare(bam)))
            times["count 1"].append(timed(lambda: vk.count(bam, 5, threads=1)))
            times["count 2"].append(timed(lambda: vk.count(bam, 5, threads=2)))
        best = {name: min(values) for name, values in times.items()}
        from velkora.counts.counting import ROW_BUDGET, count_histogram

        kept = count_histogram(bam, 5, threads=2)
        print(f"\nequal-count edges: {len(kept.histogram):,} distinct (density, level, depth) keys kept "
              f"(budget {ROW_BUDGET:,}): {'two passes' if kept.collapsed else 'one pass'}")
        records = 2 * n_pairs
        print(f"\n{n_pairs:,} pairs ({records:,} records), best of {runs}:")
        print(f"  bare pysam pass        {best['bare']:7.2f} s  ({records / best['bare']:,.0f} records/s)")
        print(f"  vk.count, 1 process    {best['count 1']:7.2f} s  = {best['count 1'] / best['bare']:.2f}x the bare "
              "pass (target <= 3x)")
        print(f"  vk.count, 2 processes  {best['count 2']:7.2f} s  = {best['count 1'] / best['count 2']:.2f}x one "
              "process (target >= 1.7x)")

        print("\npeak resident memory of the process tree of `velkora fit --mode independent --threads 2`:")
        for name in ("bam", "table"):
            peaks = {}
            for which in (name, f"{name}_tenth"):
                out = folder / f"out_{which}"
                peak, status, seconds = peak_memory([*velkora, "fit", str(inputs[which]), "--mode", "independent",
                                                     "--threads", "2", "--no-figures", "--quiet", "--out", str(out)])
                peaks[which] = peak
                print(f"  {which:12s} {peak:8.0f} MB  ({seconds:.0f} s, exit {status})")
            ratio = peaks[name] / peaks[f"{name}_tenth"]
            print(f"  {name}: {ratio:.2f}x the tenth (target <= 1.2x), {peaks[name]:.0f} MB (target <= 1000 MB)")


if __name__ == "__main__":
    main()
