"""Model choice: parameter counts, nested pairs, likelihood-ratio tests and their bootstrap, goodness of
fit, refusals, the command and Dask runs."""

import json
import logging
import math

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
from test_frontdoor_fitting import EDGES, TRUTH  # noqa: E402

import velkora as vk  # noqa: E402
from velkora import InputError, cli, comparison, fitting, velk_core  # noqa: E402

FAST = {"st_bounds": (0.1, 1.0), "co_bounds": (0.5, 10.0), "n_exp_bounds": (1.5, 2.5)}
WIDE = {"st_bounds": (0.05, 2.0), "co_bounds": (0.1, 30.0)}


def engine_fractions(st, cow, coe):
    q = velk_core.py_compute_model_fracs(st, 1.0, cow, coe, EDGES)
    return q / q.sum()


def drawn(truth=TRUTH, molecules=2000, seed=0):
    """Molecules drawn from the model: each density bin a multinomial of `molecules`."""
    rng = np.random.default_rng(seed)
    counts = np.array([rng.multinomial(molecules, engine_fractions(*row)) for row in truth], dtype=np.int64)
    density_edges = np.linspace(0.01, 0.01 * (len(truth) + 1), len(truth) + 1)
    return vk.BinnedData(counts / counts.sum(axis=1, keepdims=True), counts, density_edges, EDGES)


@pytest.mark.parametrize(("mode", "n_densities", "settings", "expected"), [
    ("independent", 1, {}, 3),
    ("independent", 4, {"fit_vmax": True}, 12),  # fit_vmax only reaches the shared-exponent modes
    ("independent-exp", 3, {}, 15),
    ("shared-st", 4, {}, 9),
    ("shared-exp", 4, {}, 11),
    ("shared-exp", 4, {"fit_vmax": True}, 12),
    ("shared-st-exp", 2, {}, 9),
    ("shared-st-exp", 2, {"fit_vmax": True}, 10),
    ("shared-co", 4, {}, 11),
    ("shared-st-exp", 3, {"n_exp_bounds": (2.0, 2.0)}, 7),  # a one-point range fixes the exponents
    ("shared-co", 2, {"st_bounds": (0.5, 0.5)}, 6),
])
def test_free_parameters(mode, n_densities, settings, expected):
    assert comparison.free_parameters(mode, n_densities, **settings) == expected


NESTED = {("independent", "independent-exp"), ("shared-st", "independent"), ("shared-st", "independent-exp"),
          ("shared-st", "shared-exp"), ("shared-st", "shared-st-exp"), ("shared-exp", "independent-exp"),
          ("shared-exp", "shared-st-exp"), ("shared-st-exp", "independent-exp"), ("shared-co", "independent-exp"),
          ("shared-co", "shared-st-exp")}


@pytest.mark.parametrize(("n_densities", "settings", "untested"), [
    (3, {}, {}),
    # Exponents held outside the searched range.
    (3, {"n_m": 6.0}, {("independent", "independent-exp"): "n_M at 6", ("shared-st", "independent-exp"): "n_M at 6",
                       ("shared-st", "shared-exp"): "n_exp_bounds", ("shared-st", "shared-st-exp"): "n_exp_bounds"}),
    # A fitted Vmax: the modes without one hold it at inf, outside vmax_bounds, or fit none at all.
    (3, {"fit_vmax": True}, {("shared-st", "shared-exp"): "vmax_bounds", ("shared-st", "shared-st-exp"): "Vmax",
                             ("shared-co", "shared-st-exp"): "Vmax at inf",
                             ("shared-exp", "independent-exp"): "holds it at inf",
                             ("shared-st-exp", "independent-exp"): "holds it at inf"}),
    (3, {"fit_vmax": True, "vmax": 50.0}, {("shared-exp", "independent-exp"): "holds it at 50",
                                           ("shared-st-exp", "independent-exp"): "holds it at 50"}),
    # One density bin: shared and per-bin values coincide.
    (1, {}, {("shared-st", "independent"): "same model", ("shared-exp", "shared-st-exp"): "same model",
             ("shared-exp", "independent-exp"): "same model", ("shared-st-exp", "independent-exp"): "same model",
             ("shared-co", "independent-exp"): "same model", ("shared-co", "shared-st-exp"): "same model"}),
])
def test_nested_pairs_and_why_some_are_not_tested(n_densities, settings, untested):
    pairs = comparison.nested_pairs(vk.MODES, n_densities, **settings)
    assert set(zip(pairs["smaller"], pairs["larger"])) == NESTED
    reasons = {(row.smaller, row.larger): row.reason for row in pairs.itertuples() if row.reason}
    assert reasons.keys() == untested.keys()
    for pair, fragment in untested.items():
        assert fragment in reasons[pair]
    for row in pairs.itertuples():
        extra = comparison.free_parameters(row.larger, n_densities, **settings) - \
            comparison.free_parameters(row.smaller, n_densities, **settings)
        assert row.df == extra and (row.df > 0 or row.reason)
    # A fixed Vmax inside the range nests the modes without one, with one more degree of freedom.
    if settings == {"fit_vmax": True, "vmax": 50.0}:
        assert pairs.set_index(["smaller", "larger"]).loc[("shared-st", "shared-exp"), "df"] == 3


@pytest.fixture(scope="module")
def shared_st_data():
    return drawn(molecules=3000, seed=1)  # both density bins have St = 0.3


@pytest.fixture(scope="module")
def compared(shared_st_data):
    return vk.compare(shared_st_data, ["shared-st", "independent", "independent-exp"], **FAST)


def test_log_likelihoods_and_ratio_tests_on_data_from_the_smallest_model(shared_st_data, compared):
    stats = pytest.importorskip("scipy.stats")
    data, table, tests = shared_st_data, compared.table, compared.tests
    # loglik drops exactly the multinomial coefficients, the same for every mode.
    coefficients = sum(math.lgamma(n + 1) - sum(math.lgamma(c + 1) for c in row)
                       for n, row in zip(data.n_molecules, data.counts))
    for mode, fit in compared.fits.items():
        logpmf = sum(stats.multinomial.logpmf(row, n, q)
                     for n, row, q in zip(data.n_molecules, data.counts, fit.model_fractions()))
        assert table.at[mode, "loglik"] + coefficients == pytest.approx(logpmf, rel=1e-9)
    assert table["n_params"].tolist() == [5, 6, 10]
    assert (tests["reason"] == "").all() and tests["df"].tolist() == [1, 5, 4]
    for row in tests.itertuples():
        assert row.lr_stat == 2 * (table.at[row.larger, "loglik"] - table.at[row.smaller, "loglik"])
        assert row.lr_stat > -1e-3  # the larger fit is at least as good, up to the optimisers' tolerance
        assert row.p_value == pytest.approx(stats.chi2.sf(max(row.lr_stat, 0.0), row.df), rel=1e-9)
    assert compared.table["akaike_weight"].sum() == pytest.approx(1.0)
    assert compared.best == "shared-st" and compared.simulations.empty


def test_bootstrap_p_values_are_not_all_small_under_the_null():
    p_values = []
    for k in range(10):
        result = vk.compare(drawn(molecules=400, seed=100 + k), ["shared-st", "independent"], n_sim=4, seed=k,
                            **FAST)
        row = result.tests.iloc[0]
        sims = result.simulations["lr_stat"].to_numpy()
        assert len(sims) == 4 and row.n_sim == 4
        assert row.p_bootstrap == (1 + np.sum(sims >= row.lr_stat)) / 5
        p_values.append(row.p_bootstrap)
    # Under the null the p-value is uniform on 0.2, 0.4, ..., 1 (mean 0.6).
    assert np.mean(p_values) > 0.35 and max(p_values) >= 0.6, p_values


def test_goodness_of_fit_and_residuals_by_hand():
    stats = pytest.importorskip("scipy.stats")
    data = drawn(molecules=2000, seed=2)
    # A second density bin with two narrow peaks away from the ends and nothing else:
    # no steady state of the model looks like that.
    odd = np.array([0, 0, 900, 0, 0, 0, 0, 1100, 0, 0])
    counts = np.vstack([data.counts[0], odd])
    data = vk.BinnedData(counts / counts.sum(axis=1, keepdims=True), counts, data.density_edges, EDGES)
    result = vk.compare(data, ["independent"], **WIDE)
    fit = result.fits["independent"].table
    gof = result.goodness_of_fit.loc["independent"]
    residuals = result.residuals.loc["independent"]
    for d, label in enumerate(data.labels):
        expected = counts[d].sum() * engine_fractions(*fit.loc[label, ["St", "CoW", "CoE"]])
        g, _ = stats.power_divergence(counts[d], expected, lambda_="log-likelihood")
        assert gof.loc[label, "G"] == pytest.approx(g, rel=1e-6)
        assert gof.loc[label, "df"] == 10 - 1 - 3
        assert gof.loc[label, "p_value"] == pytest.approx(stats.chi2.sf(g, 6), rel=1e-5, abs=1e-300)
        np.testing.assert_allclose(residuals.loc[label, "residual"], (counts[d] - expected) / np.sqrt(expected),
                                   rtol=1e-6)
        assert residuals.loc[label, "observed"].tolist() == counts[d].tolist()
    assert gof["misfit"].tolist() == [False, True]


@pytest.mark.parametrize("df", [1, 2, 3.5, 10, 57, 400])
def test_chi_square_survival_against_scipy(df):
    stats = pytest.importorskip("scipy.stats")
    for x in (1e-8, 0.01, 0.5 * df, df - 0.3, df + 1, 2 * df + 5, 10 * df + 50, 1500.0):
        assert comparison.chi2_sf(x, df) == pytest.approx(stats.chi2.sf(x, df), rel=1e-10, abs=1e-300), x
    assert [comparison.chi2_sf(x, df) for x in (0.0, -2.0, math.inf)] == [1.0, 1.0, 0.0]
    assert math.isnan(comparison.chi2_sf(math.nan, df)) and math.isnan(comparison.chi2_sf(1.0, 0))


@pytest.mark.parametrize(("arguments", "message"), [
    ({"weights": "equal"}, "weights must be 'molecules'"),
    ({"weights": [1.0, 2.0]}, "weights must be 'molecules'"),
    ({"co_penalty": 0.1}, "co_penalty must be 0"),
    ({"modes": ["shared-st", "shared-st"]}, "'shared-st' twice"),
    ({"modes": ["shared"]}, "unknown mode 'shared'"),
    ({"modes": []}, "at least one mode"),
    ({"n_sim": -1}, "n_sim must be"),
    ({"seed": None}, "seed must be"),
    ({"progress": 3}, "progress must be callable"),
    ({"client": "tcp://scheduler:8786"}, "client must be a Dask"),
    ({"st_bounds": (1.0, 0.5)}, "st_bounds must be"),
    ({"tolerance": 1e-3}, "unknown setting 'tolerance'"),
    ({"data": np.ones((2, 10))}, "data must be a BinnedData"),
])
def test_refusals_come_before_any_fit(shared_st_data, monkeypatch, arguments, message):
    def no_fit(*args, **kwargs):
        raise AssertionError("fitted before checking")

    monkeypatch.setattr(fitting, "fit", no_fit)
    arguments = {"data": shared_st_data, **arguments}
    with pytest.raises(InputError, match=message):
        vk.compare(arguments.pop("data"), **arguments)


@pytest.fixture(scope="module")
def molecules(tmp_path_factory):
    path = tmp_path_factory.mktemp("molecules") / "molecules.csv"
    assert cli.main(["synthetic", str(path), "--molecules", "600", "--seed", "4"]) == 0
    return path


COMMAND = ["--modes", "independent", "independent-exp", "--density-bins", "2", "--meth-bins", "8",
           "--st-bounds", "0.05", "5", "--n-exp-bounds", "1", "3", "--n-sim", "2", "--seed", "7", "--quiet"]
FILES = {"comparison.csv", "likelihood_ratio_tests.csv", "likelihood_ratio_simulations.csv", "goodness_of_fit.csv",
         "residuals.csv", "compare_fits.csv", "compare_settings.json", "compare.log"}


def test_command_writes_every_table_and_reruns_them(molecules, tmp_path, capsys):
    out = tmp_path / "compared"
    assert cli.main(["compare", str(molecules), *COMMAND, "--no-figures", "--out", str(out)]) == 0
    assert {p.name for p in out.iterdir()} == FILES
    table = pd.read_csv(out / "comparison.csv", index_col="mode")
    assert table.index.tolist() == ["independent", "independent-exp"] and table["n_params"].tolist() == [6, 10]
    tests = pd.read_csv(out / "likelihood_ratio_tests.csv")
    assert tests[["smaller", "larger", "df", "n_sim"]].values.tolist() == [["independent", "independent-exp", 4, 2]]
    assert len(pd.read_csv(out / "residuals.csv")) == 2 * 2 * 8
    record = json.loads((out / "compare_settings.json").read_text())
    assert record["n_sim"] == 2 and record["settings"]["weights"] == "molecules" and record["complete"]

    rerun = tmp_path / "rerun"
    assert cli.main(["compare", "--settings", str(out / "compare_settings.json"), "--no-figures", "--quiet",
                     "--out", str(rerun)]) == 0
    for name in FILES - {"compare_settings.json", "compare.log"}:
        assert (rerun / name).read_bytes() == (out / name).read_bytes(), name
    capsys.readouterr()


@pytest.mark.parametrize("mistake", [
    ["--st-bounds", "2", "1"],
    ["--modes", "independent", "independent"],
    ["--weights", "equal"],
    ["--density-column", "no_such_column"],  # found only once the table is read
])
def test_command_refuses_bad_input_and_leaves_no_files(molecules, tmp_path, capsys, mistake):
    out = tmp_path / "compared"
    assert cli.main(["compare", str(molecules), "--no-figures", "--out", str(out), *mistake]) == cli.EXIT_INPUT
    assert not out.exists() and list(tmp_path.iterdir()) == []
    assert "error" in capsys.readouterr().err


def test_command_stopped_or_failing_leaves_no_files(molecules, tmp_path, capsys, monkeypatch):
    def stopped(*args, **kwargs):
        raise KeyboardInterrupt

    def refused(*args, **kwargs):
        raise RuntimeError("st_bounds: no search possible")

    out = tmp_path / "compared"
    for replacement, expected in ((stopped, cli.EXIT_INTERRUPTED), (refused, cli.EXIT_FAILED)):
        monkeypatch.setattr(velk_core, "py_fit_all_densities_exp", replacement)
        assert cli.main(["compare", str(molecules), *COMMAND, "--no-figures", "--out", str(out)]) == expected
        assert not out.exists() and list(tmp_path.iterdir()) == []
        assert "Traceback" not in capsys.readouterr().err


def test_simulations_on_a_dask_cluster_are_those_of_one_process(shared_st_data):
    distributed = pytest.importorskip("distributed")
    arguments = dict(modes=["independent", "independent-exp"], n_sim=3, seed=5, **FAST)
    local = vk.compare(shared_st_data, **arguments)
    calls = []
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                  env={"RAYON_NUM_THREADS": "1"}, silence_logs=logging.CRITICAL) as cluster, \
            distributed.Client(cluster) as client:
        remote = vk.compare(shared_st_data, client=client, progress=lambda done, total: calls.append((done, total)),
                            **arguments)
    pd.testing.assert_frame_equal(remote.simulations, local.simulations, check_exact=True)
    pd.testing.assert_frame_equal(remote.tests, local.tests, check_exact=True)
    assert calls[-1] == (3, 3) and local.simulations["lr_stat"].nunique() == 3
