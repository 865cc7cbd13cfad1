#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include "drift_model.hpp"
#include "fits/drift_fits.hpp"
#include "run_state.hpp"

namespace {

using velk::Distribution;
using velk::RowMatrix;

constexpr double kInf = std::numeric_limits<double>::infinity();

bool same_bits(const Distribution& a, const Distribution& b) {
  return std::memcmp(a.data(), b.data(), sizeof(double) * a.size()) == 0;
}

Distribution random_p0(unsigned seed) {
  Distribution p{};
  unsigned state = seed * 2654435761u + 1u;
  double total = 0.0;
  for (double& v : p) {
    state = state * 1664525u + 1013904223u;
    v = static_cast<double>(state >> 8) / 16777216.0;
    total += v;
  }
  for (double& v : p) v /= total;
  return p;
}

Distribution point_mass(int m) {
  Distribution p{};
  p[m] = 1.0;
  return p;
}

// Binomial(n, p) probabilities in long double; q = 1 - p is passed in so that
// neither is formed by cancellation.
std::vector<long double> binomial_pmf(int n, long double p, long double q) {
  std::vector<long double> out(n + 1);
  for (int k = 0; k <= n; ++k) {
    if (p == 0.0L || q == 0.0L) {
      out[k] = (p == 0.0L ? k == 0 : k == n) ? 1.0L : 0.0L;
      continue;
    }
    const long double log_choose = std::lgamma(static_cast<long double>(n) + 1) -
                                   std::lgamma(static_cast<long double>(k) + 1) -
                                   std::lgamma(static_cast<long double>(n - k) + 1);
    out[k] = std::exp(log_choose + k * std::log(p) + (n - k) * std::log(q));
  }
  return out;
}

// exp(tQ) P0 written out as a sum of binomial convolutions, in long double:
// from M methylated sites, Binomial(M, keep) stay methylated and
// Binomial(70 - M, gain) are newly written. Non-negative rates and ages only.
std::vector<long double> binomial_reference(long double StE, long double StW, long double t,
                                            const Distribution& P0) {
  const long double s = StE + StW;
  long double keep, lose, gain, stay;
  if (s == 0.0L) {
    keep = stay = 1.0L;
    lose = gain = 0.0L;
  } else {
    const long double relaxed = -std::expm1(-s * t);  // 1 - e^{-st}
    const long double remaining = std::exp(-s * t);
    keep = (StW + StE * remaining) / s;
    stay = (StE + StW * remaining) / s;
    lose = StE * relaxed / s;
    gain = StW * relaxed / s;
  }
  std::vector<long double> result(71, 0.0L);
  for (int M = 0; M <= 70; ++M) {
    if (P0[M] == 0.0) continue;
    const auto kept = binomial_pmf(M, keep, lose);
    const auto written = binomial_pmf(70 - M, gain, stay);
    for (int x = 0; x <= M; ++x) {
      for (int y = 0; y <= 70 - M; ++y) result[x + y] += P0[M] * kept[x] * written[y];
    }
  }
  return result;
}

double total(const Distribution& p) {
  double sum = 0.0;
  for (const double v : p) sum += v;
  return sum;
}

// Absolute agreement everywhere, and (when relative > 0) relative agreement
// wherever the probability lies well above underflow.
void expect_close(const Distribution& ours, const std::vector<long double>& reference,
                  double absolute, double relative, const char* what) {
  for (int m = 0; m < velk::kStates; ++m) {
    const double expected = static_cast<double>(reference[m]);
    ASSERT_TRUE(std::isfinite(ours[m])) << what << " M=" << m;
    EXPECT_NEAR(ours[m], expected, absolute) << what << " M=" << m;
    if (relative > 0.0 && expected > 1e-250) {
      EXPECT_NEAR(ours[m] / expected, 1.0, relative) << what << " M=" << m;
    }
  }
}

TEST(DriftPropagation, MatchesBinomialConvolutionAcrossExtremes) {
  const double rates[] = {0.0, 1e-8, 1e-3, 1.0, 1e3, 1e6};
  const double ages[] = {1e-9, 1e-3, 1.0, 1e3, 1e6, 1e12};
  const Distribution P0 = random_p0(7);
  for (const double StE : rates)
    for (const double StW : rates)
      for (const double t : ages) {
        const Distribution ours = velk::propagate_to_age(StE, StW, P0, t);
        expect_close(ours, binomial_reference(StE, StW, t, P0), 1e-14, 1e-11, "sweep");
        EXPECT_NEAR(total(ours), 1.0, 1e-13);
      }
}

TEST(DriftPropagation, AgeZeroAndZeroRatesReturnP0Exactly) {
  const Distribution P0 = random_p0(11);
  for (const double StE : {0.0, 1e-3, 5.0, kInf}) {
    EXPECT_TRUE(same_bits(velk::propagate_to_age(StE, 0.7, P0, 0.0), P0));
    EXPECT_TRUE(same_bits(velk::propagate_to_age(StE, 0.7, P0, -0.0), P0));
  }
  for (const double t : {1e-3, 1.0, 1e9, kInf})
    EXPECT_TRUE(same_bits(velk::propagate_to_age(0.0, 0.0, P0, t), P0));
  const RowMatrix Q = velk::build_q(0.0, 0.0);
  for (const double q : Q.values()) EXPECT_EQ(q, 0.0);
}

TEST(DriftPropagation, OneZeroRateMovesMassOneWayOnly) {
  const Distribution from40 = point_mass(40);
  const Distribution down = velk::propagate_to_age(0.3, 0.0, from40, 2.0);
  const Distribution up = velk::propagate_to_age(0.0, 0.3, from40, 2.0);
  for (int m = 41; m <= 70; ++m) EXPECT_EQ(down[m], 0.0) << m;
  for (int m = 0; m < 40; ++m) EXPECT_EQ(up[m], 0.0) << m;
  EXPECT_NEAR(total(down), 1.0, 1e-14);
  EXPECT_NEAR(total(up), 1.0, 1e-14);
  // Far in the future everything has drained to the end state.
  EXPECT_NEAR(velk::propagate_to_age(0.3, 0.0, from40, 1e4)[0], 1.0, 1e-15);
  EXPECT_NEAR(velk::propagate_to_age(0.0, 0.3, from40, 1e4)[70], 1.0, 1e-15);
}

TEST(DriftPropagation, LongAgesAndHugeRatesReachTheStationaryBinomial) {
  // Stationary: Binomial(70, StW / (StE + StW)) whatever the start.
  const Distribution P0 = random_p0(5);
  const struct {
    double StE, StW, t;
  } cases[] = {{1.0, 3.0, kInf}, {1.0, 3.0, 1e300}, {1e300, 1e300, 1.0}, {1e307, 3e307, 1.0}};
  for (const auto& c : cases) {
    const Distribution ours = velk::propagate_to_age(c.StE, c.StW, P0, c.t);
    const long double ratio = static_cast<long double>(c.StW) / c.StE;
    const auto stationary = binomial_pmf(70, ratio / (1.0L + ratio), 1.0L / (1.0L + ratio));
    expect_close(ours, stationary, 1e-15, 1e-12, "stationary");
  }
  // An infinite erasing rate empties every molecule at once.
  EXPECT_EQ(velk::propagate_to_age(kInf, 1.0, P0, 1.0)[0], 1.0);
}

TEST(DriftPropagation, NaNInputsGiveNaN) {
  const Distribution P0 = random_p0(1);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(std::isnan(velk::propagate_to_age(nan, 1.0, P0, 1.0)[10]));
  EXPECT_TRUE(std::isnan(velk::propagate_to_age(0.0, 0.0, P0, nan)[10]));
}

TEST(DriftInitialState, SpreadsEachBinEvenlyOverItsMacrostates) {
  const std::vector<double> edges{0.0, 0.5, 1.0};
  const Distribution P0 = velk::observed_to_p0(std::vector<double>{0.2, 0.8}, edges);
  for (int m = 0; m <= 34; ++m) EXPECT_NEAR(P0[m], 0.2 / 35, 1e-16) << m;
  for (int m = 35; m <= 70; ++m) EXPECT_NEAR(P0[m], 0.8 / 36, 1e-16) << m;

  // Bin [0.501, 0.51) holds no level: its fraction is ignored, the rest renormalised.
  const Distribution gap = velk::observed_to_p0(std::vector<double>{0.5, 0.3, 0.2},
                                                std::vector<double>{0.0, 0.501, 0.51, 1.0});
  EXPECT_NEAR(gap[0], 0.5 / 36 / 0.7, 1e-16);
  EXPECT_NEAR(gap[70], 0.2 / 35 / 0.7, 1e-16);
  EXPECT_NEAR(total(gap), 1.0, 1e-15);

  // Zero, negative and NaN fractions put nothing in; nothing at all leaves zeros.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Distribution some = velk::observed_to_p0(std::vector<double>{-1.0, 2.0}, edges);
  EXPECT_EQ(some[0], 0.0);
  EXPECT_NEAR(some[70], 1.0 / 36, 1e-17);
  for (const double v : velk::observed_to_p0(std::vector<double>{0.0, nan}, edges))
    EXPECT_EQ(v, 0.0);
  for (const double v : velk::observed_to_p0(std::vector<double>{}, std::vector<double>{0.5}))
    EXPECT_EQ(v, 0.0);
}

TEST(DriftInitialState, ReadsFractionsOnlyForBinsThatHoldMacrostates) {
  // The third bin [1.2, 1.5] is empty, so two fractions suffice...
  const std::vector<double> edges{0.0, 1.0, 1.2, 1.5};
  const Distribution P0 = velk::observed_to_p0(std::vector<double>{0.7, 0.3}, edges);
  EXPECT_NEAR(P0[70], 0.3, 1e-15);
  // ...but one does not, and no edges at all is refused.
  EXPECT_THROW(velk::observed_to_p0(std::vector<double>{1.0}, edges), std::runtime_error);
  EXPECT_THROW(velk::observed_to_p0(std::vector<double>{1.0}, std::vector<double>{}),
               std::runtime_error);
}

TEST(DriftLikelihood, FloorsBinsAndScoresOnlyMatchingRowsAndAges) {
  const std::vector<double> edges{0.0, 0.501, 0.51, 1.0};
  const Distribution P0 = velk::observed_to_p0(std::vector<double>{0.5, 0.0, 0.5}, edges);
  // The empty middle bin still gets the floor before renormalisation.
  const std::vector<double> q = velk::drift_bin_probabilities(P0, edges);
  EXPECT_NEAR(q[1], 1e-10 / (1.0 + 1e-10), 1e-24);

  RowMatrix rows(3, 3);
  for (std::size_t i = 0; i < 3; ++i) {
    rows(i, 0) = 0.6;
    rows(i, 2) = 0.4;
  }
  RowMatrix two_rows(2, 3);
  std::copy(rows.values().begin(), rows.values().begin() + 6, two_rows.values().begin());
  const std::vector<double> two_ages{1.0, 4.0};
  const std::vector<double> three_ages{1.0, 4.0, 9.0};
  const double nll = velk::nll_drift(P0, two_rows, two_ages, edges, 0.1, 0.2);
  EXPECT_GT(nll, 0.0);
  EXPECT_EQ(velk::nll_drift(P0, rows, two_ages, edges, 0.1, 0.2), nll);
  EXPECT_EQ(velk::nll_drift(P0, two_rows, three_ages, edges, 0.1, 0.2), nll);
  EXPECT_EQ(velk::nll_drift(P0, rows, std::vector<double>{}, edges, 0.1, 0.2), 0.0);
  EXPECT_EQ(velk::nll_drift(velk::observed_to_p0(std::vector<double>{}, std::vector<double>{0.5}),
                            rows, two_ages, std::vector<double>{0.5}, 0.1, 0.2),
            0.0);
}

TEST(DriftLikelihood, AllZeroStartScoresUniformBins) {
  const std::vector<double> edges{0.0, 0.25, 0.5, 0.75, 1.0};
  const Distribution P0 = velk::observed_to_p0(std::vector<double>{0.0, 0.0, 0.0, 0.0}, edges);
  RowMatrix rows(1, 4);
  for (double& v : rows.values()) v = 0.25;
  EXPECT_NEAR(velk::nll_drift(P0, rows, std::vector<double>{3.0}, edges, 0.1, 0.2), std::log(4.0),
              1e-15);
}

class DriftBootstrap : public ::testing::Test {
 protected:
  void SetUp() override {
    velk::set_interrupted(false);
    for (std::size_t b = 0; b < kSamples; ++b) {
      const std::vector<double> p0 = p0_row(b);
      std::copy(p0.begin(), p0.end(), p0_per_boot.row(b).begin());
      // Each sample drifts at its own rates, so rows cannot be mixed up unseen.
      const RowMatrix predicted = velk::drift_predict(erase_rate(b), 0.05, p0, ages, edges);
      for (std::size_t k = 0; k < ages.size(); ++k) {
        std::copy(predicted.row(k).begin(), predicted.row(k).end(),
                  observed.row(b * ages.size() + k).begin());
      }
    }
  }
  void TearDown() override { velk::set_interrupted(false); }

  static double erase_rate(std::size_t b) { return 0.02 * static_cast<double>(b + 1); }
  static std::vector<double> p0_row(std::size_t b) {
    return {0.5 - 0.1 * static_cast<double>(b), 0.1, 0.4 + 0.1 * static_cast<double>(b)};
  }

  static constexpr std::size_t kSamples = 3;
  const std::vector<double> edges{0.0, 0.3, 0.7, 1.0};
  const std::vector<double> ages{2.0, 6.0};
  const velk::Bounds st{1e-4, 1.0};
  RowMatrix p0_per_boot{kSamples, 3};
  RowMatrix observed{kSamples * 2, 3};
};

TEST_F(DriftBootstrap, RowBIsTheSeededFitOfSampleB) {
  const RowMatrix fits =
      velk::fit_drift_bootstrap(p0_per_boot, observed, kSamples, 2, ages, edges, st);
  ASSERT_EQ(fits.rows(), kSamples);
  for (std::size_t b = 0; b < kSamples; ++b) {
    RowMatrix rows(2, 3);
    std::copy(observed.row(2 * b).begin(), observed.row(2 * b + 1).end(), rows.values().begin());
    const auto single = velk::fit_drift_one(p0_per_boot.row(b), rows, ages, edges, st, b);
    for (std::size_t c = 0; c < 3; ++c) EXPECT_EQ(fits(b, c), single[c]) << b;
    EXPECT_NEAR(fits(b, 0), erase_rate(b), 1e-4) << b;
    EXPECT_NEAR(fits(b, 1), 0.05, 1e-4) << b;
  }
}

TEST_F(DriftBootstrap, SamplesStartedAfterCtrlCAreSkipped) {
  velk::set_interrupted(true);
  const RowMatrix fits =
      velk::fit_drift_bootstrap(p0_per_boot, observed, kSamples, 2, ages, edges, st);
  for (const double v : fits.values()) EXPECT_TRUE(std::isnan(v));
}

TEST(DriftPredict, AgeZeroGivesTheBinnedStartNotTheObservedFractions) {
  const std::vector<double> edges{0.0, 0.5, 1.0};
  const RowMatrix predicted =
      velk::drift_predict(0.3, 0.4, std::vector<double>{0.0, 2.0}, std::vector<double>{0.0}, edges);
  EXPECT_DOUBLE_EQ(predicted(0, 0), 1e-10 / (1.0 + 1e-10));
  EXPECT_DOUBLE_EQ(predicted(0, 1), 1.0 / (1.0 + 1e-10));
  EXPECT_EQ(velk::drift_predict(0.3, 0.4, std::vector<double>{}, std::vector<double>{1.0, 2.0},
                                std::vector<double>{0.5})
                .cols(),
            0u);
}

}  // namespace
