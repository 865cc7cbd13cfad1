"""Profile likelihoods over St and over the cooperative rates."""

import numpy as np
import pytest

from velkora import velk_core

EDGES = np.linspace(0.0, 1.0, 21)
CO_BOUNDS = (0.01, 100.0)
TRUE = [(0.5, 2.0, 3.0), (0.5, 1.0, 2.0)]


@pytest.fixture(scope="module")
def rows():
    return np.array([velk_core.py_compute_model_fracs(st, 1.0, cw, ce, EDGES) for st, cw, ce in TRUE])


def test_st_profile_is_lowest_at_the_shared_truth(rows):
    grid = np.array([0.2, 0.35, 0.5, 0.7, 1.0])
    profile = velk_core.py_profile_shared_st(rows, EDGES, True, grid, CO_BOUNDS)
    assert profile.shape == (5,)
    assert np.argmin(profile) == 2
    at_truth = sum(velk_core.py_compute_nll(np.array(t), r, EDGES, True) for t, r in zip(TRUE, rows))
    assert profile[2] == pytest.approx(at_truth, abs=1e-6)


def test_st_profile_weights(rows):
    grid = np.array([0.3, 0.5])
    plain = velk_core.py_profile_shared_st(rows, EDGES, True, grid, CO_BOUNDS)
    ones = velk_core.py_profile_shared_st(rows, EDGES, True, grid, CO_BOUNDS, weights=np.ones(2))
    np.testing.assert_allclose(ones, plain, rtol=1e-7)  # fresh seeds: equal up to the optimiser
    first_only = velk_core.py_profile_shared_st(rows[:1], EDGES, True, grid, CO_BOUNDS)
    doubled = velk_core.py_profile_shared_st(rows, EDGES, True, grid, CO_BOUNDS, weights=np.array([2.0, 0.0, 9.0]))
    np.testing.assert_allclose(doubled, 2.0 * first_only, rtol=1e-7)


def test_st_profile_needs_a_weight_per_density(rows):
    with pytest.raises(RuntimeError, match="weights"):
        velk_core.py_profile_shared_st(rows, EDGES, True, np.array([0.5]), CO_BOUNDS, weights=np.ones(1))


def test_rate_profiles_are_lowest_at_each_densitys_truth(rows):
    cow_grid = np.array([0.5, 1.0, 2.0, 4.0])
    coe_grid = np.array([1.0, 2.0, 3.0])
    cow_nll, coe_nll = velk_core.py_profile_shared_co(rows, EDGES, True, 0.5, cow_grid, coe_grid, CO_BOUNDS)
    assert cow_nll.shape == (2, 4) and coe_nll.shape == (2, 3)
    assert list(np.argmin(cow_nll, axis=1)) == [2, 1]
    assert list(np.argmin(coe_nll, axis=1)) == [2, 1]
    for d, (st, cw, ce) in enumerate(TRUE):
        at_truth = velk_core.py_compute_nll(np.array([st, cw, ce]), rows[d], EDGES, True)
        assert cow_nll[d, [2, 1][d]] == pytest.approx(at_truth, abs=1e-6)


def test_profiles_with_empty_grids_or_no_densities(rows):
    assert velk_core.py_profile_shared_st(rows, EDGES, True, np.array([]), CO_BOUNDS).shape == (0,)
    none = velk_core.py_profile_shared_st(np.zeros((0, 20)), EDGES, True, np.array([0.1, 1.0]), CO_BOUNDS)
    np.testing.assert_array_equal(none, [0.0, 0.0])
    cow_nll, coe_nll = velk_core.py_profile_shared_co(rows, EDGES, True, 0.5, np.array([]), np.array([1.0]), CO_BOUNDS)
    assert cow_nll.shape == (2, 0) and coe_nll.shape == (2, 1)


def test_seeded_st_profile_is_the_seeded_shared_st_objective(rows):
    # Both seed density d's inner fit alike at every St, so the profile at the
    # fitted St is exactly the total NLL the shared-St fit reports there.
    st, _, nlls = velk_core.py_fit_shared_st(rows, EDGES, True, (0.1, 1.0), CO_BOUNDS, seed=21)
    profile = velk_core.py_profile_shared_st(rows, EDGES, True, np.array([st, st]), CO_BOUNDS, seed=21)
    assert profile[0] == profile[1] == 0.0 + nlls[0] + nlls[1]
