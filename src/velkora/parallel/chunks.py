"""Bootstrap runs split into chunks of samples.

Every bootstrap function of :mod:`velk_core` takes its resamples stacked,
sample-major, and a keyword-only ``sample_offset``: the index of the stack's
first sample within the whole run. A chunk of samples ``start .. stop - 1``
called with ``sample_offset=start`` seeds every fit and numbers every row
exactly as one call on the whole stack does, so concatenating the chunks'
results in sample order reproduces that call bit for bit. That is what lets
a run report progress, keep its finished part on Ctrl+C, or spread over a
cluster, without changing a single number.
"""

from __future__ import annotations

import dataclasses
import inspect
import math
import os
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np

from .. import _engine, velk_core

# For each bootstrap function: the position of `n_boot` among its parameters,
# and for every stacked array, its position and the parameter that gives its
# rows per sample (None: one row per sample).
_LAYOUTS: dict[str, tuple[int, tuple[tuple[int, str | None], ...]]] = {
    "py_fit_bootstrap": (1, ((0, "n_densities"),)),
    "py_fit_bootstrap_exp": (1, ((0, "n_densities"),)),
    "py_fit_bootstrap_exp_perdensity": (1, ((0, "n_densities"),)),
    "py_fit_bootstrap_co": (1, ((0, "n_densities"),)),
    "py_fit_drift_bootstrap": (2, ((0, None), (1, "n_fit_ages"))),
}

BOOTSTRAP_FUNCTIONS = tuple(_LAYOUTS)

# The columns of each bootstrap function's result rows: what the callers unpack
# by name.
ROW_COLUMNS: dict[str, tuple[str, ...]] = {
    "py_fit_bootstrap": ("sample", "density", "St", "CoW", "CoE", "nll"),
    "py_fit_bootstrap_exp": ("sample", "density", "St", "n_U", "n_M", "CoW", "CoE", "nll", "Vmax"),
    "py_fit_bootstrap_exp_perdensity": ("sample", "density", "St", "n_U", "n_M", "CoW", "CoE", "nll", "Vmax"),
    "py_fit_bootstrap_co": ("sample", "density", "St", "n_U", "n_M", "CoW", "CoE", "nll", "Vmax"),
    "py_fit_drift_bootstrap": ("StE", "StW", "nll"),
}


@dataclass(frozen=True)
class BootstrapJob:
    """One bootstrap call of the module, ready to be run whole or by chunks.

    Holds only the function's name, NumPy arrays and plain values, so it
    pickles to another process (a Dask worker) as it is. `switches` are the
    module's process-wide settings the run needs (``mm_vmax``, ``raw_count``):
    every chunk sets them before its call, so that a worker process fits with
    the same ones as the process that planned the run. `sample_offset` is
    the run-wide index of the job's first sample: 0 for a whole run, the
    chunk's start for a :meth:`part` of one.
    """

    function: str
    args: tuple[Any, ...]
    kwargs: dict[str, Any] = field(default_factory=dict)
    switches: dict[str, Any] = field(default_factory=dict)
    sample_offset: int = 0

    @property
    def n_boot(self) -> int:
        return int(self.args[_LAYOUTS[self.function][0]])

    @property
    def columns(self) -> tuple[str, ...]:
        """The names of the result rows' columns."""
        return ROW_COLUMNS[self.function]

    @property
    def n_columns(self) -> int:
        return len(self.columns)

    def _rows_per_sample(self, source: str | None) -> int:
        if source is None:
            return 1
        names = list(inspect.signature(getattr(velk_core, self.function)).parameters)
        return int(self.args[names.index(source)])

    def part(self, start: int, stop: int) -> BootstrapJob:
        """Samples start .. stop - 1 as a job of their own, holding only their
        rows of the stacked arrays (what a chunk ships to another process),
        numbered and seeded as within this job."""
        if not 0 <= start <= stop <= self.n_boot:
            raise ValueError(f"chunk {start}..{stop} outside the run's {self.n_boot} samples")
        n_boot_position, stacked = _LAYOUTS[self.function]
        args = list(self.args)
        for position, source in stacked:
            per_sample = self._rows_per_sample(source)
            args[position] = np.ascontiguousarray(self.args[position][start * per_sample : stop * per_sample])
        args[n_boot_position] = stop - start
        # replace() keeps the class, so a subclass's run() still applies to its parts.
        return dataclasses.replace(self, args=tuple(args), sample_offset=self.sample_offset + start)

    def check(self) -> None:
        """Checks the job's arguments as the module would check them on one
        whole call, with the run's own numbers, without fitting anything: what
        a cluster run does before it sends a chunk, so that a mistake is not
        found on a worker, counted within a chunk."""
        n_boot_position, stacked = _LAYOUTS[self.function]
        n_boot = self.args[n_boot_position]
        if isinstance(n_boot, bool) or not isinstance(n_boot, (int, np.integer)) or n_boot < 0:
            raise TypeError(f"argument 'n_boot': expected a non-negative integer, not {n_boot!r}")
        # Every argument but the stacks' lengths, checked by the module itself on no sample.
        empty = list(self.args)
        for position, _ in stacked:
            array = self.args[position]
            if isinstance(array, np.ndarray) and array.ndim == 2:
                empty[position] = array[:0]
        empty[n_boot_position] = 0
        with _engine.switches(**self.switches):
            getattr(velk_core, self.function)(*empty, **self.kwargs, sample_offset=self.sample_offset)
        names = list(inspect.signature(getattr(velk_core, self.function)).parameters)
        for position, source in stacked:
            needed = n_boot * self._rows_per_sample(source)
            if len(self.args[position]) != needed:
                per_sample = f"n_boot * {source} = {n_boot} * {self._rows_per_sample(source)}" if source else "n_boot"
                raise RuntimeError(f"{names[position]} has {len(self.args[position])} rows but {per_sample} "
                                   f"= {needed} rows are needed")

    def run(self, start: int = 0, stop: int | None = None) -> np.ndarray:
        """The module's result rows for samples start .. stop - 1 of the job
        (default: all of them)."""
        part = self.part(start, self.n_boot if stop is None else stop)
        # The switches are process-wide: a worker (or a thread of this process)
        # may have run another job with other ones, so every chunk sets all of
        # them, under the engine's lock.
        with _engine.switches(**self.switches):
            return getattr(velk_core, self.function)(*part.args, **self.kwargs, sample_offset=part.sample_offset)

def bootstrap_job(function: str, *args: Any, switches: dict[str, Any] | None = None, **kwargs: Any) -> BootstrapJob:
    """Binds the arguments of one of the module's bootstrap functions.

    `function` is its name ("py_fit_bootstrap", "py_fit_bootstrap_exp",
    "py_fit_bootstrap_exp_perdensity", "py_fit_bootstrap_co" or
    "py_fit_drift_bootstrap"); the arguments are those of the function, by
    position or keyword, without `sample_offset`; `switches` as in
    :class:`BootstrapJob`. Nothing is validated here:
    the module checks the arguments when a chunk runs.
    """
    if function not in _LAYOUTS:
        raise ValueError(f"{function!r} is not a bootstrap function; expected one of {', '.join(_LAYOUTS)}")
    if "sample_offset" in kwargs:
        raise TypeError("sample_offset is chosen per chunk; do not pass it")
    signature = inspect.signature(getattr(velk_core, function))
    bound = signature.bind(*args, **kwargs)
    names = list(signature.parameters)
    n_boot_position, stacked = _LAYOUTS[function]
    # The positional head up to the last stacked or count argument, the rest by keyword.
    head = max([n_boot_position, *(p for p, _ in stacked), *(names.index(s) for _, s in stacked if s)]) + 1
    missing = [name for name in names[:head] if name not in bound.arguments]
    if missing:
        raise TypeError(f"{function}() missing required argument '{missing[0]}'")
    positional = tuple(bound.arguments[name] for name in names[:head])
    rest = {name: value for name, value in bound.arguments.items() if names.index(name) >= head}
    return BootstrapJob(function, positional, rest, dict(switches or {}))


def plan_chunks(n_boot: int, chunk_size: int | None = None) -> list[tuple[int, int]]:
    """Consecutive (start, stop) sample ranges covering 0 .. n_boot - 1.

    The default size gives about twenty chunks (for a progress bar that
    moves), but never fewer samples per chunk than there are CPUs, so that a
    chunk still fills the thread pool.
    """
    if chunk_size is None:
        chunk_size = max(os.cpu_count() or 1, math.ceil(n_boot / 20))
    if chunk_size < 1:
        raise ValueError(f"chunk_size must be at least 1, not {chunk_size}")
    return [(start, min(start + chunk_size, n_boot)) for start in range(0, n_boot, chunk_size)]


def run_local(
    job: BootstrapJob,
    chunk_size: int | None = None,
    progress: Callable[[int, int], None] | None = None,
    keep_partial: bool = False,
) -> tuple[np.ndarray, int]:
    """Runs the job chunk after chunk in this process.

    Returns the result rows of the finished samples and their number; on a
    complete run the rows equal one whole call's. `progress(done, n_boot)` is
    called after every chunk. With `keep_partial`, Ctrl+C ends the run after
    the chunk that was running (its own rows are lost: the module discards
    them) and the chunks finished before it are returned; otherwise the
    KeyboardInterrupt propagates.
    """
    parts = [np.empty((0, job.n_columns))]
    done = 0
    for start, stop in plan_chunks(job.n_boot, chunk_size):
        try:
            parts.append(job.run(start, stop))
            done = stop
            if progress is not None:
                progress(done, job.n_boot)
        except KeyboardInterrupt:
            # Pressed during the module call, or between calls (in `progress`).
            if not keep_partial:
                raise
            break
    return np.concatenate(parts), done

