// Shared-parameter fits: parameters common to every density, the rest
// re-fitted per density inside each outer evaluation.
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "args.hpp"
#include "density_args.hpp"
#include "entries.hpp"
#include "fits/shared_fits.hpp"
#include "gil.hpp"
#include "observation_args.hpp"

namespace velk::py {
namespace {

// The tail shared by the fits with free exponents and an optional Vmax.
struct ExponentTail {
  Bounds n_exp;
  double co_penalty;
  std::optional<ArrayArg> weights;
  bool fit_vmax;
  Bounds vmax;
};

ExponentTail convert_exponent_tail(const Arguments& a) {
  const Bounds n_exp = as_bounds(a[5], "n_exp_bounds");
  const double co_penalty = as_float(a[6], "co_penalty", 0.0);
  const std::optional<ArrayArg> weights = optional_array(a[7], "weights", 1);
  const bool fit_vmax = as_bool(a[8], "fit_vmax", false);
  const Bounds vmax = as_bounds(a[9], "vmax_bounds", kDefaultVmaxBounds);
  return {n_exp, co_penalty, weights, fit_vmax, vmax};
}

}  // namespace

const char py_fit_shared_st_doc[] =
    "py_fit_shared_st(observed_fracs_2d, meth_bin_edges, normalize_stw, st_bounds, "
    "co_bounds, n_u=2.0, n_m=2.0, co_penalty=0.0, weights=None, *, seed=None, observation=None)\n"
    "--\n\n"
    "Fit with shared St across all densities.\n"
    "\n"
    "Returns (shared_st, fitps: (n_densities, 3), nlls: (n_densities,))." VELK_SEED_PARAGRAPH "\n\n"
    VELK_OBSERVATION_PARAGRAPH;

PyObject* py_fit_shared_st(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Arguments a("py_fit_shared_st",
                      {"observed_fracs_2d", "meth_bin_edges", "normalize_stw", "st_bounds",
                       "co_bounds", "n_u", "n_m", "co_penalty", "weights", "seed", "observation"},
                      5, args, kwargs, /*keyword_only=*/2);
    const DensityFitHead head = convert_head(a);
    const double n_U = as_float(a[5], "n_u", 2.0);
    const double n_M = as_float(a[6], "n_m", 2.0);
    const double co_penalty = as_float(a[7], "co_penalty", 0.0);
    const std::optional<ArrayArg> weights_arg = optional_array(a[8], "weights", 1);
    const std::optional<std::uint64_t> seed = optional_count(a[9], "seed");
    const std::optional<ArrayArg> observation_arg = convert_observation(a[10], 3);
    const DensityFitData data = take(head, weights_arg);
    const ObservationData observation = take_observation(observation_arg, data.rows.rows(), data.edges.size());
    const auto row_spans = data.rows.row_spans();

    // Safe without the lock: the fit reads only the owned copies above.
    const SharedStFit fit = without_gil([&] {
      return fit_shared_st_inner(row_spans, data.edges, head.normalize_stw, view(data.weights), head.st,
                                 head.co, n_U, n_M, co_penalty, seed, /*sample=*/0, observation.view());
    });
    RowMatrix fitps(fit.densities.size(), 3);
    std::vector<double> nlls(fit.densities.size());
    for (std::size_t i = 0; i < fit.densities.size(); ++i) {
      const auto& [CoW, CoE, nll] = fit.densities[i];
      fitps(i, 0) = fit.St;
      fitps(i, 1) = CoW;
      fitps(i, 2) = CoE;
      nlls[i] = nll;
    }
    return new_tuple(new_float(fit.St), new_array_2d(std::move(fitps)), new_array_1d(nlls))
        .release();
  });
}

const char py_fit_shared_exp_doc[] =
    "py_fit_shared_exp(observed_fracs_2d, meth_bin_edges, normalize_stw, st_bounds, "
    "co_bounds, n_exp_bounds, co_penalty=0.0, weights=None, fit_vmax=False, "
    "vmax_bounds=..., *, observation=None)\n"
    "--\n\n"
    "Fit with shared (St, n_U, n_M[, Vmax]) across all densities; per-density (CoW, CoE).\n"
    "\n"
    "Returns (shared_st, shared_n_u, shared_n_m, shared_vmax, fitps: (n_densities, 3),\n"
    "nlls: (n_densities,)). `fitps` columns are [St, CoW, CoE]. When `fit_vmax` is\n"
    "false, `shared_vmax` echoes the run-wide global (INFINITY = disabled).\n\n"
    VELK_OBSERVATION_PARAGRAPH;

PyObject* py_fit_shared_exp(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Arguments a("py_fit_shared_exp",
                      {"observed_fracs_2d", "meth_bin_edges", "normalize_stw", "st_bounds",
                       "co_bounds", "n_exp_bounds", "co_penalty", "weights", "fit_vmax",
                       "vmax_bounds", "observation"},
                      6, args, kwargs, /*keyword_only=*/1);
    const DensityFitHead head = convert_head(a);
    const ExponentTail tail = convert_exponent_tail(a);
    const std::optional<ArrayArg> observation_arg = convert_observation(a[10], 3);
    const std::optional<ArrayArg>& weights_arg = tail.weights;
    const DensityFitData data = take(head, weights_arg);
    const ObservationData observation = take_observation(observation_arg, data.rows.rows(), data.edges.size());
    const auto row_spans = data.rows.row_spans();

    // Safe without the lock: the fit reads only the owned copies above. The
    // progress log goes straight to file descriptor 2, not through Python.
    const SharedExpFit fit = interruptible([&] {
      return fit_shared_exp_inner(row_spans, data.edges, head.normalize_stw, tail.fit_vmax,
                                  view(data.weights), head.st, head.co, tail.n_exp, tail.vmax,
                                  tail.co_penalty, /*verbose=*/true, std::nullopt, observation.view());
    });
    RowMatrix fitps(fit.densities.size(), 3);
    std::vector<double> nlls(fit.densities.size());
    for (std::size_t i = 0; i < fit.densities.size(); ++i) {
      const auto& [CoW, CoE, nll] = fit.densities[i];
      fitps(i, 0) = fit.St;
      fitps(i, 1) = CoW;
      fitps(i, 2) = CoE;
      nlls[i] = nll;
    }
    return new_tuple(new_float(fit.St), new_float(fit.n_U), new_float(fit.n_M),
                     new_float(fit.Vmax), new_array_2d(std::move(fitps)), new_array_1d(nlls))
        .release();
  });
}

const char py_fit_shared_st_exp_perdensity_doc[] =
    "py_fit_shared_st_exp_perdensity(observed_fracs_2d, meth_bin_edges, normalize_stw, "
    "st_bounds, co_bounds, n_exp_bounds, co_penalty=0.0, weights=None, fit_vmax=False, "
    "vmax_bounds=..., *, observation=None)\n"
    "--\n\n"
    "Fit shared St with per-density (CoW, CoE, n_U, n_M).\n"
    "\n"
    "St is global (1D Brent outer, or 2D Nelder-Mead over (St, Vmax) when\n"
    "`fit_vmax`); cooperativity coefficients and exponents are fit independently\n"
    "per density. When `fit_vmax`, a single shared Michaelis-Menten ceiling Vmax\n"
    "is fitted jointly with St. Returns\n"
    "(shared_st, shared_vmax, fitps: (n_densities, 5), nlls: (n_densities,)) where\n"
    "`fitps` columns are [St, n_U, n_M, CoW, CoE] (matching the --fit-exponents\n"
    "layout). `shared_vmax` is the run-wide global (mm_vmax()) when not fitted.\n\n"
    VELK_OBSERVATION_PARAGRAPH;

PyObject* py_fit_shared_st_exp_perdensity(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Arguments a("py_fit_shared_st_exp_perdensity",
                      {"observed_fracs_2d", "meth_bin_edges", "normalize_stw", "st_bounds",
                       "co_bounds", "n_exp_bounds", "co_penalty", "weights", "fit_vmax",
                       "vmax_bounds", "observation"},
                      6, args, kwargs, /*keyword_only=*/1);
    const DensityFitHead head = convert_head(a);
    const ExponentTail tail = convert_exponent_tail(a);
    const std::optional<ArrayArg> observation_arg = convert_observation(a[10], 3);
    const std::optional<ArrayArg>& weights_arg = tail.weights;
    const DensityFitData data = take(head, weights_arg);
    const ObservationData observation = take_observation(observation_arg, data.rows.rows(), data.edges.size());
    const auto row_spans = data.rows.row_spans();

    // Safe without the lock: the fit reads only the owned copies above.
    const SharedStPerDensityExpFit fit = without_gil([&] {
      return fit_shared_st_perdensity_exp_inner(row_spans, data.edges, head.normalize_stw,
                                                tail.fit_vmax, view(data.weights), head.st,
                                                head.co, tail.n_exp, tail.vmax, tail.co_penalty,
                                                observation.view());
    });
    // Columns [St, n_U, n_M, CoW, CoE] from the fit row (CoW, CoE, n_U, n_M, NLL).
    RowMatrix fitps(fit.densities.size(), 5);
    std::vector<double> nlls(fit.densities.size());
    for (std::size_t i = 0; i < fit.densities.size(); ++i) {
      const auto& [CoW, CoE, n_U, n_M, nll] = fit.densities[i];
      fitps(i, 0) = fit.St;
      fitps(i, 1) = n_U;
      fitps(i, 2) = n_M;
      fitps(i, 3) = CoW;
      fitps(i, 4) = CoE;
      nlls[i] = nll;
    }
    return new_tuple(new_float(fit.St), new_float(fit.Vmax), new_array_2d(std::move(fitps)),
                     new_array_1d(nlls))
        .release();
  });
}

const char py_fit_shared_co_doc[] =
    "py_fit_shared_co(observed_fracs_2d, meth_bin_edges, normalize_stw, st_bounds, "
    "co_bounds, n_exp_bounds, co_penalty=0.0, weights=None, *, observation=None)\n"
    "--\n\n"
    "Fit GLOBAL (St, CoW, CoE) shared across all densities; per-density (n_U, n_M).\n"
    "\n"
    "The mirror of `py_fit_shared_exp`: there the exponents are global and CoW/CoE\n"
    "vary per density; here St, CoW and CoE are all global and only the exponents\n"
    "vary per density. Vmax is held at the run-wide global (mm_vmax()). Returns\n"
    "(shared_st, shared_cow, shared_coe, fitps: (n_densities, 5),\n"
    "nlls: (n_densities,)) where `fitps` columns are [St, n_U, n_M, CoW, CoE]\n"
    "(matching the --fit-exponents layout; St/CoW/CoE are identical across rows).\n\n"
    VELK_OBSERVATION_PARAGRAPH;

PyObject* py_fit_shared_co(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Arguments a("py_fit_shared_co",
                      {"observed_fracs_2d", "meth_bin_edges", "normalize_stw", "st_bounds",
                       "co_bounds", "n_exp_bounds", "co_penalty", "weights", "observation"},
                      6, args, kwargs, /*keyword_only=*/1);
    const DensityFitHead head = convert_head(a);
    const Bounds n_exp = as_bounds(a[5], "n_exp_bounds");
    const double co_penalty = as_float(a[6], "co_penalty", 0.0);
    const std::optional<ArrayArg> weights_arg = optional_array(a[7], "weights", 1);
    const std::optional<ArrayArg> observation_arg = convert_observation(a[8], 3);
    const DensityFitData data = take(head, weights_arg);
    const ObservationData observation = take_observation(observation_arg, data.rows.rows(), data.edges.size());
    const auto row_spans = data.rows.row_spans();

    // Safe without the lock: the fit reads only the owned copies above. The
    // progress log goes straight to file descriptor 2, not through Python.
    const SharedCoFit fit = interruptible([&] {
      return fit_shared_co_inner(row_spans, data.edges, head.normalize_stw, view(data.weights),
                                 head.st, head.co, n_exp, co_penalty, /*verbose=*/true,
                                 std::nullopt, observation.view());
    });
    // Columns [St, n_U, n_M, CoW, CoE]: the shared rates repeat in every row.
    RowMatrix fitps(fit.densities.size(), 5);
    std::vector<double> nlls(fit.densities.size());
    for (std::size_t i = 0; i < fit.densities.size(); ++i) {
      const auto& [n_U, n_M, nll] = fit.densities[i];
      fitps(i, 0) = fit.St;
      fitps(i, 1) = n_U;
      fitps(i, 2) = n_M;
      fitps(i, 3) = fit.CoW;
      fitps(i, 4) = fit.CoE;
      nlls[i] = nll;
    }
    return new_tuple(new_float(fit.St), new_float(fit.CoW), new_float(fit.CoE),
                     new_array_2d(std::move(fitps)), new_array_1d(nlls))
        .release();
  });
}

}  // namespace velk::py
