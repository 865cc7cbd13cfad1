"""The module's public face: names, order, docstrings and text signatures."""

import inspect

import pytest

from velkora import velk_core

from conftest import run_python

# The interface order of all exported functions.
INTERFACE_ORDER = [
    "py_set_raw_count",
    "py_set_mm_vmax",
    "py_compute_nll",
    "py_compute_model_fracs",
    "py_fit_one_density",
    "py_fit_all_densities",
    "py_fit_all_densities_exp",
    "py_fit_shared_st",
    "py_fit_shared_exp",
    "py_fit_shared_st_exp_perdensity",
    "py_fit_shared_co",
    "py_profile_shared_st",
    "py_profile_shared_co",
    "py_fit_bootstrap",
    "py_fit_bootstrap_exp",
    "py_fit_bootstrap_exp_perdensity",
    "py_fit_bootstrap_co",
    "py_compute_phase_grids",
    "py_fit_drift_one",
    "py_fit_drift_bootstrap",
    "py_drift_predict",
]

DOCSTRINGS = {
    "py_set_raw_count": (
        "py_set_raw_count(enabled)\n--\n\n"
        "Enable/disable raw-count cooperative mode for all subsequent solves.\n\n"
        "When enabled, the cooperative writing/erasing rates use the raw count of\n"
        "methylated/unmethylated CpGs (M, U) as the base for the exponent instead of\n"
        "the fraction (M/NCPG, U/NCPG). This is a run-wide switch \u2014 set it once before\n"
        "fitting."
    ),
    "py_set_mm_vmax": (
        "py_set_mm_vmax(vmax)\n--\n\n"
        "Set the run-wide Michaelis-Menten ceiling on the cooperative drive.\n\n"
        "Pass f64::INFINITY (the default) to disable saturation and recover the\n"
        "unbounded linear model, or a finite Vmax to saturate both writing and\n"
        "erasing cooperative drives at that ceiling. Run-wide switch \u2014 set once."
    ),
    "py_compute_nll": (
        "py_compute_nll(params, observed_fracs, meth_bin_edges, normalize_stw)\n--\n\n"
        "Compute NLL for a single parameter set and one density bin."
    ),
    "py_compute_model_fracs": (
        "py_compute_model_fracs(ste, stw, cow, coe, meth_bin_edges)\n--\n\n"
        "Compute model fractions for given parameters (for plotting)."
    ),
    "py_fit_shared_st": (
        "py_fit_shared_st(observed_fracs_2d, meth_bin_edges, normalize_stw, st_bounds, "
        "co_bounds, n_u=2.0, n_m=2.0, co_penalty=0.0, weights=None)\n"
        "--\n"
        "\n"
        "Fit with shared St across all densities.\n"
        "\n"
        "Returns (shared_st, fitps: (n_densities, 3), nlls: (n_densities,))."
    ),
    "py_fit_shared_exp": (
        "py_fit_shared_exp(observed_fracs_2d, meth_bin_edges, normalize_stw, st_bounds, "
        "co_bounds, n_exp_bounds, co_penalty=0.0, weights=None, fit_vmax=False, "
        "vmax_bounds=...)\n"
        "--\n"
        "\n"
        "Fit with shared (St, n_U, n_M[, Vmax]) across all densities; per-density (CoW, CoE).\n"
        "\n"
        "Returns (shared_st, shared_n_u, shared_n_m, shared_vmax, fitps: (n_densities, 3),\n"
        "nlls: (n_densities,)). `fitps` columns are [St, CoW, CoE]. When `fit_vmax` is\n"
        "false, `shared_vmax` echoes the run-wide global (INFINITY = disabled)."
    ),
    "py_fit_shared_st_exp_perdensity": (
        "py_fit_shared_st_exp_perdensity(observed_fracs_2d, meth_bin_edges, normalize_stw, "
        "st_bounds, co_bounds, n_exp_bounds, co_penalty=0.0, weights=None, fit_vmax=False, "
        "vmax_bounds=...)\n"
        "--\n"
        "\n"
        "Fit shared St with per-density (CoW, CoE, n_U, n_M).\n"
        "\n"
        "St is global (1D Brent outer, or 2D Nelder-Mead over (St, Vmax) when\n"
        "`fit_vmax`); cooperativity coefficients and exponents are fit independently\n"
        "per density. When `fit_vmax`, a single shared Michaelis-Menten ceiling Vmax\n"
        "is fitted jointly with St. Returns\n"
        "(shared_st, shared_vmax, fitps: (n_densities, 5), nlls: (n_densities,)) where\n"
        "`fitps` columns are [St, n_U, n_M, CoW, CoE] (matching the --fit-exponents\n"
        "layout). `shared_vmax` is the run-wide global (mm_vmax()) when not fitted."
    ),
    "py_fit_shared_co": (
        "py_fit_shared_co(observed_fracs_2d, meth_bin_edges, normalize_stw, st_bounds, "
        "co_bounds, n_exp_bounds, co_penalty=0.0, weights=None)\n"
        "--\n"
        "\n"
        "Fit GLOBAL (St, CoW, CoE) shared across all densities; per-density (n_U, n_M).\n"
        "\n"
        "The mirror of `py_fit_shared_exp`: there the exponents are global and CoW/CoE\n"
        "vary per density; here St, CoW and CoE are all global and only the exponents\n"
        "vary per density. Vmax is held at the run-wide global (mm_vmax()). Returns\n"
        "(shared_st, shared_cow, shared_coe, fitps: (n_densities, 5),\n"
        "nlls: (n_densities,)) where `fitps` columns are [St, n_U, n_M, CoW, CoE]\n"
        "(matching the --fit-exponents layout; St/CoW/CoE are identical across rows)."
    ),
    "py_fit_one_density": (
        "py_fit_one_density(observed_fracs, meth_bin_edges, normalize_stw, st_bounds, co_bounds, n_u=2.0, "
        "n_m=2.0, co_penalty=0.0)\n--\n\n"
        "Fit one density bin with 3 free parameters.\n"
        "Returns (st_free, cow, coe, nll)."
    ),
    "py_fit_all_densities": (
        "py_fit_all_densities(observed_fracs_2d, meth_bin_edges, normalize_stw, st_bounds, co_bounds, "
        "n_u=2.0, n_m=2.0, co_penalty=0.0)\n--\n\n"
        "Fit all density bins independently, each with 3 free parameters.\n"
        "Parallel across density bins via rayon.\n\n"
        "Returns (fitps: (n_densities, 3), nlls: (n_densities,))."
    ),
    "py_fit_all_densities_exp": (
        "py_fit_all_densities_exp(observed_fracs_2d, meth_bin_edges, normalize_stw, st_bounds, co_bounds, "
        "n_exp_bounds, co_penalty=0.0)\n--\n\n"
        "Fit all density bins independently, each with 5 free parameters\n"
        "[St, CoW, CoE, n_U, n_M] \u2014 per-density cooperativity exponents.\n"
        "Parallel across density bins via rayon.\n\n"
        "Returns (fitps: (n_densities, 5), nlls: (n_densities,)).\n"
        "`fitps` columns are [St, n_U, n_M, CoW, CoE] to match the --fit-exponents\n"
        "(shared) layout consumed by the Python CSV writer."
    ),
    "py_profile_shared_st": (
        "py_profile_shared_st(observed_fracs_2d, meth_bin_edges, normalize_stw, st_grid, co_bounds, n_u=2.0, "
        "n_m=2.0, weights=None)\n--\n\n"
        "Profile likelihood: scan St over `st_grid`, with CoW/CoE re-fit per density\n"
        "at each grid point. Returns the (weighted) summed NLL at each grid point.\n\n"
        "Output shape: (n_points,) \u2014 one summed NLL per St grid value."
    ),
    "py_profile_shared_co": (
        "py_profile_shared_co(observed_fracs_2d, meth_bin_edges, normalize_stw, shared_st, cow_grid, coe_grid, "
        "co_bounds, n_u=2.0, n_m=2.0)\n--\n\n"
        "Profile likelihood: per-density scan over CoW and CoE with St fixed at\n"
        "`shared_st`. For each density and grid value:\n"
        "  - CoW scan: fix (St, CoW), optimize CoE only -> NLL.\n"
        "  - CoE scan: fix (St, CoE), optimize CoW only -> NLL.\n\n"
        "Returns (cow_nll, coe_nll), each shape (n_densities, n_points). Uses the\n"
        "SAME grid length for both axes; pass log-spaced grids built in Python."
    ),
    "py_fit_bootstrap": (
        "py_fit_bootstrap(bootstrap_fracs, n_boot, n_densities, meth_bin_edges, normalize_stw, shared_st, fix_st, "
        "st_bounds, co_bounds, n_u=2.0, n_m=2.0, co_penalty=0.0, weights=None, *, sample_offset=0)\n--\n\n"
        "Fit all bootstrap samples across all densities \u2014 fully parallel.\n\n"
        "Args:\n"
        "    bootstrap_fracs: flattened (n_boot * n_densities, n_meth_bins).\n"
        "        Densities MUST be ordered ascending so index 0 is the lowest density\n"
        "        (required for fix_st semantics).\n"
        "    n_boot, n_densities: dimensions\n"
        "    meth_bin_edges: (n_meth_bins + 1,)\n"
        "    normalize_stw: True if StW=1\n"
        "    shared_st: if true, fit shared St per bootstrap sample\n"
        "    fix_st: if true, per bootstrap, fit density 0 with 3 free params and\n"
        "        hold St fixed at that value for densities 1..N\n"
        "    st_bounds, co_bounds: parameter bounds\n\n"
        "Returns: (n_boot * n_densities, 6) array with columns\n"
        "    [bootstrap_idx, density_idx, st_free, cow, coe, nll]"
    ),
    "py_fit_bootstrap_exp": (
        "py_fit_bootstrap_exp(bootstrap_fracs, n_boot, n_densities, meth_bin_edges, normalize_stw, st_bounds, "
        "co_bounds, n_exp_bounds, co_penalty=0.0, weights=None, warm_start=None, fit_vmax=False, vmax_bounds=..., "
        "*, sample_offset=0)\n--\n\n"
        "Bootstrap fitting with shared cooperativity exponents (--fit-exponents).\n\n"
        "Mirrors `py_fit_bootstrap`'s shared-St branch, but for each bootstrap\n"
        "sample it runs the full nested (St, n_U, n_M) fit via\n"
        "`fit_shared_exp_inner`. Parallelism is across bootstrap samples\n"
        "(`into_par_iter` over n_boot), so all cores stay busy even when the\n"
        "per-sample density-level fit is narrow; the inner per-density loop adds\n"
        "further tasks to the shared rayon pool. Per-sample logging is suppressed\n"
        "to avoid flooding stderr with n_boot interleaved optimizer traces.\n\n"
        "`bootstrap_fracs` is (n_boot * n_densities, n_meth_bins), row-major with\n"
        "density varying fastest within each bootstrap block.\n\n"
        "Returns (n_boot * n_densities, 9): [boot_idx, dens_idx, st, n_u, n_m, cow, coe,\n"
        "nll, vmax]. The trailing `vmax` column is the per-sample fitted shared Vmax\n"
        "(or the run-wide global when `fit_vmax` is false).\n\n"
        "`warm_start`, when given, is the main-fit `(St, n_U, n_M, Vmax)` point\n"
        "estimate. Every bootstrap sample then runs a single Nelder-Mead seeded there\n"
        "instead of the cold 5-start global search, which is the dominant speedup:\n"
        "each resample's optimum is a small perturbation of the point estimate, so one\n"
        "warm start converges in far fewer iterations than five cold ones."
    ),
    "py_fit_bootstrap_exp_perdensity": (
        "py_fit_bootstrap_exp_perdensity(bootstrap_fracs, n_boot, n_densities, meth_bin_edges, normalize_stw, "
        "shared_st, st_bounds, co_bounds, n_exp_bounds, co_penalty=0.0, weights=None, fit_vmax=False, "
        "vmax_bounds=..., *, sample_offset=0)\n--\n\n"
        "Bootstrap fitting with PER-DENSITY cooperativity exponents (--exp-per-density).\n\n"
        "`shared_st`:\n"
        "  - true  => per bootstrap sample, fit one shared St with per-density\n"
        "             (CoW, CoE, n_U, n_M) via `fit_shared_st_perdensity_exp_inner`\n"
        "             (parallel across bootstrap samples).\n"
        "  - false => independent 5-param fit [St, CoW, CoE, n_U, n_M] per\n"
        "             (bootstrap, density) pair (parallel across all pairs).\n\n"
        "`bootstrap_fracs` is (n_boot * n_densities, n_meth_bins), density-fastest.\n"
        "Returns (n_boot * n_densities, 9):\n"
        "[boot_idx, dens_idx, st, n_u, n_m, cow, coe, nll, vmax].\n\n"
        "When `fit_vmax` (shared_st only), each bootstrap resample re-fits its own\n"
        "shared Vmax jointly with St; the per-sample Vmax lands in the last column so\n"
        "its spread can be assessed. When `fit_vmax` is false, the Vmax column carries\n"
        "the run-wide global (mm_vmax(); INFINITY = disabled). For the non-shared 5-param\n"
        "branch Vmax is always the global (no shared outer to fit it in)."
    ),
    "py_fit_bootstrap_co": (
        "py_fit_bootstrap_co(bootstrap_fracs, n_boot, n_densities, meth_bin_edges, normalize_stw, st_bounds, "
        "co_bounds, n_exp_bounds, co_penalty=0.0, weights=None, warm_start=None, *, sample_offset=0)\n--\n\n"
        "Bootstrap fitting for the GLOBAL (St, CoW, CoE) mode (--shared-co).\n\n"
        "Each bootstrap sample gets its own global (St, CoW, CoE) and per-density\n"
        "(n_U, n_M) via `fit_shared_co_inner`, parallelized across samples. When\n"
        "`warm_start` is Some, every sample seeds a single Nelder-Mead from that\n"
        "point (the main-fit global optimum) instead of the full multi-start.\n\n"
        "`bootstrap_fracs` is (n_boot * n_densities, n_meth_bins), density-fastest.\n"
        "Returns (n_boot * n_densities, 9):\n"
        "[boot_idx, dens_idx, st, n_u, n_m, cow, coe, nll, vmax], matching the\n"
        "other exponent bootstrap paths. St/CoW/CoE are identical across the densities\n"
        "of a given sample; Vmax is the run-wide global (mm_vmax())."
    ),
    "py_compute_phase_grids": (
        "py_compute_phase_grids(st_free, normalize_stw, log_cow_grid, log_coe_grid, n_u=2.0, n_m=2.0)"
        "\n--\n\n"
        "Compute phase diagram grids over log10(CoW) x log10(CoE) space.\n\n"
        "Returns (bistability, avg_meth, entropy, frac_inter) as 2D numpy arrays,\n"
        "each of shape (n_cow, n_coe)."
    ),
    "py_fit_drift_one": (
        "py_fit_drift_one(p0_observed, fit_observed_2d, fit_ages, meth_bin_edges, st_bounds)\n--\n\n"
        "Fit (StE, StW) at a single density bin, coupling multiple ages.\n"
        "Initial condition P0 is built from `p0_observed` (binned fractions at age 0)\n"
        "by spreading each bin uniformly over its macrostates.\n\n"
        "`fit_observed_2d`: (n_fit_ages, n_meth_bins), `fit_ages`: (n_fit_ages,)\n"
        "(the age corresponding to P0 itself is not included here \u2014 contributes zero NLL).\n"
        "Returns (StE, StW, total_NLL)."
    ),
    "py_fit_drift_bootstrap": (
        "py_fit_drift_bootstrap(p0_per_boot, fit_observed_per_boot, n_boot, n_fit_ages, fit_ages, "
        "meth_bin_edges, st_bounds, *, sample_offset=0)\n--\n\n"
        "Fit (StE, StW) per bootstrap sample, parallelized across bootstraps.\n\n"
        "`p0_per_boot`: (n_boot, n_meth_bins) \u2014 each bootstrap's age-P0 observed\n"
        "`fit_observed_per_boot`: (n_boot * n_fit_ages, n_meth_bins) flattened\n"
        "    row order: [boot0_fitage0, boot0_fitage1, ..., boot1_fitage0, ...]\n"
        "`fit_ages`: (n_fit_ages,)\n\n"
        "Returns (n_boot, 3) array: [StE, StW, total_NLL]."
    ),
    "py_drift_predict": (
        "py_drift_predict(ste, stw, p0_observed, ages, meth_bin_edges)\n--\n\n"
        "Compute predicted binned distributions at each age for given (StE, StW).\n"
        "Useful for plotting the fit.\n\n"
        "Returns (n_ages, n_meth_bins) array."
    ),
}

AVAILABLE = [name for name in INTERFACE_ORDER if hasattr(velk_core, name)]


def test_module_docstring_and_all_in_interface_order():
    assert velk_core.__doc__ == "Python module."
    assert velk_core.__all__ == AVAILABLE
    assert set(DOCSTRINGS) <= set(AVAILABLE)
    for name in dir(velk_core):
        if name.startswith("py_"):
            assert name in INTERFACE_ORDER


@pytest.mark.parametrize("name", sorted(DOCSTRINGS))
def test_docstring_and_text_signature(name):
    function = getattr(velk_core, name)
    doc = DOCSTRINGS[name]
    head, prose = doc.split("\n--\n\n")
    # The interpreter strips the text signature off __doc__ and keeps it apart.
    assert function.__doc__ == prose
    assert function.__text_signature__ == head[len(name):]
    # inspect renders the `...` default (vmax_bounds) as Ellipsis.
    rendered = str(inspect.signature(function)).replace("=Ellipsis", "=...")
    assert f"{name}{rendered}" == head


def test_vmax_bounds_default_is_shown_as_ellipsis():
    for name in AVAILABLE:
        signature = inspect.signature(getattr(velk_core, name))
        if "vmax_bounds" in signature.parameters:
            assert signature.parameters["vmax_bounds"].default is Ellipsis


def test_second_initialisation_in_one_process_raises_import_error():
    result = run_python(
        """
        import importlib, sys
        import velkora.velk_core
        del sys.modules["velkora.velk_core"]
        try:
            importlib.import_module("velkora.velk_core")
        except ImportError as error:
            print("ImportError:", error)
        else:
            print("imported twice")
        """
    )
    assert result.returncode == 0, result.stderr
    assert "ImportError:" in result.stdout
    assert "once" in result.stdout


def test_every_function_is_typed_in_the_stub():
    import ast
    import pathlib

    import velkora

    stub = pathlib.Path(velkora.__file__).with_name("velk_core.pyi")
    typed = {node.name for node in ast.parse(stub.read_text()).body if isinstance(node, ast.FunctionDef)}
    assert set(AVAILABLE) == typed
