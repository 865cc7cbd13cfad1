"""``velkora drift``: fit the spontaneous rates that carry the methylation
distributions of the youngest age to the later ones."""

from __future__ import annotations

import math

from .. import _output
from .._errors import InputError
from .._output import Progress
from .options import add_bins, add_columns, add_output, add_read_options, add_rerun, add_run, number
from .runs import (Interrupted, as_options, check_input_options, check_run_options, figure_files, header,
                   load_rerun, say, summary)

FILES = ("binned_by_age.csv", "drift.csv", "drift_settings.json", "drift.log", "drift_samples.csv",
         *figure_files("drift", "drift_intervals"))


def add_parser(commands) -> None:
    drift = commands.add_parser(
        "drift", help="fit the drift of the distributions over ages",
        description="Bins the molecules of several ages, age by age, into the same bins and fits every density "
                    "bin's StE, StW (the spontaneous erasing and writing rates) to the change from the youngest "
                    "age. The input is one per-molecule table with an age column, or one input per age (molecule "
                    "tables or reads: BAM/CRAM/SAM, modkit or Bismark call tables) with --ages. Writes "
                    "binned_by_age.csv, drift.csv, drift_settings.json, drift_samples.csv (with --n-boot) and the "
                    "figures drift and, with --n-boot, drift_intervals.")
    drift.add_argument("molecules", nargs="*", metavar="INPUT",
                       help="a per-molecule table with an age column, or one input per age with --ages")
    drift.add_argument("--age-column", default="age", metavar="NAME",
                       help="age of each molecule in a single table (default: %(default)s)")
    drift.add_argument("--ages", type=number, nargs="+", metavar="AGE",
                       help="the age of each input, in the inputs' order (at least two inputs)")
    add_columns(drift)
    add_bins(drift)
    drift.add_argument("--st-bounds", type=number, nargs=2, metavar=("LO", "HI"),
                       help="range of StE and StW (default 1e-4 1)")
    add_run(drift, n_boot_help="bootstrap samples (default: 0, no bootstrap)")
    add_output(drift)
    add_rerun(drift, "drift")
    add_read_options(drift.add_argument_group("reads (when an input is a BAM/CRAM or a call table)"))
    drift.set_defaults(run=run)


def _check_inputs(args) -> None:
    if not args.molecules:
        raise InputError("give the molecule table to fit, or one input per age with --ages (or --settings of an "
                         "earlier run)")
    if args.ages is None:
        if len(args.molecules) > 1:
            raise InputError(f"{len(args.molecules)} inputs need --ages, one age per input")
        return
    if len(args.ages) != len(args.molecules):
        raise InputError(f"--ages gives {len(args.ages)} ages for {len(args.molecules)} inputs; give one per input")
    if len(args.molecules) < 2:
        raise InputError("--ages needs at least two inputs, one per age (a single table takes its ages from "
                         "--age-column)")
    if not all(math.isfinite(age) for age in args.ages) or len(set(args.ages)) != len(args.ages):
        raise InputError(f"--ages must be distinct finite numbers, not {' '.join(f'{a:g}' for a in args.ages)}")


def _binned_by_age(args, context):
    """The DriftData of the inputs: one table's age column, or one input per
    age (reads or molecule tables), counted where they are read."""
    from ..counts.counting import Columns, count_by_age  # noqa: PLC0415
    from .options import CALL_TABLE_OPTIONS, READ_OPTIONS, bins  # noqa: PLC0415
    from .runs import input_kind  # noqa: PLC0415

    density, meth, columns = bins(args)
    kinds = set()
    for path in args.molecules:
        check_input_options(path, context.given)
        kinds.add(input_kind(path))
    if "counts" in kinds:
        raise InputError("drift needs molecules or reads, not a count file (it holds no ages)")
    if args.ages is None and kinds != {None}:
        raise InputError(f"{args.molecules[0]}: reads carry no ages; give one input per age with --ages")
    if len(kinds) > 1:
        raise InputError("the inputs of a drift fit must be of one kind: all molecule tables, or all reads")
    kind = kinds.pop()
    names = READ_OPTIONS if kind == "alignments" else CALL_TABLE_OPTIONS if kind == "calls" else ()
    options = {name: getattr(args, name) for name in names if name != "threads"}
    if options.get("reference") is not None:
        options["reference"] = str(options["reference"])
    sources = args.molecules if args.ages is not None else args.molecules[0]
    return count_by_age(sources, density, meth, ages=args.ages, age=args.age_column, threads=args.threads,
                        columns=Columns(**columns), **options)


def run(args, context) -> None:
    if args.settings is not None:
        load_rerun(args, context.given, "drift", context.terminal)
    _check_inputs(args)

    import velkora as vk  # noqa: PLC0415
    from .. import _checks, plot  # noqa: PLC0415

    options = {} if args.st_bounds is None else {"st_bounds": tuple(args.st_bounds)}
    if options:
        as_options(_checks.bounds, options["st_bounds"], "st_bounds", positive=True)
    check_run_options(args)
    record = header(args, context.argv, "drift")
    out = _output.Output(args.out, FILES, figures=not args.no_figures)
    context.output = out
    data = _binned_by_age(args, context)
    record["ages"], record["density_edges"], record["meth_edges"] = data.ages, data.density_edges, data.meth_edges
    out.table("binned_by_age.csv", _drift_frame(data))
    progress = None if args.quiet or not args.n_boot else Progress("drift bootstrap", stream=context.terminal.stream)
    try:
        result = vk.fit_drift(data, n_boot=args.n_boot, seed=args.seed, chunk_size=args.chunk_size,
                              progress=progress, keep_partial=True, percentiles=args.percentiles, **options)
    except KeyboardInterrupt:
        raise Interrupted("stopped before the drift fit finished; nothing was written") from None
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
        raise Interrupted(f"stopped: {result.n_done} of {result.n_boot} bootstrap samples finished and saved "
                           "(marked incomplete in drift_settings.json)")
    out.figure(f"drift.{args.figure_format}", lambda: plot.drift_figure(result))
    if result.n_boot:
        out.figure(f"drift_intervals.{args.figure_format}", lambda: plot.drift_interval_figure(result))
    say(args, result.table.to_string(max_cols=12))
    summary(args, out.commit())


def _drift_frame(data):
    import pandas as pd  # noqa: PLC0415

    frames = [binned.frame().assign(age=age).set_index("age", append=True) for age, binned in
              zip(data.ages, data.by_age)]
    return pd.concat(frames).reorder_levels(["age", "density_bin"])

