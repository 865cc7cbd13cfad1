"""Single model evaluations from Python, against an independent NumPy model."""

import math

import numpy as np
import pytest

import reference_model as ref
from velkora import velk_core

PARAMETER_SETS = [
    # (St, CoW, CoE)
    (0.5, 2.0, 3.0),
    (0.05, 20.0, 1.0),
    (3.0, 0.1, 50.0),
    (1.0, 1.0, 1.0),
]


@pytest.mark.parametrize("st,cow,coe", PARAMETER_SETS)
@pytest.mark.parametrize("normalize_stw", [True, False])
def test_nll_matches_an_independent_model(edges, observed, st, cow, coe, normalize_stw):
    got = velk_core.py_compute_nll(np.array([st, cow, coe]), observed, edges, normalize_stw)
    assert got == pytest.approx(ref.nll(observed, edges, normalize_stw, st, cow, coe), rel=1e-10)


@pytest.mark.parametrize("ste,stw,cow,coe", [(0.5, 1.0, 2.0, 3.0), (1.0, 0.2, 8.0, 0.5)])
def test_model_fractions_match_numpy_solve(edges, ste, stw, cow, coe):
    got = velk_core.py_compute_model_fracs(ste, stw, cow, coe, edges)
    want = ref.bin_probabilities(ref.steady_state_lu(ste, stw, cow, coe), edges)
    np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-15)
    assert got.dtype == np.float64 and got.shape == (10,)


def test_fourth_and_later_params_are_ignored_and_exponents_are_two(edges, observed):
    base = velk_core.py_compute_nll(np.array([0.5, 2.0, 3.0]), observed, edges, True)
    longer = velk_core.py_compute_nll(np.array([0.5, 2.0, 3.0, 7.0, 9.0]), observed, edges, True)
    assert longer == base
    assert base == pytest.approx(ref.nll(observed, edges, True, 0.5, 2.0, 3.0, n_u=2.0, n_m=2.0), rel=1e-10)


@pytest.mark.parametrize(
    "call,pattern",
    [
        (lambda o, e: velk_core.py_compute_nll(np.array([0.5, 2.0]), o, e, True), "out of range"),
        (lambda o, e: velk_core.py_compute_nll(np.array([]), o, e, True), "out of range"),
        (lambda o, e: velk_core.py_compute_nll(np.array([0.5, 2.0, 3.0]), o, e[:0], True), "meth_bin_edges"),
        (lambda o, e: velk_core.py_compute_model_fracs(0.5, 1.0, 2.0, 3.0, e[:0]), "meth_bin_edges"),
    ],
)
def test_short_params_and_empty_edges_are_clear_runtime_errors(edges, observed, call, pattern):
    with pytest.raises(RuntimeError, match=pattern):
        call(observed, edges)


def test_single_edge_gives_no_bins():
    one = np.array([0.5])
    assert velk_core.py_compute_model_fracs(0.5, 1.0, 2.0, 3.0, one).shape == (0,)
    assert velk_core.py_compute_nll(np.array([0.5, 2.0, 3.0]), np.array([1.0]), one, True) == 0.0


def test_one_bin_scores_zero_and_lengths_may_differ(edges):
    whole = np.array([0.0, 1.0])
    assert velk_core.py_compute_nll(np.array([0.5, 2.0, 3.0]), np.array([0.7, 9.0]), whole, True) == 0.0
    fr = velk_core.py_compute_model_fracs(0.5, 1.0, 2.0, 3.0, edges)
    observed = np.array([0.4, 0.6])
    want = 0.0 - 0.4 * math.log(fr[0]) - 0.6 * math.log(fr[1])
    assert velk_core.py_compute_nll(np.array([0.5, 2.0, 3.0]), observed, edges, True) == want


def test_raw_count_switch_changes_every_later_evaluation(edges, observed):
    params = np.array([0.5, 2.0, 3.0])
    fraction = velk_core.py_compute_nll(params, observed, edges, True)
    fractions = velk_core.py_compute_model_fracs(0.5, 1.0, 2.0, 3.0, edges)
    velk_core.py_set_raw_count(True)
    raw = velk_core.py_compute_nll(params, observed, edges, True)
    assert raw != fraction
    assert raw == pytest.approx(ref.nll(observed, edges, True, 0.5, 2.0, 3.0, raw=True), rel=1e-10)
    velk_core.py_set_raw_count(np.False_)
    assert velk_core.py_compute_nll(params, observed, edges, True) == fraction
    np.testing.assert_array_equal(velk_core.py_compute_model_fracs(0.5, 1.0, 2.0, 3.0, edges), fractions)


@pytest.mark.parametrize("vmax", [0.5, 7.0, 0.0, -3.0, math.inf, math.nan, -math.inf])
def test_finite_positive_ceilings_saturate_both_entry_points_others_leave_drives_free(edges, observed, vmax):
    params = np.array([0.5, 2.0, 3.0])
    free = velk_core.py_compute_nll(params, observed, edges, True)
    velk_core.py_set_mm_vmax(vmax)
    saturated = velk_core.py_compute_nll(params, observed, edges, True)
    fr = velk_core.py_compute_model_fracs(0.5, 1.0, 2.0, 3.0, edges)
    if not math.isfinite(vmax):
        assert saturated == free
    elif vmax > 0:
        assert saturated != free
        assert saturated == pytest.approx(ref.nll(observed, edges, True, 0.5, 2.0, 3.0, vmax=vmax), rel=1e-10)
        np.testing.assert_allclose(
            fr, ref.bin_probabilities(ref.steady_state_exact(0.5, 1.0, 2.0, 3.0, vmax=vmax), edges), rtol=1e-9
        )


def test_nan_parameters_give_nan_not_an_error(edges, observed):
    assert math.isnan(velk_core.py_compute_nll(np.array([math.nan, 2.0, 3.0]), observed, edges, True))
