#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "optimizer/brent.hpp"

namespace {

using velk::brent_minimize;

constexpr double kGolden = 0.3819660112501051;

TEST(Brent, FirstStepIsGolden) {
  std::vector<double> points;
  auto obj = [&](double x) {
    points.push_back(x);
    return (x - 0.9) * (x - 0.9);
  };
  brent_minimize(obj, 0.0, 2.0);
  ASSERT_GE(points.size(), 2u);
  const double x0 = 0.0 + kGolden * (2.0 - 0.0);
  EXPECT_EQ(points[0], x0);
  // x0 lies left of the midpoint: the step goes into the larger right part.
  EXPECT_EQ(points[1], x0 + kGolden * (2.0 - x0));
}

TEST(Brent, QuadraticMinimumWithinTolerance) {
  struct Case {
    double centre, lo, hi;
  };
  for (const Case& c : {Case{0.7, 0.0, 2.0}, Case{-3.2, -10.0, 5.0}, Case{2.0, 1.0, 100.0}}) {
    SCOPED_TRACE(c.centre);
    auto parabola = [&](double v) { return (v - c.centre) * (v - c.centre); };
    const double x = brent_minimize(parabola, c.lo, c.hi);
    EXPECT_NEAR(x, c.centre, 2.0 * (1e-6 * std::abs(c.centre) + 1e-10) * 1.5);
  }
}

TEST(Brent, AbsoluteToleranceGovernsNearZero) {
  // At x = 0 the relative part of the tolerance vanishes: only 1e-10 is left.
  const double x = brent_minimize([](double v) { return v * v; }, -1.0, 2.0);
  EXPECT_LT(std::abs(x), 3e-10);
}

TEST(Brent, MinimumAtIntervalEnd) {
  for (const bool at_low_end : {true, false}) {
    SCOPED_TRACE(at_low_end);
    std::vector<double> points;
    auto obj = [&](double v) {
      points.push_back(v);
      return at_low_end ? v : -v;
    };
    const double x = brent_minimize(obj, 1.0, 3.0);
    for (const double p : points) {
      ASSERT_GE(p, 1.0);
      ASSERT_LE(p, 3.0);
    }
    EXPECT_LT(at_low_end ? x - 1.0 : 3.0 - x, 1e-5);
  }
}

TEST(Brent, ConstantObjectiveTerminates) {
  int calls = 0;
  const double x = brent_minimize([&](double) {
    ++calls;
    return 7.0;
  }, -5.0, 5.0);
  EXPECT_LT(calls, 501);
  EXPECT_GE(x, -5.0);
  EXPECT_LE(x, 5.0);
}

TEST(Brent, NaNIsNeverTheBestPoint) {
  // NaN everywhere except the start point: every trial only narrows the
  // interval, and the start point is returned.
  const double x0 = 0.0 + kGolden * (4.0 - 0.0);
  int calls = 0;
  const double x = brent_minimize([&](double v) {
    ++calls;
    return v == x0 ? 1.0 : std::nan("");
  }, 0.0, 4.0);
  EXPECT_EQ(x, x0);
  EXPECT_LT(calls, 501);
}

TEST(Brent, EqualBoundsStopAtOnce) {
  int calls = 0;
  const double x = brent_minimize([&](double v) {
    ++calls;
    return v * v;
  }, 1.5, 1.5);
  EXPECT_EQ(x, 1.5);
  EXPECT_EQ(calls, 1);
}

}  // namespace
