"""The drift model: propagation accuracy, fits and bootstrap."""

import numpy as np
import pytest
from scipy.linalg import expm

from velkora import velk_core

# One bin per macrostate: bin k = [(k - 0.5)/70, (k + 0.5)/70) holds level k/70
# alone, so binned outputs are the propagated distribution itself (floored).
PER_MACROSTATE = (np.arange(72) - 0.5) / 70
EDGES = np.linspace(0.0, 1.0, 11)
P0_FRACS = np.array([0.30, 0.10, 0.05, 0.03, 0.02, 0.02, 0.03, 0.05, 0.10, 0.30])


def generator(ste, stw):
    """The spontaneous-only generator, column = source macrostate."""
    m = np.arange(71)
    q = np.zeros((71, 71))
    q[m[1:] - 1, m[1:]] = ste * m[1:]
    q[m[:-1] + 1, m[:-1]] = stw * (70 - m[:-1])
    q[m, m] = -q.sum(axis=0)
    return q


def floored(p):
    """The drift binning's floor and renormalisation, for comparisons."""
    p = np.where(p < 1e-10, 1e-10, p)
    return p / p.sum()


RATES = [0.0, 1e-4, 1e-2, 1.0, 1e2]
AGES = [0.0, 1e-3, 0.1, 1.0, 10.0, 1e3]


def expm_cases():
    for ste in RATES:
        for stw in RATES:
            ages = [t for t in AGES if np.abs(t * generator(ste, stw)).sum(axis=0).max() <= 1e4]
            if ages:
                yield pytest.param(ste, stw, ages, id=f"StE={ste:g}-StW={stw:g}")
    # Signed rates and ages, which the closed form evaluates as they are.
    yield pytest.param(-0.05, 0.05, [0.2], id="signed-rates")
    yield pytest.param(0.2, 0.3, [-0.1], id="negative-age")


@pytest.mark.parametrize("ste,stw,ages", list(expm_cases()))
def test_propagation_matches_scipy_expm(ste, stw, ages):
    rng = np.random.default_rng(42)
    p0 = rng.random(71)
    p0 /= p0.sum()
    ours = velk_core.py_drift_predict(ste, stw, p0, np.array(ages), PER_MACROSTATE)
    for row, t in zip(ours, ages):
        reference = floored(expm(t * generator(ste, stw)) @ p0)
        np.testing.assert_allclose(row, reference, rtol=0, atol=1e-12, err_msg=f"t={t}")


def synthetic(ste, stw, ages):
    return velk_core.py_drift_predict(ste, stw, P0_FRACS, ages, EDGES)


def test_fit_recovers_known_rates_and_ignores_unmatched_ages():
    ages = np.array([2.0, 5.0, 12.0])
    observed = synthetic(0.04, 0.015, ages)
    ste, stw, nll = velk_core.py_fit_drift_one(P0_FRACS, observed, ages, EDGES, (1e-4, 1.0))
    assert ste == pytest.approx(0.04, rel=1e-4)
    assert stw == pytest.approx(0.015, rel=1e-4)
    # At the truth the NLL is the entropy of the observed rows.
    assert nll == pytest.approx(-(observed * np.log(observed)).sum(), rel=1e-9)
    # A fourth age without a row changes nothing.
    extra = velk_core.py_fit_drift_one(P0_FRACS, observed, np.append(ages, 40.0), EDGES, (1e-4, 1.0))
    assert extra[2] == pytest.approx(nll, rel=1e-9)


def test_inverted_bounds_fail_the_fit():
    observed = synthetic(0.04, 0.015, np.array([2.0]))
    with pytest.raises(RuntimeError, match="exceeds"):
        velk_core.py_fit_drift_one(P0_FRACS, observed, np.array([2.0]), EDGES, (1.0, 1e-4))


def bootstrap_inputs(n_boot, ages, seed=7):
    """Multinomial resamples of synthetic data, molecules per age ~ 500."""
    rng = np.random.default_rng(seed)
    truth = synthetic(0.03, 0.01, ages)
    p0 = rng.multinomial(500, P0_FRACS, size=n_boot) / 500
    observed = np.vstack([rng.multinomial(500, row) / 500 for _ in range(n_boot) for row in truth])
    return p0, observed


def test_bootstrap_shapes_and_row_errors():
    ages = np.array([3.0, 9.0])
    p0, observed = bootstrap_inputs(3, ages)
    empty = velk_core.py_fit_drift_bootstrap(p0, observed, 0, 2, ages, EDGES, (1e-4, 1.0))
    assert empty.shape == (0, 3)
    with pytest.raises(RuntimeError, match="index out of range.*p0_per_boot"):
        velk_core.py_fit_drift_bootstrap(p0, observed, 4, 2, ages, EDGES, (1e-4, 1.0))
    for n_fit_ages in (3, 2**63):  # the row count must not wrap around
        with pytest.raises(RuntimeError, match="index out of range.*fit_observed_per_boot"):
            velk_core.py_fit_drift_bootstrap(p0, observed, 3, n_fit_ages, ages, EDGES, (1e-4, 1.0))
    # p0_observed too short for the bins that hold macrostates.
    with pytest.raises(RuntimeError, match="index out of range"):
        velk_core.py_fit_drift_bootstrap(p0[:, :3].copy(), observed, 3, 2, ages, EDGES, (1e-4, 1.0))
    fits = velk_core.py_fit_drift_bootstrap(p0, observed, 3, 2, ages, EDGES, (1e-4, 1.0))
    assert fits.shape == (3, 3) and fits.flags.c_contiguous
    # Resampled data scatter around the truth.
    np.testing.assert_allclose(fits[:, 0], 0.03, rtol=0.3)
    np.testing.assert_allclose(fits[:, 1], 0.01, rtol=0.3)
