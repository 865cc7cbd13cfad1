#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "fits/density_fits.hpp"
#include "velk_model.hpp"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

struct Synthetic {
  std::vector<double> edges;
  std::vector<double> observed;
  velk::DensityData data() const { return {observed, edges, true}; }
};

// Observed fractions that the model reproduces exactly at the given parameters.
Synthetic synthetic(double St, double CoW, double CoE, double n_U, double n_M, double Vmax) {
  Synthetic s;
  for (int j = 0; j <= 20; ++j) s.edges.push_back(j / 20.0);
  s.observed = velk::bin_probabilities(velk::solve_steady_state(St, 1.0, CoW, CoE, n_U, n_M, Vmax), s.edges);
  return s;
}

double nll_at(const Synthetic& s, double St, double CoW, double CoE, double n_U, double n_M, double Vmax) {
  return velk::nll(s.observed, s.edges, true, St, CoW, CoE, n_U, n_M, Vmax);
}

TEST(DensityLikelihood, SameBitsAsThePlainNll) {
  const Synthetic s = synthetic(0.4, 2.0, 3.0, 2.0, 2.0, kInf);
  const velk::DensityLikelihood likelihood(s.data());
  for (double n : {1.0, 2.0, 3.5}) {
    const velk::CooperativePowers powers = velk::cooperative_powers(n, n + 0.5, false);
    EXPECT_EQ(likelihood(0.7, 1.5, 4.0, powers, 9.0), nll_at(s, 0.7, 1.5, 4.0, n, n + 0.5, 9.0));
  }
}

TEST(DensityFits, TwoParamNRecoversTheRatesAndRepeatsWithItsSeed) {
  const Synthetic s = synthetic(0.4, 2.0, 3.0, 2.0, 2.0, kInf);
  const auto row = velk::fit_2param_n(s.data(), 7, 0.4, 0.01, 100.0, 2.0, 2.0, kInf, 0.0);
  EXPECT_NEAR(row[0], 2.0, 2e-3);
  EXPECT_NEAR(row[1], 3.0, 3e-3);
  EXPECT_EQ(row[2], nll_at(s, 0.4, row[0], row[1], 2.0, 2.0, kInf));
  const auto again = velk::fit_2param_n(s.data(), 7, 0.4, 0.01, 100.0, 2.0, 2.0, kInf, 0.0);
  EXPECT_EQ(row, again);
}

TEST(DensityFits, PenaltyIsLeftOutOfTheReportedNll) {
  const Synthetic s = synthetic(0.4, 2.0, 3.0, 2.0, 2.0, kInf);
  for (double penalty : {0.5, -0.5, std::numeric_limits<double>::quiet_NaN()}) {
    const auto row = velk::fit_2param_n(s.data(), 1, 0.4, 0.01, 100.0, 2.0, 2.0, kInf, penalty);
    EXPECT_EQ(row[2], nll_at(s, 0.4, row[0], row[1], 2.0, 2.0, kInf)) << penalty;
  }
  const auto free = velk::fit_2param_n(s.data(), 1, 0.4, 0.01, 100.0, 2.0, 2.0, kInf, 0.0);
  const auto pulled = velk::fit_2param_n(s.data(), 1, 0.4, 0.01, 100.0, 2.0, 2.0, kInf, 0.5);
  EXPECT_LT(pulled[0] + pulled[1], free[0] + free[1]);
}

TEST(DensityFits, TwoParamExpRecoversTheExponents) {
  const Synthetic s = synthetic(0.4, 2.0, 3.0, 1.5, 2.5, 50.0);
  const auto row = velk::fit_2param_exp(s.data(), 3, 0.4, 2.0, 3.0, 0.5, 4.0, 50.0);
  EXPECT_NEAR(row[0], 1.5, 1e-3);
  EXPECT_NEAR(row[1], 2.5, 1e-3);
  EXPECT_EQ(row[2], nll_at(s, 0.4, 2.0, 3.0, row[0], row[1], 50.0));
}

TEST(DensityFits, FourParamReachesTheLikelihoodOfTheTruth) {
  const Synthetic s = synthetic(0.4, 2.0, 3.0, 1.5, 2.5, kInf);
  const auto row = velk::fit_4param_n(s.data(), 11, 0.4, 0.01, 100.0, 0.5, 4.0, kInf, 0.0);
  EXPECT_LE(row[4], nll_at(s, 0.4, 2.0, 3.0, 1.5, 2.5, kInf) + 1e-6);
}

TEST(DensityFits, OneParamFreesTheSelectedRate) {
  const Synthetic s = synthetic(0.4, 2.0, 3.0, 2.0, 2.0, kInf);
  const double truth = nll_at(s, 0.4, 2.0, 3.0, 2.0, 2.0, kInf);
  EXPECT_NEAR(velk::fit_1param(s.data(), std::nullopt, false, 0.4, 3.0, 0.01, 100.0, 2.0, 2.0), truth, 1e-9);
  EXPECT_NEAR(velk::fit_1param(s.data(), std::nullopt, true, 0.4, 2.0, 0.01, 100.0, 2.0, 2.0), truth, 1e-9);
  // Holding the wrong rate fixed cannot reach the truth.
  EXPECT_GT(velk::fit_1param(s.data(), std::nullopt, true, 0.4, 20.0, 0.01, 100.0, 2.0, 2.0), truth + 1e-3);
}

TEST(DensityFits, EmptyEdgesAndBadBoundsFailLoudly) {
  const Synthetic s = synthetic(0.4, 2.0, 3.0, 2.0, 2.0, kInf);
  const velk::DensityData no_edges{s.observed, {}, true};
  EXPECT_THROW(velk::fit_3param(no_edges, 0, 0.1, 1.0, 0.1, 10.0, 2.0, 2.0, 0.0), std::invalid_argument);
  EXPECT_THROW(velk::fit_3param(s.data(), 0, 1.0, 0.1, 0.1, 10.0, 2.0, 2.0, 0.0), std::runtime_error);
  EXPECT_THROW(velk::fit_5param_n(s.data(), 0, 0.1, 1.0, 0.1, 10.0, 3.0, 1.0, 0.0), std::runtime_error);
}

}  // namespace
