"""The ``velkora`` command: fits, comparisons of modes, phase diagrams and drift fits from the shell.

    velkora fit molecules.csv --mode shared-st --n-boot 100 --out results/
    velkora fit --settings results/fit_settings.json --out rerun/
    velkora compare molecules.csv --modes shared-st independent --n-sim 99 --out compared/
    velkora phase --st 0.5 --fits results/fits.csv --out results/
    velkora drift aged.parquet --age-column age --out drift/
    velkora synthetic molecules.csv
    velkora molecules reads.bam --out molecules.parquet --window-cpgs 70
    velkora count reads.bam --out counts.parquet --threads 4 --strata promoters.bed
    velkora differential --design design.tsv --mode shared-st --out differential/

One module per command (``fit``, ``compare``, ``differential``, ``count``,
``phase``, ``drift``, ``synthetic``, ``molecules``) parses its options, calls the Python API and
writes the files; :mod:`~velkora.cli.options` holds the options they share
and :mod:`~velkora.cli.runs` what their runs share.

Every command checks all of its options before it starts, writes its tables
as CSV, a ``<command>_settings.json`` recording how they were made (strict
JSON; infinities as "inf") and figures (PNG, or ``--figure-format svg|pdf``;
none with ``--no-figures``), with ``--report`` (fit, compare) a
self-contained ``report.html`` of the whole run, all
into a temporary directory that is moved into ``--out`` at the end: a run
that fails leaves ``--out`` as it was. Exit status: 0 done, 1 a fit failed,
2 bad input or usage, 130 stopped by Ctrl+C (a bootstrap stopped that way
keeps its finished samples, marked incomplete).
"""

from __future__ import annotations

import argparse
import os
import sys
import warnings

from .._errors import InputError
from . import compare, count, differential, drift, fit, molecules, phase, synthetic
from .options import EXIT_FAILED, EXIT_INPUT, EXIT_INTERRUPTED, GLOSSARY, Parser
from .runs import Context, Interrupted, given_options

__all__ = ["main", "build_parser", "EXIT_FAILED", "EXIT_INPUT", "EXIT_INTERRUPTED"]


def build_parser() -> argparse.ArgumentParser:
    """The parser of the ``velkora`` command and its subcommands."""
    parser = Parser(
        prog="velkora",
        description="Fits of a stochastic model of CpG methylation to per-molecule methylation tables and reads. "
                    + GLOSSARY,
        epilog="Exit status: 0 done, 1 a fit failed, 2 bad input, 130 stopped by Ctrl+C (finished bootstrap "
               "samples saved, marked incomplete).",
    )
    from .. import __version__  # noqa: PLC0415

    parser.add_argument("--version", action="version", version=f"velkora {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in (fit, compare, differential, count, phase, drift, synthetic, molecules):
        command.add_parser(commands)
    return parser


def _subcommand(parser: argparse.ArgumentParser, command: str) -> argparse.ArgumentParser:
    for action in parser._subparsers._group_actions:  # noqa: SLF001 - argparse keeps subparsers here
        if command in action.choices:
            return action.choices[command]
    return parser


def main(argv=None) -> int:
    """Runs the ``velkora`` command; returns its exit status."""
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as stop:
        return stop.code if isinstance(stop.code, int) else EXIT_INPUT
    context = Context(argv, given_options(_subcommand(parser, args.command), argv), args)

    def one_line_warning(message, category, filename, lineno, file=None, line=None):
        context.terminal.line(f"velkora: warning: {message}")

    status = 0
    with warnings.catch_warnings():
        warnings.showwarning = one_line_warning
        try:
            args.run(args, context)
        except Interrupted as stop:
            context.terminal.line(f"velkora: {stop}")
            status = EXIT_INTERRUPTED
        except KeyboardInterrupt:
            context.terminal.line("velkora: stopped; nothing was written")
            status = EXIT_INTERRUPTED
        except BrokenPipeError:
            # The reader of standard output went away (`velkora ... | head`): nothing more to say to it.
            sys.stdout = open(os.devnull, "w")  # noqa: SIM115 - stays open until the interpreter ends
            status = 0
        except (InputError, ImportError) as error:
            context.terminal.line(f"velkora: error: {error}")
            status = EXIT_INPUT
        except RuntimeError as error:  # the module's refusal of a fit it cannot do
            context.terminal.line(f"velkora: fit failed: {error}")
            status = EXIT_FAILED
        finally:
            if context.output is not None:
                context.output.discard()
    return status


if __name__ == "__main__":
    sys.exit(main())
