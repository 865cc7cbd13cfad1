"""The ``velkora molecules`` command, and the read options that ``velkora
fit`` shares with it so that one command goes from reads to fits.

    velkora molecules reads.bam --out molecules.parquet --threads 4 --window-cpgs 70
    velkora molecules calls.tsv.gz --out molecules.parquet
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from .._errors import InputError


def add_read_options(group) -> None:
    """The options that turn reads into molecules, on an argparse (group of a) parser."""
    group.add_argument("--reference", type=Path, metavar="FASTA",
                       help="indexed reference FASTA: CpG context from the genome instead of the reads "
                            "(also decodes CRAM)")
    group.add_argument("--region", action="append", dest="regions", metavar="REGION",
                       help="read only this region, 'chr' or 'chr:start-end' (1-based, inclusive); repeatable; "
                            "needs an indexed BAM/CRAM")
    group.add_argument("--threads", type=int, default=1, metavar="N",
                       help="worker processes over the regions of an indexed file (default: %(default)s)")
    group.add_argument("--window-cpgs", type=int, metavar="K",
                       help="cut each read into molecules of K consecutive CpG sites (e.g. 70); shorter "
                            "remainders are dropped")
    group.add_argument("--min-cpg", type=int, default=1, metavar="N",
                       help="fewest called CpGs a molecule needs (default: %(default)s)")
    group.add_argument("--min-mapq", type=int, default=0, metavar="Q",
                       help="fewest mapping quality a record needs (default: %(default)s, keep all)")
    group.add_argument("--threshold", type=float, default=0.5, metavar="P",
                       help="a CpG is methylated when its 5mC probability is at least P (default: %(default)s)")
    group.add_argument("--include-hmc", action="store_true",
                       help="test 5mC + 5hmC probabilities against the threshold (as bisulfite sees both)")
    group.add_argument("--format", choices=("modkit", "bismark"),
                       help="format of a call table (default: detected from its first line)")
    for flag, what in (("secondary", "secondary alignments"), ("supplementary", "supplementary alignments"),
                       ("qcfail", "records that failed QC"), ("duplicates", "duplicate records")):
        group.add_argument(f"--keep-{flag}", action="store_true", help=f"keep {what} (default: skip them)")


def read_options(args) -> dict:
    """The keywords of :func:`velkora.reads.load_molecules` from parsed read options."""
    return {
        "format": args.format,
        "regions": args.regions,
        "threads": args.threads,
        "reference": None if args.reference is None else str(args.reference),
        "window_cpgs": args.window_cpgs,
        "min_cpg": args.min_cpg,
        "min_mapq": args.min_mapq,
        "threshold": args.threshold,
        "include_hmc": args.include_hmc,
        "keep_secondary": args.keep_secondary,
        "keep_supplementary": args.keep_supplementary,
        "keep_qcfail": args.keep_qcfail,
        "keep_duplicates": args.keep_duplicates,
    }


def add_molecules_command(commands) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "molecules", help="per-molecule table from a BAM/CRAM or a per-read call table",
        description="Reads a modified-base (MM/ML) or bisulfite (XM) BAM, CRAM or SAM file, or a modkit extract "
                    "table or Bismark CpG_context file (plain or gzipped), and writes one row per molecule "
                    "(read_id, chrom, start, end, strand, n_cpg, n_called, n_methylated, meth_level, "
                    "cpg_density) to a Parquet file, ready for `velkora fit`. Records and molecules left out are "
                    "counted by reason, on the terminal and in the file's metadata.")
    parser.add_argument("input", type=Path, help="BAM, CRAM or SAM file, or a modkit / Bismark call table")
    parser.add_argument("--out", type=Path, default=Path("molecules.parquet"), metavar="PARQUET",
                        help="molecule table to write (default: %(default)s); appears only when complete")
    add_read_options(parser.add_argument_group("reads"))
    parser.add_argument("--quiet", action="store_true", help="no progress or summary on the terminal")
    parser.set_defaults(run=run_molecules)
    return parser


def _progress(args, label):
    """A progress bar on a terminal; nothing in logs or with --quiet (a region is a short step)."""
    if args.quiet or not sys.stderr.isatty():
        return None
    from ..cli import Progress  # noqa: PLC0415

    return Progress(label)


def run_molecules(args, context=None) -> None:
    from . import input_kind, write_molecules  # noqa: PLC0415

    options = read_options(args)
    if input_kind(args.input) is None:
        if not args.input.is_file():
            raise InputError(f"input file not found: {args.input}")
        raise InputError(f"{args.input}: not a BAM, CRAM or SAM file nor a modkit or Bismark call table")
    report = write_molecules(args.input, args.out, progress=_progress(args, "regions"), **options)
    if not args.quiet:
        print(_summary(report))
        print(f"wrote {args.out}")


def _summary(report: dict) -> str:
    dropped = ", ".join(f"{n:,} {reason.replace('_', ' ')}" for reason, n in report["dropped"].items())
    return (f"{report['molecules']:,} molecules from {report['records']:,} records ({report['kind']}); "
            f"dropped: {dropped or 'none'}")


def molecules_for_fit(args):
    """The molecule table `velkora fit` should bin: read from a BAM or call table
    given as its input, or None when the input is an ordinary molecule table."""
    from . import load_molecules  # noqa: PLC0415

    options = read_options(args)
    table = load_molecules(args.molecules, progress=_progress(args, "regions"), **options)
    if table is not None and not args.quiet:
        print(_summary(table.attrs))
    return table
