// Fits of the drift model's (StE, StW) to distributions observed at several
// ages, their bootstrap, and the model's predicted distributions.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "optimizer/bounds.hpp"
#include "row_matrix.hpp"

namespace velk {

/// Fits (StE, StW), both searched linearly within st_bounds, by differential
/// evolution on the drift NLL of one data set: P0 from p0_observed, one row of
/// fit_observed per age of fit_ages (the first min(rows, ages) pairs count).
/// seed: a replayable run, or operating-system entropy when empty.
/// Returns [StE, StW, NLL] of the optimum.
/// Throws std::runtime_error as observed_to_p0 does, for inverted or NaN
/// bounds, and when a NaN value reaches the polish.
std::array<double, 3> fit_drift_one(std::span<const double> p0_observed,
                                    const RowMatrix& fit_observed, std::span<const double> fit_ages,
                                    std::span<const double> meth_bin_edges, Bounds st_bounds,
                                    std::optional<std::uint64_t> seed);

/// One drift fit per bootstrap sample, in parallel on the process-wide pool.
/// Sample b takes row b of p0_per_boot and rows b * n_fit_ages + k,
/// k < n_fit_ages, of fit_observed_per_boot, and is seeded with its run-wide
/// index first_sample + b (the stack may be one chunk of a longer run), so
/// every row of the result depends only on its own sample and index, never on
/// the thread count or the chunking. A sample that starts after Ctrl+C was pressed (interrupted())
/// is skipped and yields [NaN, NaN, NaN]; one that has started runs to its end.
/// Returns an (n_boot, 3) matrix of rows [StE, StW, NLL].
/// Throws std::runtime_error when either matrix has too few rows for n_boot
/// samples or the sample indices pass 2^53 (before any fit runs), and as
/// fit_drift_one does (the lowest failing sample's error).
RowMatrix fit_drift_bootstrap(const RowMatrix& p0_per_boot, const RowMatrix& fit_observed_per_boot,
                              std::uint64_t n_boot, std::uint64_t n_fit_ages,
                              std::span<const double> fit_ages,
                              std::span<const double> meth_bin_edges, Bounds st_bounds,
                              std::uint64_t first_sample = 0);

/// The model's binned distributions (floor 1e-10, renormalised) at each age
/// for rates StE, StW, starting from p0_observed: an (ages, n_meth_bins)
/// matrix. Throws std::runtime_error as observed_to_p0 does.
RowMatrix drift_predict(double StE, double StW, std::span<const double> p0_observed,
                        std::span<const double> ages, std::span<const double> meth_bin_edges);

}  // namespace velk
