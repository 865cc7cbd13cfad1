// Vectors from tests/cpp/gen_rng_vectors.py, an independent model of the
// stream; regenerate them there if the stream ever has to change.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "rng.hpp"

namespace {

using velk::ChaCha8;

TEST(ChaCha8Stream, ZeroKeyCheckVector) {
  ChaCha8 rng(std::array<std::uint8_t, 32>{});
  EXPECT_EQ(rng.next_u64(), 0xd6405f892fef003eULL);
}

struct SeedVector {
  std::uint64_t seed;
  std::array<std::uint64_t, 5> draws;
};

TEST(ChaCha8Stream, SeedFromU64FirstDraws) {
  const SeedVector vectors[] = {
      {0x0ULL,
       {0xb585f767a79a3b6cULL, 0x7746a55fbad8c037ULL, 0xb2fb0d3281e2a6e6ULL, 0x0f6760a48f9b887cULL,
        0xe10d666732024679ULL}},
      {0x1ULL,
       {0x67094cea8ca40db1ULL, 0x149406d8fc0e8e6bULL, 0x98b82b0336070665ULL, 0x3825a7dc63080d42ULL,
        0x489ff253d51bcbe5ULL}},
      {0x2aULL,
       {0xae90bfb5395d5ba1ULL, 0xf3453fc625799188ULL, 0x6d71b708c5b6538cULL, 0xa09ab2f958166752ULL,
        0x49e149d8bcb642b0ULL}},
      {0xffffffffffffffffULL,
       {0xaf202386e3a73caeULL, 0x6da0df0397be2dd8ULL, 0x617b5f2406581bdcULL, 0x6ed021f89985a597ULL,
        0xa88ebaf095ebc1c5ULL}},
  };
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.seed);
    ChaCha8 rng = ChaCha8::seed_from_u64(v.seed);
    for (const std::uint64_t expected : v.draws) EXPECT_EQ(rng.next_u64(), expected);
  }
}

TEST(ChaCha8Stream, DrawsAcrossTheBufferRefill) {
  // 32 aligned draws empty the 64-word buffer; draw 32 opens the next four
  // blocks (block counter 4).
  ChaCha8 rng = ChaCha8::seed_from_u64(7);
  std::vector<std::uint64_t> draws;
  for (int i = 0; i < 34; ++i) draws.push_back(rng.next_u64());
  EXPECT_EQ(draws[30], 0xb40edb52268ae564ULL);
  EXPECT_EQ(draws[31], 0x6d7db0f2705ec875ULL);
  EXPECT_EQ(draws[32], 0x92c50fadf8c643aeULL);
  EXPECT_EQ(draws[33], 0x56d1b22967fb494bULL);
}

TEST(ChaCha8Stream, LoneLastWordIsTheLowHalf) {
  // After one 32-bit read the 64-bit draws are misaligned: the buffer's last
  // word becomes the low half and the refilled buffer's first word the high.
  ChaCha8 rng = ChaCha8::seed_from_u64(7);
  rng.next_u32();
  std::vector<std::uint64_t> draws;
  for (int i = 0; i < 33; ++i) draws.push_back(rng.next_u64());
  EXPECT_EQ(draws[31], 0xf8c643ae6d7db0f2ULL);
  EXPECT_EQ(draws[32], 0x67fb494b92c50fadULL);
}

TEST(ChaCha8Draws, UniformDouble) {
  ChaCha8 rng = ChaCha8::seed_from_u64(3);
  EXPECT_EQ(rng.uniform_double(), 0.6229674639432577);
  EXPECT_EQ(rng.uniform_double(), 0.08130169721295732);
  EXPECT_EQ(rng.uniform_double(), 0.32280566285267387);
  EXPECT_EQ(rng.uniform_double(), 0.0836377620695733);
}

TEST(ChaCha8Draws, UniformIndexIncludingRejections) {
  // n = 2^63 + 1 rejects about half of all draws, so this sequence also checks
  // that a rejected draw is consumed and the next one used.
  ChaCha8 rng = ChaCha8::seed_from_u64(5);
  const std::uint64_t ns[] = {1, 2, 3, 7, 15, 30, 45, 75, (1ULL << 63) + 1,
                              1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000};
  const std::uint64_t expected[] = {0, 1, 2, 6, 6, 8, 44, 30, 7466242774048074769ULL,
                                    851, 825, 370, 165, 729, 44, 567, 325};
  for (std::size_t i = 0; i < std::size(ns); ++i) {
    EXPECT_EQ(rng.uniform_index(ns[i]), expected[i]) << "draw " << i << ", n = " << ns[i];
  }
}

TEST(ChaCha8Entropy, StreamsDiffer) {
  ChaCha8 first = ChaCha8::from_entropy();
  ChaCha8 second = ChaCha8::from_entropy();
  EXPECT_NE(first.next_u64(), second.next_u64());
}

}  // namespace
