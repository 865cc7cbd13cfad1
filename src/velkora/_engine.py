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
