#include <gtest/gtest.h>

#include <cmath>
#include <csignal>

#include "run_state.hpp"

namespace {

TEST(RunState, SwitchesStartUnsaturatedAndFractionBased) {
  EXPECT_TRUE(std::isinf(velk::mm_vmax()));
  EXPECT_GT(velk::mm_vmax(), 0.0);
  EXPECT_FALSE(velk::raw_count());
  EXPECT_FALSE(velk::interrupted());
}

TEST(RunState, SigintHandlerOnlySetsTheFlag) {
  velk::set_interrupted(false);
  velk::set_interrupted_flag(SIGINT);
  EXPECT_TRUE(velk::interrupted());
  velk::set_interrupted(false);
}

}  // namespace
