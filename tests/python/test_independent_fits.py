"""Independent fits of one or all density bins."""

import numpy as np
import pytest

from velkora import velk_core

from conftest import run_python

EDGES = np.linspace(0.0, 1.0, 21)
TRUE = [(0.3, 2.0, 5.0), (1.5, 8.0, 0.7), (0.6, 0.4, 0.9)]
ST_BOUNDS = (0.01, 10.0)
CO_BOUNDS = (0.01, 100.0)


def synthetic_rows(params=TRUE, edges=EDGES):
    return np.array([velk_core.py_compute_model_fracs(st, 1.0, cw, ce, edges) for st, cw, ce in params])


@pytest.fixture(scope="module")
def rows():
    return synthetic_rows()


@pytest.fixture(scope="module")
def fitted(rows):
    return velk_core.py_fit_all_densities(rows, EDGES, True, ST_BOUNDS, CO_BOUNDS)


def test_fits_reach_the_likelihood_of_the_generating_parameters(rows, fitted):
    fitps, nlls = fitted
    assert fitps.shape == (3, 3) and nlls.shape == (3,)
    for i, (st, cw, ce) in enumerate(TRUE):
        at_truth = velk_core.py_compute_nll(np.array([st, cw, ce]), rows[i], EDGES, True)
        # The likelihood is flat along St/CoW trade-offs; the fit must get as
        # low as the truth, not necessarily to the same point.
        assert nlls[i] <= at_truth + 1e-5
    # The first density is well identified.
    np.testing.assert_allclose(fitps[0], TRUE[0], rtol=2e-2)


def test_rows_are_seeded_by_index_and_independent_of_each_other(rows, fitted):
    fitps, nlls = fitted
    again = velk_core.py_fit_all_densities(rows, EDGES, True, ST_BOUNDS, CO_BOUNDS)
    np.testing.assert_array_equal(again[0], fitps)
    np.testing.assert_array_equal(again[1], nlls)
    alone = velk_core.py_fit_all_densities(rows[:1], EDGES, True, ST_BOUNDS, CO_BOUNDS)
    np.testing.assert_array_equal(alone[0][0], fitps[0])
    assert alone[1][0] == nlls[0]


def test_the_row_nll_is_the_unpenalised_model_nll_at_the_fitted_point(rows):
    for penalty in (0.0, 0.05, -0.05):
        fitps, nlls = velk_core.py_fit_all_densities(rows, EDGES, False, ST_BOUNDS, CO_BOUNDS, co_penalty=penalty)
        for i in range(len(rows)):
            assert nlls[i] == velk_core.py_compute_nll(fitps[i], rows[i], EDGES, False)


def test_positive_penalty_pulls_the_cooperative_rates_down(rows, fitted):
    free = fitted[0]
    penalised, _ = velk_core.py_fit_all_densities(rows, EDGES, True, ST_BOUNDS, CO_BOUNDS, co_penalty=1.0)
    assert np.all(penalised[:, 1] + penalised[:, 2] < free[:, 1] + free[:, 2])


def test_exp_variant_columns_are_st_nu_nm_cow_coe(rows):
    fitps, nlls = velk_core.py_fit_all_densities_exp(rows, EDGES, True, ST_BOUNDS, CO_BOUNDS, (2.0, 2.0))
    assert fitps.shape == (3, 5)
    # Collapsed exponent bounds pin n_U = n_M = 2 exactly: columns 1 and 2.
    np.testing.assert_array_equal(fitps[:, 1:3], 2.0)
    np.testing.assert_allclose(fitps[0, [0, 3, 4]], TRUE[0], rtol=2e-2)
    for i in range(3):
        assert nlls[i] == pytest.approx(
            velk_core.py_compute_nll(fitps[i, [0, 3, 4]], rows[i], EDGES, True), abs=1e-12
        )


def test_exp_variant_fits_exponents():
    rows = synthetic_rows([(0.5, 3.0, 2.0)])  # generated with n_U = n_M = 2
    fitps, nlls = velk_core.py_fit_all_densities_exp(rows, EDGES, True, ST_BOUNDS, CO_BOUNDS, (1.0, 4.0))
    at_truth = velk_core.py_compute_nll(np.array([0.5, 3.0, 2.0]), rows[0], EDGES, True)
    assert nlls[0] <= at_truth + 1e-5
    assert np.all((fitps[0, 1:3] >= 1.0) & (fitps[0, 1:3] <= 4.0))


def test_empty_input_gives_empty_results():
    empty = np.zeros((0, 20))
    fitps, nlls = velk_core.py_fit_all_densities(empty, EDGES, True, ST_BOUNDS, CO_BOUNDS)
    assert fitps.shape == (0, 3) and nlls.shape == (0,)
    fitps, nlls = velk_core.py_fit_all_densities_exp(empty, EDGES, True, ST_BOUNDS, CO_BOUNDS, (1.0, 3.0))
    assert fitps.shape == (0, 5) and nlls.shape == (0,)


def test_fortran_ordered_input_gives_the_rows_the_caller_sees(rows, fitted):
    c_order = fitted
    f_order = velk_core.py_fit_all_densities(np.asfortranarray(rows), EDGES, True, ST_BOUNDS, CO_BOUNDS)
    assert np.asfortranarray(rows).flags.f_contiguous
    np.testing.assert_array_equal(c_order[0], f_order[0])


@pytest.mark.parametrize(
    "st_bounds,co_bounds,pattern",
    [
        ((5.0, 1.0), CO_BOUNDS, "lower bound 5 exceeds upper bound 1"),
        (ST_BOUNDS, (100.0, 0.01), "lower bound 2 exceeds upper bound -2"),
        ((float("nan"), 1.0), CO_BOUNDS, "NaN"),
        (ST_BOUNDS, (-1.0, 10.0), "NaN"),
        (ST_BOUNDS, (0.0, 10.0), "no order"),
    ],
)
def test_bad_bounds_are_runtime_errors(rows, st_bounds, co_bounds, pattern):
    with pytest.raises(RuntimeError, match=pattern):
        velk_core.py_fit_all_densities(rows[:1], EDGES, True, st_bounds, co_bounds)
    with pytest.raises(RuntimeError, match=pattern):
        velk_core.py_fit_one_density(rows[0], EDGES, True, st_bounds, co_bounds)


def test_one_density_fit_matches_the_batch_up_to_its_entropy_seed(rows):
    result = velk_core.py_fit_one_density(rows[0], EDGES, True, ST_BOUNDS, CO_BOUNDS)
    assert isinstance(result, tuple) and len(result) == 4
    assert all(isinstance(v, float) for v in result)
    fitps, nlls = velk_core.py_fit_all_densities(rows[:1], EDGES, True, ST_BOUNDS, CO_BOUNDS)
    np.testing.assert_allclose(result[:3], fitps[0], rtol=1e-3)
    assert result[3] == pytest.approx(nlls[0], abs=1e-9)


def test_fits_read_the_run_wide_ceiling(rows):
    free = velk_core.py_fit_all_densities(rows[:1], EDGES, True, ST_BOUNDS, CO_BOUNDS)
    velk_core.py_set_mm_vmax(0.5)
    capped = velk_core.py_fit_all_densities(rows[:1], EDGES, True, ST_BOUNDS, CO_BOUNDS)
    assert not np.array_equal(free[1], capped[1])


def test_fitting_works_in_forked_children():
    code = """
        import multiprocessing as mp
        import numpy as np
        from velkora import velk_core
        e = np.linspace(0.0, 1.0, 11)
        rows = np.array([velk_core.py_compute_model_fracs(0.3, 1.0, 2.0, 1.0 + i, e) for i in range(3)])
        parent = velk_core.py_fit_all_densities(rows, e, True, (0.01, 10.0), (0.01, 100.0))[0]

        def child(_):
            return velk_core.py_fit_all_densities(rows, e, True, (0.01, 10.0), (0.01, 100.0))[0]

        with mp.get_context("fork").Pool(2) as pool:
            results = pool.map(child, range(2))
        print(all(np.array_equal(r, parent) for r in results))
        """
    result = run_python(code, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "True"
