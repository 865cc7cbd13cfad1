#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "optimizer/bounds.hpp"
#include "optimizer/nelder_mead.hpp"
#include "recording_objective.hpp"
#include "run_state.hpp"

namespace {

using velk::Bounds;
using velk::NelderMeadSettings;
using velk::nelder_mead_minimize;
using Point = std::vector<double>;

constexpr double kInf = std::numeric_limits<double>::infinity();

double sphere_at(std::span<const double> x, std::span<const double> centre) {
  double s = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) s += (x[i] - centre[i]) * (x[i] - centre[i]);
  return s;
}

TEST(BoundsClamp, ClampsAndRejectsBadPairs) {
  EXPECT_EQ(velk::clamp_to_bounds(-2.0, {0.0, 1.0}), 0.0);
  EXPECT_EQ(velk::clamp_to_bounds(2.0, {0.0, 1.0}), 1.0);
  EXPECT_EQ(velk::clamp_to_bounds(0.5, {0.0, 1.0}), 0.5);
  EXPECT_TRUE(std::isnan(velk::clamp_to_bounds(std::nan(""), {0.0, 1.0})));
  EXPECT_EQ(velk::clamp_to_bounds(-kInf, {-1.0, -1.0}), -1.0);

  auto message = [](Bounds b) {
    try {
      velk::clamp_to_bounds(0.0, b);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message({3.0, 1.0}), "invalid bounds: lower bound 3 exceeds upper bound 1");
  EXPECT_EQ(message({std::nan(""), 1.0}), "invalid bounds (lo=nan, hi=1): a bound is NaN");
  EXPECT_EQ(message({0.25, std::nan("")}), "invalid bounds (lo=0.25, hi=nan): a bound is NaN");
}

TEST(NelderMeadInitialSimplex, ZeroCoordinateGetsFixedStep) {
  Recorder obj([](std::span<const double> x) { return x[0] * x[0] + x[1] * x[1] + x[2] * x[2]; });
  const Point x0 = {0.0, 1e-11, 2.0};
  const Bounds box[] = {{-10, 10}, {-10, 10}, {-10, 10}};
  nelder_mead_minimize(obj, x0, box, NelderMeadSettings::shared_fit());
  ASSERT_GE(obj.points.size(), 4u);
  EXPECT_EQ(obj.points[0], x0);
  EXPECT_EQ(obj.points[1], (Point{0.00025, 1e-11, 2.0}));
  EXPECT_EQ(obj.points[2], (Point{0.0, 1e-11 + 0.00025, 2.0}));
  EXPECT_EQ(obj.points[3], (Point{0.0, 1e-11, 2.0 + 0.05 * 2.0}));
}

TEST(NelderMeadInitialSimplex, OutOfBoundsStartOnlyInInitialVertices) {
  Recorder obj([](std::span<const double> x) {
    const double centre[] = {0.3, 0.7};
    return sphere_at(x, centre);
  });
  const Point x0 = {5.0, -3.0};
  const Bounds box[] = {{0.0, 1.0}, {0.0, 1.0}};
  const auto result = nelder_mead_minimize(obj, x0, box, NelderMeadSettings::polish());
  ASSERT_GT(obj.points.size(), 3u);
  // Only the perturbed coordinate of each initial vertex is clamped.
  EXPECT_EQ(obj.points[0], x0);
  EXPECT_EQ(obj.points[1], (Point{1.0, -3.0}));
  EXPECT_EQ(obj.points[2], (Point{5.0, 0.0}));
  for (std::size_t i = 3; i < obj.points.size(); ++i) {
    for (std::size_t c = 0; c < 2; ++c) {
      ASSERT_GE(obj.points[i][c], 0.0) << "evaluation " << i;
      ASSERT_LE(obj.points[i][c], 1.0) << "evaluation " << i;
    }
  }
  // Clamping may flatten the simplex onto an edge, but the result is inside.
  EXPECT_GE(result.x[0], 0.0);
  EXPECT_LE(result.x[0], 1.0);
  EXPECT_GE(result.x[1], 0.0);
  EXPECT_LE(result.x[1], 1.0);
}

TEST(NelderMeadConvergence, FindsKnownMinimum) {
  const double centre[] = {1.0, -2.0, 0.5};
  auto obj = [&](std::span<const double> x) { return 3.0 + sphere_at(x, centre); };
  const Bounds box[] = {{-5, 5}, {-5, 5}, {-5, 5}};
  const auto result =
      nelder_mead_minimize(obj, Point{0.5, 0.5, 0.5}, box, NelderMeadSettings::polish());
  for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(result.x[i], centre[i], 1e-4);
  EXPECT_EQ(result.value, obj(result.x));
  EXPECT_LT(result.value - 3.0, 1e-8);
}

TEST(NelderMeadConvergence, ConstantObjectiveReturnsVertexZero) {
  for (const auto& settings : {NelderMeadSettings::shared_fit(), NelderMeadSettings::polish()}) {
    int calls = 0;
    auto obj = [&](std::span<const double>) {
      ++calls;
      return 4.5;
    };
    const Point x0 = {1.0, 2.0, 3.0};
    const Bounds box[] = {{0, 10}, {0, 10}, {0, 10}};
    const auto result = nelder_mead_minimize(obj, x0, box, settings);
    EXPECT_EQ(calls, 4);  // the initial simplex only
    EXPECT_EQ(result.x, x0);
    EXPECT_EQ(result.value, 4.5);
  }
}

// Values keyed on the exact initial vertices of x0 = (1, 1).
const Point kV0 = {1.0, 1.0};
const Point kV1 = {1.0 + 0.05 * 1.0, 1.0};
const Point kV2 = {1.0, 1.0 + 0.05 * 1.0};
const Bounds kBox[] = {{0.0, 2.0}, {0.0, 2.0}};

TEST(NelderMeadTies, ReflectionEqualToBestIsAcceptedWithoutExpansion) {
  // f(v0) = 2, f(v1) = 0, f(v2) = 1, any other point 0: the reflection ties
  // the best vertex, so it replaces the worst with no expansion.
  Recorder obj([](std::span<const double> x) {
    const Point p(x.begin(), x.end());
    if (p == kV0) return 2.0;
    if (p == kV2) return 1.0;
    return 0.0;
  });
  const auto result = nelder_mead_minimize(obj, kV0, kBox, NelderMeadSettings{1e-10, false, 1});
  ASSERT_EQ(obj.points.size(), 4u);
  const double c0 = ((0.0 + kV1[0]) + kV2[0]) / 2.0;
  const double c1 = ((0.0 + kV1[1]) + kV2[1]) / 2.0;
  const Point reflected = {c0 + (c0 - kV0[0]), c1 + (c1 - kV0[1])};
  EXPECT_EQ(obj.points[3], reflected);
  // The reflection took slot 0 and ties vertex 1: the earlier slot wins.
  EXPECT_EQ(result.x, reflected);
  EXPECT_EQ(result.value, 0.0);
}

TEST(NelderMeadTies, EqualBestValuesKeepCreationOrder) {
  // v1 and v2 tie at 0 ahead of v0 = 1. The reflection ties the second worst,
  // which is not good enough: an inside contraction replaces v0, and the
  // all-zero simplex then returns the earliest slot, 0.
  Recorder obj([](std::span<const double> x) {
    return (x[0] > 1.01 || x[1] > 1.01) ? 0.0 : 1.0;
  });
  const auto result = nelder_mead_minimize(obj, kV0, kBox, NelderMeadSettings::polish());
  ASSERT_EQ(obj.points.size(), 5u);
  const double c0 = ((0.0 + kV1[0]) + kV2[0]) / 2.0;
  const double c1 = ((0.0 + kV1[1]) + kV2[1]) / 2.0;
  const Point contracted = {c0 + 0.5 * (kV0[0] - c0), c1 + 0.5 * (kV0[1] - c1)};
  EXPECT_EQ(obj.points[4], contracted);
  EXPECT_EQ(result.x, contracted);
}

TEST(NelderMeadStopping, StagnationOrElseTheStepLimitStopsOnInfinitePlateau) {
  // Every step is a failed reflection, a failed contraction and a shrink
  // (n evaluations); the 50th ordering without progress stops the run, and
  // without that rule the step limit does.
  int calls = 0;
  auto obj = [&](std::span<const double>) {
    ++calls;
    return kInf;
  };
  const Point x0 = {0.5, 0.5};
  const auto result = nelder_mead_minimize(obj, x0, kBox, NelderMeadSettings::shared_fit());
  EXPECT_EQ(calls, 3 + 49 * (1 + 1 + 2));
  EXPECT_EQ(result.x, x0);
  EXPECT_EQ(result.value, kInf);
  calls = 0;
  nelder_mead_minimize(obj, x0, kBox, NelderMeadSettings::polish());
  EXPECT_EQ(calls, 3 + 2000 * (1 + 1 + 2));
}

TEST(NelderMeadStopping, SmallImprovementsCountAsStagnation) {
  // Every evaluation beats all before it by 1e-6, so each step is a successful
  // expansion (two evaluations), yet the total gain stays below 0.001: the
  // 50th ordering stops the run although the spread never meets tolerance 0.
  double next = 0.0;
  int calls = 0;
  auto obj = [&](std::span<const double>) {
    ++calls;
    next -= 1e-6;
    return next;
  };
  nelder_mead_minimize(obj, Point{0.5, 0.5}, kBox, NelderMeadSettings{0.0, true, 200});
  EXPECT_EQ(calls, 3 + 49 * 2);
}

TEST(NelderMeadFailures, NaNValueHasNoOrderAndBadBoundsFailOnFirstClamp) {
  auto obj = [](std::span<const double> x) { return x[0] > 1.0 ? std::nan("") : x[0]; };
  try {
    nelder_mead_minimize(obj, kV0, kBox, NelderMeadSettings::polish());
    FAIL() << "expected an error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("a comparison found no order"), std::string::npos);
  }
  const Bounds inverted[] = {{2.0, -2.0}};
  EXPECT_THROW(nelder_mead_minimize(obj, Point{1.0}, inverted, NelderMeadSettings::polish()),
               std::runtime_error);
}

// ----- multi-start driver -------------------------------------------------

struct Lines {
  std::string start(std::size_t i, std::size_t count, std::span<const double> x) const {
    return "start " + std::to_string(i) + "/" + std::to_string(count) +
           " x0=" + velk::fixed(x[0], 3) + "\n";
  }
  std::string converged(std::size_t i, std::span<const double>, double value) const {
    return "converged " + std::to_string(i) + " " + velk::fixed(value, 6) + "\n";
  }
  std::string best(std::size_t i, double value) const {
    return "best " + std::to_string(i) + " " + velk::fixed(value, 6) + "\n";
  }
};

template <class Objective>
velk::MultiStartResult run_multi(Objective&& obj, const std::vector<Point>& starts, bool verbose) {
  const Lines lines;
  return velk::nelder_mead_multi_start(
      obj, starts, kBox, verbose,
      [&](std::size_t i, std::size_t n, std::span<const double> x) { return lines.start(i, n, x); },
      [&](std::size_t i, std::span<const double> x, double v) { return lines.converged(i, x, v); },
      [&](std::size_t i, double v) { return lines.best(i, v); });
}

TEST(NelderMeadMultiStart, EarlierStartWinsTiesAndVerboseOffWritesNothing) {
  auto flat = [](std::span<const double>) { return 1.0; };
  const std::vector<Point> starts = {{0.25, 0.25}, {0.75, 0.75}, {1.5, 1.5}};
  testing::internal::CaptureStderr();
  const auto result = run_multi(flat, starts, false);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(result.best_start, 1u);
  EXPECT_EQ(result.x, starts[0]);
  EXPECT_EQ(result.value, 1.0);
}

TEST(NelderMeadMultiStart, StrictlyBetterLaterStartWinsAndLinesAreInOrder) {
  // Two basins: the second start reaches the deeper one.
  auto two_wells = [](std::span<const double> x) {
    const double a[] = {0.2, 0.2};
    const double b[] = {1.6, 1.6};
    return x[0] < 1.0 ? 1.0 + sphere_at(x, a) : sphere_at(x, b);
  };
  const std::vector<Point> starts = {{0.25, 0.25}, {1.5, 1.5}};
  testing::internal::CaptureStderr();
  const auto result = run_multi(two_wells, starts, true);
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result.best_start, 2u);
  EXPECT_LT(result.value, 1e-3);
  // Start and converged lines alternate, the best line comes last.
  const std::string tail = "start 2/2 x0=1.500\nconverged 2 " + velk::fixed(result.value, 6) +
                           "\nbest 2 " + velk::fixed(result.value, 6) + "\n";
  EXPECT_EQ(out.rfind("start 1/2 x0=0.250\nconverged 1 ", 0), 0u) << out;
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

TEST(NelderMeadMultiStart, InterruptStopsNewStarts) {
  // The flag goes up during the first start; the objective then returns +inf
  // as the fits' objectives do, the run winds down, no second start begins.
  velk::set_interrupted(false);
  int calls = 0;
  auto obj = [&](std::span<const double> x) {
    if (velk::interrupted()) return kInf;
    if (++calls == 5) velk::set_interrupted(true);
    return x[0] * x[0] + x[1] * x[1];
  };
  const std::vector<Point> starts = {{0.5, 0.5}, {1.0, 1.0}};
  testing::internal::CaptureStderr();
  const auto result = run_multi(obj, starts, true);
  const std::string out = testing::internal::GetCapturedStderr();
  velk::set_interrupted(false);
  EXPECT_EQ(out.find("start 2/2"), std::string::npos);
  EXPECT_NE(out.find("best "), std::string::npos);
  // The first run's best vertex is finite, so start 1 is still the best record.
  EXPECT_EQ(result.best_start, 1u);
  EXPECT_TRUE(std::isfinite(result.value));
}

TEST(NelderMeadMultiStart, InterruptBeforeFirstStartReportsNoStart) {
  velk::set_interrupted(true);
  int calls = 0;
  auto obj = [&](std::span<const double>) {
    ++calls;
    return 0.0;
  };
  const std::vector<Point> starts = {{0.5, 0.5}, {1.0, 1.0}};
  testing::internal::CaptureStderr();
  const auto result = run_multi(obj, starts, true);
  const std::string out = testing::internal::GetCapturedStderr();
  velk::set_interrupted(false);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(result.best_start, 0u);
  EXPECT_EQ(result.value, kInf);
  EXPECT_EQ(result.x, starts[0]);
  EXPECT_EQ(out, "best 0 inf\n");
}

}  // namespace
