"""Fits of several labelled data sets at once: one per stratum, group or sample.

A :class:`FitCollection` holds one :class:`~velkora.fitting.results.FitResult`
per label and presents them as one result: its tables carry the label (a
``stratum``, ``group`` or ``sample`` index level), its log-likelihood is the
sum of the members' (the data sets are disjoint), and its bootstrap
(:class:`~velkora.fitting.bootstraps.BootstrapCollection`) is the members'
bootstraps side by side.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from .._optional import require
from .results import Criteria, FitResult

pd = require("pandas")

LABELS = ("stratum", "group", "sample")


@dataclass
class FitCollection(Criteria):
    """Fits of several data sets, one per label.

    Attributes
    ----------
    by : str or tuple of str
        What the labels are: "stratum", "group" or "sample", or
        ("stratum", "group") for the groups of every stratum (the labels are
        then pairs).
    fits : dict of str (or tuple) to FitResult
        The fit of each label, in order.
    """

    by: str
    fits: dict[str, FitResult]

    def __getitem__(self, label: str) -> FitResult:
        return self.fits[label]

    def __iter__(self):
        return iter(self.fits)

    def __len__(self) -> int:
        return len(self.fits)

    @property
    def mode(self) -> str:
        """The mode of every fit."""
        return next(iter(self.fits.values())).mode

    @property
    def settings(self) -> dict:
        """The settings of every fit."""
        return next(iter(self.fits.values())).settings

    @property
    def table(self):
        """Every fit's table, with the label as the first index level."""
        return pd.concat({label: fit.table for label, fit in self.fits.items()}, names=self._names())

    def _names(self) -> list[str]:
        return list(self.by) if isinstance(self.by, tuple) else [self.by]

    @property
    def shared(self):
        """The values shared by all density bins, one row per label."""
        labels = list(self.fits)
        index = (pd.MultiIndex.from_tuples(labels, names=self._names()) if isinstance(self.by, tuple)
                 else pd.Index(labels, name=self.by))
        return pd.DataFrame([fit.shared for fit in self.fits.values()], index=index)

    @property
    def llf(self) -> float:
        """The sum of the members' log-likelihoods (their data are disjoint)."""
        return math.fsum(fit.llf for fit in self.fits.values())

    @property
    def nobs(self) -> int:
        """All members' molecules."""
        return sum(fit.nobs for fit in self.fits.values())

    @property
    def df_model(self) -> int:
        """All members' free parameters."""
        return sum(fit.df_model for fit in self.fits.values())

    @property
    def at_bound(self) -> dict[tuple[str, str], str]:
        """(label, density bin) -> the estimates at a search bound there."""
        return {(label, bin_): text for label, fit in self.fits.items() for bin_, text in fit.at_bound.items()}

    def summary(self) -> str:
        """Every member's summary, each headed by its label.

        Returns
        -------
        str
            The summaries one after the other.
        """
        return "\n\n".join(f"{self.by} {label}\n{fit.summary()}" for label, fit in self.fits.items())
