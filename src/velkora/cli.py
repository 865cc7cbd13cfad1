"""The ``velkora`` command: fits, phase diagrams and drift fits from the shell.

    velkora fit molecules.csv --mode shared-st --n-boot 100 --out results/
    velkora phase --st 0.5 --fits results/fits.csv --out results/
    velkora drift aged.parquet --age-column age --out drift/
    velkora synthetic molecules.csv
    velkora molecules reads.bam --out molecules.parquet --window-cpgs 70

Every command writes its tables as CSV, a ``<command>_settings.json``
recording how they were made (strict JSON; infinities as "inf") and PNG
figures (unless ``--no-figures``) into ``--out``. Exit status: 0 done, 1 a fit
failed, 2 bad input or usage, 130 stopped by Ctrl+C (with what was finished
saved).
"""

from __future__ import annotations

import argparse
import json
import math
import sys
import time
from pathlib import Path

import numpy as np

from ._errors import InputError
from .reads.cli import add_molecules_command, add_read_options, molecules_for_fit

EXIT_FAILED, EXIT_INPUT, EXIT_INTERRUPTED = 1, 2, 130

# Mode names as the fitting layer knows them; repeated here so that `--help`
# works before pandas is imported.
MODES = ("independent", "independent-exp", "shared-st", "shared-exp", "shared-st-exp", "shared-co")
_SHARED_ST_MODES = ("shared-st", "shared-exp", "shared-st-exp", "shared-co")


class _Interrupted(Exception):
    """Ctrl+C after some results were saved; carries what to tell the user."""


class Progress:
    """A one-line progress bar on standard error, redrawn in place on a
    terminal and printed a line per update elsewhere (logs stay readable)."""

    def __init__(self, label: str, stream=None, width: int = 30):
        self.label, self.width = label, width
        self.stream = sys.stderr if stream is None else stream
        self.start = time.monotonic()
        self.tty = bool(getattr(self.stream, "isatty", lambda: False)())

    def __call__(self, done: int, total: int) -> None:
        filled = self.width * done // max(total, 1)
        elapsed = time.monotonic() - self.start
        left = f", {elapsed / done * (total - done):.0f} s left" if 0 < done < total else ""
        line = f"{self.label} [{'#' * filled}{'.' * (self.width - filled)}] {done}/{total}  {elapsed:.0f} s{left}"
        self.stream.write(("\r" + line + ("\n" if done >= total else "")) if self.tty else line + "\n")
        self.stream.flush()

    def stop(self) -> None:
        if self.tty:
            self.stream.write("\n")


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


def _add_bins(parser) -> None:
    group = parser.add_argument_group("bins")
    density = group.add_mutually_exclusive_group()
    density.add_argument("--density-bins", type=int, default=5, metavar="K",
                         help="K density bins holding about equal numbers of molecules (default: %(default)s)")
    density.add_argument("--density-edges", type=float, nargs="+", metavar="EDGE",
                         help="ascending edges of the density bins, instead of --density-bins")
    meth = group.add_mutually_exclusive_group()
    meth.add_argument("--meth-bins", type=int, default=20, metavar="N",
                      help="N equal methylation-level bins over 0..1 (default: %(default)s)")
    meth.add_argument("--meth-edges", type=float, nargs="+", metavar="EDGE",
                      help="ascending methylation-level edges within 0..1, instead of --meth-bins")


def _add_model(parser) -> None:
    group = parser.add_argument_group("model")
    group.add_argument("--normalize-stw", action=argparse.BooleanOptionalAction, default=None,
                       help="StW = 1 and St is StE (default); --no-normalize-stw: StE = 1 and St is StW")
    group.add_argument("--n-u", type=float, metavar="X", help="exponent n_U where not fitted (default 2)")
    group.add_argument("--n-m", type=float, metavar="X", help="exponent n_M where not fitted (default 2)")
    group.add_argument("--vmax", type=float, metavar="X",
                       help="fixed Michaelis-Menten ceiling of the cooperative drive (default: inf, none)")
    group.add_argument("--raw-count", action="store_true", default=None,
                       help="cooperative drive on raw site counts instead of fractions")


def _add_run(parser, *, n_boot_help: str) -> None:
    group = parser.add_argument_group("bootstrap")
    group.add_argument("--n-boot", type=int, default=0, metavar="N", help=n_boot_help)
    group.add_argument("--seed", type=int, default=0, help="seed of the resampling (default: %(default)s)")
    group.add_argument("--chunk-size", type=int, metavar="N",
                       help="bootstrap samples per chunk, between progress updates (default: about 20 chunks)")
    group.add_argument("--percentiles", type=float, nargs="+", default=[2.5, 97.5], metavar="P",
                       help="interval percentiles (default: 2.5 97.5)")


def _add_output(parser) -> None:
    group = parser.add_argument_group("output")
    group.add_argument("--out", type=Path, default=Path("velkora-results"), metavar="DIR",
                       help="directory for the tables and figures, created if needed (default: %(default)s)")
    group.add_argument("--no-figures", action="store_true", help="write the tables only (no matplotlib needed)")
    group.add_argument("--quiet", action="store_true", help="no progress or summary on the terminal")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velkora",
        description="Fits of a stochastic model of CpG methylation to per-molecule methylation tables.",
        epilog="Exit status: 0 done, 1 a fit failed, 2 bad input, 130 stopped by Ctrl+C (finished results saved).",
    )
    from . import __version__  # noqa: PLC0415

    parser.add_argument("--version", action="version", version=f"velkora {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    fit = commands.add_parser(
        "fit", help="bin a molecule table and fit every density bin",
        description="Bins a per-molecule table (CSV, TSV or Parquet) by CpG density and methylation level, "
                    "fits the model in the chosen mode, and optionally bootstraps the fit (resampling molecules) "
                    "and profiles the shared St. Writes binned.csv, fits.csv, fit_settings.json, "
                    "bootstrap_samples.csv, bootstrap_intervals.csv, st_profile.csv and PNG figures.")
    fit.add_argument("molecules", help="per-molecule table: .csv, .tsv, .txt, .parquet or .pq; or reads: a BAM, "
                                       "CRAM or SAM file, a modkit or Bismark call table (see the read options)")
    fit.add_argument("--mode", choices=MODES, default="independent",
                     help="which parameters the density bins share (default: %(default)s): "
                          "independent: own St, CoW, CoE; independent-exp: also own n_U, n_M; "
                          "shared-st: one St; shared-exp: one St, n_U, n_M; shared-st-exp: one St, own n_U, n_M; "
                          "shared-co: one St, CoW, CoE, own n_U, n_M")
    _add_columns(fit)
    _add_bins(fit)
    _add_model(fit)
    search = fit.add_argument_group("search")
    search.add_argument("--st-bounds", type=float, nargs=2, metavar=("LO", "HI"), help="St range (default 0.01 10)")
    search.add_argument("--co-bounds", type=float, nargs=2, metavar=("LO", "HI"),
                        help="CoW, CoE range (default 0.01 100)")
    search.add_argument("--n-exp-bounds", type=float, nargs=2, metavar=("LO", "HI"),
                        help="range of fitted exponents (default 0.5 5)")
    search.add_argument("--co-penalty", type=float, metavar="X", help="penalty on large CoW, CoE (default 0)")
    search.add_argument("--weights", choices=("molecules", "equal"),
                        help="weight of each density bin in the shared fits (default: molecules)")
    search.add_argument("--fit-vmax", action="store_true", default=None,
                        help="also fit a shared Vmax (shared-exp, shared-st-exp)")
    search.add_argument("--vmax-bounds", type=float, nargs=2, metavar=("LO", "HI"),
                        help="Vmax range (default 0.001 1e6)")
    _add_run(fit, n_boot_help="bootstrap samples (default: 0, no bootstrap)")
    fit.add_argument("--profile-st", type=int, default=0, metavar="N",
                     help="profile likelihood of a shared St at N points around the fitted St (default: 0, none)")
    _add_output(fit)
    add_read_options(fit.add_argument_group("reads (when the input is a BAM/CRAM or a call table)"))
    fit.set_defaults(run=_run_fit)

    phase = commands.add_parser(
        "phase", help="phase diagram of the model over CoW x CoE",
        description="Computes the bistability score, mean methylation, entropy and intermediate fraction of the "
                    "steady state over a log10 CoW x log10 CoE grid at one St. Writes phase.csv, phase_settings.json "
                    "and phase.png (with the fitted density bins of --fits marked on it).")
    phase.add_argument("--st", type=float, help="spontaneous rate St (default: the shared St of --fits)")
    phase.add_argument("--fits", type=Path, metavar="CSV", help="a fits.csv of `velkora fit` to mark on the diagram")
    phase.add_argument("--log-cow", type=float, nargs=2, metavar=("LO", "HI"),
                       help="log10 CoW range (default -2 3, or around the fitted points)")
    phase.add_argument("--log-coe", type=float, nargs=2, metavar=("LO", "HI"),
                       help="log10 CoE range (default -2 3, or around the fitted points)")
    phase.add_argument("--points", type=int, default=61, metavar="N",
                       help="grid points per axis (default: %(default)s)")
    phase.add_argument("--quantity", choices=("bistability", "avg_meth", "entropy", "frac_inter"),
                       default="bistability", help="what the figure shows (default: %(default)s)")
    _add_model(phase)
    _add_output(phase)
    phase.set_defaults(run=_run_phase)

    drift = commands.add_parser(
        "drift", help="fit the drift of the distributions over ages",
        description="Bins a per-molecule table with an age column, age by age, and fits every density bin's "
                    "StE, StW to the change from the youngest age. Writes binned_by_age.csv, drift.csv, "
                    "drift_settings.json, "
                    "drift_samples.csv (with --n-boot) and drift.png.")
    drift.add_argument("molecules", help="per-molecule table with an age column")
    drift.add_argument("--age-column", default="age", metavar="NAME",
                       help="age of each molecule (default: %(default)s)")
    _add_columns(drift)
    _add_bins(drift)
    drift.add_argument("--st-bounds", type=float, nargs=2, metavar=("LO", "HI"),
                       help="range of StE and StW (default 1e-4 1)")
    _add_run(drift, n_boot_help="bootstrap samples (default: 0, no bootstrap)")
    _add_output(drift)
    drift.set_defaults(run=_run_drift)

    synthetic = commands.add_parser(
        "synthetic", help="write a synthetic molecule table drawn from the model",
        description="Writes a per-molecule table drawn from the model with known parameters (for trying the "
                    "other commands); the true parameters go to <out>.truth.csv.")
    synthetic.add_argument("out", type=Path, help="table to write: .csv or .parquet")
    synthetic.add_argument("--molecules", type=int, default=5000, metavar="N",
                           help="molecules per density bin (default: %(default)s)")
    synthetic.add_argument("--shared-st", type=float, metavar="ST", help="one St for every density bin")
    synthetic.add_argument("--ages", type=float, nargs="+", metavar="AGE",
                           help="draw a drift time course at these ages (adds an age column)")
    synthetic.add_argument("--seed", type=int, default=0, help="seed of the draws (default: %(default)s)")
    synthetic.set_defaults(run=_run_synthetic)
    add_molecules_command(commands)
    return parser


# ---------------------------------------------------------------- output


def _json_value(value):
    """Settings as strict JSON: tuples as lists, non-finite floats as strings."""
    if isinstance(value, (list, tuple)):
        return [_json_value(v) for v in value]
    if isinstance(value, dict):
        return {k: _json_value(v) for k, v in value.items()}
    if isinstance(value, (float, np.floating)) and not math.isfinite(value):
        return str(float(value))
    if isinstance(value, np.generic):
        return value.item()
    return value


class _Writer:
    def __init__(self, args):
        self.out, self.quiet, self.figures = args.out, args.quiet, not args.no_figures
        self.written: dict[Path, None] = {}  # in order, each file once
        try:
            self.out.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise InputError(f"cannot create the output directory {self.out}: {error.strerror}") from None
        if self.figures:
            from . import plot  # noqa: F401, PLC0415 - fail now, not after a long fit, without matplotlib

    def table(self, name: str, frame, index: bool = True) -> None:
        frame.to_csv(self.out / name, index=index)
        self.written[self.out / name] = None

    def json(self, name: str, content: dict) -> None:
        path = self.out / name
        path.write_text(json.dumps(_json_value(content), indent=2, allow_nan=False) + "\n")
        self.written[path] = None

    def figure(self, name: str, make) -> None:
        if not self.figures:
            return
        make().savefig(self.out / name, dpi=120)
        self.written[self.out / name] = None

    def say(self, text: str) -> None:
        if not self.quiet:
            print(text)

    def summary(self) -> None:
        self.say("wrote " + ", ".join(str(p) for p in self.written))


def _settings(args, names) -> dict:
    """The fit settings the user gave (None: left at the library's default)."""
    settings = {name: getattr(args, name) for name in names if getattr(args, name, None) is not None}
    for name, value in settings.items():
        if isinstance(value, list):
            settings[name] = tuple(value)
    return settings


_FIT_SETTINGS = ("normalize_stw", "st_bounds", "co_bounds", "n_exp_bounds", "n_u", "n_m", "co_penalty", "weights",
                 "fit_vmax", "vmax_bounds", "vmax", "raw_count")
_MODEL_SETTINGS = ("normalize_stw", "n_u", "n_m", "vmax", "raw_count")


def _bins(args):
    density = args.density_edges if args.density_edges is not None else args.density_bins
    meth = args.meth_edges if args.meth_edges is not None else args.meth_bins
    columns = {"density": args.density_column, "level": args.level_column,
               "methylated": args.methylated_column, "total": args.total_column}
    return density, meth, columns


def _progress(args, label):
    return None if args.quiet else Progress(label)


def _run_fit(args) -> None:
    import velkora as vk  # noqa: PLC0415
    from . import plot  # noqa: PLC0415

    write = _Writer(args)
    density, meth, columns = _bins(args)
    molecules = molecules_for_fit(args)
    data = vk.bin_molecules(args.molecules if molecules is None else molecules, density, meth, **columns)
    write.table("binned.csv", data.frame())
    write.say(f"binned {int(data.n_molecules.sum()):,} molecules into {data.n_densities} density bins x "
              f"{data.n_meth_bins} methylation bins")
    try:
        result = vk.fit(data, args.mode, **_settings(args, _FIT_SETTINGS))
    except KeyboardInterrupt:
        raise _Interrupted("stopped before the fit finished; binned.csv was written") from None
    record = {"command": "fit", "molecules": str(args.molecules), "mode": result.mode, "settings": result.settings,
              "shared": result.shared, "total_nll": result.total_nll}
    write.table("fits.csv", result.table)
    write.json("fit_settings.json", record)
    write.figure("fit.png", lambda: plot.fit_figure(result))
    write.say(result.table.to_string(max_cols=12))
    if result.shared:
        write.say("shared: " + ", ".join(f"{k} = {v:.6g}" for k, v in result.shared.items()))

    if args.n_boot:
        progress = _progress(args, "bootstrap")
        boot = vk.bootstrap(result, args.n_boot, seed=args.seed, chunk_size=args.chunk_size, progress=progress,
                            keep_partial=True, percentiles=args.percentiles)
        record["bootstrap"] = {"n_boot": boot.n_boot, "seed": boot.seed, "n_done": boot.n_done,
                               "complete": boot.complete, "percentiles": args.percentiles}
        write.json("fit_settings.json", record)
        if boot.n_done:
            write.table("bootstrap_samples.csv", boot.samples, index=False)
            write.table("bootstrap_intervals.csv", boot.intervals)
            write.figure("bootstrap.png", lambda: plot.bootstrap_figure(boot))
        if not boot.complete:
            if progress is not None:
                progress.stop()
            raise _Interrupted(f"stopped: {boot.n_done} of {boot.n_boot} bootstrap samples finished and saved")

    if args.profile_st:
        if result.mode not in _SHARED_ST_MODES:
            raise InputError(f"--profile-st needs a mode with a shared St ({', '.join(_SHARED_ST_MODES)}), "
                             f"not {result.mode}")
        st = result.shared["St"]
        low, high = result.settings["st_bounds"]
        grid = np.geomspace(max(st / 2, low), min(st * 2, high), args.profile_st)
        try:
            profile = vk.profile_st(data, grid, **_settings(args, _FIT_SETTINGS))
        except KeyboardInterrupt:
            raise _Interrupted("stopped during the St profile; the fit (and bootstrap) were saved") from None
        write.table("st_profile.csv", profile, index=False)
        write.figure("st_profile.png", lambda: plot.profile_figure(profile, fitted_st=st))
    write.summary()


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


def _run_phase(args) -> None:
    import velkora as vk  # noqa: PLC0415
    from . import plot  # noqa: PLC0415

    if args.points < 2:
        raise InputError(f"--points must be at least 2, not {args.points}")
    fits = _fits_table(args.fits) if args.fits is not None else None
    st = args.st
    if st is None:
        if fits is None:
            raise InputError("give --st, or --fits to take the St of a fit")
        st = float(fits["St"].median())
    ranges = []
    for given, column in ((args.log_cow, "CoW"), (args.log_coe, "CoE")):
        if given is not None:
            ranges.append(tuple(given))
        elif fits is not None:
            values = np.log10(fits[column].to_numpy())
            ranges.append((math.floor(values.min()) - 1.0, math.ceil(values.max()) + 1.0))
        else:
            ranges.append((-2.0, 3.0))
    write = _Writer(args)
    grid = vk.phase_grid(st, np.linspace(*ranges[0], args.points), np.linspace(*ranges[1], args.points),
                         **_settings(args, _MODEL_SETTINGS))
    write.table("phase.csv", grid.frame(), index=False)
    write.json("phase_settings.json", {"command": "phase", "st": st, "log_cow": ranges[0], "log_coe": ranges[1],
                                 "points": args.points, "fits": None if fits is None else str(args.fits),
                                 "settings": grid.settings})
    write.figure("phase.png", lambda: plot.phase_figure(grid, quantity=args.quantity, fits=fits))
    write.say(f"St = {st:.6g}: bistable (score > 0.5) at {np.mean(grid.bistability > 0.5):.1%} of the grid")
    write.summary()


def _run_drift(args) -> None:
    import velkora as vk  # noqa: PLC0415
    from . import plot  # noqa: PLC0415

    write = _Writer(args)
    density, meth, columns = _bins(args)
    data = vk.bin_molecules_by_age(args.molecules, density, meth, age=args.age_column, **columns)
    write.table("binned_by_age.csv", _drift_frame(data))
    progress = _progress(args, "drift bootstrap") if args.n_boot else None
    options = {} if args.st_bounds is None else {"st_bounds": tuple(args.st_bounds)}
    try:
        result = vk.fit_drift(data, n_boot=args.n_boot, seed=args.seed, chunk_size=args.chunk_size,
                              progress=progress, keep_partial=True, percentiles=args.percentiles, **options)
    except KeyboardInterrupt:
        raise _Interrupted("stopped before the drift fit finished; binned_by_age.csv was written") from None
    write.table("drift.csv", result.table)
    write.json("drift_settings.json", {"command": "drift", "molecules": str(args.molecules), "ages": data.ages.tolist(),
                                 "settings": result.settings, "n_boot": result.n_boot, "seed": result.seed,
                                 "n_done": result.n_done, "complete": result.complete})
    if result.samples is not None and result.n_done:
        write.table("drift_samples.csv", result.samples, index=False)
    write.figure("drift.png", lambda: plot.drift_figure(result))
    write.say(result.table.to_string(max_cols=12))
    if not result.complete:
        if progress is not None:
            progress.stop()
        raise _Interrupted(f"stopped: {result.n_done} of {result.n_boot} bootstrap samples finished and saved")
    write.summary()


def _drift_frame(data):
    import pandas as pd  # noqa: PLC0415

    frames = [binned.frame().assign(age=age).set_index("age", append=True) for age, binned in
              zip(data.ages, data.by_age)]
    return pd.concat(frames).reorder_levels(["age", "density_bin"])


def _run_synthetic(args) -> None:
    import pandas as pd  # noqa: PLC0415

    import velkora as vk  # noqa: PLC0415

    if args.molecules < 1:
        raise InputError(f"--molecules must be at least 1, not {args.molecules}")
    if args.ages is not None:
        table = vk.synthetic_drift_molecules(0.02, 0.01, args.ages, molecules_per_density=args.molecules,
                                             seed=args.seed)
        truth = pd.DataFrame([table.attrs["truth"]])
    else:
        table = vk.synthetic_molecules(molecules_per_density=args.molecules, seed=args.seed,
                                       shared_st=args.shared_st)
        truth = pd.DataFrame(table.attrs["truth"])
    suffix = args.out.suffix.lower()
    if suffix not in (".csv", ".parquet", ".pq"):
        raise InputError(f"{args.out}: write .csv or .parquet, not {suffix or 'no suffix'}")
    try:
        args.out.parent.mkdir(parents=True, exist_ok=True)
        if suffix == ".csv":
            table.to_csv(args.out, index=False)
        else:
            table.to_parquet(args.out, index=False)
        truth.to_csv(args.out.with_suffix(".truth.csv"), index=False)
    except OSError as error:
        raise InputError(f"cannot write {args.out}: {error.strerror}") from None
    print(f"wrote {len(table):,} molecules to {args.out} and the true parameters to "
          f"{args.out.with_suffix('.truth.csv')}")


# ---------------------------------------------------------------- main


def main(argv=None) -> int:
    """Runs the ``velkora`` command; returns its exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        args.run(args)
    except _Interrupted as stop:
        print(f"velkora: {stop}", file=sys.stderr)
        return EXIT_INTERRUPTED
    except KeyboardInterrupt:
        print("velkora: stopped", file=sys.stderr)
        return EXIT_INTERRUPTED
    except (InputError, ImportError) as error:
        print(f"velkora: error: {error}", file=sys.stderr)
        return EXIT_INPUT
    except RuntimeError as error:  # the module's refusal of a fit it cannot do
        print(f"velkora: fit failed: {error}", file=sys.stderr)
        return EXIT_FAILED
    return 0


if __name__ == "__main__":
    sys.exit(main())
