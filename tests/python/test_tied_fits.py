"""Fits tied across rows by a layout: the ties of the other fits, a group
comparison, components, seeds and threads, errors, Ctrl+C."""

import math
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

from velkora import velk_core

from conftest import run_python

F = -1.0  # a fixed parameter
EDGES = np.linspace(0.0, 1.0, 11)
COLUMNS = ("St", "CoW", "CoE", "n_U", "n_M", "Vmax")
FREE = [math.nan] * 3


def noisy_rows(rates, edges=EDGES, molecules=500, seed=1):
    """Multinomial samples of the model at (St, CoW, CoE) per row: rows the
    model does not reproduce exactly, so that every fit has a real optimum."""
    rng = np.random.default_rng(seed)
    rows = [velk_core.py_compute_model_fracs(st, 1.0, cow, coe, edges) for st, cow, coe in rates]
    return np.array([rng.multinomial(molecules, p / p.sum()) / molecules for p in rows])


THREE = noisy_rows([(0.3, 2.0, 1.0), (0.3, 1.0, 2.0), (0.3, 3.0, 3.0)])


def tied(rows, layout, fixed, lower, upper, *args, edges=EDGES, **kwargs):
    return velk_core.py_fit_tied(
        rows, edges, True, np.array(layout, float), np.array(fixed, float), np.array(lower, float),
        np.array(upper, float), *args, **kwargs
    )


def shared_st(n_rows, st, co, n_u=2.0, n_m=2.0, vmax=math.inf):
    """One St over every row, each row's CoW and CoE its own."""
    layout = [[0, 1 + 2 * r, 2 + 2 * r, F, F, F] for r in range(n_rows)]
    fixed = [FREE + [n_u, n_m, vmax]] * n_rows
    return layout, fixed, [st[0]] + [co[0]] * 2 * n_rows, [st[1]] + [co[1]] * 2 * n_rows


def quiet(function, *args, **kwargs):
    """Calls a logging fit with file descriptor 2 pointed at /dev/null."""
    saved, devnull = os.dup(2), os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    try:
        return function(*args, **kwargs)
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)


# ---------------------------------------------------------------------------
# The ties the other fits express give their fits.


@pytest.mark.parametrize(
    "seed,weights,vmax,raw",
    [(0, None, math.inf, False), (2**64 - 1, np.array([1.0, 2.5, 0.5]), 40.0, True)],
    ids=["plain", "weighted-ceiling-raw"],
)
def test_shared_st_layout_is_py_fit_shared_st_bit_for_bit(seed, weights, vmax, raw):
    velk_core.py_set_raw_count(raw)
    velk_core.py_set_mm_vmax(vmax)
    st, fitps, nlls = velk_core.py_fit_shared_st(THREE, EDGES, True, (0.1, 1.0), (0.5, 5.0), 1.5, 2.5,
                                                 weights=weights, seed=seed)
    # The tied fit reads its Vmax from the layout, never the run-wide one.
    velk_core.py_set_mm_vmax(math.inf)
    theta, params, tied_nlls = tied(THREE, *shared_st(3, (0.1, 1.0), (0.5, 5.0), 1.5, 2.5, vmax), weights,
                                    seed=seed)
    assert theta[0] == st
    np.testing.assert_array_equal(params[:, :3], fitps)
    np.testing.assert_array_equal(params[:, 3:], np.tile([1.5, 2.5, vmax], (3, 1)))
    np.testing.assert_array_equal(tied_nlls, nlls)
    np.testing.assert_array_equal(theta[1:], fitps[:, 1:].ravel())


def test_independent_layouts_reach_the_independent_fits():
    # Seeded by row index there, by the mixed seed here: the same optima.
    layout = [[3 * r, 3 * r + 1, 3 * r + 2, F, F, F] for r in range(3)]
    fixed = [FREE + [2.0, 2.0, math.inf]] * 3
    fitps, nlls = velk_core.py_fit_all_densities(THREE, EDGES, True, (0.1, 1.0), (0.5, 5.0))
    theta, params, tied_nlls = tied(THREE, layout, fixed, [0.1, 0.5, 0.5] * 3, [1.0, 5.0, 5.0] * 3)
    np.testing.assert_allclose(tied_nlls, nlls, rtol=0, atol=1e-9)
    np.testing.assert_allclose(params[:, :3], fitps, rtol=2e-3)
    np.testing.assert_array_equal(theta, params[:, :3].ravel())

    layout = [[5 * r + k for k in range(5)] + [F] for r in range(3)]
    fitps, nlls = velk_core.py_fit_all_densities_exp(THREE, EDGES, True, (0.1, 1.0), (0.5, 5.0), (1.5, 2.5))
    _, params, tied_nlls = tied(THREE, layout, [[math.nan] * 5 + [math.inf]] * 3, [0.1, 0.5, 0.5, 1.5, 1.5] * 3,
                                [1.0, 5.0, 5.0, 2.5, 2.5] * 3)
    np.testing.assert_allclose(tied_nlls, nlls, rtol=0, atol=1e-9)
    np.testing.assert_allclose(params[:, [0, 3, 4, 1, 2]], fitps, rtol=2e-2)


WIDE_ST, WIDE_CO, WIDE_N = (0.05, 2.0), (0.05, 50.0), (1.0, 3.5)
EXACT_EDGES = np.linspace(0.0, 1.0, 21)


def test_shared_exponent_layout_reaches_py_fit_shared_exp():
    rows = np.array([velk_core.py_compute_model_fracs(0.2, 1.0, w, e, EXACT_EDGES) for w, e in [(4, 1), (1, 4), (6, 6)]])
    *_, nlls = quiet(velk_core.py_fit_shared_exp, rows, EXACT_EDGES, True, WIDE_ST, WIDE_CO, WIDE_N)
    layout = [[0, 3 + 2 * r, 4 + 2 * r, 1, 2, F] for r in range(3)]
    fixed = [[math.nan] * 5 + [math.inf]] * 3
    lower = [WIDE_ST[0], WIDE_N[0], WIDE_N[0]] + [WIDE_CO[0]] * 6
    upper = [WIDE_ST[1], WIDE_N[1], WIDE_N[1]] + [WIDE_CO[1]] * 6
    theta, params, tied_nlls = tied(rows, layout, fixed, lower, upper, edges=EXACT_EDGES)
    assert tied_nlls.sum() <= nlls.sum() + 1e-6
    assert np.all(params[:, 0] == theta[0]) and np.all(params[:, 3] == theta[1])


def test_shared_co_layout_reaches_py_fit_shared_co():
    rows = np.array([velk_core.py_compute_model_fracs(0.3, 1.0, 2.0, 1.5, EXACT_EDGES)] * 2)
    *_, nlls = quiet(velk_core.py_fit_shared_co, rows, EXACT_EDGES, True, WIDE_ST, WIDE_CO, WIDE_N)
    layout = [[0, 1, 2, 3 + 2 * r, 4 + 2 * r, F] for r in range(2)]
    fixed = [[math.nan] * 5 + [math.inf]] * 2
    lower = [WIDE_ST[0], WIDE_CO[0], WIDE_CO[0]] + [WIDE_N[0]] * 4
    upper = [WIDE_ST[1], WIDE_CO[1], WIDE_CO[1]] + [WIDE_N[1]] * 4
    _, params, tied_nlls = tied(rows, layout, fixed, lower, upper, edges=EXACT_EDGES)
    assert tied_nlls.sum() <= nlls.sum() + 1e-6
    np.testing.assert_array_equal(params[0, :3], params[1, :3])


# ---------------------------------------------------------------------------
# A group comparison: rows (g, d) of two groups x three density bins, CoW of
# bin d tied across the groups, St per group, CoE per cell.

GROUP_ST = [0.2, 0.5]
BIN_COW = [1.0, 3.0, 8.0]
CELL_COE = [[2.0, 1.0, 4.0], [0.5, 3.0, 6.0]]
GROUP_LAYOUT = [[g, 2 + d, 5 + 3 * g + d, F, F, F] for g in range(2) for d in range(3)]
GROUP_FIXED = [FREE + [2.0, 2.0, math.inf]] * 6
GROUP_LOWER = [0.01] * 2 + [0.1] * 9
GROUP_UPPER = [2.0] * 2 + [50.0] * 9


def group_truth():
    return [(GROUP_ST[g], BIN_COW[d], CELL_COE[g][d]) for g in range(2) for d in range(3)]


def test_group_tie_recovers_the_generating_parameters():
    rows = np.array([velk_core.py_compute_model_fracs(st, 1.0, w, e, EXACT_EDGES) for st, w, e in group_truth()])
    # Weights play the part of molecule counts: large data.
    theta, params, nlls = tied(rows, GROUP_LAYOUT, GROUP_FIXED, GROUP_LOWER, GROUP_UPPER, np.full(6, 1e6),
                               edges=EXACT_EDGES)
    expected = GROUP_ST + BIN_COW + [coe for group in CELL_COE for coe in group]
    np.testing.assert_allclose(theta, expected, rtol=2e-3)
    np.testing.assert_array_equal(params[:, :3], theta[np.array(GROUP_LAYOUT)[:, :3].astype(int)])
    # At the truth every row's NLL is the entropy of its own fractions.
    entropy = [-(p[p > 0] * np.log(p[p > 0])).sum() for p in rows]
    np.testing.assert_allclose(nlls, entropy, rtol=0, atol=1e-7)


def test_tied_optima_never_fall_below_the_looser_ties():
    rows = noisy_rows(group_truth(), molecules=2000, seed=4)
    # Loosest to tightest: every row on its own; St per group (two Brent
    # components); and the group comparison's tie.
    untied = tied(rows, [[3 * r, 3 * r + 1, 3 * r + 2, F, F, F] for r in range(6)], GROUP_FIXED,
                  [0.01, 0.1, 0.1] * 6, [2.0, 50.0, 50.0] * 6)
    per_group = [[g, 2 + 2 * r, 3 + 2 * r, F, F, F] for r, g in enumerate([0, 0, 0, 1, 1, 1])]
    st_only = tied(rows, per_group, GROUP_FIXED, [0.01] * 2 + [0.1] * 12, [2.0] * 2 + [50.0] * 12)
    group = tied(rows, GROUP_LAYOUT, GROUP_FIXED, GROUP_LOWER, GROUP_UPPER)
    totals = [fit[2].sum() for fit in (untied, st_only, group)]
    assert totals[0] <= totals[1] + 1e-6 and totals[1] <= totals[2] + 1e-6, totals
    assert totals[2] > totals[0] + 1e-5  # the tie costs something on noisy data


# ---------------------------------------------------------------------------
# Components, weights, starts, observation and the run-wide switches.


def test_unlinked_components_give_the_fits_of_separate_calls():
    rows = noisy_rows([(0.3, 2.0, 1.0), (0.3, 1.0, 2.0), (0.6, 3.0, 1.0), (0.6, 1.0, 1.0)])
    layout = [[0 if r < 2 else 1, 2 + 2 * r, 3 + 2 * r, F, F, F] for r in range(4)]
    fixed = [FREE + [2.0, 2.0, math.inf]] * 4
    theta, params, nlls = tied(rows, layout, fixed, [0.1] * 2 + [0.5] * 8, [1.0] * 2 + [5.0] * 8, seed=9)
    # The first alone: the same rows at the same indices.
    first = tied(rows[:2], *shared_st(2, (0.1, 1.0), (0.5, 5.0)), seed=9)
    assert first[0][0] == theta[0]
    np.testing.assert_array_equal(first[1], params[:2])
    np.testing.assert_array_equal(first[2], nlls[:2])
    # The second with the first's rows held fixed, which are only evaluated.
    held = [[F] * 6] * 2 + [[0, 1 + 2 * k, 2 + 2 * k, F, F, F] for k in range(2)]
    held_fixed = [[0.3, 2.0, 1.0, 2.0, 2.0, math.inf]] * 2 + fixed[2:]
    second = tied(rows, held, held_fixed, [0.1] + [0.5] * 4, [1.0] + [5.0] * 4, seed=9)
    assert second[0][0] == theta[1]
    np.testing.assert_array_equal(second[1][2:], params[2:])
    np.testing.assert_array_equal(second[2][2:], nlls[2:])
    assert second[2][0] == velk_core.py_compute_nll(np.array([0.3, 2.0, 1.0]), rows[0], EDGES, True)


def test_weights_default_to_ones_and_a_zero_weight_drops_its_row():
    args = shared_st(3, (0.1, 1.0), (0.5, 5.0))
    omitted = tied(THREE, *args)
    np.testing.assert_equal(tied(THREE, *args, np.ones(3)), omitted)
    # Row 2 weighs nothing: the shared St is the one of rows 0 and 1 alone.
    dropped = tied(THREE, *args, np.array([1.0, 1.0, 0.0]))
    assert dropped[0][0] == tied(THREE[:2], *shared_st(2, (0.1, 1.0), (0.5, 5.0)))[0][0]
    assert dropped[0][0] != omitted[0][0]


def simplex_problem():
    """CoW shared by two rows of different St (fixed); CoE their own."""
    rows = np.array([velk_core.py_compute_model_fracs(st, 1.0, 2.0, coe, EDGES) for st, coe in [(0.3, 1.0), (0.6, 3.0)]])
    layout = [[F, 0, 1, F, F, F], [F, 0, 2, F, F, F]]
    fixed = [[0.3] + FREE[:2] + [2.0, 2.0, math.inf], [0.6] + FREE[:2] + [2.0, 2.0, math.inf]]
    return rows, layout, fixed, [0.1] * 3, [10.0] * 3


def test_starts_begin_the_simplex_and_own_entries_are_not_read():
    rows, *problem = simplex_problem()
    cold = tied(rows, *problem, np.full(2, 1e4))
    warm = tied(rows, *problem, np.full(2, 1e4), np.array([[2.0, math.nan, -5.0], [1e6, math.nan, math.nan]]))
    for theta, _, nlls in (cold, warm):
        np.testing.assert_allclose(theta, [2.0, 1.0, 3.0], rtol=1e-2)
    assert not np.array_equal(cold[0], warm[0])  # a different path to the same optimum
    # A Brent search needs no start and reads none.
    args = shared_st(3, (0.1, 1.0), (0.5, 5.0))
    starts = np.full((1, 7), 0.5)
    np.testing.assert_equal(tied(THREE, *args, None, starts), tied(THREE, *args))


def test_observation_matrices_are_taken_row_by_row():
    levels = np.arange(71) / 70
    exact = np.zeros((10, 71))
    exact[np.minimum(np.searchsorted(EDGES, levels, side="right") - 1, 9), np.arange(71)] = 1.0
    blurred = 0.5 * exact + 0.5 * np.roll(exact, 1, axis=0)
    layout = [[3 * r, 3 * r + 1, 3 * r + 2, F, F, F] for r in range(3)]
    problem = (layout, [FREE + [2.0, 2.0, math.inf]] * 3, [0.1, 0.5, 0.5] * 3, [1.0, 5.0, 5.0] * 3)
    plain = tied(THREE, *problem)
    # A matrix that puts every level in its own bin is the plain binning.
    np.testing.assert_equal(tied(THREE, *problem, observation=np.stack([exact] * 3)), plain)
    observed = tied(THREE, *problem, observation=np.stack([exact, blurred, exact]))
    np.testing.assert_array_equal(observed[2][[0, 2]], plain[2][[0, 2]])
    assert observed[2][1] != plain[2][1]


def test_a_tied_fit_writes_no_log(capfd):
    rows, *problem = simplex_problem()
    capfd.readouterr()
    tied(rows, *problem)
    tied(THREE, *shared_st(3, (0.1, 1.0), (0.5, 5.0)))
    assert capfd.readouterr() == ("", "")


# ---------------------------------------------------------------------------
# Determinism across runs and thread counts.

SEEDED_TIED = """
import math
import numpy as np
from velkora import velk_core as vc
F = -1.0
e = np.linspace(0.0, 1.0, 11)
rng = np.random.default_rng(2)
rows = np.array([rng.dirichlet(np.ones(10) * 3) for _ in range(4)])
fixed = np.tile([math.nan, math.nan, math.nan, 2.0, 2.0, math.inf], (4, 1))
layouts = [
    # St shared (Brent), CoW and CoE per row.
    (np.array([[0, 1 + 2 * r, 2 + 2 * r, F, F, F] for r in range(4)], float), [0.1] + [0.5] * 8, [1.0] + [5.0] * 8),
    # CoW shared by pairs (two simplex components), St and CoE per row.
    (np.array([[2 + 2 * r, r // 2, 3 + 2 * r, F, F, F] for r in range(4)], float),
     [0.5, 0.5] + [0.1, 0.5] * 4, [5.0, 5.0] + [1.0, 5.0] * 4),
    # Every row on its own.
    (np.array([[3 * r, 3 * r + 1, 3 * r + 2, F, F, F] for r in range(4)], float), [0.1, 0.5, 0.5] * 4, [1.0, 5.0, 5.0] * 4),
]
out = []
for layout, lower, upper in layouts:
    for seed in (0, 123):
        first, second = (vc.py_fit_tied(rows, e, True, layout, fixed, np.array(lower), np.array(upper), seed=seed)
                         for _ in range(2))
        hexes = [float(v).hex() for item in first for v in np.ravel(item)]
        assert hexes == [float(v).hex() for item in second for v in np.ravel(item)]
        out.append(hexes)
print(out)
"""


def test_repeats_bit_for_bit_across_runs_and_thread_counts():
    outputs = set()
    for threads in ("1", "2"):
        result = run_python(SEEDED_TIED, env={"RAYON_NUM_THREADS": threads})
        assert result.returncode == 0, result.stderr
        outputs.add(result.stdout)
    assert len(outputs) == 1


def test_seeds_change_the_runs():
    args = shared_st(3, (0.1, 1.0), (0.5, 5.0))
    assert not np.array_equal(tied(THREE, *args, seed=1)[1], tied(THREE, *args, seed=2)[1])


# ---------------------------------------------------------------------------
# Errors: each names what is wrong, before any work, and the module keeps working.

ONE_ROW = THREE[:1]
ST_OWN = [[0, F, F, F, F, F]]
ONE_FIXED = [[math.nan, 2.0, 3.0, 2.0, 2.0, math.inf]]
EXP_FIXED = [[0.3, 2.0, 3.0, math.nan, 2.0, math.inf]]


@pytest.mark.parametrize(
    "layout,fixed,lower,upper,pattern",
    [
        ([[0.5, F, F, F, F, F]], ONE_FIXED, [0.1], [1.0], r"^layout\[0, 0\] \(St of row 0\) is 0\.5: expected -1"),
        ([[0, F, F, F, -2, F]], ONE_FIXED, [0.1], [1.0], r"^layout\[0, 4\] \(n_M of row 0\) is -2: "),
        ([[0, F, math.nan, F, F, F]], ONE_FIXED, [0.1], [1.0], r"^layout\[0, 2\] \(CoE of row 0\) is nan"),
        ([[0, F, F, F, F, math.inf]], ONE_FIXED, [0.1], [1.0], r"^layout\[0, 5\] \(Vmax of row 0\) is inf"),
        ([[0, 1, F, F, F, F]], ONE_FIXED, [0.1], [1.0], r"^layout\[0, 1\] \(CoW of row 0\) is 1, out of range: theta has 1"),
        (ST_OWN, ONE_FIXED, [0.1, 0.1], [1.0, 1.0], r"^entry 1 of theta is used by no row and column of layout$"),
        ([[0, F, F, 0, F, F]], ONE_FIXED, [0.1], [1.0],
         r"^layout\[0, 3\] \(n_U of row 0\) uses entry 0 of theta as an exponent, but layout\[0, 0\] \(St of row 0\)"),
        (ST_OWN, [[math.nan, 2.0, math.nan, 2.0, 2.0, math.inf]], [0.1], [1.0],
         r"^fixed\[0, 2\] \(CoE of row 0\) is nan: a fixed rate must be finite and >= 0$"),
        (ST_OWN, [[math.nan, -1.0, 3.0, 2.0, 2.0, math.inf]], [0.1], [1.0], r"^fixed\[0, 1\] \(CoW of row 0\) is -1"),
        (ST_OWN, [[math.nan, 2.0, 3.0, 2.0, math.inf, math.inf]], [0.1], [1.0], r"^fixed\[0, 4\] .* a fixed exponent must be finite"),
        (ST_OWN, [[math.nan, 2.0, 3.0, 2.0, 2.0, -math.inf]], [0.1], [1.0], r"^fixed\[0, 5\] .* a fixed Vmax must be positive"),
        (ST_OWN, ONE_FIXED, [0.0], [1.0], r"^entry 0 of theta \(a rate\) has bounds \(0, 1\): a rate needs 0 < lower"),
        (ST_OWN, ONE_FIXED, [1.0], [0.1], r"^entry 0 of theta \(a rate\) has bounds \(1, 0\.1\)"),
        (ST_OWN, ONE_FIXED, [0.1], [math.inf], r"^entry 0 of theta \(a rate\) has bounds \(0\.1, inf\)"),
        ([[F, F, F, 0, F, F]], EXP_FIXED, [math.nan], [3.0], r"^entry 0 of theta \(an exponent\) has bounds \(nan, 3\)"),
        ([[F, F, F, 0, F, F]], EXP_FIXED, [3.0], [1.0], r"an exponent needs lower <= upper, both finite$"),
    ],
    ids=["fraction", "minus-two", "nan-index", "inf-index", "out-of-range", "unused", "kinds", "fixed-nan",
         "fixed-negative", "fixed-exponent", "fixed-vmax", "zero-bound", "inverted", "infinite-bound",
         "nan-exponent-bound", "inverted-exponent"],
)
def test_bad_layouts_fixed_values_and_bounds_are_refused(layout, fixed, lower, upper, pattern):
    with pytest.raises(RuntimeError, match=pattern):
        tied(ONE_ROW, layout, fixed, lower, upper)
    assert tied(ONE_ROW, ST_OWN, ONE_FIXED, [0.1], [1.0])[0].shape == (1,)


@pytest.mark.parametrize(
    "change,pattern",
    [
        (dict(layout=np.zeros((1, 5))), r"^layout: shape \(1, 5\) does not match \(n_rows, 6\) = \(1, 6\)$"),
        (dict(layout=np.zeros((2, 6))), r"^layout: shape \(2, 6\) does not match"),
        (dict(fixed=np.zeros((0, 6))), r"^fixed: shape \(0, 6\) does not match \(n_rows, 6\) = \(1, 6\)$"),
        (dict(upper=np.ones(2)), r"^upper: shape \(2,\) does not match the shape of lower = \(1,\)$"),
        (dict(weights=np.ones(2)), r"^weights: shape \(2,\) does not match \(n_rows,\) = \(1,\)$"),
        (dict(weights=np.array([math.nan])), r"^weights\[0\] is nan: a weight must be finite and >= 0$"),
        (dict(weights=np.array([-1.0])), r"^weights\[0\] is -1"),
        (dict(starts=np.ones((1, 2))), r"^starts: shape \(1, 2\) does not match \(n_starts, n_theta\) = \(1, 1\)$"),
        (dict(observation=np.zeros((2, 10, 71))), r"^observation: shape \(2, 10, 71\) does not match"),
    ],
    ids=["layout-width", "layout-rows", "fixed-rows", "upper", "weights-length", "weights-nan", "weights-negative",
         "starts-width", "observation"],
)
def test_shapes_and_weights_are_checked_before_any_work(change, pattern):
    args = dict(observed_fracs_2d=ONE_ROW, meth_bin_edges=EDGES, normalize_stw=True, layout=np.array(ST_OWN, float),
                fixed=np.array(ONE_FIXED), lower=np.array([0.1]), upper=np.array([1.0]))
    with pytest.raises(RuntimeError, match=pattern):
        velk_core.py_fit_tied(**{**args, **change})


def test_starts_of_shared_entries_are_checked():
    rows, *problem = simplex_problem()
    for starts, pattern in [
        (np.array([[0.0, 1.0, 1.0]]), r"^starts\[0, 0\] is 0: the start of entry 0 of theta \(a rate\) must be positive"),
        (np.array([[2.0, 1.0, 1.0], [math.inf, 1.0, 1.0]]), r"^starts\[1, 0\] is inf"),
        (np.zeros((0, 3)), r"^starts has no rows"),
    ]:
        with pytest.raises(RuntimeError, match=pattern):
            tied(rows, *problem, None, starts)


def test_no_rows():
    theta, params, nlls = tied(np.zeros((0, 10)), np.zeros((0, 6)), np.zeros((0, 6)), [], [])
    assert theta.shape == (0,) and params.shape == (0, 6) and nlls.shape == (0,)
    with pytest.raises(RuntimeError, match="^entry 0 of theta is used by no row"):
        tied(np.zeros((0, 10)), np.zeros((0, 6)), np.zeros((0, 6)), [0.1], [1.0])


def test_fixed_rows_are_evaluated_and_entries_fixed_values_ignored():
    layout = [[F] * 6, [0, F, F, F, F, F]]
    fixed = [[0.3, 2.0, 1.0, 2.0, 2.0, 40.0], [math.nan, 2.0, 1.0, 2.0, 2.0, math.inf]]
    theta, params, nlls = tied(THREE[:2], layout, fixed, [0.1], [1.0])
    np.testing.assert_array_equal(params[0], fixed[0])
    velk_core.py_set_mm_vmax(40.0)
    assert nlls[0] == velk_core.py_compute_nll(np.array([0.3, 2.0, 1.0]), THREE[0], EDGES, True)
    assert params[1, 0] == theta[0] and 0.1 <= theta[0] <= 1.0


# ---------------------------------------------------------------------------
# Ctrl+C stops the fit, raises KeyboardInterrupt, and the interpreter's own
# Ctrl+C handling is back afterwards.

INTERRUPTED_CHILD = """
import math, os, signal, sys, time
import numpy as np
from velkora import velk_core as vc
F = -1.0
e = np.linspace(0.0, 1.0, 21)
rng = np.random.default_rng(0)
rows = np.array([rng.dirichlet(np.ones(20) * 2) for _ in range(12)])
# St, n_U and n_M shared by twelve rows with CoW and CoE their own: minutes of work.
layout = np.array([[0, 3 + 2 * r, 4 + 2 * r, 1, 2, F] for r in range(12)], float)
fixed = np.tile([math.nan] * 5 + [math.inf], (12, 1))
lower = np.array([0.01, 1.0, 1.0] + [0.05] * 24)
upper = np.array([2.0, 3.5, 3.5] + [50.0] * 24)
print("started", flush=True)
try:
    vc.py_fit_tied(rows, e, True, layout, fixed, lower, upper)
    print("finished")
except KeyboardInterrupt as error:
    print("KeyboardInterrupt:", error)
print("handler:", signal.getsignal(signal.SIGINT) is signal.default_int_handler)
print("next call:", len(vc.py_fit_tied(rows[:0], e, True, layout[:0], fixed[:0], lower[:0], upper[:0])[0]))
try:
    os.kill(os.getpid(), signal.SIGINT)
    time.sleep(5)
    print("no KeyboardInterrupt")
except KeyboardInterrupt:
    print("Python Ctrl+C works")
"""


def test_ctrl_c_interrupts_the_fit_and_restores_python_handling():
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(INTERRUPTED_CHILD)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "started\n"
        time.sleep(1.5)  # let the call begin
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=300)
    finally:
        if child.poll() is None:
            child.kill()
    assert child.returncode == 0, err
    lines = out.splitlines()
    assert lines[0] == "KeyboardInterrupt: Interrupted by Ctrl+C", out
    assert "handler: True" in out and "next call: 0" in out and "Python Ctrl+C works" in out
