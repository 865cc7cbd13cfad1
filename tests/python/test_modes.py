"""The one description of each mode, results in the statistics vocabulary, estimates at a search bound, the
observation model carried by the data through simulations, quiet fits, and the package's shape."""

import ast
import math
import pathlib

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
from test_compare import FAST, WIDE, drawn  # noqa: E402

import velkora as vk  # noqa: E402
from velkora import InputError, comparison  # noqa: E402
from velkora.model import modes  # noqa: E402
from velkora.parallel.chunks import ROW_COLUMNS  # noqa: E402


# ---------------------------------------------------------------- the descriptions


@pytest.mark.parametrize("name", modes.MODES)
@pytest.mark.parametrize("settings", [{}, {"fit_vmax": True}, {"n_exp_bounds": (2.0, 2.0)}])
def test_a_tied_layout_counts_the_parameters_the_mode_counts(name, settings):
    s = vk.fitting.settings.check_settings(settings, 3)
    mode = modes.MODE_TABLE[name]
    one_group = modes.layout(name, s, 3)
    assert len(one_group[2]) == mode.n_params(3, s)
    # Everything per group: G times the parameters; everything shared by the groups: as one group.
    assert len(modes.layout(name, s, 3, n_groups=2)[2]) == 2 * mode.n_params(3, s)
    pooled = {p: modes.ALL_GROUPS for p in modes.PARAMETERS}
    table, fixed, entries = modes.layout(name, s, 3, n_groups=2, across_groups=pooled)
    assert len(entries) == mode.n_params(3, s)
    np.testing.assert_array_equal(table[:3], table[3:])
    # A fixed parameter has its value in every row, a free one none.
    assert np.all(np.isnan(fixed) == (table >= 0))


@pytest.mark.parametrize("name", modes.MODES)
def test_every_fitted_parameter_comes_back_from_the_bootstrap_by_name(name):
    mode = modes.MODE_TABLE[name]
    s = vk.fitting.settings.check_settings({"fit_vmax": mode.fits_vmax}, 2)
    assert set(mode.fitted(s)) <= set(ROW_COLUMNS[mode.bootstrap_function])


def test_nesting_never_adds_freedom_nor_parameters():
    s = vk.fitting.settings.check_settings({}, 4)
    for small in modes.MODES:
        for big in modes.MODES:
            if modes.structurally_nested(small, big):
                assert modes.MODE_TABLE[small].n_params(4, s) < modes.MODE_TABLE[big].n_params(4, s)
                assert not modes.structurally_nested(big, small)


# ---------------------------------------------------------------- statistics of a fit


@pytest.fixture(scope="module")
def shared_and_independent():
    data = drawn(molecules=3000, seed=11)
    return data, vk.fit(data, "shared-st", **WIDE), vk.fit(data, "independent", **WIDE)


def test_log_likelihood_information_criteria_and_summary(shared_and_independent):
    data, shared, _ = shared_and_independent
    n = data.n_molecules.astype(float)
    assert shared.llf == pytest.approx(-np.dot(shared.table["nll"], n)) == pytest.approx(-shared.total_nll)
    assert (shared.nobs, shared.df_model) == (int(n.sum()), 1 + 2 * 2)
    assert shared.aic == pytest.approx(2 * 5 - 2 * shared.llf)
    assert shared.bic == pytest.approx(5 * math.log(n.sum()) - 2 * shared.llf)
    text = shared.summary()
    assert f"{shared.llf:.6g}" in text and "Free parameters" in text and "St = " in text
    assert str(shared) == text


def test_the_likelihood_ratio_test_of_a_special_case(shared_and_independent):
    data, shared, independent = shared_and_independent
    lr_stat, p_value, df = independent.compare_lr_test(shared)
    assert df == 1 and lr_stat == pytest.approx(2 * (independent.llf - shared.llf))
    assert p_value == pytest.approx(comparison.chi2_sf(lr_stat, 1))
    # compare is built on the same statistics.
    compared = vk.compare(data, ["shared-st", "independent"], **WIDE)
    row = compared.tests.iloc[0]
    assert row["lr_stat"] == pytest.approx(2 * (compared.fits["independent"].llf - compared.fits["shared-st"].llf))
    assert compared.table.loc["independent", "aic"] == pytest.approx(compared.fits["independent"].aic)


@pytest.mark.parametrize(("make", "reason"), [
    (lambda data, fits: (fits["shared-st"], fits["independent"]), "special case of independent, not the other"),
    (lambda data, fits: (fits["independent"], vk.fit(drawn(seed=12), "shared-st", **WIDE)), "different data"),
    (lambda data, fits: (fits["independent"], vk.fit(data, "shared-st", n_u=3.0, **WIDE)), "different settings"),
    (lambda data, fits: (fits["independent"], vk.fit(data, "shared-st", weights="equal", **WIDE)),
     "different settings"),
    (lambda data, fits: (fits["independent"], "shared-st"), "must be a FitResult"),
])
def test_pairs_that_do_not_nest_are_refused_with_the_reason(shared_and_independent, make, reason):
    data, shared, independent = shared_and_independent
    full, restricted = make(data, {"shared-st": shared, "independent": independent})
    with pytest.raises(InputError, match=reason):
        full.compare_lr_test(restricted)


def test_modes_that_are_no_special_case_of_each_other_are_refused():
    data = drawn(molecules=1000, seed=3)
    shared_co, shared_exp = (vk.fit(data, mode, **FAST) for mode in ("shared-co", "shared-exp"))
    with pytest.raises(InputError, match="neither of shared-exp and shared-co"):
        shared_co.compare_lr_test(shared_exp)


# ---------------------------------------------------------------- estimates at a bound


def test_estimates_at_a_search_bound_are_flagged_everywhere_they_are_shown(tmp_path):
    data = drawn(molecules=2000, seed=5)
    # CoE of the first bin is 4 and CoW of the second 2: a ceiling of 1.5 holds both at the bound.
    result = vk.fit(data, "shared-st", st_bounds=(0.05, 2.0), co_bounds=(0.1, 1.5))
    assert "CoE (upper)" in result.table["at_bound"].iloc[0]
    assert "CoW (upper)" in result.table["at_bound"].iloc[1]
    assert result.at_bound and "bounds, not estimates" in result.summary()
    wide = vk.fit(data, "shared-st", **WIDE)
    assert (wide.table["at_bound"] == "").all() and not wide.at_bound

    from velkora import plot, report

    fig = plot.fit_figure(result)
    assert "a bound, not an estimate" in fig._suptitle.get_text()
    assert any("*" in ax.get_title() for ax in fig.axes)
    assert "co_bounds (--co-bounds)" in report.bound_sentence(result)
    assert report.bound_sentence(wide) == ""

    boot = vk.bootstrap(result, 3, seed=1)
    assert "CoE_p97.5 (upper)" in boot.intervals["at_bound"].iloc[0]
    panel = plot.bootstrap_figure(boot)
    assert any("search bound" in ax.get_title() for ax in panel.axes)


def test_the_command_warns_once_naming_the_bins_and_the_option(tmp_path, capsys):
    data = drawn(molecules=800, seed=5)
    rng = np.random.default_rng(0)
    rows = []
    for d, (lo, counts) in enumerate(zip(data.density_edges[:-1], data.counts)):
        levels = np.repeat((np.arange(len(counts)) + 0.5) / len(counts), counts)
        rows.append(pd.DataFrame({"cpg_density": lo + 0.005 + rng.random(len(levels)) * 0.001,
                                  "meth_level": levels}))
    path = tmp_path / "molecules.csv"
    pd.concat(rows).to_csv(path, index=False)
    status = vk.cli.main(["fit", str(path), "--mode", "shared-st", "--density-edges", "0.01", "0.02", "0.03",
                          "--meth-bins", "10", "--co-bounds", "0.1", "1.5", "--no-figures", "--out",
                          str(tmp_path / "out")])
    err = capsys.readouterr().err
    assert status == 0
    warnings = [line for line in err.splitlines() if "search bound" in line]
    assert len(warnings) == 1 and "widen --co-bounds" in warnings[0] and "[0.01, 0.02)" in warnings[0]
    assert "at_bound" in pd.read_csv(tmp_path / "out" / "fits.csv").columns


# ---------------------------------------------------------------- the observation model travels


@pytest.fixture(scope="module")
def short_reads():
    truth = [(1.0, 10.0, 10.0), (1.0, 5.0, 8.0)]
    rng = np.random.default_rng(4)
    depths = rng.integers(3, 13, size=2 * 1500)
    table = vk.synthetic_molecules(truth, 1500, (0.0, 0.5, 1.0), depth=depths, seed=4)
    return vk.bin_molecules(table, [0.0, 0.5, 1.0], 8)


def test_simulations_keep_the_depths_and_score_with_the_sampled_likelihood(short_reads):
    assert short_reads.observation == "sampled"
    settings = {"st_bounds": (0.3, 3.0), "co_bounds": (1.0, 30.0), "seed": 2}
    auto = vk.compare(short_reads, ["shared-st", "independent"], n_sim=3, **settings)
    sampled = vk.compare(short_reads, ["shared-st", "independent"], n_sim=3, observation="sampled", **settings)
    pd.testing.assert_frame_equal(auto.tests, sampled.tests)
    pd.testing.assert_frame_equal(auto.simulations, sampled.simulations)
    # Simulation 0 by hand: drawn from the smaller fit as observed, both modes refitted as reads.
    small = auto.fits["shared-st"]
    drawn_data = comparison.simulations.draw(short_reads, small.model_fractions(), np.random.default_rng([2, 0, 0]))
    np.testing.assert_array_equal(drawn_data.depth_counts, short_reads.depth_counts)
    fits = [vk.fit(drawn_data, mode, observation="sampled", **settings) for mode in ("independent", "shared-st")]
    assert all(f.observation == "sampled" for f in fits)
    assert auto.simulations["lr_stat"].iloc[0] == pytest.approx(2 * (fits[0].llf - fits[1].llf), rel=1e-12)
    binned = [vk.fit(drawn_data, mode, observation="binned", **settings) for mode in ("independent", "shared-st")]
    assert auto.simulations["lr_stat"].iloc[0] != pytest.approx(2 * (binned[0].llf - binned[1].llf), rel=1e-6)


def test_resampled_counts_keep_the_bins_and_depths(short_reads):
    other = short_reads.with_counts(short_reads.counts[:, ::-1])
    assert other.observation == "sampled" and other.depth_counts is short_reads.depth_counts
    np.testing.assert_allclose(other.fractions.sum(axis=1), 1.0)
    with pytest.raises(InputError, match="shape"):
        short_reads.with_counts(short_reads.counts[:, :2])
    with pytest.raises(InputError, match="at least one molecule"):
        short_reads.with_counts(np.zeros_like(short_reads.counts))


# ---------------------------------------------------------------- quiet by default


def test_front_door_fits_keep_the_engine_log_instead_of_printing_it(capfd):
    data = drawn(molecules=500, seed=1)
    quiet = vk.fit(data, "shared-co", **FAST)
    out, err = capfd.readouterr()
    assert err == "" and out == ""
    assert "--- best start:" in quiet.log and "total NLL=" in quiet.log
    loud = vk.fit(data, "shared-co", verbose=True, **FAST)
    assert "--- best start:" in capfd.readouterr().err
    assert loud.log == quiet.log
    assert vk.fit(data, "shared-st", **FAST).log == ""
    with pytest.raises(InputError, match="verbose"):
        vk.fit(data, "shared-st", verbose="yes")


# ---------------------------------------------------------------- the shape of the package


def _imports():
    root = pathlib.Path(vk.__file__).parent
    modules = {}
    for path in root.rglob("*.py"):
        parts = list(path.relative_to(root.parent).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts = parts[:-1]
        modules[".".join(parts)] = path
    graph = {}
    for name, path in modules.items():
        package = name if path.name == "__init__.py" else name.rsplit(".", 1)[0]
        found = set()
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and node.level:
                base = package.split(".")[: len(package.split(".")) - node.level + 1]
                target = ".".join(base + ([node.module] if node.module else []))
                subs = [f"{target}.{a.name}" for a in node.names if f"{target}.{a.name}" in modules]
                found |= set(subs or [target])
            elif isinstance(node, ast.ImportFrom) and node.module:
                found.add(node.module)
        graph[name] = {m for m in found if m in modules and m != name and modules[m].name != "__init__.py"}
    return modules, graph


def test_no_import_circle_and_no_module_of_many_topics():
    modules, graph = _imports()

    def reaches(a, b, seen=()):
        return any(d == b or (d not in seen and reaches(d, b, (*seen, d))) for d in graph.get(a, ()))

    circles = sorted({" <-> ".join(sorted((a, b))) for a in graph for b in graph[a] if reaches(b, a)})
    assert circles == []
    long = [name for name, path in modules.items() if len(path.read_text().splitlines()) > 600]
    assert long == []


# ---------------------------------------------------------------- nested fits never below their special cases


def _worse(result, by=0.05):
    """The same fit as if its search had stopped short: every bin's nll higher."""
    import dataclasses

    table = result.table.copy()
    table["nll"] = table["nll"] + by
    return dataclasses.replace(result, table=table)


def test_a_larger_mode_that_ended_below_its_special_case_is_searched_again_from_it():
    from velkora.fitting.refits import refit_from

    data = drawn(molecules=1500, seed=8)
    small = vk.fit(data, "shared-exp", **FAST)
    big = vk.fit(data, "independent-exp", **FAST)
    stopped_short = _worse(big, by=1.0)
    assert stopped_short.llf < small.llf
    repaired = refit_from(stopped_short, small)
    assert repaired.llf >= small.llf - 1e-6 * abs(small.llf)
    assert repaired.notes and "shared-exp optimum" in repaired.notes[-1]
    assert refit_from(big, small) is big or big.llf < small.llf  # a fit above its special case stays as it is


def test_compare_repairs_the_fit_and_never_prints_a_negative_statistic(monkeypatch):
    import velkora.comparison.choice as choice

    real = choice.fit

    def fit(data, mode, **settings):
        result = real(data, mode, **settings)
        return _worse(result, by=1.0) if mode == "independent" else result

    monkeypatch.setattr(choice, "fit", fit)
    data = drawn(molecules=1500, seed=8)
    compared = vk.compare(data, ["shared-st", "independent"], **WIDE)
    row = compared.tests.iloc[0]
    assert row["reason"] == "" and row["lr_stat"] >= 0
    assert any("shared-st optimum" in note for note in compared.fits["independent"].notes)


def test_the_verdict_says_when_the_criteria_disagree_and_what_that_means():
    from types import SimpleNamespace

    from velkora.comparison.choice import verdict

    n = 10_000
    table = pd.DataFrame({"n_params": [5, 7], "loglik": [-100.0, -97.5]}, index=pd.Index(["small", "large"],
                                                                                        name="mode"))
    table["aic"] = 2 * table["n_params"] - 2 * table["loglik"]
    table["bic"] = table["n_params"] * math.log(n) - 2 * table["loglik"]
    table["delta_aic"], table["delta_bic"] = table["aic"] - table["aic"].min(), table["bic"] - table["bic"].min()
    table["akaike_weight"] = [0.4, 0.6]
    tests = pd.DataFrame([{"smaller": "small", "larger": "large", "df": 2, "lr_stat": 5.0, "p_value": 0.082,
                           "reason": ""}])
    goodness = pd.DataFrame({"misfit": [False, False, False, True]},
                            index=pd.MultiIndex.from_product([["small", "large"], ["b1", "b2"]],
                                                             names=["mode", "density_bin"]))
    comparison = SimpleNamespace(table=table, tests=tests, goodness_of_fit=goodness, best="large",
                                 best_bic="small", fits={"small": SimpleNamespace(nobs=n)})
    text = verdict(comparison)
    assert "AIC prefers large and BIC prefers small" in text and "raises the log-likelihood by 2.5 with 2 more" in text
    assert "ln(n) / 2 = 4.61" in text and "p = 0.082" in text and "leaves 1 of 2 density bins unexplained" in text
    comparison.best_bic = "large"
    assert verdict(comparison).startswith("AIC and BIC agree: large describes these data best")
