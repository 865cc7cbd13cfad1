"""Python-level benchmarks of velk_core.

    make bench          (or: .venv/bin/python bench/bench_python.py)

Prints the cost of one py_compute_nll call against a NumPy implementation of
the same model, and py_fit_all_densities on 16 densities with 1 thread and
with every thread.
"""

import os
import subprocess
import sys
import textwrap
import timeit

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))
import reference_model as ref  # noqa: E402
from velkora import velk_core  # noqa: E402


def best_per_call(statement, number):
    return min(timeit.repeat(statement, number=number, repeat=5)) / number


def nll_call():
    edges = np.linspace(0.0, 1.0, 11)
    observed = np.full(10, 0.1)
    params = np.array([0.3, 4.0, 2.0])
    ours = best_per_call(lambda: velk_core.py_compute_nll(params, observed, edges, True), 20000)
    numpy = best_per_call(
        lambda: ref.nll(observed, edges, True, 0.3, 4.0, 2.0, solver=ref.steady_state_lu), 300
    )
    print(f"py_compute_nll (10 bins):            {ours * 1e6:8.2f} us per call")
    print(f"NumPy model (numpy.linalg.solve):    {numpy * 1e6:8.2f} us per call  ({numpy / ours:.0f}x slower)")


FIT_ALL = """
import time
import numpy as np
from velkora import velk_core
edges = np.linspace(0.0, 1.0, 11)
rows = np.array([velk_core.py_compute_model_fracs(0.1 + 0.05 * i, 1.0, 1.0 + 0.5 * i, 4.0 - 0.2 * i, edges)
                 for i in range(16)])
velk_core.py_fit_all_densities(rows[:2], edges, True, (0.01, 10.0), (0.01, 100.0))
best = float("inf")
for _ in range(3):
    start = time.perf_counter()
    velk_core.py_fit_all_densities(rows, edges, True, (0.01, 10.0), (0.01, 100.0))
    best = min(best, time.perf_counter() - start)
print(best)
"""


def fit_all_scaling():
    times = {}
    for threads in ("1", str(os.cpu_count() or 1)):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        out = subprocess.run([sys.executable, "-c", textwrap.dedent(FIT_ALL)], env=env, capture_output=True,
                             text=True, check=True)
        times[threads] = float(out.stdout)
    one, *rest = times.items()
    print(f"py_fit_all_densities, 16 densities:  {one[1] * 1e3:8.1f} ms with {one[0]} thread")
    for threads, seconds in rest:
        print(f"{'':37}{seconds * 1e3:8.1f} ms with {threads} threads  ({one[1] / seconds:.2f}x)")


if __name__ == "__main__":
    nll_call()
    fit_all_scaling()
