// Independent fits of one or all density bins.
#include <optional>

#include "args.hpp"
#include "density_args.hpp"
#include "entries.hpp"
#include "fits/density_fits.hpp"
#include "gil.hpp"
#include "observation_args.hpp"
#include "parallel.hpp"
#include "seeds.hpp"

namespace velk::py {

const char py_fit_one_density_doc[] =
    "py_fit_one_density(observed_fracs, meth_bin_edges, normalize_stw, st_bounds, co_bounds, n_u=2.0, "
    "n_m=2.0, co_penalty=0.0, *, seed=None, observation=None)\n--\n\n"
    "Fit one density bin with 3 free parameters.\n"
    "Returns (st_free, cow, coe, nll)." VELK_SEED_PARAGRAPH "\n\n"
    VELK_OBSERVATION_ONE_PARAGRAPH;

PyObject* py_fit_one_density(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Arguments a("py_fit_one_density",
                      {"observed_fracs", "meth_bin_edges", "normalize_stw", "st_bounds", "co_bounds", "n_u",
                       "n_m", "co_penalty", "seed", "observation"},
                      5, args, kwargs, /*keyword_only=*/2);
    const ArrayArg observed_arg = as_array(a[0], "observed_fracs", 1);
    const ArrayArg edges_arg = as_array(a[1], "meth_bin_edges", 1);
    const bool normalize_stw = as_bool(a[2], "normalize_stw");
    const auto st = as_bounds(a[3], "st_bounds");
    const auto co = as_bounds(a[4], "co_bounds");
    const double n_U = as_float(a[5], "n_u", 2.0);
    const double n_M = as_float(a[6], "n_m", 2.0);
    const double co_penalty = as_float(a[7], "co_penalty", 0.0);
    const std::optional<std::uint64_t> seed = optional_count(a[8], "seed");
    const std::optional<ArrayArg> observation_arg = convert_observation(a[9], 2);
    const std::vector<double> observed = to_vector(observed_arg);
    const std::vector<double> edges = to_vector(edges_arg);
    const ObservationData observation = take_observation(observation_arg, 1, edges.size());

    // Safe without the lock: the fit reads only the owned copies above.
    const std::array<double, 4> row = without_gil([&] {
      return fit_3param({observed, edges, normalize_stw, observation.matrix()}, run_seed(seed, 0, 0), st.lo, st.hi,
                        co.lo, co.hi, n_U, n_M, co_penalty);
    });
    return new_tuple(new_float(row[0]), new_float(row[1]), new_float(row[2]), new_float(row[3])).release();
  });
}

const char py_fit_all_densities_doc[] =
    "py_fit_all_densities(observed_fracs_2d, meth_bin_edges, normalize_stw, st_bounds, co_bounds, "
    "n_u=2.0, n_m=2.0, co_penalty=0.0, *, observation=None)\n--\n\n"
    "Fit all density bins independently, each with 3 free parameters.\n"
    "Parallel across density bins via rayon.\n\n"
    "Returns (fitps: (n_densities, 3), nlls: (n_densities,)).\n\n"
    VELK_OBSERVATION_PARAGRAPH;

PyObject* py_fit_all_densities(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Arguments a("py_fit_all_densities",
                      {"observed_fracs_2d", "meth_bin_edges", "normalize_stw", "st_bounds", "co_bounds", "n_u",
                       "n_m", "co_penalty", "observation"},
                      5, args, kwargs, /*keyword_only=*/1);
    const DensityFitHead head = convert_head(a);
    const double n_U = as_float(a[5], "n_u", 2.0);
    const double n_M = as_float(a[6], "n_m", 2.0);
    const double co_penalty = as_float(a[7], "co_penalty", 0.0);
    const std::optional<ArrayArg> observation_arg = convert_observation(a[8], 3);
    const DensityFitData data = take(head, std::nullopt);
    const ObservationData observation = take_observation(observation_arg, data.rows.rows(), data.edges.size());
    const Observations observations = observation.view();

    // Safe without the lock: the fits read only the owned copies above.
    const auto fits = without_gil([&] {
      return parallel_map(data.rows.rows(), [&](std::size_t i) {
        return fit_3param({data.rows.row(i), data.edges, head.normalize_stw, observations.density(i)}, i,
                          head.st.lo, head.st.hi, head.co.lo, head.co.hi, n_U, n_M, co_penalty);
      });
    });
    RowMatrix fitps(fits.size(), 3);
    std::vector<double> nlls(fits.size());
    for (std::size_t i = 0; i < fits.size(); ++i) {
      fitps(i, 0) = fits[i][0];
      fitps(i, 1) = fits[i][1];
      fitps(i, 2) = fits[i][2];
      nlls[i] = fits[i][3];
    }
    return new_tuple(new_array_2d(std::move(fitps)), new_array_1d(nlls)).release();
  });
}

const char py_fit_all_densities_exp_doc[] =
    "py_fit_all_densities_exp(observed_fracs_2d, meth_bin_edges, normalize_stw, st_bounds, co_bounds, "
    "n_exp_bounds, co_penalty=0.0, *, observation=None)\n--\n\n"
    "Fit all density bins independently, each with 5 free parameters\n"
    "[St, CoW, CoE, n_U, n_M] \u2014 per-density cooperativity exponents.\n"
    "Parallel across density bins via rayon.\n\n"
    "Returns (fitps: (n_densities, 5), nlls: (n_densities,)).\n"
    "`fitps` columns are [St, n_U, n_M, CoW, CoE] to match the --fit-exponents\n"
    "(shared) layout consumed by the Python CSV writer.\n\n"
    VELK_OBSERVATION_PARAGRAPH;

PyObject* py_fit_all_densities_exp(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Arguments a("py_fit_all_densities_exp",
                      {"observed_fracs_2d", "meth_bin_edges", "normalize_stw", "st_bounds", "co_bounds",
                       "n_exp_bounds", "co_penalty", "observation"},
                      6, args, kwargs, /*keyword_only=*/1);
    const DensityFitHead head = convert_head(a);
    const auto n = as_bounds(a[5], "n_exp_bounds");
    const double co_penalty = as_float(a[6], "co_penalty", 0.0);
    const std::optional<ArrayArg> observation_arg = convert_observation(a[7], 3);
    const DensityFitData data = take(head, std::nullopt);
    const ObservationData observation = take_observation(observation_arg, data.rows.rows(), data.edges.size());
    const Observations observations = observation.view();

    // Safe without the lock: the fits read only the owned copies above.
    const auto fits = without_gil([&] {
      return parallel_map(data.rows.rows(), [&](std::size_t i) {
        return fit_5param_n({data.rows.row(i), data.edges, head.normalize_stw, observations.density(i)}, i,
                            head.st.lo, head.st.hi, head.co.lo, head.co.hi, n.lo, n.hi, co_penalty);
      });
    });
    // Columns [St, n_U, n_M, CoW, CoE]: fit-row elements 0, 3, 4, 1, 2.
    RowMatrix fitps(fits.size(), 5);
    std::vector<double> nlls(fits.size());
    for (std::size_t i = 0; i < fits.size(); ++i) {
      const auto& row = fits[i];
      fitps(i, 0) = row[0];
      fitps(i, 1) = row[3];
      fitps(i, 2) = row[4];
      fitps(i, 3) = row[1];
      fitps(i, 4) = row[2];
      nlls[i] = row[5];
    }
    return new_tuple(new_array_2d(std::move(fitps)), new_array_1d(nlls)).release();
  });
}

}  // namespace velk::py
