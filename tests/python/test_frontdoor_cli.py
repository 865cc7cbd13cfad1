"""The velkora command and its figures: round trips from molecules to files, exit codes, messages, Ctrl+C."""

import json
import subprocess
import sys

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("matplotlib")

import velkora  # noqa: E402
from velkora import _chunks, cli, plot  # noqa: E402

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
    assert len(pd.read_csv(out / "st_profile.csv")) == 7
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
                         tmp_path, "--no-figures")
    assert status == cli.EXIT_INTERRUPTED
    assert "stopped: 4 of 10 bootstrap samples finished and saved" in err
    assert pd.read_csv(tmp_path / "bootstrap_samples.csv")["sample"].unique().tolist() == [0, 1, 2, 3]
    assert strict_json(tmp_path / "fit_settings.json")["bootstrap"]["complete"] is False
    assert (tmp_path / "fits.csv").exists() and not (tmp_path / "bootstrap.png").exists()


@pytest.mark.parametrize("argv, message", [
    (["fit", "{bad}", *EDGES], "column 'meth_level'"),
    (["fit", "{bad}", *EDGES, "--level-column", "nope", "--methylated-column", "nope"], "'nope'"),
    (["fit", "{dir}/missing.csv"], "not found"),
    (["fit", "{molecules}", *EDGES, "--st-bounds", "1", "0.1"], "st_bounds"),
    (["fit", "{molecules}", *EDGES, "--profile-st", "5"], "--profile-st needs a mode with a shared St"),
    (["phase"], "give --st, or --fits"),
    (["phase", "--st", "0.5", "--points", "1"], "--points must be at least 2"),
    (["phase", "--fits", "{molecules}"], "missing column 'St'"),
    (["synthetic", "{dir}/table.xlsx"], "write .csv or .parquet"),
])
def test_bad_input_exits_2_with_a_message_naming_it(molecules, tmp_path, capsys, argv, message):
    bad = tmp_path / "bad.csv"
    table = pd.read_csv(molecules)
    table.loc[7, "meth_level"] = 1.5
    table.drop(columns=["n_methylated"]).to_csv(bad, index=False)
    names = {"bad": bad, "dir": tmp_path, "molecules": molecules}
    out = [] if argv[0] == "synthetic" else ["--out", tmp_path / "out"]
    status, _, err = run(capsys, *[a.format(**names) for a in argv], *out)
    assert status == cli.EXIT_INPUT
    assert err.startswith("velkora: error: ") and message in err and "Traceback" not in err


def test_help_and_version_from_the_installed_command(capsys):
    with pytest.raises(SystemExit) as stop:
        cli.main(["fit", "--help"])
    text = "".join(capsys.readouterr().out.split())  # help lines wrap, at hyphens too
    assert stop.value.code == 0 and all(f"{mode}:" in text for mode in velkora.MODES)
    done = subprocess.run([sys.executable, "-m", "velkora", "--version"], capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout.strip() == f"velkora {velkora.__version__}"
    with pytest.raises(SystemExit) as stop:
        cli.main(["fit", "m.csv", "--mode", "shared"])
    assert stop.value.code == 2 and "invalid choice: 'shared'" in capsys.readouterr().err


def test_figures_refuse_what_they_cannot_draw():
    grid = velkora.phase_grid(0.5, [0.0, 1.0], [0.0, 1.0])
    with pytest.raises(velkora.InputError, match="quantity must be one of"):
        plot.phase_figure(grid, quantity="nll")
    with pytest.raises(velkora.InputError, match="missing column 'delta_nll'"):
        plot.profile_figure(pd.DataFrame({"St": [0.1]}))
