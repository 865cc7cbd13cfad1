"""Bootstrap scaling: py_fit_bootstrap (independent mode) and
py_fit_bootstrap_exp with a warm start, with 1 thread and with every thread,
for 8 and for 2 densities per sample.

    .venv/bin/python bench/bench_bootstrap.py
"""

import os
import subprocess
import sys
import textwrap

RUN = """
import time
import numpy as np
from velkora import velk_core as vc
e = np.linspace(0.0, 1.0, 11)
n_densities, n_boot = {n_densities}, {n_boot}
model = [vc.py_compute_model_fracs(0.3, 1.0, 0.5 + 0.7 * d, 2.0, e) for d in range(n_densities)]
rng = np.random.default_rng(1)
boot = np.array([rng.multinomial(3000, m / m.sum()) / 3000 for _ in range(n_boot) for m in model])
start, cpu = time.perf_counter(), time.process_time()
{call}
print(time.perf_counter() - start, time.process_time() - cpu)
"""

CALLS = {
    "py_fit_bootstrap (independent)": (
        "vc.py_fit_bootstrap(boot, n_boot, n_densities, e, True, False, False, (0.01, 10.0), (0.01, 100.0))",
        32,
    ),
    "py_fit_bootstrap_exp (warm start)": (
        "vc.py_fit_bootstrap_exp(boot, n_boot, n_densities, e, True, (0.01, 10.0), (0.01, 100.0), (1.0, 3.0),"
        " warm_start=(0.3, 2.0, 2.0, 1.0))",
        4,
    ),
}


def timed(call, n_densities, n_boot, threads):
    code = RUN.format(call=call, n_densities=n_densities, n_boot=n_boot)
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True,
                         check=True)
    wall, cpu = map(float, out.stdout.split())
    return wall, cpu


def main():
    all_threads = os.cpu_count() or 1
    for name, (call, n_boot) in CALLS.items():
        for n_densities in (8, 2):
            boot = n_boot * 8 // n_densities
            one, _ = timed(call, n_densities, boot, 1)
            many, cpu = timed(call, n_densities, boot, all_threads)
            print(f"{name}, {boot} samples x {n_densities} densities: {one:6.2f} s with 1 thread, "
                  f"{many:6.2f} s with {all_threads} ({one / many:.2f}x, CPU/wall {cpu / many:.2f})")


if __name__ == "__main__":
    main()
