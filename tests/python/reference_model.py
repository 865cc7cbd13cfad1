"""An independent NumPy implementation of the steady-state model, for checks.

It assembles the 71-state generator densely and solves it with
``numpy.linalg.solve``, and also gives the detailed-balance closed form of the
birth-death chain (exact also where the linear solve is ill-conditioned).
"""

import numpy as np

NCPG = 70
LEVELS = np.arange(NCPG + 1) / 70.0


def rates(ste, stw, cow, coe, n_u=2.0, n_m=2.0, vmax=np.inf, raw=False):
    """Writing rates M -> M+1 and erasing rates M+1 -> M for M = 0..69."""
    m = np.arange(NCPG, dtype=float)
    b_write = (m + 1) if raw else (m + 1) / 70.0
    b_erase = (NCPG - m) if raw else 1.0 - m / 70.0
    d_write = cow * b_write**n_m
    d_erase = coe * b_erase**n_u
    if np.isfinite(vmax):
        d_write = d_write / (d_write / vmax + 1.0)
        d_erase = d_erase / (d_erase / vmax + 1.0)
    return (NCPG - m) * (stw + d_write), (m + 1) * (ste + d_erase)


def steady_state_lu(ste, stw, cow, coe, **kw):
    up, down = rates(ste, stw, cow, coe, **kw)
    a = np.zeros((NCPG + 1, NCPG + 1))
    idx = np.arange(NCPG)
    a[idx + 1, idx] = up
    a[idx, idx + 1] = down
    a[np.diag_indices(NCPG + 1)] = -a.sum(axis=0)
    a[NCPG, :] = 1.0
    b = np.zeros(NCPG + 1)
    b[NCPG] = 1.0
    return np.linalg.solve(a, b)


def steady_state_exact(ste, stw, cow, coe, **kw):
    up, down = rates(ste, stw, cow, coe, **kw)
    log_w = np.concatenate([[0.0], np.cumsum(np.log(up) - np.log(down))])
    w = np.exp(log_w - log_w.max())
    return w / w.sum()


def bin_probabilities(p, edges):
    edges = np.asarray(edges, dtype=float)
    n = len(edges) - 1
    q = np.zeros(n)
    for m, x in enumerate(LEVELS):
        for j in range(n):
            last = j == n - 1
            if edges[j] <= x and (x <= edges[j + 1] if last else x < edges[j + 1]):
                q[j] += p[m]
                break
    q = np.maximum(q, 1e-8)
    return q / q.sum()


def nll(observed, edges, normalize_stw, st, cow, coe, solver=steady_state_exact, **kw):
    ste, stw = (st, 1.0) if normalize_stw else (1.0, st)
    q = bin_probabilities(solver(ste, stw, cow, coe, **kw), edges)
    k = min(len(q), len(observed))
    return float(-(np.asarray(observed)[:k] * np.log(q[:k])).sum())
