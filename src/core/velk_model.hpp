// Steady-state model of CpG methylation on one molecule, its binning onto
// methylation-level bins and the cross-entropy likelihood of observed bins.
//
// A molecule carries NCPG = 70 CpG sites; the macrostate M counts the methylated
// ones. Sites are written (M -> M+1) and erased (M -> M-1) at spontaneous rates
// StW, StE and at cooperative rates CoW * b_w^n_M, CoE * b_e^n_U, optionally
// saturated at a Michaelis-Menten ceiling Vmax. The stationary distribution of
// this 71-state birth-death chain is what every fit evaluates, so it is the
// hottest code of the package.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace velk {

inline constexpr int NCPG = 70;
inline constexpr int kStates = NCPG + 1;
inline constexpr double PROB_FLOOR = 1e-8;
inline constexpr double kUniformProbability = 1.0 / 71.0;

/// Probabilities of the macrostates M = 0..70.
using Distribution = std::array<double, kStates>;

/// The exponent-dependent part of the cooperative drives: b^n for every base
/// the rate laws use. A fit whose exponents stay fixed computes this once and
/// reuses it for every evaluation (the values are the same bits as inline pow).
struct CooperativePowers {
  /// write[k] = b_w(k)^n_M for the target macrostate k = 1..70 (index 0 unused).
  std::array<double, kStates> write{};
  /// erase[k] = b_e(k)^n_U for the target macrostate k = 0..69 (index 70 unused).
  std::array<double, kStates> erase{};
};

/// b_w(k) = k/70, b_e(k) = 1 - k/70 (fraction base) or k and 70 - k
/// (raw-count base), raised to n_M and n_U with the C library pow.
CooperativePowers cooperative_powers(double n_U, double n_M, bool raw_count);

/// Transition rates of the chain. write[M] is the rate M -> M+1 (M = 0..69),
/// erase[M] is the rate M+1 -> M (M = 0..69).
struct TransitionRates {
  std::array<double, NCPG> write{};
  std::array<double, NCPG> erase{};
};

/// Rates for the given parameters. A cooperative drive D = C * b^n becomes
/// D / (D / Vmax + 1) when Vmax is finite; +-inf and NaN disable the ceiling.
TransitionRates transition_rates(double StE, double StW, double CoW, double CoE,
                                 const CooperativePowers& powers, double Vmax);

/// Stationary distribution of the chain.
///
/// The result reproduces, bit for bit, a dense LU solve with partial pivoting
/// of the generator whose last balance equation is replaced by the
/// normalisation row (uniform 1/71 when that solve meets an exactly zero
/// pivot). Because that solve is only normwise accurate, it is wrong by O(1)
/// for strongly bistable parameters; whenever it disagrees with the exact
/// detailed-balance solution of the chain by more than 1e-10 in any entry, the
/// detailed-balance solution is returned instead. Non-finite inputs propagate.
/// Reads the run-wide raw_count switch. Thread-safe; never throws.
Distribution solve_steady_state(double StE, double StW, double CoW, double CoE, double n_U,
                                double n_M, double Vmax);

/// Same, with the cooperative powers supplied by the caller (fixed exponents).
Distribution solve_steady_state(double StE, double StW, double CoW, double CoE,
                                const CooperativePowers& powers, double Vmax);

/// Same, from the transition rates.
Distribution solve_steady_state(const TransitionRates& rates);

/// The plain dense LU solve of the 71 x 71 system in the reference order of
/// operations, without the detailed-balance safeguard. Kept for the cases the
/// structured solve does not cover (non-finite, zero, negative or huge rates)
/// and as the yardstick of tests and benchmarks. About 20-50x slower.
Distribution solve_steady_state_dense(const TransitionRates& rates);

/// The structured solve alone (no detailed-balance safeguard, no dense
/// fallback). Only bit-identical to the dense solve for rates that are finite,
/// positive and at most 1e100; exposed for tests and benchmarks.
Distribution solve_steady_state_structured(const TransitionRates& rates);

/// Exact stationary distribution from detailed balance,
/// p[M+1] / p[M] = write[M] / erase[M], normalised. Requires every rate to be
/// finite and strictly positive (an irreducible chain); scaled so that no
/// intermediate overflows or underflows needlessly.
Distribution detailed_balance_distribution(const TransitionRates& rates);

/// Which methylation bin each macrostate level M/70 falls into, for one set of
/// bin edges. Bin j is [edges[j], edges[j+1]), the last bin is closed on both
/// sides; a level outside every bin (or in a gap of non-ascending edges) is
/// dropped. Throws std::invalid_argument for an empty edge sequence.
class BinLayout {
 public:
  explicit BinLayout(std::span<const double> meth_bin_edges);

  std::size_t bin_count() const noexcept { return bin_count_; }

  /// Binned probabilities of p into out (bin_count() entries): per-bin sums in
  /// ascending M, each floored at PROB_FLOOR, then divided by their ascending
  /// sum when that sum is positive. Allocates nothing.
  void bin(const Distribution& p, std::span<double> out) const noexcept { bin(p, out, PROB_FLOOR); }

  /// Same with another floor (the drift model scores with a lower one).
  void bin(const Distribution& p, std::span<double> out, double floor) const noexcept;

 private:
  std::size_t bin_count_ = 0;
  std::array<int, kStates> bin_of_{};  // -1: the level is dropped
};

/// Floors every probability at floor, then divides them by their ascending
/// sum when that sum is positive: the last step of every binning.
void floor_and_normalise(std::span<double> q, double floor) noexcept;

/// Largest amount by which a column of an observation matrix may sum above 1
/// (rounding in the caller's construction of it).
inline constexpr double kObservationSumTolerance = 1e-9;

/// Throws std::runtime_error naming `observation`, the density and the column
/// for an entry that is negative or not finite, or a column (macrostate M)
/// whose entries sum to more than 1 + kObservationSumTolerance. matrix is one
/// density's row-major (n_bins x 71) matrix; density only labels the message.
void check_observation(std::span<const double> matrix, std::size_t density);

/// The model's probabilities of the observed methylation bins.
///
/// Without an observation matrix every read sees all 70 sites, so the bins
/// are those of the levels M/70 (BinLayout). With one, a read sees a subset
/// of the sites and entry (j, M) of the row-major (n_bins x 71) matrix T is
/// the probability that a molecule with M methylated sites is observed in
/// bin j; the bins are then q = T p, summed in ascending M from 0.0, floored
/// and renormalised as the plain binning does. A 0/1 matrix that puts each M
/// in its level's bin gives the plain binning's bits. Set up once per fit:
/// evaluations allocate nothing and write only to out (thread-safe).
class ObservedBinning {
 public:
  /// Throws std::invalid_argument for an empty edge sequence, or an
  /// observation that is neither empty nor n_bins * 71 values.
  ObservedBinning(std::span<const double> meth_bin_edges, std::span<const double> observation);

  std::size_t bin_count() const noexcept { return layout_.bin_count(); }

  void bin(const Distribution& p, std::span<double> out) const noexcept;

 private:
  BinLayout layout_;
  // T by macrostate: 71 consecutive columns of bin_count() values padded with
  // zeros to stride_ (a whole number of blocks), so that the product adds one
  // contiguous column per M, a block of bins at a time in vector registers.
  // Empty for the plain binning.
  std::size_t stride_ = 0;
  std::vector<double> by_state_;
};

/// The observation matrices of a set of densities, stacked density after
/// density, each row-major (n_bins x 71). Default-constructed: no matrices,
/// every density is binned plainly. A view: the values belong to the caller.
class Observations {
 public:
  Observations() = default;
  /// Throws std::invalid_argument unless stacked holds whole matrices.
  Observations(std::span<const double> stacked, std::size_t n_bins);

  bool empty() const noexcept { return stacked_.empty(); }

  /// Density d's matrix, or an empty span when there are no matrices.
  std::span<const double> density(std::size_t d) const noexcept {
    if (stacked_.empty()) return {};
    return stacked_.subspan(d * matrix_size_, matrix_size_);
  }

  /// Throws std::invalid_argument when matrices are given but not exactly
  /// one per density.
  void require_densities(std::size_t n_densities) const;

 private:
  std::span<const double> stacked_;
  std::size_t matrix_size_ = 0;
};

/// Binned model probabilities of p on meth_bin_edges (n_meth_bins entries;
/// empty for a single edge), through the observation matrix when one is
/// given. Throws std::invalid_argument for no edges or a mis-sized matrix.
std::vector<double> bin_probabilities(const Distribution& p, std::span<const double> meth_bin_edges,
                                      std::span<const double> observation = {});

/// Cross-entropy of observed fractions against binned probabilities q:
/// starting from 0.0, subtract observed[i] * ln(q[i]) for the first
/// min(len q, len observed) bins in order.
double cross_entropy(std::span<const double> observed_fracs, std::span<const double> q) noexcept;

/// Spontaneous rates for one free rate St: normalize_stw fixes StW = 1 and
/// St is StE; otherwise StE = 1 and St is StW.
struct SpontaneousRates {
  double StE;
  double StW;
};
inline SpontaneousRates spontaneous_rates(bool normalize_stw, double St) noexcept {
  return normalize_stw ? SpontaneousRates{St, 1.0} : SpontaneousRates{1.0, St};
}

/// Negative log-likelihood of one density's observed fractions under the
/// model (rates on the linear scale), binned through the observation matrix
/// when one is given. Throws std::invalid_argument for an empty edge sequence
/// or a mis-sized matrix.
double nll(std::span<const double> observed_fracs, std::span<const double> meth_bin_edges,
           bool normalize_stw, double St, double CoW, double CoE, double n_U, double n_M,
           double Vmax, std::span<const double> observation = {});

/// The co_penalty term added to a density's NLL: penalty * (CoW + CoE) for a
/// positive penalty, -penalty * (log10 CoW + log10 CoE) for a negative one,
/// 0 for zero or NaN.
double co_penalty_term(double CoW, double CoE, double co_penalty) noexcept;

}  // namespace velk
