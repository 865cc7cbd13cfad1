// The drift model: how one density bin's distribution of methylation levels
// moves with age when only spontaneous erasing (StE) and writing (StW) act.
//
// A distribution observed at age 0 is spread over the 71 macrostates, carried
// to each later age by exp(t Q) of the spontaneous-only generator Q, binned
// onto the methylation bins and scored against the fractions observed at that
// age.
//
// Why no matrix exponential is ever formed
// ----------------------------------------
// Without cooperative terms the 70 sites of a molecule evolve independently,
// each a two-state chain. Over an age t a methylated site stays methylated
// with probability keep = e^{-st} + StW f and is erased with probability
// lose = StE f; an unmethylated site is written with probability gain = StW f
// and stays with probability stay = e^{-st} + StE f, where s = StE + StW and
// f = (1 - e^{-st}) / s (-> t as s t -> 0). Starting from M methylated sites,
// the count after t is Binomial(M, keep) + Binomial(70 - M, gain), so
//
//     sum_k P_t[k] z^k = sum_M P0[M] (lose + keep z)^M (stay + gain z)^(70 - M).
//
// propagate() evaluates that polynomial with a Horner-like recurrence in about
// 20,000 flops per age, against roughly 71^3 * 10 for a Pade exponential. For
// non-negative rates and ages every term is a sum of non-negative products, so
// each probability comes out with a small relative error and nothing cancels,
// however large t times the rates is. The formulas hold algebraically for any
// real rates and ages, so negative values are evaluated as they are.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "row_matrix.hpp"
#include "velk_model.hpp"

namespace velk {

/// Floor of every binned drift probability before the logarithm (lower than
/// the steady-state floor: time courses resolve rarer bins).
inline constexpr double DRIFT_PROB_FLOOR = 1e-10;

/// The dense generator, 71 x 71, element (i, j) the rate from macrostate j to
/// macrostate i: StW (70 - M) at (M+1, M), StE M at (M-1, M), and each diagonal
/// 0 minus its column sum in row order. The propagation never needs it (it
/// depends only on the two rates); it is the reference for tests and for
/// callers that want the matrix itself. Never throws except std::bad_alloc.
RowMatrix build_q(double StE, double StW);

/// Initial distribution from the fractions observed at age 0: bin b's fraction
/// is spread evenly over the macrostates whose level M/70 lies in the bin
/// ([edges[b], edges[b+1]), the last bin closed), then the whole is normalised.
/// Bins that hold no macrostate, and fractions that are 0, negative or NaN,
/// contribute nothing; when nothing is left P0 is all zeros.
/// Throws std::runtime_error when meth_bin_edges is empty, or when
/// p0_observed has no entry for a bin that holds a macrostate.
Distribution observed_to_p0(std::span<const double> p0_observed,
                            std::span<const double> meth_bin_edges);

/// What happens to one site over one age (see the header comment).
struct SiteTransition {
  double keep;  ///< methylated -> methylated
  double lose;  ///< methylated -> unmethylated
  double gain;  ///< unmethylated -> methylated
  double stay;  ///< unmethylated -> unmethylated
};

/// The site probabilities for rates StE, StW over age t. Age 0 (and both
/// rates 0) give exactly the identity; NaN inputs give NaN. Never throws.
SiteTransition site_transition(double StE, double StW, double t) noexcept;

/// out = exp(t Q) P0 for the age whose site probabilities are given.
/// Allocates nothing. Never throws.
void propagate(const SiteTransition& site, const Distribution& P0, Distribution& out) noexcept;

/// exp(t Q) P0 for each age in order, each from P0 independently.
Distribution propagate_to_age(double StE, double StW, const Distribution& P0, double age) noexcept;
std::vector<Distribution> propagate_to_ages(double StE, double StW, const Distribution& P0,
                                            std::span<const double> ages);

/// Binned drift probabilities of p (n_meth_bins entries, empty for a single
/// edge): per-bin sums, each floored at DRIFT_PROB_FLOOR, then normalised.
/// Throws std::invalid_argument for no edges.
std::vector<double> drift_bin_probabilities(const Distribution& p,
                                            std::span<const double> meth_bin_edges);

/// The drift NLL of one data set, set up once per fit: the bin of every
/// macrostate is looked up, and the binned probabilities go to a scratch
/// buffer owned by this object, so an evaluation allocates nothing (and one
/// object serves one thread). Keeps references to `observed` and `ages`.
class DriftLikelihood {
 public:
  /// observed: one row of fractions per age; only the first
  /// min(rows, ages) pairs are scored. Throws std::invalid_argument for no edges.
  DriftLikelihood(const Distribution& P0, const RowMatrix& observed, std::span<const double> ages,
                  std::span<const double> meth_bin_edges);

  /// Starting from 0.0, subtracts observed[i][k] * ln(q_i[k]) for every scored
  /// age i and bin k < min(n_meth_bins, row length), in that order.
  double operator()(double StE, double StW) const noexcept;

 private:
  Distribution P0_;
  const RowMatrix& observed_;
  std::span<const double> ages_;
  std::size_t scored_ages_;
  BinLayout layout_;
  mutable std::vector<double> binned_;
};

/// The drift NLL at (StE, StW); same bits as DriftLikelihood.
/// Throws std::invalid_argument for no edges.
double nll_drift(const Distribution& P0, const RowMatrix& observed, std::span<const double> ages,
                 std::span<const double> meth_bin_edges, double StE, double StW);

}  // namespace velk
