"""Bootstraps over a Dask cluster: the numbers of one local call, through lost
workers, failing chunks and Ctrl+C."""

import logging
import os
import sys
import time
from dataclasses import dataclass

import distributed
import numpy as np
import pandas as pd
import pytest
from test_bootstrap import CHUNKED_RUNS, CO, EDGES, N_EXP, ST, stacked
from test_frontdoor_fitting import binned

from velkora import (
    BinnedData,
    DriftData,
    bootstrap_on_cluster,
    fitting,
    velk_core,
)
from velkora.parallel import cluster
from velkora.parallel.chunks import BootstrapJob, bootstrap_job

# The local chunk tests' runs, and shared St with per-density exponents, which
# is seeded by index (the shared St of py_fit_bootstrap only with a seed).
RUNS = {
    **CHUNKED_RUNS,
    "exp per density, shared St": (
        "py_fit_bootstrap_exp_perdensity", lambda b: (b[:4], 2, 2, EDGES, True, True, ST, CO, N_EXP)),
}


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                  env={"RAYON_NUM_THREADS": "1"}, silence_logs=logging.CRITICAL) as local, \
            distributed.Client(local) as client:
        yield client


@pytest.fixture(scope="module")
def boot():
    return stacked(3)


# The slow modes at one chunking only, with chunks of unequal size where the
# run has 3 samples.
SLOW = {"co warm": 2, "exp per density": 2, "exp per density, shared St": 1}


@pytest.mark.parametrize("mode", sorted(RUNS))
def test_every_seeded_bootstrap_equals_the_single_call(client, boot, mode):
    function, arguments, *keywords = RUNS[mode]
    kwargs = keywords[0] if keywords else {}
    whole = getattr(velk_core, function)(*arguments(boot), **kwargs)
    # One sample per task, a non-divisor, more than the run.
    for chunk_size in (SLOW[mode],) if mode in SLOW else (1, 2, 5):
        rows = bootstrap_on_cluster(function, *arguments(boot), client=client, chunk_size=chunk_size, **kwargs)
        assert rows.tobytes() == whole.tobytes(), chunk_size


def test_switches_reach_the_workers_and_do_not_stay(client, boot):
    arguments = (boot, 3, 2, EDGES, True, False, False, ST, CO)
    velk_core.py_set_mm_vmax(0.5)
    velk_core.py_set_raw_count(True)
    switched = velk_core.py_fit_bootstrap(*arguments)
    velk_core.py_set_mm_vmax(float("inf"))
    velk_core.py_set_raw_count(False)
    plain = velk_core.py_fit_bootstrap(*arguments)
    assert not np.array_equal(switched, plain)
    for switches, expected in (({"mm_vmax": 0.5, "raw_count": True}, switched), (None, plain)):
        rows = bootstrap_on_cluster(velk_core.py_fit_bootstrap, *arguments, client=client, chunk_size=1,
                                    switches=switches)
        assert rows.tobytes() == expected.tobytes()


def test_progress_counts_the_finished_samples(client, boot):
    calls = []
    function, arguments = RUNS["independent"]
    bootstrap_on_cluster(function, *arguments(boot), client=client, chunk_size=2,
                         progress=lambda done, total: calls.append((done, total)))
    assert sorted(calls) in ([(1, 3), (3, 3)], [(2, 3), (3, 3)])


@dataclass(frozen=True)
class DiesOnce(BootstrapJob):
    """Kills its worker process on the first attempt at the chunk from sample 1."""

    marker: str = ""

    def run(self, start=0, stop=None):
        if self.sample_offset == 1 and not os.path.exists(self.marker):
            open(self.marker, "w").close()
            os._exit(1)
        return super().run(start, stop)


def test_a_lost_worker_changes_nothing(client, boot, tmp_path):
    function, arguments = RUNS["fix-St"]
    job = bootstrap_job(function, *arguments(boot))
    dying = DiesOnce(job.function, job.args, job.kwargs, job.switches, marker=str(tmp_path / "died"))
    rows, done = cluster.run_job(dying, client=client, chunk_size=1)
    assert (tmp_path / "died").exists()
    assert done == 3
    assert rows.tobytes() == velk_core.py_fit_bootstrap(*arguments(boot)).tobytes()
    client.wait_for_workers(2, timeout=60)


@dataclass(frozen=True)
class FailsFirst(BootstrapJob):
    """Chunk 0 raises at once; the others log their start and take a while."""

    log: str = ""

    def run(self, start=0, stop=None):
        with open(self.log, "a") as log:
            log.write(f"{self.sample_offset}\n")
        if self.sample_offset == 0:
            raise ValueError("no such density")
        time.sleep(0.5)
        return super().run(start, stop)


def test_a_failing_chunk_names_its_samples_and_cancels_the_rest(client, tmp_path):
    job = bootstrap_job("py_fit_bootstrap", stacked(8), 8, 2, EDGES, True, False, False, ST, CO)
    failing = FailsFirst(job.function, job.args, job.kwargs, job.switches, log=str(tmp_path / "log"))
    with pytest.raises(RuntimeError, match=r"chunk of samples 0\.\.0 failed on a worker: ValueError: no such") as error:
        cluster.run_job(failing, client=client, chunk_size=1, retries=0)
    assert isinstance(error.value.__cause__, ValueError)
    time.sleep(1.5)  # long enough for every chunk to start, had the rest not been cancelled
    started = set((tmp_path / "log").read_text().split())
    assert "0" in started and len(started) <= 4


def interrupt(done, total):
    raise KeyboardInterrupt


def test_ctrl_c_cancels_and_keeps_the_finished_start(client, boot):
    function, arguments = RUNS["independent"]
    whole = velk_core.py_fit_bootstrap(*arguments(boot))
    job = bootstrap_job(function, *arguments(boot))
    with pytest.raises(KeyboardInterrupt):
        cluster.run_job(job, client=client, chunk_size=1, progress=interrupt)
    rows, done = cluster.run_job(job, client=client, chunk_size=1, progress=interrupt, keep_partial=True)
    # Only the unbroken run of chunks from sample 0 counts; the first chunk back may be another one.
    assert done in (0, 1)
    assert rows.tobytes() == whole[: 2 * done].tobytes()


def test_front_door_bootstraps_on_the_cluster(client):
    result = fitting.fit(binned(molecules=2000), "independent-exp", st_bounds=(0.05, 2.0), co_bounds=(0.1, 30.0),
                         vmax=6.0)
    local = fitting.bootstrap(result, 3, seed=2)
    remote = fitting.bootstrap(result, 3, seed=2, client=client, chunk_size=2)
    pd.testing.assert_frame_equal(remote.samples, local.samples, check_exact=True)
    pd.testing.assert_frame_equal(remote.intervals, local.intervals, check_exact=True)
    assert (remote.samples["Vmax"] == 6.0).all()


def test_front_door_drift_bootstrap_on_the_cluster(client):
    ages = np.array([10.0, 20.0])
    young = binned(molecules=3000)
    later = np.array([velk_core.py_drift_predict(0.02, 0.01, f, ages[1:] - ages[0], EDGES)[0]
                      for f in young.fractions])
    data = DriftData(ages, (young, BinnedData(later, young.counts, young.density_edges, EDGES)))
    local = fitting.fit_drift(data, n_boot=3, seed=1)
    remote = fitting.fit_drift(data, n_boot=3, seed=1, client=client, chunk_size=1)
    pd.testing.assert_frame_equal(remote.samples, local.samples, check_exact=True)


def test_without_a_client_a_local_cluster_runs_it(boot):
    function, arguments = RUNS["independent"]
    rows = bootstrap_on_cluster(function, *arguments(boot), chunk_size=2, n_workers=2)
    assert rows.tobytes() == velk_core.py_fit_bootstrap(*arguments(boot)).tobytes()


def set_engine_threads(value):
    os.environ["RAYON_NUM_THREADS"] = value


def test_oversubscribed_workers_are_warned_about(client, boot):
    function, arguments = RUNS["independent"]
    engine = str(os.cpu_count())  # two processes with a full pool each: one too many on any machine
    client.run(set_engine_threads, engine)
    try:
        with pytest.warns(RuntimeWarning, match=f"would run {2 * int(engine)} engine threads on {engine} CPUs"):
            bootstrap_on_cluster(function, *arguments(boot), client=client)
    finally:
        client.run(set_engine_threads, "1")


def test_bad_options_and_missing_dask(client, boot, monkeypatch):
    job = bootstrap_job("py_fit_bootstrap", boot, 3, 2, EDGES, True, False, False, ST, CO)
    with pytest.raises(ValueError, match="n_workers"):
        cluster.run_job(job, client=client, n_workers=2)
    with pytest.raises(ValueError, match="retries"):
        cluster.run_job(job, client=client, retries=-1)
    empty = bootstrap_on_cluster("py_fit_bootstrap", boot[:0], 0, 2, EDGES, True, False, False, ST, CO)
    assert empty.shape == (0, 6)
    monkeypatch.setitem(sys.modules, "distributed", None)
    with pytest.raises(ImportError, match=r"velkora\[dask\]"):
        cluster.run_job(job, client=client)


class NoSubmissions:
    """A client that fails the test if anything reaches it."""

    def __getattr__(self, name):
        raise AssertionError(f"the client was used ({name}) before the job was checked")


@pytest.mark.parametrize(("arguments", "error", "message"), [
    # Whole-run numbers, not a chunk's: 5 rows for 3 samples of 2 densities.
    (lambda b: (b[:5], 3, 2, EDGES, True, False, False, ST, CO), RuntimeError,
     r"bootstrap_fracs has 5 rows but n_boot \* n_densities = 3 \* 2 = 6 rows are needed"),
    (lambda b: (b.tolist(), 3, 2, EDGES, True, False, False, ST, CO), TypeError, "argument 'bootstrap_fracs'"),
    (lambda b: (b, -1, 2, EDGES, True, False, False, ST, CO), TypeError, "argument 'n_boot'"),
])
def test_a_malformed_job_is_refused_before_any_chunk_is_sent(boot, arguments, error, message):
    with pytest.raises(error, match=message):
        bootstrap_on_cluster("py_fit_bootstrap", *arguments(boot), client=NoSubmissions())


def test_counting_on_a_cluster_gives_the_counts_of_one_process(client, tmp_path):
    pytest.importorskip("pysam")
    from velkora.reads.synthetic import write_synthetic_bam

    import velkora

    molecules = velkora.synthetic_molecules(molecules_per_density=120, seed=6)
    bam = write_synthetic_bam(molecules, tmp_path / "reads.bam", seed=6)
    table = tmp_path / "molecules.parquet"
    molecules.to_parquet(table, row_group_size=100)
    for source in (bam, table):
        local = velkora.count(source, 3, 10)
        remote = velkora.count(source, 3, 10, client=client)
        np.testing.assert_array_equal(local.counts, remote.counts)
        np.testing.assert_array_equal(local.density_edges, remote.density_edges)
