"""Drift fits: the spontaneous rates (StE, StW) that carry each density bin's
methylation distribution from the youngest age to the later ones."""

from __future__ import annotations

import warnings
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np

from .. import _checks, velk_core
from .._errors import InputError
from .._optional import require
from ..counts.binned import DriftData
from ..model.modes import at_bound
from ..parallel import chunks as _chunks
from ..parallel import run as run_job
from .bootstraps import percentile_columns
from .results import density_table
from .settings import engine_arrays, run_options

pd = require("pandas")


def _bound_flags(table, bounds) -> list[str]:
    """Per density bin, the drift rates fitted at an end of `st_bounds`."""
    flags: list[list[str]] = [[] for _ in range(len(table))]
    for name in ("StE", "StW"):
        for d, side in enumerate(at_bound("St", table[name].to_numpy(), {"st_bounds": bounds})):
            if side:
                flags[d].append(f"{name} ({'upper' if side > 0 else 'lower'})")
    return [", ".join(f) for f in flags]


@dataclass
class DriftResult:
    """Fits of the drift of the methylation distribution between ages.

    Attributes
    ----------
    data : DriftData
        The data fitted.
    table : pandas.DataFrame
        One row per density bin (index "density_bin") with its edges, molecule
        count at the youngest age, the fitted StE, StW and nll, ``at_bound``
        (the rates fitted at an end of ``st_bounds``) and, with a bootstrap,
        the percentile columns "StE_p2.5", ... .
    settings : dict
        The search settings (``st_bounds``, ``restarts``).
    samples : pandas.DataFrame or None
        Without a bootstrap None; else long: sample, density_bin, StE, StW, nll.
    n_boot, seed, complete, n_done
        The bootstrap's size, seed, whether it ran to the end and its finished
        samples, as in :class:`BootstrapResult`.
    """

    data: DriftData
    table: pd.DataFrame
    settings: dict[str, Any]
    samples: pd.DataFrame | None = None
    n_boot: int = 0
    seed: int | None = 0
    complete: bool = True
    n_done: int = 0

    def predict(self, ages=None) -> np.ndarray:
        """The fitted model's fractions at some ages.

        Parameters
        ----------
        ages : sequence of float, optional
            The ages, on the data's age scale (default: the data's ages). The
            prediction starts from the youngest age's observed fractions.

        Returns
        -------
        numpy.ndarray
            Shape (n_densities, n_ages, n_meth_bins).
        """
        times = _checks.grid(self.data.ages if ages is None else ages, "ages") - float(self.data.ages[0])
        reference = self.data.by_age[0]
        fractions, edges = engine_arrays(reference)
        return np.array([
            velk_core.py_drift_predict(row.StE, row.StW, fractions[d], np.ascontiguousarray(times), edges)
            for d, row in enumerate(self.table.itertuples())
        ])


def fit_drift(
    data: DriftData,
    *,
    st_bounds=(1e-4, 1.0),
    restarts: int = 8,
    n_boot: int = 0,
    seed: int | None = 0,
    chunk_size: int | None = None,
    progress: Callable[[int, int], None] | None = None,
    keep_partial: bool = False,
    percentiles=(2.5, 97.5),
    client=None,
) -> DriftResult:
    """Fits the spontaneous rates (StE, StW) of every density bin to the change of
    its methylation distribution with age.

    The youngest age is the starting distribution, every later age is fitted at
    its time since then.

    Parameters
    ----------
    data : DriftData
        The molecules binned age by age (from :func:`bin_molecules_by_age`).
    st_bounds : (float, float), optional
        The search range of StE and StW (default (1e-4, 1.0)).
    restarts : int, optional
        Seeded searches per fit (default 8), the best of which is kept. Rates so
        large that every later age sits at the equilibrium form a plateau of the
        likelihood on which a single search can stop; the restarts make the
        results reproducible and independent of one search's luck.
    n_boot : int, optional
        Bootstrap samples (default 0, none): the molecules of every age and
        density bin are resampled and refitted (each with the same restarts).
    seed : int or None, optional
        Seed of the searches and of the resampling (default 0).
    chunk_size, progress, keep_partial, percentiles, client : optional
        As in :func:`bootstrap`; all density bins of a sample run in one job,
        so a chunk holds `chunk_size` samples.

    Returns
    -------
    DriftResult
        The fitted rates per density bin, with the bootstrap's samples and
        percentiles when `n_boot` > 0.

    Raises
    ------
    InputError
        For data that are not a DriftData or a bad setting.

    Warns
    -----
    UserWarning
        When the molecules were read at fewer than 70 sites: the drift model
        scores levels as whole molecules.

    Examples
    --------
    >>> aged = vk.synthetic_drift_molecules(0.02, 0.01, [0, 10, 20])  # doctest: +SKIP
    >>> drift = vk.fit_drift(vk.bin_molecules_by_age(aged, 5, 20))  # doctest: +SKIP
    """
    if not isinstance(data, DriftData):
        raise InputError(f"data must be a DriftData (from bin_molecules_by_age), not {type(data).__name__}")
    if any(binned.short_reads for binned in data.by_age):
        # The drift model starts from the youngest age's observed levels spread over the 71
        # macrostates, which reads of a few sites cannot give.
        depth = min(binned.median_depth for binned in data.by_age)
        warnings.warn(f"the drift fit scores the levels as whole molecules of 70 sites, but these reads call fewer "
                      f"(median {depth:g} sites); cut long reads into windows of 70 CpGs, or read the results "
                      "with care", UserWarning, stacklevel=2)
    bounds = _checks.bounds(st_bounds, "st_bounds", positive=True)
    restarts = _checks.count(restarts, "restarts", 1)
    n_boot, seed, chunk_size, levels = run_options(n_boot, seed, chunk_size, percentiles, minimum_boot=0)
    reference, later = data.by_age[0], data.by_age[1:]
    edges = engine_arrays(reference)[1]
    times = np.ascontiguousarray(data.fit_times, dtype=np.float64)
    n, n_meth = reference.n_densities, reference.n_meth_bins
    # Drift "samples" of the engine: one per (data set, restart, density bin), in that order, so
    # that the chunks of a job hold whole data sets and every search has its own seed.
    per_set = restarts * n

    def drift_job(p0, fit):  # p0: (n_sets, n, n_meth); fit: (n_sets, n, n_later, n_meth)
        n_sets = len(p0)
        p0 = np.broadcast_to(p0[:, None], (n_sets, restarts, n, n_meth)).reshape(-1, n_meth)
        fit = np.broadcast_to(fit[:, None], (n_sets, restarts, *fit.shape[1:])).reshape(-1, n_meth)
        return _chunks.bootstrap_job("py_fit_drift_bootstrap", np.ascontiguousarray(p0), np.ascontiguousarray(fit),
                                     n_sets * per_set, len(later), times, edges, bounds)

    def best(rows, n_sets):  # the lowest nll of every (data set, density bin) over its restarts
        rows = rows.reshape(n_sets, restarts, n, 3)
        pick = np.argmin(rows[..., 2], axis=1)  # the first restart among equals
        return np.take_along_axis(rows, pick[:, None, :, None], axis=1)[:, 0]

    observed = np.stack([b.fractions for b in later], axis=1)  # (n, n_later, n_meth)
    fits = best(drift_job(reference.fractions[None], observed[None]).run(0, per_set), 1)[0]
    table = density_table(reference)
    table["StE"], table["StW"], table["nll"] = fits.T
    table["at_bound"] = _bound_flags(table, bounds)
    result = DriftResult(data, table, {"st_bounds": bounds, "restarts": restarts})
    if n_boot == 0:
        return result

    resampled = data.resample(n_boot, seed)  # (n_ages, n_boot, n, n_meth)
    job = drift_job(resampled[0], resampled[1:].transpose(1, 2, 0, 3))
    per_chunk = chunk_size or _chunks.plan_chunks(n_boot)[0][1]
    report = None if progress is None else (lambda done, _total: progress(done // per_set, n_boot))
    rows, done = run_job(job, per_chunk * per_set, report, keep_partial, client)
    n_done = done // per_set
    rows = best(rows[: n_done * per_set], n_done).reshape(-1, 3)

    index = np.arange(n_done * n)
    labels = np.asarray(reference.labels, dtype=object)
    samples = pd.DataFrame({"sample": index // n, "density_bin": labels[index % n],
                            "StE": rows[:, 0], "StW": rows[:, 1], "nll": rows[:, 2]})
    for name in ("StE", "StW"):
        percentile_columns(table, samples[name].to_numpy().reshape(n_done, n), name, levels)
    result.samples, result.n_boot, result.seed, result.complete, result.n_done = (
        samples, n_boot, seed, n_done == n_boot, n_done)
    return result
