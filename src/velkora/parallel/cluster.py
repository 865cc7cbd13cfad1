"""Bootstraps spread over a Dask cluster, with the numbers of one local call.

A bootstrap run is cut into chunks of consecutive samples (see
:mod:`velkora.parallel.chunks`); each chunk ships to a worker only its own rows of
the resampled data and is fitted there with ``sample_offset`` set to its
first sample, so its fits are seeded and its rows numbered exactly as within
one call on the whole run. The chunks come back in whatever order the workers
finish and are put back in sample order: the result equals the single call
bit for bit, whatever the chunk size, the number of workers or their threads.

That holds for every bootstrap whose fits are seeded: all of them, once the
shared-St mode of ``py_fit_bootstrap`` (``shared_st=True``) is given its
keyword-only ``seed``, as :func:`velkora.bootstrap` always does; without it,
its inner per-density fits draw fresh seeds from the operating system and two
runs agree only in distribution.

Threads. The engine runs each call on one pool per process, sized when the
process first fits anything: ``RAYON_NUM_THREADS`` threads when that variable
is set, else one per CPU. A Dask worker process running `t` chunks at once
keeps ``RAYON_NUM_THREADS - 1 + t`` threads busy. Without ``client`` a
LocalCluster is started with one thread per worker and ``RAYON_NUM_THREADS``
set in every worker so that all of them together use the machine's CPUs and
no more. With your own client, set ``RAYON_NUM_THREADS`` for the workers
yourself, e.g. ``LocalCluster(n_workers=4, threads_per_worker=1,
env={"RAYON_NUM_THREADS": "2"})`` on 8 CPUs, or ``env RAYON_NUM_THREADS=2
dask worker ...``; a RuntimeWarning says so when the workers of a machine
would run more threads than it has CPUs.

Failures. A chunk whose worker dies is run again on another worker by the
scheduler (up to ``distributed.scheduler.allowed-failures`` times, default 3);
a chunk that raises is run again `retries` times. A chunk that still fails,
Ctrl+C while waiting, or an exception from `progress` cancels the chunks not
yet finished; the failure is raised as a RuntimeError naming the chunk's
samples, with the worker's error as its cause.
"""

from __future__ import annotations

import os
import socket
import uuid
import warnings
from collections.abc import Callable
from contextlib import contextmanager
from typing import Any

import numpy as np

from .._optional import require
from . import chunks as _chunks

__all__ = ["bootstrap_on_cluster", "run_job"]


def bootstrap_on_cluster(
    function: str | Callable[..., np.ndarray],
    *args: Any,
    client=None,
    chunk_size: int | None = None,
    progress: Callable[[int, int], None] | None = None,
    switches: dict[str, Any] | None = None,
    n_workers: int | None = None,
    retries: int = 1,
    **kwargs: Any,
) -> np.ndarray:
    """One of the engine's bootstrap functions, run over a Dask cluster.

    Parameters
    ----------
    function : str or callable
        The function of :mod:`velkora.velk_core` or its name
        ("py_fit_bootstrap", "py_fit_bootstrap_exp",
        "py_fit_bootstrap_exp_perdensity", "py_fit_bootstrap_co",
        "py_fit_drift_bootstrap").
    *args, **kwargs
        Its arguments, without ``sample_offset``.
    client : distributed.Client, optional
        Without one, a LocalCluster of `n_workers` processes (default: one per
        CPU, at most one per chunk) runs the job and is closed afterwards.
    chunk_size : int, optional
        Samples per task (default: about twenty chunks).
    progress : callable, optional
        ``progress(done, n_boot)``, called as chunks finish.
    switches : dict, optional
        The module's run-wide settings the fits need, as
        ``{"mm_vmax": ..., "raw_count": ...}``, the engine's defaults (no
        ceiling, fractions) for those not given. Each worker sets them before
        every chunk: they are process-wide, and what ``py_set_mm_vmax`` or
        ``py_set_raw_count`` set in this process does not reach another one.
    n_workers : int, optional
        Worker processes of the LocalCluster started without `client`.
    retries : int, optional
        How often a chunk that raised is run again (default 1).

    Returns
    -------
    numpy.ndarray
        The rows the function would return, bit for bit (see the module's notes
        for the one unseeded mode).

    Raises
    ------
    RuntimeError
        When a chunk still fails after its retries, naming the chunk's samples,
        with the worker's error as its cause.
    """
    name = function if isinstance(function, str) else getattr(function, "__name__", function)
    job = _chunks.bootstrap_job(name, *args, switches=switches, **kwargs)
    rows, _ = run_job(job, client=client, chunk_size=chunk_size, progress=progress, n_workers=n_workers,
                      retries=retries)
    return rows


def run_job(
    job: _chunks.BootstrapJob,
    *,
    client=None,
    chunk_size: int | None = None,
    progress: Callable[[int, int], None] | None = None,
    keep_partial: bool = False,
    n_workers: int | None = None,
    retries: int = 1,
) -> tuple[np.ndarray, int]:
    """Runs a bootstrap job chunk by chunk on Dask workers.

    Parameters
    ----------
    job : BootstrapJob
        The job (see :mod:`velkora.parallel.chunks`).
    client, chunk_size, progress, n_workers, retries : optional
        As for :func:`bootstrap_on_cluster`.
    keep_partial : bool, optional
        With True, Ctrl+C cancels the chunks not yet done and returns the
        unbroken run of finished chunks from sample 0; otherwise the
        KeyboardInterrupt propagates after the cancel.

    Returns
    -------
    (numpy.ndarray, int)
        The rows of the finished samples in sample order and their number, like
        :func:`velkora.parallel.chunks.run_local`: on a complete run, the rows of one
        whole call.
    """
    distributed = require("distributed")
    if retries < 0:
        raise ValueError(f"retries must be at least 0, not {retries}")
    job.check()
    chunks = _chunks.plan_chunks(job.n_boot, chunk_size)
    if not chunks:
        return np.empty((0, job.n_columns)), 0
    if client is None:
        with _local_client(distributed, n_workers or min(os.cpu_count() or 1, len(chunks))) as own:
            return _run_chunks(distributed, own, job, chunks, progress, keep_partial, retries)
    if n_workers is not None:
        raise ValueError("n_workers sizes the LocalCluster started without a client; it cannot resize a client")
    _warn_if_oversubscribed(client)
    return _run_chunks(distributed, client, job, chunks, progress, keep_partial, retries)


@contextmanager
def _local_client(distributed, n_workers: int):
    """A client of a LocalCluster of `n_workers` one-thread processes whose
    engine pools share out this machine's CPUs."""
    if n_workers < 1:
        raise ValueError(f"n_workers must be at least 1, not {n_workers}")
    engine_threads = max(1, (os.cpu_count() or 1) // n_workers)
    cluster = distributed.LocalCluster(
        n_workers=n_workers,
        threads_per_worker=1,
        processes=True,
        dashboard_address=":0",
        env={"RAYON_NUM_THREADS": str(engine_threads)},
    )
    try:
        with distributed.Client(cluster) as client:
            yield client
    finally:
        cluster.close()


def _run_part(part: _chunks.BootstrapJob) -> np.ndarray:
    # A module-level function, so tasks pickle by reference.
    return part.run()


def _run_chunks(distributed, client, job, chunks, progress, keep_partial, retries) -> tuple[np.ndarray, int]:
    tag = uuid.uuid4().hex[:8]
    futures = [
        client.submit(_run_part, job.part(start, stop), pure=False, retries=retries,
                      key=f"{job.function}-{tag}-{start}-{stop}")
        for start, stop in chunks
    ]
    index = {future.key: i for i, future in enumerate(futures)}
    results: list[np.ndarray | None] = [None] * len(chunks)
    done = 0
    try:
        for future in distributed.as_completed(futures):
            i = index[future.key]
            start, stop = chunks[i]
            try:
                results[i] = future.result()
            except Exception as error:
                raise RuntimeError(
                    f"the bootstrap chunk of samples {start}..{stop - 1} failed on a worker: "
                    f"{type(error).__name__}: {error}"
                ) from error
            done += stop - start
            if progress is not None:
                progress(done, job.n_boot)
    except KeyboardInterrupt:
        client.cancel(futures)
        if not keep_partial:
            raise
    except BaseException:
        client.cancel(futures)
        raise
    finished = 0
    while finished < len(chunks) and results[finished] is not None:
        finished += 1
    parts = [np.empty((0, job.n_columns)), *results[:finished]]
    return np.concatenate(parts), chunks[finished - 1][1] if finished else 0


def _engine_threads(text: str | None, cpus: int) -> int:
    """The engine's pool size for a RAYON_NUM_THREADS value (as it parses it:
    a positive decimal integer, else one thread per CPU)."""
    if text and text.isascii() and text.isdigit() and int(text) > 0:
        return int(text)
    return cpus


def _worker_process() -> tuple[str, int, int, int]:
    # Runs on each worker: (host, process, CPUs, engine pool size).
    cpus = os.cpu_count() or 1
    return socket.gethostname(), os.getpid(), cpus, _engine_threads(os.environ.get("RAYON_NUM_THREADS"), cpus)


def _warn_if_oversubscribed(client) -> None:
    """Warns when the workers of one machine would keep more threads busy than
    it has CPUs. Reads RAYON_NUM_THREADS as the workers have it now; a worker
    that fitted before keeps the pool it sized then."""
    processes = client.run(_worker_process)
    nthreads = client.nthreads()
    busy: dict[tuple[str, int], int] = {}
    cpus_of: dict[str, int] = {}
    for address, (host, pid, cpus, engine) in processes.items():
        # Worker threads of one process share its pool, and each calling thread works too.
        busy[host, pid] = busy.get((host, pid), engine - 1) + nthreads.get(address, 1)
        cpus_of[host] = cpus
    per_host: dict[str, int] = {}
    for (host, _), threads in busy.items():
        per_host[host] = per_host.get(host, 0) + threads
    for host, total in sorted(per_host.items()):
        if total > cpus_of[host]:
            warnings.warn(
                f"the Dask workers on {host} would run {total} engine threads on {cpus_of[host]} CPUs; set "
                "RAYON_NUM_THREADS for the workers so that, per machine, the worker processes times their "
                "engine threads stay within its CPUs (see velkora.parallel.cluster)",
                RuntimeWarning,
                stacklevel=3,
            )
