"""``velkora phase``: the phase diagram of the model over CoW x CoE."""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np

from .. import _output
from .._errors import InputError
from .options import MODEL_SETTINGS, add_model, add_output, integer, number, settings_of
from .runs import as_options, figure_files, say, summary

FILES = ("phase.csv", "phase_settings.json", *figure_files("phase"))


def add_parser(commands) -> None:
    phase = commands.add_parser(
        "phase", help="phase diagram of the model over CoW x CoE",
        description="Computes the bistability score, mean methylation, entropy and intermediate fraction of the "
                    "steady state over a log10 CoW x log10 CoE grid at one St. Writes phase.csv, phase_settings.json "
                    "and the figure phase (with the fitted density bins of --fits marked on it).")
    phase.add_argument("--st", type=number, help="spontaneous rate St (default: the shared St of --fits)")
    phase.add_argument("--fits", type=Path, metavar="CSV", help="a fits.csv of `velkora fit` to mark on the diagram")
    phase.add_argument("--log-cow", type=number, nargs=2, metavar=("LO", "HI"),
                       help="log10 CoW range (default -2 3, or around the fitted points)")
    phase.add_argument("--log-coe", type=number, nargs=2, metavar=("LO", "HI"),
                       help="log10 CoE range (default -2 3, or around the fitted points)")
    phase.add_argument("--points", type=integer(2), default=61, metavar="N",
                       help="grid points per axis, at least 2 (default: %(default)s)")
    phase.add_argument("--quantity", choices=("bistability", "avg_meth", "entropy", "frac_inter"),
                       default="bistability", help="what the figure shows (default: %(default)s)")
    add_model(phase)
    add_output(phase)
    phase.set_defaults(run=run)


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


def run(args, context) -> None:
    import velkora as vk  # noqa: PLC0415
    from .. import plot  # noqa: PLC0415
    from ..fitting.settings import check_settings  # noqa: PLC0415

    as_options(check_settings, settings_of(args, MODEL_SETTINGS), 0)
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
    out = _output.Output(args.out, FILES, figures=not args.no_figures)
    context.output = out
    grid = vk.phase_grid(st, np.linspace(*ranges[0], args.points), np.linspace(*ranges[1], args.points),
                         **settings_of(args, MODEL_SETTINGS))
    out.table("phase.csv", grid.frame(), index=False)
    out.json("phase_settings.json", {"command": "phase", "st": st, "log_cow": ranges[0], "log_coe": ranges[1],
                                     "points": args.points, "fits": None if fits is None else str(args.fits),
                                     "settings": grid.settings})
    out.figure(f"phase.{args.figure_format}", lambda: plot.phase_figure(grid, quantity=args.quantity, fits=fits))
    say(args, f"St = {st:.6g}: bistable (score > 0.5) at {np.mean(grid.bistability > 0.5):.1%} of the grid")
    # The phase diagram goes beside a fit's files: only its own are replaced.
    summary(args, out.commit())

