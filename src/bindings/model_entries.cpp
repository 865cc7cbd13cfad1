// Run-wide switches and single evaluations of the steady-state model. These
// four keep the interpreter lock: each call is a few microseconds.
#include <string>

#include "args.hpp"
#include "entries.hpp"
#include "observation_args.hpp"
#include "run_state.hpp"
#include "velk_model.hpp"

namespace velk::py {

const char py_set_raw_count_doc[] =
    "py_set_raw_count(enabled)\n--\n\n"
    "Enable/disable raw-count cooperative mode for all subsequent solves.\n\n"
    "When enabled, the cooperative writing/erasing rates use the raw count of\n"
    "methylated/unmethylated CpGs (M, U) as the base for the exponent instead of\n"
    "the fraction (M/NCPG, U/NCPG). This is a run-wide switch \u2014 set it once before\n"
    "fitting.";

PyObject* py_set_raw_count(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Arguments a("py_set_raw_count", {"enabled"}, 1, args, kwargs);
    set_raw_count(as_bool(a[0], "enabled"));
    Py_RETURN_NONE;
  });
}

const char py_set_mm_vmax_doc[] =
    "py_set_mm_vmax(vmax)\n--\n\n"
    "Set the run-wide Michaelis-Menten ceiling on the cooperative drive.\n\n"
    "Pass f64::INFINITY (the default) to disable saturation and recover the\n"
    "unbounded linear model, or a finite Vmax to saturate both writing and\n"
    "erasing cooperative drives at that ceiling. Run-wide switch \u2014 set once.";

PyObject* py_set_mm_vmax(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Arguments a("py_set_mm_vmax", {"vmax"}, 1, args, kwargs);
    set_mm_vmax(as_float(a[0], "vmax"));
    Py_RETURN_NONE;
  });
}

const char py_compute_nll_doc[] =
    "py_compute_nll(params, observed_fracs, meth_bin_edges, normalize_stw, *, observation=None)\n--\n\n"
    "Compute NLL for a single parameter set and one density bin.\n\n"
    VELK_OBSERVATION_ONE_PARAGRAPH;

PyObject* py_compute_nll(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Arguments a("py_compute_nll", {"params", "observed_fracs", "meth_bin_edges", "normalize_stw", "observation"},
                      4, args, kwargs, /*keyword_only=*/1);
    const ArrayArg params_arg = as_array(a[0], "params", 1);
    const ArrayArg observed_arg = as_array(a[1], "observed_fracs", 1);
    const ArrayArg edges_arg = as_array(a[2], "meth_bin_edges", 1);
    const bool normalize_stw = as_bool(a[3], "normalize_stw");
    const std::optional<ArrayArg> observation_arg = convert_observation(a[4], 2);
    const std::vector<double> params = to_vector(params_arg);
    const std::vector<double> observed = to_vector(observed_arg);
    const std::vector<double> edges = to_vector(edges_arg);
    if (params.size() < 3) {
      const std::string message = "index " + std::to_string(params.size()) +
                                  " is out of range for argument 'params' of length " +
                                  std::to_string(params.size()) + " (expected [St, CoW, CoE])";
      raise(PyExc_RuntimeError, message.c_str());
    }
    const ObservationData observation = take_observation(observation_arg, 1, edges.size());
    const double value = nll(observed, edges, normalize_stw, params[0], params[1], params[2], 2.0, 2.0,
                             mm_vmax(), observation.matrix());
    return new_float(value).release();
  });
}

const char py_compute_model_fracs_doc[] =
    "py_compute_model_fracs(ste, stw, cow, coe, meth_bin_edges, *, observation=None)\n--\n\n"
    "Compute model fractions for given parameters (for plotting).\n\n"
    "`observation`, when given, is the density's (n_meth_bins, 71) matrix: entry\n"
    "[j, M] is the probability that a read of a molecule with M of 70 sites\n"
    "methylated falls in methylation bin j. The fractions are then that matrix\n"
    "times the stationary distribution, floored and renormalised.";

PyObject* py_compute_model_fracs(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Arguments a("py_compute_model_fracs", {"ste", "stw", "cow", "coe", "meth_bin_edges", "observation"}, 5,
                      args, kwargs, /*keyword_only=*/1);
    const double StE = as_float(a[0], "ste");
    const double StW = as_float(a[1], "stw");
    const double CoW = as_float(a[2], "cow");
    const double CoE = as_float(a[3], "coe");
    const ArrayArg edges_arg = as_array(a[4], "meth_bin_edges", 1);
    const std::optional<ArrayArg> observation_arg = convert_observation(a[5], 2);
    const std::vector<double> edges = to_vector(edges_arg);
    const ObservationData observation = take_observation(observation_arg, 1, edges.size());
    const Distribution p = solve_steady_state(StE, StW, CoW, CoE, 2.0, 2.0, mm_vmax());
    return new_array_1d(bin_probabilities(p, edges, observation.matrix())).release();
  });
}

}  // namespace velk::py
