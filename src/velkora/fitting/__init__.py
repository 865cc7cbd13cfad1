"""Fits, their bootstraps and profiles, phase diagrams and drift fits.

The modules, by step:

- :mod:`~velkora.fitting.settings`: the fit settings and their checks, the
  observation model of a fit, and what a fit hands the engine;
- :mod:`~velkora.fitting.results`: :class:`FitResult`, with ``llf``, ``aic``,
  ``bic``, ``summary()`` and ``compare_lr_test``;
- :mod:`~velkora.fitting.fits`: :func:`fit`;
- :mod:`~velkora.fitting.collections`: :class:`FitCollection`, fits of
  several strata, groups or samples as one result;
- :mod:`~velkora.fitting.bootstraps`: :func:`bootstrap`;
- :mod:`~velkora.fitting.profiles`: :func:`profile_st`, :func:`profile_co`;
- :mod:`~velkora.fitting.phase`: :func:`phase_grid`;
- :mod:`~velkora.fitting.drift`: :func:`fit_drift`.

What the rest of the package uses of this layer is the public names of these
modules (``settings.check_settings``, ``settings.run_options``,
``bootstraps.bootstrap_job``, ...); the modes themselves are described in
:mod:`velkora.model.modes`.
"""

from ..model.modes import MODES
from .bootstraps import BootstrapCollection, BootstrapResult, bootstrap
from .collections import FitCollection
from .drift import DriftResult, fit_drift
from .fits import fit
from .phase import PhaseGrid, phase_grid
from .profiles import ProfileResult, profile_co, profile_st
from .results import FitResult
from .settings import DEFAULT_SETTINGS, OBSERVATIONS

__all__ = ["MODES", "DEFAULT_SETTINGS", "OBSERVATIONS", "fit", "FitResult", "FitCollection", "bootstrap",
           "BootstrapResult", "BootstrapCollection",
           "profile_st", "profile_co", "ProfileResult", "phase_grid", "PhaseGrid", "fit_drift", "DriftResult"]
