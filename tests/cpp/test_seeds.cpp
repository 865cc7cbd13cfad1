#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <set>

#include "seeds.hpp"

namespace {

constexpr std::uint64_t kMax = ~std::uint64_t{0};

TEST(Seeds, SplitMix64MatchesTheReferenceGenerator) {
  // The first output of the reference splitmix64 generator started at state 0.
  EXPECT_EQ(velk::splitmix64(0), 0xe220a8397b1dcdafULL);
  EXPECT_EQ(velk::splitmix64(kMax), 0xe4d971771b652c20ULL);
}

TEST(Seeds, RunSeedCheckValues) {
  // From an independent model of the derivation in Python integers.
  struct Case {
    std::uint64_t seed, sample, density, expected;
  };
  const Case cases[] = {
      {0, 0, 0, 0x238275bc38fcbe91ULL},
      {0, 0, 1, 0x2f32a78496c67c60ULL},
      {0, 1, 0, 0x44e5b98100c67fb0ULL},
      {42, 7, 3, 0xf55e4254d4655539ULL},
      {kMax, std::uint64_t{1} << 53, kMax, 0x7decea19d6fdd808ULL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seed);
    EXPECT_EQ(velk::run_seed(c.seed, c.sample, c.density), c.expected);
    EXPECT_EQ(velk::run_seed(std::optional<std::uint64_t>(c.seed), c.sample, c.density),
              std::optional<std::uint64_t>(c.expected));
  }
}

TEST(Seeds, DistinctIndicesAndNearbySeedsGiveDistinctRunSeeds) {
  // Swapping sample and density, or moving one index by one, must not repeat
  // a seed, nor may consecutive caller seeds share run seeds.
  std::set<std::uint64_t> seen;
  for (std::uint64_t seed = 0; seed < 4; ++seed) {
    for (std::uint64_t sample = 0; sample < 32; ++sample) {
      for (std::uint64_t density = 0; density < 32; ++density) {
        seen.insert(velk::run_seed(seed, sample, density));
      }
    }
  }
  EXPECT_EQ(seen.size(), 4u * 32u * 32u);
}

TEST(Seeds, NoCallerSeedStaysUnseeded) {
  EXPECT_EQ(velk::run_seed(std::optional<std::uint64_t>{}, 3, 4), std::nullopt);
}

}  // namespace
