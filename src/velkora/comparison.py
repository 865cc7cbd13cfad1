"""Model choice and goodness of fit: which mode do the data support, and does it fit at all?

(The module is not called ``compare`` so that importing it cannot shadow the
function :func:`velkora.compare` on the package.)

:func:`compare` fits several modes to the same binned data and ranks them by
the log-likelihood of the molecule counts (AIC, BIC, Akaike weights), tests
every pair of modes where one is a special case of the other (likelihood
ratio, asymptotic and optionally by parametric bootstrap), and checks each
density bin against its fitted distribution (G statistic, Pearson
residuals).

Two modes are nested when every parameter of the smaller one enters the
larger one at least as freely: a parameter is *fixed* (a setting: the
exponents of independent and shared-st, Vmax without ``fit_vmax``),
*shared* by all density bins, or fitted *per bin*, in that order of freedom.
With the default settings that gives, transitively closed: shared-st within
independent, shared-exp, shared-st-exp and independent-exp; independent
within independent-exp; shared-exp within shared-st-exp and
independent-exp; shared-st-exp within independent-exp; shared-co within
shared-st-exp and independent-exp.
"""

from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np

from . import _chunks, fitting
from ._errors import InputError
from ._optional import require
from .data import BinnedData
from .fitting import MODES, FitResult

pd = require("pandas")

__all__ = ["Comparison", "chi2_sf", "compare", "free_parameters", "nested_pairs"]

# A density bin is flagged as not explained by its model when its G test's
# p-value falls below this level after a Bonferroni correction over the bins.
ALPHA = 0.05

# How each mode lets a parameter vary: fixed by a setting, one value shared by
# all density bins, or one value per density bin (Vmax becomes "shared" in the
# modes that fit it when fit_vmax is set).
_FIXED, _SHARED, _PER_BIN = "fixed", "shared", "per bin"
_FREEDOM = {_FIXED: 0, _SHARED: 1, _PER_BIN: 2}
_NAMES = ("St", "CoW", "CoE", "n_U", "n_M", "Vmax")
_ROLES = {
    "independent": (_PER_BIN, _PER_BIN, _PER_BIN, _FIXED, _FIXED, _FIXED),
    "independent-exp": (_PER_BIN, _PER_BIN, _PER_BIN, _PER_BIN, _PER_BIN, _FIXED),
    "shared-st": (_SHARED, _PER_BIN, _PER_BIN, _FIXED, _FIXED, _FIXED),
    "shared-exp": (_SHARED, _PER_BIN, _PER_BIN, _SHARED, _SHARED, _FIXED),
    "shared-st-exp": (_SHARED, _PER_BIN, _PER_BIN, _PER_BIN, _PER_BIN, _FIXED),
    "shared-co": (_SHARED, _SHARED, _SHARED, _PER_BIN, _PER_BIN, _FIXED),
}
# The setting that bounds each parameter's search, and the one that fixes it.
_RANGE = {"St": "st_bounds", "CoW": "co_bounds", "CoE": "co_bounds", "n_U": "n_exp_bounds", "n_M": "n_exp_bounds",
          "Vmax": "vmax_bounds"}
_VALUE = {"n_U": "n_u", "n_M": "n_m", "Vmax": "vmax"}


# ---------------------------------------------------------------- chi-square


def _regularised_upper_gamma(a: float, x: float) -> float:
    """Q(a, x) = Gamma(a, x) / Gamma(a) for a > 0, x >= 0.

    Below x = a + 1 the series of the lower function P converges fast and
    Q = 1 - P is not small, so nothing cancels; above it the continued
    fraction of Q (modified Lentz) converges fast and keeps the far tail's
    relative accuracy.
    """
    if x <= 0.0:
        return 1.0
    log_prefactor = a * math.log(x) - x - math.lgamma(a)
    if x < a + 1.0:
        term = total = 1.0 / a
        denominator = a
        for _ in range(10_000):
            denominator += 1.0
            term *= x / denominator
            total += term
            if abs(term) < abs(total) * 1e-17:
                break
        return max(0.0, 1.0 - total * math.exp(log_prefactor))
    tiny = 1e-300
    b = x + 1.0 - a
    c = 1.0 / tiny
    d = 1.0 / b
    fraction = d
    for i in range(1, 10_000):
        an = -i * (i - a)
        b += 2.0
        d = an * d + b
        d = tiny if abs(d) < tiny else d
        c = b + an / c
        c = tiny if abs(c) < tiny else c
        d = 1.0 / d
        step = d * c
        fraction *= step
        if abs(step - 1.0) < 1e-16:
            break
    return math.exp(log_prefactor) * fraction


def chi2_sf(statistic: float, df: float) -> float:
    """Survival function of the chi-square distribution, P(X >= statistic).

    Parameters
    ----------
    statistic : float
        The observed statistic; values at or below 0 give 1.
    df : float
        Degrees of freedom, positive (need not be an integer).

    Returns
    -------
    float
        The upper tail probability; NaN for a NaN statistic or df <= 0.

    Notes
    -----
    Computed as the regularised upper incomplete gamma function
    Q(df / 2, statistic / 2), by its series or its continued fraction,
    without SciPy.

    Examples
    --------
    >>> round(chi2_sf(3.841458820694124, 1), 6)
    0.05
    """
    if math.isnan(statistic) or not df > 0:
        return math.nan
    if statistic <= 0.0:
        return 1.0
    if math.isinf(statistic):
        return 0.0
    return _regularised_upper_gamma(0.5 * df, 0.5 * statistic)


# ---------------------------------------------------------------- parameters


def _fits_vmax(mode: str, s: dict[str, Any]) -> bool:
    return mode in fitting._VMAX_MODES and s["fit_vmax"]


def _role(mode: str, name: str, s: dict[str, Any]) -> str:
    role = _SHARED if name == "Vmax" and _fits_vmax(mode, s) else _ROLES[mode][_NAMES.index(name)]
    if role != _FIXED:
        lo, hi = s[_RANGE[name]]
        if lo == hi:  # a search range of one point fixes the parameter there
            return _FIXED
    return role


def _fixed_value(mode: str, name: str, s: dict[str, Any]) -> float:
    """The value at which a parameter the mode does not fit is held: its
    setting, or the single point of a search range with lo == hi."""
    if _ROLES[mode][_NAMES.index(name)] == _FIXED and not (name == "Vmax" and _fits_vmax(mode, s)):
        return s[_VALUE[name]]
    return s[_RANGE[name]][0]


def free_parameters(mode: str, n_densities: int, **settings) -> int:
    """The number of free parameters of a fit.

    Parameters
    ----------
    mode : str
        One of :data:`velkora.MODES`.
    n_densities : int
        The number of density bins D.
    **settings
        The settings of :func:`velkora.fit`; ``fit_vmax`` adds the shared
        Vmax of shared-exp and shared-st-exp, and a search range of a single
        point (lo == hi) fixes its parameters.

    Returns
    -------
    int
        independent 3D, independent-exp 5D, shared-st 1 + 2D, shared-exp
        3 + 2D, shared-st-exp 1 + 4D, shared-co 3 + 2D, plus 1 for a fitted
        Vmax.

    Examples
    --------
    >>> free_parameters("shared-exp", 4, fit_vmax=True)
    12
    """
    mode = fitting._mode(mode)
    n_densities = fitting._count(n_densities, "n_densities", 1)
    return _n_params(mode, n_densities, fitting._settings(settings, n_densities))


def _n_params(mode: str, n_densities: int, s: dict[str, Any]) -> int:
    roles = [_role(mode, name, s) for name in _NAMES]
    return roles.count(_SHARED) + n_densities * roles.count(_PER_BIN)


def _per_bin_params(mode: str, s: dict[str, Any]) -> int:
    return [_role(mode, name, s) for name in _NAMES].count(_PER_BIN)


def _structurally_nested(small: str, big: str) -> bool:
    """Whether `small` is a special case of `big` whatever the settings."""
    return small != big and all(_FREEDOM[a] <= _FREEDOM[b] for a, b in zip(_ROLES[small], _ROLES[big]))


def _not_nested_because(small: str, big: str, s: dict[str, Any]) -> str:
    """Why `small` is not a special case of `big` under these settings ("" when it is)."""
    for name in _NAMES:
        role_small, role_big = _role(small, name, s), _role(big, name, s)
        if _FREEDOM[role_small] > _FREEDOM[role_big]:
            if role_big == _FIXED:
                return f"{small} fits {name} but {big} holds it at {_fixed_value(big, name, s):g}"
            return f"{name} is {role_small} in {small} but {role_big} in {big}"
        if role_small != _FIXED:
            continue
        value = _fixed_value(small, name, s)
        if role_big == _FIXED:
            if value != _fixed_value(big, name, s):
                return (f"{name} is held at {value:g} in {small} but at {_fixed_value(big, name, s):g} in {big}")
            continue
        lo, hi = s[_RANGE[name]]
        if not lo <= value <= hi:
            return (f"{small} holds {name} at {value:g}, outside the range {big} searches "
                    f"({_RANGE[name]} = ({lo:g}, {hi:g}))")
    return ""


def nested_pairs(modes=MODES, n_densities: int = 1, **settings):
    """The pairs of modes a comparison tests, and why some cannot be tested.

    Parameters
    ----------
    modes : sequence of str, optional
        The modes compared (default: all of :data:`velkora.MODES`).
    n_densities : int, optional
        The number of density bins D (default 1).
    **settings
        The settings of :func:`velkora.fit`.

    Returns
    -------
    pandas.DataFrame
        One row per pair where ``smaller`` is a special case of ``larger``
        in general (pairs in the order of `modes`): ``df``, the difference in
        free parameters, and ``reason``, empty where the pair is nested under
        these settings, else why not.

    Notes
    -----
    The settings can undo a nesting: an exponent or Vmax that the smaller
    mode holds at a value outside the range the larger one searches, Vmax
    fitted by the smaller mode only (``fit_vmax`` applies to shared-exp and
    shared-st-exp), or modes that coincide (shared-st and independent with
    one density bin: df = 0).

    Examples
    --------
    >>> nested_pairs(["shared-st", "independent", "independent-exp"], 3)["larger"].tolist()
    ['independent', 'independent-exp', 'independent-exp']
    """
    modes = _modes(modes)
    n_densities = fitting._count(n_densities, "n_densities", 1)
    s = fitting._settings(settings, n_densities)
    rows = []
    for small in modes:
        for big in modes:
            if not _structurally_nested(small, big):
                continue
            k_small, k_big = _n_params(small, n_densities, s), _n_params(big, n_densities, s)
            reason = _not_nested_because(small, big, s)
            if not reason and k_big <= k_small:
                reason = f"{small} and {big} are the same model here ({k_big} free parameters each)"
            rows.append({"smaller": small, "larger": big, "df": k_big - k_small, "reason": reason})
    return pd.DataFrame(rows, columns=["smaller", "larger", "df", "reason"])


def _log_likelihood(result: FitResult) -> float:
    # The bins' nll is the per-molecule cross-entropy of the observed fractions, so
    # times the bin's molecules it is minus the sum of count * log q over its bins.
    return -float(np.dot(result.table["nll"].to_numpy(), result.data.n_molecules.astype(np.float64)))


# ---------------------------------------------------------------- simulations


@dataclass(frozen=True)
class _Simulations:
    """The parametric-bootstrap simulations of a comparison, laid out as a
    bootstrap job (see :mod:`velkora._chunks`) so that they run chunk by chunk
    in this process or on Dask workers with the same numbers.

    Simulation t of the job is simulation ``t % n_sim`` of tested pair
    ``t // n_sim``; its molecules come from
    ``numpy.random.default_rng([seed, pair row, simulation])``, so its result
    does not depend on which chunk or worker runs it.
    """

    pairs: tuple[tuple[int, str, str, np.ndarray], ...]  # (row of the tests table, smaller, larger, q of smaller)
    n_molecules: np.ndarray
    density_edges: np.ndarray
    meth_edges: np.ndarray
    settings: dict[str, Any]
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

    def part(self, start: int, stop: int) -> _Simulations:
        if not 0 <= start <= stop <= self.n_boot:
            raise ValueError(f"chunk {start}..{stop} outside the run's {self.n_boot} simulations")
        return dataclasses.replace(self, sample_offset=self.sample_offset + start, count=stop - start)

    def run(self, start: int = 0, stop: int | None = None) -> np.ndarray:
        stop = self.n_boot if stop is None else stop
        rows = np.empty((stop - start, 1))
        for k, t in enumerate(range(self.sample_offset + start, self.sample_offset + stop)):
            row, small, big, q = self.pairs[t // self.n_sim]
            data = _draw(q, self.n_molecules, self.density_edges, self.meth_edges,
                         np.random.default_rng([self.seed, row, t % self.n_sim]))
            rows[k, 0] = 2.0 * (_log_likelihood(fitting.fit(data, big, **self.settings))
                                - _log_likelihood(fitting.fit(data, small, **self.settings)))
        return rows


def _draw(q: np.ndarray, n_molecules: np.ndarray, density_edges, meth_edges, rng) -> BinnedData:
    """Binned molecules drawn from the distributions q: each density bin a multinomial of its molecule count."""
    counts = np.array([rng.multinomial(n, p) for n, p in zip(n_molecules, q)], dtype=np.int64)
    fractions = np.ascontiguousarray(counts / n_molecules[:, None])
    return BinnedData(fractions, counts, density_edges, meth_edges)


def _run_simulations(job: _Simulations, progress, client) -> np.ndarray:
    if client is not None:
        from . import cluster  # noqa: PLC0415 - Dask is an optional extra

        rows, _ = cluster.run_job(job, client=client, progress=progress)
    else:
        rows, _ = _chunks.run_local(job, progress=progress)
    return rows[:, 0]


# ---------------------------------------------------------------- compare


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
        pairs). lr_stat is reported as computed: slightly negative values
        come from the optimisers' tolerance.
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


def _modes(modes) -> tuple[str, ...]:
    if isinstance(modes, str):
        modes = (modes,)
    try:
        modes = tuple(modes)
    except TypeError:
        raise InputError(f"modes must be a sequence of mode names, not {modes!r}") from None
    if not modes:
        raise InputError(f"modes must name at least one mode of {', '.join(MODES)}")
    for mode in modes:
        fitting._mode(mode)
    repeated = [mode for k, mode in enumerate(modes) if mode in modes[:k]]
    if repeated:
        raise InputError(f"modes names {repeated[0]!r} twice")
    return modes


def _comparable(settings: dict[str, Any], n_densities: int) -> dict[str, Any]:
    s = fitting._settings(settings, n_densities)
    if s["weights"] != "molecules":
        raise InputError(f"weights must be 'molecules' to compare modes, not {s['weights']!r}: other weights make "
                         "the fits' objective no log-likelihood of the molecule counts")
    if s["co_penalty"] != 0.0:
        raise InputError(f"co_penalty must be 0 to compare modes, not {s['co_penalty']:g}: a penalised fit "
                         "does not maximise the likelihood")
    return s


def _model_table(fits: dict[str, FitResult], s: dict[str, Any], data: BinnedData) -> pd.DataFrame:
    n_total = float(data.n_molecules.sum())
    k = np.array([_n_params(mode, data.n_densities, s) for mode in fits], dtype=np.int64)
    loglik = np.array([_log_likelihood(result) for result in fits.values()])
    aic = 2.0 * k - 2.0 * loglik
    bic = k * math.log(n_total) - 2.0 * loglik
    delta_aic = aic - aic.min()
    relative = np.exp(-0.5 * delta_aic)
    return pd.DataFrame({"n_params": k, "loglik": loglik, "aic": aic, "bic": bic, "delta_aic": delta_aic,
                         "delta_bic": bic - bic.min(), "akaike_weight": relative / relative.sum()},
                        index=pd.Index(list(fits), name="mode"))


def _goodness(fits: dict[str, FitResult], s: dict[str, Any], data: BinnedData) -> tuple[pd.DataFrame, pd.DataFrame]:
    counts = data.counts.astype(np.float64)
    n = data.n_molecules.astype(np.float64)
    level = ALPHA / data.n_densities
    gof, residuals = [], []
    for mode, result in fits.items():
        expected = n[:, None] * result.model_fractions()
        with np.errstate(divide="ignore", invalid="ignore"):
            terms = np.where(counts > 0, counts * np.log(counts / expected), 0.0)
        g = 2.0 * terms.sum(axis=1)
        df = max(1, data.n_meth_bins - 1 - _per_bin_params(mode, s))
        p = np.array([chi2_sf(value, df) for value in g])
        gof.append(pd.DataFrame({"mode": mode, "density_bin": data.labels, "n_molecules": data.n_molecules,
                                 "G": g, "df": df, "p_value": p, "misfit": p < level}))
        residuals.append(pd.DataFrame({
            "mode": mode,
            "density_bin": np.repeat(data.labels, data.n_meth_bins),
            "meth_bin": np.tile(data.meth_labels, data.n_densities),
            "observed": data.counts.ravel(),
            "expected": expected.ravel(),
            "residual": ((counts - expected) / np.sqrt(expected)).ravel(),
        }))
    return (pd.concat(gof, ignore_index=True).set_index(["mode", "density_bin"]),
            pd.concat(residuals, ignore_index=True).set_index(["mode", "density_bin", "meth_bin"]))


def compare(
    data: BinnedData,
    modes=MODES,
    *,
    n_sim: int = 0,
    seed: int = 0,
    client=None,
    progress: Callable[[int, int], None] | None = None,
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
    *Log-likelihood.* With q_dj the fitted probability of methylation bin j
    in density bin d (from :meth:`FitResult.model_fractions`) and c_dj the
    molecule count, the multinomial log-likelihood of the counts is
    sum_d log(n_d! / prod_j c_dj!) + sum_dj c_dj log q_dj. The first sum
    depends on the data only, so ``loglik`` leaves it out: it is minus the
    molecule-weighted sum of the bins' nll, sum_d n_d nll_d (the fits'
    cross-entropies of the observed fractions). Differences between modes,
    AIC and BIC comparisons and likelihood-ratio statistics are unaffected;
    the absolute values are not log-probabilities. BIC takes n as the total
    number of molecules. (The nll is taken of the fractions the fits saw;
    for binned molecules they are the counts divided by n_d.)

    *Likelihood-ratio tests.* Where the smaller mode is a special case of
    the larger one, 2 (loglik_large - loglik_small) is asymptotically
    chi-square with df = the difference in free parameters, when the true
    values lie inside the search ranges. A parameter at the end of its range
    (or a shared one equal across bins) makes the asymptotic p-value
    conservative; the parametric bootstrap does not rely on it. For each
    simulation, every density bin's molecules are drawn (a multinomial of
    its molecule count) from the smaller mode's fitted distribution, both
    modes are refitted with the same settings, and the bootstrap p-value is
    (1 + #{simulated statistic >= observed}) / (n_sim + 1). Simulation s of
    the test in row i of ``tests`` draws from
    ``numpy.random.default_rng([seed, i, s])``.

    *Goodness of fit.* G = 2 sum_j c_dj ln(c_dj / E_dj), E_dj = n_d q_dj
    (empty methylation bins add 0), is compared with chi-square on df =
    (methylation bins - 1 - the parameters the mode fits per density bin),
    at least 1. Shared parameters are estimated from all bins at once and
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
    data = fitting._binned(data)
    modes = _modes(modes)
    n_sim = fitting._count(n_sim, "n_sim", 0)
    seed = fitting._count(seed, "seed", 0)
    s = _comparable({**settings, "seed": seed}, data.n_densities)
    if progress is not None and not callable(progress):
        raise InputError(f"progress must be callable, not {progress!r}")
    if client is not None and not callable(getattr(client, "submit", None)):
        raise InputError(f"client must be a Dask distributed.Client, not {type(client).__name__}")

    pairs = nested_pairs(modes, data.n_densities, **s)

    fits = {mode: fitting.fit(data, mode, **s) for mode in modes}
    table = _model_table(fits, s, data)
    goodness_of_fit, residuals = _goodness(fits, s, data)

    tested = pairs["reason"] == ""
    loglik = table["loglik"]
    lr_stat = np.where(tested, 2.0 * (loglik[pairs["larger"]].to_numpy() - loglik[pairs["smaller"]].to_numpy()),
                       math.nan)
    tests = pairs[["smaller", "larger", "df"]].assign(
        lr_stat=lr_stat, p_value=[chi2_sf(x, df) for x, df in zip(lr_stat, pairs["df"])], p_bootstrap=math.nan,
        n_sim=np.where(tested, n_sim, 0), reason=pairs["reason"])
    simulations = pd.DataFrame({"test": pd.Series(dtype=np.int64), "smaller": pd.Series(dtype=object),
                                "larger": pd.Series(dtype=object), "simulation": pd.Series(dtype=np.int64),
                                "lr_stat": pd.Series(dtype=np.float64)})
    rows = np.flatnonzero(tested)
    if n_sim and len(rows):
        job = _Simulations(tuple((int(i), tests.at[i, "smaller"], tests.at[i, "larger"],
                                  np.ascontiguousarray(fits[tests.at[i, "smaller"]].model_fractions()))
                                 for i in rows),
                           data.n_molecules, data.density_edges, data.meth_edges, s, seed, n_sim)
        simulated = _run_simulations(job, progress, client).reshape(len(rows), n_sim)
        exceed = (simulated >= tests.loc[rows, "lr_stat"].to_numpy()[:, None]).sum(axis=1)
        tests.loc[rows, "p_bootstrap"] = (1.0 + exceed) / (n_sim + 1.0)
        simulations = pd.DataFrame({"test": np.repeat(rows, n_sim),
                                    "smaller": np.repeat(tests.loc[rows, "smaller"].to_numpy(), n_sim),
                                    "larger": np.repeat(tests.loc[rows, "larger"].to_numpy(), n_sim),
                                    "simulation": np.tile(np.arange(n_sim), len(rows)),
                                    "lr_stat": simulated.ravel()})
    return Comparison(table, tests, goodness_of_fit, residuals, fits, s, n_sim, seed, simulations)
