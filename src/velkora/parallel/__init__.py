"""Runs of the package's work in pieces: bootstrap chunks in this process or on
a Dask cluster, and regions of an input in kept worker processes.

Whatever runs a piece, the pieces' results are taken back in their order, so a
result never depends on how the work was split or where it ran.
"""

from __future__ import annotations

from typing import Callable

import numpy as np

from .chunks import run_local


def run(job, chunk_size: int | None = None, progress: Callable[[int, int], None] | None = None,
        keep_partial: bool = False, client=None) -> tuple[np.ndarray, int]:
    """Runs a job chunk by chunk, here (:func:`~velkora.parallel.chunks.run_local`)
    or, with a Dask `client`, on its workers
    (:func:`~velkora.parallel.cluster.run_job`), with the same rows either way.
    Returns the rows and the number of finished samples."""
    if client is not None:
        from .cluster import run_job  # noqa: PLC0415 - Dask is an optional extra

        return run_job(job, client=client, chunk_size=chunk_size, progress=progress, keep_partial=keep_partial)
    return run_local(job, chunk_size, progress, keep_partial)
