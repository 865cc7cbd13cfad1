"""Drift model timings: one likelihood evaluation over 3 ages, ours against a
Pade matrix exponential per age (scipy.linalg.expm), and one full fit.

Run after `make install`:  .venv/bin/python bench/bench_drift.py
"""

import time

import numpy as np
from scipy.linalg import expm

from velkora import velk_core

EDGES = np.linspace(0.0, 1.0, 11)
P0_FRACS = np.array([0.30, 0.10, 0.05, 0.03, 0.02, 0.02, 0.03, 0.05, 0.10, 0.30])
AGES = np.array([2.0, 5.0, 12.0])
STE, STW = 0.04, 0.015


def generator(ste, stw):
    m = np.arange(71)
    q = np.zeros((71, 71))
    q[m[1:] - 1, m[1:]] = ste * m[1:]
    q[m[:-1] + 1, m[:-1]] = stw * (70 - m[:-1])
    q[m, m] = -q.sum(axis=0)
    return q


def bin_membership(edges):
    """(n_bins, 71) 0/1 matrix: which bin each macrostate level falls into."""
    levels = np.arange(71) / 70.0
    n = len(edges) - 1
    member = np.zeros((n, 71))
    for m, x in enumerate(levels):
        for b in range(n):
            upper_ok = x <= edges[b + 1] if b == n - 1 else x < edges[b + 1]
            if edges[b] <= x and upper_ok:
                member[b, m] = 1.0
                break
    return member


MEMBER = bin_membership(EDGES)


def start_distribution(fracs):
    counts = MEMBER.sum(axis=1)
    p0 = MEMBER.T @ np.where((counts > 0) & (fracs > 0), fracs / np.maximum(counts, 1), 0.0)
    return p0 / p0.sum()


def pade_nll(p0, observed, ages, ste, stw):
    q_matrix = generator(ste, stw)
    total = 0.0
    for row, t in zip(observed, ages):
        q = MEMBER @ (expm(t * q_matrix) @ p0)
        q = np.where(q < 1e-10, 1e-10, q)
        q /= q.sum()
        total -= (row * np.log(q)).sum()
    return total


def our_nll(observed, ages, ste, stw):
    q = velk_core.py_drift_predict(ste, stw, P0_FRACS, ages, EDGES)
    return -(observed * np.log(q)).sum()


def best_time(work, repeats, number):
    best = np.inf
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(number):
            work()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def main():
    observed = velk_core.py_drift_predict(0.05, 0.01, P0_FRACS, AGES, EDGES)
    p0 = start_distribution(P0_FRACS)

    ours = best_time(lambda: velk_core.py_drift_predict(STE, STW, P0_FRACS, AGES, EDGES), 5, 2000)
    pade = best_time(lambda: pade_nll(p0, observed, AGES, STE, STW), 5, 50)
    difference = abs(our_nll(observed, AGES, STE, STW) - pade_nll(p0, observed, AGES, STE, STW))
    print("Drift NLL, 3 ages, 71 macrostates")
    print(f"  closed form (py_drift_predict, incl. call overhead): {ours * 1e6:8.1f} us")
    print(f"  Pade expm per age (scipy.linalg.expm):               {pade * 1e6:8.1f} us")
    print(f"  speed-up: {pade / ours:.0f}x   |NLL difference|: {difference:.1e}")

    times = []
    for _ in range(5):
        start = time.perf_counter()
        fit = velk_core.py_fit_drift_one(P0_FRACS, observed, AGES, EDGES, (1e-4, 1.0))
        times.append(time.perf_counter() - start)
    print("py_fit_drift_one, 3 ages (truth StE=0.05, StW=0.01)")
    print(f"  median {np.median(times) * 1e3:.1f} ms over 5 fits; last fit StE={fit[0]:.6g} StW={fit[1]:.6g}")


if __name__ == "__main__":
    main()
