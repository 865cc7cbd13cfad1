// The per-density fit family: bounded fits of one density bin's observed
// fractions with one to five free parameters, by differential evolution.
//
// Every fit of the package is built from these members. Rates CoW and CoE are
// searched as log10 values and evaluated at 10^x; St and the exponents are
// searched linearly. Each member returns a fit row: the free parameters in
// model units followed by the unpenalised NLL.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "velk_model.hpp"

namespace velk {

/// One density bin's data, as every member reads it.
struct DensityData {
  std::span<const double> observed_fracs;
  std::span<const double> meth_bin_edges;
  bool normalize_stw;
  /// The density's observation matrix (ObservedBinning); empty: plain binning.
  std::span<const double> observation{};
};

/// The NLL of one density, set up once per fit so that each evaluation
/// allocates nothing: the bin of every macrostate is looked up, not searched
/// (or the observation matrix is laid out for the product once), and the
/// binned probabilities go to a scratch buffer owned by this object (so one
/// object serves one thread). Same bits as `nll`.
class DensityLikelihood {
 public:
  /// Throws std::invalid_argument for an empty edge sequence or a mis-sized
  /// observation matrix.
  explicit DensityLikelihood(const DensityData& data);

  double operator()(double St, double CoW, double CoE, const CooperativePowers& powers,
                    double Vmax) const noexcept;

 private:
  std::span<const double> observed_fracs_;
  bool normalize_stw_;
  ObservedBinning binning_;
  mutable std::vector<double> binned_;
};

/// NLL plus the co_penalty term of CoW and CoE.
inline double penalised(double nll_value, double CoW, double CoE, double co_penalty) noexcept {
  return nll_value + co_penalty_term(CoW, CoE, co_penalty);
}

/// Free St (linear), CoW, CoE (log10); n_U, n_M fixed; Vmax = mm_vmax() read
/// once. Row [St, CoW, CoE, NLL].
std::array<double, 4> fit_3param(const DensityData& data, std::optional<std::uint64_t> seed,
                                 double st_lo, double st_hi, double co_lo, double co_hi, double n_U,
                                 double n_M, double co_penalty);

/// Free St, CoW, CoE, n_U, n_M; Vmax = mm_vmax() read once.
/// Row [St, CoW, CoE, n_U, n_M, NLL].
std::array<double, 6> fit_5param_n(const DensityData& data, std::uint64_t seed, double st_lo,
                                   double st_hi, double co_lo, double co_hi, double n_lo, double n_hi,
                                   double co_penalty);

/// Free CoW, CoE; St, n_U, n_M, Vmax given. Row [CoW, CoE, NLL].
std::array<double, 3> fit_2param_n(const DensityData& data, std::optional<std::uint64_t> seed,
                                   double St, double co_lo, double co_hi, double n_U, double n_M,
                                   double Vmax, double co_penalty);

/// Free n_U, n_M (linear); St, CoW, CoE, Vmax given; bare NLL.
/// Row [n_U, n_M, NLL].
std::array<double, 3> fit_2param_exp(const DensityData& data, std::uint64_t seed, double St,
                                     double CoW, double CoE, double n_lo, double n_hi, double Vmax);

/// Free CoW, CoE, n_U, n_M; St, Vmax given. Row [CoW, CoE, n_U, n_M, NLL].
std::array<double, 5> fit_4param_n(const DensityData& data, std::uint64_t seed, double St,
                                   double co_lo, double co_hi, double n_lo, double n_hi, double Vmax,
                                   double co_penalty);

/// One free cooperative rate (log10): CoE when free_coe, else CoW; the other
/// rate is fixed_rate. Vmax = mm_vmax(); bare NLL. Returns the NLL.
double fit_1param(const DensityData& data, std::optional<std::uint64_t> seed, bool free_coe, double St,
                  double fixed_rate, double co_lo, double co_hi, double n_U, double n_M);

// All members throw std::runtime_error for inverted or NaN bounds (after the
// log10 mapping of rate bounds) and when a NaN value reaches the polish.

}  // namespace velk
