// Per-density fits on a realistic row (10 methylation bins): fits per second
// of fit_3param and fit_5param_n, and the average cost of one objective
// evaluation inside each (the same objective, counted).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "fits/density_fits.hpp"
#include "optimizer/differential_evolution.hpp"
#include "run_state.hpp"
#include "velk_model.hpp"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
  std::vector<double> edges;
  for (int j = 0; j <= 10; ++j) edges.push_back(j / 10.0);
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<double> observed =
      velk::bin_probabilities(velk::solve_steady_state(0.3, 1.0, 4.0, 2.0, 2.0, 2.0, inf), edges);
  const velk::DensityData data{observed, edges, true};

  const int fits = 40;
  auto start = std::chrono::steady_clock::now();
  double sink = 0.0;
  for (int i = 0; i < fits; ++i) sink += velk::fit_3param(data, i, 0.01, 10.0, 0.01, 100.0, 2.0, 2.0, 0.0)[3];
  const double per_fit3 = seconds_since(start) / fits;
  start = std::chrono::steady_clock::now();
  for (int i = 0; i < fits / 4; ++i) {
    sink += velk::fit_5param_n(data, i, 0.01, 10.0, 0.01, 100.0, 1.0, 4.0, 0.0)[5];
  }
  const double per_fit5 = seconds_since(start) / (fits / 4);

  // The objectives of the two members, rebuilt here to count evaluations.
  const velk::DensityLikelihood likelihood(data);
  const velk::CooperativePowers powers = velk::cooperative_powers(2.0, 2.0, false);
  long evaluations3 = 0, evaluations5 = 0;
  const std::vector<velk::Bounds> bounds3{{0.01, 10.0}, {-2.0, 2.0}, {-2.0, 2.0}};
  start = std::chrono::steady_clock::now();
  for (int i = 0; i < fits; ++i) {
    sink += velk::differential_evolution(
                [&](std::span<const double> x) {
                  ++evaluations3;
                  return likelihood(x[0], std::pow(10.0, x[1]), std::pow(10.0, x[2]), powers, inf);
                },
                bounds3, static_cast<std::uint64_t>(i))
                .value;
  }
  const double per_eval3 = seconds_since(start) / static_cast<double>(evaluations3);
  const std::vector<velk::Bounds> bounds5{{0.01, 10.0}, {-2.0, 2.0}, {-2.0, 2.0}, {1.0, 4.0}, {1.0, 4.0}};
  start = std::chrono::steady_clock::now();
  for (int i = 0; i < fits / 4; ++i) {
    sink += velk::differential_evolution(
                [&](std::span<const double> x) {
                  ++evaluations5;
                  return likelihood(x[0], std::pow(10.0, x[1]), std::pow(10.0, x[2]),
                                    velk::cooperative_powers(x[3], x[4], false), inf);
                },
                bounds5, static_cast<std::uint64_t>(i))
                .value;
  }
  const double per_eval5 = seconds_since(start) / static_cast<double>(evaluations5);

  std::printf("fit_3param:   %8.2f ms per fit  %7.1f fits/s   %6.0f evaluations/fit  %5.2f us/evaluation\n",
              per_fit3 * 1e3, 1.0 / per_fit3, static_cast<double>(evaluations3) / fits, per_eval3 * 1e6);
  std::printf("fit_5param_n: %8.2f ms per fit  %7.1f fits/s   %6.0f evaluations/fit  %5.2f us/evaluation\n",
              per_fit5 * 1e3, 1.0 / per_fit5, static_cast<double>(evaluations5) / (fits / 4), per_eval5 * 1e6);
  return sink == 12345.0;
}
