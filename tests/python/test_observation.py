"""Reads that call fewer than 70 sites: observation matrices and their use."""

from fractions import Fraction
from math import comb

import numpy as np
import pytest

from velkora import InputError, model, synthetic_molecules, velk_core
from velkora.model.observation import observation_matrices, observation_matrix

TENTHS = np.linspace(0.0, 1.0, 11)
QUARTERS = np.array([0.0, 0.25, 0.5, 0.75, 1.0])


def full_depth(n=70):
    counts = np.zeros(71)
    counts[n] = 1.0
    return counts


def hypergeometric(i, m, n):
    return Fraction(comb(m, i) * comb(70 - m, n - i), comb(70, n))


def plain_membership(edges):
    """0/1 matrix of the plain binning (NumPy's, model.bin_fractions): a point
    mass on M lands (all but the floors) in its level's bin."""
    membership = np.zeros((len(edges) - 1, 71))
    for m in range(71):
        q = model.bin_fractions(np.eye(71)[m], edges)
        membership[:, m] = q > 0.5
    return membership


@pytest.mark.parametrize(
    "counts",
    [
        pytest.param({2: 1.0}, id="depth-2"),
        pytest.param({0: 5.0, 2: 3.0}, id="depth-0-ignored"),
        pytest.param({1: 1.0, 2: 3.0}, id="depths-1-and-2"),
    ],
)
def test_matrix_matches_a_hand_computation(counts):
    histogram = np.zeros(3)
    for n, c in counts.items():
        histogram[n] = c
    total = sum(c for n, c in counts.items() if n > 0)
    # Levels i/n and their quarter bins: 0 -> 0, 1/2 -> 2, 1 -> 3.
    bin_of = {(1, 0): 0, (1, 1): 3, (2, 0): 0, (2, 1): 2, (2, 2): 3}
    expected = np.zeros((4, 71))
    for m in range(71):
        column = [Fraction(0)] * 4
        for n, c in counts.items():
            if n == 0:
                continue
            for i in range(n + 1):
                column[bin_of[n, i]] += Fraction(c) / Fraction(total) * hypergeometric(i, m, n)
        expected[:, m] = [float(x) for x in column]
    matrix = observation_matrix(histogram, QUARTERS)
    assert matrix.shape == (4, 71) and matrix.dtype == np.float64 and matrix.flags.c_contiguous
    np.testing.assert_allclose(matrix, expected, rtol=1e-15, atol=1e-300)
    assert np.all(matrix[1] == 0.0)  # no level of one or two sites falls in [0.25, 0.5)


@pytest.mark.parametrize("edges", [TENTHS, QUARTERS, np.array([0.0, 0.03, 0.5, 0.97, 1.0]), np.array([0.0, 1.0])])
@pytest.mark.parametrize("depths", [{1: 1}, {5: 1}, {3: 2, 7: 1, 40: 5}, {n: n for n in range(1, 71)}])
def test_columns_sum_to_one_when_the_edges_cover_zero_to_one(edges, depths):
    histogram = np.zeros(71)
    for n, c in depths.items():
        histogram[n] = c
    matrix = observation_matrix(histogram, edges)
    np.testing.assert_allclose(matrix.sum(axis=0), 1.0, rtol=0, atol=1e-14)
    assert np.all(matrix >= 0.0)


def test_levels_outside_the_edges_are_dropped():
    matrix = observation_matrix([0, 1], [0.25, 0.75])  # depth 1: levels 0 and 1 only
    assert np.all(matrix == 0.0)
    inner = observation_matrix(full_depth(4), [0.2, 0.8])  # keeps i = 1, 2, 3 of 4
    m = 35
    np.testing.assert_allclose(inner[0, m], 1.0 - 2 * float(hypergeometric(0, m, 4)), rtol=1e-15)


@pytest.mark.parametrize("edges", [TENTHS, QUARTERS, np.array([0.0, 1 / 7, 0.5, 1.0]), np.array([0.1, 0.45, 0.9])])
def test_full_depth_reads_give_exactly_the_plain_binning(edges):
    matrix = observation_matrix(full_depth(), edges)
    np.testing.assert_array_equal(matrix, plain_membership(edges))
    observed = np.linspace(1.0, 2.0, len(edges) - 1)
    observed /= observed.sum()
    for params in ([0.5, 2.0, 3.0], [0.05, 30.0, 30.0], [3.0, 0.1, 0.2]):
        params = np.array(params)
        plain = velk_core.py_compute_nll(params, observed, edges, True)
        assert velk_core.py_compute_nll(params, observed, edges, True, observation=matrix) == plain
        np.testing.assert_array_equal(
            velk_core.py_compute_model_fracs(*params[:1], 1.0, *params[1:], edges, observation=matrix),
            velk_core.py_compute_model_fracs(*params[:1], 1.0, *params[1:], edges),
        )


@pytest.mark.parametrize("depth", [2, 5, 17])
@pytest.mark.parametrize("params", [(0.5, 2.0, 3.0), (0.02, 10.0, 10.0), (1.0, 0.5, 0.1)])
def test_nll_is_the_cross_entropy_of_the_floored_renormalised_product(depth, params):
    st, cow, coe = params
    matrix = observation_matrix(full_depth(depth), TENTHS)
    q = matrix @ model.stationary_distribution(st, 1.0, cow, coe)
    q = np.maximum(q, model.PROB_FLOOR)
    q /= q.sum()
    observed = np.arange(1.0, 11.0) / 55.0
    np.testing.assert_allclose(
        velk_core.py_compute_model_fracs(st, 1.0, cow, coe, TENTHS, observation=matrix), q, rtol=1e-8, atol=1e-12
    )
    np.testing.assert_allclose(
        velk_core.py_compute_nll(np.array(params), observed, TENTHS, True, observation=matrix),
        -(observed * np.log(q)).sum(),
        rtol=1e-9,
    )


def test_stacked_matrices_are_the_per_density_ones():
    histograms = [full_depth(3), np.r_[7.0, 0, 1, 1, 1], full_depth(70)]
    stacked = observation_matrices(histograms, TENTHS)
    assert stacked.shape == (3, 10, 71) and stacked.flags.c_contiguous
    for d, histogram in enumerate(histograms):
        np.testing.assert_array_equal(stacked[d], observation_matrix(histogram, TENTHS))


def test_depths_beyond_70_count_as_70():
    longer = np.zeros(90)
    longer[[5, 70, 85]] = [1.0, 1.0, 2.0]
    folded = np.zeros(71)
    folded[[5, 70]] = [1.0, 3.0]
    np.testing.assert_array_equal(observation_matrix(longer, TENTHS), observation_matrix(folded, TENTHS))


@pytest.mark.parametrize(
    "call,pattern",
    [
        (lambda: observation_matrix([1.0, 0.0], TENTHS), "no molecule with at least one called site"),
        (lambda: observation_matrix([0.0, -1.0, 2.0], TENTHS), "non-negative"),
        (lambda: observation_matrix([0.0, np.nan], TENTHS), "finite"),
        (lambda: observation_matrix(np.ones((2, 3)), TENTHS), "1-D"),
        (lambda: observation_matrix([0.0, 1.0], [0.5]), "at least 2 edges"),
        (lambda: observation_matrices([full_depth(3), [1.0]], TENTHS), "^density bin 1: .*called site"),
    ],
)
def test_bad_histograms_and_edges_are_input_errors(call, pattern):
    with pytest.raises(InputError, match=pattern):
        call()


# The fits over several densities.

BOUNDS = ((0.01, 10.0), (0.01, 100.0))
TWO_ROWS = np.array([velk_core.py_compute_model_fracs(0.3, 1.0, cow, 2.0, TENTHS) for cow in (1.0, 4.0)])
EXP = (1.0, 3.0)
SEEDED_FITS = {
    "all_densities": lambda rows, **k: velk_core.py_fit_all_densities(rows, TENTHS, True, *BOUNDS, **k),
    "all_densities_exp": lambda rows, **k: velk_core.py_fit_all_densities_exp(rows, TENTHS, True, *BOUNDS, EXP, **k),
    "shared_exp": lambda rows, **k: velk_core.py_fit_shared_exp(rows, TENTHS, True, *BOUNDS, EXP, **k),
    "bootstrap": lambda rows, **k: velk_core.py_fit_bootstrap(rows, 1, 2, TENTHS, True, False, False, *BOUNDS, **k),
    "bootstrap_exp_warm": lambda rows, **k: velk_core.py_fit_bootstrap_exp(
        rows, 1, 2, TENTHS, True, *BOUNDS, EXP, warm_start=(0.3, 2.0, 2.0, 1.0), **k
    ),
}


@pytest.mark.parametrize("name", sorted(SEEDED_FITS))
def test_full_depth_matrices_reproduce_the_plain_fits_bit_for_bit(name, capfd):
    # capfd keeps the shared fit's progress log out of the report.
    fit = SEEDED_FITS[name]
    full = observation_matrices([full_depth(), full_depth()], TENTHS)
    np.testing.assert_equal(fit(TWO_ROWS, observation=full), fit(TWO_ROWS))


def test_each_density_and_bootstrap_row_uses_its_own_matrix():
    # Independent fits are seeded by row index in both functions, so the
    # bootstrap of two samples of two densities is the independent fit of
    # four rows, with density d's matrix on rows d and d + 2.
    matrices = observation_matrices([full_depth(3), np.r_[0.0, 0, 0, 1, 1, 1, 1, 1]], TENTHS)
    rows = np.vstack([TWO_ROWS, TWO_ROWS[::-1]])
    stacked_twice = np.vstack([matrices, matrices])
    independent = velk_core.py_fit_all_densities(rows, TENTHS, True, *BOUNDS, observation=stacked_twice)
    boot = velk_core.py_fit_bootstrap(rows, 2, 2, TENTHS, True, False, False, *BOUNDS, observation=matrices)
    np.testing.assert_array_equal(boot[:, 2:5], independent[0])
    np.testing.assert_array_equal(boot[:, 5], independent[1])
    swapped_matrices = matrices[::-1].copy()
    swapped = velk_core.py_fit_bootstrap(rows, 2, 2, TENTHS, True, False, False, *BOUNDS, observation=swapped_matrices)
    assert not np.array_equal(swapped[:, 5], boot[:, 5])


# Short reads in synthetic tables.

TRUTH = [(0.5, 1.5, 1.5), (0.5, 3.0, 0.5)]


def test_depth_70_reads_are_the_untouched_table():
    untouched = synthetic_molecules(TRUTH, 500, (0.0, 0.05, 0.1), seed=3)
    read = synthetic_molecules(TRUTH, 500, (0.0, 0.05, 0.1), seed=3, depth=70)
    assert (read["n_called"] == 70).all()
    assert read.drop(columns="n_called").equals(untouched)


@pytest.mark.parametrize("depth", [1, 5, "per-molecule"])
def test_short_reads_keep_the_mean_level_and_are_reproducible(depth):
    n = 20000
    if depth == "per-molecule":
        depth = np.random.default_rng(9).integers(1, 71, size=2 * n)
    untouched = synthetic_molecules(TRUTH, n, (0.0, 0.05, 0.1), seed=4)
    read = synthetic_molecules(TRUTH, n, (0.0, 0.05, 0.1), seed=4, depth=depth)
    again = synthetic_molecules(TRUTH, n, (0.0, 0.05, 0.1), seed=4, depth=depth)
    assert read.equals(again)
    np.testing.assert_array_equal(read["cpg_density"], untouched["cpg_density"])
    np.testing.assert_array_equal(read["n_cpg"], read["n_called"])
    np.testing.assert_array_equal(read["n_called"], np.broadcast_to(depth, (2 * n,)))
    assert (read["n_methylated"] <= read["n_called"]).all()
    assert (read["n_methylated"] <= untouched["n_methylated"]).all()
    np.testing.assert_array_equal(read["meth_level"], read["n_methylated"] / read["n_called"])
    # E[i / n | M] = M / 70: the thinning adds noise but no bias.
    spread = read["meth_level"].std() / np.sqrt(len(read))
    assert abs(read["meth_level"].mean() - untouched["meth_level"].mean()) < 5 * spread


@pytest.mark.parametrize("depth", [0, 71, 2.5, np.array([5, 5]), np.full(4, 5.0)])
def test_bad_depths_are_input_errors(depth):
    with pytest.raises(InputError, match="depth"):
        synthetic_molecules(TRUTH, 2, (0.0, 0.05, 0.1), depth=depth)


def test_short_reads_are_recovered_with_the_matrix_but_not_without():
    # One density read at 5 sites. (St, CoW, CoE) lie on a ridge that five
    # sites per read cannot resolve, but the molecules' full-depth
    # distribution is determined: the fit through the matrix finds it, the
    # plain binning (which takes i/5 for M/70) is far off.
    edges = np.array([0.0, 0.1, 0.3, 0.5, 0.7, 0.9, 1.0])
    truth = TRUTH[0]
    table = synthetic_molecules([truth], 50000, (0.0, 0.1), seed=1, depth=5)
    observed = np.histogram(table["meth_level"], edges)[0] / len(table)
    matrix = observation_matrix(full_depth(5), edges)
    target = velk_core.py_compute_model_fracs(truth[0], 1.0, truth[1], truth[2], TENTHS)

    def distance_from_truth(fit):
        st, cow, coe, _ = fit
        return 0.5 * np.abs(velk_core.py_compute_model_fracs(st, 1.0, cow, coe, TENTHS) - target).sum()

    with_matrix = velk_core.py_fit_one_density(observed, edges, True, (0.01, 10.0), (0.01, 100.0), observation=matrix)
    plain = velk_core.py_fit_one_density(observed, edges, True, (0.01, 10.0), (0.01, 100.0))
    assert distance_from_truth(with_matrix) < 0.06
    assert distance_from_truth(plain) > 0.3
