// Profile likelihoods: the best NLL attainable with one parameter held at each
// value of a caller's grid and the others re-fitted.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "row_matrix.hpp"
#include "velk_model.hpp"

namespace velk {

/// Summed, weighted NLL of all densities at every St of st_grid, CoW and CoE
/// re-fitted per density (fit_2param_n, no penalty, Vmax = mm_vmax() read
/// once). Every (grid point, density) pair is one parallel job; each total is
/// summed from 0.0 in density order. weights: one per density (extra entries
/// ignored), or none for all ones.
/// seed: none draws fresh entropy for every job; with a seed, density d is
///   fitted with run_seed(seed, 0, d) at every grid point, the seeds the
///   shared-St fit gives its inner fits, so each total is that fit's outer
///   objective at the grid's St (seeds.hpp).
/// Throws std::runtime_error when weights are shorter than the densities.
/// Both profiles bin each density through its observation matrix when
/// matrices are given (std::invalid_argument unless one per density).
std::vector<double> profile_shared_st(const RowMatrix& observed_rows, std::span<const double> meth_bin_edges,
                                      bool normalize_stw, std::span<const double> st_grid, double co_lo,
                                      double co_hi, double n_U, double n_M,
                                      std::optional<std::span<const double>> weights,
                                      std::optional<std::uint64_t> seed, Observations observations = {});

/// Per-density NLL with CoW held at each cow_grid value (CoE re-fitted), and
/// with CoE held at each coe_grid value (CoW re-fitted), St fixed at shared_st
/// (fit_1param). Shapes (densities, len(cow_grid)) and (densities, len(coe_grid)).
/// seed: none draws fresh entropy for every fit; with a seed, every fit of
/// density d is seeded with run_seed(seed, 0, d) (seeds.hpp).
struct CoProfiles {
  RowMatrix cow_nll;
  RowMatrix coe_nll;
};
CoProfiles profile_shared_co(const RowMatrix& observed_rows, std::span<const double> meth_bin_edges,
                             bool normalize_stw, double shared_st, std::span<const double> cow_grid,
                             std::span<const double> coe_grid, double co_lo, double co_hi, double n_U,
                             double n_M, std::optional<std::uint64_t> seed, Observations observations = {});

}  // namespace velk
