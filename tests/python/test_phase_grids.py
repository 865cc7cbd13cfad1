"""Phase-diagram grids over log10(CoW) x log10(CoE)."""

import math

import numpy as np
import pytest

import reference_model as ref
from velkora import velk_core

COW = np.linspace(-1.0, 2.0, 7)
COE = np.linspace(-1.0, 2.0, 5)


def test_shapes_dtype_and_independent_buffers():
    grids = velk_core.py_compute_phase_grids(0.5, True, COW, COE)
    assert len(grids) == 4
    for g in grids:
        assert g.shape == (7, 5) and g.dtype == np.float64 and g.flags.c_contiguous
    grids[0][0, 0] = 123.0
    assert grids[1][0, 0] != 123.0


@pytest.mark.parametrize("cow,coe", [(np.array([]), COE), (COW, np.array([]))])
def test_empty_axes_give_empty_grids(cow, coe):
    for g in velk_core.py_compute_phase_grids(0.5, True, cow, coe):
        assert g.shape == (len(cow), len(coe))


def test_values_match_summaries_of_an_independent_model():
    bist, avg, ent, inter = velk_core.py_compute_phase_grids(0.3, False, COW, COE, 1.5, 2.5)
    for i, lc in enumerate(COW):
        for j, le in enumerate(COE):
            p = ref.steady_state_exact(1.0, 0.3, 10.0**lc, 10.0**le, n_u=1.5, n_m=2.5)
            x = ref.LEVELS
            lo, hi = p[x < 0.2].sum(), p[x > 0.8].sum()
            # Every probability is within 1e-10 of the exact one; sums of a few
            # dozen of them within a few 1e-9.
            assert bist[i, j] == pytest.approx(4 * lo * hi, abs=3e-9)
            assert avg[i, j] == pytest.approx((x * p).sum(), abs=3e-9)
            assert ent[i, j] == pytest.approx(-(p[p > 0] * np.log(p[p > 0])).sum(), abs=1e-7)
            assert inter[i, j] == pytest.approx(p[(x >= 0.2) & (x <= 0.8)].sum(), abs=3e-9)


def test_invariants_hold_everywhere():
    axis = np.linspace(-3.0, 4.0, 15)
    for raw in (False, True):
        velk_core.py_set_raw_count(raw)
        bist, avg, ent, inter = velk_core.py_compute_phase_grids(0.05, True, axis, axis)
        # Probabilities are exact to 1e-10, so a nil region may sum to -1e-10.
        assert np.all((bist >= -2e-9) & (bist <= 1 + 1e-12))
        # 4 lo hi <= (lo + hi)^2 = (1 - inter)^2
        assert np.all(bist <= (1.0 - inter) ** 2 + 1e-9)
        assert np.all((ent >= -1e-12) & (ent <= math.log(71) + 1e-12))
        assert np.all((avg >= -1e-12) & (avg <= 1 + 1e-12))
        assert np.all((inter >= -2e-9) & (inter <= 1 + 1e-12))


def test_symmetric_diagonal_points_are_centred():
    axis = np.linspace(-1.0, 2.0, 4)
    bist, avg, _, inter = velk_core.py_compute_phase_grids(1.0, True, axis, axis)
    for k in range(4):
        assert avg[k, k] == pytest.approx(0.5, abs=1e-12)
        lo = (1.0 - inter[k, k]) / 2.0  # hi == lo by symmetry
        assert bist[k, k] == pytest.approx(4.0 * lo * lo, abs=1e-12)


def test_strongly_bistable_symmetric_corner_scores_one():
    # StE = StW = 1, CoW = CoE = 1000: half the mass near 0, half near 1. The
    # plain LU solve returns negative entries here.
    bist, avg, ent, inter = velk_core.py_compute_phase_grids(1.0, True, np.array([3.0]), np.array([3.0]))
    assert bist[0, 0] == pytest.approx(1.0, abs=1e-9)
    assert avg[0, 0] == pytest.approx(0.5, abs=1e-9)
    assert inter[0, 0] == pytest.approx(0.0, abs=1e-9)


def test_normalize_stw_is_irrelevant_when_both_spontaneous_rates_are_one():
    a = velk_core.py_compute_phase_grids(1.0, True, COW, COE, 1.5, 3.0)
    b = velk_core.py_compute_phase_grids(1.0, False, COW, COE, 1.5, 3.0)
    for x, y in zip(a, b):
        np.testing.assert_array_equal(x, y)


def test_mm_vmax_applies():
    free = velk_core.py_compute_phase_grids(0.5, True, COW, COE)
    velk_core.py_set_mm_vmax(2.0)
    capped = velk_core.py_compute_phase_grids(0.5, True, COW, COE)
    assert not np.array_equal(free[1], capped[1])
