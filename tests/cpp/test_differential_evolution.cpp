#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "optimizer/differential_evolution.hpp"
#include "recording_objective.hpp"

namespace {

using velk::Bounds;
using velk::differential_evolution;

double shifted_sphere(std::span<const double> x) {
  double s = 0.0;
  for (std::size_t j = 0; j < x.size(); ++j) {
    const double d = x[j] - 0.1 * static_cast<double>(j + 1);
    s += d * d;
  }
  return 1.0 + s;
}

std::string error_text(auto&& call) {
  try {
    call();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no error";
}

// Piecewise objective with kinks, so that runs take many different paths.
// Must match rugged() in gen_de_vectors.py operation for operation.
double rugged(std::span<const double> x) {
  double s = 0.5;
  for (std::size_t j = 0; j < x.size(); ++j) {
    const double d = x[j] - 0.25 * static_cast<double>(j + 1);
    s += d * d + 0.3 * std::abs(d - 0.125 * std::floor(8.0 * d));
  }
  return s;
}

struct ReferenceRun {
  std::size_t dim;
  std::uint64_t seed;
  int evaluations;
  std::vector<double> x;
  double value;
};

TEST(DifferentialEvolutionSeeding, MatchesIndependentModelBitForBit) {
  // From tests/cpp/gen_de_vectors.py: every draw, comparison and rounding of
  // the evolution and the polish has to agree for these to match, so they also
  // pin the population's draw order, the pure mutants of one dimension, and
  // that one seed always gives the same run.
  const ReferenceRun runs[] = {
      {1, 0x0ULL, 656, {0x1.0000000487152p-2}, 0x1.00000000addccp-1},
      {2, 0x1ULL, 2625, {0x1.0000000076bc7p-2, 0x1.0000000c5098ap-1}, 0x1.00000003c396dp-1},
      {3, 0xffffffffffffffffULL, 5835,
       {0x1.000000032eddcp-2, 0x1.800000053f802p-2, 0x1.8000000506908p-1}, 0x1.080000021dc96p-1},
  };
  const std::vector<Bounds> all_bounds = {{-2.0, 2.0}, {-1.0, 3.0}, {-5.0, 5.0}};
  for (const auto& run : runs) {
    SCOPED_TRACE(run.dim);
    std::vector<Bounds> box(all_bounds.begin(), all_bounds.begin() + static_cast<long>(run.dim));
    if (run.dim == 3) box[1] = {0.0, 0.4};  // optimum beyond the upper edge
    int calls = 0;
    auto counted = [&](std::span<const double> x) {
      ++calls;
      return rugged(x);
    };
    const auto result = differential_evolution(counted, box, run.seed);
    EXPECT_EQ(calls, run.evaluations);
    EXPECT_EQ(result.x, run.x);
    EXPECT_EQ(result.value, run.value);
  }
}

TEST(DifferentialEvolutionSeeding, UnseededRunsDiffer) {
  const Bounds box[] = {{0.0, 1.0}};
  Recorder first(shifted_sphere);
  Recorder second(shifted_sphere);
  differential_evolution(first, box, std::nullopt);
  differential_evolution(second, box, std::nullopt);
  EXPECT_NE(first.points[0], second.points[0]);
}

TEST(DifferentialEvolutionBounds, TrialsNeverLeaveTheBox) {
  // The minimum lies far outside the box, so mutants overshoot constantly and
  // the bounce-back has to bring every one of them back.
  const Bounds box[] = {{0.0, 1.0}, {-1.0, 0.5}, {2.0, 2.5}};
  int outside = 0;
  auto obj = [&](std::span<const double> x) {
    double s = 0.0;
    for (std::size_t j = 0; j < 3; ++j) {
      if (x[j] < box[j].lo || x[j] > box[j].hi) ++outside;
      s += (x[j] - 10.0) * (x[j] - 10.0);
    }
    return s;
  };
  const auto result = differential_evolution(obj, box, 3);
  EXPECT_EQ(outside, 0);
  EXPECT_NEAR(result.x[0], 1.0, 1e-6);
  EXPECT_NEAR(result.x[1], 0.5, 1e-6);
  EXPECT_NEAR(result.x[2], 2.5, 1e-6);
}

TEST(DifferentialEvolutionBounds, InvertedOrNaNBoundsShowBothEnds) {
  const Bounds inverted[] = {{0.0, 1.0}, {3.0, 1.0}};
  const Bounds nan[] = {{std::nan(""), 1.0}};
  EXPECT_EQ(error_text([&] { differential_evolution(shifted_sphere, inverted, 1); }),
            "invalid bounds: lower bound 3 exceeds upper bound 1");
  EXPECT_EQ(error_text([&] { differential_evolution(shifted_sphere, nan, 1); }),
            "invalid bounds (lo=nan, hi=1): a bound is NaN");
}

TEST(DifferentialEvolutionStopping, ConstantNonZeroRunsOneGeneration) {
  for (std::size_t dim = 1; dim <= 3; ++dim) {
    SCOPED_TRACE(dim);
    std::vector<Bounds> box(dim, Bounds{-1.0, 1.0});
    int calls = 0;
    auto obj = [&](std::span<const double>) {
      ++calls;
      return 2.5;
    };
    const auto result = differential_evolution(obj, box, 5);
    const int np = 15 * static_cast<int>(dim);
    // A constant simplex converges on its first ordering: n + 1 evaluations.
    EXPECT_EQ(calls, np + np + static_cast<int>(dim) + 1);
    EXPECT_EQ(result.value, 2.5);
  }
}

TEST(DifferentialEvolutionStopping, ConstantZeroRunsAllGenerations) {
  const Bounds box[] = {{-1.0, 1.0}};
  int calls = 0;
  auto obj = [&](std::span<const double>) {
    ++calls;
    return 0.0;
  };
  differential_evolution(obj, box, 5);
  EXPECT_EQ(calls, 15 + 1000 * 15 + 2);
}

TEST(DifferentialEvolutionResult, ValueIsTheObjectiveAtTheReturnedPoint) {
  // A rugged objective with a penalty term: the value reported is the
  // objective's own, not a recomputation of part of it.
  auto obj = [](std::span<const double> x) {
    return std::sin(5.0 * x[0]) * std::cos(3.0 * x[1]) + 0.1 * (x[0] * x[0] + x[1] * x[1]);
  };
  const Bounds box[] = {{-3.0, 3.0}, {-3.0, 3.0}};
  const auto result = differential_evolution(obj, box, 17);
  EXPECT_EQ(result.value, obj(result.x));
}

TEST(DifferentialEvolutionFailures, NaNBestMemberHasNoOrderInPolish) {
  // Member 0 is NaN: nothing compares below it, so it stays best and the
  // polish starts from it.
  std::vector<double> first_point;
  auto obj = [&](std::span<const double> x) {
    if (first_point.empty()) first_point.assign(x.begin(), x.end());
    if (std::equal(x.begin(), x.end(), first_point.begin())) return std::nan("");
    return shifted_sphere(x);
  };
  const Bounds box[] = {{-1.0, 1.0}, {-1.0, 1.0}};
  const std::string text = error_text([&] { differential_evolution(obj, box, 2); });
  EXPECT_NE(text.find("a comparison found no order"), std::string::npos) << text;
}

}  // namespace
