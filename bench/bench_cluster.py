"""A shared-co bootstrap (py_fit_bootstrap_co with a warm start, 40 samples x
4 densities) in one local process and on a Dask LocalCluster of 2 worker
processes x 1 thread; checks that every run gives the same bytes.

    .venv/bin/python bench/bench_cluster.py
"""

import hashlib
import logging
import os
import subprocess
import sys
import textwrap
import time

import numpy as np

N_BOOT, N_DENSITIES = 40, 4

SETUP = f"""
import numpy as np
e = np.linspace(0.0, 1.0, 11)
model = [vc.py_compute_model_fracs(0.3, 1.0, 0.5 + 0.7 * d, 2.0, e) for d in range({N_DENSITIES})]
rng = np.random.default_rng(1)
boot = np.array([rng.multinomial(3000, m / m.sum()) / 3000 for _ in range({N_BOOT}) for m in model])
arguments = (boot, {N_BOOT}, {N_DENSITIES}, e, True, (0.01, 10.0), (0.01, 100.0), (1.0, 3.0))
options = dict(warm_start=(0.3, 1.5, 2.0))
"""

LOCAL = """
import hashlib, time
from velkora import velk_core as vc
{setup}
start = time.perf_counter()
rows = vc.py_fit_bootstrap_co(*arguments, **options)
print(time.perf_counter() - start, hashlib.sha256(rows.tobytes()).hexdigest())
"""


def local(threads):
    """Wall time and digest of the whole call in a fresh process with `threads` engine threads."""
    code = textwrap.dedent(LOCAL).format(setup=SETUP)
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    wall, digest = out.stdout.split()
    return float(wall), digest


def main():
    import distributed

    from velkora import bootstrap_on_cluster, velk_core

    scope = {"vc": velk_core, "np": np}
    exec(SETUP, scope)  # noqa: S102 - the same inputs as the local runs
    arguments, options = scope["arguments"], scope["options"]

    def digest(rows):
        return hashlib.sha256(rows.tobytes()).hexdigest()

    cpus = os.cpu_count() or 1
    rows = [("1 process, 1 engine thread", *local(1)), (f"1 process, {cpus} engine threads", *local(cpus))]

    start = time.perf_counter()
    result = bootstrap_on_cluster("py_fit_bootstrap_co", *arguments, n_workers=2, chunk_size=2, **options)
    rows.append(("LocalCluster 2 x 1, started and closed by the call", time.perf_counter() - start, digest(result)))

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0",
                                  env={"RAYON_NUM_THREADS": "1"}, silence_logs=logging.ERROR) as cluster, \
            distributed.Client(cluster) as client:
        start = time.perf_counter()
        result = bootstrap_on_cluster("py_fit_bootstrap_co", *arguments, client=client, chunk_size=2, **options)
        rows.append(("LocalCluster 2 x 1, already running", time.perf_counter() - start, digest(result)))

    reference = rows[0][1]
    print(f"py_fit_bootstrap_co (warm start), {N_BOOT} samples x {N_DENSITIES} densities, chunks of 2 samples")
    print(f"{'run':<52} {'wall s':>7} {'speed-up':>8}  same rows")
    for name, wall, found in rows:
        print(f"{name:<52} {wall:7.2f} {reference / wall:7.2f}x  {'yes' if found == rows[0][2] else 'NO'}")
    if any(found != rows[0][2] for _, _, found in rows):
        sys.exit("the runs differ")


if __name__ == "__main__":
    main()
