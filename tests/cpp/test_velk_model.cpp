#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "run_state.hpp"
#include "velk_model.hpp"

namespace {

using velk::Distribution;
using velk::TransitionRates;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool same_bits(const Distribution& a, const Distribution& b) {
  return std::memcmp(a.data(), b.data(), sizeof(double) * a.size()) == 0;
}

TransitionRates rates_for(double StE, double StW, double CoW, double CoE, double n_U, double n_M,
                          double Vmax, bool raw) {
  return velk::transition_rates(StE, StW, CoW, CoE, velk::cooperative_powers(n_U, n_M, raw), Vmax);
}

// Detailed balance of the birth-death chain, written independently of the
// engine: log-weights summed in long double, then normalised.
std::vector<double> closed_form(double StE, double StW, double CoW, double CoE, double n_U,
                                double n_M, double Vmax, bool raw) {
  auto drive = [&](double C, double base, double n) {
    long double d = static_cast<long double>(C) * std::pow(static_cast<long double>(base), n);
    if (std::isfinite(Vmax)) d = d / (d / Vmax + 1.0L);
    return d;
  };
  std::vector<long double> log_w(71, 0.0L);
  for (int m = 0; m < 70; ++m) {
    const double bw = raw ? m + 1 : (m + 1) / 70.0;
    const double be = raw ? 70 - m : 1.0 - m / 70.0;
    const long double up = (70 - m) * (StW + drive(CoW, bw, n_M));
    const long double down = (m + 1) * (StE + drive(CoE, be, n_U));
    log_w[m + 1] = log_w[m] + std::log(up) - std::log(down);
  }
  long double top = log_w[0];
  for (long double v : log_w) top = std::max(top, v);
  long double total = 0.0L;
  for (long double& v : log_w) total += (v = std::exp(v - top));
  std::vector<double> p(71);
  for (int m = 0; m < 71; ++m) p[m] = static_cast<double>(log_w[m] / total);
  return p;
}

struct SweepCase {
  double StE, StW, CoW, CoE, n_U, n_M, Vmax;
  bool raw;
};

std::vector<SweepCase> wide_sweep(std::size_t count, std::uint32_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> log_rate(-6.0, 6.0);
  std::uniform_real_distribution<double> exponent(0.5, 5.0);
  std::uniform_real_distribution<double> log_vmax(-3.0, 6.0);
  std::vector<SweepCase> cases;
  for (std::size_t c = 0; c < count; ++c) {
    SweepCase s{};
    s.StE = std::pow(10.0, log_rate(gen));
    s.StW = std::pow(10.0, log_rate(gen));
    s.CoW = std::pow(10.0, log_rate(gen));
    s.CoE = std::pow(10.0, log_rate(gen));
    s.n_U = exponent(gen);
    s.n_M = exponent(gen);
    s.Vmax = (c % 3 == 0) ? std::pow(10.0, log_vmax(gen)) : kInf;
    s.raw = (c % 2 == 1);
    cases.push_back(s);
  }
  return cases;
}

TEST(SteadyStateSolve, StructuredSolveMatchesDenseReferenceBitForBit) {
  // A wide random sweep, then skewed and symmetric corners.
  std::vector<SweepCase> cases = wide_sweep(4000, 7);
  const double corner[] = {1e-6, 1e-3, 1.0, 1e3, 1e6};
  for (double StE : corner)
    for (double CoW : corner)
      for (double CoE : corner)
        for (bool raw : {false, true}) cases.push_back({StE, 1.0, CoW, CoE, 2.0, 2.0, kInf, raw});
  int mismatches = 0;
  for (const SweepCase& s : cases) {
    const TransitionRates rates = rates_for(s.StE, s.StW, s.CoW, s.CoE, s.n_U, s.n_M, s.Vmax, s.raw);
    if (!same_bits(velk::solve_steady_state_dense(rates), velk::solve_steady_state_structured(rates)))
      ++mismatches;
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(SteadyStateSolve, AgreesWithDetailedBalanceEverywhere) {
  double worst = 0.0;
  for (const SweepCase& s : wide_sweep(3000, 11)) {
    velk::set_raw_count(s.raw);
    const Distribution p = velk::solve_steady_state(s.StE, s.StW, s.CoW, s.CoE, s.n_U, s.n_M, s.Vmax);
    const std::vector<double> exact = closed_form(s.StE, s.StW, s.CoW, s.CoE, s.n_U, s.n_M, s.Vmax, s.raw);
    for (int m = 0; m < 71; ++m) worst = std::max(worst, std::fabs(p[m] - exact[m]));
  }
  velk::set_raw_count(false);
  EXPECT_LE(worst, 1e-10);
}

TEST(SteadyStateSolve, ResultIsTheLuBitsWhereverTheLuIsAccurate) {
  // Moderate parameters: the LU is accurate, so the safeguard must not touch it.
  const TransitionRates rates = rates_for(0.3, 1.0, 2.0, 5.0, 2.0, 2.0, kInf, false);
  EXPECT_TRUE(same_bits(velk::solve_steady_state(rates), velk::solve_steady_state_dense(rates)));
}

TEST(SteadyStateSolve, StronglyBistableSymmetricParametersGiveSymmetricModes) {
  // The plain LU puts 0.10 / 0.90 of the mass into the two modes here.
  const Distribution p = velk::solve_steady_state(0.01, 0.01, 10.0, 10.0, 2.0, 2.0, kInf);
  double low = 0.0, high = 0.0;
  for (int m = 0; m < 71; ++m) {
    EXPECT_NEAR(p[m], p[70 - m], 1e-12) << m;
    if (m / 70.0 < 0.2) low += p[m];
    if (m / 70.0 > 0.8) high += p[m];
  }
  EXPECT_NEAR(low, 0.5, 1e-6);
  EXPECT_NEAR(high, 0.5, 1e-6);

  const TransitionRates rates = rates_for(0.01, 0.01, 10.0, 10.0, 2.0, 2.0, kInf, false);
  const Distribution lu = velk::solve_steady_state_dense(rates);
  double lu_low = 0.0;
  for (int m = 0; m < 14; ++m) lu_low += lu[m];
  EXPECT_GT(std::fabs(lu_low - 0.5), 0.1) << "the reference LU is no longer wrong here; the "
                                             "safeguard test lost its teeth";
}

TEST(SteadyStateSolve, SymmetricParametersGiveMirroredProbabilityDistributions) {
  for (bool raw : {false, true}) {
    velk::set_raw_count(raw);
    for (double Vmax : {kInf, 0.5, 50.0}) {
      const Distribution p = velk::solve_steady_state(0.7, 0.7, 3.0, 3.0, 1.5, 1.5, Vmax);
      for (int m = 0; m < 71; ++m) EXPECT_NEAR(p[m], p[70 - m], 1e-13) << raw << " " << Vmax;
    }
  }
  velk::set_raw_count(false);
  // Extreme bistability: the reference LU returns negative entries and entries above 1 here.
  const Distribution p = velk::solve_steady_state(1.0, 1.0, 1000.0, 1000.0, 2.0, 2.0, kInf);
  double total = 0.0;
  for (int m = 0; m < 71; ++m) {
    EXPECT_GE(p[m], 0.0);
    EXPECT_LE(p[m], 1.0);
    EXPECT_NEAR(p[m], p[70 - m], 1e-12);
    total += p[m];
  }
  EXPECT_NEAR(total, 1.0, 1e-12);
}

TEST(SteadyStateSolve, NoCooperationGivesTheBinomialDistribution) {
  const double StE = 0.4, StW = 1.3;
  const double q = StW / (StW + StE);
  for (bool raw : {false, true}) {
    velk::set_raw_count(raw);
    for (double Vmax : {kInf, 2.0}) {
      const Distribution p = velk::solve_steady_state(StE, StW, 0.0, 0.0, 2.0, 2.0, Vmax);
      for (int m = 0; m < 71; ++m) {
        const double binom = std::exp(std::lgamma(71.0) - std::lgamma(m + 1.0) - std::lgamma(71.0 - m) +
                                      m * std::log(q) + (70 - m) * std::log1p(-q));
        EXPECT_NEAR(p[m], binom, 1e-12) << m;
      }
    }
  }
  velk::set_raw_count(false);
}

TEST(SteadyStateSolve, NoWritingPutsEverythingOnTheUnmethylatedState) {
  const Distribution p = velk::solve_steady_state(0.5, 0.0, 0.0, 2.0, 2.0, 2.0, kInf);
  EXPECT_NEAR(p[0], 1.0, 1e-12);
  for (int m = 1; m < 71; ++m) EXPECT_NEAR(p[m], 0.0, 1e-12);
}

TEST(SteadyStateSolve, AllRatesZeroGiveTheUniformFallback) {
  const Distribution p = velk::solve_steady_state(0.0, 0.0, 0.0, 0.0, 2.0, 2.0, kInf);
  for (double v : p) EXPECT_EQ(v, 1.0 / 71.0);
}

TEST(SteadyStateSolve, NonFiniteParametersPropagate) {
  const Distribution p = velk::solve_steady_state(kNaN, 1.0, 1.0, 1.0, 2.0, 2.0, kInf);
  bool any_nan = false;
  for (double v : p) any_nan = any_nan || std::isnan(v);
  EXPECT_TRUE(any_nan);
  const TransitionRates rates = rates_for(kNaN, 1.0, 1.0, 1.0, 2.0, 2.0, kInf, false);
  EXPECT_TRUE(same_bits(velk::solve_steady_state(rates), velk::solve_steady_state_dense(rates)));
}

TEST(SteadyStateSolve, HugeRatesTakeTheDensePathUnchanged) {
  const TransitionRates rates = rates_for(1.0, 1.0, 1e250, 1e-3, 2.0, 2.0, kInf, false);
  const Distribution p = velk::solve_steady_state(rates);
  const Distribution exact = velk::detailed_balance_distribution(rates);
  for (int m = 0; m < 71; ++m) EXPECT_NEAR(p[m], exact[m], 1e-10);
}

TEST(DetailedBalance, SurvivesTroughsDeeperThanTheDoubleRange) {
  // Two modes separated by a trough far below 1e-308 relative to them.
  const TransitionRates rates = rates_for(1e-6, 1e-6, 1.0, 1.0, 20.0, 20.0, kInf, true);
  const Distribution p = velk::detailed_balance_distribution(rates);
  const std::vector<double> exact = closed_form(1e-6, 1e-6, 1.0, 1.0, 20.0, 20.0, kInf, true);
  for (int m = 0; m < 71; ++m) EXPECT_NEAR(p[m], exact[m], 1e-13) << m;
  EXPECT_NEAR(p[0], 0.5, 1e-12);
  EXPECT_NEAR(p[0], p[70], 1e-13);
  EXPECT_EQ(p[35], 0.0);  // ~1e-381 relative to the modes
}

TEST(CooperativeDrive, CeilingSaturatesAndInfiniteOrNanDisablesIt) {
  // Drive CoW * b^n with b = 1 (target state 70) and n = 2: exactly CoW.
  const velk::CooperativePowers powers = velk::cooperative_powers(2.0, 2.0, false);
  auto writing_into_70 = [&](double CoW, double Vmax) {
    return velk::transition_rates(1.0, 0.0, CoW, 0.0, powers, Vmax).write[69];
  };
  EXPECT_EQ(writing_into_70(1.0, kInf), 1.0);
  EXPECT_EQ(writing_into_70(1.0, -kInf), 1.0);
  EXPECT_EQ(writing_into_70(1.0, kNaN), 1.0);
  EXPECT_EQ(writing_into_70(1.0, 1.0), 0.5);
  EXPECT_NEAR(writing_into_70(1e12, 3.0), 3.0, 1e-9);
}

TEST(CooperativeDrive, RawCountMultipliesQuadraticDrivesBy4900) {
  const velk::CooperativePowers frac = velk::cooperative_powers(2.0, 2.0, false);
  const velk::CooperativePowers raw = velk::cooperative_powers(2.0, 2.0, true);
  for (int k = 1; k <= 70; ++k) EXPECT_NEAR(raw.write[k] / frac.write[k], 4900.0, 1e-9);
  for (int k = 0; k < 70; ++k) EXPECT_NEAR(raw.erase[k] / frac.erase[k], 4900.0, 1e-9);
}

Distribution point_mass_spread() {
  Distribution p{};
  for (int m = 0; m < 71; ++m) p[m] = 1.0 / 71.0;
  return p;
}

TEST(Binning, HalfwayEdgeSplitsAt35AndClosesTheLastBin) {
  Distribution p{};
  p[34] = 0.25;
  p[35] = 0.5;
  p[70] = 0.25;
  const double edges[] = {0.0, 0.5, 1.0};
  const std::vector<double> q = velk::bin_probabilities(p, edges);
  ASSERT_EQ(q.size(), 2u);
  EXPECT_DOUBLE_EQ(q[0], 0.25);
  EXPECT_DOUBLE_EQ(q[1], 0.75);
}

TEST(Binning, EmptyBinsGetTheFloorBeforeRenormalisation) {
  const double edges[] = {0.0, 0.001, 0.002, 1.0};
  const std::vector<double> q = velk::bin_probabilities(point_mass_spread(), edges);
  ASSERT_EQ(q.size(), 3u);
  const double total = 1.0 / 71.0 + 1e-8 + 70.0 / 71.0;
  EXPECT_NEAR(q[1], 1e-8 / total, 1e-20);
  EXPECT_GT(q[1], 0.0);
}

TEST(Binning, OddEdges) {
  const Distribution uniform = point_mass_spread();
  // Levels outside the edges are dropped and the rest renormalised.
  const double inner[] = {0.1, 0.9};
  EXPECT_EQ(velk::bin_probabilities(uniform, inner), std::vector<double>{1.0});
  // NaN edges match nothing: both bins hold only the floor.
  const double nan_edge[] = {0.0, kNaN, 1.0};
  const std::vector<double> q = velk::bin_probabilities(uniform, nan_edge);
  ASSERT_EQ(q.size(), 2u);
  EXPECT_NEAR(q[0], 1e-8 / (2e-8), 1e-12);
  // A single edge gives no bins; no edges at all is an error.
  const double one_edge[] = {0.5};
  EXPECT_TRUE(velk::bin_probabilities(uniform, one_edge).empty());
  EXPECT_THROW(velk::bin_probabilities(uniform, std::span<const double>{}), std::invalid_argument);
}

TEST(Likelihood, OneBinScoresZeroAndMismatchedLengthsScoreTheOverlap) {
  const double one_bin[] = {0.0, 1.0};
  const double observed[] = {0.7, 123.0};
  EXPECT_EQ(velk::nll(observed, one_bin, true, 0.5, 1.0, 1.0, 2.0, 2.0, kInf), 0.0);

  const double edges[] = {0.0, 0.5, 1.0};
  const double longer[] = {0.3, 0.7, 5.0};
  const double shorter[] = {0.3};
  const double full = velk::nll(longer, edges, true, 0.5, 1.0, 1.0, 2.0, 2.0, kInf);
  const Distribution p = velk::solve_steady_state(0.5, 1.0, 1.0, 1.0, 2.0, 2.0, kInf);
  const std::vector<double> q = velk::bin_probabilities(p, edges);
  EXPECT_EQ(full, (0.0 - 0.3 * std::log(q[0])) - 0.7 * std::log(q[1]));
  EXPECT_EQ(velk::nll(shorter, edges, true, 0.5, 1.0, 1.0, 2.0, 2.0, kInf), 0.0 - 0.3 * std::log(q[0]));
}

TEST(Likelihood, NormalizeStwChoosesWhichSpontaneousRateIsFree) {
  const double edges[] = {0.0, 0.25, 0.5, 0.75, 1.0};
  const double observed[] = {0.1, 0.2, 0.3, 0.4};
  const Distribution as_ste = velk::solve_steady_state(0.3, 1.0, 2.0, 1.0, 2.0, 2.0, kInf);
  const Distribution as_stw = velk::solve_steady_state(1.0, 0.3, 2.0, 1.0, 2.0, 2.0, kInf);
  EXPECT_EQ(velk::nll(observed, edges, true, 0.3, 2.0, 1.0, 2.0, 2.0, kInf),
            velk::cross_entropy(observed, velk::bin_probabilities(as_ste, edges)));
  EXPECT_EQ(velk::nll(observed, edges, false, 0.3, 2.0, 1.0, 2.0, 2.0, kInf),
            velk::cross_entropy(observed, velk::bin_probabilities(as_stw, edges)));
}

// The 0/1 matrix that observes macrostate M in the bin of its own level.
std::vector<double> full_depth_observation(std::span<const double> edges) {
  const std::size_t bins = edges.size() - 1;
  std::vector<double> matrix(bins * 71, 0.0);
  Distribution unit{};
  for (int m = 0; m < 71; ++m) {
    unit.fill(0.0);
    unit[m] = 1.0;
    // A point mass lands in its bin at (1 - floors) / ...; only the argmax matters.
    const std::vector<double> q = velk::bin_probabilities(unit, edges);
    for (std::size_t j = 0; j < bins; ++j) {
      if (q[j] > 0.5) matrix[j * 71 + static_cast<std::size_t>(m)] = 1.0;
    }
  }
  return matrix;
}

TEST(ObservedBinning, FullDepthMatrixGivesThePlainBinningBits) {
  // 10, 2, 2 and 29 bins: one or several passes of the grouped product.
  std::vector<double> fine;
  for (int j = 0; j <= 29; ++j) fine.push_back(j / 29.0);
  const std::vector<std::vector<double>> edge_sets{
      {0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0}, {0.0, 0.5, 1.0}, {0.1, 0.45, 0.9}, fine};
  for (const auto& edges : edge_sets) {
    const std::vector<double> matrix = full_depth_observation(edges);
    for (const double cow : {0.1, 1.0, 30.0}) {
      const Distribution p = velk::solve_steady_state(0.5, 1.0, cow, 2.0, 2.0, 2.0, kInf);
      const std::vector<double> plain = velk::bin_probabilities(p, edges);
      const std::vector<double> observed = velk::bin_probabilities(p, edges, matrix);
      ASSERT_EQ(plain.size(), observed.size());
      for (std::size_t j = 0; j < plain.size(); ++j) EXPECT_EQ(plain[j], observed[j]) << j;
    }
  }
}

TEST(ObservedBinning, ProductIsFlooredAndRenormalised) {
  // Two bins; every macrostate is seen half in each, except M = 0 entirely in bin 0
  // and M = 70 lost (column sum 0): q = T p before the floor and the division.
  const double edges[] = {0.0, 0.5, 1.0};
  std::vector<double> matrix(2 * 71, 0.5);
  matrix[0] = 1.0;
  matrix[71] = 0.0;
  matrix[70] = 0.0;
  matrix[71 + 70] = 0.0;
  Distribution p{};
  p[0] = 0.5;
  p[10] = 0.25;
  p[70] = 0.25;
  const std::vector<double> q = velk::bin_probabilities(p, edges, matrix);
  EXPECT_DOUBLE_EQ(q[0], 0.625 / 0.75);
  EXPECT_DOUBLE_EQ(q[1], 0.125 / 0.75);
  // All mass lost: both bins hold the floor, then split evenly.
  Distribution top{};
  top[70] = 1.0;
  EXPECT_EQ(velk::bin_probabilities(top, edges, matrix), (std::vector<double>{0.5, 0.5}));
}

TEST(ObservedBinning, DenseProductMatchesAPlainLoopForEveryBinCount) {
  const Distribution p = velk::solve_steady_state(0.5, 1.0, 3.0, 2.0, 2.0, 2.0, kInf);
  for (std::size_t bins = 1; bins <= 53; ++bins) {
    std::vector<double> edges;
    for (std::size_t j = 0; j <= bins; ++j) edges.push_back(static_cast<double>(j) / static_cast<double>(bins));
    std::vector<double> matrix(bins * 71);
    // Arbitrary entries in [0, 1 / bins): every column sums to less than 1.
    for (std::size_t k = 0; k < matrix.size(); ++k) {
      matrix[k] = static_cast<double>((k * 37) % 101) / 101.0 / static_cast<double>(bins);
    }
    std::vector<double> expected(bins, 0.0);
    for (std::size_t j = 0; j < bins; ++j) {
      for (std::size_t m = 0; m < 71; ++m) expected[j] = p[m] * matrix[j * 71 + m] + expected[j];
    }
    velk::floor_and_normalise(expected, velk::PROB_FLOOR);
    EXPECT_EQ(velk::bin_probabilities(p, edges, matrix), expected) << bins << " bins";
  }
}

TEST(ObservedBinning, MisSizedMatrixIsRefused) {
  const double edges[] = {0.0, 0.5, 1.0};
  const std::vector<double> short_matrix(71, 0.5);
  EXPECT_THROW(velk::bin_probabilities(point_mass_spread(), edges, short_matrix), std::invalid_argument);
  EXPECT_THROW(velk::Observations(short_matrix, 2), std::invalid_argument);
  const std::vector<double> stacked(2 * 2 * 71, 0.0);
  const velk::Observations two(stacked, 2);
  EXPECT_NO_THROW(two.require_densities(2));
  EXPECT_THROW(two.require_densities(3), std::invalid_argument);
  EXPECT_NO_THROW(velk::Observations{}.require_densities(3));
}

TEST(ObservedBinning, CheckNamesDensityColumnAndCause) {
  auto message_of = [](const std::vector<double>& matrix) {
    try {
      velk::check_observation(matrix, 4);
    } catch (const std::runtime_error& error) {
      return std::string(error.what());
    }
    return std::string("no error");
  };
  std::vector<double> matrix(2 * 71, 0.5);
  EXPECT_EQ(message_of(matrix), "no error");
  matrix[71 + 17] = 0.5 + 2e-9;  // bin 1, column 17: sum 1 + 2e-9
  EXPECT_EQ(message_of(matrix).rfind("observation: density 4, column 17: entries sum to", 0), 0u);
  matrix[71 + 17] = 0.5 + 5e-10;  // within the rounding allowance
  EXPECT_EQ(message_of(matrix), "no error");
  matrix[3] = -0.25;
  EXPECT_EQ(message_of(matrix), "observation: density 4, column 3: entry for bin 0 is negative (-0.25)");
  matrix[3] = kNaN;
  EXPECT_EQ(message_of(matrix), "observation: density 4, column 3: entry for bin 0 is nan");
  matrix[3] = 0.7;
  EXPECT_EQ(message_of(matrix), "observation: density 4, column 3: entries sum to 1.2 > 1");
}

TEST(CoPenalty, SignSelectsLinearOrLogarithmicForm) {
  EXPECT_DOUBLE_EQ(velk::co_penalty_term(2.0, 4.0, 0.5), 3.0);
  EXPECT_DOUBLE_EQ(velk::co_penalty_term(10.0, 100.0, -0.5), 1.5);
  EXPECT_EQ(velk::co_penalty_term(10.0, 100.0, 0.0), 0.0);
  EXPECT_EQ(velk::co_penalty_term(10.0, 100.0, kNaN), 0.0);
}

}  // namespace
