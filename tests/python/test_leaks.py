"""Repeated calls keep memory and reference counts flat, also on error paths."""

import gc
import sys

import numpy as np
import pytest

from velkora import velk_core


def resident_kib():
    with open("/proc/self/statm") as statm:
        pages = int(statm.read().split()[1])
    import resource

    return pages * resource.getpagesize() // 1024


# One row whose St is its own: a tied fit of one differential evolution.
TIED_LAYOUT = np.array([[0.0, -1.0, -1.0, -1.0, -1.0, -1.0]])
TIED_FIXED = np.array([[np.nan, 2.0, 3.0, 2.0, 2.0, np.inf]])


def exercise(edges, observed, params, cow, coe, fits=False):
    rows = observed.reshape(1, -1)
    if fits:
        velk_core.py_fit_all_densities(rows, edges, True, (0.1, 1.0), (0.1, 10.0))
        velk_core.py_fit_one_density(observed, edges, True, (0.1, 1.0), (0.1, 10.0))
        velk_core.py_profile_shared_co(rows, edges, True, 0.5, cow + 2.0, coe + 2.0, (0.1, 10.0))
        with pytest.raises(RuntimeError):
            velk_core.py_fit_all_densities(rows, edges, True, (1.0, 0.1), (0.1, 10.0))
        velk_core.py_fit_tied(rows, edges, True, TIED_LAYOUT, TIED_FIXED, params[:1], params[:1] + 1.0, seed=3)
    velk_core.py_compute_nll(params, observed, edges, True)
    velk_core.py_compute_model_fracs(0.5, 1.0, 2.0, 3.0, edges)
    velk_core.py_compute_phase_grids(0.5, True, cow, coe)
    velk_core.py_set_raw_count(False)
    velk_core.py_set_mm_vmax(float("inf"))
    velk_core.py_drift_predict(0.1, 0.2, observed, cow, edges)
    velk_core.py_fit_drift_bootstrap(rows, rows, 0, 1, cow, edges, (0.1, 1.0))
    for bad in (
        lambda: velk_core.py_drift_predict(0.1, 0.2, params, cow, edges),
        lambda: velk_core.py_fit_drift_bootstrap(rows, rows, 2, 1, cow, edges, (0.1, 1.0)),
        lambda: velk_core.py_fit_drift_bootstrap(rows, rows, -1, 1, cow, edges, (0.1, 1.0)),
        lambda: velk_core.py_compute_nll(params[:2], observed, edges, True),
        lambda: velk_core.py_compute_nll(params, observed, [0.0, 1.0], True),
        lambda: velk_core.py_compute_nll(params, observed, edges, 1),
        lambda: velk_core.py_compute_nll(params[::2], observed, edges, True),
        lambda: velk_core.py_compute_model_fracs("x", 1.0, 2.0, 3.0, edges),
        lambda: velk_core.py_compute_model_fracs(0.5, 1.0, 2.0, 3.0, edges, bogus=1),
        # Tied fits refused after every array is copied: the layout, the
        # bounds, the starts' shape.
        lambda: velk_core.py_fit_tied(rows, edges, True, TIED_LAYOUT + 0.5, TIED_FIXED, params[:1], params[:1]),
        lambda: velk_core.py_fit_tied(rows, edges, True, TIED_LAYOUT, TIED_FIXED, params[:1], params[:1] - 1.0),
        lambda: velk_core.py_fit_tied(
            rows, edges, True, TIED_LAYOUT, TIED_FIXED, params[:1], params[:1], starts=params.reshape(1, -1)
        ),
        lambda: velk_core.py_fit_tied(rows, edges, True, TIED_LAYOUT, TIED_FIXED, params[:1], params[:1], seed=None),
    ):
        with pytest.raises((TypeError, OverflowError, RuntimeError)):
            bad()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_thousands_of_calls_leak_nothing():
    edges = np.linspace(0.0, 1.0, 11)
    observed = np.full(10, 0.1)
    params = np.array([0.5, 2.0, 3.0])
    cow = np.linspace(-1.0, 1.0, 3)
    coe = np.linspace(-1.0, 1.0, 3)
    arrays = (edges, observed, params, cow, coe)

    for i in range(500):
        exercise(*arrays, fits=(i % 50 == 0))
    gc.collect()
    refcounts = [sys.getrefcount(a) for a in arrays]
    before = resident_kib()
    for i in range(5000):
        exercise(*arrays, fits=(i % 50 == 0))
    gc.collect()
    grown = resident_kib() - before

    assert [sys.getrefcount(a) for a in arrays] == refcounts
    # A leak of even one small object per call would show as several MiB here.
    assert grown < 2048, f"resident memory grew by {grown} KiB"


def test_result_arrays_own_their_buffers_and_free_them():
    import weakref

    grids = velk_core.py_compute_phase_grids(0.5, True, np.zeros(200), np.zeros(300))
    base = grids[0].base
    assert base is not None and type(base).__name__ == "PyCapsule"
    view = grids[0][10:20]
    del grids
    gc.collect()
    assert view.shape == (10, 300) and np.all(np.isfinite(view))
    ref = weakref.ref(view)
    del view
    gc.collect()
    assert ref() is None
