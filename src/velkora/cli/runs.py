"""What the runs of the ``velkora`` commands share: checks that name the
command-line option, the settings record of a run and its rerun, the input
(any file the commands take, turned into binned data) and the terminal."""

from __future__ import annotations

import hashlib
import os
import re
import shlex
import sys
from pathlib import Path

from .. import _output
from .._errors import InputError
from .._output import Progress, Terminal
from .._formats import FIGURE_FORMATS
from .options import CALL_TABLE_OPTIONS, COLUMN_OPTIONS, FIT_SETTINGS, PRESENTATION, READ_OPTIONS, bins


class Interrupted(Exception):
    """Ctrl+C; carries what to tell the user about what was kept."""


def as_options(check, *args, **kwargs):
    """Runs one of the library's checks, naming the command-line option
    (--st-bounds) where the library names its setting (st_bounds)."""
    try:
        return check(*args, **kwargs)
    except InputError as error:
        name, _, rest = str(error).partition(" ")
        if name in (*FIT_SETTINGS, "n_boot", "chunk_size", "percentiles") and rest:
            raise InputError(f"--{name.replace('_', '-')} {rest}") from None
        raise


def check_run_options(args, *, minimum_boot: int = 0) -> None:
    from ..fitting.settings import run_options  # noqa: PLC0415 - pandas only once a run starts

    as_options(run_options, args.n_boot, args.seed, args.chunk_size, args.percentiles,
                minimum_boot=minimum_boot)


def sha256(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as source:
        for block in iter(lambda: source.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def recorded_options(args) -> dict:
    """The options that decide a run's results, for its settings file."""
    return {name: value for name, value in vars(args).items()
            if name not in (*PRESENTATION, "run", "command", "molecules")}


def input_record(path) -> dict | list:
    """The path(s), absolute path(s) and SHA-256 of a run's input file(s)."""
    if isinstance(path, (list, tuple)):
        return [input_record(one) for one in path]
    source = Path(path)
    if not source.is_file():
        raise InputError(f"input file not found: {source}")
    return {"path": str(source), "absolute_path": str(source.absolute()), "sha256": sha256(source)}


def header(args, argv, command: str) -> dict:
    """The start of a run's settings record: the command, versions, command line, input and options."""
    from .. import __version__  # noqa: PLC0415

    return {"command": command, "velkora_version": __version__, "command_line": shlex.join(["velkora", *argv]),
            "input": input_record(args.molecules), "options": recorded_options(args)}


def given_options(parser, argv) -> set[str]:
    """The destinations of the options given on the command line (whatever
    their values: an option given at its default was given all the same)."""
    given = set()
    for token in argv:
        if token.startswith("--"):
            action = parser._option_string_actions.get(token.split("=", 1)[0])  # noqa: SLF001 - argparse's table
            if action is not None:
                given.add(action.dest)
    return given


def load_rerun(args, given: set[str], command: str, terminal: Terminal) -> None:
    """Fills `args` from the settings file of an earlier run (``--settings``).
    Options that change the results cannot be given with it (`given`: the
    options given on the command line)."""
    import json  # noqa: PLC0415

    from .. import __version__  # noqa: PLC0415

    path = args.settings
    changed = sorted(name for name in given if name not in (*PRESENTATION, "run", "command", "molecules"))
    if changed:
        option = "--" + changed[0].replace("_", "-")
        raise InputError(f"{option} cannot be combined with --settings, which redoes the recorded run as it was "
                         "(only --out, --no-figures, --figure-format, --report, --quiet, --verbose and the input "
                         "file may be given with it)")
    try:
        record = json.loads(Path(path).read_text())
    except (OSError, ValueError) as error:
        raise InputError(f"--settings {path}: cannot read it as JSON ({error})") from None
    if not isinstance(record, dict) or record.get("command") != command or not isinstance(record.get("options"), dict):
        raise InputError(f"--settings {path}: not a {command}_settings.json of `velkora {command}`")
    unknown = [name for name in record["options"] if not hasattr(args, name)]
    if unknown:
        raise InputError(f"--settings {path}: unknown option '{unknown[0]}' (written by another velkora version?)")
    for name, value in record["options"].items():
        setattr(args, name, value)
    recorded = record.get("input", {})
    records = recorded if isinstance(recorded, list) else [recorded]
    if not args.molecules:
        paths = [one.get("absolute_path") or one.get("path") for one in records]
        if not paths or None in paths:
            raise InputError(f"--settings {path}: records no input file; give it on the command line")
        for one, source in zip(records, paths):
            if Path(source).is_file() and sha256(Path(source)) != one.get("sha256"):
                raise InputError(f"{source} has changed since the run recorded in {path} (its SHA-256 differs); "
                                 "give the file on the command line to fit it anyway")
        args.molecules = paths if isinstance(recorded, list) else paths[0]
    else:
        given_paths = args.molecules if isinstance(args.molecules, list) else [args.molecules]
        for one, source in zip(records, given_paths):
            if Path(source).is_file() and sha256(Path(source)) != one.get("sha256"):
                terminal.line(f"velkora: warning: {source} is not the file of the recorded run (its SHA-256 differs)")
    if record.get("velkora_version") != __version__:
        terminal.line(f"velkora: warning: {path} was written by velkora {record.get('velkora_version')}, this is "
                      f"{__version__}: the results may differ")


def check_report(args) -> None:
    if args.report and args.no_figures:
        raise InputError("--report holds the figures: it cannot be combined with --no-figures")


def keep(figures: dict, caption: str, fig) -> None:
    """Keeps a figure just written for the report (None: figures are off)."""
    if fig is not None:
        figures[caption] = fig


def say(args, text: str) -> None:
    """Prints a line of the run's summary on standard output (not with --quiet)."""
    if args.quiet:
        return
    try:
        print(text, flush=True)
    except BrokenPipeError:
        # The reader went away (`velkora fit ... | head`): the run goes on and writes its files, silently.
        sys.stdout = open(os.devnull, "w")  # noqa: SIM115 - stays open until the interpreter ends
        args.quiet = True


def summary(args, paths) -> None:
    say(args, "wrote " + ", ".join(str(p) for p in paths))


class Context:
    """What a command's run needs beyond its arguments: the command line, the
    options given on it (for reruns), the terminal, the run's output (discarded
    on failure) and the engine-log redirection."""

    def __init__(self, argv, given, args):
        self.argv, self.given, self.args = argv, given, args
        self.terminal = Terminal()
        self.output: _output.Output | None = None
        self.reads: dict | None = None  # where the molecules of the input came from, when reads made them

    def engine_log(self, path: Path, label: str):
        return _output.engine_log(path, self.terminal, label, verbose=getattr(self.args, "verbose", False),
                                  show_progress=not self.args.quiet)


def figure_files(*stems: str) -> tuple[str, ...]:
    """The names of figures in every format (what a rerun into the same directory replaces)."""
    return tuple(f"{stem}.{kind}" for stem in stems for kind in FIGURE_FORMATS)


def _option(dest: str) -> str:
    return "--region" if dest == "regions" else "--" + dest.replace("_", "-")


def input_kind(path) -> str | None:
    """"counts" (a count file), "alignments", "calls" or None (a molecule table)."""
    from ..counts.files import is_count_file  # noqa: PLC0415
    from ..reads import input_kind as reads_kind  # noqa: PLC0415

    return "counts" if is_count_file(path) else reads_kind(path)


def check_input_options(path, given: set[str]) -> None:
    """Refuses, in one line, options given for a kind of input they do not
    apply to: read options for a molecule table or a count file, alignment
    options for a call table, column options for reads."""
    kind = input_kind(path)
    if kind is None:
        # Worker processes count the row groups of a Parquet table too.
        applicable, what = (*COLUMN_OPTIONS, "threads"), "a molecule table"
    elif kind == "counts":
        applicable, what = (), "a count file (counted with its read options already)"
    elif kind == "calls":
        applicable, what = CALL_TABLE_OPTIONS, "a call table"
    else:
        applicable, what = READ_OPTIONS, "an alignment file"
    wrong = sorted(name for name in given if name in (*READ_OPTIONS, *COLUMN_OPTIONS, "strata") and
                   name not in applicable and not (name == "strata" and kind != "counts"))
    if wrong:
        name = wrong[0]
        target = "molecule tables" if name in COLUMN_OPTIONS else (
            "reads and molecule tables" if name == "strata" else
            "BAM/CRAM/SAM files" if name not in CALL_TABLE_OPTIONS else "reads and call tables")
        raise InputError(f"{_option(name)} applies to {target}, but {path} is {what}")


def count_input(args, context, path=None):
    """Counts a command's input (`path`, default the command's input): reads
    (BAM/CRAM/SAM, call tables) with the read options, a molecule table with
    its columns, or a count file as it was counted; the molecules are reduced
    to counts where they are read. Returns BinnedData, or Strata with
    ``--strata``."""
    import velkora as vk  # noqa: PLC0415

    from ..counts.counting import reads_summary  # noqa: PLC0415

    density, meth, columns = bins(args)
    source = args.molecules if path is None else path
    check_input_options(source, context.given)
    kind = input_kind(source)
    label = "regions" if kind == "alignments" else "pieces"
    progress = None if args.quiet or not sys.stderr.isatty() else \
        Progress(label, again=f"{label} again, binned by the equal-count edges")
    if kind == "counts":
        given = context.given
        data = vk.read_counts(source, meth if {"meth_bins", "meth_edges"} & given else None,
                              stratum=getattr(args, "stratum", None),
                              density_edges=density if {"density_bins", "density_edges"} & given else None)
    else:
        options = {}
        if kind == "alignments":
            options = {name: getattr(args, name) for name in READ_OPTIONS if name != "threads"}
        elif kind == "calls":
            options = {name: getattr(args, name) for name in CALL_TABLE_OPTIONS}
        if options.get("reference") is not None:
            options["reference"] = str(options["reference"])
        strata = getattr(args, "strata", None)
        extra = {} if strata is None else {"strata": strata, "edges_over": args.edges_over}
        data = vk.count(source, density, meth, threads=getattr(args, "threads", 1), progress=progress,
                        **({} if kind else columns), **extra, **options)
    first = next(iter(data.values())) if isinstance(data, dict) else data
    reads = (first.provenance or {}).get("reads") or _table_reads(source)
    context.reads = read_provenance(reads) if reads else None
    if context.reads:
        say(args, reads_summary(context.reads))
    total = sum(int(d.n_molecules.sum()) for d in (data.values() if isinstance(data, dict) else [data]))
    strata_text = f" in {len(data)} strata" if isinstance(data, dict) else ""
    say(args, f"counted {total:,} molecules{strata_text} into {first.n_densities} density bins x "
              f"{first.n_meth_bins} methylation bins")
    return data


def counted_members(args, context, record: dict):
    """The counted input of a fitting command and its members: one (label None)
    or one per stratum (``--stratum`` picks one); the edges and the reads'
    report go into the run's record."""
    data = count_input(args, context)
    if isinstance(data, dict) and args.stratum is not None:
        data = pick_stratum(data, args.stratum)
    members = dict(data) if isinstance(data, dict) else {None: data}
    first = next(iter(members.values()))
    record["density_edges"] = ({name: d.density_edges for name, d in members.items()} if None not in members
                               else first.density_edges)
    record["meth_edges"] = first.meth_edges
    if context.reads is not None:
        record["reads"] = context.reads
    return data, members


def pick_stratum(data, stratum: str):
    """One stratum of stratified data, or InputError naming the strata."""
    if stratum not in data:
        raise InputError(f"--stratum {stratum}: no such stratum; the strata are {', '.join(data)}")
    return data[stratum]


def binned_input(args, context, path=None):
    """The binned data of a command's input, one set of density bins (see
    :func:`count_input`; a stratified input needs ``--stratum``)."""
    data = count_input(args, context, path)
    if isinstance(data, dict):
        stratum = getattr(args, "stratum", None)
        if stratum is None:
            raise InputError(f"the input is counted in {len(data)} strata ({', '.join(data)}): choose one with "
                             "--stratum")
        return pick_stratum(data, stratum)
    return data


def _table_reads(source) -> dict | None:
    """The reads report that `velkora molecules` keeps in a Parquet table's metadata, if any."""
    import json  # noqa: PLC0415

    if not isinstance(source, (str, os.PathLike)) or Path(source).suffix.lower() not in (".parquet", ".pq"):
        return None
    try:
        import pyarrow.parquet as pq  # noqa: PLC0415

        metadata = pq.read_schema(str(source)).metadata or {}
        return json.loads(metadata.get(b"PANDAS_ATTRS", b"null"))
    except (ImportError, OSError, ValueError):
        return None


def read_provenance(attrs: dict) -> dict | None:
    """Where the molecules came from, when reads made them (here, or by
    ``velkora molecules``, whose Parquet files carry it): the source file,
    its kind, the records read and dropped, and the read options."""
    if not isinstance(attrs, dict) or "source" not in attrs or "records" not in attrs:
        return None
    keys = ("source", "kind", "records", "molecules", "dropped", "skipped_records", "settings", "notes")
    return {key: attrs[key] for key in keys if key in attrs}


def warn_at_bounds(context, result, label=None) -> None:
    """One warning line naming the density bins whose estimates lie at a search
    bound and the options that widen the ranges."""
    from ..fitting.results import bound_settings  # noqa: PLC0415
    from ..model.modes import option_name  # noqa: PLC0415

    flagged = result.at_bound
    if flagged:
        options = ", ".join(option_name(name) for name in sorted(bound_settings(result)))
        where = "; ".join(f"{bin_}: {text}" for bin_, text in flagged.items())
        stratum = "" if label is None else f" (stratum {label})"
        context.terminal.line(f"velkora: warning: {result.mode}{stratum}: estimates at a search bound, bounds "
                              f"rather than estimates ({where}); widen {options}")


def stratum_heading(label) -> str:
    return "" if label is None else f"stratum {label}: "


def labelled_caption(caption: str, label) -> str:
    return caption if label is None else f"Stratum {label}. {caption}"


def titled(make, label):
    """A figure maker whose figure's title starts with the stratum's name
    (the figure of one stratum among several must say which it is)."""
    if label is None:
        return make

    def made():
        fig = make()
        old = fig._suptitle  # matplotlib has no public getter before 3.8
        # A line of its own: the titles are as wide as their figures already.
        text = f"stratum {label}" if old is None or not old.get_text() else f"stratum {label}\n{old.get_text()}"
        fig.suptitle(text, fontsize=10 if old is None else old.get_fontsize())
        return fig

    return made


def file_stem(name: str, label) -> str:
    """A figure's file name: per stratum with the stratum's name, made safe for a file name."""
    if label is None:
        return name
    return f"{name}_" + re.sub(r"[^A-Za-z0-9._-]+", "_", str(label))


def with_stratum(table, label):
    if label is None:
        return table
    table = table.copy()
    table.insert(0, "stratum", label)
    return table
