"""``velkora compare``: fit several modes to the same data and compare them."""

from __future__ import annotations

import io
import os
from contextlib import contextmanager

from .. import _output
from .._errors import InputError
from .._output import Progress, Terminal
from ..model.modes import MODES
from .options import (COMPARE_SETTINGS, GLOSSARY, add_bins, add_columns, add_model, add_output, add_read_options,
                      add_rerun, add_search, add_strata, integer, settings_of)
from .runs import (Interrupted, as_options, check_report, counted_members, figure_files, file_stem, header, keep,
                   labelled_caption, load_rerun, say, stratum_heading, summary, titled, warn_at_bounds)

FILES = ("comparison.csv", "likelihood_ratio_tests.csv", "likelihood_ratio_simulations.csv", "goodness_of_fit.csv",
         "residuals.csv", "compare_fits.csv", "compare_settings.json", "compare.log", "report.html",
         *figure_files("comparison", *(f"fit_{mode}" for mode in MODES), *(f"residuals_{mode}" for mode in MODES),
                       "comparison_*", "fit_*", "residuals_*"))


def add_parser(commands) -> None:
    compare = commands.add_parser(
        "compare", help="fit several modes to the same molecules and compare them",
        description="Bins a per-molecule table or reads as `velkora fit` does, fits every chosen mode to it and "
                    "compares "
                    "them: log-likelihood of the molecule counts, AIC, BIC and Akaike weights per mode, "
                    "likelihood-ratio tests of every nested pair (asymptotic, and by parametric bootstrap with "
                    "--n-sim), and each density bin's goodness of fit (G statistic, Pearson residuals). The density "
                    "bins are always weighted by their molecules, without a penalty, so that the fits maximise "
                    "the likelihood. Writes comparison.csv, likelihood_ratio_tests.csv, "
                    "likelihood_ratio_simulations.csv (with --n-sim), goodness_of_fit.csv, residuals.csv, "
                    "compare_fits.csv, compare_settings.json, compare.log, the figures comparison (AIC and BIC), "
                    "fit_<mode> (with each density bin's G test) and residuals_<mode> and, with --report, "
                    "report.html. " + GLOSSARY)
    compare.add_argument("molecules", nargs="?",
                         help="per-molecule table: .csv, .tsv, .txt, .parquet or .pq; or reads: a BAM, CRAM or SAM "
                              "file, a modkit or Bismark call table (see the read options)")
    compare.add_argument("--modes", choices=MODES, nargs="+", default=list(MODES), metavar="MODE",
                         help=f"the modes to compare (default: all of {', '.join(MODES)})")
    add_columns(compare)
    add_bins(compare)
    add_model(compare)
    add_search(compare, weighting=False)
    tests = compare.add_argument_group("tests and seeds")
    tests.add_argument("--n-sim", type=integer(0), default=0, metavar="N",
                       help="parametric-bootstrap simulations per nested pair (default: %(default)s, asymptotic "
                            "p-values only)")
    tests.add_argument("--seed", type=integer(0), default=0,
                       help="seed of the fits' searches and of the simulations (default: %(default)s)")
    add_output(compare, log=True, report=True)
    add_rerun(compare, "compare")
    add_strata(compare)
    compare.add_argument("--stratum", metavar="NAME", help="fit only this stratum of a stratified input")
    add_read_options(compare.add_argument_group("reads (when the input is a BAM/CRAM or a call table)"))
    compare.set_defaults(run=run)


@contextmanager
def _terminal_stream(terminal: Terminal):
    """A stream to the terminal that stays there while the engine's descriptor 2 goes into a log file."""
    if not _output.uses_fd_2(terminal.stream):
        yield terminal.stream
        return
    stream = io.TextIOWrapper(io.FileIO(os.dup(2), "w"), line_buffering=True)
    try:
        yield stream
    finally:
        stream.close()


def run(args, context) -> None:
    if args.settings is not None:
        load_rerun(args, context.given, "compare", context.terminal)
    if args.molecules is None:
        raise InputError("give the molecule table to compare the modes on (or --settings of an earlier run)")

    import pandas as pd  # noqa: PLC0415

    import velkora as vk  # noqa: PLC0415
    from .. import report  # noqa: PLC0415
    from ..comparison.choice import comparable  # noqa: PLC0415

    if not args.no_figures:
        from .. import plot  # noqa: PLC0415

    settings = settings_of(args, COMPARE_SETTINGS)
    as_options(comparable, {**settings, "seed": args.seed}, 1)
    repeated = [mode for k, mode in enumerate(args.modes) if mode in args.modes[:k]]
    if repeated:
        raise InputError(f"--modes names {repeated[0]} twice")
    check_report(args)
    record = header(args, context.argv, "compare")
    out = _output.Output(args.out, FILES, figures=not args.no_figures)
    context.output = out
    data, members = counted_members(args, context, record)
    log = out.path("compare.log")
    log.write_text(record["command_line"] + "\n")
    results = {}
    with _terminal_stream(context.terminal) as stream:
        # With simulations their bar shows the progress; the fits' status line would overwrite it.
        progress = None if args.quiet or not args.n_sim else Progress("simulations", stream=stream)
        try:
            for label, part in members.items():
                label_text = f"{stratum_heading(label)}fitting {len(args.modes)} modes"
                with _output.engine_log(log, Terminal(stream), label_text, verbose=args.verbose,
                                        show_progress=not args.quiet and not args.n_sim):
                    results[label] = vk.compare(part, args.modes, n_sim=args.n_sim, seed=args.seed,
                                                progress=progress, **settings)
        except KeyboardInterrupt:
            if progress is not None:
                progress.stop()
            raise Interrupted("stopped before the comparison finished; nothing was written") from None
    one = next(iter(results.values()))
    record.update(modes=list(one.fits), settings=one.settings, n_sim=one.n_sim, seed=one.seed, complete=True)
    if None in results:
        record.update(best_aic=one.best, best_bic=one.best_bic, verdict=one.verdict)
    else:
        record["strata"] = {label: {"best_aic": r.best, "best_bic": r.best_bic, "verdict": r.verdict}
                            for label, r in results.items()}

    def joined(get, index=True):
        if None in results:
            return get(results[None])
        tables = {label: get(r) for label, r in results.items()}
        if index:
            return pd.concat(tables, names=["stratum"])
        return pd.concat([t.assign(stratum=label)[["stratum", *t.columns]] for label, t in tables.items()],
                         ignore_index=True)

    out.table("comparison.csv", joined(lambda r: r.table))
    out.table("likelihood_ratio_tests.csv", joined(lambda r: r.tests, index=False), index=False)
    if any(len(r.simulations) for r in results.values()):
        out.table("likelihood_ratio_simulations.csv", joined(lambda r: r.simulations, index=False), index=False)
    out.table("goodness_of_fit.csv", joined(lambda r: r.goodness_of_fit))
    out.table("residuals.csv", joined(lambda r: r.residuals))
    out.table("compare_fits.csv", joined(lambda r: pd.concat({mode: fit.table for mode, fit in r.fits.items()},
                                                             names=["mode"])))
    out.json("compare_settings.json", record)
    kind, figures = args.figure_format, {}
    for label, result in results.items():
        keep(figures, labelled_caption(report.COMPARISON_CAPTION, label),
             out.figure(f"{file_stem('comparison', label)}.{kind}",
                        titled(lambda result=result: plot.comparison_figure(result), label)))
        for mode, fit in result.fits.items():
            keep(figures, labelled_caption(report.goodness_caption(mode), label),
                 out.figure(f"{file_stem(f'fit_{mode}', label)}.{kind}",
                            titled(lambda fit=fit, result=result: plot.fit_figure(fit, goodness=result), label)))
            keep(figures, labelled_caption(report.residual_caption(mode), label),
                 out.figure(f"{file_stem(f'residuals_{mode}', label)}.{kind}",
                            titled(lambda mode=mode, result=result: plot.residual_figure(result, mode), label)))
    if args.report:
        report.compare_report(results[None] if None in results else results, record=record,
                              figures=figures).save(out.path("report.html"))
    for label, result in results.items():
        if label is not None:
            say(args, f"stratum {label}")
        say(args, result.table.to_string())
        tested = result.tests[result.tests["reason"] == ""]
        if len(tested):
            say(args, tested.drop(columns="reason").to_string(index=False))
        for test in result.tests.itertuples():
            if test.reason and "missed the optimum" in test.reason:
                context.terminal.line(f"velkora: warning: {stratum_heading(label)}{test.reason}")
        for fit in result.fits.values():
            warn_at_bounds(context, fit, label)
            for note in fit.notes:
                context.terminal.line(f"velkora: note: {stratum_heading(label)}{fit.mode}: {note}")
        say(args, stratum_heading(label) + result.verdict)
        misfits = result.goodness_of_fit[result.goodness_of_fit["misfit"]]
        if len(misfits):
            say(args, f"{stratum_heading(label)}density bins the fit does not explain (G test, Bonferroni 0.05): "
                      + ", ".join(f"{mode} {bin_}" for mode, bin_ in misfits.index))
    summary(args, out.commit())
