// Shared-parameter fits: some parameters are common to every density bin and
// are searched by an outer minimiser, while each density's own parameters are
// re-fitted, in parallel, inside every outer evaluation (a "per-density pass").
//
// The four cores differ in what they share (outer search) and what each
// density fits for itself:
//   fit_shared_st_inner                 St; CoW, CoE per density (Brent, ln St)
//   fit_shared_exp_inner                St, n_U, n_M [, Vmax]; CoW, CoE per density
//                                       (Nelder-Mead multi-start)
//   fit_shared_st_perdensity_exp_inner  St [, Vmax]; CoW, CoE, n_U, n_M per density
//                                       (Brent, or one Nelder-Mead run with Vmax)
//   fit_shared_co_inner                 St, CoW, CoE; n_U, n_M per density
//                                       (Nelder-Mead multi-start)
//
// Every core may run on a pool worker (the bootstraps call them once per
// resampled data set): they keep no state outside the call, their passes nest
// on the one pool, and the per-density fits are seeded by density index (the
// shared-St fit's inner fits draw fresh seeds unless the caller gives a seed),
// so the outer objective is a deterministic function of the shared parameters
// whatever the thread count. Weighted NLLs are summed after the join, in
// density order, from -0.0.
//
// Every core takes the densities' observation matrices (one per row, or none
// for the plain binning; velk_model.hpp) and throws std::invalid_argument,
// before any work, when matrices are given but not one per row.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "optimizer/bounds.hpp"
#include "velk_model.hpp"

namespace velk {

/// The observed rows of one data set: one span of per-bin fractions per density.
using DensityRows = std::span<const std::span<const double>>;

/// Per-density weights of the outer objective; std::nullopt means all 1.0.
/// Entries beyond the number of densities are ignored.
using DensityWeights = std::optional<std::span<const double>>;

/// Shared St; per density [CoW, CoE, NLL] at that St.
struct SharedStFit {
  double St;
  std::vector<std::array<double, 3>> densities;
};

/// Shared St, n_U, n_M, Vmax; per density [CoW, CoE, NLL].
struct SharedExpFit {
  double St;
  double n_U;
  double n_M;
  double Vmax;
  std::vector<std::array<double, 3>> densities;
};

/// Shared St and Vmax; per density [CoW, CoE, n_U, n_M, NLL].
struct SharedStPerDensityExpFit {
  double St;
  double Vmax;
  std::vector<std::array<double, 5>> densities;
};

/// Shared St, CoW, CoE; per density [n_U, n_M, NLL].
struct SharedCoFit {
  double St;
  double CoW;
  double CoE;
  std::vector<std::array<double, 3>> densities;
};

/// Warm start of the shared-exponent fit, linear values: St, n_U, n_M, Vmax.
using SharedExpStart = std::array<double, 4>;
/// Warm start of the global co fit, linear values: St, CoW, CoE.
using SharedCoStart = std::array<double, 3>;

/// Fits one St shared by all densities, with CoW and CoE fitted per density by
/// fit_2param_n. The outer search is Brent over ln St in [ln st.lo, ln st.hi];
/// Vmax is mm_vmax(), read by each per-density fit. Writes no log and never
/// reads the interruption flag.
/// In: rows, meth_bin_edges, normalize_stw, weights; st and co bounds (linear);
///   fixed exponents n_U, n_M; co_penalty passed to every per-density fit.
/// seed: none draws fresh entropy for every per-density fit, so repeated calls
///   may differ slightly. With a seed, density d is fitted with
///   run_seed(seed, sample, d) at every evaluation (seeds.hpp); sample is the
///   run-wide bootstrap sample index, 0 outside bootstraps.
/// Out: St* and, from a final pass at St*, each density's unweighted row.
/// Throws std::runtime_error when weights are shorter than rows, or when
///   st_bounds has a non-positive, infinite or NaN end or low > high (before
///   any work); errors of the per-density fits (bad co bounds) pass through.
SharedStFit fit_shared_st_inner(DensityRows rows, std::span<const double> meth_bin_edges,
                                bool normalize_stw, DensityWeights weights, Bounds st, Bounds co,
                                double n_U, double n_M, double co_penalty,
                                std::optional<std::uint64_t> seed, std::uint64_t sample = 0,
                                Observations observations = {});

/// Fits St, n_U, n_M (and Vmax when fit_vmax) shared by all densities, with
/// CoW and CoE fitted per density by fit_2param_n seeded with the density
/// index. Outer search: Nelder-Mead multi-start over (log10 St, n_U, n_M
/// [, log10 Vmax]) from five cold starts, or from the warm start clamped into
/// the bounds. Vmax is mm_vmax(), read once, unless fitted.
/// Once the interruption flag is set every outer evaluation returns +inf
/// at once, no new start begins, and the final pass still runs at the best
/// point so far; the caller reports the interruption.
/// verbose: start, converged, per-evaluation and best lines on standard error.
/// Throws std::runtime_error for short weights (before any work); for an St,
///   exponent or Vmax pair with low > high or a NaN end, when it is first
///   clamped against (the Vmax pair is checked on a warm start even without
///   fit_vmax); for a NaN outer objective value. Errors of the per-density
///   fits pass through.
SharedExpFit fit_shared_exp_inner(DensityRows rows, std::span<const double> meth_bin_edges,
                                  bool normalize_stw, bool fit_vmax, DensityWeights weights,
                                  Bounds st, Bounds co, Bounds n_exp, Bounds vmax,
                                  double co_penalty, bool verbose,
                                  std::optional<SharedExpStart> warm_start,
                                  Observations observations = {});

/// Fits one St (and, when fit_vmax, one Vmax) shared by all densities, with
/// CoW, CoE, n_U, n_M fitted per density by fit_4param_n seeded with the
/// density index. Without fit_vmax: Brent over ln St, Vmax = mm_vmax() read
/// once, the interruption flag ignored. With fit_vmax: one Nelder-Mead run
/// over (log10 St, log10 Vmax) from the middle of the box, whose evaluations
/// return +inf once the interruption flag is set. Writes no log.
/// Throws std::runtime_error for short weights; on the Brent path for an
///   st_bounds end that is non-positive, infinite or NaN, or low > high (all
///   before any work); on the simplex path for inverted or NaN St or Vmax
///   bounds and for a NaN outer objective value.
SharedStPerDensityExpFit fit_shared_st_perdensity_exp_inner(
    DensityRows rows, std::span<const double> meth_bin_edges, bool normalize_stw, bool fit_vmax,
    DensityWeights weights, Bounds st, Bounds co, Bounds n_exp, Bounds vmax, double co_penalty,
    Observations observations = {});

/// Fits St, CoW and CoE shared by all densities, with n_U and n_M fitted per
/// density by fit_2param_exp seeded with the density index; Vmax = mm_vmax()
/// read once. Outer search: Nelder-Mead multi-start over log10 (St, CoW, CoE)
/// from seven cold starts, or from the warm start clamped into the bounds. The
/// outer objective adds co_penalty's term on the shared CoW and CoE once; the
/// reported per-density NLLs carry neither weight nor penalty.
/// Interruption, logging and errors as for fit_shared_exp_inner (St and co
/// bounds are the ones clamped against).
SharedCoFit fit_shared_co_inner(DensityRows rows, std::span<const double> meth_bin_edges,
                                bool normalize_stw, DensityWeights weights, Bounds st, Bounds co,
                                Bounds n_exp, double co_penalty, bool verbose,
                                std::optional<SharedCoStart> warm_start,
                                Observations observations = {});

}  // namespace velk
