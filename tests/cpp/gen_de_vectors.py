#!/usr/bin/env python3
"""Reference runs of differential evolution with its Nelder-Mead polish.

An independent, literal model of both optimisers in plain Python floats
(IEEE doubles, one rounding per operation, like the C++ build), driven by the
stream model of gen_rng_vectors.py. Prints the evaluation count, the result
point and value of a few seeded runs, as C++ hex-float literals, for
test_differential_evolution.cpp:

    python3 tests/cpp/gen_de_vectors.py
"""

import math
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from gen_rng_vectors import Stream, pcg32_key  # noqa: E402


def clamp(v, lo, hi):
    if not lo <= hi:
        raise RuntimeError("invalid bounds")
    return lo if v < lo else hi if v > hi else v


def nelder_mead(f, x0, bounds, tol, stagnation, max_steps):
    n = len(x0)
    verts = [list(x0)]
    for j in range(n):
        v = list(x0)
        x = x0[j]
        v[j] = clamp(x + 0.05 * x if abs(x) > 1e-10 else x + 0.00025, *bounds[j])
        verts.append(v)
    vals = [f(v) for v in verts]
    prev_best = math.inf
    for val in vals:
        if val < prev_best:
            prev_best = val
    stall = steps = 0
    while True:
        if any(math.isnan(v) for v in vals):
            raise RuntimeError("no order")
        order = sorted(range(n + 1), key=lambda i: vals[i])  # stable
        b, s, w = order[0], order[n - 1], order[n]
        if stagnation:
            if prev_best - vals[b] > 0.001:
                prev_best, stall = vals[b], 0
            elif stall >= 49:
                return verts[b], vals[b]
            else:
                stall += 1
        if vals[w] - vals[b] < tol:
            return verts[b], vals[b]
        steps += 1
        c = []
        for k in range(n):
            acc = 0.0
            for i in order[:n]:
                acc += verts[i][k]
            c.append(acc / n)
        xw = verts[w]
        r = [clamp(c[k] + (c[k] - xw[k]), *bounds[k]) for k in range(n)]
        fr = f(r)
        if fr < vals[s] and fr >= vals[b]:
            verts[w], vals[w] = r, fr
        elif fr < vals[b]:
            e = [clamp(c[k] + 2.0 * (r[k] - c[k]), *bounds[k]) for k in range(n)]
            fe = f(e)
            verts[w], vals[w] = (e, fe) if fe < fr else (r, fr)
        else:
            kk = [clamp(c[k] + 0.5 * (xw[k] - c[k]), *bounds[k]) for k in range(n)]
            fk = f(kk)
            if fk < vals[w]:
                verts[w], vals[w] = kk, fk
            else:
                xb = list(verts[b])
                for i in order[1:]:
                    verts[i] = [clamp(xb[k] + 0.5 * (verts[i][k] - xb[k]), *bounds[k])
                                for k in range(n)]
                    vals[i] = f(verts[i])
        if steps >= max_steps:
            best = 0
            for i in range(n + 1):
                if vals[i] < vals[best]:
                    best = i
            return verts[best], vals[best]


def differential_evolution(f, bounds, seed):
    rng = Stream(pcg32_key(seed))
    d = len(bounds)
    np_ = 15 * d
    pop = [[lo + (hi - lo) * rng.uniform_double() for lo, hi in bounds] for _ in range(np_)]
    vals = [f(x) for x in pop]
    best, fbest = 0, vals[0]
    for i in range(1, np_):
        if vals[i] < fbest:
            best, fbest = i, vals[i]
    for g in range(1000):
        F = 0.5 * rng.uniform_double() + 0.5
        for i in range(np_):
            r1 = rng.uniform_index(np_)
            while r1 == i or r1 == best:
                r1 = rng.uniform_index(np_)
            r2 = rng.uniform_index(np_)
            while r2 == r1 or r2 == i or r2 == best:
                r2 = rng.uniform_index(np_)
            jr = rng.uniform_index(d)
            trial = []
            for j in range(d):
                u = rng.uniform_double()
                if j == jr or u < 0.7:
                    lo, hi = bounds[j]
                    v = pop[best][j] + F * (pop[r1][j] - pop[r2][j])
                    if v < lo:
                        v = lo + rng.uniform_double() * (pop[i][j] - lo)
                    if v > hi:
                        v = hi - rng.uniform_double() * (hi - pop[i][j])
                    trial.append(clamp(v, lo, hi))
                else:
                    trial.append(pop[i][j])
            ft = f(trial)
            if ft <= vals[i]:
                pop[i], vals[i] = trial, ft
                if ft < fbest:
                    best, fbest = i, ft
        total = 0.0
        for v in vals:
            total += v
        mean = total / np_
        if mean != 0.0 and not math.isnan(mean):
            sq = 0.0
            for v in vals:
                sq += (v - mean) * (v - mean)
            sd = math.sqrt(sq / np_)
            if sd / abs(mean) < 1e-8:
                break
    return nelder_mead(f, pop[best], bounds, 1e-10, False, 2000)


class Counted:
    def __init__(self, f):
        self.f, self.calls = f, 0

    def __call__(self, x):
        self.calls += 1
        return self.f(x)


def rugged(x):
    # Must match rugged() in test_differential_evolution.cpp operation for operation.
    s = 0.5
    for j, v in enumerate(x):
        d = v - 0.25 * (j + 1)
        s += d * d + 0.3 * abs(d - 0.125 * math.floor(8.0 * d))
    return s


def main():
    cases = [
        ([(-2.0, 2.0)], 0),
        ([(-2.0, 2.0), (-1.0, 3.0)], 1),
        ([(-2.0, 2.0), (0.0, 0.4), (-5.0, 5.0)], 0xFFFFFFFFFFFFFFFF),
    ]
    for bounds, seed in cases:
        f = Counted(rugged)
        x, val = differential_evolution(f, bounds, seed)
        print("{%d, 0x%xULL, %d, {%s}, %s}," % (
            len(bounds), seed, f.calls, ", ".join(float.hex(v) for v in x), float.hex(val)))


if __name__ == "__main__":
    main()
