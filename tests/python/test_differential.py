"""Several samples: designs and their checks, counting with a sample axis, fits by group, the tests of which
rate differs (ties against fits by hand, relabelings, Holm, calibration on small designs), and the command."""

import math

import numpy as np
import pytest

pd = pytest.importorskip("pandas")

import velkora as vk  # noqa: E402
from velkora import InputError, cli  # noqa: E402
from velkora.comparison.differential import holm, relabelings  # noqa: E402

EDGES = (0.0, 0.05, 0.1)
SETTINGS = {"st_bounds": (0.1, 5.0), "co_bounds": (0.5, 50.0)}


def write_design(folder, groups, *, truth=None, molecules=600, depth=(2, 12), seed=0, extra=None):
    """One molecule table per sample, drawn from `truth[group]` ((St, CoW, CoE) per density bin), and a
    design table listing them with relative paths."""
    rng = np.random.default_rng(seed)
    truth = truth or {}
    rows = []
    for k, group in enumerate(groups):
        params = truth.get(group, [(1.0, 5.0, 8.0), (1.0, 8.0, 5.0)])
        n = molecules * len(params)
        table = vk.synthetic_molecules(params, molecules, EDGES, depth=rng.integers(*depth, size=n),
                                       seed=int(rng.integers(1 << 30)))
        name = f"sample{k}"
        table.to_csv(folder / f"{name}.csv", index=False)
        rows.append({"sample": name, "group": group, "path": f"{name}.csv", "batch": k % 2, **(extra or {})})
    design = folder / "design.tsv"
    pd.DataFrame(rows).to_csv(design, sep="\t", index=False)
    return design


# ---------------------------------------------------------------- designs


def test_a_design_is_counted_with_one_set_of_edges(tmp_path):
    design = vk.read_design(write_design(tmp_path, ["wt", "wt", "ko", "ko"]))
    assert design.groups == ["wt", "ko"] and design.samples == ["sample0", "sample1", "sample2", "sample3"]
    tables = [pd.read_csv(tmp_path / f"sample{k}.csv") for k in range(4)]
    for density_edges in (3, list(EDGES)):
        data = vk.count(design, density_edges, 8)
        pooled = vk.bin_molecules(pd.concat(tables, ignore_index=True), density_edges, 8)
        np.testing.assert_array_equal(data.counts, pooled.counts)
        np.testing.assert_array_equal(data.density_edges, pooled.density_edges)  # quantiles of all samples pooled
        np.testing.assert_array_equal(data.depth_counts, pooled.depth_counts)
        ko = data.select(group="ko")
        alone = vk.bin_molecules(pd.concat(tables[2:], ignore_index=True), data.density_edges, 8)
        np.testing.assert_array_equal(ko.counts, alone.counts)
        np.testing.assert_array_equal(ko.depth_counts, alone.depth_counts)
    samples = data.samples
    assert list(samples.index) == design.samples and list(samples["group"]) == ["wt", "wt", "ko", "ko"]
    assert (samples["molecules"] == 1200).all() and "batch" in samples and "median_depth" in samples
    assert samples["mean_level"].iloc[0] == pytest.approx(tables[0]["meth_level"].mean())
    fits = vk.fit(data, "shared-st", by="group", **SETTINGS)
    assert list(fits) == ["wt", "ko"]
    pd.testing.assert_frame_equal(fits["ko"].table, vk.fit(ko, "shared-st", **SETTINGS).table)
    with pytest.raises(InputError, match="no group 'het'"):
        data.select(group="het")
    with pytest.raises(InputError, match="needs the data of a design"):
        vk.fit(alone, "shared-st", by="group")


@pytest.mark.parametrize("edit, message", [
    (lambda t: t.drop(columns="group"), "no column 'group'"),
    (lambda t: t.assign(sample=["a", "a", "b", "c"]), "line 3: sample 'a' is named twice"),
    (lambda t: t.assign(path=["sample0.csv", "gone.csv", "sample2.csv", "sample3.csv"]), "line 3: sample 'sample1'"),
    (lambda t: t.assign(group="wt"), "every sample is in group 'wt'"),
    (lambda t: t.assign(group=["wt", "", "ko", "ko"]), "line 3: column 'group' is empty"),
])
def test_bad_designs_are_refused_in_one_line_before_any_file_is_read(tmp_path, edit, message):
    path = write_design(tmp_path, ["wt", "wt", "ko", "ko"])
    edit(pd.read_csv(path, sep="\t")).to_csv(path, sep="\t", index=False)
    with pytest.raises(InputError, match=message):
        vk.read_design(path)


def test_samples_of_different_kinds_are_refused(tmp_path):
    pytest.importorskip("pysam")
    from velkora.reads.synthetic import write_synthetic_bam

    path = write_design(tmp_path, ["wt", "wt", "ko", "ko"])
    write_synthetic_bam(vk.synthetic_molecules(molecules_per_density=20, seed=1), tmp_path / "reads.bam")
    table = pd.read_csv(path, sep="\t")
    table.loc[3, "path"] = "reads.bam"
    table.to_csv(path, sep="\t", index=False)
    with pytest.raises(InputError, match="different kinds: modified bases .'sample3'., molecules .'sample0'."):
        vk.read_design(path)


# ---------------------------------------------------------------- the tests' pieces


@pytest.mark.parametrize("groups, expected", [
    (["a"] * 3 + ["b"] * 3, 10), (["a", "a", "b", "b", "c", "c"], 15), (["a", "a", "b", "b", "b", "b"], 15),
    (["a"] * 4 + ["b"] * 4, 35), (["a", "b"], 1),
])
def test_every_distinct_relabeling_once_the_observed_first(groups, expected):
    found, complete = relabelings(groups, 0, None)
    assert complete and len(found) == expected and found[0] == tuple(groups)
    partitions = {frozenset(frozenset(i for i, x in enumerate(labels) if x == g) for g in set(groups))
                  for labels in found}
    assert len(partitions) == expected
    assert all(sorted(labels) == sorted(groups) for labels in found)


def test_too_many_relabelings_are_drawn_with_the_seed():
    groups = ["a"] * 10 + ["b"] * 10
    found, complete = relabelings(groups, 3, 50)
    assert not complete and len(found) == 51 and found[0] == tuple(groups)
    assert relabelings(groups, 3, 50)[0] == found and relabelings(groups, 4, 50)[0] != found


def test_holm_by_hand():
    p = np.array([0.01, 0.04, math.nan, 0.03, 0.5])
    # Sorted 0.01, 0.03, 0.04, 0.5 times 4, 3, 2, 1, made monotone.
    np.testing.assert_allclose(holm(p), [0.04, 0.09, math.nan, 0.09, 0.5])


# ---------------------------------------------------------------- the tests against fits by hand


@pytest.fixture(scope="module")
def two_groups(tmp_path_factory):
    folder = tmp_path_factory.mktemp("design")
    truth = {"wt": [(1.0, 5.0, 8.0), (1.0, 8.0, 5.0)], "ko": [(2.0, 5.0, 8.0), (2.0, 8.0, 5.0)]}
    return vk.count(vk.read_design(write_design(folder, ["wt", "wt", "ko", "ko"], truth=truth, molecules=800)),
                    list(EDGES), 8)


def test_ties_that_modes_can_express_are_those_fits(two_groups):
    result = vk.differential(two_groups, "shared-st", parameters=["St"], intervals=False, **SETTINGS)
    groups = [two_groups.select(group=g) for g in ("wt", "ko")]
    llf1 = sum(vk.fit(g, "shared-st", **SETTINGS).llf for g in groups)
    # St tied across the groups, CoW and CoE per group and bin: a shared-St fit of the four rows.
    stacked = vk.BinnedData(np.concatenate([g.fractions for g in groups]), np.concatenate([g.counts for g in groups]),
                            np.arange(5.0), groups[0].meth_edges, 0, np.concatenate([g.depth_counts for g in groups]))
    llf0 = vk.fit(stacked, "shared-st", **SETTINGS).llf
    row = result.tests.set_index("parameter").loc["St"]
    assert row["statistic"] == pytest.approx(2 * (llf1 - llf0), rel=1e-9, abs=1e-6)
    assert row["df"] == 1 and row["p_value"] == pytest.approx(vk.comparison.chi2_sf(row["statistic"], 1))
    assert row["n_relabelings"] == 3  # 2 + 2 samples: 3 ways to split them in two


def test_the_test_of_everything_on_whole_molecules_is_the_pooled_fit(tmp_path):
    design = vk.read_design(write_design(tmp_path, ["wt", "wt", "ko", "ko"], depth=(70, 71), molecules=500))
    data = vk.count(design, list(EDGES), 8)
    result = vk.differential(data, "independent", parameters=["St"], n_perm=1, intervals=False, **SETTINGS)
    llf1 = sum(vk.fit(data.select(group=g), "independent", **SETTINGS).llf for g in ("wt", "ko"))
    pooled = vk.fit(data, "independent", **SETTINGS).llf  # every parameter shared by the groups
    statistic = result.tests.set_index("parameter").loc["all", "statistic"]
    # The tied engine's simplex and the independent fit's evolution agree to their tolerance.
    assert statistic == pytest.approx(2 * (llf1 - pooled), abs=2e-2)


def test_estimates_at_a_bound_are_not_identified_and_the_tests_say_so(two_groups):
    result = vk.differential(two_groups, "shared-st", parameters=["CoW"], intervals=False, st_bounds=(0.1, 5.0),
                             co_bounds=(0.5, 6.0))
    flagged = result.estimates[~result.estimates["identified"]]
    assert len(flagged) and set(flagged["parameter"]) <= {"CoW", "CoE"}
    tests = result.tests.set_index("parameter")
    assert "not identified by these data" in tests.loc["all", "note"] and not tests.loc["all", "identified"]


def test_profile_intervals_bracket_the_group_estimates(two_groups):
    result = vk.differential(two_groups, "shared-st", parameters=["St"], **SETTINGS)
    st = result.estimates[result.estimates["parameter"] == "St"]
    lo, estimate, hi = (st[c].to_numpy() for c in ("lo", "estimate", "hi"))
    assert np.all(np.isnan(lo) | (lo < estimate)) and np.all(np.isnan(hi) | (estimate < hi))
    assert np.isfinite(lo).any()
    # An end the profile never reaches within the search range leaves the rate not identified.
    np.testing.assert_array_equal(st["identified"], np.isfinite(lo) & np.isfinite(hi))


def test_null_designs_give_p_values_that_are_not_small(tmp_path):
    """Under the null (every sample from one truth, molecules independent) the chi-square p of the
    St test is about uniform: on eight small seeded designs, at most two below 0.1."""
    small = []
    for trial in range(8):
        folder = tmp_path / f"design{trial}"
        folder.mkdir()
        design = vk.read_design(write_design(folder, ["wt", "wt", "ko", "ko"], molecules=300, seed=trial))
        result = vk.differential(vk.count(design, [0.0, 0.1], 6), "independent", parameters=["St"], n_perm=1,
                                 intervals=False, **SETTINGS)
        small.append(result.tests.set_index("parameter").loc["St", "p_value"] < 0.1)
    assert sum(small) <= 2


def test_one_sample_in_a_group_gives_the_chi_square_p_only(tmp_path):
    data = vk.count(vk.read_design(write_design(tmp_path, ["wt", "wt", "ko"], molecules=300)), [0.0, 0.1], 6)
    with pytest.warns(UserWarning, match="group 'ko' has one sample: no permutation p"):
        result = vk.differential(data, "independent", parameters=["St"], intervals=False, **SETTINGS)
    assert result.tests["p_permutation"].isna().all() and result.tests["p_value"].notna().all()
    with pytest.raises(InputError, match="needs the counts of a design"):
        vk.differential(vk.bin_molecules(pd.read_csv(tmp_path / "sample0.csv"), [0.0, 0.1], 6), "independent")
    with pytest.raises(InputError, match="independent does not fit 'n_U'"):
        vk.differential(data, "independent", parameters=["n_U"])
    with pytest.raises(InputError, match="between='batchx'"):
        vk.differential(data, "independent", between="batchx")


# ---------------------------------------------------------------- the command


def test_the_command_writes_every_table_and_refuses_bad_designs(tmp_path, capsys):
    design = write_design(tmp_path, ["wt", "wt", "ko", "ko"], molecules=300)
    out = tmp_path / "out"
    status = cli.main(["differential", "--design", str(design), "--mode", "independent", "--density-edges", "0",
                       "0.1", "--meth-bins", "6", "--parameters", "St", "--no-intervals", "--st-bounds", "0.1", "5",
                       "--co-bounds", "0.5", "50", "--out", str(out), "--quiet"])
    assert status == 0, capsys.readouterr().err
    names = {p.name for p in out.iterdir()}
    assert {"differential.csv", "differential_estimates.csv", "group_fits.csv", "samples.csv",
            "differential_settings.json", "differential.png", "differential_tests.png"} <= names
    tests = pd.read_csv(out / "differential.csv")
    assert tests["parameter"].tolist() == ["St", "all"] and "p_holm" in tests and "p_permutation" in tests
    assert pd.read_csv(out / "samples.csv")["group"].tolist() == ["wt", "wt", "ko", "ko"]
    table = pd.read_csv(design, sep="\t")
    table.loc[1, "sample"] = "sample0"
    table.to_csv(design, sep="\t", index=False)
    assert cli.main(["differential", "--design", str(design), "--out", str(tmp_path / "bad")]) == 2
    err = capsys.readouterr().err
    assert len(err.strip().splitlines()) == 1 and "named twice" in err and not (tmp_path / "bad").exists()
