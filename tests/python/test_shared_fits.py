"""Shared-parameter fits: logs, determinism, weights, layouts, errors, Ctrl+C."""

import math
import re
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from velkora import velk_core

from conftest import run_python

EDGES = np.linspace(0.0, 1.0, 11)
NO_DENSITIES = np.zeros((0, 10))
ST_BOUNDS = (0.1, 1.0)
CO_BOUNDS = (0.5, 2.0)
N_BOUNDS = (1.0, 3.0)


def two_densities():
    return np.array(
        [velk_core.py_compute_model_fracs(0.3, 1.0, cow, coe, EDGES) for cow, coe in [(2.0, 1.0), (1.0, 2.0)]]
    )


# ---------------------------------------------------------------------------
# Log lines. With no densities every outer evaluation is -0.0, so each start
# ends on its first ordering with vertex 0, and the whole log follows from the
# bounds alone: it is rebuilt here from first principles.


def initial_simplex(x0, bounds):
    vertices = [list(x0)]
    for j, x in enumerate(x0):
        vertex = list(x0)
        moved = x + 0.05 * x if abs(x) > 1e-10 else x + 0.00025
        lo, hi = bounds[j]
        vertex[j] = lo if moved < lo else hi if moved > hi else moved
        vertices.append(vertex)
    return vertices


def expected_constant_log(starts, bounds, start_line, converged_line, evaluation_line):
    lines, counter = [], 0
    for i, x0 in enumerate(starts, 1):
        lines.append(start_line(i, len(starts), x0))
        for vertex in initial_simplex(x0, bounds):
            counter += 1
            lines.append(evaluation_line(counter, vertex))
        lines.append(converged_line(i, x0))
    lines.append(f"--- best start: 1 with NLL={-0.0:.6f} ---\n")
    return "".join(lines)


@pytest.mark.parametrize("fit_vmax", [False, True])
def test_shared_exp_log_lines_byte_for_byte(capfd, fit_vmax):
    vmax_bounds = (0.1, 10.0)
    log_st = (math.log10(ST_BOUNDS[0]), math.log10(ST_BOUNDS[1]))
    bounds = [log_st, N_BOUNDS, N_BOUNDS] + ([(-1.0, 1.0)] if fit_vmax else [])
    m_s, m_n = sum(log_st) / 2, sum(N_BOUNDS) / 2
    lo, hi = N_BOUNDS[0] + 0.25, N_BOUNDS[1] - 0.25
    starts = [[m_s, m_n, m_n], [m_s, lo, lo], [m_s, lo, hi], [m_s, hi, lo], [m_s, hi, hi]]
    if fit_vmax:
        starts = [s + [0.0] for s in starts]

    def evaluation(k, x):
        vmax = 10 ** x[3] if fit_vmax else math.inf
        return (
            f"  [{k:3}] St={10 ** x[0]:.4f} (logSt={x[0]:+.3f})  n_U={x[1]:.3f}  n_M={x[2]:.3f}"
            f"  Vmax={vmax:.4f}  total NLL={-0.0:.6f}\n"
        )

    expected = expected_constant_log(
        starts,
        bounds,
        lambda i, n, x: f"--- Nelder-Mead start {i}/{n} from x0=(logSt={x[0]:+.3f}, n_U={x[1]:.3f}, n_M={x[2]:.3f}) ---\n",
        lambda i, x: f"    => start {i} converged: logSt={x[0]:+.3f} n_U={x[1]:.3f} n_M={x[2]:.3f} NLL={-0.0:.6f}\n",
        evaluation,
    )
    capfd.readouterr()
    result = velk_core.py_fit_shared_exp(
        NO_DENSITIES, EDGES, True, ST_BOUNDS, CO_BOUNDS, N_BOUNDS, fit_vmax=fit_vmax, vmax_bounds=vmax_bounds
    )
    captured = capfd.readouterr()
    assert captured.err == expected
    assert captured.out == ""
    assert result[0] == 10 ** m_s and result[1:3] == (m_n, m_n)
    assert result[3] == (10 ** 0.0 if fit_vmax else math.inf)


def test_shared_co_log_lines_byte_for_byte_with_starts_outside_the_bounds(capfd):
    log_st = (math.log10(ST_BOUNDS[0]), math.log10(ST_BOUNDS[1]))
    log_co = (math.log10(CO_BOUNDS[0]), math.log10(CO_BOUNDS[1]))
    m_s, m_c, high = sum(log_st) / 2, sum(log_co) / 2, log_co[1] - 0.5
    # Less than two decades of co bounds: starts 2 to 5 lie outside them.
    starts = [
        [m_s, m_c, m_c],
        [m_s, m_c - 1, m_c - 1],
        [m_s, m_c + 1, m_c + 1],
        [m_s, m_c + 1, m_c - 1],
        [m_s, m_c - 1, m_c + 1],
        [m_s, high, high],
        [log_st[0] + 0.5, high, high],
    ]
    expected = expected_constant_log(
        starts,
        [log_st, log_co, log_co],
        lambda i, n, x: (
            f"--- Nelder-Mead start {i}/{n} from x0=(logSt={x[0]:+.3f}, logCoW={x[1]:+.3f}, logCoE={x[2]:+.3f}) ---\n"
        ),
        lambda i, x: f"    => start {i} converged: logSt={x[0]:+.3f} logCoW={x[1]:+.3f} logCoE={x[2]:+.3f} NLL={-0.0:.6f}\n",
        lambda k, x: f"  [{k:3}] St={10 ** x[0]:.4f} CoW={10 ** x[1]:.4f} CoE={10 ** x[2]:.4f}  total NLL={-0.0:.6f}\n",
    )
    capfd.readouterr()
    velk_core.py_fit_shared_co(NO_DENSITIES, EDGES, True, ST_BOUNDS, CO_BOUNDS, N_BOUNDS)
    assert capfd.readouterr().err == expected


EXP_EVALUATION = re.compile(
    r"  \[([ \d]{2}\d|\d{4,})\] St=(\d+\.\d{4}) \(logSt=([+-]\d\.\d{3})\)  n_U=(\d\.\d{3})  n_M=(\d\.\d{3})"
    r"  Vmax=inf  total NLL=(\d+\.\d{6})\n"
)
EXP_START = re.compile(r"--- Nelder-Mead start (\d)/5 from x0=\(logSt=[+-]\d\.\d{3}, n_U=\d\.\d{3}, n_M=\d\.\d{3}\) ---\n")
EXP_CONVERGED = re.compile(r"    => start (\d) converged: logSt=[+-]\d\.\d{3} n_U=\d\.\d{3} n_M=\d\.\d{3} NLL=(\d+\.\d{6})\n")
BEST = re.compile(r"--- best start: (\d) with NLL=(-?\d+\.\d{6}) ---\n")


def test_shared_exp_log_of_a_real_fit(capfd):
    capfd.readouterr()
    velk_core.py_fit_shared_exp(two_densities(), EDGES, True, ST_BOUNDS, (0.5, 5.0), (1.5, 2.5))
    lines = capfd.readouterr().err.splitlines(keepends=True)
    counters, starts, converged = [], [], []
    for line in lines[:-1]:
        if m := EXP_EVALUATION.fullmatch(line):
            counters.append(int(m.group(1)))
            assert line.startswith(f"  [{int(m.group(1)):3}]")
        elif m := EXP_START.fullmatch(line):
            starts.append(int(m.group(1)))
        elif m := EXP_CONVERGED.fullmatch(line):
            converged.append(float(m.group(2)))
        else:
            pytest.fail(f"unexpected log line {line!r}")
    # One counter for the whole call, running across the five starts.
    assert counters == list(range(1, len(counters) + 1))
    assert starts == [1, 2, 3, 4, 5] and len(converged) == 5
    best = BEST.fullmatch(lines[-1])
    assert best is not None
    first_best = converged.index(min(converged)) + 1
    assert int(best.group(1)) == first_best and float(best.group(2)) == min(converged)


def test_functions_without_a_log_write_nothing(capfd):
    obs = two_densities()[:1]
    capfd.readouterr()
    velk_core.py_fit_shared_st(obs, EDGES, True, ST_BOUNDS, (0.5, 5.0))
    velk_core.py_fit_shared_st_exp_perdensity(
        obs, EDGES, True, ST_BOUNDS, (0.5, 5.0), (1.5, 2.5), fit_vmax=True, vmax_bounds=(1.0, 100.0)
    )
    assert capfd.readouterr() == ("", "")


# ---------------------------------------------------------------------------
# Determinism of every seeded fit, across runs and thread counts.

SEEDED_FITS = """
import numpy as np
from velkora import velk_core as vc
e = np.linspace(0.0, 1.0, 11)
obs = np.array([vc.py_compute_model_fracs(0.3, 1.0, w, c, e) for w, c in [(2.0, 1.0), (1.0, 2.0)]])
rng = np.random.default_rng(3)
boot = np.array([rng.multinomial(2000, x / x.sum()) / 2000 for _ in range(3) for x in obs])
p0, later = rng.dirichlet(np.ones(10), size=5), rng.dirichlet(np.ones(10) * 5, size=10)
st, co, n, wide = (0.1, 1.0), (0.5, 5.0), (1.5, 2.5), ((0.01, 10.0), (0.01, 100.0))
results = [
    vc.py_fit_all_densities(obs, e, True, st, co),
    vc.py_fit_all_densities_exp(obs, e, False, st, co, n),
    vc.py_fit_shared_exp(obs, e, True, st, co, n),
    vc.py_fit_shared_st_exp_perdensity(obs, e, True, st, co, n, fit_vmax=True, vmax_bounds=(1.0, 100.0)),
    vc.py_fit_shared_co(obs, e, True, (0.2, 0.5), (1.0, 3.0), n),
    vc.py_fit_bootstrap(boot, 3, 2, e, True, False, False, *wide),
    vc.py_fit_bootstrap(boot, 3, 2, e, True, False, True, *wide),
    vc.py_fit_bootstrap_exp_perdensity(boot, 3, 2, e, True, False, *wide, (1.0, 3.0)),
    vc.py_fit_drift_bootstrap(p0, later, 5, 2, np.array([3.0, 9.0]), e, (1e-4, 1.0)),
]
# Entropy-seeded unless given a seed: each of these is called twice here.
seeded = [
    lambda: vc.py_fit_one_density(obs[0], e, True, st, co, seed=11),
    lambda: vc.py_fit_shared_st(obs, e, True, st, co, seed=2**64 - 1),
    lambda: vc.py_fit_bootstrap(boot, 3, 2, e, True, True, False, *wide, sample_offset=4, seed=0),
    lambda: vc.py_profile_shared_st(obs, e, True, np.array([0.2, 0.5]), co, seed=12),
    lambda: vc.py_profile_shared_co(obs, e, True, 0.3, np.array([1.0, 2.0]), np.array([1.5]), co, seed=13),
    lambda: vc.py_fit_drift_one(p0[0], later[:2], np.array([3.0, 9.0]), e, (1e-4, 1.0), seed=14),
]
hexes = [[float(v).hex() for item in result for v in np.ravel(item)] for result in results]
for call in seeded:
    first, second = ([float(v).hex() for item in call() for v in np.ravel(item)] for _ in range(2))
    assert first == second, call
    hexes.append(first)
print(hexes)
"""


def test_seeded_fits_repeat_bit_for_bit_across_runs_and_thread_counts():
    outputs = set()
    for threads in ("1", "3"):
        result = run_python(SEEDED_FITS, env={"RAYON_NUM_THREADS": threads})
        assert result.returncode == 0, result.stderr
        outputs.add(result.stdout)
    assert len(outputs) == 1


# ---------------------------------------------------------------------------
# Weights, layouts and the penalty of the global fit.


def test_weights_none_omitted_and_all_ones_agree():
    obs = two_densities()
    args = (obs, EDGES, True, ST_BOUNDS, (0.5, 5.0), (1.5, 2.5))
    omitted = velk_core.py_fit_shared_exp(*args)
    for weights in (None, np.ones(2), np.ones(5)):  # extra entries are ignored
        np.testing.assert_equal(velk_core.py_fit_shared_exp(*args, weights=weights), omitted)


@pytest.mark.parametrize(
    "name,tail",
    [
        ("py_fit_shared_st", ()),
        ("py_fit_shared_exp", ((1.5, 2.5),)),
        ("py_fit_shared_st_exp_perdensity", ((1.5, 2.5),)),
        ("py_fit_shared_co", ((1.5, 2.5),)),
    ],
)
def test_short_weights_fail_before_any_work(name, tail):
    with pytest.raises(RuntimeError, match="weights has 1 entries but there are 2 densities"):
        getattr(velk_core, name)(two_densities(), EDGES, True, ST_BOUNDS, (0.5, 5.0), *tail, weights=np.ones(1))


def test_layouts_repeat_the_shared_parameters_and_stay_in_bounds():
    obs = two_densities()
    st, fitps, nlls = velk_core.py_fit_shared_st(obs, EDGES, True, ST_BOUNDS, (0.5, 5.0))
    assert fitps.shape == (2, 3) and nlls.shape == (2,)
    assert np.all(fitps[:, 0] == st) and ST_BOUNDS[0] <= st <= ST_BOUNDS[1]

    st, n_u, n_m, vmax, fitps, nlls = velk_core.py_fit_shared_exp(obs, EDGES, True, ST_BOUNDS, (0.5, 5.0), (1.5, 2.5))
    assert fitps.shape == (2, 3) and np.all(fitps[:, 0] == st) and vmax == math.inf
    assert 1.5 <= n_u <= 2.5 and 1.5 <= n_m <= 2.5

    velk_core.py_set_mm_vmax(50.0)
    st, vmax, fitps, nlls = velk_core.py_fit_shared_st_exp_perdensity(
        obs, EDGES, True, ST_BOUNDS, (0.5, 5.0), (1.5, 2.5), vmax_bounds=(1.0, 2.0)
    )
    assert vmax == 50.0 and fitps.shape == (2, 5) and np.all(fitps[:, 0] == st)
    assert np.all((fitps[:, 1:3] >= 1.5) & (fitps[:, 1:3] <= 2.5))
    velk_core.py_set_mm_vmax(math.inf)

    st, vmax, fitps, nlls = velk_core.py_fit_shared_st_exp_perdensity(
        obs, EDGES, True, ST_BOUNDS, (0.5, 5.0), (1.5, 2.5), fit_vmax=True, vmax_bounds=(1.0, 100.0)
    )
    assert ST_BOUNDS[0] <= st <= ST_BOUNDS[1] and 1.0 <= vmax <= 100.0

    st, cow, coe, fitps, nlls = velk_core.py_fit_shared_co(obs, EDGES, True, (0.2, 0.5), (1.0, 3.0), (1.5, 2.5))
    assert fitps.shape == (2, 5)
    np.testing.assert_array_equal(fitps[:, [0, 3, 4]], np.tile([st, cow, coe], (2, 1)))


@pytest.mark.parametrize("co_penalty", [0.0, 0.05, -0.05])
def test_global_co_penalty_acts_once_on_the_shared_rates(capfd, co_penalty):
    obs = two_densities()[:1]
    weights = np.array([3.0])
    capfd.readouterr()
    st, cow, coe, fitps, nlls = velk_core.py_fit_shared_co(
        obs, EDGES, True, (0.2, 0.5), (0.3, 3.0), (1.5, 2.5), co_penalty=co_penalty, weights=weights
    )
    best = BEST.fullmatch(capfd.readouterr().err.splitlines(keepends=True)[-1])
    if co_penalty > 0:
        penalty = co_penalty * (cow + coe)
    elif co_penalty < 0:
        penalty = -co_penalty * (math.log10(cow) + math.log10(coe))
    else:
        penalty = 0.0
    # The final pass reproduces the best evaluation; the log shows 6 decimals.
    assert float(best.group(2)) == pytest.approx(weights @ nlls + penalty, abs=6e-7)


# ---------------------------------------------------------------------------
# Recovery of known shared parameters.


def test_shared_exp_recovers_known_shared_parameters():
    edges = np.linspace(0.0, 1.0, 21)
    true_st, rates = 0.2, [(4.0, 1.0), (1.0, 4.0), (6.0, 6.0)]
    obs = np.array([velk_core.py_compute_model_fracs(true_st, 1.0, w, e, edges) for w, e in rates])
    # Weights play the part of molecule counts, so that the loose outer
    # tolerance sits well below the differences that matter.
    st, n_u, n_m, _, fitps, _ = velk_core.py_fit_shared_exp(
        obs, edges, True, (0.01, 2.0), (0.05, 50.0), (1.0, 3.5), weights=np.full(3, 1e5)
    )
    assert st == pytest.approx(true_st, rel=0.01)
    assert n_u == pytest.approx(2.0, abs=0.02) and n_m == pytest.approx(2.0, abs=0.02)
    np.testing.assert_allclose(fitps[:, 1:], rates, rtol=0.02)


def test_shared_st_recovers_a_known_st():
    edges = np.linspace(0.0, 1.0, 21)
    obs = np.array([velk_core.py_compute_model_fracs(0.4, 1.0, w, e, edges) for w, e in [(3.0, 1.0), (1.0, 3.0)]])
    st, fitps, nlls = velk_core.py_fit_shared_st(obs, edges, True, (0.05, 2.0), (0.1, 20.0), weights=np.full(2, 1e4))
    assert st == pytest.approx(0.4, rel=0.01)
    np.testing.assert_allclose(fitps[:, 1:], [(3.0, 1.0), (1.0, 3.0)], rtol=0.03)


# ---------------------------------------------------------------------------
# Errors.


@pytest.mark.parametrize("st_bounds", [(0.0, 1.0), (-1.0, 1.0), (0.1, math.inf), (math.nan, 1.0), (1.0, 0.5)])
@pytest.mark.parametrize("name,tail", [("py_fit_shared_st", ()), ("py_fit_shared_st_exp_perdensity", ((1.5, 2.5),))])
def test_brent_paths_refuse_unusable_st_bounds(name, tail, st_bounds):
    with pytest.raises(RuntimeError, match=r"^st_bounds must be positive and finite"):
        getattr(velk_core, name)(two_densities(), EDGES, True, st_bounds, (0.5, 5.0), *tail)


def test_equal_positive_st_bounds_stay_allowed():
    st, fitps, _ = velk_core.py_fit_shared_st(two_densities(), EDGES, True, (0.5, 0.5), (0.5, 5.0))
    assert st == pytest.approx(0.5, rel=1e-15)


def nan_weighted(fit):
    return lambda: fit(two_densities()[:1], EDGES, True, (0.2, 0.5), (1.0, 3.0), (1.5, 2.5), weights=np.array([math.nan]))


@pytest.mark.parametrize(
    "call,pattern",
    [
        (lambda: velk_core.py_fit_shared_exp(NO_DENSITIES, EDGES, True, ST_BOUNDS, CO_BOUNDS, (3.0, 1.0)), "invalid bounds"),
        (lambda: velk_core.py_fit_shared_exp(NO_DENSITIES, EDGES, True, (1.0, math.nan), CO_BOUNDS, N_BOUNDS), "invalid bounds"),
        (lambda: velk_core.py_fit_shared_co(NO_DENSITIES, EDGES, True, ST_BOUNDS, (2.0, 0.5), N_BOUNDS), "invalid bounds"),
        (
            lambda: velk_core.py_fit_shared_st_exp_perdensity(
                NO_DENSITIES, EDGES, True, ST_BOUNDS, CO_BOUNDS, N_BOUNDS, fit_vmax=True, vmax_bounds=(10.0, 1.0)
            ),
            "invalid bounds",
        ),
        # A NaN outer objective fails the simplex.
        (nan_weighted(velk_core.py_fit_shared_exp), "no order"),
        (nan_weighted(velk_core.py_fit_shared_co), "no order"),
    ],
    ids=["inverted-exponents", "nan-st", "inverted-co", "inverted-vmax", "nan-exp", "nan-co"],
)
def test_bad_outer_bounds_fail_on_first_clamp_and_nan_objectives_on_the_simplex(call, pattern):
    with pytest.raises(RuntimeError, match=pattern):
        call()


# ---------------------------------------------------------------------------
# Ctrl+C: the running start winds down, the call raises KeyboardInterrupt, and
# the interpreter's own Ctrl+C handling is back afterwards.

INTERRUPTED_CHILD = """
import os, signal, time
import numpy as np
from velkora import velk_core as vc
edges = np.linspace(0.0, 1.0, 21)
obs = np.array([vc.py_compute_model_fracs(0.1, 1.0, w, e, edges) for w, e in [(1, 1), (3, 1), (1, 3), (5, 5)] * 2])
try:
    vc.{name}(obs, edges, True, (0.01, 2.0), (0.05, 50.0), (1.0, 3.5))
    print("finished")
except KeyboardInterrupt as error:
    print("KeyboardInterrupt:", error)
print("handler:", signal.getsignal(signal.SIGINT) is signal.default_int_handler)
empty = vc.{name}(np.zeros((0, 20)), edges, True, (0.01, 2.0), (0.05, 50.0), (1.0, 3.5))
print("next call:", len(empty))
try:
    os.kill(os.getpid(), signal.SIGINT)
    time.sleep(5)
    print("no KeyboardInterrupt")
except KeyboardInterrupt:
    print("Python Ctrl+C works")
"""


@pytest.mark.parametrize("name", ["py_fit_shared_exp", "py_fit_shared_co"])
def test_ctrl_c_interrupts_the_fit_and_restores_python_handling(name):
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(INTERRUPTED_CHILD.replace("{name}", name))],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    log = []
    try:
        # Interrupt once the outer search has evaluated its first point.
        for line in child.stderr:
            log.append(line)
            if line.startswith("  ["):
                child.send_signal(signal.SIGINT)
                break
        out, rest = child.communicate(timeout=300)
    finally:
        if child.poll() is None:
            child.kill()
    log.extend(rest.splitlines(keepends=True))
    assert child.returncode == 0, "".join(log[-5:])
    assert out.splitlines()[0] == "KeyboardInterrupt: Interrupted by Ctrl+C"
    assert "handler: True" in out and "Python Ctrl+C works" in out
    # No new start after the interrupt; the best line still closes the log.
    first_call = log[: next(i for i, line in enumerate(log) if line.startswith("--- best")) + 1]
    assert sum(line.startswith("--- Nelder-Mead start") for line in first_call) == 1
    assert BEST.fullmatch(first_call[-1]) is not None
