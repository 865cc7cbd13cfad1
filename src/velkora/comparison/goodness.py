"""Goodness of fit: does each density bin's fitted distribution explain its counts?

G = 2 sum_j c_dj ln(c_dj / E_dj), E_dj = n_d q_dj (empty methylation bins
add 0), is compared with chi-square on df = (methylation bins - 1 - the
parameters the mode fits per density bin), at least 1; a bin is flagged as a
misfit when its p-value is below 0.05 divided by the number of density bins
(Bonferroni). The Pearson residuals (observed - expected) / sqrt(expected)
show where a bin departs.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from .._optional import require
from .._stats import chi2_sf
from ..counts.binned import BinnedData

pd = require("pandas")

# A density bin is flagged as not explained by its model when its G test's
# p-value falls below this level after a Bonferroni correction over the bins.
ALPHA = 0.05


def goodness(fits: dict, s: dict[str, Any], data: BinnedData) -> tuple[pd.DataFrame, pd.DataFrame]:
    counts = data.counts.astype(np.float64)
    n = data.n_molecules.astype(np.float64)
    level = ALPHA / data.n_densities
    gof, residuals = [], []
    for mode, result in fits.items():
        expected = n[:, None] * result.model_fractions()
        with np.errstate(divide="ignore", invalid="ignore"):
            terms = np.where(counts > 0, counts * np.log(counts / expected), 0.0)
        g = 2.0 * terms.sum(axis=1)
        df = max(1, data.n_meth_bins - 1 - result.description.per_bin_params(s))
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
