#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "log.hpp"

namespace {

using velk::fixed;
using velk::padded;
using velk::signed_fixed;

TEST(LogFormat, FixedPointStyles) {
  EXPECT_EQ(fixed(0.5, 3), "0.500");
  EXPECT_EQ(fixed(2.0 / 3.0, 6), "0.666667");
  EXPECT_EQ(signed_fixed(2.0, 3), "+2.000");
  EXPECT_EQ(signed_fixed(-1.23456, 3), "-1.235");
  EXPECT_EQ(fixed(1e20, 1), "100000000000000000000.0");
  // Never switches to exponent notation, however large.
  EXPECT_EQ(fixed(1e300, 2).size(), 301u + 3u);
}

TEST(LogFormat, SignedZeroInfinityAndNaN) {
  // Negative zero, and negatives that round to zero, keep their sign.
  EXPECT_EQ(fixed(-0.0, 3), "-0.000");
  EXPECT_EQ(signed_fixed(-0.0, 3), "-0.000");
  EXPECT_EQ(signed_fixed(0.0, 3), "+0.000");
  EXPECT_EQ(signed_fixed(-0.0001, 3), "-0.000");
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(fixed(inf, 6), "inf");
  EXPECT_EQ(fixed(-inf, 6), "-inf");
  EXPECT_EQ(signed_fixed(inf, 3), "+inf");
  EXPECT_EQ(fixed(std::nan(""), 6), "NaN");
  EXPECT_EQ(signed_fixed(-std::nan(""), 3), "NaN");
}

TEST(LogFormat, PaddedIntegers) {
  EXPECT_EQ(padded(7, 3), "  7");
  EXPECT_EQ(padded(-5, 3), " -5");
  EXPECT_EQ(padded(1234, 3), "1234");
  EXPECT_EQ(padded(1, 80).size(), 80u);
}

TEST(LogWrite, WholeLineReachesStandardError) {
  testing::internal::CaptureStderr();
  velk::write_stderr_line("--- best start: 2 with NLL=1.000000 ---\n");
  velk::write_stderr_line("");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "--- best start: 2 with NLL=1.000000 ---\n");
}

}  // namespace
