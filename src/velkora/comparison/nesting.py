"""Which modes are special cases of which, and how many parameters each fits.

Two modes are nested when every parameter of the smaller one enters the
larger one at least as freely: a parameter is *fixed* (a setting: the
exponents of independent and shared-st, Vmax without ``fit_vmax``),
*shared* by all density bins, or fitted *per bin*, in that order of freedom
(the roles are those of :mod:`velkora.model.modes`). With the default
settings that gives, transitively closed: shared-st within independent,
shared-exp, shared-st-exp and independent-exp; independent within
independent-exp; shared-exp within shared-st-exp and independent-exp;
shared-st-exp within independent-exp; shared-co within shared-st-exp and
independent-exp.
"""

from __future__ import annotations

from .. import _checks
from .._errors import InputError
from .._optional import require
from ..fitting.settings import check_settings, mode as checked_mode
from ..model.modes import MODE_TABLE, MODES, nesting_reason, structurally_nested

pd = require("pandas")


def checked_modes(modes) -> tuple[str, ...]:
    """A non-empty sequence of distinct mode names, checked."""
    if isinstance(modes, str):
        modes = (modes,)
    try:
        modes = tuple(modes)
    except TypeError:
        raise InputError(f"modes must be a sequence of mode names, not {modes!r}") from None
    if not modes:
        raise InputError(f"modes must name at least one mode of {', '.join(MODES)}")
    for name in modes:
        checked_mode(name)
    repeated = [name for k, name in enumerate(modes) if name in modes[:k]]
    if repeated:
        raise InputError(f"modes names {repeated[0]!r} twice")
    return modes


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
    description = checked_mode(mode)
    n_densities = _checks.count(n_densities, "n_densities", 1)
    return description.n_params(n_densities, check_settings(settings, n_densities))



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
    modes = checked_modes(modes)
    n_densities = _checks.count(n_densities, "n_densities", 1)
    s = check_settings(settings, n_densities)
    rows = []
    for small in modes:
        for big in modes:
            if not structurally_nested(small, big):
                continue
            k_small = MODE_TABLE[small].n_params(n_densities, s)
            k_big = MODE_TABLE[big].n_params(n_densities, s)
            reason = nesting_reason(small, big, n_densities, s)
            rows.append({"smaller": small, "larger": big, "df": k_big - k_small, "reason": reason})
    return pd.DataFrame(rows, columns=["smaller", "larger", "df", "reason"])
