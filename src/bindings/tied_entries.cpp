// Fits whose parameters are tied across rows by a caller's layout.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "entries.hpp"
#include "fits/tied_fits.hpp"
#include "gil.hpp"
#include "observation_args.hpp"

namespace velk::py {
namespace {

// Shape errors are value errors, raised once every argument is copied.
void require_shape(const char* name, std::size_t rows, std::size_t cols, std::size_t want_rows,
                   std::size_t want_cols, const char* expected) {
  if (rows == want_rows && cols == want_cols) return;
  const std::string message = std::string(name) + ": shape " + detail::shape_text({rows, cols}) +
                              " does not match " + expected + " = " +
                              detail::shape_text({want_rows, want_cols});
  raise(PyExc_RuntimeError, message.c_str());
}

void require_length(const char* name, std::size_t length, std::size_t want, const char* expected) {
  if (length == want) return;
  const std::string message = std::string(name) + ": shape " + detail::shape_text({length}) +
                              " does not match " + expected + " = " + detail::shape_text({want});
  raise(PyExc_RuntimeError, message.c_str());
}

}  // namespace

const char py_fit_tied_doc[] =
    "py_fit_tied(observed_fracs_2d, meth_bin_edges, normalize_stw, layout, fixed, lower, upper, "
    "weights=None, starts=None, *, seed=0, observation=None)\n"
    "--\n\n"
    "Fit parameters tied across rows by a layout.\n"
    "\n"
    "Each row of `observed_fracs_2d` (n_rows, n_meth_bins) is one cell of a study,\n"
    "for instance one (group, density bin) pair. `layout` (n_rows, 6) says where\n"
    "each row's parameters, columns [St, CoW, CoE, n_U, n_M, Vmax], come from: an\n"
    "integral value k >= 0 takes entry k of the fitted vector theta, -1 takes\n"
    "`fixed[r, c]` (a fixed Vmax may be inf: no ceiling). An entry used by several\n"
    "rows ties them; every entry must be used, and either as a rate (St, CoW, CoE,\n"
    "Vmax) or as an exponent (n_U, n_M). `lower` and `upper` (n_theta,) bound each\n"
    "entry in model units: 0 < lower <= upper for a rate, finite bounds for an\n"
    "exponent.\n"
    "\n"
    "The fit minimises sum_r weights[r] * NLL_r (`weights` (n_rows,), None: all 1).\n"
    "An entry used by one row only is that row's own: the row fits it by\n"
    "differential evolution, as the per-density fits do (St linearly, the other\n"
    "rates on log10). Entries used by two rows or more are shared: rows linked\n"
    "through them form independent groups, fitted in parallel, each by an outer\n"
    "search over its shared entries -- Brent over ln St when its one shared entry\n"
    "is an St, else a Nelder-Mead multi-start over log10 rates and linear exponents,\n"
    "restarted from its best point while that gains -- with every row's own entries\n"
    "re-fitted at each outer point and a final pass at the best one. The\n"
    "multi-start begins at each row of `starts` (n_starts, n_theta; model units;\n"
    "own entries are not read), or without `starts` at cold starts spread over the\n"
    "bounds.\n"
    "\n"
    "Returns (theta: (n_theta,), params: (n_rows, 6), nlls: (n_rows,)): the fitted\n"
    "entries, each row's full parameter set in layout columns (fixed values\n"
    "included) and each row's unweighted NLL. The run-wide raw-count switch applies;\n"
    "the run-wide Vmax does not: each row's Vmax is its layout's, so pass the\n"
    "ceiling as the fixed Vmax to fit under it.\n"
    "\n"
    "Every run is seeded: row r fits its own entries with seed\n"
    "mix(mix(mix(seed) ^ 0) ^ r), where mix(x) is the output of one splitmix64 step\n"
    "from state x, so the call repeats bit for bit on any number of threads. Ctrl+C\n"
    "stops the fit and raises KeyboardInterrupt.\n"
    "\n"
    "`observation`, when given, holds one (n_meth_bins, 71) matrix per row, shape\n"
    "(n_rows, n_meth_bins, 71): entry [r, j, M] is the probability that a read of a\n"
    "molecule with M of 70 sites methylated falls in methylation bin j. Each row's\n"
    "bin probabilities are then its matrix times the stationary distribution,\n"
    "floored and renormalised.";

PyObject* py_fit_tied(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Arguments a("py_fit_tied",
                      {"observed_fracs_2d", "meth_bin_edges", "normalize_stw", "layout", "fixed", "lower",
                       "upper", "weights", "starts", "seed", "observation"},
                      7, args, kwargs, /*keyword_only=*/2);
    const ArrayArg observed_arg = as_array(a[0], "observed_fracs_2d", 2);
    const ArrayArg edges_arg = as_array(a[1], "meth_bin_edges", 1);
    const bool normalize_stw = as_bool(a[2], "normalize_stw");
    const ArrayArg layout_arg = as_array(a[3], "layout", 2);
    const ArrayArg fixed_arg = as_array(a[4], "fixed", 2);
    const ArrayArg lower_arg = as_array(a[5], "lower", 1);
    const ArrayArg upper_arg = as_array(a[6], "upper", 1);
    const std::optional<ArrayArg> weights_arg = optional_array(a[7], "weights", 1);
    const std::optional<ArrayArg> starts_arg = optional_array(a[8], "starts", 2);
    const std::uint64_t seed = as_count(a[9], "seed", 0);
    const std::optional<ArrayArg> observation_arg = convert_observation(a[10], 3);

    const RowMatrix rows = extract_rows(observed_arg);
    const std::vector<double> edges = to_vector(edges_arg);
    const RowMatrix layout = extract_rows(layout_arg);
    const RowMatrix fixed = extract_rows(fixed_arg);
    const std::vector<double> lower = to_vector(lower_arg);
    const std::vector<double> upper = to_vector(upper_arg);
    const std::optional<std::vector<double>> weights = to_vector(weights_arg);
    const RowMatrix starts = starts_arg ? extract_rows(*starts_arg) : RowMatrix();
    const ObservationData observation = take_observation(observation_arg, rows.rows(), edges.size());

    const std::size_t n_rows = rows.rows();
    require_shape("layout", layout.rows(), layout.cols(), n_rows, kParameterColumns, "(n_rows, 6)");
    require_shape("fixed", fixed.rows(), fixed.cols(), n_rows, kParameterColumns, "(n_rows, 6)");
    require_length("upper", upper.size(), lower.size(), "the shape of lower");
    if (weights) require_length("weights", weights->size(), n_rows, "(n_rows,)");
    if (starts_arg) {
      require_shape("starts", starts.rows(), starts.cols(), starts.rows(), lower.size(), "(n_starts, n_theta)");
    }
    const TiedLayout tied = parse_tied_layout(n_rows, layout.values(), fixed.values(), lower, upper);
    const auto row_spans = rows.row_spans();
    std::optional<TiedStarts> start_view;
    if (starts_arg) start_view = TiedStarts{starts.values(), starts.rows()};

    // Safe without the lock: the fit reads only the owned copies above.
    const TiedFit fit = interruptible([&] {
      return fit_tied(row_spans, edges, normalize_stw, tied, view(weights), start_view, seed, observation.view());
    });
    RowMatrix params(n_rows, kParameterColumns);
    for (std::size_t r = 0; r < n_rows; ++r) {
      for (std::size_t c = 0; c < kParameterColumns; ++c) params(r, c) = fit.parameters[r][c];
    }
    return new_tuple(new_array_1d(fit.theta), new_array_2d(std::move(params)), new_array_1d(fit.nlls)).release();
  });
}

}  // namespace velk::py
