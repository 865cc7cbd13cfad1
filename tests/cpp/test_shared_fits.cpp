// The shared fits' warm starts and their quiet mode: only the bootstraps use
// them, so they cannot be reached from Python yet.
#include "fits/shared_fits.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "parallel.hpp"
#include "row_matrix.hpp"
#include "velk_model.hpp"

namespace {

using velk::Bounds;

const std::vector<double> kEdges{0.0, 0.25, 0.5, 0.75, 1.0};
constexpr double kInf = std::numeric_limits<double>::infinity();

// With no densities every outer evaluation is -0.0, so a single start ends at
// once on vertex 0: the result is the warm start exactly as it was clamped.
TEST(SharedExpWarmStart, OutOfBoundsStartIsClampedOntoTheBounds) {
  const velk::SharedExpFit fit = velk::fit_shared_exp_inner(
      {}, kEdges, true, /*fit_vmax=*/true, std::nullopt, {0.1, 1.0}, {0.5, 2.0}, {1.0, 3.0},
      {1.0, 100.0}, 0.0, false, velk::SharedExpStart{50.0, -4.0, 9.0, 1e-3});
  EXPECT_EQ(fit.St, std::pow(10.0, std::log10(1.0)));
  EXPECT_EQ(fit.n_U, 1.0);
  EXPECT_EQ(fit.n_M, 3.0);
  EXPECT_EQ(fit.Vmax, std::pow(10.0, std::log10(1.0)));
  EXPECT_TRUE(fit.densities.empty());
}

TEST(SharedExpWarmStart, VmaxBoundsAreCheckedEvenWhenVmaxIsNotFitted) {
  auto run = [](Bounds vmax) {
    return velk::fit_shared_exp_inner({}, kEdges, true, /*fit_vmax=*/false, std::nullopt,
                                      {0.1, 1.0}, {0.5, 2.0}, {1.0, 3.0}, vmax, 0.0, false,
                                      velk::SharedExpStart{0.5, 2.0, 2.0, 10.0});
  };
  EXPECT_THROW(run({100.0, 1.0}), std::runtime_error);
  const velk::SharedExpFit fit = run({1.0, 100.0});
  EXPECT_EQ(fit.Vmax, kInf);  // the run-wide ceiling, untouched by the warm start
  EXPECT_DOUBLE_EQ(fit.St, 0.5);
}

TEST(SharedCoWarmStart, OutOfBoundsStartIsClampedOntoTheBounds) {
  const velk::SharedCoFit fit =
      velk::fit_shared_co_inner({}, kEdges, true, std::nullopt, {0.1, 1.0}, {0.5, 2.0},
                                {1.0, 3.0}, 0.0, false, velk::SharedCoStart{1e-3, 10.0, 1.0});
  EXPECT_EQ(fit.St, std::pow(10.0, std::log10(0.1)));
  EXPECT_EQ(fit.CoW, std::pow(10.0, std::log10(2.0)));
  EXPECT_DOUBLE_EQ(fit.CoE, 1.0);
}

TEST(SharedCoWarmStart, InvertedBoundsFailOnTheWarmStart) {
  EXPECT_THROW(velk::fit_shared_co_inner({}, kEdges, true, std::nullopt, {0.1, 1.0}, {2.0, 0.5},
                                         {1.0, 3.0}, 0.0, false, velk::SharedCoStart{0.5, 1.0, 1.0}),
               std::runtime_error);
}

// The bootstraps call the cores from pool workers with logging off: nested
// passes must finish, write nothing, and match the same fit run directly.
TEST(SharedFitsInPoolWorkers, NestedQuietFitsMatchDirectOnesAndWriteNothing) {
  velk::RowMatrix rows(2, 4);
  const auto first = velk::bin_probabilities(
      velk::solve_steady_state(0.3, 1.0, 2.0, 1.0, velk::cooperative_powers(2.0, 2.0, false), kInf),
      kEdges);
  const auto second = velk::bin_probabilities(
      velk::solve_steady_state(0.3, 1.0, 1.0, 2.0, velk::cooperative_powers(2.0, 2.0, false), kInf),
      kEdges);
  for (std::size_t b = 0; b < 4; ++b) {
    rows(0, b) = first[b];
    rows(1, b) = second[b];
  }
  const auto spans = rows.row_spans();
  auto fit = [&] {
    return velk::fit_shared_exp_inner(spans, kEdges, true, false, std::nullopt, {0.1, 1.0},
                                      {0.5, 5.0}, {1.5, 2.5}, {1.0, 100.0}, 0.0, false,
                                      velk::SharedExpStart{0.3, 2.0, 2.0, 1.0});
  };
  testing::internal::CaptureStderr();
  const velk::SharedExpFit direct = fit();
  const auto nested = velk::parallel_map(3, [&](std::size_t) { return fit(); });
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  for (const velk::SharedExpFit& sample : nested) {
    EXPECT_EQ(sample.St, direct.St);
    EXPECT_EQ(sample.n_U, direct.n_U);
    EXPECT_EQ(sample.n_M, direct.n_M);
    EXPECT_EQ(sample.densities, direct.densities);
  }
}

}  // namespace
