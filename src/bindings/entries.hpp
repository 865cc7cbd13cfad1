// The exported functions of velk_core, by family; registered in module.cpp.
#pragma once

#include "python.hpp"

namespace velk::py {

// The closing paragraph of every function with a keyword-only `seed`, one
// text for all of them (seeds.hpp has the derivation).
#define VELK_SEED_PARAGRAPH                                                           \
  "\n\n"                                                                              \
  "With an integer `seed` (0 to 2**64 - 1) the call repeats bit for bit on any\n"     \
  "number of threads: each optimiser run that `seed=None` seeds from the operating\n" \
  "system's entropy is seeded with mix(mix(mix(seed) ^ b) ^ d) instead, where d is\n" \
  "its density row (0 for a single density), b its run-wide bootstrap sample (0\n"    \
  "outside bootstraps) and mix(x) the output of one splitmix64 step from state x."

// The closing paragraph of the docstrings of the functions that take the
// keyword-only `observation`: one matrix per density, or the one density's.
#define VELK_OBSERVATION_PARAGRAPH                                                    \
  "`observation`, when given, holds one (n_meth_bins, 71) matrix per density,\n"     \
  "shape (n_densities, n_meth_bins, 71): entry [d, j, M] is the probability that\n"  \
  "a read of a molecule with M of 70 sites methylated falls in methylation bin j.\n" \
  "Each density's bin probabilities are then its matrix times the stationary\n"      \
  "distribution, floored and renormalised."
#define VELK_OBSERVATION_ONE_PARAGRAPH                                                \
  "`observation`, when given, is the density's (n_meth_bins, 71) matrix: entry\n"    \
  "[j, M] is the probability that a read of a molecule with M of 70 sites\n"         \
  "methylated falls in methylation bin j. The model's bin probabilities are then\n"  \
  "that matrix times the stationary distribution, floored and renormalised."

// Run-wide switches and single model evaluations (model_entries.cpp).
extern const char py_set_raw_count_doc[];
PyObject* py_set_raw_count(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char py_set_mm_vmax_doc[];
PyObject* py_set_mm_vmax(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char py_compute_nll_doc[];
PyObject* py_compute_nll(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char py_compute_model_fracs_doc[];
PyObject* py_compute_model_fracs(PyObject* self, PyObject* args, PyObject* kwargs);

// Independent fits of one or all density bins (independent_entries.cpp).
extern const char py_fit_one_density_doc[];
PyObject* py_fit_one_density(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char py_fit_all_densities_doc[];
PyObject* py_fit_all_densities(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char py_fit_all_densities_exp_doc[];
PyObject* py_fit_all_densities_exp(PyObject* self, PyObject* args, PyObject* kwargs);

// Shared-parameter fits (shared_entries.cpp).
extern const char py_fit_shared_st_doc[];
PyObject* py_fit_shared_st(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char py_fit_shared_exp_doc[];
PyObject* py_fit_shared_exp(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char py_fit_shared_st_exp_perdensity_doc[];
PyObject* py_fit_shared_st_exp_perdensity(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char py_fit_shared_co_doc[];
PyObject* py_fit_shared_co(PyObject* self, PyObject* args, PyObject* kwargs);
// Profile likelihoods (profile_entries.cpp).
extern const char py_profile_shared_st_doc[];
PyObject* py_profile_shared_st(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char py_profile_shared_co_doc[];
PyObject* py_profile_shared_co(PyObject* self, PyObject* args, PyObject* kwargs);

// Bootstrap fits of stacked resamples (bootstrap_entries.cpp).
extern const char py_fit_bootstrap_doc[];
PyObject* py_fit_bootstrap(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char py_fit_bootstrap_exp_doc[];
PyObject* py_fit_bootstrap_exp(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char py_fit_bootstrap_exp_perdensity_doc[];
PyObject* py_fit_bootstrap_exp_perdensity(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char py_fit_bootstrap_co_doc[];
PyObject* py_fit_bootstrap_co(PyObject* self, PyObject* args, PyObject* kwargs);

// Phase diagram (phase_entries.cpp).
extern const char py_compute_phase_grids_doc[];
PyObject* py_compute_phase_grids(PyObject* self, PyObject* args, PyObject* kwargs);

// Drift model over ages (drift_entries.cpp).
extern const char py_fit_drift_one_doc[];
PyObject* py_fit_drift_one(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char py_fit_drift_bootstrap_doc[];
PyObject* py_fit_drift_bootstrap(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char py_drift_predict_doc[];
PyObject* py_drift_predict(PyObject* self, PyObject* args, PyObject* kwargs);

// Fits tied across rows by a layout (tied_entries.cpp).
extern const char py_fit_tied_doc[];
PyObject* py_fit_tied(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace velk::py
