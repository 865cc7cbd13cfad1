// Overhead of one per-density pass of the shared-exponent fit beyond its fits:
// the same eight fit_2param_n calls (8 densities x 10 bins, seeds 0..7) run
// once as a plain loop and once as a pass (parallel map, collection in
// density order, weighted sum from -0.0), on a one-thread pool so that the
// difference is the fork-join, collection and summation alone. Then the pass
// on the full pool, with CPU time / wall time showing how many threads work.
//
//   cmake -S . -B build/bench -DVELK_BUILD_PYTHON=OFF -DVELK_BUILD_BENCH=ON
//   cmake --build build/bench && ./build/bench/bench_shared_pass
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <limits>
#include <vector>

#include "fits/density_fits.hpp"
#include "parallel.hpp"
#include "velk_model.hpp"

namespace {

constexpr std::size_t kDensities = 8;
constexpr int kRepeats = 15;
constexpr double kInf = std::numeric_limits<double>::infinity();

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
  std::vector<double> edges(11);
  for (std::size_t b = 0; b <= 10; ++b) edges[b] = static_cast<double>(b) / 10.0;
  const std::array<std::array<double, 2>, kDensities> rates{
      {{0.5, 2.0}, {1.0, 1.5}, {2.0, 1.0}, {3.0, 1.0}, {1.0, 3.0}, {4.0, 4.0}, {0.8, 0.8}, {6.0, 2.0}}};
  std::vector<std::vector<double>> rows;
  for (const auto& [CoW, CoE] : rates) {
    rows.push_back(velk::bin_probabilities(
        velk::solve_steady_state(0.3, 1.0, CoW, CoE, velk::cooperative_powers(2.0, 2.0, false), kInf),
        edges));
  }
  const std::vector<double> weights(kDensities, 1.0);
  auto fit = [&](std::size_t i) {
    return velk::fit_2param_n({rows[i], edges, true}, i, 0.3, 0.05, 50.0, 2.0, 2.0, kInf, 0.0);
  };

  double loop_best = 1e300;
  double pass_best = 1e300;
  double sink = 0.0;
  for (int r = 0; r < kRepeats; ++r) {
    auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < kDensities; ++i) sink += fit(i)[2];
    loop_best = std::min(loop_best, seconds_since(start));

    start = std::chrono::steady_clock::now();
    velk::ThreadPool single(1);
    const auto fits = single.map(kDensities, fit);
    double total = -0.0;
    for (std::size_t i = 0; i < kDensities; ++i) total += fits[i][2] * weights[i];
    sink += total;
    pass_best = std::min(pass_best, seconds_since(start));
  }
  std::printf("one thread: fits alone %.3f ms, pass %.3f ms, overhead %.3f ms (%.2f %%)\n",
              1e3 * loop_best, 1e3 * pass_best, 1e3 * (pass_best - loop_best),
              100.0 * (pass_best - loop_best) / pass_best);

  const std::clock_t cpu_start = std::clock();
  const auto wall_start = std::chrono::steady_clock::now();
  for (int r = 0; r < kRepeats; ++r) {
    const auto fits = velk::parallel_map(kDensities, fit);
    double total = -0.0;
    for (std::size_t i = 0; i < kDensities; ++i) total += fits[i][2] * weights[i];
    sink += total;
  }
  const double wall = seconds_since(wall_start);
  const double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  std::printf("global pool (%zu threads): pass %.3f ms, CPU/wall %.2f\n", velk::pool_thread_count(),
              1e3 * wall / kRepeats, cpu / wall);
  return sink == 42.0 ? 1 : 0;
}
