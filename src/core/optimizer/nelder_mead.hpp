// Bounded Nelder-Mead simplex minimiser and the multi-start driver of the
// shared-parameter fits.
//
// Every trial point is clamped into the box, so the objective never sees a
// point outside it (only the caller's own start point may lie outside). The
// arithmetic is written out in one fixed order (centroid summed from 0.0 in
// sorted order and divided by n, c + (c - x_w), ...) so that a run replays bit
// for bit on every platform.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "log.hpp"
#include "optimizer/bounds.hpp"
#include "run_state.hpp"

namespace velk {

/// Stopping settings of one Nelder-Mead run.
struct NelderMeadSettings {
  double spread_tolerance;  // stop when f(worst) - f(best) < spread_tolerance
  bool stagnation_rule;     // stop after a long run of iterations without real progress
  int max_steps;            // simplex steps before giving up (not an error)

  /// Outer searches of the shared-parameter fits: every evaluation is a full
  /// per-density pass, so they stop early on a loose spread or on stagnation.
  static constexpr NelderMeadSettings shared_fit() noexcept { return {1e-4, true, 200}; }
  /// Local polish after differential evolution: cheap objective, tight spread.
  static constexpr NelderMeadSettings polish() noexcept { return {1e-10, false, 2000}; }
};

namespace nelder_mead_constants {
inline constexpr double kRelativeStep = 0.05;        // initial step, times the coordinate
inline constexpr double kZeroStep = 0.00025;         // initial step of a (near) zero coordinate
inline constexpr double kZeroThreshold = 1e-10;      // |x| at or below this counts as zero
inline constexpr double kExpansion = 2.0;
inline constexpr double kContraction = 0.5;
inline constexpr double kShrink = 0.5;
inline constexpr double kStagnationImprovement = 1e-3;  // smaller gains do not count as progress
inline constexpr int kStallLimit = 49;                  // the 50th iteration without progress stops
}  // namespace nelder_mead_constants

/// Best vertex of a run and its objective value.
struct NelderMeadResult {
  std::vector<double> x;
  double value;
};

namespace detail {

[[noreturn]] inline void throw_unordered_simplex() {
  throw std::runtime_error(
      "Nelder-Mead: objective values cannot be ordered: a comparison found no order (NaN)");
}

}  // namespace detail

/// Minimises `objective` inside the box `bounds` from the start point `x0`.
///
/// objective: callable as `double(std::span<const double>)` on a point of
///   x0.size() coordinates; it must not keep the span. +inf is a poor value.
/// x0: start point, used as given (not clamped); it is vertex 0 of the
///   initial simplex, the other vertices move one coordinate each by 5 % of its
///   value (0.00025 when it is at most 1e-10 in magnitude), clamped.
/// bounds: one (lo, hi) pair per coordinate.
/// settings: NelderMeadSettings::shared_fit() or NelderMeadSettings::polish().
/// Returns the vertex with the smallest value (the earliest-created on ties)
/// and that value as evaluated; nothing is logged and the interruption flag is
/// not read.
/// Throws std::runtime_error when bounds.size() != x0.size(); when a clamp
///   meets a pair with lo > hi or a NaN end; when the simplex holds a NaN value
///   at the time it is ordered ("a comparison found no order"). Exceptions of
///   the objective pass through.
template <class Objective>
NelderMeadResult nelder_mead_minimize(Objective&& objective, std::span<const double> x0,
                                      std::span<const Bounds> bounds,
                                      const NelderMeadSettings& settings) {
  namespace k = nelder_mead_constants;
  const std::size_t n = x0.size();
  if (bounds.size() != n) {
    throw std::runtime_error("Nelder-Mead: start point has " + std::to_string(n) +
                             " coordinates but " + std::to_string(bounds.size()) +
                             " bounds were given");
  }

  // Everything is allocated here, once: vertices row by row in creation order.
  std::vector<double> vertices((n + 1) * n);
  std::vector<double> values(n + 1);
  std::vector<std::size_t> order(n + 1);
  std::vector<double> centroid(n), reflected(n), trial(n);
  auto vertex = [&](std::size_t i) { return std::span<double>(vertices.data() + i * n, n); };
  auto evaluate = [&](std::span<const double> point) -> double { return objective(point); };

  // Initial simplex: only the perturbed coordinate is clamped.
  std::copy(x0.begin(), x0.end(), vertex(0).begin());
  for (std::size_t j = 1; j <= n; ++j) {
    auto v = vertex(j);
    std::copy(x0.begin(), x0.end(), v.begin());
    const double x = x0[j - 1];
    const double moved =
        std::abs(x) > k::kZeroThreshold ? x + k::kRelativeStep * x : x + k::kZeroStep;
    v[j - 1] = clamp_to_bounds(moved, bounds[j - 1]);
  }
  for (std::size_t i = 0; i <= n; ++i) values[i] = evaluate(vertex(i));

  double prev_best = std::numeric_limits<double>::infinity();
  for (const double f : values) {
    if (f < prev_best) prev_best = f;  // NaN values never count
  }
  int stall = 0;
  int steps = 0;

  auto clamp_point = [&](std::span<double> point) {
    for (std::size_t c = 0; c < n; ++c) point[c] = clamp_to_bounds(point[c], bounds[c]);
  };
  auto result_of = [&](std::size_t i) {
    const auto v = vertex(i);
    return NelderMeadResult{std::vector<double>(v.begin(), v.end()), values[i]};
  };
  auto replace_worst = [&](std::size_t w, std::span<const double> point, double f) {
    std::copy(point.begin(), point.end(), vertex(w).begin());
    values[w] = f;
  };

  for (;;) {
    // Order (stable: equal values keep creation order). A NaN has no place in
    // the order, so it ends the run instead of silently steering it.
    for (const double f : values) {
      if (std::isnan(f)) detail::throw_unordered_simplex();
    }
    for (std::size_t i = 0; i <= n; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t l, std::size_t r) { return values[l] < values[r]; });
    const std::size_t b = order[0];
    const std::size_t w = order[n];
    const std::size_t s = order[n == 0 ? 0 : n - 1];

    // Stagnation test. On a +inf plateau prev_best - f[b] is NaN, which counts
    // as no progress, so an interrupted fit winds down here.
    if (settings.stagnation_rule) {
      if (prev_best - values[b] > k::kStagnationImprovement) {
        prev_best = values[b];
        stall = 0;
      } else {
        if (stall >= k::kStallLimit) return result_of(b);
        ++stall;
      }
    }

    // Convergence test.
    if (values[w] - values[b] < settings.spread_tolerance) return result_of(b);

    ++steps;

    // Centroid of every vertex but the worst, summed in sorted order.
    for (std::size_t c = 0; c < n; ++c) {
      double sum = 0.0;
      for (std::size_t rank = 0; rank < n; ++rank) sum += vertex(order[rank])[c];
      centroid[c] = sum / static_cast<double>(n);
    }
    const auto x_w = vertex(w);

    // Reflection.
    for (std::size_t c = 0; c < n; ++c) reflected[c] = centroid[c] + (centroid[c] - x_w[c]);
    clamp_point(reflected);
    const double f_r = evaluate(reflected);

    if (f_r < values[s] && f_r >= values[b]) {
      replace_worst(w, reflected, f_r);
    } else if (f_r < values[b]) {
      // Expansion.
      for (std::size_t c = 0; c < n; ++c) {
        trial[c] = centroid[c] + k::kExpansion * (reflected[c] - centroid[c]);
      }
      clamp_point(trial);
      const double f_e = evaluate(trial);
      if (f_e < f_r) {
        replace_worst(w, trial, f_e);
      } else {
        replace_worst(w, reflected, f_r);
      }
    } else {
      // Inside contraction; there is no outside contraction.
      for (std::size_t c = 0; c < n; ++c) {
        trial[c] = centroid[c] + k::kContraction * (x_w[c] - centroid[c]);
      }
      clamp_point(trial);
      const double f_k = evaluate(trial);
      if (f_k < values[w]) {
        replace_worst(w, trial, f_k);
      } else {
        // Shrink towards the best vertex, in sorted order. Vertex b itself
        // is never written, so it needs no copy.
        const auto x_b = vertex(b);
        for (std::size_t rank = 1; rank <= n; ++rank) {
          const std::size_t i = order[rank];
          auto x_i = vertex(i);
          for (std::size_t c = 0; c < n; ++c) x_i[c] = x_b[c] + k::kShrink * (x_i[c] - x_b[c]);
          clamp_point(x_i);
          values[i] = evaluate(x_i);
        }
      }
    }

    if (steps >= settings.max_steps) {
      // Smallest value in creation order, the first one on ties; a plain
      // scan, so a NaN vertex is never preferred over a number.
      std::size_t best = 0;
      for (std::size_t i = 1; i <= n; ++i) {
        if (values[i] < values[best]) best = i;
      }
      return result_of(best);
    }
  }
}

/// Best point over the starts of a multi-start run.
struct MultiStartResult {
  std::vector<double> x;
  double value;
  std::size_t best_start;  // 1-based; 0 when no start improved on +inf
};

/// Runs nelder_mead_minimize (shared-fit settings) from each start point in
/// order and keeps the best result; an earlier start wins a tie.
///
/// objective, bounds: as for nelder_mead_minimize; every start must have
///   bounds.size() coordinates.
/// starts: the ordered start points.
/// verbose: when true, each of the three lines below is written whole to
///   standard error; when false nothing at all is written.
/// start_line(std::size_t i, std::size_t count, std::span<const double> x0),
/// converged_line(std::size_t i, std::span<const double> x, double value),
/// best_line(std::size_t best_start, double best_value): callables returning
///   the complete std::string line (with its newline); `i` is 1-based.
/// The interruption flag is checked before each start: once it is set no new
/// start begins, and the best line is still written.
/// Returns the best point, its value and its 1-based start number; when no
/// start improved on +inf, the first start point with +inf and start 0.
/// Throws what nelder_mead_minimize, the objective and the line callables throw.
template <class Objective, class StartLine, class ConvergedLine, class BestLine>
MultiStartResult nelder_mead_multi_start(Objective&& objective,
                                         std::span<const std::vector<double>> starts,
                                         std::span<const Bounds> bounds, bool verbose,
                                         StartLine&& start_line, ConvergedLine&& converged_line,
                                         BestLine&& best_line) {
  MultiStartResult best{starts.empty() ? std::vector<double>{} : starts.front(),
                        std::numeric_limits<double>::infinity(), 0};
  const std::size_t count = starts.size();
  for (std::size_t i = 1; i <= count; ++i) {
    if (interrupted()) break;
    const std::vector<double>& x0 = starts[i - 1];
    if (verbose) write_stderr_line(start_line(i, count, std::span<const double>(x0)));
    NelderMeadResult run =
        nelder_mead_minimize(objective, x0, bounds, NelderMeadSettings::shared_fit());
    if (verbose) {
      write_stderr_line(converged_line(i, std::span<const double>(run.x), run.value));
    }
    if (run.value < best.value) best = MultiStartResult{std::move(run.x), run.value, i};
  }
  if (verbose) write_stderr_line(best_line(best.best_start, best.value));
  return best;
}

}  // namespace velk
