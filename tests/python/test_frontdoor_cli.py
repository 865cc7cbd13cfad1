"""The velkora command and its figures: round trips from molecules to files, exit codes, messages, Ctrl+C."""

import hashlib
import json
import math
import subprocess
import sys

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("matplotlib")

import velkora  # noqa: E402
from velkora import cli, plot  # noqa: E402
from velkora.parallel import chunks as _chunks  # noqa: E402

EDGES = ["--density-edges", "0", "0.02", "0.04", "0.06", "0.08", "0.1"]


def run(capsys, *argv):
    status = cli.main([str(a) for a in argv])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def strict_json(path):
    def refuse(name):
        raise AssertionError(f"{path.name} holds the non-JSON constant {name}")

    return json.loads(path.read_text(), parse_constant=refuse)


@pytest.fixture(scope="module")
def molecules(tmp_path_factory):
    path = tmp_path_factory.mktemp("molecules") / "molecules.csv"
    assert cli.main(["synthetic", str(path), "--shared-st", "0.5", "--molecules", "8000", "--seed", "5"]) == 0
    return path


def test_fit_recovers_the_truth_and_writes_tables_and_figures(molecules, tmp_path, capsys):
    out = tmp_path / "res"
    status, stdout, _ = run(capsys, "fit", molecules, "--mode", "shared-st", *EDGES, "--n-boot", "6",
                            "--chunk-size", "4", "--seed", "3", "--profile-st", "7", "--out", out, "--quiet")
    assert status == 0 and stdout == ""
    fits = pd.read_csv(out / "fits.csv", index_col="density_bin")
    truth = pd.read_csv(molecules.with_suffix(".truth.csv"))
    np.testing.assert_allclose(fits["St"], 0.5, rtol=0.1)
    # CoE of the most methylated bin is loosely pinned down (it barely shapes that distribution).
    np.testing.assert_allclose(np.log(fits[["CoW", "CoE"]]), np.log(truth[["CoW", "CoE"]]), atol=0.45)

    record = strict_json(out / "fit_settings.json")
    assert record["shared"]["St"] == fits["St"].iloc[0] and record["settings"]["vmax"] == "inf"
    assert record["bootstrap"] == {"n_boot": 6, "seed": 3, "n_done": 6, "complete": True,
                                   "percentiles": [2.5, 97.5]}
    # The command's bootstrap resamples as the library's does, sample for sample (the shared-St search
    # itself is seeded afresh on every run, so the refits agree to the optimiser's tolerance only).
    data = velkora.bin_molecules(molecules, [0, 0.02, 0.04, 0.06, 0.08, 0.1], 20)
    expected = velkora.bootstrap(velkora.fit(data, "shared-st"), 6, seed=3).samples
    samples = pd.read_csv(out / "bootstrap_samples.csv")
    assert len(samples) == 6 * 5
    np.testing.assert_allclose(samples[["St", "CoW", "CoE"]], expected[["St", "CoW", "CoE"]], rtol=1e-2)
    profile_table = pd.read_csv(out / "st_profile.csv")
    assert profile_table["on_grid"].sum() == 7 and len(profile_table) >= 7  # the grid and the interval search
    interval = pd.read_csv(out / "st_profile_interval.csv").iloc[0]
    assert interval["lo"] < fits["St"].iloc[0] < interval["hi"]
    assert record["profile"]["interval"]["lo"] == interval["lo"] and record["complete"] is True
    assert record["options"]["density_edges"] == [0, 0.02, 0.04, 0.06, 0.08, 0.1]
    assert record["input"]["sha256"] == hashlib.sha256(molecules.read_bytes()).hexdigest()
    for figure in ("fit", "bootstrap", "st_profile"):
        assert (out / f"{figure}.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    # The phase diagram takes its St and ranges from the fit and keeps the fit's files.
    status, _, _ = run(capsys, "phase", "--fits", out / "fits.csv", "--points", "9", "--out", out, "--quiet")
    assert status == 0
    grid = pd.read_csv(out / "phase.csv")
    # CoW 0.6 .. 2.8 and CoE 0.7 .. 4.8: whole decades around them, one more on each side.
    assert len(grid) == 81 and (grid["log_cow"].min(), grid["log_cow"].max()) == (-2, 2)
    assert (grid["log_coe"].min(), grid["log_coe"].max()) == (-2, 2)
    assert strict_json(out / "phase_settings.json")["st"] == pytest.approx(fits["St"].iloc[0])
    assert (out / "phase.png").exists() and (out / "fit_settings.json").exists()


def test_drift_command_fits_every_bin(tmp_path, capsys):
    path = tmp_path / "aged.parquet"
    assert run(capsys, "synthetic", path, "--ages", "0", "20", "40", "--molecules", "3000")[0] == 0
    status, _, _ = run(capsys, "drift", path, *EDGES, "--n-boot", "2", "--out", tmp_path, "--quiet")
    assert status == 0
    table = pd.read_csv(tmp_path / "drift.csv", index_col="density_bin")
    np.testing.assert_allclose(table["StE"], 0.02, rtol=0.25)
    np.testing.assert_allclose(table["StW"], 0.01, rtol=0.25)
    assert len(pd.read_csv(tmp_path / "drift_samples.csv")) == 2 * 5 and (tmp_path / "drift.png").exists()
    assert set(pd.read_csv(tmp_path / "binned_by_age.csv")["age"]) == {0, 20, 40}


def test_ctrl_c_in_a_bootstrap_saves_the_finished_chunks(molecules, tmp_path, capsys, monkeypatch):
    calls = []
    run_chunk = _chunks.BootstrapJob.run

    def interrupted_third(job, start, stop):
        calls.append(start)
        if len(calls) == 3:
            raise KeyboardInterrupt
        return run_chunk(job, start, stop)

    monkeypatch.setattr(_chunks.BootstrapJob, "run", interrupted_third)
    status, _, err = run(capsys, "fit", molecules, *EDGES, "--n-boot", "10", "--chunk-size", "2", "--out",
                         tmp_path, "--report", "--profile-st", "3", "--mode", "shared-st")
    assert status == cli.EXIT_INTERRUPTED
    assert "stopped: 4 of 10 bootstrap samples finished and saved" in err
    # What was kept and what was not, named.
    assert "kept binned.csv" in err and "not written: the bootstrap figure, the St profile, report.html" in err
    assert pd.read_csv(tmp_path / "bootstrap_samples.csv")["sample"].unique().tolist() == [0, 1, 2, 3]
    record = strict_json(tmp_path / "fit_settings.json")
    assert record["bootstrap"]["complete"] is False and record["complete"] is False
    assert (tmp_path / "fits.csv").exists() and not (tmp_path / "bootstrap.png").exists()
    assert not (tmp_path / "report.html").exists()


@pytest.mark.parametrize("argv, message", [
    (["fit", "{bad}", *EDGES], "bad.csv: column 'meth_level': 1 value(s) outside 0..1 (first at line 9: 1.5)"),
    (["fit", "{bad}", *EDGES, "--level-column", "nope", "--methylated-column", "nope"], "'nope'"),
    (["fit", "{dir}/missing.csv"], "not found"),
    (["fit", "{header_only}", *EDGES], "header.csv: the molecule table holds no molecules"),
    (["fit", "{molecules}", *EDGES, "--st-bounds", "1", "0.1"], "--st-bounds must be a pair"),
    (["fit", "{molecules}", *EDGES, "--st-bounds", "5", "1"], "--st-bounds must be a pair"),
    (["fit", "{molecules}", *EDGES, "--n-boot", "-2"], "argument --n-boot: must be at least 0, not -2"),
    (["fit", "{molecules}", *EDGES, "--profile-st", "-3"], "argument --profile-st: must be 0 or at least 3"),
    (["fit", "{molecules}", *EDGES, "--percentiles", "50", "101"], "--percentiles must lie within 0..100"),
    (["fit", "{molecules}", *EDGES, "--mode", "independent", "--profile-st", "5", "--n-boot", "4"],
     "--profile-st needs a mode with a shared St"),
    (["fit", "{molecules}", "--mode", "shared"], "argument --mode: invalid choice: 'shared' (choose from"),
    (["fit", "--settings", "{molecules}"], "cannot read it as JSON"),
    (["fit"], "give the molecule table"),
    (["phase"], "give --st, or --fits"),
    (["phase", "--st", "0.5", "--points", "1"], "argument --points: must be at least 2, not 1"),
    (["phase", "--fits", "{molecules}"], "missing column 'St'"),
    (["drift", "{molecules}", *EDGES], "molecules.csv: missing column 'age'"),
    (["synthetic", "{dir}/table.xlsx"], "write .csv or .parquet"),
])
def test_bad_input_exits_2_with_one_line_and_leaves_the_output_as_it_was(molecules, tmp_path, capsys, argv,
                                                                           message):
    bad = tmp_path / "bad.csv"
    table = pd.read_csv(molecules)
    table.loc[7, "meth_level"] = 1.5  # data row 7: line 9 of the file, after the header
    table.drop(columns=["n_methylated"]).to_csv(bad, index=False)
    table.iloc[:0].to_csv(tmp_path / "header.csv", index=False)
    names = {"bad": bad, "dir": tmp_path, "molecules": molecules, "header_only": tmp_path / "header.csv"}
    out = tmp_path / "out"
    out.mkdir()
    (out / "fits.csv").write_text("an earlier run's\n")
    status, stdout, err = run(capsys, *[a.format(**names) for a in argv],
                              *([] if argv[0] == "synthetic" else ["--out", out]))
    assert status == cli.EXIT_INPUT
    assert message in err and err.count("\n") == 1 and "Traceback" not in err and "usage:" not in err
    assert [p.name for p in out.iterdir()] == ["fits.csv"] and (out / "fits.csv").read_text() == "an earlier run's\n"
    assert not list(tmp_path.glob(".*velkora-*")) and not (tmp_path / "table.xlsx").exists()


def test_an_interrupted_or_failed_fit_writes_nothing(molecules, tmp_path, capsys, monkeypatch):
    out = tmp_path / "out"

    def stopped(*args, **kwargs):
        raise KeyboardInterrupt

    def refused(*args, **kwargs):
        raise RuntimeError("st_bounds: no search possible")

    for replacement, expected in ((stopped, cli.EXIT_INTERRUPTED), (refused, cli.EXIT_FAILED)):
        monkeypatch.setattr(velkora.velk_core, "py_fit_all_densities", replacement)
        status, _, err = run(capsys, "fit", molecules, *EDGES, "--out", out)
        assert status == expected and "Traceback" not in err
        assert not out.exists() and not list(tmp_path.glob(".*velkora-*"))


def test_a_rerun_from_the_settings_file_gives_the_same_bytes(molecules, tmp_path, capsys):
    first, second = tmp_path / "first", tmp_path / "second"
    argv = ["fit", molecules, "--mode", "shared-st", "--density-bins", "3", "--meth-edges", "0", "0.3", "0.7", "1",
            "--co-bounds", "0.1", "30", "--n-boot", "3", "--seed", "4", "--profile-st", "3", "--no-figures"]
    assert run(capsys, *argv, "--out", first, "--quiet")[0] == 0
    status, _, err = run(capsys, "fit", "--settings", first / "fit_settings.json", "--out", second, "--quiet",
                         "--no-figures")
    assert status == 0 and err == ""
    names = sorted(p.name for p in first.iterdir())
    assert names == sorted(p.name for p in second.iterdir()) and "bootstrap_samples.csv" in names
    for name in names:
        if name not in ("fit_settings.json", "fit.log"):  # they record the command line
            assert (first / name).read_bytes() == (second / name).read_bytes(), name
    before, after = strict_json(first / "fit_settings.json"), strict_json(second / "fit_settings.json")
    assert {**before, "command_line": None} == {**after, "command_line": None}

    # Options a rerun cannot take, and an input that changed since.
    status, _, err = run(capsys, "fit", "--settings", first / "fit_settings.json", "--seed", "5", "--out", second)
    assert status == cli.EXIT_INPUT and "--seed cannot be combined with --settings" in err
    # Given at its default value the option is refused all the same: the rerun would not honour it.
    status, _, err = run(capsys, "fit", "--settings", first / "fit_settings.json", "--mode", "independent", "--out",
                         second)
    assert status == cli.EXIT_INPUT and "--mode cannot be combined with --settings" in err
    changed = tmp_path / "changed.csv"
    changed.write_bytes(molecules.read_bytes() + b"0.05,35,0.5,70\n")
    record = strict_json(first / "fit_settings.json")
    record["input"]["absolute_path"] = str(changed)
    (tmp_path / "edited.json").write_text(json.dumps(record))
    status, _, err = run(capsys, "fit", "--settings", tmp_path / "edited.json", "--out", second)
    assert status == cli.EXIT_INPUT and "has changed since the run recorded" in err


def test_messages_point_into_the_file(molecules, tmp_path, capsys):
    table = pd.read_csv(molecules).iloc[:400]
    table.loc[17, "cpg_density"] = math.nan
    table.to_parquet(tmp_path / "bad.parquet", index=False)
    status, _, err = run(capsys, "fit", tmp_path / "bad.parquet", *EDGES, "--out", tmp_path / "out")
    assert status == cli.EXIT_INPUT
    assert "bad.parquet: column 'cpg_density': 1 value(s) missing or not finite" in err
    assert "row position 17 (counting from 0)" in err

    # Molecules outside the density edges: one warning line, naming the file.
    narrow = ["--density-edges", "0.02", "0.04", "0.06", "--meth-bins", "4", "--no-figures"]
    status, _, err = run(capsys, "fit", molecules, *narrow, "--out", tmp_path / "out", "--quiet")
    assert status == 0
    warning = [line for line in err.splitlines() if "warning" in line]
    assert len(warning) == 1 and warning[0].startswith(f"velkora: warning: {molecules}: ")
    assert "molecules lie outside the density edges" in warning[0] and ".py" not in err


def test_engine_log_lines_go_to_the_log_file(molecules, tmp_path, capfd):
    argv = ["fit", str(molecules), "--mode", "shared-exp", "--density-bins", "2", "--meth-bins", "5", "--no-figures",
            "--st-bounds", "0.2", "1", "--co-bounds", "0.3", "10", "--n-exp-bounds", "1.8", "2.2", "--quiet"]
    assert cli.main([*argv, "--out", str(tmp_path / "quiet")]) == 0
    log = (tmp_path / "quiet" / "fit.log").read_text()
    assert "--- best start:" in log and "total NLL=" in log
    # The narrow exponent range holds the exponents at its ends, which the one warning says.
    assert [line for line in capfd.readouterr().err.splitlines() if "search bound" not in line] == []
    assert cli.main([*argv, "--verbose", "--out", str(tmp_path / "verbose")]) == 0
    assert "--- best start:" in capfd.readouterr().err


def test_help_and_version_from_the_installed_command(capsys):
    assert cli.main(["fit", "--help"]) == 0
    text = "".join(capsys.readouterr().out.split())  # help lines wrap, at hyphens too
    assert all(f"{mode}:" in text for mode in velkora.MODES)
    done = subprocess.run([sys.executable, "-m", "velkora", "--version"], capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout.strip() == f"velkora {velkora.__version__}"


def test_figures_refuse_what_they_cannot_draw():
    grid = velkora.phase_grid(0.5, [0.0, 1.0], [0.0, 1.0])
    with pytest.raises(velkora.InputError, match="quantity must be one of"):
        plot.phase_figure(grid, quantity="nll")
    with pytest.raises(velkora.InputError, match="missing column 'delta_nll'"):
        plot.profile_figure(pd.DataFrame({"St": [0.1]}))


def test_a_long_fit_shows_its_progress_on_a_terminal(tmp_path):
    import io
    import os
    import time

    from velkora import _output

    class Screen(io.StringIO):
        def isatty(self):
            return True

    screen = Screen()
    with _output.engine_log(tmp_path / "fit.log", _output.Terminal(screen), "fitting (shared-co)"):
        os.write(2, b"--- Nelder-Mead start 2/7 from x0=(logSt=-0.500, logCoW=+0.000, logCoE=+0.000) ---\n")
        os.write(2, b"  [ 12] St=0.3162 CoW=1.0000 CoE=1.0000  total NLL=38495.107162\n")
        os.write(2, b"  [ 13] St=0.2985 CoW=1.0000 CoE=1.0000  total NLL=38946.847622\n")
        time.sleep(1.1)
    status = screen.getvalue().split("\r")[-1]
    assert status.startswith("fitting (shared-co): 13 evaluations, best total NLL 38495.1, start 2/7, ")
    assert "start 2/7" in (tmp_path / "fit.log").read_text()


def test_progress_bars_say_a_second_pass_and_count_in_samples():
    import io

    from velkora._output import Progress

    screen = io.StringIO()
    bar = Progress("pieces", stream=screen, again="pieces again")
    for done in (0, 2, 0, 1):  # full, then the same work once more
        bar(done, 2)
    lines = screen.getvalue().splitlines()
    assert [line.split(" [")[0] for line in lines] == ["pieces", "pieces", "pieces again", "pieces again"]
    screen = io.StringIO()
    Progress("samples", stream=screen, unit=1000)(2500, 6000)
    assert "] 2.5/6 " in screen.getvalue()


def test_a_figure_of_one_stratum_names_it_above_its_own_title():
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure

    from velkora.cli.runs import titled

    def make(title):
        fig = Figure()
        if title:
            fig.suptitle(title, fontsize=8)
        return fig

    assert titled(lambda: make("x"), None)()._suptitle.get_text() == "x"
    named = titled(lambda: make("shared-st fit"), "CpG islands")()._suptitle
    assert (named.get_text(), named.get_fontsize()) == ("stratum CpG islands\nshared-st fit", 8)
    assert titled(lambda: make(None), "outside")()._suptitle.get_text() == "stratum outside"


def test_short_reads_are_fitted_as_reads_and_the_run_says_so(tmp_path, capsys):
    reads = velkora.synthetic_molecules(molecules_per_density=600, depth=5, seed=2)
    reads.to_csv(tmp_path / "reads.csv", index=False)
    argv = ["fit", tmp_path / "reads.csv", *EDGES, "--meth-bins", "5", "--no-figures", "--out", tmp_path / "out"]
    status, stdout, _ = run(capsys, *argv)
    assert status == 0
    assert ("observation model: sampled (molecules were read at fewer than the model's 70 sites; median depth 5 "
            "called sites)") in stdout
    record = strict_json(tmp_path / "out" / "fit_settings.json")
    assert record["observation"]["model"] == "sampled" and record["observation"]["median_depth"] == 5
    assert set(pd.read_csv(tmp_path / "out" / "fits.csv")["observation"]) == {"sampled"}
    status, stdout, _ = run(capsys, *argv, "--observation", "binned")
    assert status == 0 and "observation model: binned (asked for" in stdout


@pytest.fixture(scope="module")
def bams(tmp_path_factory):
    """Two small modified-base BAMs of molecules drawn from the model, with different rates."""
    pytest.importorskip("pysam")
    from velkora.reads.synthetic import write_synthetic_bam

    folder = tmp_path_factory.mktemp("bams")
    paths = []
    for k, st in enumerate((0.5, 0.8)):
        table = velkora.synthetic_molecules(molecules_per_density=150, density_edges=(0.02, 0.04, 0.06), seed=k,
                                            params=[(st, 2.0, 1.0), (st, 1.0, 3.0)])
        paths.append(write_synthetic_bam(table, folder / f"age{k}.bam", seed=k))
    return paths


def test_compare_and_drift_take_reads_as_fit_does(bams, tmp_path, capsys):
    status, stdout, err = run(capsys, "compare", bams[0], "--modes", "shared-st", "independent", "--density-bins",
                              "2", "--meth-bins", "5", "--no-figures", "--out", tmp_path / "compare")
    assert status == 0, err
    assert "molecules from" in stdout and (tmp_path / "compare" / "likelihood_ratio_tests.csv").is_file()
    status, _, err = run(capsys, "drift", *bams, "--ages", "0", "10", "--density-bins", "2", "--meth-bins", "5",
                         "--min-cpg", "70", "--no-figures", "--out", tmp_path / "drift")
    assert status == 0, err
    record = strict_json(tmp_path / "drift" / "drift_settings.json")
    assert record["ages"] == [0.0, 10.0] and [one["path"] for one in record["input"]] == [str(b) for b in bams]
    assert len(pd.read_csv(tmp_path / "drift" / "drift.csv")) == 2


@pytest.mark.parametrize(("inputs", "extra", "message"), [
    (1, [], "reads carry no ages"),
    (2, [], "2 inputs need --ages"),
    (2, ["--ages", "0"], "--ages gives 1 ages for 2 inputs"),
    (1, ["--ages", "0"], "--ages needs at least two inputs"),
    (2, ["--ages", "3", "3"], "--ages must be distinct"),
])
def test_drift_inputs_and_their_ages_are_checked(bams, tmp_path, capsys, inputs, extra, message):
    status, _, err = run(capsys, "drift", *bams[:inputs], *extra, "--no-figures", "--out", tmp_path / "out")
    assert status == cli.EXIT_INPUT and message in err
    assert not (tmp_path / "out").exists()


def test_no_molecules_and_options_for_other_inputs_are_one_line_errors(molecules, bams, tmp_path, capsys):
    # Windows longer than every read: no molecules, and the drops say why; nothing written.
    out = tmp_path / "molecules.parquet"
    status, _, err = run(capsys, "molecules", bams[0], "--window-cpgs", "5000", "--out", out, "--quiet")
    assert status == cli.EXIT_INPUT and "no molecules" in err and "window remainder" in err and not out.exists()
    status, _, err = run(capsys, "fit", bams[0], "--window-cpgs", "5000", "--no-figures", "--out", tmp_path / "x")
    assert status == cli.EXIT_INPUT and "no molecules to count" in err and "window remainder" in err
    for option, message in ((["--threshold", "1.5"], "must be a probability within 0..1"),
                            (["--window-cpgs", "0"], "must be at least 1"),
                            (["--min-mapq", "3"], "--min-mapq applies to BAM/CRAM/SAM files"),
                            (["--strict"], "--strict applies to reads and call tables")):
        status, _, err = run(capsys, "fit", molecules, *option, "--no-figures", "--out", tmp_path / "y")
        assert status == cli.EXIT_INPUT and message in err and len(err.strip().splitlines()) == 1, (option, err)
    assert not (tmp_path / "y").exists()
    status, _, err = run(capsys, "fit", bams[0], "--density-column", "gc", "--no-figures", "--out", tmp_path / "y")
    assert status == cli.EXIT_INPUT and "--density-column applies to molecule tables" in err


def test_help_says_what_the_rates_are_and_offers_only_what_runs(capsys):
    for argv in (["--help"], ["fit", "--help"], ["compare", "--help"], ["differential", "--help"]):
        assert cli.main(argv) == 0
        text = " ".join(capsys.readouterr().out.split())
        assert "CoW and CoE, the cooperative writing" in text, argv
    assert cli.main(["drift", "--help"]) == 0
    text = capsys.readouterr().out
    assert "--report" not in text and "--verbose" not in text and "fewest mapping" not in text
    assert cli.main(["fit", "--help"]) == 0
    assert "shares nothing" in " ".join(capsys.readouterr().out.split())


def test_a_table_of_velkora_molecules_carries_its_reads_into_the_report(bams, tmp_path, capsys):
    table = tmp_path / "molecules.parquet"
    assert cli.main(["molecules", str(bams[0]), "--out", str(table), "--quiet"]) == 0
    assert cli.main(["fit", str(table), "--density-bins", "2", "--meth-bins", "5", "--report", "--quiet",
                     "--out", str(tmp_path / "out")]) == 0
    record = strict_json(tmp_path / "out" / "fit_settings.json")
    assert record["reads"]["source"] == str(bams[0]) and record["reads"]["records"] > 0
    page = (tmp_path / "out" / "report.html").read_text()
    assert "Reads behind the molecules" in page and str(bams[0]) in page
