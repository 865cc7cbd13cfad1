"""Bootstrap fits of stacked resamples: layouts, modes, reproducibility, Ctrl+C."""

import numpy as np
import pytest

from velkora import velk_core

from conftest import run_python

EDGES = np.linspace(0.0, 1.0, 11)
ST = (0.01, 10.0)
CO = (0.01, 100.0)
N_EXP = (1.0, 3.0)


def stacked(n_boot, rates=((0.5, 1.0, 2.0), (0.5, 3.0, 1.0)), molecules=3000, seed=5):
    """n_boot resamples of every density, density varying fastest."""
    rng = np.random.default_rng(seed)
    model = [velk_core.py_compute_model_fracs(st, 1.0, cw, ce, EDGES) for st, cw, ce in rates]
    return np.array([rng.multinomial(molecules, m / m.sum()) / molecules for _ in range(n_boot) for m in model])


@pytest.fixture(scope="module")
def boot():
    return stacked(3)


def assert_layout(rows, n_boot, n_densities, width):
    assert rows.shape == (n_boot * n_densities, width)
    r = np.arange(n_boot * n_densities)
    np.testing.assert_array_equal(rows[:, 0], r // n_densities)
    np.testing.assert_array_equal(rows[:, 1], r % n_densities)


def per_sample_constant(rows, column, n_densities):
    return np.all(rows[:, column].reshape(-1, n_densities) == rows[::n_densities, column][:, None])


def test_independent_mode_fits_every_pair_on_its_own_seed(boot):
    rows = velk_core.py_fit_bootstrap(boot, 3, 2, EDGES, True, False, False, ST, CO)
    assert_layout(rows, 3, 2, 6)
    again = velk_core.py_fit_bootstrap(boot, 3, 2, EDGES, True, False, False, ST, CO, weights=np.array([5.0, 0.1]))
    np.testing.assert_array_equal(again, rows)  # reproducible; weights ignored
    # Pair i is fitted with seed i: the same as fitting the rows alone in order.
    alone = velk_core.py_fit_all_densities(boot, EDGES, True, ST, CO)
    np.testing.assert_array_equal(rows[:, 2:5], alone[0])
    np.testing.assert_array_equal(rows[:, 5], alone[1])


def test_fix_st_mode_holds_density_zeros_st(boot):
    rows = velk_core.py_fit_bootstrap(boot, 3, 2, EDGES, True, False, True, ST, CO)
    assert_layout(rows, 3, 2, 6)
    assert per_sample_constant(rows, 2, 2)
    # Density 0 of each sample is the free three-parameter fit with seed b * n_densities.
    independent = velk_core.py_fit_bootstrap(boot, 3, 2, EDGES, True, False, False, ST, CO)
    np.testing.assert_array_equal(rows[::2], independent[::2])
    for b in range(3):
        nll = velk_core.py_compute_nll(rows[2 * b + 1, 2:5], boot[2 * b + 1], EDGES, True)
        assert rows[2 * b + 1, 5] == pytest.approx(nll, abs=1e-12)


def test_shared_st_mode_wins_over_fix_st(boot):
    shared = velk_core.py_fit_bootstrap(boot, 3, 2, EDGES, True, True, True, ST, CO)
    assert_layout(shared, 3, 2, 6)
    assert per_sample_constant(shared, 2, 2)
    assert np.all((shared[:, 2] >= ST[0]) & (shared[:, 2] <= ST[1]))
    fix = velk_core.py_fit_bootstrap(boot, 3, 2, EDGES, True, False, True, ST, CO)
    assert not np.array_equal(shared[:, 2], fix[:, 2])


def test_shared_st_mode_checks_weights(boot):
    with pytest.raises(RuntimeError, match="weights"):
        velk_core.py_fit_bootstrap(boot, 3, 2, EDGES, True, True, False, ST, CO, weights=np.ones(1))


@pytest.mark.parametrize(
    "call,width",
    [
        (lambda b, n: velk_core.py_fit_bootstrap(b, n, 2, EDGES, True, False, False, ST, CO), 6),
        (lambda b, n: velk_core.py_fit_bootstrap_exp(b, n, 2, EDGES, True, ST, CO, N_EXP), 9),
        (lambda b, n: velk_core.py_fit_bootstrap_exp_perdensity(b, n, 2, EDGES, True, False, ST, CO, N_EXP), 9),
        (lambda b, n: velk_core.py_fit_bootstrap_co(b, n, 2, EDGES, True, ST, CO, N_EXP), 9),
    ],
)
def test_no_samples_and_too_few_rows(boot, call, width):
    assert call(boot, 0).shape == (0, width)
    with pytest.raises(RuntimeError, match="bootstrap_fracs has 6 rows"):
        call(boot, 4)


def test_exp_perdensity_independent_branch(boot):
    rows = velk_core.py_fit_bootstrap_exp_perdensity(boot, 3, 2, EDGES, True, False, ST, CO, N_EXP, fit_vmax=True)
    assert_layout(rows, 3, 2, 9)
    assert np.all(np.isinf(rows[:, 8]))  # the run-wide ceiling, whatever fit_vmax says
    np.testing.assert_array_equal(
        rows, velk_core.py_fit_bootstrap_exp_perdensity(boot, 3, 2, EDGES, True, False, ST, CO, N_EXP)
    )
    # Columns [St, n_U, n_M, CoW, CoE] as in the independent exponent fit, pair i seeded with i.
    alone = velk_core.py_fit_all_densities_exp(boot, EDGES, True, ST, CO, N_EXP)
    np.testing.assert_array_equal(rows[:, 2:7], alone[0])
    velk_core.py_set_mm_vmax(7.0)
    capped = velk_core.py_fit_bootstrap_exp_perdensity(boot[:2], 1, 2, EDGES, True, False, ST, CO, N_EXP)
    assert np.all(capped[:, 8] == 7.0)


@pytest.mark.parametrize(
    "name,warm_start,shared_columns",
    [("py_fit_bootstrap_exp", (0.5, 2.0, 2.0, 1.0), (2, 3, 4, 8)), ("py_fit_bootstrap_co", (0.5, 2.0, 1.5), (2, 5, 6, 8))],
)
def test_global_bootstraps_with_a_warm_start_share_their_globals_per_sample(name, warm_start, shared_columns):
    rows = getattr(velk_core, name)(stacked(2), 2, 2, EDGES, True, ST, CO, N_EXP, warm_start=warm_start)
    assert_layout(rows, 2, 2, 9)
    for column in shared_columns:
        assert per_sample_constant(rows, column, 2)
    assert np.all(np.isinf(rows[:, 8]))


DRIFT_AGES = np.array([1.0, 3.0])


def drift_stack(n_boot):
    p0 = np.tile(velk_core.py_compute_model_fracs(0.5, 1.0, 2.0, 2.0, EDGES), (n_boot, 1))
    later = velk_core.py_drift_predict(0.2, 0.1, p0[0], DRIFT_AGES, EDGES)
    rng = np.random.default_rng(9)
    observed = np.array([rng.multinomial(2000, r / r.sum()) / 2000 for _ in range(n_boot) for r in later])
    return p0, observed


# Every deterministic bootstrap, as (function, arguments[, keywords]) of a whole run of 3 samples.
CHUNKED_RUNS = {
    "shared-St seeded": ("py_fit_bootstrap", lambda b: (b, 3, 2, EDGES, True, True, False, ST, CO), {"seed": 8}),
    "independent": ("py_fit_bootstrap", lambda b: (b, 3, 2, EDGES, True, False, False, ST, CO)),
    "fix-St": ("py_fit_bootstrap", lambda b: (b, 3, 2, EDGES, True, False, True, ST, CO)),
    "exp warm": ("py_fit_bootstrap_exp", lambda b: (b, 3, 2, EDGES, True, ST, CO, N_EXP, 0.0, None, (0.5, 2, 2, 1))),
    "exp per density": ("py_fit_bootstrap_exp_perdensity", lambda b: (b, 3, 2, EDGES, True, False, ST, CO, N_EXP)),
    "co warm": ("py_fit_bootstrap_co", lambda b: (b, 3, 2, EDGES, True, ST, CO, N_EXP, 0.0, None, (0.5, 2, 1.5))),
    "drift": ("py_fit_drift_bootstrap", lambda b: (*drift_stack(3), 3, 2, DRIFT_AGES, EDGES, (1e-3, 1.0))),
}


@pytest.mark.parametrize("mode", sorted(CHUNKED_RUNS))
def test_chunks_with_their_sample_offset_give_the_whole_run(boot, mode):
    from velkora.parallel.chunks import bootstrap_job, run_local

    function, arguments, *keywords = CHUNKED_RUNS[mode]
    kwargs = keywords[0] if keywords else {}
    whole = getattr(velk_core, function)(*arguments(boot), **kwargs)
    job = bootstrap_job(function, *arguments(boot), **kwargs)
    for chunk_size in (1, 2):
        rows, done = run_local(job, chunk_size)
        assert done == 3
        np.testing.assert_array_equal(rows, whole)


def test_seeded_shared_st_mode_fits_sample_zero_as_the_shared_st_fit(boot):
    # Outside bootstraps the sample index is 0, so sample 0 of a run agrees
    # with the plain shared-St fit of its rows under the same seed.
    rows = velk_core.py_fit_bootstrap(boot, 3, 2, EDGES, True, True, False, ST, CO, seed=3)
    st, fitps, nlls = velk_core.py_fit_shared_st(boot[:2], EDGES, True, ST, CO, seed=3)
    np.testing.assert_array_equal(rows[:2, 2:5], fitps)
    np.testing.assert_array_equal(rows[:2, 5], nlls)
    # Other modes are seeded by their rows already; the seed leaves them alone.
    independent = velk_core.py_fit_bootstrap(boot, 3, 2, EDGES, True, False, False, ST, CO)
    np.testing.assert_array_equal(
        velk_core.py_fit_bootstrap(boot, 3, 2, EDGES, True, False, False, ST, CO, seed=3), independent
    )


def test_sample_offset_numbers_the_samples_and_is_keyword_only(boot):
    rows = velk_core.py_fit_bootstrap(boot, 3, 2, EDGES, True, True, False, ST, CO, sample_offset=7)
    np.testing.assert_array_equal(rows[:, 0], [7, 7, 8, 8, 9, 9])
    with pytest.raises(TypeError, match="takes at most 13 positional arguments"):
        velk_core.py_fit_bootstrap(boot, 3, 2, EDGES, True, True, False, ST, CO, 2.0, 2.0, 0.0, None, 7)
    with pytest.raises(OverflowError, match="^argument 'sample_offset': "):
        velk_core.py_fit_bootstrap_co(boot, 3, 2, EDGES, True, ST, CO, N_EXP, sample_offset=-1)
    # Run-wide row indices past 2^53 cannot be numbered exactly: refused before any fit.
    with pytest.raises(RuntimeError, match="sample_offset"):
        velk_core.py_fit_bootstrap(boot, 3, 2, EDGES, True, False, False, ST, CO, sample_offset=2**52)
    with pytest.raises(RuntimeError, match="sample_offset"):
        velk_core.py_fit_drift_bootstrap(*drift_stack(1), 1, 2, DRIFT_AGES, EDGES, (1e-3, 1.0), sample_offset=2**53)


INTERRUPTED = """
    import os, signal, threading, time
    import numpy as np
    from velkora import velk_core as vc
    e = np.linspace(0.0, 1.0, 11)
    m = [vc.py_compute_model_fracs(0.5, 1.0, c, 2.0, e) for c in (1.0, 3.0)]
    boot = np.array([x for _ in range({n_boot}) for x in m])
    call = lambda b, n: {call}
    threading.Timer(0.5, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
    start = time.perf_counter()
    try:
        call(boot, {n_boot})
        print("finished")
    except KeyboardInterrupt as error:
        print("KeyboardInterrupt:", error)
    call(boot[:2], 1)
    print("next call works")
    try:
        os.kill(os.getpid(), signal.SIGINT)
        time.sleep(5)
        print("no KeyboardInterrupt")
    except KeyboardInterrupt:
        print("Python Ctrl+C works")
    """

BOOTSTRAP_CALLS = {
    "py_fit_bootstrap": ("vc.py_fit_bootstrap(b, n, 2, e, True, False, False, (0.01, 10.0), (0.01, 100.0))", 400),
    "py_fit_bootstrap_exp": (
        "vc.py_fit_bootstrap_exp(b, n, 2, e, True, (0.01, 10.0), (0.01, 100.0), (1.0, 3.0))",
        40,
    ),
    "py_fit_bootstrap_exp_perdensity": (
        "vc.py_fit_bootstrap_exp_perdensity(b, n, 2, e, True, False, (0.01, 10.0), (0.01, 100.0), (1.0, 3.0))",
        200,
    ),
    "py_fit_bootstrap_co": (
        "vc.py_fit_bootstrap_co(b, n, 2, e, True, (0.01, 10.0), (0.01, 100.0), (1.0, 3.0))",
        40,
    ),
    # Two fitted ages per sample: the age-0 rows double as the fitted rows.
    "py_fit_drift_bootstrap": (
        "vc.py_fit_drift_bootstrap(np.ascontiguousarray(b[::2]), b, n, 2, np.array([3.0, 9.0]), e, (1e-4, 1.0))",
        20000,
    ),
}


@pytest.mark.parametrize("name", sorted(BOOTSTRAP_CALLS))
def test_ctrl_c_stops_the_bootstrap_and_python_handling_comes_back(name):
    call, n_boot = BOOTSTRAP_CALLS[name]
    result = run_python(INTERRUPTED.replace("{call}", call).replace("{n_boot}", str(n_boot)), timeout=600)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "KeyboardInterrupt: Interrupted by Ctrl+C"
    assert lines[1] == "next call works"
    assert lines[2] == "Python Ctrl+C works"
