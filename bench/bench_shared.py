"""One shared-exponent fit on 8 densities x 10 methylation bins.

Prints the wall time, the process CPU time (CPU / wall shows how many threads
the passes keep busy) and the number of outer evaluations, counted from the
fit's own per-evaluation log lines. Run: .venv/bin/python bench/bench_shared.py
(set RAYON_NUM_THREADS to pin the thread count).
"""

import os
import re
import tempfile
import time

import numpy as np

from velkora import velk_core

EDGES = np.linspace(0.0, 1.0, 11)
RATES = [(0.5, 2.0), (1.0, 1.5), (2.0, 1.0), (3.0, 1.0), (1.0, 3.0), (4.0, 4.0), (0.8, 0.8), (6.0, 2.0)]


def main():
    rows = np.array([velk_core.py_compute_model_fracs(0.3, 1.0, w, e, EDGES) for w, e in RATES])
    # The log goes straight to file descriptor 2: point it at a file meanwhile.
    with tempfile.TemporaryFile(mode="w+") as log:
        saved = os.dup(2)
        os.dup2(log.fileno(), 2)
        try:
            wall, cpu = time.perf_counter(), time.process_time()
            result = velk_core.py_fit_shared_exp(rows, EDGES, True, (0.05, 2.0), (0.05, 50.0), (1.0, 3.5))
            wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        log.seek(0)
        evaluations = sum(1 for line in log if re.match(r"  \[ *\d+\] ", line))
    st, n_u, n_m = result[:3]
    print(f"py_fit_shared_exp, {len(RATES)} densities x {len(EDGES) - 1} bins, "
          f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(all CPUs)')}")
    print(f"  wall {wall:.2f} s, CPU {cpu:.2f} s (CPU/wall {cpu / wall:.2f})")
    print(f"  {evaluations} outer evaluations, {1000 * wall / evaluations:.1f} ms each")
    print(f"  shared St={st:.4f} n_U={n_u:.3f} n_M={n_m:.3f}")


if __name__ == "__main__":
    main()
