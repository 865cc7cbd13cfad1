"""``velkora differential``: which rate differs between the groups of a design."""

from __future__ import annotations

import sys
from pathlib import Path

from .. import _output
from .._output import Progress
from .._errors import InputError
from ..counts.design import PROGRESS_UNIT
from ..model.modes import MODES
from .options import (COMPARE_SETTINGS, GLOSSARY, add_bins, add_columns, add_model, add_output, add_read_options, add_rerun,
                      add_search, add_strata, integer, settings_of)
from .runs import (Interrupted, as_options, check_report, figure_files, file_stem, input_record, keep, load_rerun,
                   recorded_options, say, summary)

FILES = ("differential.csv", "differential_estimates.csv", "group_fits.csv", "samples.csv",
         "differential_settings.json", "differential.log", "report.html",
         *figure_files("differential", "differential_tests", "differential_*"))


def add_parser(commands) -> None:
    differential = commands.add_parser(
        "differential", help="test which rate differs between the groups of a design",
        description="Counts every sample of a design table (columns sample, group, path) with one set of edges, "
                    "fits the mode to each group's molecules pooled (H1) and, for each parameter, with that "
                    "parameter tied across the groups (H0), and reports the likelihood-ratio statistic with its "
                    "chi-square p (molecules taken as independent, also across replicates), Holm's adjustment, a "
                    "replicate-aware permutation p where every group has two samples or more (groups relabelled "
                    "over the samples), optionally a parametric-bootstrap p, and every group's estimates with "
                    "95 %% profile-likelihood intervals, marking what the data do not identify. Writes "
                    "differential.csv, differential_estimates.csv, group_fits.csv, samples.csv, "
                    "differential_settings.json, the figures differential (estimates per group) and "
                    "differential_tests (p-values) and, with --report, report.html. " + GLOSSARY)
    differential.add_argument("--design", type=Path, metavar="TABLE",
                              help="design table (TSV or CSV): sample, group, path (relative to the table's "
                                   "folder), further columns kept as annotations")
    differential.add_argument("--mode", choices=MODES, default="shared-st",
                              help="the mode fitted to every group (default: %(default)s, one St per group and "
                                   "its own CoW, CoE per density bin)")
    differential.add_argument("--between", default="group", metavar="COLUMN",
                              help="the design column whose values are the groups (default: %(default)s)")
    differential.add_argument("--parameters", nargs="+", metavar="NAME",
                              help="the parameters to test (default: every one the mode fits; all at once is "
                                   "always tested)")
    differential.add_argument("--n-perm", type=integer(0), metavar="N",
                              help="random relabelings for the permutation p when there are too many to enumerate "
                                   "(default 999; 0: no permutation p)")
    differential.add_argument("--n-sim", type=integer(0), default=0, metavar="N",
                              help="parametric-bootstrap simulations per test (default: %(default)s)")
    differential.add_argument("--seed", type=integer(0), default=0, help="seed of everything (default: %(default)s)")
    differential.add_argument("--no-intervals", action="store_true",
                              help="skip the profile-likelihood intervals of the group estimates (faster)")
    add_columns(differential)
    add_bins(differential)
    add_strata(differential)
    add_model(differential)
    add_search(differential, weighting=False)
    add_output(differential, log=True, report=True)
    add_rerun(differential, "differential")
    add_read_options(differential.add_argument_group("reads (when the samples are BAM/CRAM files or call tables)"))
    differential.set_defaults(run=run, molecules=None)


def run(args, context) -> None:
    if args.settings is not None:
        load_rerun(args, context.given, "differential", context.terminal)
        args.design = Path(args.design) if args.design is not None else None
    if args.design is None:
        raise InputError("give the design table with --design (or --settings of an earlier run)")

    import velkora as vk  # noqa: PLC0415
    from .. import report  # noqa: PLC0415
    from ..comparison.choice import comparable  # noqa: PLC0415
    from ..model.modes import MODE_TABLE  # noqa: PLC0415
    from .options import CALL_TABLE_OPTIONS, READ_OPTIONS, bins  # noqa: PLC0415
    from .runs import input_kind  # noqa: PLC0415

    settings = settings_of(args, COMPARE_SETTINGS)
    checked = as_options(comparable, {**settings, "seed": args.seed}, 1)
    if args.parameters:
        fitted = MODE_TABLE[args.mode].fitted(checked)
        unknown = [p for p in args.parameters if p not in fitted]
        if unknown:
            raise InputError(f"--parameters: {args.mode} does not fit {unknown[0]}; it fits {', '.join(fitted)}")
    check_report(args)
    design = vk.read_design(args.design)  # every file checked before any is read
    if args.between not in design.table.columns:
        raise InputError(f"--between {args.between}: the design has no such column (it has "
                         f"{', '.join(design.table.columns)})")
    record = {"command": "differential", "velkora_version": vk.__version__,
              "command_line": " ".join(["velkora", *context.argv]), "input": input_record(args.design),
              "samples": {sample: input_record(path) for sample, path in design.table["path"].items()},
              "options": recorded_options(args)}
    out = _output.Output(args.out, FILES, figures=not args.no_figures)
    context.output = out
    kind = input_kind(design.table["path"].iloc[0])
    names = READ_OPTIONS if kind == "alignments" else CALL_TABLE_OPTIONS if kind == "calls" else ()
    options = {name: getattr(args, name) for name in names if name != "threads"}
    if options.get("reference") is not None:
        options["reference"] = str(options["reference"])
    wrong = sorted(name for name in context.given if name in READ_OPTIONS and name not in (*names, "threads"))
    if wrong:
        what = kind or "molecule tables"
        raise InputError(f"--{wrong[0].replace('_', '-')} does not apply to the design's samples ({what})")
    density, meth, columns = bins(args)
    extra = {} if args.strata is None else {"strata": args.strata, "edges_over": args.edges_over}
    progress = None if args.quiet or not sys.stderr.isatty() else Progress(
        "samples", unit=PROGRESS_UNIT, again="samples again, binned by the equal-count edges")
    data = vk.count(design, density, meth, threads=args.threads, progress=progress, **extra, **options,
                    **({} if kind else columns))
    first = next(iter(data.values())) if isinstance(data, dict) else data
    out.table("samples.csv", first.samples)
    say(args, first.samples.to_string())
    log = out.path("differential.log")
    log.write_text(record["command_line"] + "\n")
    try:
        with context.engine_log(log, f"testing ({args.mode})"):
            result = vk.differential(data, args.mode, between=args.between, parameters=args.parameters,
                                     n_perm=args.n_perm, n_sim=args.n_sim, seed=args.seed,
                                     intervals=not args.no_intervals, **settings)
    except KeyboardInterrupt:
        raise Interrupted("stopped before the tests finished; nothing was written") from None
    record.update(mode=result.mode, settings=result.settings, complete=True,
                  density_edges=first.density_edges, meth_edges=first.meth_edges)
    out.table("differential.csv", result.tests, index=False)
    out.table("differential_estimates.csv", result.estimates, index=False)
    import pandas as pd  # noqa: PLC0415

    tables = {label: collection.table for label, collection in result.group_fits.items()}
    out.table("group_fits.csv", tables[None] if None in tables else pd.concat(tables, names=["stratum"]))
    out.json("differential_settings.json", record)
    figures = {}
    kind_of_figure = args.figure_format
    if not args.no_figures:
        from .. import plot  # noqa: PLC0415 - matplotlib only for figures
    for label in result.group_fits:
        keep(figures, report.DIFFERENTIAL_CAPTION if label is None else f"{label}: {report.DIFFERENTIAL_CAPTION}",
             out.figure(f"{file_stem('differential', label)}.{kind_of_figure}",
                        lambda label=label: plot.differential_figure(result, stratum=label)))
    keep(figures, report.PVALUE_CAPTION,
         out.figure(f"differential_tests.{kind_of_figure}", lambda: plot.pvalue_figure(result)))
    if args.report:
        report.differential_report(result, data, record=record, figures=figures).save(out.path("report.html"))
    say(args, result.tests.to_string(index=False))
    for row in result.tests.itertuples():
        if not row.identified:
            context.terminal.line(f"velkora: warning: test of {row.parameter}: {row.note}")
    summary(args, out.commit())
