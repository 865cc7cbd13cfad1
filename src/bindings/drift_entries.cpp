// The drift model: fit of (StE, StW) over several ages, its bootstrap, and the
// predicted distributions.
#include <optional>

#include "args.hpp"
#include "entries.hpp"
#include "fits/drift_fits.hpp"
#include "gil.hpp"
#include "seeds.hpp"

namespace velk::py {

const char py_fit_drift_one_doc[] =
    "py_fit_drift_one(p0_observed, fit_observed_2d, fit_ages, meth_bin_edges, st_bounds, *, seed=None)\n"
    "--\n\n"
    "Fit (StE, StW) at a single density bin, coupling multiple ages.\n"
    "Initial condition P0 is built from `p0_observed` (binned fractions at age 0)\n"
    "by spreading each bin uniformly over its macrostates.\n\n"
    "`fit_observed_2d`: (n_fit_ages, n_meth_bins), `fit_ages`: (n_fit_ages,)\n"
    "(the age corresponding to P0 itself is not included here \u2014 contributes zero NLL).\n"
    "Returns (StE, StW, total_NLL)." VELK_SEED_PARAGRAPH;

PyObject* py_fit_drift_one(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Arguments a("py_fit_drift_one",
                      {"p0_observed", "fit_observed_2d", "fit_ages", "meth_bin_edges", "st_bounds", "seed"},
                      5, args, kwargs, /*keyword_only=*/1);
    const ArrayArg p0_arg = as_array(a[0], "p0_observed", 1);
    const ArrayArg observed_arg = as_array(a[1], "fit_observed_2d", 2);
    const ArrayArg ages_arg = as_array(a[2], "fit_ages", 1);
    const ArrayArg edges_arg = as_array(a[3], "meth_bin_edges", 1);
    const auto st = as_bounds(a[4], "st_bounds");
    const std::optional<std::uint64_t> seed = optional_count(a[5], "seed");
    const std::vector<double> p0_observed = to_vector(p0_arg);
    const RowMatrix fit_observed = extract_rows(observed_arg);
    const std::vector<double> fit_ages = to_vector(ages_arg);
    const std::vector<double> edges = to_vector(edges_arg);

    // Safe without the lock: the fit reads only the owned copies above.
    const std::array<double, 3> fit = without_gil([&] {
      return fit_drift_one(p0_observed, fit_observed, fit_ages, edges, st, run_seed(seed, 0, 0));
    });
    return new_tuple(new_float(fit[0]), new_float(fit[1]), new_float(fit[2])).release();
  });
}

const char py_fit_drift_bootstrap_doc[] =
    "py_fit_drift_bootstrap(p0_per_boot, fit_observed_per_boot, n_boot, n_fit_ages, fit_ages, "
    "meth_bin_edges, "
    "st_bounds, *, sample_offset=0)\n--\n\n"
    "Fit (StE, StW) per bootstrap sample, parallelized across bootstraps.\n\n"
    "`p0_per_boot`: (n_boot, n_meth_bins) \u2014 each bootstrap's age-P0 observed\n"
    "`fit_observed_per_boot`: (n_boot * n_fit_ages, n_meth_bins) flattened\n"
    "    row order: [boot0_fitage0, boot0_fitage1, ..., boot1_fitage0, ...]\n"
    "`fit_ages`: (n_fit_ages,)\n\n"
    "Returns (n_boot, 3) array: [StE, StW, total_NLL].";

PyObject* py_fit_drift_bootstrap(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Arguments a("py_fit_drift_bootstrap",
                      {"p0_per_boot", "fit_observed_per_boot", "n_boot", "n_fit_ages", "fit_ages",
                       "meth_bin_edges", "st_bounds", "sample_offset"},
                      7, args, kwargs, /*keyword_only=*/1);
    const ArrayArg p0_arg = as_array(a[0], "p0_per_boot", 2);
    const ArrayArg observed_arg = as_array(a[1], "fit_observed_per_boot", 2);
    const std::uint64_t n_boot = as_count(a[2], "n_boot");
    const std::uint64_t n_fit_ages = as_count(a[3], "n_fit_ages");
    const ArrayArg ages_arg = as_array(a[4], "fit_ages", 1);
    const ArrayArg edges_arg = as_array(a[5], "meth_bin_edges", 1);
    const auto st = as_bounds(a[6], "st_bounds");
    const std::uint64_t first_sample = as_count(a[7], "sample_offset", 0);
    const RowMatrix p0_per_boot = extract_rows(p0_arg);
    const RowMatrix fit_observed_per_boot = extract_rows(observed_arg);
    const std::vector<double> fit_ages = to_vector(ages_arg);
    const std::vector<double> edges = to_vector(edges_arg);

    // Safe without the lock: the samples read only the owned copies above.
    // Ctrl+C stops new samples from starting and raises KeyboardInterrupt.
    RowMatrix fits = interruptible([&] {
      return fit_drift_bootstrap(p0_per_boot, fit_observed_per_boot, n_boot, n_fit_ages, fit_ages,
                                 edges, st, first_sample);
    });
    return new_array_2d(std::move(fits)).release();
  });
}

const char py_drift_predict_doc[] =
    "py_drift_predict(ste, stw, p0_observed, ages, meth_bin_edges)\n--\n\n"
    "Compute predicted binned distributions at each age for given (StE, StW).\n"
    "Useful for plotting the fit.\n\n"
    "Returns (n_ages, n_meth_bins) array.";

PyObject* py_drift_predict(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Arguments a("py_drift_predict", {"ste", "stw", "p0_observed", "ages", "meth_bin_edges"},
                      5, args, kwargs);
    const double StE = as_float(a[0], "ste");
    const double StW = as_float(a[1], "stw");
    const ArrayArg p0_arg = as_array(a[2], "p0_observed", 1);
    const ArrayArg ages_arg = as_array(a[3], "ages", 1);
    const ArrayArg edges_arg = as_array(a[4], "meth_bin_edges", 1);
    const std::vector<double> p0_observed = to_vector(p0_arg);
    const std::vector<double> ages = to_vector(ages_arg);
    const std::vector<double> edges = to_vector(edges_arg);

    // Safe without the lock: the prediction reads only the owned copies above.
    RowMatrix predicted =
        without_gil([&] { return drift_predict(StE, StW, p0_observed, ages, edges); });
    return new_array_2d(std::move(predicted)).release();
  });
}

}  // namespace velk::py
