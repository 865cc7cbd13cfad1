"""The options of the ``velkora`` commands: their types, their groups and the
settings they stand for.

Every option is converted and range-checked by argparse where it is read, so
that a mistake is a one-line usage error (exit status 2) before any work.
"""

from __future__ import annotations

import argparse
import math
from pathlib import Path

from .._formats import FIGURE_FORMATS
from ..model.modes import MODE_TABLE

EXIT_FAILED, EXIT_INPUT, EXIT_INTERRUPTED = 1, 2, 130

# The modes with a shared St, which a profile of St needs.
SHARED_ST_MODES = tuple(name for name, mode in MODE_TABLE.items() if mode.roles[0] == "shared")

GLOSSARY = ("The model's rates: St, the spontaneous rate (StE, demethylation, with StW = 1 by default); CoW and "
            "CoE, the cooperative writing (de novo methylation) and erasing rates, driven by the methylated and "
            "the unmethylated fraction of a molecule's sites raised to the exponents n_M and n_U; Vmax, an "
            "optional ceiling on those drives.")


class Parser(argparse.ArgumentParser):
    """Usage errors in one line, with the valid choices, instead of the whole usage."""

    def error(self, message):
        self.exit(EXIT_INPUT, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def integer(minimum: int, *, zero: bool = False):
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


def number(text: str) -> float:
    """An argparse type: a float ("inf" allowed; NaN refused)."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, not {text!r}") from None
    if math.isnan(value):
        raise argparse.ArgumentTypeError("expected a number, not nan")
    return value


def probability(text: str) -> float:
    """An argparse type: a number within 0 .. 1."""
    value = number(text)
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be a probability within 0..1, not {text}")
    return value


def mode_help() -> str:
    return "; ".join(f"{name}: {mode.summary}" for name, mode in MODE_TABLE.items())


def add_columns(parser) -> None:
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


def add_bins(parser) -> None:
    group = parser.add_argument_group("bins")
    density = group.add_mutually_exclusive_group()
    density.add_argument("--density-bins", type=integer(1), default=5, metavar="K",
                         help="K density bins holding about equal numbers of molecules (default: %(default)s)")
    density.add_argument("--density-edges", type=number, nargs="+", metavar="EDGE",
                         help="ascending edges of the density bins, instead of --density-bins")
    meth = group.add_mutually_exclusive_group()
    meth.add_argument("--meth-bins", type=integer(1), default=20, metavar="N",
                      help="N equal methylation-level bins over 0..1 (default: %(default)s)")
    meth.add_argument("--meth-edges", type=number, nargs="+", metavar="EDGE",
                      help="ascending methylation-level edges within 0..1, instead of --meth-bins")


def add_model(parser) -> None:
    group = parser.add_argument_group("model")
    group.add_argument("--normalize-stw", action=argparse.BooleanOptionalAction, default=None,
                       help="StW = 1 and St is StE (default); --no-normalize-stw: StE = 1 and St is StW")
    group.add_argument("--n-u", type=number, metavar="X", help="exponent n_U where not fitted (default 2)")
    group.add_argument("--n-m", type=number, metavar="X", help="exponent n_M where not fitted (default 2)")
    group.add_argument("--vmax", type=number, metavar="X",
                       help="fixed Michaelis-Menten ceiling of the cooperative drive (default: inf, none)")
    group.add_argument("--raw-count", action="store_true", default=None,
                       help="cooperative drive on raw site counts instead of fractions")


def add_search(parser, *, weighting: bool = True) -> None:
    """The search ranges; with `weighting` also the options that change what a
    shared fit minimises (a comparison of modes needs the plain likelihood)."""
    search = parser.add_argument_group("search")
    search.add_argument("--st-bounds", type=number, nargs=2, metavar=("LO", "HI"),
                        help="St range (default 0.01 10)")
    search.add_argument("--co-bounds", type=number, nargs=2, metavar=("LO", "HI"),
                        help="CoW, CoE range (default 0.01 100)")
    search.add_argument("--n-exp-bounds", type=number, nargs=2, metavar=("LO", "HI"),
                        help="range of fitted exponents (default 0.5 5)")
    if weighting:
        search.add_argument("--co-penalty", type=number, metavar="X", help="penalty on large CoW, CoE (default 0)")
        search.add_argument("--weights", choices=("molecules", "equal"),
                            help="weight of each density bin in the shared fits (default: molecules)")
    search.add_argument("--fit-vmax", action="store_true", default=None,
                        help="also fit a shared Vmax (shared-exp, shared-st-exp)")
    search.add_argument("--vmax-bounds", type=number, nargs=2, metavar=("LO", "HI"),
                        help="Vmax range (default 0.001 1e6)")
    search.add_argument("--observation", choices=("auto", "binned", "sampled"),
                        help="how reads observe the 70-site molecules: binned (whole molecules), sampled (reads "
                             "that call only some sites, from each density bin's read-depth histogram) or auto "
                             "(default: sampled when any molecule was read at fewer than 70 sites)")


def add_run(parser, *, n_boot_help: str) -> None:
    group = parser.add_argument_group("bootstrap and seeds")
    group.add_argument("--n-boot", type=integer(0), default=0, metavar="N", help=n_boot_help)
    group.add_argument("--seed", type=integer(0), default=0,
                       help="seed of every random choice: the fit's searches and the resampling "
                            "(default: %(default)s); the same seed gives the same results")
    group.add_argument("--chunk-size", type=integer(1), metavar="N",
                       help="bootstrap samples per chunk, between progress updates (default: about 20 chunks)")
    group.add_argument("--percentiles", type=number, nargs="+", default=[2.5, 97.5], metavar="P",
                       help="interval percentiles (default: 2.5 97.5)")


def add_output(parser, *, log: bool = False, report: bool = False) -> None:
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


def add_rerun(parser, command: str) -> None:
    """``--settings``; call it after the output options, whose names its help lists."""
    outputs = [option for option in ("--out", "--no-figures", "--figure-format", "--report", "--quiet", "--verbose")
               if option in parser._option_string_actions]  # noqa: SLF001 - argparse's table of options
    parser.add_argument("--settings", type=Path, metavar="JSON",
                        help=f"redo the run recorded in a {command}_settings.json, byte for byte; only the output "
                             f"options ({', '.join(outputs)}) and the input file may be given with it")


def add_strata(parser) -> None:
    """--strata and --edges-over (with --stratum for the fitting commands)."""
    group = parser.add_argument_group("strata")
    group.add_argument("--strata", type=Path, action="append", metavar="BED",
                       help="count per stratum: a BED file whose name column names the strata (repeatable); a "
                            "molecule belongs to the region holding its midpoint, the first listed where regions "
                            "overlap, else to 'outside'")
    group.add_argument("--edges-over", choices=("all", "stratum"), default="all",
                       help="equal-count density edges from all strata's molecules (default: one density scale "
                            "for every stratum) or per stratum")


def add_read_options(group) -> None:
    """The options that turn reads into molecules, on an argparse (group of a) parser."""
    group.add_argument("--reference", type=Path, metavar="FASTA",
                       help="indexed reference FASTA: CpG context from the genome instead of the reads "
                            "(also decodes CRAM)")
    group.add_argument("--region", action="append", dest="regions", metavar="REGION",
                       help="read only this region, 'chr' or 'chr:start-end' (1-based, inclusive); repeatable; "
                            "needs an indexed BAM/CRAM")
    group.add_argument("--threads", type=integer(1), default=1, metavar="N",
                       help="worker processes over the regions of an indexed file (default: %(default)s)")
    group.add_argument("--window-cpgs", type=integer(1), metavar="K",
                       help="cut each read into molecules of K consecutive CpG sites (e.g. 70); shorter "
                            "remainders are dropped")
    group.add_argument("--min-cpg", type=integer(1), default=1, metavar="N",
                       help="the fewest called CpGs a molecule must have to be kept (default: %(default)s)")
    group.add_argument("--min-mapq", type=integer(0), default=0, metavar="Q",
                       help="the lowest mapping quality a record must have to be kept (default: %(default)s, "
                            "keep all)")
    group.add_argument("--threshold", type=probability, default=0.5, metavar="P",
                       help="a CpG is methylated when its 5mC probability is at least P (default: %(default)s)")
    group.add_argument("--include-hmc", action="store_true",
                       help="test 5mC + 5hmC probabilities against the threshold (as bisulfite sees both)")
    group.add_argument("--format", choices=("modkit", "bismark"),
                       help="format of a call table (default: detected from its first line)")
    group.add_argument("--strict", action="store_true",
                       help="refuse the whole input at the first malformed record (an MM/ML, XM or CIGAR that "
                            "does not fit the read) instead of skipping it and counting it under its drop reason")
    for flag, what in (("secondary", "secondary alignments"), ("supplementary", "supplementary alignments"),
                       ("qcfail", "records that failed QC"), ("duplicates", "duplicate records")):
        group.add_argument(f"--keep-{flag}", action="store_true", help=f"keep {what} (default: skip them)")


# The read options by input kind: what a BAM takes, what a call table takes.
READ_OPTIONS = ("format", "regions", "threads", "reference", "window_cpgs", "min_cpg", "min_mapq", "threshold",
                "include_hmc", "keep_secondary", "keep_supplementary", "keep_qcfail", "keep_duplicates", "strict")
CALL_TABLE_OPTIONS = ("format", "threshold", "include_hmc", "min_cpg", "window_cpgs", "strict")
# The options that name the columns of a molecule table.
COLUMN_OPTIONS = ("density_column", "level_column", "methylated_column", "total_column", "depth_column")


def read_options(args) -> dict:
    """The keywords of :func:`velkora.reads.load_molecules` from parsed read options."""
    options = {name: getattr(args, name) for name in READ_OPTIONS}
    options["reference"] = None if args.reference is None else str(args.reference)
    return options


# The fit settings an option stands for, by command.
FIT_SETTINGS = ("normalize_stw", "st_bounds", "co_bounds", "n_exp_bounds", "n_u", "n_m", "co_penalty", "weights",
                "fit_vmax", "vmax_bounds", "vmax", "raw_count", "seed", "observation")
MODEL_SETTINGS = ("normalize_stw", "n_u", "n_m", "vmax", "raw_count")
# A comparison always weighs the bins by molecules without a penalty, and takes its seed on its own.
COMPARE_SETTINGS = tuple(name for name in FIT_SETTINGS if name not in ("weights", "co_penalty", "seed"))

# Options that say how a run is shown or where it goes, not what it computes:
# the ones a rerun from a settings file may change.
PRESENTATION = ("out", "quiet", "verbose", "no_figures", "figure_format", "report", "settings")


def settings_of(args, names) -> dict:
    """The fit settings the user gave (None: left at the library's default)."""
    settings = {name: getattr(args, name) for name in names if getattr(args, name, None) is not None}
    for name, value in settings.items():
        if isinstance(value, list):
            settings[name] = tuple(value)
    return settings


def bins(args):
    """(density edges or k, methylation edges or n, the column names) from the options."""
    density = args.density_edges if args.density_edges is not None else args.density_bins
    meth = args.meth_edges if args.meth_edges is not None else args.meth_bins
    columns = {"density": args.density_column, "level": args.level_column,
               "methylated": args.methylated_column, "total": args.total_column, "depth": args.depth_column}
    return density, meth, columns
