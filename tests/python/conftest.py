import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from velkora import velk_core


@pytest.fixture
def edges():
    return np.linspace(0.0, 1.0, 11)


@pytest.fixture
def observed():
    fr = np.array([0.30, 0.10, 0.05, 0.03, 0.02, 0.02, 0.03, 0.05, 0.10, 0.30])
    return fr / fr.sum()


@pytest.fixture(autouse=True)
def restore_run_wide_switches():
    """Every test starts and ends with the default run-wide switches."""
    velk_core.py_set_mm_vmax(float("inf"))
    velk_core.py_set_raw_count(False)
    yield
    velk_core.py_set_mm_vmax(float("inf"))
    velk_core.py_set_raw_count(False)


def run_python(code, env=None, timeout=300):
    """Runs code in a fresh interpreter; returns the completed process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )
