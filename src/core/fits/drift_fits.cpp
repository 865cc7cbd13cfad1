#include "fits/drift_fits.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "drift_model.hpp"
#include "fits/sample_range.hpp"
#include "optimizer/differential_evolution.hpp"
#include "parallel.hpp"
#include "run_state.hpp"

namespace velk {
namespace {

// Refuses, before any fit starts, sample counts that would read past the end
// of the caller's rows.
void check_bootstrap_rows(const RowMatrix& p0_per_boot, const RowMatrix& fit_observed_per_boot,
                          std::uint64_t n_boot, std::uint64_t n_fit_ages) {
  if (n_boot > p0_per_boot.rows()) {
    throw std::runtime_error("index out of range: n_boot is " + std::to_string(n_boot) +
                             " but p0_per_boot has " + std::to_string(p0_per_boot.rows()) +
                             " rows");
  }
  const std::uint64_t available = fit_observed_per_boot.rows();
  const bool too_few = n_fit_ages != 0 && n_boot > available / n_fit_ages;
  if (too_few) {
    throw std::runtime_error("index out of range: n_boot * n_fit_ages is " +
                             std::to_string(n_boot) + " * " + std::to_string(n_fit_ages) +
                             " but fit_observed_per_boot has " + std::to_string(available) +
                             " rows");
  }
}

}  // namespace

std::array<double, 3> fit_drift_one(std::span<const double> p0_observed,
                                    const RowMatrix& fit_observed, std::span<const double> fit_ages,
                                    std::span<const double> meth_bin_edges, Bounds st_bounds,
                                    std::optional<std::uint64_t> seed) {
  const DriftLikelihood likelihood(observed_to_p0(p0_observed, meth_bin_edges), fit_observed,
                                   fit_ages, meth_bin_edges);
  const std::array<Bounds, 2> bounds{st_bounds, st_bounds};
  auto objective = [&](std::span<const double> x) { return likelihood(x[0], x[1]); };
  const DifferentialEvolutionResult best = differential_evolution(objective, bounds, seed);
  return {best.x[0], best.x[1], best.value};
}

RowMatrix fit_drift_bootstrap(const RowMatrix& p0_per_boot, const RowMatrix& fit_observed_per_boot,
                              std::uint64_t n_boot, std::uint64_t n_fit_ages,
                              std::span<const double> fit_ages,
                              std::span<const double> meth_bin_edges, Bounds st_bounds,
                              std::uint64_t first_sample) {
  check_bootstrap_rows(p0_per_boot, fit_observed_per_boot, n_boot, n_fit_ages);
  check_sample_range(first_sample, n_boot, 1);
  const std::size_t cols = fit_observed_per_boot.cols();
  const auto fits = parallel_map(n_boot, [&](std::size_t b) -> std::array<double, 3> {
    if (interrupted()) {
      constexpr double nan = std::numeric_limits<double>::quiet_NaN();
      return {nan, nan, nan};
    }
    // The sample's own copy of its rows: its block of the stacked matrix.
    RowMatrix sample_rows(n_fit_ages, cols);
    const auto first =
        fit_observed_per_boot.values().begin() + static_cast<std::ptrdiff_t>(b * n_fit_ages * cols);
    std::copy(first, first + static_cast<std::ptrdiff_t>(n_fit_ages * cols),
              sample_rows.values().begin());
    return fit_drift_one(p0_per_boot.row(b), sample_rows, fit_ages, meth_bin_edges, st_bounds,
                         first_sample + b);
  });
  RowMatrix result(fits.size(), 3);
  for (std::size_t b = 0; b < fits.size(); ++b)
    std::copy(fits[b].begin(), fits[b].end(), result.row(b).begin());
  return result;
}

RowMatrix drift_predict(double StE, double StW, std::span<const double> p0_observed,
                        std::span<const double> ages, std::span<const double> meth_bin_edges) {
  const Distribution P0 = observed_to_p0(p0_observed, meth_bin_edges);
  const BinLayout layout(meth_bin_edges);
  RowMatrix predicted(ages.size(), layout.bin_count());
  for (std::size_t i = 0; i < ages.size(); ++i) {
    layout.bin(propagate_to_age(StE, StW, P0, ages[i]), predicted.row(i), DRIFT_PROB_FLOOR);
  }
  return predicted;
}

}  // namespace velk
