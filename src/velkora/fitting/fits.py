"""Fits of binned methylation distributions in one of the modes.

:func:`fit` takes a :class:`~velkora.counts.BinnedData`, checks its settings,
calls the engine function of the mode (:mod:`velkora.model.modes` describes
every mode: what it shares between the density bins, which engine function
fits it and how its result unpacks) and returns a
:class:`~velkora.fitting.results.FitResult`.

St is the free spontaneous rate: StE with ``normalize_stw=True`` (StW = 1),
StW otherwise (StE = 1).
"""

from __future__ import annotations

import numpy as np

from .. import _checks, _engine, velk_core
from .._errors import InputError
from ..counts.binned import BinnedData, Strata
from .collections import FitCollection
from .results import FitResult, parameter_table
from .settings import (binned, check_settings, engine_arrays, engine_weights, keywords, mode as checked_mode,
                       observation as observation_model, switches)


def fit(data: BinnedData, mode: str = "independent", *, by: str | None = None, verbose: bool = False, **settings):
    """Fits the model to every density bin of `data`.

    Parameters
    ----------
    data : BinnedData or Strata
        The binned molecules (from :func:`bin_molecules` or :func:`count`); a
        :class:`~velkora.counts.Strata` is fitted stratum by stratum.
    mode : str, optional
        One of :data:`MODES` (default "independent"); :mod:`velkora.model.modes`
        says which parameters each mode shares between the density bins.
    by : {"group", "sample"}, optional
        For the data of a design: fit each group (its samples' molecules
        pooled) or each sample on its own, as one FitCollection whose tables
        carry a ``group`` (or ``sample``) index level.
    verbose : bool, optional
        With True, the optimiser's log lines (shared-exp and shared-co) are
        shown as they come, on standard error; they are kept on the result's
        ``log`` either way (default False: nothing is printed).
    **settings
        The fit settings, with their defaults:

        - ``normalize_stw=True``: StW = 1 and St is StE; False: StE = 1 and St is StW.
        - ``st_bounds=(0.01, 10.0)``, ``co_bounds=(0.01, 100.0)``: search ranges of
          St and of CoW, CoE (searched on a log scale, so 0 < lo <= hi).
        - ``n_exp_bounds=(0.5, 5.0)``: range of the fitted exponents (exp modes).
        - ``n_u=2.0``, ``n_m=2.0``: the exponents where they are not fitted.
        - ``co_penalty=0.0``: penalty on large cooperative rates.
        - ``weights="molecules"``: weight of each density bin in the shared fits;
          "molecules" (its molecule count), "equal", or one number per bin.
        - ``fit_vmax=False``, ``vmax_bounds=(0.001, 1e6)``: fit one shared
          Michaelis-Menten ceiling Vmax (shared-exp and shared-st-exp only).
        - ``vmax=inf``: the fixed ceiling on the cooperative drive (inf: none).
        - ``raw_count=False``: cooperative drive on raw site counts instead of fractions.
        - ``observation="auto"``: how the data observe the model. "binned":
          every molecule's level is one of the 71 levels M / 70 (molecules read
          at all 70 sites); "sampled": each read calls only n of its molecule's
          sites, and the model's distribution is observed through the
          hypergeometric thinning of each density bin's read-depth histogram
          (see :mod:`velkora.model.observation`); "auto": "sampled" when any molecule
          was read at fewer than 70 sites, else "binned" (data binned from
          levels alone, without depths, are "binned"). The result records which
          was used and why.
        - ``seed=0``: seeds every optimiser run the engine would otherwise seed
          from the operating system, so that the fit repeats exactly (None: fresh
          seeds every run).

        Settings a mode does not use are checked and then ignored.

    Returns
    -------
    FitResult or FitCollection
        The fitted parameters and nll of every density bin, the shared values,
        the observation model used, the log-likelihood and information
        criteria (``llf``, ``aic``, ``bic``; ``summary()`` prints them) and
        which estimates lie at a search bound (the table's ``at_bound``); for
        Strata a FitCollection of one FitResult per stratum.

    Raises
    ------
    InputError
        For data that are not a BinnedData, an unknown mode or setting, or a
        setting of the wrong kind or out of range.

    Notes
    -----
    The fit holds the engine's process-wide lock (see :mod:`velkora._engine`):
    fits from several threads run one after the other, each with its own
    settings.

    Examples
    --------
    >>> import velkora as vk
    >>> data = vk.bin_molecules(vk.synthetic_molecules(shared_st=0.5), 5, 20)
    >>> result = vk.fit(data, "shared-st")
    >>> result.table[["St", "CoW", "CoE", "nll"]]  # doctest: +SKIP
    """
    if by is not None:
        _checks.choice(by, "by", ("group", "sample"))
    if isinstance(data, Strata):
        checked_mode(mode)
        members = {name: fit(part, mode, by=by, verbose=verbose, **settings) for name, part in data.items()}
        if by is None:
            return FitCollection("stratum", members)
        return FitCollection(("stratum", by), {(name, label): one for name, collection in members.items()
                                               for label, one in collection.fits.items()})
    data = binned(data)
    if by is not None:
        if data.sample_axis is None:
            raise InputError(f"by={by!r} needs the data of a design (velkora.read_design, velkora.count)")
        labels = data.groups if by == "group" else list(data.sample_axis.names)
        return FitCollection(by, {label: fit(data.select(**{"group" if by == "group" else "samples": label}), mode,
                                             verbose=verbose, **settings) for label in labels})
    description = checked_mode(mode)
    s = check_settings(settings, data.n_densities)
    weights = engine_weights(s, data)
    fractions, edges = engine_arrays(data)
    head = (fractions, edges, s["normalize_stw"], s["st_bounds"], s["co_bounds"])
    observation, matrices, reason = observation_model(s, data)

    def call(function: str, *args):
        return getattr(velk_core, function)(*args, **keywords(function, s, matrices))

    with _engine.switches(**switches(s)), _engine.captured_log(_checks.flag(verbose, "verbose")) as log:
        estimates = description.fit(call, head, s, weights)
    table = parameter_table(data, description, estimates, s, observation)
    nll = estimates.nll
    weight = weights if description.weighted and weights is not None else np.ones(len(nll))
    total = float(np.dot(nll, data.n_molecules.astype(np.float64)))
    return FitResult(description.name, s, data, table, estimates.shared, total, observation, matrices, reason,
                     objective=float(np.dot(nll, weight)), log="\n".join(log))
