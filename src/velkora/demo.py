"""A tour of velkora on built-in synthetic data.

    python -m velkora.demo

Generates methylation-level distributions for several CpG-density bins from
known model parameters (with sampling noise), evaluates the model, fits every
density independently, draws a small phase diagram and fits a drift time
course.
"""

import time

import numpy as np

from . import velk_core

EDGES = np.linspace(0.0, 1.0, 21)  # 20 methylation-level bins
ST_BOUNDS = (0.01, 10.0)
CO_BOUNDS = (0.01, 100.0)
MOLECULES = 20000

# True (St, CoW, CoE) of each density bin: cooperation grows with CpG density.
TRUE_PARAMS = np.array(
    [
        [1.00, 0.3, 0.5],
        [0.90, 0.6, 1.0],
        [0.80, 1.0, 1.0],
        [0.70, 1.2, 3.0],
        [0.50, 3.0, 2.0],
    ]
)


def synthetic_data(seed=2024):
    """Observed fractions per density: model fractions plus multinomial noise."""
    rng = np.random.default_rng(seed)
    rows = []
    for st, cow, coe in TRUE_PARAMS:
        model = velk_core.py_compute_model_fracs(st, 1.0, cow, coe, EDGES)
        counts = rng.multinomial(MOLECULES, model / model.sum())
        rows.append(counts / MOLECULES)
    return np.array(rows)


def bar(fractions, width=40):
    """A one-line sparkline of a distribution over the methylation bins."""
    levels = " .:-=+*#%@"
    top = max(fractions.max(), 1e-12)
    return "".join(levels[min(len(levels) - 1, int(f / top * (len(levels) - 1) + 0.5))] for f in fractions)


def show_model():
    print("Model distributions over 20 methylation-level bins (StW = 1):")
    for ste, cow, coe in [(1.0, 0.1, 0.1), (0.2, 5.0, 1.0), (0.05, 1.0, 20.0), (1.0, 1000.0, 1000.0)]:
        fr = velk_core.py_compute_model_fracs(ste, 1.0, cow, coe, EDGES)
        print(f"  StE={ste:<5} CoW={cow:<7} CoE={coe:<7} |{bar(fr)}|  mean level {fr @ (EDGES[:-1] + 0.025):.3f}")
    print()


def fit_densities(rows):
    start = time.perf_counter()
    fitps, nlls = velk_core.py_fit_all_densities(rows, EDGES, True, ST_BOUNDS, CO_BOUNDS)
    elapsed = time.perf_counter() - start
    print(f"Independent fits of {len(rows)} densities ({elapsed * 1e3:.0f} ms, in parallel):")
    print("  density   true St  fit St   true CoW  fit CoW   true CoE  fit CoE    NLL    NLL(true)")
    for d, ((st, cow, coe), fit, nll) in enumerate(zip(TRUE_PARAMS, fitps, nlls)):
        at_truth = velk_core.py_compute_nll(np.array([st, cow, coe]), rows[d], EDGES, True)
        print(
            f"  {d:>7}   {st:7.3f}  {fit[0]:7.3f}   {cow:8.3f}  {fit[1]:7.3f}   {coe:8.3f}  {fit[2]:7.3f}"
            f"  {nll:7.4f}  {at_truth:7.4f}"
        )
    print("  (a fit is as good as the truth when its NLL is at most NLL(true); parameter scatter")
    print("   shows how flat the likelihood is along St-CoW-CoE trade-offs at this sample size)")
    print()
    return fitps


def phase_diagram():
    axis = np.linspace(-2.0, 3.0, 26)
    start = time.perf_counter()
    bist, avg, entropy, inter = velk_core.py_compute_phase_grids(1.0, True, axis, axis)
    elapsed = time.perf_counter() - start
    i, j = np.unravel_index(np.argmax(bist), bist.shape)
    print(f"Phase diagram over log10 CoW x log10 CoE in [-2, 3]^2 ({bist.size} steady states, {elapsed * 1e3:.0f} ms):")
    print(f"  bistable (score > 0.5) at {np.mean(bist > 0.5):.0%} of the grid;"
          f" strongest at log10 CoW = {axis[i]:.1f}, log10 CoE = {axis[j]:.1f} (score {bist[i, j]:.3f})")
    print(f"  mean methylation ranges {avg.min():.3f} .. {avg.max():.3f};"
          f" entropy {entropy.min():.2f} .. {entropy.max():.2f} nats;"
          f" intermediate fraction up to {inter.max():.2f}")
    print("  bistability map (rows: log10 CoW from 3 down to -2; columns: log10 CoE from -2 to 3):")
    for r in range(len(axis) - 1, -1, -5):
        print("    " + "".join("#" if b > 0.5 else ("+" if b > 0.1 else ".") for b in bist[r]))
    print()


SHARED_ST = 0.3
SHARED_CO = [(1.0, 2.0), (2.0, 1.0), (4.0, 3.0)]  # per-density (CoW, CoE) around one St


def shared_st_uncertainty(n_boot=8, seed=11):
    """Shared-St fit, a small bootstrap of it and the St profile."""
    rng = np.random.default_rng(seed)
    model = np.array([velk_core.py_compute_model_fracs(SHARED_ST, 1.0, cw, ce, EDGES) for cw, ce in SHARED_CO])
    rows = np.array([rng.multinomial(MOLECULES, m / m.sum()) / MOLECULES for m in model])
    start = time.perf_counter()
    st, fitps, nlls = velk_core.py_fit_shared_st(rows, EDGES, True, ST_BOUNDS, CO_BOUNDS)
    print(f"Shared-St fit of {len(rows)} densities: St = {st:.4f} (true {SHARED_ST})"
          f"  [{(time.perf_counter() - start) * 1e3:.0f} ms]")

    resamples = np.array(
        [rng.multinomial(MOLECULES, r / r.sum()) / MOLECULES for _ in range(n_boot) for r in rows]
    )
    start = time.perf_counter()
    boot = velk_core.py_fit_bootstrap(resamples, n_boot, len(rows), EDGES, True, True, False, ST_BOUNDS, CO_BOUNDS)
    st_samples = boot[:: len(rows), 2]
    low, high = np.percentile(st_samples, [5, 95])
    print(f"  bootstrap of {n_boot} resamples: St 90% interval [{low:.4f}, {high:.4f}]"
          f"  [{(time.perf_counter() - start):.1f} s]")

    grid = np.geomspace(st / 1.5, st * 1.5, 11)
    profile = velk_core.py_profile_shared_st(rows, EDGES, True, grid, CO_BOUNDS)
    best = int(np.argmin(profile))
    print(f"  St profile over [{grid[0]:.3f}, {grid[-1]:.3f}]: minimum {profile[best]:.5f} at St = {grid[best]:.4f}")
    print()


def shared_exponents():
    from ._demo_shared import shared_exp_demo

    truth = {"St": 0.2, "n_U": 2.0, "n_M": 2.0, "CoW": [4.0, 1.0, 6.0], "CoE": [1.0, 4.0, 6.0]}
    rows = np.array(
        [velk_core.py_compute_model_fracs(truth["St"], 1.0, cw, ce, EDGES) for cw, ce in zip(truth["CoW"], truth["CoE"])]
    )
    # Weights stand in for molecule counts, so that the summed NLL resolves the exponents.
    shared_exp_demo(rows, EDGES, truth, weights=np.full(len(rows), 1e5))
    print()


def drift_time_course():
    from ._demo_drift import drift_demo

    drift_demo()
    print()


def main():
    print("velkora demo: synthetic methylation-level distributions\n")
    show_model()
    rows = synthetic_data()
    fit_densities(rows)
    phase_diagram()
    shared_st_uncertainty()
    shared_exponents()
    drift_time_course()


if __name__ == "__main__":
    main()
