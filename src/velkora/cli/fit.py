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
from .runs import (Interrupted, as_options, check_report, check_run_options, counted_members, figure_files,
                   file_stem, header, keep, labelled_caption, load_rerun, say, stratum_heading, summary, titled,
                   warn_at_bounds, with_stratum)

# Every file the command can write (what a rerun into the same directory replaces), figures in every format.
FILES = ("binned.csv", "fits.csv", "fit_settings.json", "fit.log", "bootstrap_samples.csv",
         "bootstrap_intervals.csv", "st_profile.csv", "st_profile_interval.csv", "report.html",
         *figure_files("fit", "bootstrap", "st_profile", "fit_*", "bootstrap_*", "st_profile_*"))


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
                     help="which parameters the density bins share (default: %(default)s, which shares nothing "
                          "and so assumes least; shared-st, the examples' choice, assumes one spontaneous rate for "
                          "every density bin): " + mode_help())
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
    from .. import report  # noqa: PLC0415
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
    data, members = counted_members(args, context, record)
    out.table("binned.csv", data.frame())
    log = out.path("fit.log")
    log.write_text(record["command_line"] + "\n")
    try:
        with context.engine_log(log, f"fitting ({args.mode})"):
            result = vk.fit(data, args.mode, **settings)
    except KeyboardInterrupt:
        raise Interrupted("stopped before the fit finished; nothing was written") from None
    fits = result.fits if None not in members else {None: result}
    record.update(mode=result.mode, settings=result.settings, llf=result.llf, aic=result.aic, bic=result.bic,
                  complete=True, **_fit_record(fits, members))
    for label, fit in fits.items():
        d = members[label]
        depth = "" if d.median_depth is None else f"; median depth {d.median_depth:g} called sites"
        say(args, f"{stratum_heading(label)}observation model: {fit.observation} ({fit.observation_reason}{depth})")
    out.table("fits.csv", result.table)
    out.json("fit_settings.json", record)
    kind = args.figure_format
    figures = {}  # caption -> figure, for the report
    for label, fit in fits.items():
        keep(figures, labelled_caption(report.fit_caption(fit), label),
             out.figure(f"{file_stem('fit', label)}.{kind}", titled(lambda fit=fit: _plot().fit_figure(fit), label)))
        say(args, stratum_heading(label) + fit.table.to_string(max_cols=12))
        if fit.shared:
            say(args, "shared: " + ", ".join(f"{k} = {v:.6g}" for k, v in fit.shared.items()))
        warn_at_bounds(context, fit, label)

    boot = None
    if args.n_boot:
        boot = _bootstrap(args, context, out, record, result, fits, figures)
    profiles = {}
    if args.profile_st:
        profiles = _profiles(args, context, out, record, fits, members, settings, log, figures)
    if args.report:
        report.fit_report(result, bootstrap=boot, profile=profiles.get(None) if None in members else profiles,
                          record=record, figures=figures).save(out.path("report.html"))
    summary(args, out.commit())


def _plot():
    from .. import plot  # noqa: PLC0415 - matplotlib only for figures

    return plot


def _fit_record(fits: dict, members: dict) -> dict:
    def one(fit, data):
        return {"shared": fit.shared, "total_nll": fit.total_nll, "at_bound": fit.at_bound,
                "observation": {"model": fit.observation, "reason": fit.observation_reason,
                                "median_depth": data.median_depth}}

    if None in fits:
        return one(fits[None], members[None])
    return {"strata": {label: one(fit, members[label]) for label, fit in fits.items()}}


def _bootstrap(args, context, out, record, result, fits, figures):
    import velkora as vk  # noqa: PLC0415
    from .. import report  # noqa: PLC0415

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
        raise Interrupted(f"stopped: {boot.n_done} of {boot.n_boot * len(fits)} bootstrap samples finished and "
                          f"saved (marked incomplete in fit_settings.json); kept {', '.join(p.name for p in kept)}"
                          + (f"; not written: {', '.join(missing)}" if missing else ""))
    reached = boot.intervals["at_bound"]
    flagged = [f"{' '.join(label) if isinstance(label, tuple) else label}: {text}"
               for label, text in reached.items() if text]
    if flagged:
        context.terminal.line("velkora: warning: bootstrap intervals reach a search bound (cut by the range, not "
                              "the data): " + "; ".join(map(str, flagged)))
    members = boot.bootstraps if hasattr(boot, "bootstraps") else {None: boot}
    for label, one in members.items():
        keep(figures, labelled_caption(report.BOOTSTRAP_CAPTION, label),
             out.figure(f"{file_stem('bootstrap', label)}.{args.figure_format}",
                        titled(lambda one=one: _plot().bootstrap_figure(one), label)))
    out.json("fit_settings.json", record)
    return boot


def _profiles(args, context, out, record, fits, members, settings, log, figures):
    import pandas as pd  # noqa: PLC0415

    import velkora as vk  # noqa: PLC0415
    from .. import report  # noqa: PLC0415

    profiles, tables, intervals = {}, [], []
    for label, fit in fits.items():
        st = fit.shared["St"]
        low, high = fit.settings["st_bounds"]
        # A grid about the estimate; the interval search goes on beyond it until the profile crosses.
        grid = np.geomspace(max(st / 2, low), min(st * 2, high), args.profile_st)
        try:
            with context.engine_log(log, f"{stratum_heading(label)}St profile"):
                profile = vk.profile_st(members[label], grid, **settings)
        except KeyboardInterrupt:
            record["complete"] = False
            record["profile"] = {"points": args.profile_st, "complete": False}
            out.json("fit_settings.json", record)
            kept = out.commit()
            raise Interrupted(f"stopped during the St profile (marked incomplete in fit_settings.json); kept "
                              f"{', '.join(p.name for p in kept)}; not written: the St profile"
                              + (", report.html" if args.report else "")) from None
        profiles[label] = profile
        interval = profile.intervals.iloc[0]
        tables.append(with_stratum(profile.table, label))
        intervals.append(with_stratum(profile.intervals, label))
        keep(figures, labelled_caption(report.PROFILE_CAPTION, label),
             out.figure(f"{file_stem('st_profile', label)}.{args.figure_format}",
                        titled(lambda profile=profile, st=st: _plot().profile_figure(profile, fitted_st=st), label)))
        ends = [f"{v:.6g}" if math.isfinite(v) else "open" for v in (interval["lo"], interval["hi"])]
        say(args, f"{stratum_heading(label)}95 % profile-likelihood interval of St: [{ends[0]}, {ends[1]}]")
    def recorded(profile):
        row = profile.intervals.iloc[0]
        return {"St": row["estimate"], "lo": row["lo"], "hi": row["hi"], "threshold": row["threshold"],
                "xtol": row["xtol"]}

    record["profile"] = {"points": args.profile_st, "complete": True,
                         "interval": recorded(profiles[None]) if None in profiles else
                         {label: recorded(p) for label, p in profiles.items()}}
    out.table("st_profile.csv", pd.concat(tables, ignore_index=True), index=False)
    out.table("st_profile_interval.csv", pd.concat(intervals, ignore_index=True), index=False)
    out.json("fit_settings.json", record)
    return profiles
