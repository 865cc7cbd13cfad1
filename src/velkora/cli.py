"""The ``velkora`` command: fits, comparisons of modes, phase diagrams and drift fits from the shell.

    velkora fit molecules.csv --mode shared-st --n-boot 100 --out results/
    velkora fit --settings results/fit_settings.json --out rerun/
    velkora compare molecules.csv --modes shared-st independent --n-sim 99 --out compared/
    velkora phase --st 0.5 --fits results/fits.csv --out results/
    velkora drift aged.parquet --age-column age --out drift/
    velkora synthetic molecules.csv
    velkora molecules reads.bam --out molecules.parquet --window-cpgs 70

Every command checks all of its options before it starts, writes its tables
as CSV, a ``<command>_settings.json`` recording how they were made (strict
JSON; infinities as "inf") and figures (PNG, or ``--figure-format svg|pdf``;
none with ``--no-figures``), with ``--report`` (fit, compare) a
self-contained ``report.html`` of the whole run, all
into a temporary directory that is moved into ``--out`` at the end: a run
that fails leaves ``--out`` as it was. Exit status: 0 done, 1 a fit failed,
2 bad input or usage, 130 stopped by Ctrl+C (a bootstrap stopped that way
keeps its finished samples, marked incomplete).
"""

from __future__ import annotations

import argparse
import hashlib
import io
import math
import os
import shlex
import sys
import warnings
from contextlib import contextmanager
from pathlib import Path

import numpy as np

from . import _output
from ._errors import InputError
from ._output import Progress, Terminal  # noqa: F401 - Progress is part of the command's toolkit
from .reads.cli import add_molecules_command, add_read_options, molecules_for_fit

EXIT_FAILED, EXIT_INPUT, EXIT_INTERRUPTED = 1, 2, 130

# Mode names as the fitting layer knows them; repeated here so that `--help`
# works before pandas is imported.
MODES = ("independent", "independent-exp", "shared-st", "shared-exp", "shared-st-exp", "shared-co")
_SHARED_ST_MODES = ("shared-st", "shared-exp", "shared-st-exp", "shared-co")

FIGURE_FORMATS = ("png", "svg", "pdf")


def _figure_files(*stems: str) -> tuple[str, ...]:
    return tuple(f"{stem}.{kind}" for stem in stems for kind in FIGURE_FORMATS)


# Every file a command can write (what a rerun into the same directory replaces), figures in every format.
_FIT_FILES = ("binned.csv", "fits.csv", "fit_settings.json", "fit.log", "bootstrap_samples.csv",
              "bootstrap_intervals.csv", "st_profile.csv", "st_profile_interval.csv", "report.html",
              *_figure_files("fit", "bootstrap", "st_profile"))
_DRIFT_FILES = ("binned_by_age.csv", "drift.csv", "drift_settings.json", "drift.log", "drift_samples.csv",
                *_figure_files("drift", "drift_intervals"))
_PHASE_FILES = ("phase.csv", "phase_settings.json", *_figure_files("phase"))
_COMPARE_FILES = ("comparison.csv", "likelihood_ratio_tests.csv", "likelihood_ratio_simulations.csv",
                  "goodness_of_fit.csv", "residuals.csv", "compare_fits.csv", "compare_settings.json", "compare.log",
                  "report.html", *_figure_files("comparison", *(f"fit_{mode}" for mode in MODES),
                                                *(f"residuals_{mode}" for mode in MODES)))

# Options that say how a run is shown or where it goes, not what it computes:
# the ones a rerun from a settings file may change.
_PRESENTATION = ("out", "quiet", "verbose", "no_figures", "figure_format", "report", "settings")


class _Interrupted(Exception):
    """Ctrl+C; carries what to tell the user about what was kept."""


class _Parser(argparse.ArgumentParser):
    """Usage errors in one line, with the valid choices, instead of the whole usage."""

    def error(self, message):
        self.exit(EXIT_INPUT, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


# ---------------------------------------------------------------- option types


def _integer(minimum: int, *, zero: bool = False):
    """An argparse type: an integer of at least `minimum` (or 0 when `zero`)."""

    def convert(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected an integer, not {text!r}") from None
        if value < minimum and not (zero and value == 0):
            allowed = f"0 or at least {minimum}" if zero else f"at least {minimum}"
            raise argparse.ArgumentTypeError(f"must be {allowed}, not {value}")
        return value

    return convert


def _number(text: str) -> float:
    """An argparse type: a float ("inf" allowed; NaN refused)."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, not {text!r}") from None
    if math.isnan(value):
        raise argparse.ArgumentTypeError("expected a number, not nan")
    return value


# ---------------------------------------------------------------- arguments


def _add_columns(parser) -> None:
    group = parser.add_argument_group("columns of the molecule table")
    group.add_argument("--density-column", default="cpg_density", metavar="NAME",
                       help="CpG density (or CpG count) of each molecule (default: %(default)s)")
    group.add_argument("--level-column", default="meth_level", metavar="NAME",
                       help="methylation level 0..1; if absent, methylated / total is used (default: %(default)s)")
    group.add_argument("--methylated-column", default="n_methylated", metavar="NAME",
                       help="methylated CpG count (default: %(default)s)")
    group.add_argument("--total-column", default="n_cpg", metavar="NAME",
                       help="CpG count read (default: %(default)s)")
    group.add_argument("--depth-column", metavar="NAME",
                       help="called CpG sites per molecule, for short reads (default: n_called if present, else "
                            "the total column)")


def _add_bins(parser) -> None:
    group = parser.add_argument_group("bins")
    density = group.add_mutually_exclusive_group()
    density.add_argument("--density-bins", type=_integer(1), default=5, metavar="K",
                         help="K density bins holding about equal numbers of molecules (default: %(default)s)")
    density.add_argument("--density-edges", type=_number, nargs="+", metavar="EDGE",
                         help="ascending edges of the density bins, instead of --density-bins")
    meth = group.add_mutually_exclusive_group()
    meth.add_argument("--meth-bins", type=_integer(1), default=20, metavar="N",
                      help="N equal methylation-level bins over 0..1 (default: %(default)s)")
    meth.add_argument("--meth-edges", type=_number, nargs="+", metavar="EDGE",
                      help="ascending methylation-level edges within 0..1, instead of --meth-bins")


def _add_model(parser) -> None:
    group = parser.add_argument_group("model")
    group.add_argument("--normalize-stw", action=argparse.BooleanOptionalAction, default=None,
                       help="StW = 1 and St is StE (default); --no-normalize-stw: StE = 1 and St is StW")
    group.add_argument("--n-u", type=_number, metavar="X", help="exponent n_U where not fitted (default 2)")
    group.add_argument("--n-m", type=_number, metavar="X", help="exponent n_M where not fitted (default 2)")
    group.add_argument("--vmax", type=_number, metavar="X",
                       help="fixed Michaelis-Menten ceiling of the cooperative drive (default: inf, none)")
    group.add_argument("--raw-count", action="store_true", default=None,
                       help="cooperative drive on raw site counts instead of fractions")


def _add_search(parser, *, weighting: bool = True) -> None:
    """The search ranges; with `weighting` also the options that change what a
    shared fit minimises (a comparison of modes needs the plain likelihood)."""
    search = parser.add_argument_group("search")
    search.add_argument("--st-bounds", type=_number, nargs=2, metavar=("LO", "HI"),
                        help="St range (default 0.01 10)")
    search.add_argument("--co-bounds", type=_number, nargs=2, metavar=("LO", "HI"),
                        help="CoW, CoE range (default 0.01 100)")
    search.add_argument("--n-exp-bounds", type=_number, nargs=2, metavar=("LO", "HI"),
                        help="range of fitted exponents (default 0.5 5)")
    if weighting:
        search.add_argument("--co-penalty", type=_number, metavar="X", help="penalty on large CoW, CoE (default 0)")
        search.add_argument("--weights", choices=("molecules", "equal"),
                            help="weight of each density bin in the shared fits (default: molecules)")
    search.add_argument("--fit-vmax", action="store_true", default=None,
                        help="also fit a shared Vmax (shared-exp, shared-st-exp)")
    search.add_argument("--vmax-bounds", type=_number, nargs=2, metavar=("LO", "HI"),
                        help="Vmax range (default 0.001 1e6)")
    search.add_argument("--observation", choices=("auto", "binned", "sampled"),
                        help="how reads observe the 70-site molecules: binned (whole molecules), sampled (reads "
                             "that call only some sites, from each density bin's read-depth histogram) or auto "
                             "(default: sampled when any molecule was read at fewer than 70 sites)")


def _add_run(parser, *, n_boot_help: str) -> None:
    group = parser.add_argument_group("bootstrap and seeds")
    group.add_argument("--n-boot", type=_integer(0), default=0, metavar="N", help=n_boot_help)
    group.add_argument("--seed", type=_integer(0), default=0,
                       help="seed of every random choice: the fit's searches and the resampling "
                            "(default: %(default)s); the same seed gives the same results")
    group.add_argument("--chunk-size", type=_integer(1), metavar="N",
                       help="bootstrap samples per chunk, between progress updates (default: about 20 chunks)")
    group.add_argument("--percentiles", type=_number, nargs="+", default=[2.5, 97.5], metavar="P",
                       help="interval percentiles (default: 2.5 97.5)")


def _add_output(parser, *, log: bool = False, report: bool = False) -> None:
    group = parser.add_argument_group("output")
    group.add_argument("--out", type=Path, default=Path("velkora-results"), metavar="DIR",
                       help="directory for the tables and figures, created if needed (default: %(default)s)")
    group.add_argument("--no-figures", action="store_true", help="write the tables only (no matplotlib needed)")
    group.add_argument("--figure-format", choices=FIGURE_FORMATS, default="png",
                       help="file format of the figures (default: %(default)s)")
    if report:
        group.add_argument("--report", action="store_true",
                           help="also write report.html: one self-contained page with the data summary, every "
                                "table, the figures, the settings, the versions and the input's SHA-256")
    group.add_argument("--quiet", action="store_true", help="no progress or summary on the terminal")
    if log:
        group.add_argument("--verbose", action="store_true",
                           help="also show the optimiser's log lines (always written to the run's .log file)")


def _add_rerun(parser, command: str) -> None:
    parser.add_argument("--settings", type=Path, metavar="JSON",
                        help=f"redo the run recorded in a {command}_settings.json, byte for byte; only the output "
                             "options (--out, --no-figures, --figure-format, --report, --quiet, --verbose) and the "
                             "input file may be given with it")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="velkora",
        description="Fits of a stochastic model of CpG methylation to per-molecule methylation tables.",
        epilog="Exit status: 0 done, 1 a fit failed, 2 bad input, 130 stopped by Ctrl+C (finished bootstrap "
               "samples saved, marked incomplete).",
    )
    from . import __version__  # noqa: PLC0415

    parser.add_argument("--version", action="version", version=f"velkora {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    fit = commands.add_parser(
        "fit", help="bin a molecule table and fit every density bin",
        description="Bins a per-molecule table (CSV, TSV or Parquet) by CpG density and methylation level, "
                    "fits the model in the chosen mode, and optionally bootstraps the fit (resampling molecules) "
                    "and profiles the shared St. Writes binned.csv, fits.csv, fit_settings.json, fit.log, "
                    "bootstrap_samples.csv, bootstrap_intervals.csv, st_profile.csv, st_profile_interval.csv, "
                    "the figures fit, bootstrap and st_profile and, with --report, report.html.")
    fit.add_argument("molecules", nargs="?",
                     help="per-molecule table: .csv, .tsv, .txt, .parquet or .pq; or reads: a BAM, CRAM or SAM "
                          "file, a modkit or Bismark call table (see the read options)")
    fit.add_argument("--mode", choices=MODES, default="independent",
                     help="which parameters the density bins share (default: %(default)s): "
                          "independent: own St, CoW, CoE; independent-exp: also own n_U, n_M; "
                          "shared-st: one St; shared-exp: one St, n_U, n_M; shared-st-exp: one St, own n_U, n_M; "
                          "shared-co: one St, CoW, CoE, own n_U, n_M")
    _add_columns(fit)
    _add_bins(fit)
    _add_model(fit)
    _add_search(fit)
    _add_run(fit, n_boot_help="bootstrap samples (default: 0, no bootstrap)")
    fit.add_argument("--profile-st", type=_integer(3, zero=True), default=0, metavar="N",
                     help="profile likelihood of the shared St at N >= 3 points from St/2 to 2 St, with its 95 %% "
                          "interval (default: 0, none; needs a mode with a shared St)")
    _add_rerun(fit, "fit")
    _add_output(fit, log=True, report=True)
    add_read_options(fit.add_argument_group("reads (when the input is a BAM/CRAM or a call table)"))
    fit.set_defaults(run=_run_fit)

    compare = commands.add_parser(
        "compare", help="fit several modes to the same molecules and compare them",
        description="Bins a per-molecule table as `velkora fit` does, fits every chosen mode to it and compares "
                    "them: log-likelihood of the molecule counts, AIC, BIC and Akaike weights per mode, "
                    "likelihood-ratio tests of every nested pair (asymptotic, and by parametric bootstrap with "
                    "--n-sim), and each density bin's goodness of fit (G statistic, Pearson residuals). The density "
                    "bins are always weighted by their molecules, without a penalty, so that the fits maximise "
                    "the likelihood. Writes comparison.csv, likelihood_ratio_tests.csv, "
                    "likelihood_ratio_simulations.csv (with --n-sim), goodness_of_fit.csv, residuals.csv, "
                    "compare_fits.csv, compare_settings.json, compare.log, the figures comparison (AIC and BIC), "
                    "fit_<mode> (with each density bin's G test) and residuals_<mode> and, with --report, "
                    "report.html.")
    compare.add_argument("molecules", nargs="?", help="per-molecule table: .csv, .tsv, .txt, .parquet or .pq")
    compare.add_argument("--modes", choices=MODES, nargs="+", default=list(MODES), metavar="MODE",
                         help=f"the modes to compare (default: all of {', '.join(MODES)})")
    _add_columns(compare)
    _add_bins(compare)
    _add_model(compare)
    _add_search(compare, weighting=False)
    tests = compare.add_argument_group("tests and seeds")
    tests.add_argument("--n-sim", type=_integer(0), default=0, metavar="N",
                       help="parametric-bootstrap simulations per nested pair (default: %(default)s, asymptotic "
                            "p-values only)")
    tests.add_argument("--seed", type=_integer(0), default=0,
                       help="seed of the fits' searches and of the simulations (default: %(default)s)")
    _add_rerun(compare, "compare")
    _add_output(compare, log=True, report=True)
    compare.set_defaults(run=_run_compare)

    phase = commands.add_parser(
        "phase", help="phase diagram of the model over CoW x CoE",
        description="Computes the bistability score, mean methylation, entropy and intermediate fraction of the "
                    "steady state over a log10 CoW x log10 CoE grid at one St. Writes phase.csv, phase_settings.json "
                    "and the figure phase (with the fitted density bins of --fits marked on it).")
    phase.add_argument("--st", type=_number, help="spontaneous rate St (default: the shared St of --fits)")
    phase.add_argument("--fits", type=Path, metavar="CSV", help="a fits.csv of `velkora fit` to mark on the diagram")
    phase.add_argument("--log-cow", type=_number, nargs=2, metavar=("LO", "HI"),
                       help="log10 CoW range (default -2 3, or around the fitted points)")
    phase.add_argument("--log-coe", type=_number, nargs=2, metavar=("LO", "HI"),
                       help="log10 CoE range (default -2 3, or around the fitted points)")
    phase.add_argument("--points", type=_integer(2), default=61, metavar="N",
                       help="grid points per axis, at least 2 (default: %(default)s)")
    phase.add_argument("--quantity", choices=("bistability", "avg_meth", "entropy", "frac_inter"),
                       default="bistability", help="what the figure shows (default: %(default)s)")
    _add_model(phase)
    _add_output(phase)
    phase.set_defaults(run=_run_phase)

    drift = commands.add_parser(
        "drift", help="fit the drift of the distributions over ages",
        description="Bins a per-molecule table with an age column, age by age, and fits every density bin's "
                    "StE, StW to the change from the youngest age. Writes binned_by_age.csv, drift.csv, "
                    "drift_settings.json, drift_samples.csv (with --n-boot) and the figures drift and, with --n-boot, "
                    "drift_intervals.")
    drift.add_argument("molecules", nargs="?", help="per-molecule table with an age column")
    drift.add_argument("--age-column", default="age", metavar="NAME",
                       help="age of each molecule (default: %(default)s)")
    _add_columns(drift)
    _add_bins(drift)
    drift.add_argument("--st-bounds", type=_number, nargs=2, metavar=("LO", "HI"),
                       help="range of StE and StW (default 1e-4 1)")
    _add_run(drift, n_boot_help="bootstrap samples (default: 0, no bootstrap)")
    _add_rerun(drift, "drift")
    _add_output(drift)
    drift.set_defaults(run=_run_drift)

    synthetic = commands.add_parser(
        "synthetic", help="write a synthetic molecule table drawn from the model",
        description="Writes a per-molecule table drawn from the model with known parameters (for trying the "
                    "other commands); the true parameters go to <out>.truth.csv.")
    synthetic.add_argument("out", type=Path, help="table to write: .csv or .parquet")
    synthetic.add_argument("--molecules", type=_integer(1), default=5000, metavar="N",
                           help="molecules per density bin (default: %(default)s)")
    synthetic.add_argument("--shared-st", type=_number, metavar="ST", help="one St for every density bin")
    synthetic.add_argument("--ages", type=_number, nargs="+", metavar="AGE",
                           help="draw a drift time course at these ages (adds an age column)")
    synthetic.add_argument("--seed", type=_integer(0), default=0, help="seed of the draws (default: %(default)s)")
    synthetic.set_defaults(run=_run_synthetic)
    add_molecules_command(commands)
    return parser


# ---------------------------------------------------------------- checks shared by the runs


def _settings(args, names) -> dict:
    """The fit settings the user gave (None: left at the library's default)."""
    settings = {name: getattr(args, name) for name in names if getattr(args, name, None) is not None}
    for name, value in settings.items():
        if isinstance(value, list):
            settings[name] = tuple(value)
    return settings


_FIT_SETTINGS = ("normalize_stw", "st_bounds", "co_bounds", "n_exp_bounds", "n_u", "n_m", "co_penalty", "weights",
                 "fit_vmax", "vmax_bounds", "vmax", "raw_count", "seed", "observation")
_MODEL_SETTINGS = ("normalize_stw", "n_u", "n_m", "vmax", "raw_count")
# A comparison always weighs the bins by molecules without a penalty, and takes its seed on its own.
_COMPARE_SETTINGS = tuple(name for name in _FIT_SETTINGS if name not in ("weights", "co_penalty", "seed"))


def _bins(args):
    density = args.density_edges if args.density_edges is not None else args.density_bins
    meth = args.meth_edges if args.meth_edges is not None else args.meth_bins
    columns = {"density": args.density_column, "level": args.level_column,
               "methylated": args.methylated_column, "total": args.total_column, "depth": args.depth_column}
    return density, meth, columns


def _as_options(check, *args, **kwargs):
    """Runs one of the library's checks, naming the command-line option
    (--st-bounds) where the library names its setting (st_bounds)."""
    try:
        return check(*args, **kwargs)
    except InputError as error:
        name, _, rest = str(error).partition(" ")
        if name in (*_FIT_SETTINGS, "n_boot", "chunk_size", "percentiles") and rest:
            raise InputError(f"--{name.replace('_', '-')} {rest}") from None
        raise


def _check_run_options(args, *, minimum_boot: int = 0) -> None:
    from . import fitting  # noqa: PLC0415

    _as_options(fitting._run_options, args.n_boot, args.seed, args.chunk_size, args.percentiles,
                minimum_boot=minimum_boot)


def _sha256(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as source:
        for block in iter(lambda: source.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def _recorded_options(args) -> dict:
    """The options that decide a run's results, for its settings file."""
    return {name: value for name, value in vars(args).items()
            if name not in (*_PRESENTATION, "run", "command", "molecules")}


def _input_record(path: str) -> dict:
    source = Path(path)
    if not source.is_file():
        raise InputError(f"molecules file not found: {source}")
    return {"path": str(source), "absolute_path": str(source.absolute()), "sha256": _sha256(source)}


def _header(args, argv, command: str) -> dict:
    from . import __version__  # noqa: PLC0415

    return {"command": command, "velkora_version": __version__, "command_line": shlex.join(["velkora", *argv]),
            "input": _input_record(args.molecules), "options": _recorded_options(args)}


def _load_rerun(args, parser_defaults: dict, command: str, terminal: Terminal) -> None:
    """Fills `args` from the settings file of an earlier run (``--settings``)."""
    import json  # noqa: PLC0415

    from . import __version__  # noqa: PLC0415

    path = args.settings
    changed = [name for name, value in vars(args).items()
               if name not in (*_PRESENTATION, "run", "command", "molecules") and value != parser_defaults.get(name)]
    if changed:
        option = "--" + changed[0].replace("_", "-")
        raise InputError(f"{option} cannot be combined with --settings, which redoes the recorded run as it was")
    try:
        record = json.loads(Path(path).read_text())
    except (OSError, ValueError) as error:
        raise InputError(f"--settings {path}: cannot read it as JSON ({error})") from None
    if not isinstance(record, dict) or record.get("command") != command or not isinstance(record.get("options"), dict):
        raise InputError(f"--settings {path}: not a {command}_settings.json of `velkora {command}`")
    unknown = [name for name in record["options"] if name not in parser_defaults]
    if unknown:
        raise InputError(f"--settings {path}: unknown option '{unknown[0]}' (written by another velkora version?)")
    for name, value in record["options"].items():
        setattr(args, name, value)
    recorded = record.get("input", {})
    if args.molecules is None:
        args.molecules = recorded.get("absolute_path") or recorded.get("path")
        if args.molecules is None:
            raise InputError(f"--settings {path}: records no input file; give it on the command line")
        if Path(args.molecules).is_file() and _sha256(Path(args.molecules)) != recorded.get("sha256"):
            raise InputError(f"{args.molecules} has changed since the run recorded in {path} (its SHA-256 differs); "
                             "give the file on the command line to fit it anyway")
    elif Path(args.molecules).is_file() and _sha256(Path(args.molecules)) != recorded.get("sha256"):
        terminal.line(f"velkora: warning: {args.molecules} is not the file of the recorded run (its SHA-256 differs)")
    if record.get("velkora_version") != __version__:
        terminal.line(f"velkora: warning: {path} was written by velkora {record.get('velkora_version')}, this is "
                      f"{__version__}: the results may differ")


def _check_report(args) -> None:
    if args.report and args.no_figures:
        raise InputError("--report holds the figures: it cannot be combined with --no-figures")


def _keep(figures: dict, caption: str, fig) -> None:
    """Keeps a figure just written for the report (None: figures are off)."""
    if fig is not None:
        figures[caption] = fig


def _say(args, text: str) -> None:
    if not args.quiet:
        print(text)


def _summary(args, paths) -> None:
    _say(args, "wrote " + ", ".join(str(p) for p in paths))


# ---------------------------------------------------------------- fit


def _run_fit(args, context) -> None:
    if args.settings is not None:
        _load_rerun(args, context.defaults, "fit", context.terminal)
    if args.molecules is None:
        raise InputError("give the molecule table to fit (or --settings of an earlier run)")

    import velkora as vk  # noqa: PLC0415
    from . import fitting, plot, report  # noqa: PLC0415

    # Every option is checked before any work, so that a mistake costs nothing.
    settings = _settings(args, _FIT_SETTINGS)
    _as_options(fitting._settings, settings, 1)
    _check_run_options(args)
    if args.profile_st and args.mode not in _SHARED_ST_MODES:
        raise InputError(f"--profile-st needs a mode with a shared St ({', '.join(_SHARED_ST_MODES)}), "
                         f"not {args.mode}")
    _check_report(args)
    record = _header(args, context.argv, "fit")
    out = _output.Output(args.out, _FIT_FILES, figures=not args.no_figures)
    context.output = out
    density, meth, columns = _bins(args)
    molecules = molecules_for_fit(args)
    data = vk.bin_molecules(args.molecules if molecules is None else molecules, density, meth, **columns)
    record["density_edges"], record["meth_edges"] = data.density_edges, data.meth_edges
    out.table("binned.csv", data.frame())
    _say(args, f"binned {int(data.n_molecules.sum()):,} molecules into {data.n_densities} density bins x "
               f"{data.n_meth_bins} methylation bins")
    log = out.path("fit.log")
    log.write_text(record["command_line"] + "\n")
    try:
        with context.engine_log(log, f"fitting ({args.mode})"):
            result = vk.fit(data, args.mode, **settings)
    except KeyboardInterrupt:
        raise _Interrupted("stopped before the fit finished; nothing was written") from None
    record.update(mode=result.mode, settings=result.settings, shared=result.shared, total_nll=result.total_nll,
                  observation={"model": result.observation, "reason": result.observation_reason,
                               "median_depth": data.median_depth}, complete=True)
    depth = "" if data.median_depth is None else f"; median depth {data.median_depth:g} called sites"
    _say(args, f"observation model: {result.observation} ({result.observation_reason}{depth})")
    out.table("fits.csv", result.table)
    out.json("fit_settings.json", record)
    kind = args.figure_format
    figures = {}  # caption -> figure, for the report
    _keep(figures, report.fit_caption(result), out.figure(f"fit.{kind}", lambda: plot.fit_figure(result)))
    _say(args, result.table.to_string(max_cols=12))
    if result.shared:
        _say(args, "shared: " + ", ".join(f"{k} = {v:.6g}" for k, v in result.shared.items()))

    boot = profile = None
    if args.n_boot:
        progress = None if args.quiet else Progress("bootstrap", stream=context.terminal.stream)
        boot = vk.bootstrap(result, args.n_boot, seed=args.seed, chunk_size=args.chunk_size, progress=progress,
                            keep_partial=True, percentiles=args.percentiles)
        record["bootstrap"] = {"n_boot": boot.n_boot, "seed": boot.seed, "n_done": boot.n_done,
                               "complete": boot.complete, "percentiles": args.percentiles}
        if boot.n_done:
            out.table("bootstrap_samples.csv", boot.samples, index=False)
            out.table("bootstrap_intervals.csv", boot.intervals)
        if not boot.complete:
            if progress is not None:
                progress.stop()
            record["complete"] = False
            out.json("fit_settings.json", record)
            out.commit()
            raise _Interrupted(f"stopped: {boot.n_done} of {boot.n_boot} bootstrap samples finished and saved "
                               "(marked incomplete in fit_settings.json)")
        _keep(figures, report.BOOTSTRAP_CAPTION, out.figure(f"bootstrap.{kind}", lambda: plot.bootstrap_figure(boot)))
        out.json("fit_settings.json", record)

    if args.profile_st:
        st = result.shared["St"]
        low, high = result.settings["st_bounds"]
        grid = np.geomspace(max(st / 2, low), min(st * 2, high), args.profile_st)
        try:
            with context.engine_log(log, "St profile"):
                profile = vk.profile_st(data, grid, **settings)
        except KeyboardInterrupt:
            record["complete"] = False
            record["profile"] = {"points": args.profile_st, "complete": False}
            out.json("fit_settings.json", record)
            out.commit()
            raise _Interrupted("stopped during the St profile; the fit (and bootstrap) were saved, the profile "
                               "was not (marked incomplete in fit_settings.json)") from None
        interval = profile.intervals.iloc[0]
        record["profile"] = {"points": args.profile_st, "complete": True,
                             "interval": {"St": interval["estimate"], "lo": interval["lo"], "hi": interval["hi"],
                                          "threshold": interval["threshold"], "xtol": interval["xtol"]}}
        out.table("st_profile.csv", profile.table, index=False)
        out.table("st_profile_interval.csv", profile.intervals, index=False)
        out.json("fit_settings.json", record)
        _keep(figures, report.PROFILE_CAPTION,
              out.figure(f"st_profile.{kind}", lambda: plot.profile_figure(profile, fitted_st=st)))
        ends = [f"{v:.6g}" if math.isfinite(v) else "open" for v in (interval["lo"], interval["hi"])]
        _say(args, f"95 % profile-likelihood interval of St: [{ends[0]}, {ends[1]}]")
    if args.report:
        report.fit_report(result, bootstrap=boot, profile=profile, record=record,
                          figures=figures).save(out.path("report.html"))
    _summary(args, out.commit())


# ---------------------------------------------------------------- compare


@contextmanager
def _terminal_stream(terminal: Terminal):
    """A stream to the terminal that stays there while the engine's descriptor 2 goes into a log file."""
    if not _output._uses_fd_2(terminal.stream):  # noqa: SLF001 - the output module's own check
        yield terminal.stream
        return
    stream = io.TextIOWrapper(io.FileIO(os.dup(2), "w"), line_buffering=True)
    try:
        yield stream
    finally:
        stream.close()


def _run_compare(args, context) -> None:
    if args.settings is not None:
        _load_rerun(args, context.defaults, "compare", context.terminal)
    if args.molecules is None:
        raise InputError("give the molecule table to compare the modes on (or --settings of an earlier run)")

    import pandas as pd  # noqa: PLC0415

    import velkora as vk  # noqa: PLC0415
    from . import comparison, report  # noqa: PLC0415

    if not args.no_figures:
        from . import plot  # noqa: PLC0415

    settings = _settings(args, _COMPARE_SETTINGS)
    _as_options(comparison._comparable, {**settings, "seed": args.seed}, 1)
    repeated = [mode for k, mode in enumerate(args.modes) if mode in args.modes[:k]]
    if repeated:
        raise InputError(f"--modes names {repeated[0]} twice")
    _check_report(args)
    record = _header(args, context.argv, "compare")
    out = _output.Output(args.out, _COMPARE_FILES, figures=not args.no_figures)
    context.output = out
    density, meth, columns = _bins(args)
    data = vk.bin_molecules(args.molecules, density, meth, **columns)
    record["density_edges"], record["meth_edges"] = data.density_edges, data.meth_edges
    _say(args, f"binned {int(data.n_molecules.sum()):,} molecules into {data.n_densities} density bins x "
               f"{data.n_meth_bins} methylation bins")
    log = out.path("compare.log")
    log.write_text(record["command_line"] + "\n")
    with _terminal_stream(context.terminal) as stream:
        # With simulations their bar shows the progress; the fits' status line would overwrite it.
        progress = None if args.quiet or not args.n_sim else Progress("simulations", stream=stream)
        try:
            with _output.engine_log(log, Terminal(stream), f"fitting {len(args.modes)} modes", verbose=args.verbose,
                                    show_progress=not args.quiet and not args.n_sim):
                result = vk.compare(data, args.modes, n_sim=args.n_sim, seed=args.seed, progress=progress,
                                    **settings)
        except KeyboardInterrupt:
            if progress is not None:
                progress.stop()
            raise _Interrupted("stopped before the comparison finished; nothing was written") from None
    record.update(modes=list(result.fits), settings=result.settings, n_sim=result.n_sim, seed=result.seed,
                  best_aic=result.best, complete=True)
    out.table("comparison.csv", result.table)
    out.table("likelihood_ratio_tests.csv", result.tests, index=False)
    if len(result.simulations):
        out.table("likelihood_ratio_simulations.csv", result.simulations, index=False)
    out.table("goodness_of_fit.csv", result.goodness_of_fit)
    out.table("residuals.csv", result.residuals)
    out.table("compare_fits.csv", pd.concat({mode: fit.table for mode, fit in result.fits.items()}, names=["mode"]))
    out.json("compare_settings.json", record)
    kind, figures = args.figure_format, {}
    _keep(figures, report.COMPARISON_CAPTION,
          out.figure(f"comparison.{kind}", lambda: plot.comparison_figure(result)))
    for mode, fit in result.fits.items():
        _keep(figures, report.goodness_caption(mode),
              out.figure(f"fit_{mode}.{kind}", lambda fit=fit: plot.fit_figure(fit, goodness=result)))
        _keep(figures, report.residual_caption(mode),
              out.figure(f"residuals_{mode}.{kind}", lambda mode=mode: plot.residual_figure(result, mode)))
    if args.report:
        report.compare_report(result, record=record, figures=figures).save(out.path("report.html"))
    _say(args, result.table.to_string())
    tested = result.tests[result.tests["reason"] == ""]
    if len(tested):
        _say(args, tested.drop(columns="reason").to_string(index=False))
    misfits = result.goodness_of_fit[result.goodness_of_fit["misfit"]]
    if len(misfits):
        _say(args, "density bins the fit does not explain (G test, Bonferroni 0.05): "
                   + ", ".join(f"{mode} {label}" for mode, label in misfits.index))
    _summary(args, out.commit())


# ---------------------------------------------------------------- phase


def _fits_table(path: Path):
    import pandas as pd  # noqa: PLC0415

    try:
        table = pd.read_csv(path, index_col=0)
    except (OSError, ValueError) as error:
        raise InputError(f"cannot read --fits {path}: {error}") from None
    missing = [c for c in ("St", "CoW", "CoE") if c not in table]
    if missing:
        raise InputError(f"--fits {path}: missing column '{missing[0]}' (expected a fits.csv of `velkora fit`)")
    return table


def _run_phase(args, context) -> None:
    import velkora as vk  # noqa: PLC0415
    from . import fitting, plot  # noqa: PLC0415

    _as_options(fitting._settings, _settings(args, _MODEL_SETTINGS), 0)
    if args.st is not None and not (math.isfinite(args.st) and args.st > 0):
        raise InputError(f"--st must be positive and finite, not {args.st:g}")
    fits = _fits_table(args.fits) if args.fits is not None else None
    st = args.st
    if st is None:
        if fits is None:
            raise InputError("give --st, or --fits to take the St of a fit")
        st = float(fits["St"].median())
    ranges = []
    for given, column, option in ((args.log_cow, "CoW", "--log-cow"), (args.log_coe, "CoE", "--log-coe")):
        if given is not None:
            if not (math.isfinite(given[0]) and math.isfinite(given[1]) and given[0] < given[1]):
                raise InputError(f"{option} must be two finite numbers LO < HI, not {given[0]:g} {given[1]:g}")
            ranges.append(tuple(given))
        elif fits is not None:
            values = np.log10(fits[column].to_numpy())
            ranges.append((math.floor(values.min()) - 1.0, math.ceil(values.max()) + 1.0))
        else:
            ranges.append((-2.0, 3.0))
    out = _output.Output(args.out, _PHASE_FILES, figures=not args.no_figures)
    context.output = out
    grid = vk.phase_grid(st, np.linspace(*ranges[0], args.points), np.linspace(*ranges[1], args.points),
                         **_settings(args, _MODEL_SETTINGS))
    out.table("phase.csv", grid.frame(), index=False)
    out.json("phase_settings.json", {"command": "phase", "st": st, "log_cow": ranges[0], "log_coe": ranges[1],
                                     "points": args.points, "fits": None if fits is None else str(args.fits),
                                     "settings": grid.settings})
    out.figure(f"phase.{args.figure_format}", lambda: plot.phase_figure(grid, quantity=args.quantity, fits=fits))
    _say(args, f"St = {st:.6g}: bistable (score > 0.5) at {np.mean(grid.bistability > 0.5):.1%} of the grid")
    # The phase diagram goes beside a fit's files: only its own are replaced.
    _summary(args, out.commit())


# ---------------------------------------------------------------- drift


def _run_drift(args, context) -> None:
    if args.settings is not None:
        _load_rerun(args, context.defaults, "drift", context.terminal)
    if args.molecules is None:
        raise InputError("give the molecule table to fit (or --settings of an earlier run)")

    import velkora as vk  # noqa: PLC0415
    from . import fitting, plot  # noqa: PLC0415

    options = {} if args.st_bounds is None else {"st_bounds": tuple(args.st_bounds)}
    if options:
        _as_options(fitting._bounds, options["st_bounds"], "st_bounds", positive=True)
    _check_run_options(args)
    record = _header(args, context.argv, "drift")
    out = _output.Output(args.out, _DRIFT_FILES, figures=not args.no_figures)
    context.output = out
    density, meth, columns = _bins(args)
    data = vk.bin_molecules_by_age(args.molecules, density, meth, age=args.age_column, **columns)
    record["ages"], record["density_edges"], record["meth_edges"] = data.ages, data.density_edges, data.meth_edges
    out.table("binned_by_age.csv", _drift_frame(data))
    progress = None if args.quiet or not args.n_boot else Progress("drift bootstrap", stream=context.terminal.stream)
    try:
        result = vk.fit_drift(data, n_boot=args.n_boot, seed=args.seed, chunk_size=args.chunk_size,
                              progress=progress, keep_partial=True, percentiles=args.percentiles, **options)
    except KeyboardInterrupt:
        raise _Interrupted("stopped before the drift fit finished; nothing was written") from None
    record.update(settings=result.settings, n_boot=result.n_boot, seed=result.seed, n_done=result.n_done,
                  complete=result.complete)
    out.table("drift.csv", result.table)
    out.json("drift_settings.json", record)
    if result.samples is not None and result.n_done:
        out.table("drift_samples.csv", result.samples, index=False)
    if not result.complete:
        if progress is not None:
            progress.stop()
        out.commit()
        raise _Interrupted(f"stopped: {result.n_done} of {result.n_boot} bootstrap samples finished and saved "
                           "(marked incomplete in drift_settings.json)")
    out.figure(f"drift.{args.figure_format}", lambda: plot.drift_figure(result))
    if result.n_boot:
        out.figure(f"drift_intervals.{args.figure_format}", lambda: plot.drift_interval_figure(result))
    _say(args, result.table.to_string(max_cols=12))
    _summary(args, out.commit())


def _drift_frame(data):
    import pandas as pd  # noqa: PLC0415

    frames = [binned.frame().assign(age=age).set_index("age", append=True) for age, binned in
              zip(data.ages, data.by_age)]
    return pd.concat(frames).reorder_levels(["age", "density_bin"])


# ---------------------------------------------------------------- synthetic


def _run_synthetic(args, context) -> None:
    import pandas as pd  # noqa: PLC0415

    import velkora as vk  # noqa: PLC0415

    suffix = args.out.suffix.lower()
    if suffix not in (".csv", ".parquet", ".pq"):
        raise InputError(f"{args.out}: write .csv or .parquet, not {suffix or 'no suffix'}")
    if args.shared_st is not None and not (math.isfinite(args.shared_st) and args.shared_st > 0):
        raise InputError(f"--shared-st must be positive and finite, not {args.shared_st:g}")
    if args.ages is not None and (len(args.ages) < 2 or not all(math.isfinite(a) and a >= 0 for a in args.ages)):
        raise InputError(f"--ages needs at least two finite ages >= 0, not {' '.join(f'{a:g}' for a in args.ages)}")
    if args.ages is not None:
        table = vk.synthetic_drift_molecules(0.02, 0.01, args.ages, molecules_per_density=args.molecules,
                                             seed=args.seed)
        truth = pd.DataFrame([table.attrs["truth"]])
    else:
        table = vk.synthetic_molecules(molecules_per_density=args.molecules, seed=args.seed,
                                       shared_st=args.shared_st)
        truth = pd.DataFrame(table.attrs["truth"])
    truth_path = args.out.with_suffix(".truth.csv")
    out = _output.Output(args.out.parent, (), figures=False)
    context.output = out
    if suffix == ".csv":
        table.to_csv(out.path(args.out.name), index=False)
    else:
        table.to_parquet(out.path(args.out.name), index=False)
    truth.to_csv(out.path(truth_path.name), index=False)
    out.commit()
    print(f"wrote {len(table):,} molecules to {args.out} and the true parameters to {truth_path}")


# ---------------------------------------------------------------- main


class _Context:
    """What a command's run needs beyond its arguments: the command line, the
    parser's defaults (for reruns), the terminal, the run's output (discarded
    on failure) and the engine-log redirection."""

    def __init__(self, argv, defaults, args):
        self.argv, self.defaults, self.args = argv, defaults, args
        self.terminal = Terminal()
        self.output: _output.Output | None = None

    def engine_log(self, path: Path, label: str):
        return _output.engine_log(path, self.terminal, label, verbose=getattr(self.args, "verbose", False),
                                  show_progress=not self.args.quiet)


def _subcommand_defaults(parser: argparse.ArgumentParser, command: str) -> dict:
    for action in parser._subparsers._group_actions:  # noqa: SLF001 - argparse keeps subparsers here
        if command in action.choices:
            sub = action.choices[command]
            return {a.dest: a.default for a in sub._actions if a.dest != "help"}  # noqa: SLF001
    return {}


def main(argv=None) -> int:
    """Runs the ``velkora`` command; returns its exit status."""
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as stop:
        return stop.code if isinstance(stop.code, int) else EXIT_INPUT
    context = _Context(argv, _subcommand_defaults(parser, args.command), args)

    def one_line_warning(message, category, filename, lineno, file=None, line=None):
        context.terminal.line(f"velkora: warning: {message}")

    status = 0
    with warnings.catch_warnings():
        warnings.showwarning = one_line_warning
        try:
            args.run(args, context)
        except _Interrupted as stop:
            context.terminal.line(f"velkora: {stop}")
            status = EXIT_INTERRUPTED
        except KeyboardInterrupt:
            context.terminal.line("velkora: stopped; nothing was written")
            status = EXIT_INTERRUPTED
        except (InputError, ImportError) as error:
            context.terminal.line(f"velkora: error: {error}")
            status = EXIT_INPUT
        except RuntimeError as error:  # the module's refusal of a fit it cannot do
            context.terminal.line(f"velkora: fit failed: {error}")
            status = EXIT_FAILED
        finally:
            if context.output is not None:
                context.output.discard()
    return status


if __name__ == "__main__":
    sys.exit(main())
