"""Tied fits of two groups x three density bins, on 1 and 2 threads.

Three ties of the same six rows (2000 molecules per cell, each cell's NLL
weighted by its count; 10 methylation bins):
  group    St per group, CoW per density bin shared by the groups, CoE per
           cell: a Nelder-Mead search over five shared entries; no other fit
           expresses it.
  st/group St per group, CoW and CoE per cell: two Brent components side by
           side, against two py_fit_shared_st calls one after the other.
  st/all   one St over all six rows: against py_fit_shared_st (same bits).
Each figure is the best wall time of a few runs, measured in a fresh process
per thread count (the pool's size is fixed at its first use). Six rows give
two threads little to share: a pass lasts as long as its slowest row's
differential evolution, which on these rows is a good part of the whole.
Run: .venv/bin/python bench/bench_tied.py
"""

import math
import os
import subprocess
import sys
import time

import numpy as np

F = -1.0
EDGES = np.linspace(0.0, 1.0, 11)
GROUP_ST = [0.2, 0.5]
BIN_COW = [1.0, 3.0, 8.0]
CELL_COE = [[2.0, 1.0, 4.0], [0.5, 3.0, 6.0]]
ST, CO = (0.01, 2.0), (0.1, 50.0)
MOLECULES = 2000


def rows():
    from velkora import velk_core

    rng = np.random.default_rng(4)
    cells = [velk_core.py_compute_model_fracs(GROUP_ST[g], 1.0, BIN_COW[d], CELL_COE[g][d], EDGES)
             for g in range(2) for d in range(3)]
    return np.array([rng.multinomial(MOLECULES, p / p.sum()) / MOLECULES for p in cells])


def best_of(runs, call):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return min(times), result


def measure():
    from velkora import velk_core

    observed = rows()
    fixed = np.tile([math.nan, math.nan, math.nan, 2.0, 2.0, math.inf], (6, 1))
    weights = np.full(6, float(MOLECULES))  # each cell's NLL times its molecule count

    def tied(layout, lower, upper):
        return velk_core.py_fit_tied(observed, EDGES, True, np.array(layout, float), fixed, np.array(lower),
                                     np.array(upper), weights)

    group_layout = [[g, 2 + d, 5 + 3 * g + d, F, F, F] for g in range(2) for d in range(3)]
    group = best_of(2, lambda: tied(group_layout, [ST[0]] * 2 + [CO[0]] * 9, [ST[1]] * 2 + [CO[1]] * 9))

    per_group = [[r // 3, 2 + 2 * r, 3 + 2 * r, F, F, F] for r in range(6)]
    st_group = best_of(3, lambda: tied(per_group, [ST[0]] * 2 + [CO[0]] * 12, [ST[1]] * 2 + [CO[1]] * 12))
    st_group_ref = best_of(3, lambda: [velk_core.py_fit_shared_st(observed[3 * g:3 * g + 3], EDGES, True, ST, CO,
                                                                                  weights=weights[:3], seed=0)
                                       for g in range(2)])

    all_layout = [[0, 1 + 2 * r, 2 + 2 * r, F, F, F] for r in range(6)]
    st_all = best_of(3, lambda: tied(all_layout, [ST[0]] + [CO[0]] * 12, [ST[1]] + [CO[1]] * 12))
    st_all_ref = best_of(3, lambda: velk_core.py_fit_shared_st(observed, EDGES, True, ST, CO, weights=weights, seed=0))
    assert st_all[1][0][0] == st_all_ref[1][0]  # the same fit, bit for bit

    print(f"group {group[0]:.3f} st/group {st_group[0]:.3f} {st_group_ref[0]:.3f} "
          f"st/all {st_all[0]:.3f} {st_all_ref[0]:.3f} theta {' '.join(f'{v:.4f}' for v in group[1][0][:5])}")


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--measure":
        measure()
        return
    figures = {}
    for threads in ("1", "2"):
        result = subprocess.run([sys.executable, __file__, "--measure"], capture_output=True, text=True, check=True,
                                env={**os.environ, "RAYON_NUM_THREADS": threads})
        figures[threads] = result.stdout.split()
    print("py_fit_tied, 2 groups x 3 density bins x 10 methylation bins (wall time, best of 3; group: best of 2)")
    print(f"  {'tie':<10} {'fit':<34} {'1 thread':>9} {'2 threads':>10} {'1/2':>6}")

    def line(tie, what, index):
        one, two = float(figures["1"][index]), float(figures["2"][index])
        print(f"  {tie:<10} {what:<34} {one:>8.2f}s {two:>9.2f}s {one / two:>6.2f}")

    line("group", "py_fit_tied (5 shared entries)", 1)
    line("st/group", "py_fit_tied (2 Brent components)", 3)
    line("", "2 x py_fit_shared_st", 4)
    line("st/all", "py_fit_tied", 6)
    line("", "py_fit_shared_st", 7)
    print(f"  group tie's shared entries (St_1, St_2, CoW_1..3): {' '.join(figures['1'][9:14])} "
          f"(truth {' '.join(map(str, GROUP_ST + BIN_COW))})")


if __name__ == "__main__":
    main()
