"""Per-molecule tables to binned distributions; the NumPy model behind the figures."""

import warnings

import numpy as np
import pandas as pd
import pytest

import velkora
from velkora import InputError, model, velk_core
from velkora.synthetic import drift_probabilities

# Nine molecules counted by hand into density bins [0, 1) [1, 2] and level bins [0, .5) [.5, 1].
TINY = pd.DataFrame(
    {
        "cpg_density": [0.0, 0.5, 0.99, 1.0, 1.5, 2.0, 2.0, 1.2, 0.3],
        "meth_level": [0.0, 0.5, 0.49, 1.0, 0.2, 0.5, 1.0, 0.7, 1.0],
    }
)


@pytest.mark.filterwarnings("ignore:.*fewer than 5 molecules")  # a hand-sized table
def test_binning_matches_a_hand_count():
    data = velkora.bin_molecules(TINY, [0.0, 1.0, 2.0], [0.0, 0.5, 1.0])
    np.testing.assert_array_equal(data.counts, [[2, 2], [1, 4]])
    np.testing.assert_array_equal(data.fractions, [[0.5, 0.5], [0.2, 0.8]])
    assert data.labels == ["[0, 1)", "[1, 2]"]
    assert data.fractions.flags.c_contiguous and data.fractions.dtype == np.float64
    frame = data.frame()
    assert list(frame.columns) == ["density_lo", "density_hi", "n_molecules", "[0, 0.5)", "[0.5, 1]"]
    assert frame.index.name == "density_bin" and list(frame.n_molecules) == [4, 5]


def test_level_from_counts_equals_level_column_and_files_read_alike(tmp_path):
    table = velkora.synthetic_molecules(molecules_per_density=300, seed=4)
    by_level = velkora.bin_molecules(table, velkora.synthetic.DEFAULT_DENSITY_EDGES, 7)
    by_counts = velkora.bin_molecules(table.drop(columns="meth_level"), velkora.synthetic.DEFAULT_DENSITY_EDGES, 7)
    np.testing.assert_array_equal(by_level.counts, by_counts.counts)
    table.to_csv(tmp_path / "m.csv", index=False)
    table.to_parquet(tmp_path / "m.parquet")
    for path in ("m.csv", "m.parquet"):
        read = velkora.bin_molecules(tmp_path / path, velkora.synthetic.DEFAULT_DENSITY_EDGES, 7)
        np.testing.assert_array_equal(read.counts, by_level.counts)


def test_quantile_density_bins_hold_equal_shares():
    table = pd.DataFrame({"cpg_density": np.arange(1000.0), "meth_level": np.linspace(0, 1, 1000)})
    data = velkora.bin_molecules(table, 4, 10)
    np.testing.assert_array_equal(data.n_molecules, [250, 250, 250, 250])
    with pytest.raises(InputError, match="has 1 distinct value, too few for 3 equal-count bins"):
        velkora.bin_molecules(table.assign(cpg_density=1.0), 3)


def test_molecules_outside_the_density_edges_are_counted_and_reported():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        data = velkora.bin_molecules(TINY, [0.0, 1.0], 2)
    assert data.n_outside == 4 and data.n_molecules.tolist() == [5]
    assert "4 of 9 molecules" in str(caught[0].message)


@pytest.mark.parametrize(
    "change,density_edges,meth_edges,message",
    [
        (lambda t: t.drop(columns="cpg_density"), [0, 2], 2, "missing column 'cpg_density'"),
        (lambda t: t.drop(columns="meth_level"), [0, 2], 2, "needs column 'meth_level', or columns 'n_methyl"),
        (lambda t: t.assign(meth_level=[0.1] * 8 + [1.5]), [0, 2], 2, r"'meth_level': 1 value\(s\) outside 0..1"),
        (lambda t: t.assign(meth_level=[np.nan] + [0.1] * 8), [0, 2], 2, "'meth_level'.*first at row 0: nan"),
        (lambda t: t.assign(cpg_density="x"), [0, 2], 2, "'cpg_density': not numeric"),
        (lambda t: t.assign(n_methylated=3, n_cpg=2).drop(columns="meth_level"), [0, 2], 2, "larger than column 'n_cpg'"),
        (lambda t: t.iloc[:0], [0, 2], 2, "holds no molecules"),
        (lambda t: t, [0, 1, 5, 9], 2, r"density bin \[5, 9\] holds no molecules"),
        (lambda t: t, [0, 2, 1], 2, "density_edges: edges must be strictly increasing"),
        (lambda t: t, [0, 2], [0, 0.5, 1.5], "meth_edges: methylation levels run from 0 to 1"),
        (lambda t: t, [0, np.nan], 2, "density_edges: NaN"),
        (lambda t: t, [0, 2], 0, "meth_edges: the number of methylation bins"),
    ],
)
def test_bad_input_names_its_column_or_argument(change, density_edges, meth_edges, message):
    with pytest.raises(InputError, match=message):
        velkora.bin_molecules(change(TINY), density_edges, meth_edges)


def test_missing_and_unknown_files(tmp_path):
    with pytest.raises(InputError, match="not found"):
        velkora.read_molecules(tmp_path / "none.csv")
    (tmp_path / "m.xlsx").write_text("")
    with pytest.raises(InputError, match="unknown format"):
        velkora.read_molecules(tmp_path / "m.xlsx")


@pytest.mark.filterwarnings("ignore:.*fewer than 5 molecules")  # a hand-sized table
def test_resamples_are_seeded_multinomial_draws():
    data = velkora.bin_molecules(TINY, [0.0, 1.0, 2.0], [0.0, 0.5, 1.0])
    first, again = data.resample(50, seed=3), data.resample(50, seed=3)
    np.testing.assert_array_equal(first, again)
    assert first.shape == (100, 2) and not np.array_equal(first, data.resample(50, seed=4))
    np.testing.assert_allclose(first.sum(axis=1), 1.0)
    counts = first * np.tile(data.n_molecules, 50)[:, None]
    np.testing.assert_allclose(counts, np.rint(counts), atol=1e-9)
    assert data.resample(0).shape == (0, 2)


def test_drift_tables_bin_by_age_and_follow_the_site_propagation():
    table = velkora.synthetic_drift_molecules(0.2, 0.1, [1.0, 3.0, 6.0], molecules_per_density=4000, seed=2)
    data = velkora.bin_molecules_by_age(table, velkora.synthetic.DEFAULT_DENSITY_EDGES, 10)
    np.testing.assert_array_equal(data.ages, [1.0, 3.0, 6.0])
    np.testing.assert_array_equal(data.fit_times, [2.0, 5.0])
    assert data.resample(3, seed=1).shape == (3, 3, 5, 10)
    # The aged molecules follow the engine's drift of the reference distribution.
    reference = model.bin_fractions(model.stationary_distribution(0.5, 1.0, 3.0, 0.5), data.meth_edges)
    predicted = velk_core.py_drift_predict(0.2, 0.1, reference, data.fit_times, data.meth_edges)
    for k in (1, 2):
        assert np.abs(data.by_age[k].fractions[0] - predicted[k - 1]).max() < 0.03
    assert drift_probabilities(0.0, 0.0, 2.0) == (1.0, 0.0)
    with pytest.raises(InputError, match="two distinct ages"):
        velkora.bin_molecules_by_age(table.assign(age=1.0), 2)


@pytest.mark.parametrize("raw_count,vmax", [(False, np.inf), (True, np.inf), (False, 0.7)])
@pytest.mark.parametrize("ste,stw,cow,coe", [(0.5, 1.0, 2.0, 3.0), (1.0, 0.2, 0.01, 50.0), (0.01, 0.01, 10.0, 10.0)])
def test_numpy_model_agrees_with_the_engine(ste, stw, cow, coe, raw_count, vmax):
    edges = np.linspace(0.0, 1.0, 21)
    scale = 1 / 4900 if raw_count else 1.0  # keep raw-count drives in range
    velk_core.py_set_raw_count(raw_count)
    velk_core.py_set_mm_vmax(vmax)
    engine = velk_core.py_compute_model_fracs(ste, stw, cow * scale, coe * scale, edges)
    ours = model.bin_fractions(model.stationary_distribution(ste, stw, cow * scale, coe * scale, vmax=vmax,
                                                             raw_count=raw_count), edges)
    np.testing.assert_allclose(ours, engine, atol=1e-10, rtol=0)


def test_bistable_model_is_symmetric_and_degenerate_rates_give_uniform():
    p = model.stationary_distribution(0.01, 0.01, 10.0, 10.0)
    np.testing.assert_allclose(p, p[::-1], rtol=1e-12)
    assert p[:15].sum() == pytest.approx(0.5, abs=1e-3)
    np.testing.assert_array_equal(model.stationary_distribution(0.0, 0.0, 0.0, 0.0), np.full(71, 1 / 71))
