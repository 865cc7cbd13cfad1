"""velkora: fits of a stochastic model of CpG DNA methylation.

The numerical core lives in the extension module :mod:`velkora.velk_core`.
Around it, the package turns per-molecule methylation tables into binned
distributions (:func:`bin_molecules`; :func:`read_bam` and
:func:`read_calls` make those tables from aligned reads and call tables),
fits them (:func:`fit`, :func:`bootstrap`, :func:`profile_st`,
:func:`fit_drift` ...), compares the modes (:func:`compare`) and returns
labelled pandas tables; :mod:`velkora.plot` draws the figures and the
``velkora`` command runs it all from the shell. ``python -m velkora.demo``
gives a tour on built-in synthetic molecules.

Only NumPy is required to import the package and use :mod:`velk_core`. The
tables need pandas (``pip install 'velkora[tables]'``), the figures matplotlib
(``velkora[plot]``), the cluster runs Dask (``velkora[dask]``), the
alignment files pysam (``velkora[reads]``).
"""

from importlib import import_module

from . import velk_core
from ._errors import InputError

__version__ = "0.1.0"

# Front-door names and the module that defines each; loaded on first use so
# that `import velkora` needs nothing beyond NumPy.
_LAZY = {
    "read_molecules": "counts",
    "bin_molecules": "counts",
    "bin_molecules_by_age": "counts",
    "BinnedData": "counts",
    "DriftData": "counts",
    "Strata": "counts",
    "Design": "counts",
    "read_design": "counts",
    "count": "counts",
    "read_counts": "counts",
    "synthetic_molecules": "synthetic",
    "synthetic_drift_molecules": "synthetic",
    "observation_matrix": "model",
    "observation_matrices": "model",
    "MODES": "model.modes",
    "fit": "fitting",
    "bootstrap": "fitting",
    "profile_st": "fitting",
    "profile_co": "fitting",
    "phase_grid": "fitting",
    "fit_drift": "fitting",
    "FitResult": "fitting",
    "FitCollection": "fitting",
    "BootstrapCollection": "fitting",
    "BootstrapResult": "fitting",
    "PhaseGrid": "fitting",
    "ProfileResult": "fitting",
    "DriftResult": "fitting",
    "bootstrap_on_cluster": "parallel.cluster",
    "compare": "comparison",
    "Comparison": "comparison",
    "differential": "comparison",
    "Differential": "comparison",
    "read_bam": "reads",
    "read_calls": "reads",
}

__all__ = ["velk_core", "InputError", *_LAZY]


def __getattr__(name):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'velkora' has no attribute {name!r}")
    value = getattr(import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_LAZY))
