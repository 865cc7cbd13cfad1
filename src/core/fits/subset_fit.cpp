#include "fits/subset_fit.hpp"

#include <stdexcept>
#include <vector>

#include "fits/search_space.hpp"
#include "optimizer/differential_evolution.hpp"

namespace velk {
namespace {

constexpr unsigned kExponentColumns = (1u << kNU) | (1u << kNM);

double model_value(const FreeParameter& parameter, double x) noexcept {
  return parameter.scale == SearchScale::kLog10 ? from_log10(x) : x;
}

// Writes the coordinates' model values into their columns.
void place(std::span<const FreeParameter> free, std::span<const double> x, ParameterSet& parameters) noexcept {
  for (std::size_t j = 0; j < free.size(); ++j) {
    const double value = model_value(free[j], x[j]);
    for (std::size_t c = 0; c < kParameterColumns; ++c) {
      if ((free[j].columns >> c) & 1u) parameters[c] = value;
    }
  }
}

}  // namespace

SubsetFit fit_subset(const DensityData& data, std::optional<std::uint64_t> seed,
                     const ParameterSet& given, std::span<const FreeParameter> free, bool raw) {
  if (free.empty()) throw std::runtime_error("fit_subset: no free parameters to fit");
  const DensityLikelihood likelihood(data);

  std::vector<Bounds> bounds;
  bounds.reserve(free.size());
  unsigned free_columns = 0;
  for (const FreeParameter& parameter : free) {
    bounds.push_back(parameter.scale == SearchScale::kLog10 ? log10_bounds(parameter.bounds)
                                                            : parameter.bounds);
    free_columns |= parameter.columns;
  }
  // Fixed exponents: the 140 powers once for the whole fit (the same bits as
  // computing them at every evaluation).
  const bool exponents_free = (free_columns & kExponentColumns) != 0;
  const CooperativePowers fixed_powers =
      exponents_free ? CooperativePowers{} : cooperative_powers(given[kNU], given[kNM], raw);

  auto objective = [&](std::span<const double> x) {
    ParameterSet p = given;
    place(free, x, p);
    if (exponents_free) {
      return likelihood(p[kSt], p[kCoW], p[kCoE], cooperative_powers(p[kNU], p[kNM], raw), p[kVmax]);
    }
    return likelihood(p[kSt], p[kCoW], p[kCoE], fixed_powers, p[kVmax]);
  };
  const DifferentialEvolutionResult best = differential_evolution(objective, bounds, seed);
  SubsetFit fit{given, best.value};
  place(free, best.x, fit.parameters);
  return fit;
}

double subset_nll(const DensityData& data, const ParameterSet& p, bool raw) {
  const DensityLikelihood likelihood(data);
  return likelihood(p[kSt], p[kCoW], p[kCoE], cooperative_powers(p[kNU], p[kNM], raw), p[kVmax]);
}

}  // namespace velk
