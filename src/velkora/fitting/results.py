"""The result of a fit, in the vocabulary of statistics.

A :class:`FitResult` holds the fitted parameters of every density bin and
what a statistician asks of a fitted model: its log-likelihood (``llf``),
the number of observations (``nobs``, molecules) and of free parameters
(``df_model``), AIC and BIC, a plain-text ``summary()`` and the
likelihood-ratio test against a special case of it
(:meth:`FitResult.compare_lr_test`).

The log-likelihood. With q_dj the fitted probability of methylation bin j in
density bin d and c_dj the molecule count, the multinomial log-likelihood of
the counts is sum_d log(n_d! / prod_j c_dj!) + sum_dj c_dj log q_dj. The
first sum depends on the data only and is left out: ``llf`` is
sum_dj c_dj log q_dj = -sum_d n_d nll_d, with nll_d the bin's per-molecule
cross-entropy. Differences of ``llf`` between models of the same data, AIC
and BIC comparisons and likelihood-ratio statistics do not depend on the
constant; the absolute values are not log-probabilities.
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass
from typing import Any

import numpy as np

from .._errors import InputError
from .._optional import require
from .._stats import chi2_sf
from ..counts.binned import BinnedData
from ..model.modes import MODE_TABLE, PARAMETERS, Estimates, Mode, at_bound, nesting_reason
from ..model.steady_state import bin_fractions, stationary_distribution
from .settings import likelihood_settings

pd = require("pandas")

# Settings that two fits must share for their log-likelihoods to be compared
# (the seed only picks among equally good searches).
_COMPARED_SETTINGS = ("normalize_stw", "st_bounds", "co_bounds", "n_exp_bounds", "n_u", "n_m", "co_penalty",
                      "weights", "fit_vmax", "vmax_bounds", "vmax", "raw_count")


def density_table(data: BinnedData):
    """One row per density bin (index "density_bin"): its edges and molecules."""
    return pd.DataFrame(
        {"density_lo": data.density_edges[:-1], "density_hi": data.density_edges[1:],
         "n_molecules": data.n_molecules},
        index=pd.Index(data.labels, name="density_bin"),
    )


def bound_flags(mode: Mode, values: dict[str, np.ndarray], settings: dict[str, Any]) -> list[str]:
    """Per density bin, the fitted parameters whose estimate lies at an end of
    its search range, as "CoW (upper)" joined by ", " ("" where none)."""
    n = len(next(iter(values.values())))
    flags: list[list[str]] = [[] for _ in range(n)]
    for name in mode.fitted(settings):
        for d, side in enumerate(at_bound(name, values[name], settings)):
            if side:
                flags[d].append(f"{name} ({'upper' if side > 0 else 'lower'})")
    return [", ".join(f) for f in flags]


def parameter_table(data: BinnedData, mode: Mode, estimates: Estimates, settings: dict[str, Any],
                    observation: str):
    """The fit table: density bins with every parameter, the nll, the
    observation model and the parameters found at a search bound."""
    table = density_table(data)
    for name in PARAMETERS:
        table[name] = estimates.values[name]
    table["nll"] = estimates.nll
    table["observation"] = observation
    table["at_bound"] = bound_flags(mode, estimates.values, settings)
    return table


class Criteria:
    """Akaike's and the Bayesian information criterion of anything with
    ``llf``, ``nobs`` and ``df_model``."""

    @property
    def aic(self) -> float:
        """Akaike's information criterion, 2 df_model - 2 llf."""
        return 2.0 * self.df_model - 2.0 * self.llf

    @property
    def bic(self) -> float:
        """The Bayesian information criterion, df_model ln(nobs) - 2 llf."""
        return self.df_model * math.log(self.nobs) - 2.0 * self.llf


@dataclass
class FitResult(Criteria):
    """A fit of every density bin.

    Attributes
    ----------
    mode : str
        The mode of the fit, one of :data:`MODES`.
    settings : dict
        The checked settings the fit used, defaults filled in.
    data : BinnedData
        The data fitted.
    table : pandas.DataFrame
        One row per density bin (index "density_bin") with its edges, molecule
        count, the rates St, CoW, CoE, the exponents n_U, n_M and the ceiling
        Vmax that the fit used (fitted or fixed), the bin's nll, the
        observation model and ``at_bound``: the fitted parameters whose
        estimate lies within a relative 1e-6 of an end of its search range
        (e.g. "CoW (upper)"), which are then bounds, not estimates.
    shared : dict of str to float
        The values common to all bins (empty for the independent modes).
    total_nll : float
        The negative log-likelihood of the molecule counts, sum over the bins
        of molecules times the bin's nll: ``-llf``, the same definition for
        every mode.
    objective : float
        What the fit minimised: the weighted sum of the bins' nll for the
        shared modes (equal to ``total_nll`` with the default molecule
        weights), the plain sum for the independent ones, which fit each bin
        on its own.
    observation : str
        The observation model the fit scored the data with: "binned" (every
        molecule read at the model's 70 sites) or "sampled" (short reads,
        through ``observation_matrices``).
    observation_matrices : numpy.ndarray or None
        With "sampled", one (n_meth_bins, 71) matrix per density bin.
    observation_reason : str
        Why that observation model was chosen.
    log : str
        The optimiser's log lines of the shared-exp and shared-co searches
        (empty for the other modes); shown as they come with ``verbose=True``.
    notes : list of str
        Remarks on how the estimate was found (a search restarted from a
        special case's optimum, for instance).
    """

    mode: str
    settings: dict[str, Any]
    data: BinnedData
    table: pd.DataFrame
    shared: dict[str, float]
    total_nll: float
    observation: str = "binned"
    observation_matrices: np.ndarray | None = None
    observation_reason: str = ""
    objective: float = math.nan
    log: str = ""
    notes: tuple[str, ...] = ()

    @property
    def description(self) -> Mode:
        """What the fit's mode shares, fits and nests in."""
        return MODE_TABLE[self.mode]

    # ------------------------------------------------------------ statistics

    @property
    def llf(self) -> float:
        """The log-likelihood of the molecule counts without the multinomial
        constant: -sum_d n_d nll_d (see the module's notes)."""
        return -float(np.dot(self.table["nll"].to_numpy(dtype=np.float64),
                             self.data.n_molecules.astype(np.float64)))

    @property
    def nobs(self) -> int:
        """The number of observations: molecules fitted."""
        return int(self.data.n_molecules.sum())

    @property
    def df_model(self) -> int:
        """The number of free parameters."""
        return self.description.n_params(self.data.n_densities, self.settings)

    @property
    def at_bound(self) -> dict[str, str]:
        """The density bins with an estimate at a search bound: label -> the
        parameters there (empty when every estimate lies inside its range)."""
        flags = self.table["at_bound"]
        return {label: text for label, text in flags.items() if text}

    def compare_lr_test(self, restricted: FitResult) -> tuple[float, float, int]:
        """The likelihood-ratio test of a special case of this fit.

        Parameters
        ----------
        restricted : FitResult
            A fit of the same data, with the same settings, in a mode that is
            a special case of this one (see :mod:`velkora.model.modes`).

        Returns
        -------
        lr_stat : float
            2 (llf - restricted.llf).
        p_value : float
            Its chi-square upper tail with `df_diff` degrees of freedom
            (NaN when this fit ended clearly below its special case: its
            search missed the optimum, and a warning says so).
        df_diff : int
            The difference in free parameters.

        Raises
        ------
        InputError
            For fits of different data, with different settings, of modes
            that do not nest (the message says why), or with weights or a
            penalty that make the nll no log-likelihood.

        Notes
        -----
        The chi-square p-value is asymptotic: it assumes independent
        molecules and true values inside the search ranges (a parameter at a
        bound, or a shared one equal across bins, makes it conservative).
        """
        reason = lr_test_reason(restricted, self)
        if reason:
            raise InputError(f"cannot test {getattr(restricted, 'mode', restricted)!r} within {self.mode!r}: "
                             f"{reason}")
        lr_stat = 2.0 * (self.llf - restricted.llf)
        df_diff = self.df_model - restricted.df_model
        if lr_stat < -fit_tolerance(self, restricted):
            warnings.warn(f"{self.mode} fits worse than its special case {restricted.mode} (lr_stat "
                          f"{lr_stat:.4g}): its search missed the optimum", RuntimeWarning, stacklevel=2)
            return lr_stat, math.nan, df_diff
        return lr_stat, chi2_sf(lr_stat, df_diff), df_diff

    # ------------------------------------------------------------ the model

    def distributions(self) -> np.ndarray:
        """The fitted stationary distributions over the 71 macrostates.

        Returns
        -------
        numpy.ndarray
            Shape (n_densities, 71): row d is density bin d's distribution over
            M = 0 .. 70 methylated sites (levels M / 70).
        """
        s = self.settings
        rows = []
        for row in self.table.itertuples():
            ste, stw = (row.St, 1.0) if s["normalize_stw"] else (1.0, row.St)
            rows.append(stationary_distribution(ste, stw, row.CoW, row.CoE, row.n_U, row.n_M, row.Vmax,
                                                s["raw_count"]))
        return np.array(rows)

    def model_fractions(self, observed: bool = True) -> np.ndarray:
        """The fitted model's fractions per density bin.

        Parameters
        ----------
        observed : bool, optional
            With True (default), as the fit compared them with the data: through
            the observation matrices for short reads. With False, the binned
            distribution of molecules read at all 70 sites.

        Returns
        -------
        numpy.ndarray
            Shape (n_densities, n_meth_bins).
        """
        matrices = self.observation_matrices if observed else None
        return np.array([
            bin_fractions(p, self.data.meth_edges, None if matrices is None else matrices[d])
            for d, p in enumerate(self.distributions())
        ])

    def estimates(self) -> Estimates:
        """The fit's parameters as the mode description unpacks them."""
        values = {name: self.table[name].to_numpy(dtype=np.float64) for name in PARAMETERS}
        return Estimates(values, self.table["nll"].to_numpy(dtype=np.float64), dict(self.shared))

    def warm_start(self) -> tuple[float, ...] | None:
        """Where the bootstrap of a shared-exp or shared-co fit starts every resample.

        Returns
        -------
        tuple of float or None
            (St, n_U, n_M, Vmax) for shared-exp, (St, CoW, CoE) for shared-co;
            None for the other modes, whose bootstraps search afresh.
        """
        return self.description.warm_start(self.estimates(), self.settings)

    def summary(self) -> str:
        """A plain-text summary: the model, its likelihood and information
        criteria, the shared values and the parameters of every density bin,
        with the estimates found at a search bound marked.

        Returns
        -------
        str
            The summary; print it.
        """
        settings = self.settings
        width = 78
        head = [
            ("Mode", self.mode), ("Log-likelihood", f"{self.llf:.6g}"),
            ("Observation", self.observation), ("AIC", f"{self.aic:.6g}"),
            ("Molecules (nobs)", f"{self.nobs:,}"), ("BIC", f"{self.bic:.6g}"),
            ("Density bins", f"{self.data.n_densities}"), ("Free parameters", f"{self.df_model}"),
        ]
        lines = ["velkora fit".center(width), "=" * width]
        for (a, va), (b, vb) in zip(head[::2], head[1::2]):
            lines.append(f"{a + ':':<19}{va:>18}   {b + ':':<19}{vb:>18}")
        lines.append("-" * width)
        lines.append(f"{'Shared by all density bins:':<28}"
                     + (", ".join(f"{k} = {v:.6g}" for k, v in self.shared.items()) or "nothing"))
        fitted = self.description.fitted(settings)
        held = [name for name in PARAMETERS if name not in fitted]
        if held:
            values = ", ".join(f"{name} = {self.table[name].iloc[0]:.6g}" for name in held)
            lines.append(f"{'Held fixed:':<28}{values}")
        lines.append("=" * width)
        columns = ["n_molecules", *fitted, "nll"]
        body = self.table[columns].copy()
        body.insert(len(body.columns), "at_bound", self.table["at_bound"].replace("", "-"))
        lines.append(body.to_string(float_format=lambda v: f"{v:.5g}"))
        lines.append("=" * width)
        flagged = self.at_bound
        if flagged:
            lines.append("Estimates at a search bound are bounds, not estimates: widen the range ("
                         + ", ".join(sorted(bound_settings(self))) + ") or read them as such.")
        lines.append("llf leaves out the multinomial constant of the counts; BIC takes n = molecules.")
        lines.extend(self.notes)
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.summary()


def bound_settings(result: FitResult) -> set[str]:
    """The settings whose range the fit's estimates reached."""
    from ..model.modes import RANGE  # noqa: PLC0415

    found = set()
    for text in result.table["at_bound"]:
        for item in filter(None, text.split(", ")):
            found.add(RANGE[item.split(" ")[0]])
    return found


def fit_tolerance(*fits: FitResult) -> float:
    """How far apart two log-likelihoods of the same data may lie by the
    optimisers' tolerance alone (on the scale of 2 llf)."""
    return 1e-6 * max(1.0, *(abs(f.llf) for f in fits))


def lr_test_reason(restricted, full: FitResult) -> str:
    """Why `restricted` cannot be tested within `full` ("" when it can)."""
    if not isinstance(restricted, FitResult):
        return f"restricted must be a FitResult, not {type(restricted).__name__}"
    a, b = restricted.data, full.data
    if a is not b and not (np.array_equal(a.counts, b.counts) and np.array_equal(a.density_edges, b.density_edges)
                           and np.array_equal(a.meth_edges, b.meth_edges)):
        return "the two fits are of different data"
    for name in _COMPARED_SETTINGS:
        if restricted.settings[name] != full.settings[name]:
            return (f"the fits used different settings ({name}: {restricted.settings[name]!r} and "
                    f"{full.settings[name]!r})")
    if restricted.observation != full.observation:
        return f"the fits observed the data differently ({restricted.observation} and {full.observation})"
    reason = likelihood_settings(full.settings)
    if reason:
        return reason
    return nesting_reason(restricted.mode, full.mode, full.data.n_densities, full.settings)
