"""Built-in synthetic per-molecule tables with known model parameters.

For trying the package, for the demo and for tests: molecules of 70 CpG sites
whose methylated-site counts are drawn from the model's stationary
distribution at given (St, CoW, CoE) per density bin, or, for the drift
model, propagated from such a distribution over ages.
"""

from __future__ import annotations

import numpy as np

from . import model
from ._errors import InputError
from ._optional import require

pd = require("pandas")

DEFAULT_DENSITY_EDGES = (0.0, 0.02, 0.04, 0.06, 0.08, 0.10)

# True (St, CoW, CoE) per density bin (StW = 1, n_U = n_M = 2): cooperation
# grows with CpG density and the distribution moves from methylated to
# bimodal to unmethylated.
DEFAULT_PARAMS = ((0.5, 3.0, 0.5), (0.5, 2.0, 1.0), (0.5, 1.5, 1.5), (0.5, 1.0, 3.0), (0.5, 0.5, 5.0))


def synthetic_molecules(
    params=None,
    molecules_per_density: int = 5000,
    density_edges=DEFAULT_DENSITY_EDGES,
    *,
    seed: int | None = 0,
    normalize_stw: bool = True,
    n_u: float = 2.0,
    n_m: float = 2.0,
    shared_st: float | None = None,
    depth=None,
):
    """A per-molecule table drawn from the model.

    Each molecule gets a CpG density drawn uniformly within its bin,
    ``n_cpg`` = 70 sites, ``n_methylated`` drawn from the stationary
    distribution and ``meth_level`` = n_methylated / 70. Draws come from
    ``numpy.random.default_rng(seed)``, bin after bin.

    Parameters
    ----------
    params : array_like, optional
        One (St, CoW, CoE) per density bin (default ``DEFAULT_PARAMS``).
    molecules_per_density : int, optional
        Molecules drawn per density bin (default 5000).
    density_edges : array_like, optional
        The density bins' edges, one more than `params` has rows.
    seed : int or None, optional
        Seed of the draws (default 0).
    normalize_stw : bool, optional
        True (default): StW = 1 and St is StE; False: StE = 1 and St is StW.
    n_u, n_m : float, optional
        The exponents of the model (default 2).
    shared_st : float, optional
        Replaces every St.
    depth : int or array_like of int, optional
        Makes short reads: an integer (every molecule) or one integer per
        molecule (in table order, density bin after density bin), each in
        1 .. 70. The read of a molecule calls that many of its 70 sites, chosen
        at random, so it sees a hypergeometric share of the molecule's
        methylated sites, drawn from the same generator after all other draws.
        Then ``n_cpg`` and the added ``n_called`` column hold the depth,
        ``n_methylated`` the methylated sites seen and ``meth_level`` their
        fraction. Without ``depth`` the table is exactly the full-depth one.

    Returns
    -------
    pandas.DataFrame
        Columns ``cpg_density``, ``n_cpg``, (``n_called``,) ``n_methylated``,
        ``meth_level``. The true parameters are kept in
        ``table.attrs["truth"]``, a dict of per-density lists
        (``pandas.DataFrame(table.attrs["truth"])`` shows them).

    Raises
    ------
    ValueError
        For `params` without one (St, CoW, CoE) row per density bin.
    InputError
        For a bad `depth`.

    Examples
    --------
    >>> import velkora as vk
    >>> table = vk.synthetic_molecules(molecules_per_density=100, seed=1)
    >>> len(table)
    500
    """
    params = np.array(DEFAULT_PARAMS if params is None else params, dtype=np.float64)
    edges = np.asarray(density_edges, dtype=np.float64)
    if params.ndim != 2 or params.shape[1] != 3 or len(edges) != len(params) + 1:
        raise ValueError("params needs one (St, CoW, CoE) row per density bin (len(density_edges) - 1 rows)")
    if shared_st is not None:
        params[:, 0] = shared_st
    n_molecules = len(params) * molecules_per_density
    depths = None if depth is None else _depths(depth, n_molecules)
    rng = np.random.default_rng(seed)
    parts = []
    for d, (st, cow, coe) in enumerate(params):
        ste, stw = (st, 1.0) if normalize_stw else (1.0, st)
        p = model.stationary_distribution(ste, stw, cow, coe, n_u, n_m)
        methylated = rng.choice(model.NCPG + 1, size=molecules_per_density, p=p)
        density = rng.uniform(edges[d], edges[d + 1], size=molecules_per_density)
        parts.append((density, methylated))
    density = np.concatenate([d for d, _ in parts])
    methylated = np.concatenate([m for _, m in parts])
    if depths is None:
        table = _table(density, methylated)
    else:
        seen = rng.hypergeometric(methylated, model.NCPG - methylated, depths)
        table = _table(density, seen, depths)
    # Plain lists, so that the truth survives a round trip through Parquet.
    table.attrs["truth"] = {
        "density_lo": edges[:-1].tolist(),
        "density_hi": edges[1:].tolist(),
        "St": params[:, 0].tolist(),
        "CoW": params[:, 1].tolist(),
        "CoE": params[:, 2].tolist(),
        "n_U": [n_u] * len(params),
        "n_M": [n_m] * len(params),
    }
    return table


def synthetic_drift_molecules(
    ste: float,
    stw: float,
    ages,
    params=None,
    molecules_per_density: int = 5000,
    density_edges=DEFAULT_DENSITY_EDGES,
    *,
    seed: int | None = 0,
):
    """A per-molecule table over ages for the drift model.

    At every age a fresh set of molecules is drawn per density bin from the
    steady state of ``params`` (as :func:`synthetic_molecules`, StW = 1), then
    aged by the spontaneous-only drift with rates ``ste`` and ``stw`` for the
    time t since the youngest age: each methylated site stays methylated with
    probability ``a = 1 + StE * expm1(-s t) / s`` and each unmethylated site
    becomes methylated with probability ``b = -StW * expm1(-s t) / s``, with
    ``s = StE + StW``.

    Parameters
    ----------
    ste, stw : float
        The spontaneous erasing and writing rates of the drift.
    ages : array_like
        The ages at which molecules are drawn.
    params, molecules_per_density, density_edges, seed : optional
        As in :func:`synthetic_molecules`.

    Returns
    -------
    pandas.DataFrame
        The columns of :func:`synthetic_molecules` and an ``age`` column; the
        truth is in ``attrs["truth"]``.
    """
    ages = np.asarray(ages, dtype=np.float64)
    params = np.array(DEFAULT_PARAMS if params is None else params, dtype=np.float64)
    edges = np.asarray(density_edges, dtype=np.float64)
    rng = np.random.default_rng(seed)
    s = ste + stw
    tables = []
    for age in ages:
        t = age - ages.min()
        keep, gain = drift_probabilities(ste, stw, t)
        for d, (st, cow, coe) in enumerate(params):
            p = model.stationary_distribution(st, 1.0, cow, coe)
            start = rng.choice(model.NCPG + 1, size=molecules_per_density, p=p)
            methylated = rng.binomial(start, keep) + rng.binomial(model.NCPG - start, gain)
            density = rng.uniform(edges[d], edges[d + 1], size=molecules_per_density)
            table = _table(density, methylated)
            table.insert(0, "age", age)
            tables.append(table)
    table = pd.concat(tables, ignore_index=True)
    table.attrs["truth"] = {"StE": ste, "StW": stw, "s": s}
    return table


def drift_probabilities(ste: float, stw: float, t: float) -> tuple[float, float]:
    """The site transition probabilities of the drift after time t.

    Parameters
    ----------
    ste, stw : float
        The spontaneous erasing and writing rates.
    t : float
        The time since the start.

    Returns
    -------
    (float, float)
        (a, b): the probabilities that a methylated site is still methylated and
        that an unmethylated site has become methylated.
    """
    s = ste + stw
    if s == 0.0:
        return 1.0 - ste * t, stw * t
    decay = np.expm1(-s * t) / s
    return 1.0 + ste * decay, -stw * decay


def _depths(depth, n_molecules: int) -> np.ndarray:
    """The read depth of every molecule, checked: integers in 1 .. 70."""
    values = np.asarray(depth)
    if values.ndim == 0:
        values = np.full(n_molecules, values)
    if values.shape != (n_molecules,) or not np.issubdtype(values.dtype, np.integer):
        raise InputError(
            f"depth must be an integer or {n_molecules} integers (one per molecule), "
            f"got {values.dtype} of shape {values.shape}"
        )
    if values.size and (values.min() < 1 or values.max() > model.NCPG):
        raise InputError(f"depth must lie in 1 .. {model.NCPG}, got values from {values.min()} to {values.max()}")
    return values.astype(np.int64)


def _table(density: np.ndarray, methylated: np.ndarray, depths: np.ndarray | None = None):
    if depths is None:
        return pd.DataFrame(
            {
                "cpg_density": density,
                "n_cpg": np.full(len(methylated), model.NCPG),
                "n_methylated": methylated,
                "meth_level": methylated / model.NCPG,
            }
        )
    return pd.DataFrame(
        {
            "cpg_density": density,
            "n_cpg": depths,
            "n_called": depths,
            "n_methylated": methylated,
            "meth_level": methylated / depths,
        }
    )
