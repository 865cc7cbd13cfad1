// Differential evolution: the global minimiser behind every bounded
// per-density fit, finished by a Nelder-Mead polish.
//
// The recipe is fixed (best/1 mutation, binomial crossover, randomised
// bounce-back at the box edges, greedy in-place replacement) and so is the
// order of every random draw, so that a seed replays to the same fit on every
// run, thread count and platform.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "optimizer/bounds.hpp"
#include "optimizer/nelder_mead.hpp"
#include "rng.hpp"

namespace velk {

namespace differential_evolution_constants {
inline constexpr std::size_t kMembersPerParameter = 15;  // NP = 15 * D
inline constexpr double kCrossoverRate = 0.7;
inline constexpr int kMaxGenerations = 1000;
inline constexpr double kRelativeSpreadTolerance = 1e-8;  // on sd(values) / |mean(values)|
}  // namespace differential_evolution_constants

/// Minimising point of a run and its objective value.
struct DifferentialEvolutionResult {
  std::vector<double> x;
  double value;
};

/// Minimises `objective` over the box `bounds` by differential evolution,
/// then polishes the best member with Nelder-Mead (polish settings, one start,
/// no interruption check, no logging).
///
/// objective: callable as `double(std::span<const double>)` on D = bounds.size()
///   coordinates, called on this thread only, one call at a time; it must not
///   keep the span. NaN values never replace a member.
/// bounds: D >= 1 (lo, hi) pairs; the initial population is drawn from them
///   unchecked, the first clamp of a mutated component checks them.
/// seed: replayable stream from this seed, or operating-system entropy when empty.
/// Returns the polished point and its value as the objective returned it.
/// Throws std::runtime_error when bounds is empty; when a pair has lo > hi or a
///   NaN end (text shows both bounds); when the polish meets a NaN value
///   ("a comparison found no order"), which a NaN best member always causes;
///   when no entropy is available for an unseeded run. Exceptions of the
///   objective pass through.
template <class Objective>
DifferentialEvolutionResult differential_evolution(Objective&& objective,
                                                   std::span<const Bounds> bounds,
                                                   std::optional<std::uint64_t> seed) {
  namespace k = differential_evolution_constants;
  const std::size_t dim = bounds.size();
  if (dim == 0) throw std::runtime_error("differential evolution: no parameters to fit");
  const std::size_t np = k::kMembersPerParameter * dim;

  ChaCha8 rng = seed ? ChaCha8::seed_from_u64(*seed) : ChaCha8::from_entropy();

  // The whole working set, allocated once per call.
  std::vector<double> population(np * dim);
  std::vector<double> values(np);
  std::vector<double> trial(dim);
  auto member = [&](std::size_t i) { return std::span<double>(population.data() + i * dim, dim); };

  // Initial population, member by member, parameter by parameter.
  for (std::size_t i = 0; i < np; ++i) {
    auto x = member(i);
    for (std::size_t j = 0; j < dim; ++j) {
      x[j] = bounds[j].lo + (bounds[j].hi - bounds[j].lo) * rng.uniform_double();
    }
  }
  for (std::size_t i = 0; i < np; ++i) values[i] = objective(std::span<const double>(member(i)));

  // Best member: first strictly smallest value (a NaN member 0 stays best).
  std::size_t best = 0;
  double f_best = values[0];
  for (std::size_t i = 1; i < np; ++i) {
    if (values[i] < f_best) {
      best = i;
      f_best = values[i];
    }
  }

  for (int generation = 0;; ++generation) {
    const double mutation = 0.5 * rng.uniform_double() + 0.5;

    for (std::size_t i = 0; i < np; ++i) {
      std::size_t r1 = rng.uniform_index(np);
      while (r1 == i || r1 == best) r1 = rng.uniform_index(np);
      std::size_t r2 = rng.uniform_index(np);
      while (r2 == r1 || r2 == i || r2 == best) r2 = rng.uniform_index(np);
      const std::size_t j_rand = rng.uniform_index(dim);

      const auto x_i = member(i);
      const auto x_best = member(best);
      const auto x_r1 = member(r1);
      const auto x_r2 = member(r2);
      for (std::size_t j = 0; j < dim; ++j) {
        // U_j is drawn for every j, even j_rand, to keep the stream aligned.
        const double u = rng.uniform_double();
        if (j == j_rand || u < k::kCrossoverRate) {
          const double lo = bounds[j].lo;
          const double hi = bounds[j].hi;
          double v = x_best[j] + mutation * (x_r1[j] - x_r2[j]);
          // Bounce back between the edge and the target's own component.
          if (v < lo) v = lo + rng.uniform_double() * (x_i[j] - lo);
          if (v > hi) v = hi - rng.uniform_double() * (hi - x_i[j]);
          trial[j] = clamp_to_bounds(v, bounds[j]);
        } else {
          trial[j] = x_i[j];
        }
      }

      // Greedy replacement, immediately visible to later targets; ties replace.
      const double f_trial = objective(std::span<const double>(trial));
      if (f_trial <= values[i]) {
        std::copy(trial.begin(), trial.end(), x_i.begin());
        values[i] = f_trial;
        if (f_trial < f_best) {
          best = i;
          f_best = f_trial;
        }
      }
    }

    // Convergence: relative spread of the values. A zero or NaN mean skips the
    // test, and a NaN ratio never passes it.
    double sum = 0.0;
    for (const double f : values) sum += f;
    const double mean = sum / static_cast<double>(np);
    if (mean != 0.0 && !std::isnan(mean)) {
      double squares = 0.0;
      for (const double f : values) {
        const double deviation = f - mean;
        squares += deviation * deviation;
      }
      const double sd = std::sqrt(squares / static_cast<double>(np));
      if (sd / std::abs(mean) < k::kRelativeSpreadTolerance) break;
    }
    if (generation == k::kMaxGenerations - 1) break;
  }

  NelderMeadResult polished = nelder_mead_minimize(objective, std::span<const double>(member(best)),
                                                   bounds, NelderMeadSettings::polish());
  return {std::move(polished.x), polished.value};
}

}  // namespace velk
