"""What a command leaves behind: its files, all or nothing, and its terminal.

A run writes every file into a hidden temporary directory beside the output
directory and moves them in only at the end, so a run that fails or is
stopped before it has something to keep leaves the output directory as it
was, and one that keeps a partial result says so in its own files. The
engine's optimiser log lines (written by the shared fits on file descriptor
2) go to a log file in the run's directory instead of the terminal, which
shows a progress line for long fits instead.
"""

from __future__ import annotations

import io
import json
import math
import os
import re
import shutil
import sys
import tempfile
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

import numpy as np

from . import _engine
from ._errors import InputError


def json_value(value):
    """Settings as strict JSON: tuples as lists, non-finite floats as strings, NumPy scalars as Python's."""
    if isinstance(value, (list, tuple, np.ndarray)):
        return [json_value(v) for v in value]
    if isinstance(value, dict):
        return {str(k): json_value(v) for k, v in value.items()}
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    if isinstance(value, Path):
        return str(value)
    return value


def _is_a_terminal(stream) -> bool:
    return bool(getattr(stream, "isatty", lambda: False)())


class Terminal:
    """Where messages for the person at the terminal go (standard error).

    While the engine's file descriptor 2 is redirected into a log file, this
    keeps writing to the real terminal.
    """

    def __init__(self, stream=None):
        self.stream = sys.stderr if stream is None else stream

    @property
    def tty(self) -> bool:
        return _is_a_terminal(self.stream)

    def line(self, text: str) -> None:
        self.stream.write(text + "\n")
        self.stream.flush()


class Progress:
    """A one-line progress bar on the terminal, redrawn in place on a terminal
    and printed a line per update elsewhere (logs stay readable)."""

    def __init__(self, label: str, stream=None, width: int = 30, unit: int = 1, again: str | None = None):
        """`unit`: the steps that make one of what is counted (shown with a
        decimal); `again`: the label of a second run of the same work (a bar
        that starts over after it was full)."""
        self.label, self.width, self.unit, self.again = label, width, unit, again
        self.stream = sys.stderr if stream is None else stream
        self.start = time.monotonic()
        self.tty = _is_a_terminal(self.stream)
        self.open = False
        self.full = False

    def __call__(self, done: int, total: int) -> None:
        if self.full and done < total and self.again is not None:
            self.label, self.again, self.start = self.again, None, time.monotonic()
        self.full = done >= total
        filled = self.width * done // max(total, 1)
        elapsed = time.monotonic() - self.start
        left = f", {elapsed / done * (total - done):.0f} s left" if 0 < done < total else ""
        count = f"{done}/{total}" if self.unit == 1 else f"{done / self.unit:.1f}/{total / self.unit:g}"
        line = f"{self.label} [{'#' * filled}{'.' * (self.width - filled)}] {count}  {elapsed:.0f} s{left}"
        self.open = self.tty and done < total
        self.stream.write(("\r" + line + ("\n" if done >= total else "")) if self.tty else line + "\n")
        self.stream.flush()

    def stop(self) -> None:
        """Ends a bar left open by a run that stopped early."""
        if self.open:
            self.stream.write("\n")
            self.stream.flush()
            self.open = False


class Output:
    """The files of one run, written into a temporary directory beside `out`
    and moved into `out` by :meth:`commit`.

    `known` names every file the command can write: committing also removes
    those of an earlier run in `out` that this run did not write, so that the
    directory never mixes two runs. :meth:`discard` drops everything.
    """

    def __init__(self, out: Path, known: tuple[str, ...], figures: bool = True):
        self.out, self.known, self.figures = Path(out), known, figures
        if self.out.exists() and not self.out.is_dir():
            raise InputError(f"--out {self.out}: exists and is not a directory")
        # The nearest existing directory above `out`: the temporary directory must be on
        # its file system for the final renames to be atomic.
        parent = self.out.absolute().parent
        while not parent.is_dir():
            parent = parent.parent
        try:
            self.tmp = Path(tempfile.mkdtemp(prefix=f".{self.out.name}.velkora-", dir=parent))
        except OSError as error:
            raise InputError(f"cannot write beside {self.out}: {error.strerror}") from None
        self.written: list[str] = []
        if figures:
            from . import plot  # noqa: F401, PLC0415 - fail now, not after a long fit, without matplotlib

    def path(self, name: str) -> Path:
        """Where to write `name` now (in the temporary directory)."""
        if name not in self.written:
            self.written.append(name)
        return self.tmp / name

    def table(self, name: str, frame, index: bool = True) -> None:
        frame.to_csv(self.path(name), index=index)

    def json(self, name: str, content: dict) -> None:
        text = json.dumps(json_value(content), indent=2, allow_nan=False)
        self.path(name).write_text(text + "\n")

    def figure(self, name: str, make):
        """Draws and writes a figure (its format from the name's suffix) unless
        figures are off; returns it, for the report, or None."""
        if not self.figures:
            return None
        from .plot import save_figure  # noqa: PLC0415

        fig = make()
        save_figure(fig, self.path(name), dpi=120)
        return fig

    def commit(self) -> list[Path]:
        """Moves the run's files into `out` and returns their final paths."""
        try:
            self.out.mkdir(parents=True, exist_ok=True)
            for name in self.known:  # names, or patterns of the files named per stratum or group
                for old in (self.out.glob(name) if "*" in name else [self.out / name]):
                    if old.name not in self.written and old.is_file():
                        old.unlink()
            for name in self.written:
                os.replace(self.tmp / name, self.out / name)
        except OSError as error:
            raise InputError(f"cannot write into {self.out}: {error.strerror}") from None
        finally:
            self.discard()
        return [self.out / name for name in self.written]

    def discard(self) -> None:
        shutil.rmtree(self.tmp, ignore_errors=True)


# The shared fits' per-evaluation lines: "  [ 12] St=... total NLL=123.456".
_EVALUATION = re.compile(r"^\s*\[\s*(\d+)\].*total NLL=(\S+)")
_START = re.compile(r"^--- Nelder-Mead start (\d+)/(\d+)")


@contextmanager
def engine_log(path: Path, terminal: Terminal, label: str, *, verbose: bool = False,
               show_progress: bool = True) -> Iterator[None]:
    """Sends what the engine writes on file descriptor 2 to `path` while the
    block runs. With `verbose` the lines are also copied to the terminal;
    otherwise, on a terminal, a status line shows the fit's progress (its
    evaluations and best total NLL so far, read from the log, and the time)."""
    sys.stderr.flush()
    saved = os.dup(2)
    log = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    real_stderr = uses_fd_2(terminal.stream)
    if real_stderr:
        # The terminal stream writes to descriptor 2 itself: give it the real one.
        terminal = Terminal(io.TextIOWrapper(io.FileIO(os.dup(saved), "w"), line_buffering=True))
    os.dup2(log, 2)
    os.close(log)
    stop = threading.Event()
    watcher = threading.Thread(target=_watch, args=(path, terminal, label, verbose, show_progress, stop), daemon=True)
    watcher.start()
    try:
        with _engine.logs_to_descriptor_2():
            yield
    finally:
        stop.set()
        watcher.join()
        os.dup2(saved, 2)
        os.close(saved)
        if real_stderr:
            terminal.stream.close()


def uses_fd_2(stream) -> bool:
    try:
        return stream.fileno() == 2
    except (AttributeError, OSError, ValueError):
        return False


def _watch(path: Path, terminal: Terminal, label: str, verbose: bool, show_progress: bool,
           stop: threading.Event) -> None:
    start, evaluations, best, starts, pending, drawn = time.monotonic(), 0, math.inf, "", "", False
    with open(path, encoding="utf-8", errors="replace") as log:
        while True:
            finished = stop.wait(0.25)
            pending += log.read()
            *lines, pending = pending.split("\n")
            for line in lines:
                if verbose:
                    terminal.line(line)
                if match := _EVALUATION.match(line):
                    evaluations = int(match[1])
                    best = min(best, float(match[2]))
                elif match := _START.match(line):
                    starts = f", start {match[1]}/{match[2]}"
            elapsed = time.monotonic() - start
            if show_progress and not verbose and terminal.tty and elapsed >= 1.0:
                detail = f"{evaluations} evaluations, best total NLL {best:.6g}{starts}, " if evaluations else ""
                terminal.stream.write(f"\r{label}: {detail}{elapsed:.0f} s   ")
                terminal.stream.flush()
                drawn = True
            if finished:
                break
    if drawn:
        terminal.stream.write("\n")
        terminal.stream.flush()
