// Cost of scoring through an observation matrix (reads that call fewer than
// 70 sites): one NLL evaluation as the fits run it (DensityLikelihood, fixed
// exponents), with the plain binning and with a dense (n_bins x 71) matrix,
// for 10 and 20 methylation bins, and the binning step alone each way.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "fits/density_fits.hpp"
#include "velk_model.hpp"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Reads of `depth` sites: T[j, M] = sum of H(i; 70, M, depth) over the i
// whose level i/depth falls in bin j (equal-width bins on 0..1).
std::vector<double> short_read_matrix(int bins, int depth) {
  auto log_choose = [](int n, int k) {
    return std::lgamma(n + 1.0) - std::lgamma(k + 1.0) - std::lgamma(n - k + 1.0);
  };
  std::vector<double> matrix(static_cast<std::size_t>(bins) * velk::kStates, 0.0);
  for (int m = 0; m <= velk::NCPG; ++m) {
    for (int i = std::max(0, depth - (velk::NCPG - m)); i <= std::min(m, depth); ++i) {
      const double h = std::exp(log_choose(m, i) + log_choose(velk::NCPG - m, depth - i) -
                                log_choose(velk::NCPG, depth));
      const int j = std::min(bins - 1, static_cast<int>(static_cast<double>(i) / depth * bins));
      matrix[static_cast<std::size_t>(j) * velk::kStates + static_cast<std::size_t>(m)] += h;
    }
  }
  return matrix;
}

struct Timing {
  double plain;
  double observed;
};

// Best of five rounds of the same parameter sweep, each way in turn.
Timing per_evaluation(const velk::DensityData& plain, const velk::DensityData& observed) {
  const double inf = std::numeric_limits<double>::infinity();
  const velk::CooperativePowers powers = velk::cooperative_powers(2.0, 2.0, false);
  const velk::DensityLikelihood plain_nll(plain);
  const velk::DensityLikelihood observed_nll(observed);
  const int sweep = 20000;
  double sink = 0.0;
  auto run = [&](const velk::DensityLikelihood& nll) {
    const auto start = std::chrono::steady_clock::now();
    for (int k = 0; k < sweep; ++k) {
      const double x = static_cast<double>(k % 200) / 200.0;
      sink += nll(0.05 + x, std::pow(10.0, 2.0 * x - 1.0), std::pow(10.0, 1.0 - 2.0 * x), powers, inf);
    }
    return seconds_since(start) / sweep;
  };
  Timing best{1e9, 1e9};
  for (int round = 0; round < 5; ++round) {
    best.plain = std::min(best.plain, run(plain_nll));
    best.observed = std::min(best.observed, run(observed_nll));
  }
  if (sink == 12345.0) std::printf("\n");
  return best;
}

}  // namespace

int main() {
  const double inf = std::numeric_limits<double>::infinity();
  for (const int bins : {10, 20}) {
    std::vector<double> edges;
    for (int j = 0; j <= bins; ++j) edges.push_back(static_cast<double>(j) / bins);
    const std::vector<double> matrix = short_read_matrix(bins, 8);
    const std::vector<double> fracs =
        velk::bin_probabilities(velk::solve_steady_state(0.3, 1.0, 4.0, 2.0, 2.0, 2.0, inf), edges, matrix);
    const velk::DensityData plain{fracs, edges, true, {}};
    const velk::DensityData observed{fracs, edges, true, matrix};
    const Timing t = per_evaluation(plain, observed);
    std::printf("NLL evaluation, %2d bins: plain %5.2f us, with observation %5.2f us  (ratio %.3f)\n", bins,
                t.plain * 1e6, t.observed * 1e6, t.observed / t.plain);
    // The binning step alone, on a fixed distribution.
    const velk::Distribution p = velk::solve_steady_state(0.3, 1.0, 4.0, 2.0, 2.0, 2.0, inf);
    const velk::BinLayout layout(edges);
    const velk::ObservedBinning binning(edges, matrix);
    std::vector<double> q(static_cast<std::size_t>(bins));
    const int repeats = 200000;
    double best_layout = 1e9, best_product = 1e9, sink = 0.0;
    for (int round = 0; round < 5; ++round) {
      auto start = std::chrono::steady_clock::now();
      for (int i = 0; i < repeats; ++i) {
        layout.bin(p, q);
        sink += q[0];
      }
      best_layout = std::min(best_layout, seconds_since(start) / repeats);
      start = std::chrono::steady_clock::now();
      for (int i = 0; i < repeats; ++i) {
        binning.bin(p, q);
        sink += q[0];
      }
      best_product = std::min(best_product, seconds_since(start) / repeats);
    }
    std::printf("  binning step alone:    plain %5.3f us, product T p %5.3f us%s\n", best_layout * 1e6,
                best_product * 1e6, sink == 1.0 ? " " : "");
  }
  return 0;
}
