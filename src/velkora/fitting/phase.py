"""Phase diagrams: the steady state's character over a grid of cooperative rates."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from .. import _checks, _engine, velk_core
from .._optional import require
from .settings import check_settings, switches

pd = require("pandas")


@dataclass
class PhaseGrid:
    """The steady state's character over a grid of log10 CoW (rows) x log10 CoE
    (columns) at one St.

    Attributes
    ----------
    st : float
        The spontaneous rate St of the grid.
    log_cow, log_coe : numpy.ndarray
        The grid's log10 CoW and log10 CoE values.
    bistability, avg_meth, entropy, frac_inter : numpy.ndarray
        The bistability score, the mean methylation level, the entropy and the
        share of intermediate levels, each of shape (len(log_cow), len(log_coe)).
    settings : dict
        The model switches the grid was computed with.
    """

    st: float
    log_cow: np.ndarray
    log_coe: np.ndarray
    bistability: np.ndarray
    avg_meth: np.ndarray
    entropy: np.ndarray
    frac_inter: np.ndarray
    settings: dict[str, Any] = field(default_factory=dict)

    def frame(self):
        """The grid as a long DataFrame.

        Returns
        -------
        pandas.DataFrame
            One row per (log_cow, log_coe) point, CoE varying fastest.
        """
        log_cow, log_coe = np.meshgrid(self.log_cow, self.log_coe, indexing="ij")
        columns = {"log_cow": log_cow.ravel(), "log_coe": log_coe.ravel()}
        for name in ("bistability", "avg_meth", "entropy", "frac_inter"):
            columns[name] = getattr(self, name).ravel()
        return pd.DataFrame(columns)


def phase_grid(st: float, log_cow, log_coe, *, normalize_stw: bool = True, n_u: float = 2.0, n_m: float = 2.0,
               vmax: float = math.inf, raw_count: bool = False) -> PhaseGrid:
    """The phase diagram of the model at one spontaneous rate.

    Parameters
    ----------
    st : float
        The spontaneous rate St, positive.
    log_cow, log_coe : sequence of float
        The grids of log10 CoW and log10 CoE.
    normalize_stw, n_u, n_m, vmax, raw_count : optional
        The model settings of :func:`fit`.

    Returns
    -------
    PhaseGrid
        The bistability, mean methylation, entropy and intermediate fraction
        over the grid.

    Raises
    ------
    InputError
        For a bad `st`, grid or setting.

    Examples
    --------
    >>> grid = vk.phase_grid(0.5, np.linspace(-2, 3, 41), np.linspace(-2, 3, 41))  # doctest: +SKIP
    """
    st = _checks.finite(st, "st", positive=True)
    cow = _checks.grid(log_cow, "log_cow")
    coe = _checks.grid(log_coe, "log_coe")
    model = {"normalize_stw": normalize_stw, "n_u": n_u, "n_m": n_m, "vmax": vmax, "raw_count": raw_count}
    s = check_settings(model, 0)
    with _engine.switches(**switches(s)):
        grids = velk_core.py_compute_phase_grids(st, s["normalize_stw"], cow, coe, s["n_u"], s["n_m"])
    return PhaseGrid(st, cow, coe, *grids, settings={name: s[name] for name in model})
