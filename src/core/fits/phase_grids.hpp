// Phase diagram of the steady state over log10(CoW) x log10(CoE).
#pragma once

#include <span>

#include "row_matrix.hpp"

namespace velk {

/// Four summaries of the stationary distribution at every grid point, each an
/// (n_cow, n_coe) row-major matrix; element (i, j) belongs to
/// CoW = 10^log_cow_grid[i], CoE = 10^log_coe_grid[j].
struct PhaseGrids {
  RowMatrix bistability;  ///< 4 * hi * lo: lo = mass below level 0.2, hi = mass above 0.8
  RowMatrix avg_meth;     ///< mean methylation level
  RowMatrix entropy;      ///< -sum p ln p over p > 0, in nats
  RowMatrix frac_inter;   ///< mass at levels 0.2 ... 0.8 inclusive
};

/// Evaluates the steady state at every grid point for the free spontaneous rate
/// st_free (StE when normalize_stw, else StW; the other rate is 1), exponents
/// n_U, n_M and ceiling Vmax. Reads raw_count. Never throws for any values;
/// a singular point gives the summaries of the uniform distribution.
PhaseGrids compute_phase_grids(double st_free, bool normalize_stw, std::span<const double> log_cow_grid,
                               std::span<const double> log_coe_grid, double n_U, double n_M,
                               double Vmax);

}  // namespace velk
