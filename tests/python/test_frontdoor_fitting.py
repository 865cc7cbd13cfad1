"""The fitting front door: fits per mode, bootstraps by chunks, profiles, phase grid, drift, input errors."""

import json
import math

import numpy as np
import pytest

pd = pytest.importorskip("pandas")

from velkora import InputError, fitting, velk_core  # noqa: E402
from velkora.counts import BinnedData, DriftData  # noqa: E402

EDGES = np.linspace(0.0, 1.0, 11)
TRUTH = ((0.3, 1.0, 4.0), (0.3, 2.0, 3.0))  # (St, CoW, CoE) per density bin, StW = 1
NARROW = {"st_bounds": (0.1, 1.0), "co_bounds": (0.5, 10.0), "n_exp_bounds": (1.5, 2.5)}
COLUMNS = ["density_lo", "density_hi", "n_molecules", "St", "CoW", "CoE", "n_U", "n_M", "Vmax", "nll", "observation",
           "at_bound"]
SAMPLE_COLUMNS = ["sample", "density_bin", "St", "CoW", "CoE", "n_U", "n_M", "Vmax", "nll"]


def binned(truth=TRUTH, molecules=10_000):
    """Exact model fractions of each density bin, with `molecules` molecules behind each."""
    fractions = np.array([velk_core.py_compute_model_fracs(st, 1.0, cow, coe, EDGES) for st, cow, coe in truth])
    fractions /= fractions.sum(axis=1, keepdims=True)
    density_edges = np.linspace(0.01, 0.01 * (len(truth) + 1), len(truth) + 1)
    return BinnedData(fractions, np.round(fractions * molecules).astype(np.int64), density_edges, EDGES)




@pytest.fixture(scope="module")
def data():
    return binned()


@pytest.mark.parametrize("mode", ["independent", "shared-st"])
def test_fit_recovers_the_rates_of_exact_fractions(data, mode):
    result = fitting.fit(data, mode, st_bounds=(0.05, 2.0), co_bounds=(0.1, 30.0))
    np.testing.assert_allclose(result.table[["St", "CoW", "CoE"]].to_numpy(), TRUTH, rtol=2e-3)
    # total_nll is the nll of the molecule counts in every mode; objective what the search minimised.
    assert result.total_nll == pytest.approx(np.dot(result.table["nll"], data.weights)) == -result.llf
    weights = data.weights if mode == "shared-st" else np.ones(2)
    assert result.objective == pytest.approx(np.dot(result.table["nll"], weights))
    if mode == "shared-st":
        assert result.shared["St"] == pytest.approx(0.3, rel=1e-3)


def test_model_fractions_reproduce_the_fitted_data(data):
    result = fitting.fit(data, "shared-st", st_bounds=(0.05, 2.0), co_bounds=(0.1, 30.0))
    np.testing.assert_allclose(result.model_fractions(), data.fractions, atol=1e-4)


# mode, extra settings, shared names, whether n_U/n_M are the fixed settings
LAYOUTS = [
    ("independent", {}, [], True),
    ("independent-exp", {}, [], False),
    ("shared-st", {}, ["St"], True),
    ("shared-exp", {"fit_vmax": True, "vmax_bounds": (1.0, 1e4)}, ["St", "n_U", "n_M", "Vmax"], False),
    ("shared-st-exp", {}, ["St"], False),
    ("shared-co", {}, ["St", "CoW", "CoE"], False),
]


@pytest.mark.parametrize(("mode", "extra", "shared", "fixed_exponents"), LAYOUTS, ids=[c[0] for c in LAYOUTS])
def test_tables_per_mode(data, mode, extra, shared, fixed_exponents):
    result = fitting.fit(data, mode, n_u=2.5, n_m=2.5, **NARROW, **extra)
    table = result.table
    assert list(table.columns) == COLUMNS
    assert table.index.name == "density_bin" and list(table.index) == ["[0.01, 0.02)", "[0.02, 0.03]"]
    assert sorted(result.shared) == sorted(shared)
    for name, value in result.shared.items():
        assert (table[name] == value).all()
    assert ((table[["n_U", "n_M"]] == 2.5).all().all()) == fixed_exponents
    assert json.loads(json.dumps(result.settings))["st_bounds"] == [0.1, 1.0]
    assert (result.warm_start() is not None) == (mode in ("shared-exp", "shared-co"))

    boot = fitting.bootstrap(result, 2, percentiles=(5, 50))
    assert list(boot.samples.columns) == SAMPLE_COLUMNS and len(boot.samples) == 4
    assert list(boot.samples["density_bin"]) == list(table.index) * 2
    parameters = ["St", "CoW", "CoE", "n_U", "n_M"] + (["Vmax"] if "Vmax" in shared else [])
    assert list(boot.intervals.columns) == [f"{p}{s}" for p in parameters for s in ("", "_p5", "_p50")] + ["at_bound"]
    assert (boot.complete, boot.n_done) == (True, 2)


@pytest.fixture(scope="module")
def independent_fit():
    # The shared-St fits draw unseeded streams, so only the seeded modes repeat bit for bit.
    return fitting.fit(binned(molecules=2000), st_bounds=(0.05, 2.0), co_bounds=(0.1, 30.0))


def test_bootstrap_samples_do_not_depend_on_the_chunks(independent_fit):
    calls = []
    whole = fitting.bootstrap(independent_fit, 5, seed=3, chunk_size=5).samples
    for chunk_size in (None, 1, 2):
        chunked = fitting.bootstrap(independent_fit, 5, seed=3, chunk_size=chunk_size,
                                    progress=lambda done, total: calls.append((chunk_size, done, total)))
        pd.testing.assert_frame_equal(chunked.samples, whole)
    assert [c[1:] for c in calls if c[0] == 2] == [(2, 5), (4, 5), (5, 5)]
    other = fitting.bootstrap(independent_fit, 5, seed=4).samples
    assert not np.array_equal(other["St"], whole["St"])


def test_intervals_are_percentiles_per_density_bin(independent_fit):
    boot = fitting.bootstrap(independent_fit, 6, percentiles=(10, 90))
    for label, group in boot.samples.groupby("density_bin"):
        for name in ("CoW", "CoE"):
            expected = np.percentile(group[name], [10, 90])
            np.testing.assert_allclose(boot.intervals.loc[label, [f"{name}_p10", f"{name}_p90"]], expected)
            assert boot.intervals.loc[label, name] == independent_fit.table.loc[label, name]


def interrupt_after_first_chunk(done, total):
    raise KeyboardInterrupt


def test_ctrl_c_between_chunks_keeps_the_finished_samples(independent_fit):
    whole = fitting.bootstrap(independent_fit, 4).samples
    partial = fitting.bootstrap(independent_fit, 4, chunk_size=2, keep_partial=True,
                                progress=interrupt_after_first_chunk)
    assert (partial.complete, partial.n_done, partial.n_boot) == (False, 2, 4)
    pd.testing.assert_frame_equal(partial.samples, whole.iloc[:4])
    with pytest.raises(KeyboardInterrupt):
        fitting.bootstrap(independent_fit, 4, chunk_size=2, progress=interrupt_after_first_chunk)


def test_profiles_are_lowest_at_the_truth_and_bound_it(data):
    st = fitting.profile_st(data, [0.1, 0.3, 0.9], co_bounds=(0.1, 30.0))
    assert list(st.table.columns) == ["St", "nll", "delta_nll", "on_grid"]
    on_grid = st.table[st.table["on_grid"]]
    assert on_grid["St"].tolist() == [0.1, 0.3, 0.9] and on_grid.loc[on_grid["nll"].idxmin(), "St"] == 0.3
    # The rise is measured from the true minimum, and the table holds the search's points beyond the grid:
    # the profile crosses the threshold on both sides of it within what was evaluated.
    assert st.table["delta_nll"].min() >= 0 and st.table["St"].is_monotonic_increasing
    assert st.table["delta_nll"].min() == pytest.approx(st.table["nll"].min() - st.intervals["nll_min"].iloc[0])
    below, above = st.table[st.table["St"] < 0.3], st.table[st.table["St"] > 0.3]
    assert below["delta_nll"].max() >= 1.92 and above["delta_nll"].max() >= 1.92
    # The interval's ends are where the profile has risen by 1.92 above its minimum.
    row = st.intervals.iloc[0]
    assert row["lo"] < 0.3 < row["hi"] and row["estimate"] == pytest.approx(0.3, rel=1e-3)
    ends = fitting.profile_st(data, [row["lo"], row["hi"]], co_bounds=(0.1, 30.0), interval=False).table["nll"]
    np.testing.assert_allclose(ends - row["nll_min"], 1.9207294, atol=2e-3)
    assert st.interval == (row["lo"], row["hi"])

    grid = [0.5, 1.0, 2.0, 3.0, 4.0, 8.0]
    co = fitting.profile_co(data, 0.3, grid, grid, co_bounds=(0.1, 30.0))
    assert list(co.table.columns) == ["density_bin", "parameter", "value", "nll", "delta_nll"] and len(co.table) == 24
    best = co.table.loc[co.table.groupby(["density_bin", "parameter"])["delta_nll"].idxmin()]
    assert (best["delta_nll"] >= 0).all() and (best["delta_nll"] < 1.92 / 2000).all()
    truth = {("[0.01, 0.02)", "CoE"): 4.0, ("[0.01, 0.02)", "CoW"): 1.0,
             ("[0.02, 0.03]", "CoE"): 3.0, ("[0.02, 0.03]", "CoW"): 2.0}
    assert best.set_index(["density_bin", "parameter"])["value"].to_dict() == truth
    for row in co.intervals.itertuples():
        assert row.lo < truth[row.density_bin, row.parameter] < row.hi

    # Equal weights make the nll no log-likelihood: no interval rather than a wrong one.
    assert st.intervals["lo"].notna().all()
    equal = fitting.profile_st(data, [0.1, 0.3, 0.9], co_bounds=(0.1, 30.0), weights="equal")
    assert equal.intervals[["estimate", "lo", "hi"]].isna().all(axis=None)


@pytest.mark.parametrize(("grid", "expected"), [
    ((0.35, 0.5, 0.7, 1.0, 1.4), (0.7, 0.5754106, 0.8515658)),  # minimum on a grid point
    ((0.35, 0.4, 0.5), (0.7, 0.5754106, 0.8515658)),  # minimum beyond the grid's end
    ((0.011, 0.02), (0.7, 0.5754106, 0.8515658)),  # far beyond it
])
def test_likelihood_interval_of_a_known_profile(grid, expected):
    from velkora import _interval

    def profile(x):  # nll rising by 50 (ln x - ln 0.7)^2: ends at 0.7 exp(-+sqrt(1.92 / 50))
        return 50.0 * (math.log(x) - math.log(0.7)) ** 2 + 3.0

    found = _interval.likelihood_interval(profile, grid, [profile(x) for x in grid], (0.01, 10.0))
    np.testing.assert_allclose((found.estimate, found.lo, found.hi), expected, rtol=2e-4)
    assert found.nll_min == pytest.approx(3.0, abs=1e-3)


def test_likelihood_interval_is_open_where_the_profile_stays_low():
    from velkora import _interval

    def profile(x):  # falls towards large x: no upper end within the range
        return 10.0 / x

    found = _interval.likelihood_interval(profile, [1.0, 2.0], [10.0, 5.0], (0.01, 100.0))
    assert math.isnan(found.hi) and found.estimate == pytest.approx(100.0)
    assert found.lo == pytest.approx(10.0 / (0.1 + 1.9207294), rel=1e-4)
    flat = _interval.likelihood_interval(lambda x: 1.0, [1.0, 2.0], [1.0, 1.0], (0.5, 4.0))
    assert math.isnan(flat.lo) and math.isnan(flat.hi)


def test_threads_with_different_settings_get_the_sequential_results(data):
    """The engine's Vmax and raw-count switches are process-wide: fits in threads
    must not run with each other's."""
    from concurrent.futures import ThreadPoolExecutor

    settings = [{"vmax": 2.0}, {"vmax": math.inf}, {"raw_count": True}, {"vmax": 5.0, "raw_count": True}] * 3
    sequential = [fitting.fit(data, "independent", **s).table for s in settings[:4]]
    with ThreadPoolExecutor(4) as pool:
        threaded = list(pool.map(lambda s: fitting.fit(data, "independent", **s).table, settings))
    for k, table in enumerate(threaded):
        pd.testing.assert_frame_equal(table, sequential[k % 4])


def test_phase_grid_sets_its_own_switches():
    log_cow, log_coe = np.linspace(-1, 2, 4), np.linspace(-1, 2, 3)
    plain = fitting.phase_grid(0.3, log_cow, log_coe)
    assert plain.bistability.shape == (4, 3) and len(plain.frame()) == 12
    assert plain.frame().iloc[1][["log_cow", "log_coe"]].tolist() == [-1.0, 0.5]
    raw = fitting.phase_grid(0.3, log_cow, log_coe, raw_count=True, vmax=50.0)
    assert not np.allclose(raw.avg_meth, plain.avg_meth)
    np.testing.assert_array_equal(fitting.phase_grid(0.3, log_cow, log_coe).avg_meth, plain.avg_meth)


@pytest.fixture(scope="module")
def drift_data():
    ages = np.array([10.0, 20.0, 40.0])
    young = binned(molecules=5000)
    later = [velk_core.py_drift_predict(0.02, 0.01, f, ages[1:] - ages[0], EDGES) for f in young.fractions]
    by_age = [young] + [BinnedData(np.ascontiguousarray([p[k] for p in later]), young.counts, young.density_edges,
                                   EDGES) for k in range(2)]
    return DriftData(ages, tuple(by_age))


def test_drift_fit_recovers_the_rates_and_predicts_the_ages(drift_data):
    result = fitting.fit_drift(drift_data)
    assert list(result.table.columns) == ["density_lo", "density_hi", "n_molecules", "StE", "StW", "nll", "at_bound"]
    np.testing.assert_allclose(result.table[["StE", "StW"]], [[0.02, 0.01]] * 2, rtol=1e-2)
    pd.testing.assert_frame_equal(fitting.fit_drift(drift_data).table, result.table)  # seeded searches
    predicted = result.predict()
    assert predicted.shape == (2, 3, 10)
    np.testing.assert_allclose(predicted[:, 2], drift_data.by_age[2].fractions, atol=1e-4)


def test_drift_bootstrap_by_chunks_and_interrupted(drift_data):
    whole = fitting.fit_drift(drift_data, n_boot=3, seed=1)
    assert list(whole.table.columns[-4:]) == ["StE_p2.5", "StE_p97.5", "StW_p2.5", "StW_p97.5"]
    assert list(whole.samples["sample"]) == [0, 0, 1, 1, 2, 2] and whole.complete
    chunked = fitting.fit_drift(drift_data, n_boot=3, seed=1, chunk_size=1)
    pd.testing.assert_frame_equal(chunked.samples, whole.samples)
    partial = fitting.fit_drift(drift_data, n_boot=3, seed=1, chunk_size=2, keep_partial=True,
                                progress=interrupt_after_first_chunk)
    assert (partial.n_done, partial.complete) == (2, False)
    pd.testing.assert_frame_equal(partial.samples, whole.samples.iloc[:4])


@pytest.mark.parametrize(("call", "message"), [
    (lambda d: fitting.fit(d, "shared"), r"unknown mode 'shared'; the modes are independent, .*shared-co"),
    (lambda d: fitting.fit(d, st_bounds=(0.0, 1.0)), r"st_bounds .*0 < lo <= hi.*\(0, 1\)"),
    (lambda d: fitting.fit(d, co_bounds=(5.0, 1.0)), "co_bounds"),
    (lambda d: fitting.fit(d, vmax_bounds=(1.0, math.inf)), "vmax_bounds"),
    (lambda d: fitting.fit(d, n_exp_bounds=(math.nan, 2.0)), "n_exp_bounds"),
    (lambda d: fitting.fit(d, st_bounds=(0.1, 1.0, 2.0)), "st_bounds"),
    (lambda d: fitting.fit(d, st_bounds="low"), "st_bounds"),
    (lambda d: fitting.fit(d, weights=[1.0]), "weights has 1 values but the data have 2 density bins"),
    (lambda d: fitting.fit(d, weights=[1.0, math.nan]), "weights"),
    (lambda d: fitting.fit(d, weights=[1.0, -1.0]), "weights must be non-negative"),
    (lambda d: fitting.fit(d, weights="cells"), "weights"),
    (lambda d: fitting.fit(d, vmax=0.0), "vmax must be positive"),
    (lambda d: fitting.fit(d, n_u=math.inf), "n_u must be finite"),
    (lambda d: fitting.fit(d, normalize_stw="yes"), "normalize_stw"),
    (lambda d: fitting.fit(d, stw_bounds=(0.1, 1.0)), "unknown setting 'stw_bounds'"),
    (lambda d: fitting.fit(d.fractions), "BinnedData"),
    (lambda d: fitting.profile_st(d, [0.1, -1.0]), r"st_grid: 1 values .* position 1: -1"),
    (lambda d: fitting.profile_co(d, 0.3, [1.0, 2.0], [1.0]), "same length"),
    (lambda d: fitting.phase_grid(0.0, [0.0], [0.0]), "st must be positive"),
    (lambda d: fitting.fit_drift(d), "DriftData"),
])
def test_bad_input_names_the_argument(data, call, message):
    with pytest.raises(InputError, match=message):
        call(data)


@pytest.mark.parametrize(("options", "message"), [
    ({"n_boot": 0}, "n_boot"), ({"chunk_size": 0}, "chunk_size"), ({"seed": -1}, "seed"),
    ({"percentiles": (2.5, 101.0)}, "percentiles"),
])
def test_bad_bootstrap_options_name_the_argument(independent_fit, options, message):
    with pytest.raises(InputError, match=message):
        fitting.bootstrap(independent_fit, **options)


def test_short_reads_are_fitted_through_their_observation_model():
    """Reads of a few sites: the sampled observation model recovers the molecules'
    distribution where scoring the levels as whole molecules does not."""
    from velkora import synthetic_molecules
    from velkora.counts import bin_molecules

    truth = ((1.0, 10.0, 10.0), (1.0, 4.0, 12.0))
    reads = synthetic_molecules(truth, 6000, (0.0, 0.05, 0.1), depth=6, seed=3)
    data = bin_molecules(reads, [0.0, 0.05, 0.1], 12)
    assert data.short_reads and data.median_depth == 6 and (data.depth_counts[:, 6] == 6000).all()
    settings = {"st_bounds": (0.3, 3.0), "co_bounds": (1.0, 40.0)}
    sampled = fitting.fit(data, "shared-st", **settings)
    binned = fitting.fit(data, "shared-st", observation="binned", **settings)
    assert sampled.observation == "sampled" and "fewer than the model's 70 sites" in sampled.observation_reason
    assert (sampled.table["observation"] == "sampled").all() and binned.observation == "binned"
    # The molecules' distribution is what the data pin down; rates trade off along a ridge at depth 6.
    from velkora.model import stationary_distribution

    true = np.array([stationary_distribution(st, 1.0, cow, coe) for st, cow, coe in truth])
    distance = {name: 0.5 * np.abs(result.distributions() - true).sum(axis=1).max()
                for name, result in (("sampled", sampled), ("binned", binned))}
    assert distance["sampled"] < 0.08 < 0.2 < distance["binned"]
    # The fit's model fractions are the data's, as observed; at 70 sites they are the plain binning.
    np.testing.assert_allclose(sampled.model_fractions(), data.fractions, atol=0.02)
    assert not np.allclose(sampled.model_fractions(observed=False), data.fractions, atol=0.02)

    # A bootstrap keeps the full data's observation matrices, and is reproducible.
    boot = fitting.bootstrap(sampled, 2, seed=1)
    pd.testing.assert_frame_equal(boot.samples, fitting.bootstrap(sampled, 2, seed=1, chunk_size=1).samples)


def test_whole_molecules_keep_the_plain_binning(data):
    from velkora import synthetic_molecules
    from velkora.counts import bin_molecules

    whole = bin_molecules(synthetic_molecules(molecules_per_density=400, seed=2), 2, 10)
    assert not whole.short_reads
    auto = fitting.fit(whole, "shared-st")
    pd.testing.assert_frame_equal(auto.table, fitting.fit(whole, "shared-st", observation="binned").table)
    assert auto.observation == "binned" and auto.observation_matrices is None
    # Levels without depths can only be binned, and say why.
    assert "no read depths" in fitting.fit(data, "independent").observation_reason
    with pytest.raises(InputError, match="observation='sampled' needs"):
        fitting.fit(data, "independent", observation="sampled")
    with pytest.raises(InputError, match="observation must be one of auto, binned, sampled"):
        fitting.fit(data, "independent", observation="reads")
