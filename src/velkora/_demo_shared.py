"""Shared-exponent fit on synthetic data: recovered vs true shared parameters."""

import time

import numpy as np

from . import velk_core


def shared_exp_demo(rows, edges, true_params, weights=None):
    """Fits shared (St, n_U, n_M) to ``rows`` and prints them beside the truth.

    rows: (n_densities, n_meth_bins) observed fractions; edges: the
    n_meth_bins + 1 methylation-bin edges; true_params: mapping with the keys
    "St", "n_U", "n_M" (and optionally "CoW", "CoE", one value per density).
    The fit's progress log goes to standard error. Returns the fit's 6-tuple.
    """
    rows = np.ascontiguousarray(rows, dtype=np.float64)
    edges = np.ascontiguousarray(edges, dtype=np.float64)
    print(f"Shared-exponent fit: {rows.shape[0]} densities x {rows.shape[1]} methylation bins "
          "(progress on standard error)")
    started = time.perf_counter()
    result = velk_core.py_fit_shared_exp(
        rows, edges, True, (0.01, 2.0), (0.05, 50.0), (1.0, 3.5), weights=weights
    )
    elapsed = time.perf_counter() - started
    st, n_u, n_m, _, fitps, nlls = result
    print(f"  done in {elapsed:.1f} s")
    print(f"  {'parameter':<10} {'true':>10} {'fitted':>10}")
    for name, fitted in (("St", st), ("n_U", n_u), ("n_M", n_m)):
        print(f"  {name:<10} {true_params[name]:>10.4f} {fitted:>10.4f}")
    if "CoW" in true_params:
        for i, (cow, coe) in enumerate(zip(true_params["CoW"], true_params["CoE"])):
            print(f"  density {i}: CoW {cow:.3f} -> {fitps[i, 1]:.3f}, "
                  f"CoE {coe:.3f} -> {fitps[i, 2]:.3f}, NLL {nlls[i]:.4f}")
    return result


if __name__ == "__main__":
    demo_edges = np.linspace(0.0, 1.0, 21)
    truth = {"St": 0.2, "n_U": 2.0, "n_M": 2.0, "CoW": [4.0, 1.0, 6.0], "CoE": [1.0, 4.0, 6.0]}
    demo_rows = np.array([
        velk_core.py_compute_model_fracs(truth["St"], 1.0, cow, coe, demo_edges)
        for cow, coe in zip(truth["CoW"], truth["CoE"])
    ])
    shared_exp_demo(demo_rows, demo_edges, truth, weights=np.full(len(demo_rows), 1e5))
