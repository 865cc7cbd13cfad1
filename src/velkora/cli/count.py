"""``velkora count``: count an input once, into a count file the fitting
commands take instead of the input."""

from __future__ import annotations

from pathlib import Path

from .._errors import InputError
from .options import GLOSSARY, add_bins, add_columns, add_read_options, add_strata
from .runs import count_input, header, say


def add_parser(commands) -> None:
    count = commands.add_parser(
        "count", help="count reads or a molecule table into a count file, in bounded memory",
        description="Counts the molecules of reads (BAM/CRAM/SAM, modkit or Bismark call tables) or of a molecule "
                    "table per density bin, methylation level and read depth, region by region in worker "
                    "processes, without holding the molecules, and writes a count file (Parquet) with its "
                    "provenance (the input's path and SHA-256, every option, velkora's version). `velkora fit`, "
                    "`velkora compare` and `vk.read_counts` take the count file instead of the input, so an "
                    "expensive read is done once; the density edges are fixed here, other methylation edges can "
                    "be given later. " + GLOSSARY)
    count.add_argument("molecules", metavar="INPUT",
                       help="reads (BAM, CRAM, SAM, modkit or Bismark call table) or a molecule table")
    count.add_argument("--out", type=Path, default=Path("counts.parquet"), metavar="PARQUET",
                       help="count file to write (default: %(default)s); appears only when complete")
    add_columns(count)
    add_bins(count)
    add_strata(count)
    add_read_options(count.add_argument_group("reads (when the input is a BAM/CRAM or a call table)"))
    count.add_argument("--quiet", action="store_true", help="no progress or summary on the terminal")
    count.set_defaults(run=run)


def run(args, context) -> None:
    from ..counts.files import write_counts  # noqa: PLC0415

    if args.out.suffix.lower() not in (".parquet", ".pq"):
        raise InputError(f"--out {args.out}: a count file is written as Parquet (.parquet or .pq)")
    record = header(args, context.argv, "count")
    data = count_input(args, context)
    first = next(iter(data.values())) if isinstance(data, dict) else data
    provenance = {**record, **{k: v for k, v in (first.provenance or {}).items() if k not in ("input", "stratum")}}
    write_counts(data, args.out, provenance)
    say(args, f"wrote {args.out}")
