// Bootstrap fits: every resampled data set of a bootstrap run fitted at once.
//
// The resamples arrive stacked: row b * n_densities + d holds sample b,
// density d. Every driver runs one parallel pass (per sample, or per
// (sample, density) pair), collects the rows of its items in index order and
// returns them as one matrix. An item that starts after Ctrl+C was pressed
// produces nothing; the caller then discards the partial result.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fits/sample_range.hpp"
#include "fits/shared_fits.hpp"
#include "optimizer/bounds.hpp"
#include "row_matrix.hpp"

namespace velk {

/// The stacked resamples, checked against the stated dimensions. Sample b of
/// the stack is sample first_sample + b of the run, and its row i is row
/// first_sample * n_densities + i (fits/sample_range.hpp).
class BootstrapSamples {
 public:
  /// Throws std::runtime_error when the array has fewer than
  /// n_boot * n_densities rows (rows beyond that are never read), and as
  /// check_sample_range does.
  BootstrapSamples(const RowMatrix& rows, std::uint64_t n_boot, std::uint64_t n_densities,
                   std::uint64_t first_sample = 0);

  std::size_t n_boot() const noexcept { return n_boot_; }
  std::size_t n_densities() const noexcept { return n_densities_; }
  std::size_t pairs() const noexcept { return n_boot_ * n_densities_; }

  /// The run-wide index of the stack's sample b.
  std::uint64_t sample_index(std::size_t b) const noexcept { return first_sample_ + b; }
  /// The run-wide index of the stack's row i: the seed of its fit.
  std::uint64_t row_index(std::size_t i) const noexcept { return first_sample_ * n_densities_ + i; }

  /// Row i = b * n_densities + d.
  std::span<const double> row(std::size_t i) const noexcept { return rows_.row(i); }
  /// The rows of sample b, in density order.
  std::vector<std::span<const double>> sample(std::size_t b) const;

 private:
  const RowMatrix& rows_;
  std::size_t n_boot_;
  std::size_t n_densities_;
  std::uint64_t first_sample_;
};

/// What every bootstrap fit shares.
struct BootstrapInputs {
  const BootstrapSamples& samples;
  std::span<const double> meth_bin_edges;
  bool normalize_stw;
  Bounds st;
  Bounds co;
  double co_penalty;
  DensityWeights weights;
  /// One observation matrix per density, shared by every sample (or none).
  Observations observations{};
};

// Every driver throws std::invalid_argument, before any work, when
// observation matrices are given but not one per density.

/// Three-parameter fits; rows [b, d, St, CoW, CoE, NLL]. Shared-St mode
/// (checked first): fit_shared_st_inner per sample. Fix-St mode: density 0
/// by fit_3param, the others by fit_2param_n at its St. Otherwise every pair
/// by fit_3param. Seeds are run-wide row indices, except in the shared-St
/// mode, whose inner fits take `seed` with the run-wide sample index (see
/// fit_shared_st_inner; no seed: fresh entropy). The other modes ignore `seed`.
RowMatrix fit_bootstrap(const BootstrapInputs& in, bool shared_st, bool fix_st, double n_U, double n_M,
                        std::optional<std::uint64_t> seed);

/// Shared-exponent fit per sample; rows [b, d, St, n_U, n_M, CoW, CoE, NLL, Vmax].
RowMatrix fit_bootstrap_exp(const BootstrapInputs& in, Bounds n_exp, bool fit_vmax, Bounds vmax,
                            std::optional<SharedExpStart> warm_start);

/// Shared St with per-density exponents per sample (shared_st), or
/// fit_5param_n per pair seeded by its run-wide row index; 9-column rows as
/// above.
RowMatrix fit_bootstrap_exp_perdensity(const BootstrapInputs& in, bool shared_st, Bounds n_exp,
                                       bool fit_vmax, Bounds vmax);

/// Global St, CoW, CoE fit per sample; 9-column rows as above.
RowMatrix fit_bootstrap_co(const BootstrapInputs& in, Bounds n_exp, std::optional<SharedCoStart> warm_start);

}  // namespace velk
