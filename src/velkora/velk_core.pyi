"""The velkora engine: model evaluations and fits, in parallel on one thread pool.

Threads. Every function releases the interpreter lock while it computes, so
Python threads can run engine calls at the same time, and the interpreter lock
protects nothing during a call. The run-wide switches set by `py_set_mm_vmax`
and `py_set_raw_count` are process-wide: every model evaluation of every call
in progress reads them, some calls read them more than once, and so a switch
changed while another thread's call runs can change that call's result midway.
When threads fit with different settings, take one lock of your own, and hold
it from setting the switches until the calls that need those settings have
returned. Threads that share one setting only need it set before they start.

Reproducibility. Fits seeded from indices (rows, bootstrap samples) repeat bit
for bit on any number of threads. The functions with a keyword-only `seed`
that defaults to None draw operating-system entropy for some of their
optimiser runs when it is None: pass `seed=` for reproducible results (their
docstrings give the derivation). `py_fit_tied` is always seeded (`seed=0` by
default).
"""

from typing import Final, SupportsIndex

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]
Bounds = tuple[float, float]

# The five bootstrap functions take a keyword-only `sample_offset`: the
# run-wide index of the stack's first sample. Rows are numbered and fits seeded
# by run-wide indices, so the chunks of a run (each called with the index of
# its first sample) return exactly the rows of one call on the whole stack.
#
# The functions that score binned fractions with the steady state take a
# keyword-only `observation`: for reads that call fewer than a molecule's 70
# sites, entry [j, M] is the probability that a molecule with M methylated
# sites is read in methylation bin j; shape (n_meth_bins, 71) for the
# one-density functions, (n_densities, n_meth_bins, 71) for the others (one
# matrix per density, shared by every bootstrap sample). None keeps the plain
# binning of the levels M / 70. velkora.observation builds the matrices.

__all__: Final[list[str]]

def py_set_raw_count(enabled: bool | np.bool_) -> None:
    """Enable/disable raw-count cooperative mode for all subsequent solves."""

def py_set_mm_vmax(vmax: float) -> None:
    """Set the run-wide Michaelis-Menten ceiling on the cooperative drive."""

def py_compute_nll(
    params: FloatArray,
    observed_fracs: FloatArray,
    meth_bin_edges: FloatArray,
    normalize_stw: bool | np.bool_,
    *,
    observation: FloatArray | None = None,
) -> float:
    """Compute NLL for a single parameter set and one density bin."""

def py_compute_model_fracs(
    ste: float,
    stw: float,
    cow: float,
    coe: float,
    meth_bin_edges: FloatArray,
    *,
    observation: FloatArray | None = None,
) -> FloatArray:
    """Compute model fractions for given parameters (for plotting)."""

def py_fit_one_density(
    observed_fracs: FloatArray,
    meth_bin_edges: FloatArray,
    normalize_stw: bool | np.bool_,
    st_bounds: Bounds,
    co_bounds: Bounds,
    n_u: float = 2.0,
    n_m: float = 2.0,
    co_penalty: float = 0.0,
    *,
    seed: int | None = None,
    observation: FloatArray | None = None,
) -> tuple[float, float, float, float]:
    """Fit one density bin with 3 free parameters. Returns (st_free, cow, coe, nll)."""

def py_fit_all_densities(
    observed_fracs_2d: FloatArray,
    meth_bin_edges: FloatArray,
    normalize_stw: bool | np.bool_,
    st_bounds: Bounds,
    co_bounds: Bounds,
    n_u: float = 2.0,
    n_m: float = 2.0,
    co_penalty: float = 0.0,
    *,
    observation: FloatArray | None = None,
) -> tuple[FloatArray, FloatArray]:
    """Fit all density bins independently; returns (fitps (n, 3) [St, CoW, CoE], nlls (n,))."""

def py_fit_all_densities_exp(
    observed_fracs_2d: FloatArray,
    meth_bin_edges: FloatArray,
    normalize_stw: bool | np.bool_,
    st_bounds: Bounds,
    co_bounds: Bounds,
    n_exp_bounds: Bounds,
    co_penalty: float = 0.0,
    *,
    observation: FloatArray | None = None,
) -> tuple[FloatArray, FloatArray]:
    """Fit all density bins with free exponents; returns (fitps (n, 5) [St, n_U, n_M, CoW, CoE], nlls (n,))."""

def py_fit_shared_st(
    observed_fracs_2d: FloatArray,
    meth_bin_edges: FloatArray,
    normalize_stw: bool | np.bool_,
    st_bounds: Bounds,
    co_bounds: Bounds,
    n_u: float = 2.0,
    n_m: float = 2.0,
    co_penalty: float = 0.0,
    weights: FloatArray | None = None,
    *,
    seed: int | None = None,
    observation: FloatArray | None = None,
) -> tuple[float, FloatArray, FloatArray]:
    """Fit with shared St; returns (shared_st, fitps (n, 3) [St, CoW, CoE], nlls (n,))."""

def py_fit_shared_exp(
    observed_fracs_2d: FloatArray,
    meth_bin_edges: FloatArray,
    normalize_stw: bool | np.bool_,
    st_bounds: Bounds,
    co_bounds: Bounds,
    n_exp_bounds: Bounds,
    co_penalty: float = 0.0,
    weights: FloatArray | None = None,
    fit_vmax: bool | np.bool_ = False,
    vmax_bounds: Bounds = ...,
    *,
    observation: FloatArray | None = None,
) -> tuple[float, float, float, float, FloatArray, FloatArray]:
    """Fit shared (St, n_U, n_M[, Vmax]); returns
    (shared_st, shared_n_u, shared_n_m, shared_vmax, fitps (n, 3) [St, CoW, CoE], nlls (n,))."""

def py_fit_shared_st_exp_perdensity(
    observed_fracs_2d: FloatArray,
    meth_bin_edges: FloatArray,
    normalize_stw: bool | np.bool_,
    st_bounds: Bounds,
    co_bounds: Bounds,
    n_exp_bounds: Bounds,
    co_penalty: float = 0.0,
    weights: FloatArray | None = None,
    fit_vmax: bool | np.bool_ = False,
    vmax_bounds: Bounds = ...,
    *,
    observation: FloatArray | None = None,
) -> tuple[float, float, FloatArray, FloatArray]:
    """Fit shared St [and Vmax] with per-density exponents; returns
    (shared_st, shared_vmax, fitps (n, 5) [St, n_U, n_M, CoW, CoE], nlls (n,))."""

def py_fit_shared_co(
    observed_fracs_2d: FloatArray,
    meth_bin_edges: FloatArray,
    normalize_stw: bool | np.bool_,
    st_bounds: Bounds,
    co_bounds: Bounds,
    n_exp_bounds: Bounds,
    co_penalty: float = 0.0,
    weights: FloatArray | None = None,
    *,
    observation: FloatArray | None = None,
) -> tuple[float, float, float, FloatArray, FloatArray]:
    """Fit global (St, CoW, CoE) with per-density exponents; returns
    (shared_st, shared_cow, shared_coe, fitps (n, 5) [St, n_U, n_M, CoW, CoE], nlls (n,))."""

def py_compute_phase_grids(
    st_free: float,
    normalize_stw: bool | np.bool_,
    log_cow_grid: FloatArray,
    log_coe_grid: FloatArray,
    n_u: float = 2.0,
    n_m: float = 2.0,
) -> tuple[FloatArray, FloatArray, FloatArray, FloatArray]:
    """Compute phase diagram grids over log10(CoW) x log10(CoE) space."""

def py_profile_shared_st(
    observed_fracs_2d: FloatArray,
    meth_bin_edges: FloatArray,
    normalize_stw: bool | np.bool_,
    st_grid: FloatArray,
    co_bounds: Bounds,
    n_u: float = 2.0,
    n_m: float = 2.0,
    weights: FloatArray | None = None,
    *,
    seed: int | None = None,
    observation: FloatArray | None = None,
) -> FloatArray:
    """Weighted summed NLL at every St of st_grid, CoW/CoE re-fitted per density; shape (n_points,)."""

def py_profile_shared_co(
    observed_fracs_2d: FloatArray,
    meth_bin_edges: FloatArray,
    normalize_stw: bool | np.bool_,
    shared_st: float,
    cow_grid: FloatArray,
    coe_grid: FloatArray,
    co_bounds: Bounds,
    n_u: float = 2.0,
    n_m: float = 2.0,
    *,
    seed: int | None = None,
    observation: FloatArray | None = None,
) -> tuple[FloatArray, FloatArray]:
    """Per-density NLL with CoW (then CoE) held at each grid value: (cow_nll, coe_nll)."""

def py_fit_bootstrap(
    bootstrap_fracs: FloatArray,
    n_boot: SupportsIndex,
    n_densities: SupportsIndex,
    meth_bin_edges: FloatArray,
    normalize_stw: bool | np.bool_,
    shared_st: bool | np.bool_,
    fix_st: bool | np.bool_,
    st_bounds: Bounds,
    co_bounds: Bounds,
    n_u: float = 2.0,
    n_m: float = 2.0,
    co_penalty: float = 0.0,
    weights: FloatArray | None = None,
    *,
    sample_offset: SupportsIndex = 0,
    seed: int | None = None,
    observation: FloatArray | None = None,
) -> FloatArray:
    """(n_boot * n_densities, 6): [bootstrap_idx, density_idx, st_free, cow, coe, nll]. Ctrl+C stops it."""

def py_fit_bootstrap_exp(
    bootstrap_fracs: FloatArray,
    n_boot: SupportsIndex,
    n_densities: SupportsIndex,
    meth_bin_edges: FloatArray,
    normalize_stw: bool | np.bool_,
    st_bounds: Bounds,
    co_bounds: Bounds,
    n_exp_bounds: Bounds,
    co_penalty: float = 0.0,
    weights: FloatArray | None = None,
    warm_start: tuple[float, float, float, float] | None = None,
    fit_vmax: bool | np.bool_ = False,
    vmax_bounds: Bounds = ...,
    *,
    sample_offset: SupportsIndex = 0,
    observation: FloatArray | None = None,
) -> FloatArray:
    """(n_boot * n_densities, 9): [boot_idx, dens_idx, st, n_u, n_m, cow, coe, nll, vmax]. Ctrl+C stops it."""

def py_fit_bootstrap_exp_perdensity(
    bootstrap_fracs: FloatArray,
    n_boot: SupportsIndex,
    n_densities: SupportsIndex,
    meth_bin_edges: FloatArray,
    normalize_stw: bool | np.bool_,
    shared_st: bool | np.bool_,
    st_bounds: Bounds,
    co_bounds: Bounds,
    n_exp_bounds: Bounds,
    co_penalty: float = 0.0,
    weights: FloatArray | None = None,
    fit_vmax: bool | np.bool_ = False,
    vmax_bounds: Bounds = ...,
    *,
    sample_offset: SupportsIndex = 0,
    observation: FloatArray | None = None,
) -> FloatArray:
    """(n_boot * n_densities, 9) as py_fit_bootstrap_exp, per-density exponents. Ctrl+C stops it."""

def py_fit_bootstrap_co(
    bootstrap_fracs: FloatArray,
    n_boot: SupportsIndex,
    n_densities: SupportsIndex,
    meth_bin_edges: FloatArray,
    normalize_stw: bool | np.bool_,
    st_bounds: Bounds,
    co_bounds: Bounds,
    n_exp_bounds: Bounds,
    co_penalty: float = 0.0,
    weights: FloatArray | None = None,
    warm_start: tuple[float, float, float] | None = None,
    *,
    sample_offset: SupportsIndex = 0,
    observation: FloatArray | None = None,
) -> FloatArray:
    """(n_boot * n_densities, 9) for the global (St, CoW, CoE) fit. Ctrl+C stops it."""

def py_fit_drift_one(
    p0_observed: FloatArray,
    fit_observed_2d: FloatArray,
    fit_ages: FloatArray,
    meth_bin_edges: FloatArray,
    st_bounds: Bounds,
    *,
    seed: int | None = None,
) -> tuple[float, float, float]:
    """Fit (StE, StW) at one density bin over several ages. Returns (StE, StW, total_NLL)."""

def py_fit_drift_bootstrap(
    p0_per_boot: FloatArray,
    fit_observed_per_boot: FloatArray,
    n_boot: SupportsIndex,
    n_fit_ages: SupportsIndex,
    fit_ages: FloatArray,
    meth_bin_edges: FloatArray,
    st_bounds: Bounds,
    *,
    sample_offset: SupportsIndex = 0,
) -> FloatArray:
    """Fit (StE, StW) per bootstrap sample; returns an (n_boot, 3) array [StE, StW, total_NLL]."""

def py_drift_predict(
    ste: float,
    stw: float,
    p0_observed: FloatArray,
    ages: FloatArray,
    meth_bin_edges: FloatArray,
) -> FloatArray:
    """Predicted binned distributions at each age; returns an (n_ages, n_meth_bins) array."""

def py_fit_tied(
    observed_fracs_2d: FloatArray,
    meth_bin_edges: FloatArray,
    normalize_stw: bool | np.bool_,
    layout: FloatArray,
    fixed: FloatArray,
    lower: FloatArray,
    upper: FloatArray,
    weights: FloatArray | None = None,
    starts: FloatArray | None = None,
    *,
    seed: SupportsIndex = 0,
    observation: FloatArray | None = None,
) -> tuple[FloatArray, FloatArray, FloatArray]:
    """Fit parameters tied across rows: layout (n_rows, 6) over [St, CoW, CoE, n_U, n_M, Vmax]
    holds an index of theta or -1 (fixed). Returns (theta: (n_theta,), params: (n_rows, 6),
    nlls: (n_rows,)). Ctrl+C stops it."""
