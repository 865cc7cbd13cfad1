"""Fits of short reads: the plain binning against the sampling-aware observation model.

For three true parameter sets, ten seeded replicates of 20,000 molecules of
70 sites each are read at depths drawn from a short-read-like histogram (1 to
40 called sites, median about 5) and fitted (one density bin, St, CoW, CoE
free) with observation="binned" and observation="sampled". Prints, per truth
and observation model, the median total-variation distance between the fitted
and the true stationary distribution over the 71 macrostates and the median
fitted parameters.

Run after `make install`:  .venv/bin/python bench/bench_short_reads.py
"""

import time

import numpy as np

import velkora as vk
from velkora.model import stationary_distribution

TRUTHS = ((2.0, 30.0, 25.0), (1.0, 10.0, 10.0), (0.2, 5.0, 8.0))
REPLICATES = 10
MOLECULES = 20_000
SETTINGS = {"st_bounds": (0.01, 10.0), "co_bounds": (0.01, 100.0)}


def short_read_depths(rng: np.random.Generator, size: int) -> np.ndarray:
    """Called sites per read: log-normal around 5, within 1 .. 40, as in a bisulfite capture sample."""
    return np.clip(np.rint(rng.lognormal(np.log(5.0), 0.75, size)), 1, 40).astype(np.int64)


def main() -> None:
    print(f"{REPLICATES} replicates of {MOLECULES:,} molecules per truth; median over replicates")
    print(f"{'truth (St, CoW, CoE)':>22}  {'observation':>11}  {'TV distance':>11}  {'St':>7}  {'CoW':>7}  "
          f"{'CoE':>7}  {'s / fit':>7}")
    depth_medians = []
    for truth in TRUTHS:
        true_p = stationary_distribution(truth[0], 1.0, truth[1], truth[2])
        found = {"binned": [], "sampled": []}
        seconds = {"binned": 0.0, "sampled": 0.0}
        for replicate in range(REPLICATES):
            rng = np.random.default_rng([17, replicate])
            depths = short_read_depths(rng, MOLECULES)
            depth_medians.append(np.median(depths))
            reads = vk.synthetic_molecules([truth], MOLECULES, (0.0, 1.0), depth=depths, seed=replicate)
            data = vk.bin_molecules(reads, [0.0, 1.0], 20)
            for name in found:
                start = time.perf_counter()
                result = vk.fit(data, "independent", observation=name, seed=replicate, **SETTINGS)
                seconds[name] += time.perf_counter() - start
                row = result.table.iloc[0]
                distance = 0.5 * np.abs(result.distributions()[0] - true_p).sum()
                found[name].append((distance, row.St, row.CoW, row.CoE))
        for name, rows in found.items():
            distance, st, cow, coe = np.median(np.array(rows), axis=0)
            label = f"{truth[0]:g}, {truth[1]:g}, {truth[2]:g}"
            print(f"{label:>22}  {name:>11}  {distance:11.4f}  {st:7.3f}  {cow:7.2f}  {coe:7.2f}  "
                  f"{seconds[name] / REPLICATES:7.2f}")
    print(f"median depth of the reads: {np.median(depth_medians):g} called sites")


if __name__ == "__main__":
    main()
