#include "fits/phase_grids.hpp"

#include <cmath>

#include "parallel.hpp"
#include "run_state.hpp"
#include "velk_model.hpp"

namespace velk {
namespace {

struct PointSummary {
  double bistability, avg_meth, entropy, frac_inter;
};

// One pass over the macrostates, every sum from 0.0 in ascending M. Levels 0.2
// and 0.8 themselves (M = 14 and 56) count as intermediate.
PointSummary summarise(const Distribution& p) noexcept {
  double entropy = 0.0, avg_meth = 0.0, lo = 0.0, hi = 0.0, inter = 0.0;
  for (int m = 0; m < kStates; ++m) {
    const double level = static_cast<double>(m) / 70.0;
    const double pm = p[m];
    if (pm > 0.0) entropy = entropy - pm * std::log(pm);
    avg_meth = avg_meth + level * pm;
    if (level < 0.2) {
      lo += pm;
    } else if (level > 0.8) {
      hi += pm;
    } else {
      inter += pm;
    }
  }
  return {hi * lo * 4.0, avg_meth, entropy, inter};
}

}  // namespace

PhaseGrids compute_phase_grids(double st_free, bool normalize_stw, std::span<const double> log_cow_grid,
                               std::span<const double> log_coe_grid, double n_U, double n_M,
                               double Vmax) {
  const std::size_t n_cow = log_cow_grid.size();
  const std::size_t n_coe = log_coe_grid.size();
  PhaseGrids grids{RowMatrix(n_cow, n_coe), RowMatrix(n_cow, n_coe), RowMatrix(n_cow, n_coe),
                   RowMatrix(n_cow, n_coe)};
  const auto [StE, StW] = spontaneous_rates(normalize_stw, st_free);
  // The exponents are the same at every point: compute the powers once.
  const CooperativePowers powers = cooperative_powers(n_U, n_M, raw_count());
  // Every point is independent and writes only its own slots, so the points
  // are spread over the pool; the values do not depend on who computes them.
  parallel_for(n_cow * n_coe, [&](std::size_t point) {
    const std::size_t i = point / n_coe;
    const std::size_t j = point % n_coe;
    const double CoW = std::pow(10.0, log_cow_grid[i]);
    const double CoE = std::pow(10.0, log_coe_grid[j]);
    const PointSummary s = summarise(solve_steady_state(StE, StW, CoW, CoE, powers, Vmax));
    grids.bistability(i, j) = s.bistability;
    grids.avg_meth(i, j) = s.avg_meth;
    grids.entropy(i, j) = s.entropy;
    grids.frac_inter(i, j) = s.frac_inter;
  });
  return grids;
}

}  // namespace velk
