#include "fits/density_fits.hpp"

#include <cmath>

#include "fits/search_space.hpp"
#include "optimizer/bounds.hpp"
#include "optimizer/differential_evolution.hpp"
#include "run_state.hpp"

namespace velk {
DensityLikelihood::DensityLikelihood(const DensityData& data)
    : observed_fracs_(data.observed_fracs),
      normalize_stw_(data.normalize_stw),
      binning_(data.meth_bin_edges, data.observation),
      binned_(binning_.bin_count()) {}

double DensityLikelihood::operator()(double St, double CoW, double CoE, const CooperativePowers& powers,
                                     double Vmax) const noexcept {
  const auto [StE, StW] = spontaneous_rates(normalize_stw_, St);
  binning_.bin(solve_steady_state(StE, StW, CoW, CoE, powers, Vmax), binned_);
  return cross_entropy(observed_fracs_, binned_);
}

std::array<double, 4> fit_3param(const DensityData& data, std::optional<std::uint64_t> seed,
                                 double st_lo, double st_hi, double co_lo, double co_hi, double n_U,
                                 double n_M, double co_penalty) {
  const double Vmax = mm_vmax();
  const DensityLikelihood likelihood(data);
  // The exponents stay fixed for the whole fit: the 140 powers are computed once.
  const CooperativePowers powers = cooperative_powers(n_U, n_M, raw_count());
  const std::array<Bounds, 3> bounds{{{st_lo, st_hi}, log10_bounds({co_lo, co_hi}), log10_bounds({co_lo, co_hi})}};
  auto objective = [&](std::span<const double> x) {
    const double CoW = from_log10(x[1]);
    const double CoE = from_log10(x[2]);
    return penalised(likelihood(x[0], CoW, CoE, powers, Vmax), CoW, CoE, co_penalty);
  };
  const DifferentialEvolutionResult best = differential_evolution(objective, bounds, seed);
  const double St = best.x[0];
  const double CoW = from_log10(best.x[1]);
  const double CoE = from_log10(best.x[2]);
  const double nll_value = co_penalty == 0.0 ? best.value : likelihood(St, CoW, CoE, powers, Vmax);
  return {St, CoW, CoE, nll_value};
}

std::array<double, 6> fit_5param_n(const DensityData& data, std::uint64_t seed, double st_lo,
                                   double st_hi, double co_lo, double co_hi, double n_lo, double n_hi,
                                   double co_penalty) {
  const double Vmax = mm_vmax();
  const bool raw = raw_count();
  const DensityLikelihood likelihood(data);
  const std::array<Bounds, 5> bounds{{{st_lo, st_hi},
                                      log10_bounds({co_lo, co_hi}),
                                      log10_bounds({co_lo, co_hi}),
                                      {n_lo, n_hi},
                                      {n_lo, n_hi}}};
  auto objective = [&](std::span<const double> x) {
    const double CoW = from_log10(x[1]);
    const double CoE = from_log10(x[2]);
    const CooperativePowers powers = cooperative_powers(x[3], x[4], raw);
    return penalised(likelihood(x[0], CoW, CoE, powers, Vmax), CoW, CoE, co_penalty);
  };
  const DifferentialEvolutionResult best = differential_evolution(objective, bounds, seed);
  const double St = best.x[0];
  const double CoW = from_log10(best.x[1]);
  const double CoE = from_log10(best.x[2]);
  const double n_U = best.x[3];
  const double n_M = best.x[4];
  const double nll_value =
      co_penalty == 0.0 ? best.value
                        : likelihood(St, CoW, CoE, cooperative_powers(n_U, n_M, raw), Vmax);
  return {St, CoW, CoE, n_U, n_M, nll_value};
}

std::array<double, 3> fit_2param_n(const DensityData& data, std::optional<std::uint64_t> seed,
                                   double St, double co_lo, double co_hi, double n_U, double n_M,
                                   double Vmax, double co_penalty) {
  const DensityLikelihood likelihood(data);
  const CooperativePowers powers = cooperative_powers(n_U, n_M, raw_count());
  const std::array<Bounds, 2> bounds{{log10_bounds({co_lo, co_hi}), log10_bounds({co_lo, co_hi})}};
  auto objective = [&](std::span<const double> x) {
    const double CoW = from_log10(x[0]);
    const double CoE = from_log10(x[1]);
    return penalised(likelihood(St, CoW, CoE, powers, Vmax), CoW, CoE, co_penalty);
  };
  const DifferentialEvolutionResult best = differential_evolution(objective, bounds, seed);
  const double CoW = from_log10(best.x[0]);
  const double CoE = from_log10(best.x[1]);
  const double nll_value = co_penalty == 0.0 ? best.value : likelihood(St, CoW, CoE, powers, Vmax);
  return {CoW, CoE, nll_value};
}

std::array<double, 3> fit_2param_exp(const DensityData& data, std::uint64_t seed, double St,
                                     double CoW, double CoE, double n_lo, double n_hi, double Vmax) {
  const bool raw = raw_count();
  const DensityLikelihood likelihood(data);
  const std::array<Bounds, 2> bounds{{{n_lo, n_hi}, {n_lo, n_hi}}};
  auto objective = [&](std::span<const double> x) {
    return likelihood(St, CoW, CoE, cooperative_powers(x[0], x[1], raw), Vmax);
  };
  const DifferentialEvolutionResult best = differential_evolution(objective, bounds, seed);
  return {best.x[0], best.x[1], best.value};
}

std::array<double, 5> fit_4param_n(const DensityData& data, std::uint64_t seed, double St,
                                   double co_lo, double co_hi, double n_lo, double n_hi, double Vmax,
                                   double co_penalty) {
  const bool raw = raw_count();
  const DensityLikelihood likelihood(data);
  const std::array<Bounds, 4> bounds{
      {log10_bounds({co_lo, co_hi}), log10_bounds({co_lo, co_hi}), {n_lo, n_hi}, {n_lo, n_hi}}};
  auto objective = [&](std::span<const double> x) {
    const double CoW = from_log10(x[0]);
    const double CoE = from_log10(x[1]);
    return penalised(likelihood(St, CoW, CoE, cooperative_powers(x[2], x[3], raw), Vmax), CoW, CoE,
                     co_penalty);
  };
  const DifferentialEvolutionResult best = differential_evolution(objective, bounds, seed);
  const double CoW = from_log10(best.x[0]);
  const double CoE = from_log10(best.x[1]);
  const double n_U = best.x[2];
  const double n_M = best.x[3];
  const double nll_value =
      co_penalty == 0.0 ? best.value
                        : likelihood(St, CoW, CoE, cooperative_powers(n_U, n_M, raw), Vmax);
  return {CoW, CoE, n_U, n_M, nll_value};
}

double fit_1param(const DensityData& data, std::optional<std::uint64_t> seed, bool free_coe, double St,
                  double fixed_rate, double co_lo, double co_hi, double n_U, double n_M) {
  const double Vmax = mm_vmax();
  const DensityLikelihood likelihood(data);
  const CooperativePowers powers = cooperative_powers(n_U, n_M, raw_count());
  const std::array<Bounds, 1> bounds{{log10_bounds({co_lo, co_hi})}};
  auto objective = [&](std::span<const double> x) {
    const double free_rate = from_log10(x[0]);
    return free_coe ? likelihood(St, fixed_rate, free_rate, powers, Vmax)
                    : likelihood(St, free_rate, fixed_rate, powers, Vmax);
  };
  return differential_evolution(objective, bounds, seed).value;
}

}  // namespace velk
