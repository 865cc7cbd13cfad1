"""Counting whole inputs: the same binned data as binning the molecule table, whatever the pieces, threads or
edges; equal-count edges as exact quantiles; strata from BED files; count files; the count command."""

import json

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("pyarrow")

import velkora as vk  # noqa: E402
from velkora import InputError, cli  # noqa: E402
from velkora.counts import edges as edge_module  # noqa: E402
from velkora.counts import histogram as histogram_module  # noqa: E402
from velkora.counts.counting import count_by_age  # noqa: E402
from velkora.counts.strata import read_strata  # noqa: E402

EXPLICIT = [0.0, 0.025, 0.05, 0.09]  # some molecules above the last edge


def same_binned(a, b):
    """Counts, fractions, depths, edges and labels, bit for bit."""
    assert np.array_equal(a.counts, b.counts)
    assert np.array_equal(a.fractions.view(np.int64), b.fractions.view(np.int64))
    assert (a.depth_counts is None) == (b.depth_counts is None)
    if a.depth_counts is not None:
        assert np.array_equal(a.depth_counts, b.depth_counts)
    assert np.array_equal(a.density_edges.view(np.int64), b.density_edges.view(np.int64))
    assert np.array_equal(a.meth_edges, b.meth_edges) and a.labels == b.labels and a.n_outside == b.n_outside


@pytest.fixture(scope="module")
def table():
    rng = np.random.default_rng(3)
    depths = rng.integers(1, 90, size=5 * 700)  # beyond 70 too: counted at the model's 70
    return vk.synthetic_molecules(molecules_per_density=700, depth=np.minimum(depths, 70), seed=3)


# ---------------------------------------------------------------- the same as binning the table


def test_exact_quantiles_from_distinct_values_are_numpys():
    rng = np.random.default_rng(0)
    for trial in range(400):
        x = rng.integers(1, 70, size=rng.integers(1, 300)) / rng.integers(50, 600, size=1)
        if trial % 2:
            x = rng.choice(rng.random(rng.integers(1, 9)), size=rng.integers(1, 200))  # many ties
        q = np.linspace(0, 1, rng.integers(2, 12))
        values, counts = edge_module.distinct(x)
        np.testing.assert_array_equal(edge_module.quantiles(values, counts, q).view(np.int64),
                                      np.quantile(x, q).view(np.int64))


@pytest.mark.parametrize("density_edges", [4, EXPLICIT], ids=["equal-count", "explicit"])
@pytest.mark.parametrize("form", ["frame", "csv", "tsv", "parquet"])
@pytest.mark.filterwarnings("ignore:.*lie outside the density edges")  # the explicit edges leave some out, both ways
def test_tables_count_as_they_bin(table, tmp_path, monkeypatch, density_edges, form):
    if form == "frame":
        source = table
    elif form == "parquet":
        source = tmp_path / "molecules.parquet"
        table.to_parquet(source, row_group_size=600)  # several row groups, counted as separate pieces
    else:
        source = tmp_path / f"molecules.{form}"
        table.to_csv(source, sep="\t" if form == "tsv" else ",", index=False)
    monkeypatch.setattr("velkora.counts.counting.TABLE_CHUNK", 1000)  # chunks of a CSV too
    same_binned(vk.bin_molecules(source, density_edges, 12), vk.count(source, density_edges, 12))


def test_pieces_merged_at_any_size_give_the_same_histogram(table, monkeypatch):
    whole = vk.count(table, 5, 10)
    monkeypatch.setattr(histogram_module, "_MERGE_ROWS", 3)
    parts = histogram_module.Accumulator()
    for start in range(0, len(table), 137):
        piece = table.iloc[start:start + 137]
        parts.add(histogram_module.Histogram.of(np.zeros(len(piece)), piece["cpg_density"], piece["meth_level"],
                                                np.minimum(piece["n_called"], 70)))
    merged = parts.result()
    reference = histogram_module.Histogram.of(np.zeros(len(table)), table["cpg_density"], table["meth_level"],
                                              np.minimum(table["n_called"], 70))
    for name in ("cell", "density", "level", "depth", "count"):
        np.testing.assert_array_equal(getattr(merged, name), getattr(reference, name))
    assert whole.histogram.molecules == len(table)


def test_parquet_row_groups_in_worker_processes(table, tmp_path):
    path = tmp_path / "molecules.parquet"
    table.to_parquet(path, row_group_size=400)
    import velkora.counts.counting as counting

    original = counting.TABLE_CHUNK
    try:
        counting.TABLE_CHUNK = 500
        same_binned(vk.count(path, 5, 10), vk.count(path, 5, 10, threads=2))
    finally:
        counting.TABLE_CHUNK = original


def test_other_methylation_edges_without_counting_again(table):
    counted = vk.count(table, 4, 20)
    same_binned(vk.bin_molecules(table, 4, [0.0, 0.3, 0.7, 1.0]), counted.with_meth_edges([0.0, 0.3, 0.7, 1.0]))
    with pytest.raises(InputError, match="keep no levels"):
        vk.bin_molecules(table, 4, 20).with_meth_edges(5)


def test_ages_count_as_they_bin(tmp_path):
    aged = vk.synthetic_drift_molecules(0.02, 0.01, [0.0, 5.0, 12.0], molecules_per_density=300, seed=2)
    for density_edges in (3, [0.0, 0.04, 0.1]):
        expected = vk.bin_molecules_by_age(aged, density_edges, 8)
        counted = count_by_age(aged, density_edges, 8)
        np.testing.assert_array_equal(expected.ages, counted.ages)
        for a, b in zip(expected.by_age, counted.by_age):
            same_binned(a, b)
    # One input per age: the same as one table with the ages in a column.
    paths = []
    for value in (0.0, 5.0, 12.0):
        path = tmp_path / f"age{value:g}.csv"
        aged[aged["age"] == value].drop(columns="age").to_csv(path, index=False)
        paths.append(path)
    per_input = count_by_age(paths[::-1], 3, 8, ages=[12.0, 5.0, 0.0])  # in any order, sorted by age
    for a, b in zip(vk.bin_molecules_by_age(aged, 3, 8).by_age, per_input.by_age):
        same_binned(a, b)


@pytest.mark.parametrize("mistake, message", [
    ({"density_edges": 0}, "at least 1"),
    ({"meth_edges": [0.5, 0.2]}, "strictly increasing"),
    ({"threads": 0}, "threads"),
    ({"edges_over": "bin"}, "edges_over"),
    ({"window_cpgs": 70}, "applies to reads"),
])
def test_bad_arguments_are_refused_before_any_work(table, mistake, message):
    arguments = {"density_edges": 3, "meth_edges": 10, **mistake}
    with pytest.raises(InputError, match=message):
        vk.count(table, arguments.pop("density_edges"), arguments.pop("meth_edges"), **arguments)


def test_empty_inputs_and_too_few_distinct_densities(tmp_path, table):
    table.iloc[:0].to_csv(tmp_path / "empty.csv", index=False)
    with pytest.raises(InputError, match="empty.csv: the molecule table holds no molecules"):
        vk.count(tmp_path / "empty.csv", 3)
    few = table.assign(cpg_density=np.where(np.arange(len(table)) % 2, 0.01, 0.02))
    with pytest.raises(InputError, match="2 distinct values, too few for 3 equal-count bins"):
        vk.count(few, 3)


# ---------------------------------------------------------------- reads


@pytest.fixture(scope="module")
def bam(tmp_path_factory):
    pytest.importorskip("pysam")
    from velkora.reads.synthetic import write_synthetic_bam

    molecules = vk.synthetic_molecules(molecules_per_density=160, density_edges=(0.01, 0.03, 0.05, 0.07, 0.09, 0.11),
                                       seed=4)
    return write_synthetic_bam(molecules, tmp_path_factory.mktemp("bam") / "reads.bam", seed=4)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("density_edges", [3, [0.0, 0.04, 0.12]], ids=["equal-count", "explicit"])
def test_reads_count_as_their_molecule_table_bins(bam, threads, density_edges):
    expected = vk.bin_molecules(vk.read_bam(bam, window_cpgs=35), density_edges, 10)
    counted = vk.count(bam, density_edges, 10, threads=threads, window_cpgs=35)
    same_binned(expected, counted)
    assert counted.provenance["reads"]["molecules"] == int(expected.n_molecules.sum()) + expected.n_outside
    # Regions cut otherwise: the same counts.
    regions = ["chrS:1-600000", "chrS:600001-3500000"]
    same_binned(expected, vk.count(bam, density_edges, 10, regions=regions, window_cpgs=35))


# ---------------------------------------------------------------- strata


def write_bed(path, lines):
    path.write_text("".join(lines))
    return path


def test_strata_by_midpoint_first_listed_region_and_outside(tmp_path):
    first = write_bed(tmp_path / "a.bed", ["track name=x\n", "chr1\t100\t200\tpromoter\n", "chr1\t150\t300\tbody\n"])
    second = write_bed(tmp_path / "b.bed", ["chr1\t250\t400\tpromoter\n", "# a comment\n", "chr2\t0\t50\tbody\n"])
    index = read_strata([first, second])
    assert index.names == ("promoter", "body", "outside")
    # Midpoints (start + end - 1) // 2: 149, 150 and 199 (both first regions: the first listed wins), 249 (body
    # alone), 250 (body and the second file's promoter: body, listed before), 399, 400 (no region), chr2 10.
    start = np.array([100, 100, 150, 200, 200, 300, 400, 0, 0])
    end = np.array([199, 201, 249, 299, 301, 499, 401, 21, 21])
    chrom = np.array(["chr1"] * 7 + ["chr2", "chr3"], dtype=object)
    names = [index.names[k] for k in index.assign(chrom, start, end)]
    assert names == ["promoter", "promoter", "promoter", "body", "body", "promoter", "outside", "body", "outside"]


@pytest.mark.parametrize("line, message", [
    ("chr1\t100\t200\n", "line 1: expected chrom, start, end and a name"),
    ("chr1\tx\t200\tp\n", "line 1: start and end must be integers"),
    ("chr1\t200\t100\tp\n", "line 1: expected 0 <= start < end"),
    ("chr1\t-5\t100\tp\n", "line 1: expected 0 <= start < end"),
    ("chr1\t0\t100\toutside\n", "the name 'outside' is kept"),
])
def test_bad_bed_lines_are_named(tmp_path, line, message):
    with pytest.raises(InputError, match=message):
        read_strata(write_bed(tmp_path / "bad.bed", [line]))


def test_strata_of_reads_and_of_tables(bam, tmp_path):
    molecules = vk.read_bam(bam)
    middle = (molecules["start"] + molecules["end"] - 1) // 2
    a, b = (int(v) for v in np.quantile(middle, [0.3, 0.7]))
    # Two overlapping regions: the overlap is the first listed's.
    bed = write_bed(tmp_path / "halves.bed", [f"chrS\t0\t{a}\tleft\n", f"chrS\t{a // 2}\t{b}\tright\n"])
    strata = vk.count(bam, 2, 8, strata=[bed], edges_over="stratum")
    assert list(strata) == ["left", "right", "outside"]
    for name, chosen in (("left", middle < a), ("right", (middle >= a) & (middle < b)), ("outside", middle >= b)):
        same_binned(vk.bin_molecules(molecules[chosen], 2, 8), strata[name])
    # Over all strata: one density scale for every stratum.
    shared = vk.count(molecules, 1, 8, strata=[bed])
    assert len({tuple(data.density_edges) for data in shared.values()}) == 1
    with pytest.raises(InputError, match="contig 'chrX' is not in the header"):
        vk.count(bam, 2, 8, strata=[write_bed(tmp_path / "x.bed", ["chrX\t0\t10\tp\n"])])
    with pytest.raises(InputError, match="no column 'chrom'"):
        vk.count(molecules.drop(columns="chrom"), 2, 8, strata=[bed])


def test_continuous_levels_past_the_budget_are_binned_by_the_methylation_edges(tmp_path, monkeypatch):
    """A table of levels without counts has a distinct key per molecule: past the budget its levels are binned
    by the methylation edges asked for, which gives the same binned data; afterwards only edges among those
    can be applied (to the data, a count file of them), and tables pooled with it are binned alike."""
    import pandas as pd

    import velkora.counts.counting as counting

    monkeypatch.setattr(counting, "ROW_BUDGET", 400)
    rng = np.random.default_rng(8)

    def continuous(n):
        level = rng.random(n)
        level[:5] = [0.0, 1.0, 0.5, 0.25, 0.95]  # on edges, and the closed end
        return pd.DataFrame({"cpg_density": rng.choice([0.01, 0.02, 0.05, 0.08], size=n), "meth_level": level})

    big, small = continuous(3000), continuous(300)
    for density_edges in ([0.0, 0.03, 0.1], 2):
        counted = vk.count(big, density_edges, 20)
        same_binned(vk.bin_molecules(big, density_edges, 20), counted)
        assert counted.levels_by is not None
    same_binned(vk.bin_molecules(big, 2, 10), counted.with_meth_edges(10))
    with pytest.raises(InputError, match="binned by 20 methylation bins when counted"):
        counted.with_meth_edges(7)
    assert vk.count(small, 2, 20).levels_by is None  # within the budget: exact
    big.to_parquet(tmp_path / "big.parquet")
    out = tmp_path / "counts.parquet"
    assert cli.main(["count", str(tmp_path / "big.parquet"), "--out", str(out), "--density-edges", "0", "0.03", "0.1",
                     "--quiet"]) == 0
    same_binned(vk.bin_molecules(big, [0.0, 0.03, 0.1], 5), vk.read_counts(out, 5))
    with pytest.raises(InputError, match="counts.parquet: the levels were binned"):
        vk.read_counts(out, 3)
    # A design of both: the exact one binned as the other, so that they pool.
    small.to_csv(tmp_path / "small.csv", index=False)
    (tmp_path / "design.tsv").write_text("sample\tgroup\tpath\nb\twt\tbig.parquet\ns\tko\tsmall.csv\n")
    pooled = vk.count(vk.read_design(tmp_path / "design.tsv"), [0.0, 0.03, 0.1], 20)
    same_binned(vk.bin_molecules(pd.concat([big, small]), [0.0, 0.03, 0.1], 20), pooled)
    assert pooled.samples["mean_level"].between(0.45, 0.55).all()


# ---------------------------------------------------------------- count files


def test_count_files_keep_levels_and_provenance_and_refuse_what_they_cannot_honour(bam, tmp_path, capsys):
    out = tmp_path / "counts.parquet"
    assert cli.main(["count", str(bam), "--out", str(out), "--density-bins", "3", "--meth-bins", "10",
                     "--window-cpgs", "35", "--quiet"]) == 0
    counted = vk.read_counts(out)
    same_binned(vk.bin_molecules(vk.read_bam(bam, window_cpgs=35), 3, 10), counted)
    same_binned(vk.bin_molecules(vk.read_bam(bam, window_cpgs=35), 3, 6), vk.read_counts(out, 6))
    provenance = counted.provenance
    assert provenance["input"]["sha256"] and provenance["options"]["window_cpgs"] == 35
    assert provenance["reads"]["records"] > 0 and provenance["velkora_version"] == vk.__version__
    # Fitting the count file is fitting the reads.
    for source, folder in ((bam, "from_reads"), (out, "from_counts")):
        extra = ["--window-cpgs", "35", "--density-bins", "3"] if source == bam else []
        assert cli.main(["fit", str(source), *extra, "--meth-bins", "10", "--no-figures", "--quiet", "--out",
                         str(tmp_path / folder)]) == 0
    assert (tmp_path / "from_reads" / "fits.csv").read_bytes() == (tmp_path / "from_counts" / "fits.csv").read_bytes()
    capsys.readouterr()
    for extra, message in ((["--window-cpgs", "70"], "--window-cpgs applies to"),
                           (["--density-bins", "4"], "density edges were fixed when it was counted"),
                           (["--stratum", "promoter"], "no stratum 'promoter'")):
        assert cli.main(["fit", str(out), *extra, "--no-figures", "--out", str(tmp_path / "no")]) == 2
        assert message in capsys.readouterr().err
    assert not (tmp_path / "no").exists()
    # Another version's file.
    import pyarrow.parquet as pq

    table = pq.read_table(out)
    meta = json.loads(table.schema.metadata[b"velkora_counts"])
    meta["velkora_version"] = "0.0.1"
    old = table.replace_schema_metadata({b"velkora_counts": json.dumps(meta).encode()})
    pq.write_table(old, tmp_path / "old.parquet")
    with pytest.raises(InputError, match="counted by velkora 0.0.1"):
        vk.read_counts(tmp_path / "old.parquet")


def test_stratified_count_files_by_stratum(bam, tmp_path, capsys):
    molecules = vk.read_bam(bam)
    middle = int(np.median((molecules["start"] + molecules["end"] - 1) // 2))
    bed = write_bed(tmp_path / "halves.bed", [f"chrS\t0\t{middle}\tleft\n", f"chrS\t{middle}\t9000000\tright\n"])
    out = tmp_path / "strata.parquet"
    assert cli.main(["count", str(bam), "--out", str(out), "--density-bins", "2", "--strata", str(bed),
                     "--edges-over", "stratum", "--quiet"]) == 0
    strata = vk.read_counts(out)
    direct = vk.count(bam, 2, 20, strata=[bed], edges_over="stratum")
    assert list(strata) == list(direct)
    for name in strata:
        same_binned(direct[name], strata[name])
    same_binned(direct["right"], vk.read_counts(out, stratum="right"))
    assert cli.main(["fit", str(out), "--strata", str(bed), "--no-figures", "--out", str(tmp_path / "x")]) == 2
    assert "--strata applies to reads and molecule tables" in capsys.readouterr().err


def test_strata_are_fitted_compared_and_bootstrapped_each_labelled(bam, tmp_path, capsys):
    molecules = vk.read_bam(bam)
    middle = int(np.median((molecules["start"] + molecules["end"] - 1) // 2))
    bed = write_bed(tmp_path / "halves.bed", [f"chrS\t0\t{middle}\tleft half\n", f"chrS\t{middle}\t9000000\tright\n"])
    strata = vk.count(bam, 2, 8, strata=[bed], edges_over="stratum")
    fits = vk.fit(strata, "shared-st", seed=1)
    assert list(fits) == ["left half", "right"] and fits.by == "stratum"
    for name, data in strata.items():
        alone = vk.fit(data, "shared-st", seed=1)
        pd.testing.assert_frame_equal(fits[name].table, alone.table)
    assert fits.llf == pytest.approx(sum(f.llf for f in fits.fits.values()))
    assert list(fits.table.index.names) == ["stratum", "density_bin"]
    boot = vk.bootstrap(fits, 2, seed=3)
    assert list(boot.samples["stratum"].unique()) == ["left half", "right"] and len(boot.samples) == 2 * 2 * 2
    pd.testing.assert_frame_equal(boot.intervals.loc["right"], vk.bootstrap(fits["right"], 2, seed=3).intervals)

    out = tmp_path / "fitted"
    assert cli.main(["fit", str(bam), "--strata", str(bed), "--edges-over", "stratum", "--density-bins", "2",
                     "--meth-bins", "8", "--mode", "shared-st", "--n-boot", "2", "--profile-st", "3", "--quiet",
                     "--out", str(out)]) == 0
    table = pd.read_csv(out / "fits.csv")
    assert table["stratum"].unique().tolist() == ["left half", "right"]
    names = {p.name for p in out.iterdir()}
    assert {"fit_left_half.png", "fit_right.png", "bootstrap_right.png", "st_profile_left_half.png"} <= names
    assert set(pd.read_csv(out / "st_profile_interval.csv")["stratum"]) == {"left half", "right"}
    # One stratum alone, and the comparison per stratum.
    assert cli.main(["fit", str(bam), "--strata", str(bed), "--stratum", "right", "--density-bins", "2",
                     "--meth-bins", "8", "--no-figures", "--quiet", "--out", str(tmp_path / "one")]) == 0
    assert "stratum" not in pd.read_csv(tmp_path / "one" / "fits.csv").columns
    assert cli.main(["compare", str(bam), "--strata", str(bed), "--edges-over", "stratum", "--density-bins", "2",
                     "--meth-bins", "8", "--modes", "shared-st", "independent", "--no-figures", "--out",
                     str(tmp_path / "compared")]) == 0
    tests = pd.read_csv(tmp_path / "compared" / "likelihood_ratio_tests.csv")
    assert tests["stratum"].tolist() == ["left half", "right"]
    assert "stratum right: AIC" in capsys.readouterr().out


def test_inputs_with_many_distinct_keys_are_counted_again_with_their_edges(table, bam, tmp_path, monkeypatch):
    """Past the budget of distinct (density, level, depth) keys, equal-count edges come from the densities
    alone and the input is counted a second time with them: the same binned data, for tables, reads, strata
    (shared or own edges), designs and ages."""
    import velkora.counts.counting as counting

    calls = []
    original = counting.count_histogram

    def counted(*args, **kwargs):
        calls.append(args[1])
        return original(*args, **kwargs)

    monkeypatch.setattr(counting, "ROW_BUDGET", 50)
    monkeypatch.setattr(counting, "count_histogram", counted)
    monkeypatch.setattr("velkora.counts.front.count_histogram", counted)
    same_binned(vk.bin_molecules(table, 4, 12), vk.count(table, 4, 12))
    assert len(calls) == 2 and isinstance(calls[1], np.ndarray)  # a second pass, with the edges
    # A Parquet task that outgrows the budget on its own hands densities only to a histogram that has not.
    # (Tasks of 2,500 and 1,000 rows: the first collapses on its own, the second does not.)
    monkeypatch.setattr(counting, "TABLE_BATCH", 300)
    monkeypatch.setattr(counting, "TABLE_CHUNK", 2500)
    path = tmp_path / "molecules.parquet"
    table.to_parquet(path, row_group_size=500)
    monkeypatch.setattr(counting, "ROW_BUDGET", len(table) // 2)
    same_binned(vk.bin_molecules(table, 4, 12), vk.count(path, 4, 12))
    monkeypatch.setattr(counting, "ROW_BUDGET", 50)
    molecules = vk.read_bam(bam)
    same_binned(vk.bin_molecules(molecules, 3, 10), vk.count(bam, 3, 10))
    middle = (molecules["start"] + molecules["end"] - 1) // 2
    a = int(np.median(middle))
    bed = write_bed(tmp_path / "halves.bed", [f"chrS\t0\t{a}\tleft\n"])
    for over in ("stratum", "all"):
        strata = vk.count(bam, 2, 8, strata=[bed], edges_over=over)
        if over == "stratum":
            same_binned(vk.bin_molecules(molecules[middle < a], 2, 8), strata["left"])
            same_binned(vk.bin_molecules(molecules[middle >= a], 2, 8), strata["outside"])
        else:
            np.testing.assert_array_equal(strata["left"].density_edges, vk.bin_molecules(molecules, 2, 8).density_edges)
    aged = vk.synthetic_drift_molecules(0.02, 0.01, [0.0, 5.0], molecules_per_density=200, seed=2)
    for a_, b_ in zip(vk.bin_molecules_by_age(aged, 3, 8).by_age, count_by_age(aged, 3, 8).by_age):
        same_binned(a_, b_)
