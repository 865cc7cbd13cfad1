"""Model choice: which mode do the data support?

:func:`compare` fits several modes to the same binned data and ranks them by
the log-likelihood of the molecule counts (AIC, BIC, Akaike weights), tests
every pair of modes where one is a special case of the other (likelihood
ratio, asymptotic and optionally by parametric bootstrap), and checks each
density bin against its fitted distribution (G statistic, Pearson
residuals).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np

from .. import _checks
from .._errors import InputError
from .._optional import require
from .._stats import chi2_sf
from ..counts.binned import BinnedData
from ..fitting.fits import fit
from ..fitting.refits import refit_from
from ..fitting.results import FitResult, fit_tolerance
from ..fitting.settings import binned, check_settings, likelihood_settings
from ..model.modes import MODES
from .goodness import goodness
from .nesting import checked_modes, nested_pairs
from .simulations import Simulations, run_simulations

pd = require("pandas")


@dataclass
class Comparison:
    """Several modes fitted to the same data, ranked, tested and checked.

    Attributes
    ----------
    table : pandas.DataFrame
        One row per mode (index "mode"): ``n_params`` (free parameters),
        ``loglik`` (log-likelihood of the molecule counts, see
        :func:`compare`), ``aic`` = 2 n_params - 2 loglik, ``bic`` =
        n_params ln(molecules) - 2 loglik, ``delta_aic`` and ``delta_bic``
        (to the lowest), ``akaike_weight`` (exp(-delta_aic / 2), summing to
        1 over the modes).
    tests : pandas.DataFrame
        One row per pair of requested modes where ``smaller`` is a special
        case of ``larger`` in general: ``df`` (difference in free
        parameters), ``lr_stat`` = 2 (loglik of larger - loglik of
        smaller), ``p_value`` (asymptotic chi-square with df degrees of
        freedom), ``p_bootstrap`` (parametric bootstrap; NaN without
        simulations) and ``n_sim``. A pair the settings keep from being
        nested (an exponent held outside ``n_exp_bounds``, Vmax fitted in the
        smaller mode only, ...), or whose modes coincide (one density bin),
        has NaN statistics and says why in ``reason`` (empty for the tested
        pairs). lr_stat is reported as computed, slightly negative values
        coming from the optimisers' tolerance; where the larger mode's fit
        ends clearly below the smaller one's (its search missed the
        optimum), the statistics are NaN and ``reason`` says so.
    goodness_of_fit : pandas.DataFrame
        One row per mode and density bin (index "mode", "density_bin"):
        ``n_molecules``, ``G``, ``df``, ``p_value`` and ``misfit`` (True
        where p_value < 0.05 / number of density bins).
    residuals : pandas.DataFrame
        One row per mode, density bin and methylation bin (index "mode",
        "density_bin", "meth_bin"): ``observed`` count, ``expected`` count
        and the Pearson ``residual`` (observed - expected) / sqrt(expected).
    fits : dict of str to FitResult
        The fit of each mode, in the order requested.
    settings : dict
        The checked fit settings every fit used (``seed`` included).
    n_sim : int
        Parametric-bootstrap simulations per tested pair.
    seed : int
        Seed of the fits and of the simulations.
    simulations : pandas.DataFrame
        The simulated likelihood-ratio statistics: one row per tested pair
        and simulation (``test``, the row of ``tests``; ``smaller``,
        ``larger``, ``simulation``, ``lr_stat``); empty without simulations.

    Examples
    --------
    >>> result = compare(data, ["shared-st", "independent"])  # doctest: +SKIP
    >>> result.table.sort_values("aic")  # doctest: +SKIP
    """

    table: pd.DataFrame
    tests: pd.DataFrame
    goodness_of_fit: pd.DataFrame
    residuals: pd.DataFrame
    fits: dict[str, FitResult]
    settings: dict[str, Any]
    n_sim: int = 0
    seed: int = 0
    simulations: pd.DataFrame | None = None

    @property
    def best(self) -> str:
        """The mode of lowest AIC."""
        return str(self.table["aic"].idxmin())

    @property
    def best_bic(self) -> str:
        """The mode of lowest BIC."""
        return str(self.table["bic"].idxmin())

    @property
    def verdict(self) -> str:
        """One paragraph on what the comparison says: the modes the criteria
        prefer, what it means when they disagree, the test between them and
        the density bins no mode explains."""
        return verdict(self)

def verdict(comparison: Comparison) -> str:
    """The paragraph of :attr:`Comparison.verdict`."""
    table = comparison.table
    by_aic, by_bic = comparison.best, comparison.best_bic
    n = next(iter(comparison.fits.values())).nobs
    sentences = []
    if len(table) == 1:
        sentences.append(f"Only {by_aic} was fitted: there is nothing to choose between.")
    elif by_aic == by_bic:
        others = table.drop(index=by_aic)
        sentences.append(f"AIC and BIC agree: {by_aic} describes these data best (the next mode is "
                         f"{others['delta_aic'].min():.3g} higher in AIC and {others['delta_bic'].min():.3g} in BIC; "
                         f"Akaike weight {table.at[by_aic, 'akaike_weight']:.2g}).")
    else:
        rich, lean = (by_aic, by_bic) if table.at[by_aic, "n_params"] >= table.at[by_bic, "n_params"] else \
            (by_bic, by_aic)
        extra = int(table.at[rich, "n_params"] - table.at[lean, "n_params"])
        gain = float(table.at[rich, "loglik"] - table.at[lean, "loglik"])
        sentences.append(
            f"AIC prefers {by_aic} and BIC prefers {by_bic}: {rich} raises the log-likelihood by {gain:.4g} with "
            f"{extra} more free parameter{'s' if extra != 1 else ''}, more than AIC's price of 1 per parameter but "
            f"less than BIC's ln(n) / 2 = {math.log(n) / 2:.3g} per parameter with n = {n:,} molecules. AIC asks "
            f"which mode predicts new molecules best, BIC which mode the data give most evidence for; with "
            f"criteria that disagree, read {rich}'s extra parameters as plausible but not established.")
        tests = comparison.tests
        pair = tests[(tests["smaller"] == lean) & (tests["larger"] == rich)]
        if len(pair) and not pair["reason"].iloc[0]:
            sentences.append(f"The likelihood-ratio test of {lean} within {rich} gives p = "
                             f"{pair['p_value'].iloc[0]:.3g} (chi-square, {int(pair['df'].iloc[0])} df).")
    missed = comparison.tests[comparison.tests["reason"].str.contains("missed the optimum", regex=False)]
    if len(missed):
        sentences.append(f"{len(missed)} test(s) could not be made because a larger mode's search ended below its "
                         "special case (see the tests' reason column).")
    misfit = comparison.goodness_of_fit["misfit"]
    flagged = misfit.xs(by_aic, level="mode")
    if flagged.any():
        sentences.append(f"Even {by_aic} leaves {int(flagged.sum())} of {len(flagged)} density bins unexplained "
                         "(G test, Bonferroni 0.05): no mode describes those bins well.")
    return " ".join(sentences)


def comparable(settings: dict[str, Any], n_densities: int) -> dict[str, Any]:
    """The checked settings of a comparison: fits that maximise the likelihood
    of the molecule counts (molecule weights, no penalty)."""
    s = check_settings(settings, n_densities)
    reason = likelihood_settings(s)
    if reason:
        raise InputError(reason)
    return s


def _model_table(fits: dict[str, FitResult]) -> pd.DataFrame:
    k = np.array([result.df_model for result in fits.values()], dtype=np.int64)
    loglik = np.array([result.llf for result in fits.values()])
    aic = np.array([result.aic for result in fits.values()])
    bic = np.array([result.bic for result in fits.values()])
    delta_aic = aic - aic.min()
    relative = np.exp(-0.5 * delta_aic)
    return pd.DataFrame({"n_params": k, "loglik": loglik, "aic": aic, "bic": bic, "delta_aic": delta_aic,
                         "delta_bic": bic - bic.min(), "akaike_weight": relative / relative.sum()},
                        index=pd.Index(list(fits), name="mode"))


def _tests(pairs, fits: dict[str, FitResult], n_sim: int) -> pd.DataFrame:
    """One row per structurally nested pair: the likelihood-ratio statistic and
    its chi-square p-value, or NaN and the reason where it cannot be made."""
    rows = []
    for pair in pairs.itertuples():
        small, big = fits[pair.smaller], fits[pair.larger]
        lr_stat = p_value = math.nan
        reason = pair.reason
        if not reason:
            lr_stat = 2.0 * (big.llf - small.llf)
            if lr_stat < -fit_tolerance(big, small):
                reason = (f"{pair.larger} fits worse than its special case {pair.smaller} (2 x loglik difference "
                          f"{lr_stat:.4g}): its search missed the optimum, so no test is made")
                lr_stat = math.nan
            else:
                p_value = chi2_sf(lr_stat, pair.df)
        rows.append({"smaller": pair.smaller, "larger": pair.larger, "df": pair.df, "lr_stat": lr_stat,
                     "p_value": p_value, "p_bootstrap": math.nan, "n_sim": 0 if reason else n_sim,
                     "reason": reason})
    return pd.DataFrame(rows, columns=["smaller", "larger", "df", "lr_stat", "p_value", "p_bootstrap", "n_sim",
                                       "reason"])


def compare(
    data: BinnedData,
    modes=MODES,
    *,
    n_sim: int = 0,
    seed: int = 0,
    client=None,
    progress: Callable[[int, int], None] | None = None,
    verbose: bool = False,
    **settings,
) -> Comparison:
    """Fits several modes to the same data, ranks them and tests the nested ones.

    Parameters
    ----------
    data : BinnedData
        The binned molecules (from :func:`velkora.bin_molecules`).
    modes : sequence of str, optional
        The modes to fit and compare (default: all six of
        :data:`velkora.MODES`), each at most once.
    n_sim : int, optional
        Parametric-bootstrap simulations per tested pair (default 0: the
        asymptotic p-values only).
    seed : int, optional
        Seeds every fit (as :func:`velkora.fit`'s ``seed``) and the
        simulations (default 0): the same seed gives the same results.
    client : distributed.Client, optional
        Runs the simulations on a Dask cluster, in chunks, with the same
        results as without it (needs ``velkora[dask]``).
    progress : callable, optional
        ``progress(done, total)`` after every chunk of simulations.
    verbose : bool, optional
        Show the optimiser's log lines as they come (see :func:`velkora.fit`;
        they are kept on each fit's ``log`` either way).
    **settings
        The settings of :func:`velkora.fit`, the same for every mode. The
        comparison always weighs the density bins by their molecules:
        ``weights`` other than "molecules" and a non-zero ``co_penalty`` are
        refused, since the fits would then not maximise the likelihood and
        their log-likelihoods would not be comparable.

    Returns
    -------
    Comparison
        The model table, the likelihood-ratio tests, the goodness of fit and
        residuals of every mode, and the fits.

    Raises
    ------
    InputError
        For data that are not a BinnedData, an unknown or repeated mode, a
        bad n_sim or seed, or settings that :func:`velkora.fit` refuses or
        that make the likelihoods incomparable.

    Notes
    -----
    *Log-likelihood.* ``loglik`` is each fit's :attr:`FitResult.llf`: the
    multinomial log-likelihood of the molecule counts without its constant,
    sum_d log(n_d! / prod_j c_dj!), which depends on the data only.
    Differences between modes, AIC and BIC comparisons and likelihood-ratio
    statistics are unaffected; the absolute values are not
    log-probabilities. BIC takes n as the total number of molecules.

    *Nested fits.* A larger mode can never fit worse than a special case of
    it; where its search ends below the smaller mode's optimum, it is
    searched again from that optimum (as statistics packages start nested
    fits), and should it still end below, the smaller optimum, a point of
    the larger mode, is its estimate. The fit's ``notes`` say so. A pair
    whose larger mode still ends below is not tested, and ``reason`` says
    why.

    *Likelihood-ratio tests.* Where the smaller mode is a special case of
    the larger one (:meth:`FitResult.compare_lr_test`), 2 (loglik_large -
    loglik_small) is asymptotically
    chi-square with df = the difference in free parameters, when the true
    values lie inside the search ranges. A parameter at the end of its range
    (or a shared one equal across bins) makes the asymptotic p-value
    conservative; the parametric bootstrap does not rely on it. For each
    simulation, every density bin's molecules are drawn (a multinomial of
    its molecule count) from the smaller mode's fitted distribution as the
    data observe it, both modes are refitted with the same settings and the
    same observation model as the observed fits (the simulated data keep the
    read-depth histograms: short reads are scored with the sampled
    likelihood there too), and the bootstrap p-value is
    (1 + #{simulated statistic >= observed}) / (n_sim + 1). Simulation s of
    the test in row i of ``tests`` draws from
    ``numpy.random.default_rng([seed, i, s])``.

    *Goodness of fit* (:mod:`velkora.comparison.goodness`). G is compared
    with chi-square on df = (methylation bins - 1 - the parameters the mode
    fits per density bin), at least 1. Shared parameters are estimated from all bins at once and
    are not charged to any one of them, which makes the test slightly
    conservative. The chi-square approximation needs expected counts of
    about 5 or more in most methylation bins. A bin is flagged as a misfit
    when its p-value is below 0.05 divided by the number of density bins
    (Bonferroni).

    Reproducibility: every fit, the shared-st mode's inner per-bin searches
    included, is seeded from `seed`, and so are the simulations: the same
    seed gives the same results, whatever the threads or the Dask client.

    Examples
    --------
    >>> import velkora as vk
    >>> data = vk.bin_molecules(vk.synthetic_molecules(seed=1), 3, 10)  # doctest: +SKIP
    >>> result = vk.compare(data, ["shared-st", "independent"], n_sim=19)  # doctest: +SKIP
    >>> result.tests[["smaller", "larger", "lr_stat", "p_value", "p_bootstrap"]]  # doctest: +SKIP
    """
    data = binned(data)
    modes = checked_modes(modes)
    n_sim = _checks.count(n_sim, "n_sim", 0)
    seed = _checks.count(seed, "seed", 0)
    s = comparable({**settings, "seed": seed}, data.n_densities)
    _checks.callable_or_none(progress, "progress")
    _checks.dask_client(client)
    verbose = _checks.flag(verbose, "verbose")

    pairs = nested_pairs(modes, data.n_densities, **s)
    fits = {mode: fit(data, mode, verbose=verbose, **s) for mode in modes}
    # A larger mode's search that ended below a special case's optimum is searched again from it.
    for pair in pairs[pairs["reason"] == ""].itertuples():
        fits[pair.larger] = refit_from(fits[pair.larger], fits[pair.smaller])
    table = _model_table(fits)
    goodness_of_fit, residuals = goodness(fits, s, data)
    tests = _tests(pairs, fits, n_sim)
    simulations = pd.DataFrame({"test": pd.Series(dtype=np.int64), "smaller": pd.Series(dtype=object),
                                "larger": pd.Series(dtype=object), "simulation": pd.Series(dtype=np.int64),
                                "lr_stat": pd.Series(dtype=np.float64)})
    rows = np.flatnonzero(tests["reason"].to_numpy() == "")
    if n_sim and len(rows):
        observed = fits[modes[0]].observation
        job = Simulations(tuple((int(i), tests.at[i, "smaller"], tests.at[i, "larger"],
                                 np.ascontiguousarray(fits[tests.at[i, "smaller"]].model_fractions()))
                                for i in rows),
                          data, {**s, "observation": observed}, seed, n_sim)
        simulated = run_simulations(job, progress, client).reshape(len(rows), n_sim)
        exceed = (simulated >= tests.loc[rows, "lr_stat"].to_numpy()[:, None]).sum(axis=1)
        tests.loc[rows, "p_bootstrap"] = (1.0 + exceed) / (n_sim + 1.0)
        simulations = pd.DataFrame({"test": np.repeat(rows, n_sim),
                                    "smaller": np.repeat(tests.loc[rows, "smaller"].to_numpy(), n_sim),
                                    "larger": np.repeat(tests.loc[rows, "larger"].to_numpy(), n_sim),
                                    "simulation": np.tile(np.arange(n_sim), len(rows)),
                                    "lr_stat": simulated.ravel()})
    return Comparison(table, tests, goodness_of_fit, residuals, fits, s, n_sim, seed, simulations)
