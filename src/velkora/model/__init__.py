"""The model in NumPy: its steady state, how reads observe it, and the fit modes.

- :mod:`~velkora.model.binning`: the model's 70 sites and the one binning rule;
- :mod:`~velkora.model.steady_state`: the stationary distribution over the 71
  macrostates and its binned fractions (for figures and synthetic data);
- :mod:`~velkora.model.observation`: observation matrices of reads that call
  only some of a molecule's sites;
- :mod:`~velkora.model.modes`: what each fit mode shares, fits and nests in.

NumPy only.
"""

from .binning import NCPG, STATES, bin_index, interval_labels
from .observation import observation_matrices, observation_matrix
from .steady_state import PROB_FLOOR, bin_fractions, model_fractions, stationary_distribution

__all__ = ["NCPG", "STATES", "PROB_FLOOR", "bin_index", "interval_labels", "bin_fractions", "model_fractions",
           "stationary_distribution", "observation_matrix", "observation_matrices"]
