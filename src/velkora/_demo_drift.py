"""Drift section of the demo: a synthetic time course from known rates, the
fitted (StE, StW), a small bootstrap, and predicted against observed
distributions at every age."""

import numpy as np

from . import velk_core

TRUE_STE = 0.04
TRUE_STW = 0.015
MOLECULES = 2000


def _row(values):
    return " ".join(f"{v:6.3f}" for v in values)


def drift_demo(seed=2024):
    """Prints the drift walk-through; returns the fitted (StE, StW, NLL)."""
    rng = np.random.default_rng(seed)
    edges = np.linspace(0.0, 1.0, 11)
    ages = np.array([2.0, 5.0, 12.0])
    # A bimodal population at age 0, as in tissue with methylated and
    # unmethylated molecules side by side.
    p0_true = np.array([0.30, 0.10, 0.05, 0.03, 0.02, 0.02, 0.03, 0.05, 0.10, 0.30])
    truth = velk_core.py_drift_predict(TRUE_STE, TRUE_STW, p0_true, ages, edges)
    p0_observed = rng.multinomial(MOLECULES, p0_true) / MOLECULES
    observed = np.array([rng.multinomial(MOLECULES, row / row.sum()) / MOLECULES for row in truth])

    print("Drift model: spontaneous erasing and writing only")
    print(f"  synthetic time course from StE = {TRUE_STE}, StW = {TRUE_STW}, {MOLECULES} molecules per age")
    print(f"  age  0: {_row(p0_observed)}")
    for age, row in zip(ages, observed):
        print(f"  age {age:2.0f}: {_row(row)}")

    ste, stw, nll = velk_core.py_fit_drift_one(p0_observed, observed, ages, edges, (1e-4, 1.0))
    print(f"  fitted StE = {ste:.4f}, StW = {stw:.4f} (NLL {nll:.4f})")

    n_boot = 20
    p0_boot = rng.multinomial(MOLECULES, p0_observed, size=n_boot) / MOLECULES
    observed_boot = np.vstack(
        [rng.multinomial(MOLECULES, row / row.sum()) / MOLECULES for _ in range(n_boot) for row in observed]
    )
    boot = velk_core.py_fit_drift_bootstrap(p0_boot, observed_boot, n_boot, len(ages), ages, edges, (1e-4, 1.0))
    low, high = np.percentile(boot[:, :2], [2.5, 97.5], axis=0)
    print(
        f"  bootstrap ({n_boot} resamples) 95% range: "
        f"StE {low[0]:.4f}..{high[0]:.4f}, StW {low[1]:.4f}..{high[1]:.4f}"
    )

    predicted = velk_core.py_drift_predict(ste, stw, p0_observed, ages, edges)
    print("  predicted vs observed per age (methylation bins 0-0.1 ... 0.9-1):")
    for age, model, data in zip(ages, predicted, observed):
        print(f"  age {age:2.0f} model   : {_row(model)}")
        print(f"         observed: {_row(data)}")
    return ste, stw, nll


if __name__ == "__main__":
    drift_demo()
