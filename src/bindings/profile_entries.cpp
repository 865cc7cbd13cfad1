// Profile likelihoods over St and over the cooperative rates.
#include "args.hpp"
#include "entries.hpp"
#include "fits/profiles.hpp"
#include "gil.hpp"
#include "observation_args.hpp"

namespace velk::py {

const char py_profile_shared_st_doc[] =
    "py_profile_shared_st(observed_fracs_2d, meth_bin_edges, normalize_stw, st_grid, co_bounds, n_u=2.0, "
    "n_m=2.0, weights=None, *, seed=None, observation=None)\n--\n\n"
    "Profile likelihood: scan St over `st_grid`, with CoW/CoE re-fit per density\n"
    "at each grid point. Returns the (weighted) summed NLL at each grid point.\n\n"
    "Output shape: (n_points,) \u2014 one summed NLL per St grid value." VELK_SEED_PARAGRAPH "\n\n"
    VELK_OBSERVATION_PARAGRAPH;

PyObject* py_profile_shared_st(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Arguments a("py_profile_shared_st",
                      {"observed_fracs_2d", "meth_bin_edges", "normalize_stw", "st_grid", "co_bounds", "n_u",
                       "n_m", "weights", "seed", "observation"},
                      5, args, kwargs, /*keyword_only=*/2);
    const ArrayArg observed_arg = as_array(a[0], "observed_fracs_2d", 2);
    const ArrayArg edges_arg = as_array(a[1], "meth_bin_edges", 1);
    const bool normalize_stw = as_bool(a[2], "normalize_stw");
    const ArrayArg grid_arg = as_array(a[3], "st_grid", 1);
    const auto co = as_bounds(a[4], "co_bounds");
    const double n_U = as_float(a[5], "n_u", 2.0);
    const double n_M = as_float(a[6], "n_m", 2.0);
    const std::optional<ArrayArg> weights_arg = optional_array(a[7], "weights", 1);
    const std::optional<std::uint64_t> seed = optional_count(a[8], "seed");
    const std::optional<ArrayArg> observation_arg = convert_observation(a[9], 3);
    const RowMatrix rows = extract_rows(observed_arg);
    const std::vector<double> edges = to_vector(edges_arg);
    const std::vector<double> st_grid = to_vector(grid_arg);
    const std::optional<std::vector<double>> weights = to_vector(weights_arg);
    const ObservationData observation = take_observation(observation_arg, rows.rows(), edges.size());

    // Safe without the lock: the profile reads only the owned copies above.
    const std::vector<double> profile = without_gil([&] {
      return profile_shared_st(rows, edges, normalize_stw, st_grid, co.lo, co.hi, n_U, n_M, view(weights),
                               seed, observation.view());
    });
    return new_array_1d(profile).release();
  });
}

const char py_profile_shared_co_doc[] =
    "py_profile_shared_co(observed_fracs_2d, meth_bin_edges, normalize_stw, shared_st, cow_grid, coe_grid, "
    "co_bounds, n_u=2.0, n_m=2.0, *, seed=None, observation=None)\n--\n\n"
    "Profile likelihood: per-density scan over CoW and CoE with St fixed at\n"
    "`shared_st`. For each density and grid value:\n"
    "  - CoW scan: fix (St, CoW), optimize CoE only -> NLL.\n"
    "  - CoE scan: fix (St, CoE), optimize CoW only -> NLL.\n\n"
    "Returns (cow_nll, coe_nll), each shape (n_densities, n_points). Uses the\n"
    "SAME grid length for both axes; pass log-spaced grids built in Python." VELK_SEED_PARAGRAPH "\n\n"
    VELK_OBSERVATION_PARAGRAPH;

PyObject* py_profile_shared_co(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Arguments a("py_profile_shared_co",
                      {"observed_fracs_2d", "meth_bin_edges", "normalize_stw", "shared_st", "cow_grid", "coe_grid",
                       "co_bounds", "n_u", "n_m", "seed", "observation"},
                      7, args, kwargs, /*keyword_only=*/2);
    const ArrayArg observed_arg = as_array(a[0], "observed_fracs_2d", 2);
    const ArrayArg edges_arg = as_array(a[1], "meth_bin_edges", 1);
    const bool normalize_stw = as_bool(a[2], "normalize_stw");
    const double shared_st = as_float(a[3], "shared_st");
    const ArrayArg cow_arg = as_array(a[4], "cow_grid", 1);
    const ArrayArg coe_arg = as_array(a[5], "coe_grid", 1);
    const auto co = as_bounds(a[6], "co_bounds");
    const double n_U = as_float(a[7], "n_u", 2.0);
    const double n_M = as_float(a[8], "n_m", 2.0);
    const std::optional<std::uint64_t> seed = optional_count(a[9], "seed");
    const std::optional<ArrayArg> observation_arg = convert_observation(a[10], 3);
    const RowMatrix rows = extract_rows(observed_arg);
    const std::vector<double> edges = to_vector(edges_arg);
    const std::vector<double> cow_grid = to_vector(cow_arg);
    const std::vector<double> coe_grid = to_vector(coe_arg);
    const ObservationData observation = take_observation(observation_arg, rows.rows(), edges.size());

    // Safe without the lock: the profile reads only the owned copies above.
    CoProfiles profiles = without_gil([&] {
      return profile_shared_co(rows, edges, normalize_stw, shared_st, cow_grid, coe_grid, co.lo, co.hi, n_U,
                               n_M, seed, observation.view());
    });
    Ref cow_nll = new_array_2d(std::move(profiles.cow_nll));
    Ref coe_nll = new_array_2d(std::move(profiles.coe_nll));
    return new_tuple(std::move(cow_nll), std::move(coe_nll)).release();
  });
}

}  // namespace velk::py
