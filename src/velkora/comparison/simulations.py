"""Parametric-bootstrap simulations of likelihood-ratio tests.

For each simulation, every density bin's molecules are drawn (a multinomial
of its molecule count) from the smaller mode's fitted distribution as the
data observe it, and both modes are refitted. The simulated data keep the
observed data's read-depth histograms and are scored with the observed fits'
observation model (for short reads, the sampled likelihood), so that the
simulated statistics are computed exactly as the observed one.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass
from typing import Any

import numpy as np

from ..counts.binned import BinnedData
from ..fitting.fits import fit
from ..fitting.refits import refit_from
from ..parallel import run as run_job


@dataclass(frozen=True)
class Simulations:
    """The simulations of a comparison, laid out as a bootstrap job (see
    :mod:`velkora.parallel.chunks`) so that they run chunk by chunk in this
    process or on Dask workers with the same numbers.

    Simulation t of the job is simulation ``t % n_sim`` of tested pair
    ``t // n_sim``; its molecules come from
    ``numpy.random.default_rng([seed, pair row, simulation])``, so its result
    does not depend on which chunk or worker runs it.
    """

    pairs: tuple[tuple[int, str, str, np.ndarray], ...]  # (row of the tests table, smaller, larger, q of smaller)
    data: BinnedData
    settings: dict[str, Any]  # the fits' settings, the observation model fixed to the observed fits'
    seed: int
    n_sim: int
    sample_offset: int = 0
    count: int | None = None

    function = "compare-simulations"
    n_columns = 1

    @property
    def n_boot(self) -> int:
        return len(self.pairs) * self.n_sim if self.count is None else self.count

    def check(self) -> None:
        """Nothing to check on the workers' behalf: :func:`compare` checked the settings."""

    def part(self, start: int, stop: int) -> Simulations:
        if not 0 <= start <= stop <= self.n_boot:
            raise ValueError(f"chunk {start}..{stop} outside the run's {self.n_boot} simulations")
        return dataclasses.replace(self, sample_offset=self.sample_offset + start, count=stop - start)

    def run(self, start: int = 0, stop: int | None = None) -> np.ndarray:
        stop = self.n_boot if stop is None else stop
        rows = np.empty((stop - start, 1))
        for k, t in enumerate(range(self.sample_offset + start, self.sample_offset + stop)):
            row, small, big, q = self.pairs[t // self.n_sim]
            data = draw(self.data, q, np.random.default_rng([self.seed, row, t % self.n_sim]))
            smaller = fit(data, small, **self.settings)
            larger = refit_from(fit(data, big, **self.settings), smaller)
            rows[k, 0] = 2.0 * (larger.llf - smaller.llf)
        return rows


def draw(data: BinnedData, q: np.ndarray, rng: np.random.Generator) -> BinnedData:
    """Binned molecules drawn from the distributions `q` (one row per density
    bin): each bin a multinomial of its molecule count, with the data's bins
    and read-depth histograms."""
    counts = np.array([rng.multinomial(n, p) for n, p in zip(data.n_molecules, q)], dtype=np.int64)
    return data.with_counts(counts)


def run_simulations(job: Simulations, progress, client) -> np.ndarray:
    rows, _ = run_job(job, progress=progress, client=client)
    return rows[:, 0]
