"""Distribution functions the tests need, in plain Python (no SciPy)."""

from __future__ import annotations

import math


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
