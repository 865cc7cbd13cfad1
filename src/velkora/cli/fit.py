"""``velkora fit``: bin an input and fit every density bin in one mode, with
an optional bootstrap and St profile."""

from __future__ import annotations

import math

import numpy as np

from .. import _output
from .._errors import InputError
from .._output import Progress
from ..model.modes import MODES
from .options import (FIT_SETTINGS, GLOSSARY, SHARED_ST_MODES, add_bins, add_columns, add_model, add_output,
                      add_read_options, add_rerun, add_run, add_search, add_strata, integer, mode_help,
                      settings_of)
from .runs import (Interrupted, as_options, binned_input, check_report, check_run_options, figure_files, header,
                   keep, load_rerun, say, summary, warn_at_bounds)

# Every file the command can write (what a rerun into the same directory replaces), figures in every format.
FILES = ("binned.csv", "fits.csv", "fit_settings.json", "fit.log", "bootstrap_samples.csv",
         "bootstrap_intervals.csv", "st_profile.csv", "st_profile_interval.csv", "report.html",
         *figure_files("fit", "bootstrap", "st_profile"))


def add_parser(commands) -> None:
    fit = commands.add_parser(
        "fit", help="bin a molecule table (or reads) and fit every density bin",
        description="Bins a per-molecule table (CSV, TSV or Parquet) or reads (BAM/CRAM/SAM, modkit or Bismark "
                    "call tables) by CpG density and methylation level, fits the model in the chosen mode, and "
                    "optionally bootstraps the fit (resampling molecules) and profiles the shared St. Writes "
                    "binned.csv, fits.csv, fit_settings.json, fit.log, bootstrap_samples.csv, "
                    "bootstrap_intervals.csv, st_profile.csv, st_profile_interval.csv, the figures fit, bootstrap "
                    "and st_profile and, with --report, report.html. " + GLOSSARY)
    fit.add_argument("molecules", nargs="?",
                     help="per-molecule table: .csv, .tsv, .txt, .parquet or .pq; or reads: a BAM, CRAM or SAM "
                          "file, a modkit or Bismark call table (see the read options)")
    fit.add_argument("--mode", choices=MODES, default="independent",
                     help="which parameters the density bins share (default: %(default)s): " + mode_help())
    add_columns(fit)
    add_bins(fit)
    add_model(fit)
    add_search(fit)
    add_run(fit, n_boot_help="bootstrap samples (default: 0, no bootstrap)")
    fit.add_argument("--profile-st", type=integer(3, zero=True), default=0, metavar="N",
                     help="profile likelihood of the shared St at N >= 3 points from St/2 to 2 St, with its 95 %% "
                          "interval (default: 0, none; needs a mode with a shared St)")
    add_output(fit, log=True, report=True)
    add_rerun(fit, "fit")
    add_strata(fit)
    fit.add_argument("--stratum", metavar="NAME", help="fit only this stratum of a stratified input")
    add_read_options(fit.add_argument_group("reads (when the input is a BAM/CRAM or a call table)"))
    fit.set_defaults(run=run)


def run(args, context) -> None:
    if args.settings is not None:
        load_rerun(args, context.given, "fit", context.terminal)
    if args.molecules is None:
        raise InputError("give the molecule table to fit (or --settings of an earlier run)")

    import velkora as vk  # noqa: PLC0415
    from .. import plot, report  # noqa: PLC0415
    from ..fitting.settings import check_settings  # noqa: PLC0415

    # Every option is checked before any work, so that a mistake costs nothing.
    settings = settings_of(args, FIT_SETTINGS)
    as_options(check_settings, settings, 1)
    check_run_options(args)
    if args.profile_st and args.mode not in SHARED_ST_MODES:
        raise InputError(f"--profile-st needs a mode with a shared St ({', '.join(SHARED_ST_MODES)}), "
                         f"not {args.mode}")
    check_report(args)
    record = header(args, context.argv, "fit")
    out = _output.Output(args.out, FILES, figures=not args.no_figures)
    context.output = out
    data = binned_input(args, context)
    record["density_edges"], record["meth_edges"] = data.density_edges, data.meth_edges
    if context.reads is not None:
        record["reads"] = context.reads
    out.table("binned.csv", data.frame())
    log = out.path("fit.log")
    log.write_text(record["command_line"] + "\n")
    try:
        with context.engine_log(log, f"fitting ({args.mode})"):
            result = vk.fit(data, args.mode, **settings)
    except KeyboardInterrupt:
        raise Interrupted("stopped before the fit finished; nothing was written") from None
    record.update(mode=result.mode, settings=result.settings, shared=result.shared, total_nll=result.total_nll,
                  llf=result.llf, aic=result.aic, bic=result.bic, at_bound=result.at_bound,
                  observation={"model": result.observation, "reason": result.observation_reason,
                               "median_depth": data.median_depth}, complete=True)
    depth = "" if data.median_depth is None else f"; median depth {data.median_depth:g} called sites"
    say(args, f"observation model: {result.observation} ({result.observation_reason}{depth})")
    out.table("fits.csv", result.table)
    out.json("fit_settings.json", record)
    kind = args.figure_format
    figures = {}  # caption -> figure, for the report
    keep(figures, report.fit_caption(result), out.figure(f"fit.{kind}", lambda: plot.fit_figure(result)))
    say(args, result.table.to_string(max_cols=12))
    if result.shared:
        say(args, "shared: " + ", ".join(f"{k} = {v:.6g}" for k, v in result.shared.items()))
    warn_at_bounds(context, result)

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
            kept = out.commit()
            missing = [what for what, asked in (("the bootstrap figure", not args.no_figures),
                                                ("the St profile", bool(args.profile_st)),
                                                ("report.html", args.report)) if asked]
            raise Interrupted(f"stopped: {boot.n_done} of {boot.n_boot} bootstrap samples finished and saved "
                              f"(marked incomplete in fit_settings.json); kept {', '.join(p.name for p in kept)}"
                              + (f"; not written: {', '.join(missing)}" if missing else ""))
        reached = boot.intervals["at_bound"]
        if (reached != "").any():
            context.terminal.line("velkora: warning: bootstrap intervals reach a search bound (cut by the range, "
                                  "not the data): " + "; ".join(f"{label}: {text}" for label, text in reached.items()
                                                                 if text))
        keep(figures, report.BOOTSTRAP_CAPTION, out.figure(f"bootstrap.{kind}", lambda: plot.bootstrap_figure(boot)))
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
            kept = out.commit()
            raise Interrupted(f"stopped during the St profile (marked incomplete in fit_settings.json); kept "
                              f"{', '.join(p.name for p in kept)}; not written: the St profile"
                              + (", report.html" if args.report else "")) from None
        interval = profile.intervals.iloc[0]
        record["profile"] = {"points": args.profile_st, "complete": True,
                             "interval": {"St": interval["estimate"], "lo": interval["lo"], "hi": interval["hi"],
                                          "threshold": interval["threshold"], "xtol": interval["xtol"]}}
        out.table("st_profile.csv", profile.table, index=False)
        out.table("st_profile_interval.csv", profile.intervals, index=False)
        out.json("fit_settings.json", record)
        keep(figures, report.PROFILE_CAPTION,
              out.figure(f"st_profile.{kind}", lambda: plot.profile_figure(profile, fitted_st=st)))
        ends = [f"{v:.6g}" if math.isfinite(v) else "open" for v in (interval["lo"], interval["hi"])]
        say(args, f"95 % profile-likelihood interval of St: [{ends[0]}, {ends[1]}]")
    if args.report:
        report.fit_report(result, bootstrap=boot, profile=profile, record=record,
                          figures=figures).save(out.path("report.html"))
    summary(args, out.commit())

