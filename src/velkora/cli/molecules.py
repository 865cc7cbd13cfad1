"""The ``velkora molecules`` command: reads to a per-molecule table.

    velkora molecules reads.bam --out molecules.parquet --threads 4 --window-cpgs 70
    velkora molecules calls.tsv.gz --out molecules.parquet
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

from .._errors import InputError
from .._output import Progress
from .options import add_read_options, read_options


def add_parser(commands) -> argparse.ArgumentParser:
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
    return Progress(label)


def run_molecules(args, context=None) -> None:
    from ..reads import input_kind, write_molecules  # noqa: PLC0415

    options = read_options(args)
    if input_kind(args.input) is None:
        if not args.input.is_file():
            raise InputError(f"input file not found: {args.input}")
        raise InputError(f"{args.input}: not a BAM, CRAM or SAM file nor a modkit or Bismark call table")
    # Written beside the target under another name first: a read that finds no molecule leaves no file (and
    # no earlier table replaced by an empty one).
    staged = args.out.with_name(f".{args.out.stem}.{os.getpid()}.staged{args.out.suffix}")
    try:
        report = write_molecules(args.input, staged, progress=_progress(args, "regions"), **options)
        if report["molecules"] == 0:
            raise InputError(f"{args.input}: no molecules ({_summary(report)})")
        os.replace(staged, args.out)
    finally:
        staged.unlink(missing_ok=True)
    if not args.quiet:
        print(_summary(report))
        print(f"wrote {args.out}")


def _summary(report: dict) -> str:
    from ..counts.counting import reads_summary  # noqa: PLC0415 - pandas only once a run starts

    return reads_summary(report)


def molecules_for_fit(args, path=None):
    """The molecule table a fitting command should bin: read from a BAM or call
    table given as its input (`path`, default the command's input), or None
    when the input is an ordinary molecule table."""
    from ..reads import load_molecules  # noqa: PLC0415

    options = read_options(args)
    source = args.molecules if path is None else path
    table = load_molecules(source, progress=_progress(args, "regions"), **options)
    if table is None:
        return None
    if len(table) == 0:
        raise InputError(f"{source}: no molecules to fit ({_summary(table.attrs)})")
    if not args.quiet:
        print(_summary(table.attrs))
    return table
