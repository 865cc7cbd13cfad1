// Bootstrap fits of stacked resamples. All four are interruptible: Ctrl+C
// stops new samples from starting and raises KeyboardInterrupt at the end.
// The keyword-only `sample_offset` numbers the stack's samples from that
// index, so that chunks of one run seed and number their rows as the whole
// run does. `seed` reaches only the shared-St mode of py_fit_bootstrap, the
// one mode whose inner fits are not seeded by their rows; the keyword-only
// `observation` gives one observation matrix per density, used for that
// density in every sample.
#include <optional>

#include "args.hpp"
#include "entries.hpp"
#include "fits/bootstrap.hpp"
#include "gil.hpp"
#include "observation_args.hpp"

namespace velk::py {
namespace {

// The five leading arguments every bootstrap function shares, converted in
// signature order; `take` makes the owned copies the fits read once every
// argument has been converted (so conversion errors come first).
struct StackedArgs {
  ArrayArg fracs;
  std::uint64_t n_boot = 0;
  std::uint64_t n_densities = 0;
  ArrayArg edges;
  bool normalize_stw = false;
};

struct StackedInput {
  RowMatrix rows;
  std::uint64_t n_boot = 0;
  std::uint64_t n_densities = 0;
  std::vector<double> edges;
  bool normalize_stw = false;
};

StackedArgs convert_stacked(const Arguments& a) {
  StackedArgs in;
  in.fracs = as_array(a[0], "bootstrap_fracs", 2);
  in.n_boot = as_count(a[1], "n_boot");
  in.n_densities = as_count(a[2], "n_densities");
  in.edges = as_array(a[3], "meth_bin_edges", 1);
  in.normalize_stw = as_bool(a[4], "normalize_stw");
  return in;
}

StackedInput take(const StackedArgs& args) {
  return {extract_rows(args.fracs), args.n_boot, args.n_densities, to_vector(args.edges), args.normalize_stw};
}

template <std::size_t N>
std::optional<std::array<double, N>> fixed_tuple(const std::optional<std::vector<double>>& values) {
  if (!values) return std::nullopt;
  std::array<double, N> fixed{};
  std::copy(values->begin(), values->end(), fixed.begin());
  return fixed;
}

}  // namespace

const char py_fit_bootstrap_doc[] =
    "py_fit_bootstrap(bootstrap_fracs, n_boot, n_densities, meth_bin_edges, normalize_stw, shared_st, fix_st, "
    "st_bounds, co_bounds, n_u=2.0, n_m=2.0, co_penalty=0.0, weights=None, *, sample_offset=0, seed=None, "
    "observation=None)\n--\n\n"
    "Fit all bootstrap samples across all densities \u2014 fully parallel.\n\n"
    "Args:\n"
    "    bootstrap_fracs: flattened (n_boot * n_densities, n_meth_bins).\n"
    "        Densities MUST be ordered ascending so index 0 is the lowest density\n"
    "        (required for fix_st semantics).\n"
    "    n_boot, n_densities: dimensions\n"
    "    meth_bin_edges: (n_meth_bins + 1,)\n"
    "    normalize_stw: True if StW=1\n"
    "    shared_st: if true, fit shared St per bootstrap sample\n"
    "    fix_st: if true, per bootstrap, fit density 0 with 3 free params and\n"
    "        hold St fixed at that value for densities 1..N\n"
    "    st_bounds, co_bounds: parameter bounds\n\n"
    "Returns: (n_boot * n_densities, 6) array with columns\n"
    "    [bootstrap_idx, density_idx, st_free, cow, coe, nll]" VELK_SEED_PARAGRAPH "\n\n"
    VELK_OBSERVATION_PARAGRAPH "\n"
    "The matrices are shared by every bootstrap sample.";

PyObject* py_fit_bootstrap(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Arguments a("py_fit_bootstrap",
                      {"bootstrap_fracs", "n_boot", "n_densities", "meth_bin_edges", "normalize_stw", "shared_st",
                       "fix_st", "st_bounds", "co_bounds", "n_u", "n_m", "co_penalty", "weights", "sample_offset",
                       "seed", "observation"},
                      9, args, kwargs, /*keyword_only=*/3);
    const StackedArgs stacked = convert_stacked(a);
    const bool shared_st = as_bool(a[5], "shared_st");
    const bool fix_st = as_bool(a[6], "fix_st");
    const Bounds st = as_bounds(a[7], "st_bounds");
    const Bounds co = as_bounds(a[8], "co_bounds");
    const double n_U = as_float(a[9], "n_u", 2.0);
    const double n_M = as_float(a[10], "n_m", 2.0);
    const double co_penalty = as_float(a[11], "co_penalty", 0.0);
    const std::optional<ArrayArg> weights_arg = optional_array(a[12], "weights", 1);
    const std::uint64_t first_sample = as_count(a[13], "sample_offset", 0);
    const std::optional<std::uint64_t> seed = optional_count(a[14], "seed");
    const std::optional<ArrayArg> observation_arg = convert_observation(a[15], 3);
    const StackedInput in = take(stacked);
    const auto weights = to_vector(weights_arg);
    const ObservationData observation =
        take_observation(observation_arg, static_cast<std::size_t>(in.n_densities), in.edges.size());
    const BootstrapSamples samples(in.rows, in.n_boot, in.n_densities, first_sample);

    // Safe without the lock: the fits read only the owned copies above.
    RowMatrix rows = interruptible([&] {
      return fit_bootstrap(
          {samples, in.edges, in.normalize_stw, st, co, co_penalty, view(weights), observation.view()}, shared_st,
          fix_st, n_U, n_M, seed);
    });
    return new_array_2d(std::move(rows)).release();
  });
}

const char py_fit_bootstrap_exp_doc[] =
    "py_fit_bootstrap_exp(bootstrap_fracs, n_boot, n_densities, meth_bin_edges, normalize_stw, st_bounds, "
    "co_bounds, n_exp_bounds, co_penalty=0.0, weights=None, warm_start=None, fit_vmax=False, vmax_bounds=..., "
    "*, sample_offset=0, observation=None)\n--\n\n"
    "Bootstrap fitting with shared cooperativity exponents (--fit-exponents).\n\n"
    "Mirrors `py_fit_bootstrap`'s shared-St branch, but for each bootstrap\n"
    "sample it runs the full nested (St, n_U, n_M) fit via\n"
    "`fit_shared_exp_inner`. Parallelism is across bootstrap samples\n"
    "(`into_par_iter` over n_boot), so all cores stay busy even when the\n"
    "per-sample density-level fit is narrow; the inner per-density loop adds\n"
    "further tasks to the shared rayon pool. Per-sample logging is suppressed\n"
    "to avoid flooding stderr with n_boot interleaved optimizer traces.\n\n"
    "`bootstrap_fracs` is (n_boot * n_densities, n_meth_bins), row-major with\n"
    "density varying fastest within each bootstrap block.\n\n"
    "Returns (n_boot * n_densities, 9): [boot_idx, dens_idx, st, n_u, n_m, cow, coe,\n"
    "nll, vmax]. The trailing `vmax` column is the per-sample fitted shared Vmax\n"
    "(or the run-wide global when `fit_vmax` is false).\n\n"
    "`warm_start`, when given, is the main-fit `(St, n_U, n_M, Vmax)` point\n"
    "estimate. Every bootstrap sample then runs a single Nelder-Mead seeded there\n"
    "instead of the cold 5-start global search, which is the dominant speedup:\n"
    "each resample's optimum is a small perturbation of the point estimate, so one\n"
    "warm start converges in far fewer iterations than five cold ones.\n\n"
    VELK_OBSERVATION_PARAGRAPH "\n"
    "The matrices are shared by every bootstrap sample.";

PyObject* py_fit_bootstrap_exp(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Arguments a("py_fit_bootstrap_exp",
                      {"bootstrap_fracs", "n_boot", "n_densities", "meth_bin_edges", "normalize_stw", "st_bounds",
                       "co_bounds", "n_exp_bounds", "co_penalty", "weights", "warm_start", "fit_vmax", "vmax_bounds",
                       "sample_offset", "observation"},
                      8, args, kwargs, /*keyword_only=*/2);
    const StackedArgs stacked = convert_stacked(a);
    const Bounds st = as_bounds(a[5], "st_bounds");
    const Bounds co = as_bounds(a[6], "co_bounds");
    const Bounds n_exp = as_bounds(a[7], "n_exp_bounds");
    const double co_penalty = as_float(a[8], "co_penalty", 0.0);
    const std::optional<ArrayArg> weights_arg = optional_array(a[9], "weights", 1);
    const auto warm_start = fixed_tuple<4>(optional_float_tuple(a[10], "warm_start", 4));
    const bool fit_vmax = as_bool(a[11], "fit_vmax", false);
    const Bounds vmax = as_bounds(a[12], "vmax_bounds", kDefaultVmaxBounds);
    const std::uint64_t first_sample = as_count(a[13], "sample_offset", 0);
    const std::optional<ArrayArg> observation_arg = convert_observation(a[14], 3);
    const StackedInput in = take(stacked);
    const auto weights = to_vector(weights_arg);
    const ObservationData observation =
        take_observation(observation_arg, static_cast<std::size_t>(in.n_densities), in.edges.size());
    const BootstrapSamples samples(in.rows, in.n_boot, in.n_densities, first_sample);

    // Safe without the lock: the fits read only the owned copies above.
    RowMatrix rows = interruptible([&] {
      return fit_bootstrap_exp(
          {samples, in.edges, in.normalize_stw, st, co, co_penalty, view(weights), observation.view()}, n_exp,
                               fit_vmax, vmax, warm_start);
    });
    return new_array_2d(std::move(rows)).release();
  });
}

const char py_fit_bootstrap_exp_perdensity_doc[] =
    "py_fit_bootstrap_exp_perdensity(bootstrap_fracs, n_boot, n_densities, meth_bin_edges, normalize_stw, "
    "shared_st, st_bounds, co_bounds, n_exp_bounds, co_penalty=0.0, weights=None, fit_vmax=False, "
    "vmax_bounds=..., *, sample_offset=0, observation=None)\n--\n\n"
    "Bootstrap fitting with PER-DENSITY cooperativity exponents (--exp-per-density).\n\n"
    "`shared_st`:\n"
    "  - true  => per bootstrap sample, fit one shared St with per-density\n"
    "             (CoW, CoE, n_U, n_M) via `fit_shared_st_perdensity_exp_inner`\n"
    "             (parallel across bootstrap samples).\n"
    "  - false => independent 5-param fit [St, CoW, CoE, n_U, n_M] per\n"
    "             (bootstrap, density) pair (parallel across all pairs).\n\n"
    "`bootstrap_fracs` is (n_boot * n_densities, n_meth_bins), density-fastest.\n"
    "Returns (n_boot * n_densities, 9):\n"
    "[boot_idx, dens_idx, st, n_u, n_m, cow, coe, nll, vmax].\n\n"
    "When `fit_vmax` (shared_st only), each bootstrap resample re-fits its own\n"
    "shared Vmax jointly with St; the per-sample Vmax lands in the last column so\n"
    "its spread can be assessed. When `fit_vmax` is false, the Vmax column carries\n"
    "the run-wide global (mm_vmax(); INFINITY = disabled). For the non-shared 5-param\n"
    "branch Vmax is always the global (no shared outer to fit it in).\n\n"
    VELK_OBSERVATION_PARAGRAPH "\n"
    "The matrices are shared by every bootstrap sample.";

PyObject* py_fit_bootstrap_exp_perdensity(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Arguments a("py_fit_bootstrap_exp_perdensity",
                      {"bootstrap_fracs", "n_boot", "n_densities", "meth_bin_edges", "normalize_stw", "shared_st",
                       "st_bounds", "co_bounds", "n_exp_bounds", "co_penalty", "weights", "fit_vmax", "vmax_bounds",
                       "sample_offset", "observation"},
                      9, args, kwargs, /*keyword_only=*/2);
    const StackedArgs stacked = convert_stacked(a);
    const bool shared_st = as_bool(a[5], "shared_st");
    const Bounds st = as_bounds(a[6], "st_bounds");
    const Bounds co = as_bounds(a[7], "co_bounds");
    const Bounds n_exp = as_bounds(a[8], "n_exp_bounds");
    const double co_penalty = as_float(a[9], "co_penalty", 0.0);
    const std::optional<ArrayArg> weights_arg = optional_array(a[10], "weights", 1);
    const bool fit_vmax = as_bool(a[11], "fit_vmax", false);
    const Bounds vmax = as_bounds(a[12], "vmax_bounds", kDefaultVmaxBounds);
    const std::uint64_t first_sample = as_count(a[13], "sample_offset", 0);
    const std::optional<ArrayArg> observation_arg = convert_observation(a[14], 3);
    const StackedInput in = take(stacked);
    const auto weights = to_vector(weights_arg);
    const ObservationData observation =
        take_observation(observation_arg, static_cast<std::size_t>(in.n_densities), in.edges.size());
    const BootstrapSamples samples(in.rows, in.n_boot, in.n_densities, first_sample);

    // Safe without the lock: the fits read only the owned copies above.
    RowMatrix rows = interruptible([&] {
      return fit_bootstrap_exp_perdensity(
          {samples, in.edges, in.normalize_stw, st, co, co_penalty, view(weights), observation.view()},
                                          shared_st, n_exp, fit_vmax, vmax);
    });
    return new_array_2d(std::move(rows)).release();
  });
}

const char py_fit_bootstrap_co_doc[] =
    "py_fit_bootstrap_co(bootstrap_fracs, n_boot, n_densities, meth_bin_edges, normalize_stw, st_bounds, "
    "co_bounds, n_exp_bounds, co_penalty=0.0, weights=None, warm_start=None, *, sample_offset=0, "
    "observation=None)\n--\n\n"
    "Bootstrap fitting for the GLOBAL (St, CoW, CoE) mode (--shared-co).\n\n"
    "Each bootstrap sample gets its own global (St, CoW, CoE) and per-density\n"
    "(n_U, n_M) via `fit_shared_co_inner`, parallelized across samples. When\n"
    "`warm_start` is Some, every sample seeds a single Nelder-Mead from that\n"
    "point (the main-fit global optimum) instead of the full multi-start.\n\n"
    "`bootstrap_fracs` is (n_boot * n_densities, n_meth_bins), density-fastest.\n"
    "Returns (n_boot * n_densities, 9):\n"
    "[boot_idx, dens_idx, st, n_u, n_m, cow, coe, nll, vmax], matching the\n"
    "other exponent bootstrap paths. St/CoW/CoE are identical across the densities\n"
    "of a given sample; Vmax is the run-wide global (mm_vmax()).\n\n"
    VELK_OBSERVATION_PARAGRAPH "\n"
    "The matrices are shared by every bootstrap sample.";

PyObject* py_fit_bootstrap_co(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Arguments a("py_fit_bootstrap_co",
                      {"bootstrap_fracs", "n_boot", "n_densities", "meth_bin_edges", "normalize_stw", "st_bounds",
                       "co_bounds", "n_exp_bounds", "co_penalty", "weights", "warm_start", "sample_offset",
                       "observation"},
                      8, args, kwargs, /*keyword_only=*/2);
    const StackedArgs stacked = convert_stacked(a);
    const Bounds st = as_bounds(a[5], "st_bounds");
    const Bounds co = as_bounds(a[6], "co_bounds");
    const Bounds n_exp = as_bounds(a[7], "n_exp_bounds");
    const double co_penalty = as_float(a[8], "co_penalty", 0.0);
    const std::optional<ArrayArg> weights_arg = optional_array(a[9], "weights", 1);
    const auto warm_start = fixed_tuple<3>(optional_float_tuple(a[10], "warm_start", 3));
    const std::uint64_t first_sample = as_count(a[11], "sample_offset", 0);
    const std::optional<ArrayArg> observation_arg = convert_observation(a[12], 3);
    const StackedInput in = take(stacked);
    const auto weights = to_vector(weights_arg);
    const ObservationData observation =
        take_observation(observation_arg, static_cast<std::size_t>(in.n_densities), in.edges.size());
    const BootstrapSamples samples(in.rows, in.n_boot, in.n_densities, first_sample);

    // Safe without the lock: the fits read only the owned copies above.
    RowMatrix rows = interruptible([&] {
      return fit_bootstrap_co(
          {samples, in.edges, in.normalize_stw, st, co, co_penalty, view(weights), observation.view()}, n_exp,
                              warm_start);
    });
    return new_array_2d(std::move(rows)).release();
  });
}

}  // namespace velk::py
