"""The one door through which the front door calls the engine.

The engine keeps two run-wide switches, the Michaelis-Menten ceiling Vmax
and the raw-count base of the cooperative drive, as process-wide variables
that every model evaluation of a call reads. Two threads that fit with
different switches at once would each fit partly with the other's. Every
front-door call therefore sets the switches and runs the engine under one
process-wide lock. Nothing is lost by serialising the calls: the engine
releases the interpreter lock and spreads each call over all CPUs itself.
"""

from __future__ import annotations

import math
import os
import sys
import threading
from collections.abc import Iterator
from contextlib import contextmanager

from . import velk_core

# What the engine starts with, and what a call that names no switch runs with.
DEFAULT_SWITCHES = {"mm_vmax": math.inf, "raw_count": False}

# Re-entrant, so that a front-door function may call another one that takes it too.
_LOCK = threading.RLock()


@contextmanager
def switches(mm_vmax: float = math.inf, raw_count: bool = False) -> Iterator[None]:
    """Holds the engine for the calls of the ``with`` block, with these switches.

    Every switch is set, to the engine's default where not given, so that no
    call inherits what an earlier one left behind.
    """
    with _LOCK:
        velk_core.py_set_mm_vmax(mm_vmax)
        velk_core.py_set_raw_count(raw_count)
        yield


# Set while a command sends descriptor 2 into its log file: the engine's lines then go there too.
_forwarding = threading.local()


@contextmanager
def logs_to_descriptor_2() -> Iterator[None]:
    """Within the block (on this thread), the engine log lines that front-door
    calls collect are also passed on to descriptor 2 as it was before each
    call: what a command uses that has pointed descriptor 2 at its log file."""
    before = getattr(_forwarding, "on", False)
    _forwarding.on = True
    try:
        yield
    finally:
        _forwarding.on = before


@contextmanager
def captured_log(verbose: bool = False) -> Iterator[list[str]]:
    """Collects what the engine writes on file descriptor 2 during the block.

    The shared fits log every optimiser step there, straight from C++, which
    floods a terminal or a notebook cell; the front door keeps those lines on
    its result instead. Yields a list that holds the lines (without their
    newlines) once the block has ended. With `verbose` they are also passed
    on as they come: to ``sys.stderr`` when that is not descriptor 2 itself
    (a notebook), else to whatever descriptor 2 was before the block (a
    terminal); within :func:`logs_to_descriptor_2` always to the latter.
    """
    lines: list[str] = []
    try:
        sys.stderr.flush()
    except (AttributeError, ValueError, OSError):
        pass
    saved = os.dup(2)
    reader, writer = os.pipe()
    echo = None
    forwarding = getattr(_forwarding, "on", False)
    if verbose or forwarding:
        try:
            to_saved = forwarding or sys.stderr.fileno() == 2
        except (AttributeError, ValueError, OSError):
            to_saved = False
        echo = (lambda data: os.write(saved, data)) if to_saved else _text_echo(sys.stderr)

    def drain() -> None:
        pending = b""
        with os.fdopen(reader, "rb", buffering=0) as pipe:
            while block := pipe.read(65536):
                if echo is not None:
                    echo(block)
                pending += block
                *whole, pending = pending.split(b"\n")
                lines.extend(line.decode("utf-8", "replace") for line in whole)
        if pending:
            lines.append(pending.decode("utf-8", "replace"))

    thread = threading.Thread(target=drain, name="velkora-engine-log", daemon=True)
    thread.start()
    os.dup2(writer, 2)
    os.close(writer)
    try:
        yield lines
    finally:
        # Descriptor 2 back first: that closes the pipe's last writer, so the drain sees its end.
        os.dup2(saved, 2)
        thread.join()
        os.close(saved)


def _text_echo(stream):
    def write(data: bytes) -> None:
        try:
            stream.write(data.decode("utf-8", "replace"))
            stream.flush()
        except (AttributeError, ValueError, OSError):
            pass
    return write
