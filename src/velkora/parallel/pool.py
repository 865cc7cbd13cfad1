"""Picklable tasks run in order: in this process, in worker processes kept
between calls, or on a Dask client.

:func:`run_in_order` hands out each task's result in the order of the tasks,
a few tasks ahead of the one being taken at most, so that memory stays
bounded however many tasks there are and the results never depend on which
worker ran what. The worker processes of one size are kept after a run that
ends normally (starting them costs more than a small run), end after five
minutes unused or with the interpreter, and are stopped at once when a run
fails, is interrupted or is abandoned midway (they may be busy with tasks no
one will take). Each run leases the kept pool for itself: two runs at once in
two threads never share workers.
"""

from __future__ import annotations

import multiprocessing
import os
import signal
import sys
import threading
from concurrent.futures import ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from contextlib import contextmanager
from typing import Any, Callable, Iterator, Sequence

Task = tuple  # (function, *arguments), all picklable


def run_in_order(tasks: Sequence[Task], *, workers: int = 1, client=None, preload: Sequence[str] = (),
                 progress: Callable[[int, int], Any] | None = None, ahead_per_worker: int = 4,
                 what: str = "the work") -> Iterator[Any]:
    """Yields ``function(*arguments)`` of each task, in the order of `tasks`.

    Parameters
    ----------
    tasks : sequence of tuples
        ``(function, *arguments)``, picklable for worker processes and Dask.
    workers : int
        Processes of the kept pool; 1 (or a single task) runs in this process.
    client : distributed.Client, optional
        Runs the tasks on Dask instead.
    preload : sequence of str
        Modules the workers import once, in the server they fork from.
    progress : callable, optional
        ``progress(done, total)``: once with 0 before the first task, then per task.
    ahead_per_worker : int
        Tasks submitted ahead of the one being taken, per worker.
    what : str
        What the tasks do, for the message when a worker process dies.
    """
    total = len(tasks)
    if progress is not None:
        progress(0, total)
    if client is not None:
        yield from _run_dask(client, tasks, progress, ahead_per_worker)
        return
    if workers <= 1 or total <= 1:
        for done, (function, *arguments) in enumerate(tasks, 1):
            yield function(*arguments)
            if progress is not None:
                progress(done, total)
        return
    ahead = ahead_per_worker * workers
    futures = []
    with leased_pool(workers, preload) as executor:
        submitted = 0
        for done in range(total):
            with unimportable_main_hidden():
                while submitted < total and submitted < done + ahead:
                    futures.append(executor.submit(*tasks[submitted]))
                    submitted += 1
            try:
                result = futures[done].result()
            except BrokenProcessPool:
                raise RuntimeError(f"a worker process doing {what} died (out of memory, or a script the "
                                   "workers cannot import, such as one read from standard input?)") from None
            futures[done] = None
            yield result
            if progress is not None:
                progress(done + 1, total)


def _quiet_worker():
    # Ctrl+C goes to the whole process group: the parent stops the run, workers just end.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


class KeptPool:
    """Worker processes kept between calls, so that many small runs do not pay for starting them
    each time; they end after a while unused, or with the interpreter."""

    IDLE_SECONDS = 300.0
    _lock = threading.Lock()
    _kept = None  # (pid, workers, preload, executor) of the idle pool
    _timer = None

    @classmethod
    def take(cls, workers: int, preload: Sequence[str] = ()) -> ProcessPoolExecutor:
        preload = tuple(preload)
        with cls._lock:
            if cls._timer is not None:
                cls._timer.cancel()
                cls._timer = None
            kept, cls._kept = cls._kept, None
        if kept is not None:
            pid, size, modules, executor = kept
            if (pid == os.getpid() and size == workers and set(preload) <= set(modules)
                    and not getattr(executor, "_broken", False)):
                return executor
            if pid == os.getpid():  # a pool of another size; one inherited by a fork is not ours to stop
                executor.shutdown(wait=False, cancel_futures=True)
        context = multiprocessing.get_context("forkserver")
        # Workers fork from a server that has imported these once, instead of importing them each.
        context.set_forkserver_preload(list(preload))
        return ProcessPoolExecutor(max_workers=workers, mp_context=context, initializer=_quiet_worker)

    @classmethod
    def give_back(cls, workers: int, executor: ProcessPoolExecutor, preload: Sequence[str] = ()) -> None:
        with cls._lock:
            if cls._kept is not None:  # another call kept its pool meanwhile: this one is not needed
                executor.shutdown(wait=False)
                return
            cls._kept = (os.getpid(), workers, tuple(preload), executor)
            timer = cls._timer = threading.Timer(cls.IDLE_SECONDS, lambda: cls.close(timer))
            timer.daemon = True
            timer.start()

    @classmethod
    def close(cls, timer=None) -> None:
        """Stops the idle workers, if any; from `timer`, only if it still stands for the kept pool
        (the pool may have been taken and given back while it fired)."""
        with cls._lock:
            if timer is not None and timer is not cls._timer:
                return
            kept, cls._kept = cls._kept, None
            if cls._timer is not None:
                cls._timer.cancel()
                cls._timer = None
        if kept is not None and kept[0] == os.getpid():
            kept[3].shutdown(wait=True)


@contextmanager
def leased_pool(workers: int, preload: Sequence[str] = ()):
    """A pool for one run: kept for the next run when the run ends normally, its workers
    stopped at once when it fails or is interrupted (they may be mid-task)."""
    executor = KeptPool.take(workers, preload)
    try:
        yield executor
    except BaseException:
        stop(executor)
        raise  # GeneratorExit too: a run abandoned midway leaves work queued
    KeptPool.give_back(workers, executor, preload)


@contextmanager
def unimportable_main_hidden():
    """New worker processes re-run the parent's main script when it has a file; a script read from
    standard input ('<stdin>') has none to run, so its name is hidden while workers start."""
    main = sys.modules.get("__main__")
    name = getattr(main, "__file__", None)
    if name is None or os.path.exists(name):
        yield
        return
    del main.__file__
    try:
        yield
    finally:
        main.__file__ = name


def stop(executor) -> None:
    """Ends a pool's workers now, whatever they are doing."""
    executor.shutdown(wait=False, cancel_futures=True)
    terminate = getattr(executor, "terminate_workers", None)
    if terminate is not None:
        terminate()
        return
    for process in list((getattr(executor, "_processes", None) or {}).values()):
        process.terminate()


def _run_dask(client, tasks, progress, ahead_per_worker):
    ahead = ahead_per_worker * max(1, len(getattr(client, "nthreads", lambda: {})() or {}))
    futures = []
    submitted = 0
    total = len(tasks)
    try:
        for done in range(total):
            while submitted < total and submitted < done + ahead:
                function, *arguments = tasks[submitted]
                futures.append(client.submit(function, *arguments, pure=False,
                                             key=f"velkora-task-{submitted}-{id(futures)}"))
                submitted += 1
            result = futures[done].result()
            futures[done] = None
            yield result
            if progress is not None:
                progress(done + 1, total)
    except BaseException:
        for future in futures:
            if future is not None:
                future.cancel()
        raise
