"""Bootstraps of fits: the fit redone on resampled molecules.

The resamples are drawn here (:meth:`velkora.counts.BinnedData.resample`)
and fitted by the mode's bootstrap function of the engine, chunk by chunk
(:mod:`velkora.parallel.chunks`), in this process or on a Dask cluster, with
the same rows either way. Every resample is observed as the data were: the
observation matrices (from the read depths) are conditioned on, not
resampled.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable

import numpy as np

from .._errors import InputError
from .._optional import require
from ..model.modes import PARAMETERS, at_bound
from ..parallel import chunks as _chunks
from ..parallel import run as run_job
from .collections import FitCollection
from .results import FitResult
from .settings import engine_arrays, engine_weights, keywords, run_options, switches

pd = require("pandas")


@dataclass
class BootstrapResult:
    """A bootstrap of a fit: the fit redone on resampled molecules.

    Attributes
    ----------
    fit : FitResult
        The fit that was bootstrapped.
    n_boot : int
        The number of samples asked for.
    seed : int or None
        The seed of the resampling and of the refits.
    complete : bool
        False when the run was stopped early (``keep_partial``): then only the
        first ``n_done`` of the ``n_boot`` samples are in.
    n_done : int
        The number of finished samples.
    samples : pandas.DataFrame
        Long: one row per (sample, density bin) with the refitted St, CoW, CoE,
        n_U, n_M, Vmax and nll.
    intervals : pandas.DataFrame
        One row per density bin: for every parameter the fit's estimate (column
        "St", ...), the bootstrap percentiles ("St_p2.5", "St_p97.5", ...) and
        ``at_bound``: the percentiles that lie at an end of their parameter's
        search range (e.g. "CoW_p97.5 (upper)"), where the interval is cut by
        the range, not by the data.
    """

    fit: FitResult
    n_boot: int
    seed: int | None
    complete: bool
    n_done: int
    samples: pd.DataFrame
    intervals: pd.DataFrame


def percentile_columns(table, values: np.ndarray, name: str, levels: np.ndarray) -> None:
    """Adds the columns "<name>_p<level>" from `values` (n_samples, n_densities)."""
    if values.shape[0]:
        found = np.percentile(values, levels, axis=0)
    else:
        found = np.full((len(levels), values.shape[1]), np.nan)
    for level, column in zip(levels, found):
        table[f"{name}_p{level:g}"] = column


def bootstrap_job(result: FitResult, resampled: np.ndarray, n_boot: int, seed: int | None) -> _chunks.BootstrapJob:
    """The engine call that fits `n_boot` stacked resamples as `result` was fitted."""
    s, description = result.settings, result.description
    weights = engine_weights(s, result.data)
    head = (resampled, n_boot, result.data.n_densities, engine_arrays(result.data)[1], s["normalize_stw"])
    function = description.bootstrap_function
    arguments = description.bootstrap_call(head, s, weights, result.warm_start())
    return _chunks.bootstrap_job(function, *head, *arguments, switches=switches(s),
                                 **keywords(function, {**s, "seed": seed}, result.observation_matrices))


def unpack_rows(job: _chunks.BootstrapJob, rows: np.ndarray, settings) -> dict[str, np.ndarray]:
    """The bootstrap rows by column name, every parameter filled in: those the
    function does not return are held at their settings."""
    named = dict(zip(job.columns, rows.T))
    held = {"n_U": settings["n_u"], "n_M": settings["n_m"], "Vmax": settings["vmax"]}
    return {name: named[name] if name in named else np.full(len(rows), held[name])
            for name in ("sample", "density", *PARAMETERS, "nll")}


def bootstrap(
    fit_result: FitResult,
    n_boot: int = 100,
    *,
    seed: int | None = 0,
    chunk_size: int | None = None,
    progress: Callable[[int, int], None] | None = None,
    keep_partial: bool = False,
    percentiles=(2.5, 97.5),
    client=None,
) -> BootstrapResult:
    """Bootstrap intervals of a fit.

    The molecules of every density bin are resampled with replacement `n_boot`
    times (from `seed`) and each resample is fitted as `fit_result` was (same
    mode and settings; shared-exp and shared-co resamples start from the fit's
    optimum).

    Parameters
    ----------
    fit_result : FitResult or FitCollection
        The fit to bootstrap (from :func:`fit`); of a collection (one fit per
        stratum, group or sample) every member is bootstrapped alike.
    n_boot : int, optional
        The number of resamples (default 100), at least 1.
    seed : int or None, optional
        Seed of the resampling and of the refits (default 0).
    chunk_size : int, optional
        Samples per chunk (default: about twenty chunks); the results do not
        depend on it.
    progress : callable, optional
        ``progress(done, n_boot)``, called after each chunk.
    keep_partial : bool, optional
        With True, Ctrl+C ends the run after the running chunk and the finished
        samples are returned (``complete=False``); otherwise the
        KeyboardInterrupt propagates.
    percentiles : sequence of float, optional
        The percentiles of the intervals (default (2.5, 97.5)), within 0 .. 100.
    client : distributed.Client, optional
        A Dask client to spread the chunks over (needs ``velkora[dask]``), with
        the same samples as without it; set ``RAYON_NUM_THREADS`` for its
        workers so that, per machine, worker processes times engine threads
        stay within the CPUs (see :mod:`velkora.parallel.cluster`).

    Returns
    -------
    BootstrapResult or BootstrapCollection
        The samples and the percentile intervals (of every member, labelled).

    Raises
    ------
    InputError
        For a `fit_result` that is not a FitResult, or a bad `n_boot`, `seed`,
        `chunk_size` or `percentiles`.

    Examples
    --------
    >>> boot = vk.bootstrap(result, n_boot=200, seed=0)  # doctest: +SKIP
    >>> boot.intervals[["St", "St_p2.5", "St_p97.5"]]  # doctest: +SKIP
    """
    if isinstance(fit_result, FitCollection):
        return bootstrap_collection(fit_result, bootstrap, n_boot, seed, progress, keep_partial,
                                    chunk_size=chunk_size, percentiles=percentiles, client=client)
    if not isinstance(fit_result, FitResult):
        raise InputError(f"fit_result must be a FitResult (from fit), not {type(fit_result).__name__}")
    n_boot, seed, chunk_size, levels = run_options(n_boot, seed, chunk_size, percentiles, minimum_boot=1)
    data, s = fit_result.data, fit_result.settings
    job = bootstrap_job(fit_result, data.resample(n_boot, seed), n_boot, seed)
    rows, n_done = run_job(job, chunk_size, progress, keep_partial, client)

    n = data.n_densities
    columns = unpack_rows(job, rows, s)
    samples = pd.DataFrame({"sample": columns["sample"].astype(np.int64),
                            "density_bin": np.asarray(data.labels, dtype=object)[columns["density"].astype(np.int64)]})
    for name in (*PARAMETERS, "nll"):
        samples[name] = columns[name]

    fitted = fit_result.description.fitted(s)
    intervals = pd.DataFrame(index=fit_result.table.index)
    flags: list[list[str]] = [[] for _ in range(n)]
    for name in PARAMETERS:
        if name == "Vmax" and name not in fitted:
            continue
        intervals[name] = fit_result.table[name]
        # Rows come sample by sample, density bins in order within each.
        percentile_columns(intervals, samples[name].to_numpy().reshape(n_done, n), name, levels)
        if name in fitted:
            for level in levels:
                column = f"{name}_p{level:g}"
                for d, side in enumerate(at_bound(name, intervals[column].to_numpy(), s)):
                    if side:
                        flags[d].append(f"{column} ({'upper' if side > 0 else 'lower'})")
    intervals["at_bound"] = [", ".join(f) for f in flags]
    return BootstrapResult(fit_result, n_boot, seed, n_done == n_boot, n_done, samples, intervals)


@dataclass
class BootstrapCollection:
    """The bootstraps of a :class:`FitCollection`, one per label.

    Attributes
    ----------
    by : str
        What the labels are.
    bootstraps : dict of str to BootstrapResult
        Each member's bootstrap; a run stopped early holds the members finished
        or begun.
    n_boot : int
        Samples asked for per member.
    seed : int or None
        The seed of every member's resampling and refits.
    """

    by: str
    bootstraps: dict[str, BootstrapResult]
    n_boot: int
    seed: int | None

    @property
    def fit(self) -> FitCollection:
        return FitCollection(self.by, {label: boot.fit for label, boot in self.bootstraps.items()})

    @property
    def complete(self) -> bool:
        return all(boot.complete for boot in self.bootstraps.values())

    @property
    def n_done(self) -> int:
        """Samples finished, over all members."""
        return sum(boot.n_done for boot in self.bootstraps.values())

    def _names(self) -> list[str]:
        names = list(self.by) if isinstance(self.by, tuple) else [self.by]
        # A design's samples are not the bootstrap's samples (the column "sample" of each member).
        return ["sample_name" if name == "sample" else name for name in names]

    @property
    def samples(self):
        """Every member's samples, with columns of the label first (a design's
        sample as ``sample_name``: ``sample`` numbers the bootstrap samples)."""
        names = self._names()
        parts = []
        for label, boot in self.bootstraps.items():
            values = label if isinstance(label, tuple) else (label,)
            part = boot.samples.copy()
            for position, (name, value) in enumerate(zip(names, values)):
                part.insert(position, name, value)
            parts.append(part)
        return pd.concat(parts, ignore_index=True)

    @property
    def intervals(self):
        """Every member's intervals, with the label as the first index level(s)."""
        return pd.concat({label: boot.intervals for label, boot in self.bootstraps.items()}, names=self._names())


def bootstrap_collection(collection: FitCollection, run: Callable[..., BootstrapResult], n_boot: int, seed,
                         progress, keep_partial: bool, **options) -> BootstrapCollection:
    """Bootstraps every member with the same options; `progress(done, total)`
    counts the samples of all members."""
    total = n_boot * len(collection)
    done_before = 0
    bootstraps = {}
    for label, fit in collection.fits.items():
        member_progress = None if progress is None else (
            lambda done, _total, before=done_before: progress(before + done, total))
        boot = run(fit, n_boot, seed=seed, progress=member_progress, keep_partial=keep_partial, **options)
        bootstraps[label] = boot
        done_before += n_boot
        if not boot.complete:
            break
    return BootstrapCollection(collection.by, bootstraps, n_boot, seed)
