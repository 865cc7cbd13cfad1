#include "fits/profiles.hpp"

#include "fits/density_fits.hpp"
#include "fits/search_space.hpp"
#include "parallel.hpp"
#include "run_state.hpp"
#include "seeds.hpp"

namespace velk {

std::vector<double> profile_shared_st(const RowMatrix& observed_rows, std::span<const double> meth_bin_edges,
                                      bool normalize_stw, std::span<const double> st_grid, double co_lo,
                                      double co_hi, double n_U, double n_M,
                                      std::optional<std::span<const double>> weights,
                                      std::optional<std::uint64_t> seed, Observations observations) {
  const std::size_t densities = observed_rows.rows();
  const std::vector<double> w = density_weights(weights, densities);
  observations.require_densities(densities);
  const double Vmax = mm_vmax();
  // Jobs grid-major: job k is grid point k / densities, density k % densities.
  const std::vector<double> weighted = parallel_map(st_grid.size() * densities, [&](std::size_t k) {
    const std::size_t p = k / densities;
    const std::size_t d = k % densities;
    const DensityData data{observed_rows.row(d), meth_bin_edges, normalize_stw, observations.density(d)};
    return fit_2param_n(data, run_seed(seed, 0, d), st_grid[p], co_lo, co_hi, n_U, n_M, Vmax, 0.0)[2] * w[d];
  });
  std::vector<double> totals(st_grid.size(), 0.0);
  for (std::size_t k = 0; k < weighted.size(); ++k) totals[k / densities] += weighted[k];
  return totals;
}

namespace {

// One pass of the CoW/CoE profile: every (density, grid value) pair, density-major.
RowMatrix rate_profile(const RowMatrix& observed_rows, std::span<const double> meth_bin_edges,
                       bool normalize_stw, double St, std::span<const double> grid, bool hold_cow,
                       double co_lo, double co_hi, double n_U, double n_M, std::optional<std::uint64_t> seed,
                       Observations observations) {
  const std::size_t densities = observed_rows.rows();
  RowMatrix nll(densities, grid.size());
  if (grid.empty()) return nll;
  parallel_for(densities * grid.size(), [&](std::size_t k) {
    const std::size_t d = k / grid.size();
    const std::size_t g = k % grid.size();
    const DensityData data{observed_rows.row(d), meth_bin_edges, normalize_stw, observations.density(d)};
    // Holding CoW frees CoE, and the other way round.
    nll(d, g) = fit_1param(data, run_seed(seed, 0, d), /*free_coe=*/hold_cow, St, grid[g], co_lo, co_hi, n_U,
                           n_M);
  });
  return nll;
}

}  // namespace

CoProfiles profile_shared_co(const RowMatrix& observed_rows, std::span<const double> meth_bin_edges,
                             bool normalize_stw, double shared_st, std::span<const double> cow_grid,
                             std::span<const double> coe_grid, double co_lo, double co_hi, double n_U,
                             double n_M, std::optional<std::uint64_t> seed, Observations observations) {
  observations.require_densities(observed_rows.rows());
  CoProfiles profiles;
  profiles.cow_nll = rate_profile(observed_rows, meth_bin_edges, normalize_stw, shared_st, cow_grid, true,
                                  co_lo, co_hi, n_U, n_M, seed, observations);
  profiles.coe_nll = rate_profile(observed_rows, meth_bin_edges, normalize_stw, shared_st, coe_grid, false,
                                  co_lo, co_hi, n_U, n_M, seed, observations);
  return profiles;
}

}  // namespace velk
