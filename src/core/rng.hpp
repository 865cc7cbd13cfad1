// The random stream behind every optimiser run: ChaCha with 8 rounds.
//
// Stored seeds must replay to the same fit forever, so the stream is defined
// down to the word: standard ChaCha keystream order, a 64-bit block counter
// starting at 0 and stream (nonce) 0, four blocks generated at a time into a
// 64-word buffer, and 64-bit draws made of two consecutive 32-bit words with
// the earlier word as the low half.
#pragma once

#include <array>
#include <cstdint>

namespace velk {

class ChaCha8 {
 public:
  static constexpr std::size_t kKeyBytes = 32;
  static constexpr std::size_t kBufferWords = 64;  // four 16-word blocks

  /// Stream for a raw 32-byte key (little-endian words), counter 0, stream 0.
  explicit ChaCha8(const std::array<std::uint8_t, kKeyBytes>& key) noexcept;

  /// Stream whose key is the 64-bit `seed` expanded by eight PCG32 steps
  /// (state = state * 6364136223846793005 + 11634580027462260723, then one
  /// 32-bit output word per step, stored little-endian). Never throws.
  static ChaCha8 seed_from_u64(std::uint64_t seed) noexcept;

  /// Stream keyed from the operating system's random source (getrandom(2),
  /// else /dev/urandom). Throws std::runtime_error when neither gives 32 bytes.
  static ChaCha8 from_entropy();

  /// Next 32-bit word of the keystream.
  std::uint32_t next_u32() noexcept;

  /// Next two words, earlier word low. When only the buffer's last word is
  /// left it becomes the low half and the refilled buffer's first word the high.
  std::uint64_t next_u64() noexcept;

  /// Uniform double in [0, 1): the top 53 bits of one 64-bit draw times 2^-53.
  double uniform_double() noexcept { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }

  /// Uniform integer in [0, n) for n >= 1, by widening multiplication with
  /// rejection: the high half of u * n is returned when the low half is at
  /// most (n << leading_zeros(n)) - 1, else a new u is drawn. n = 0 is a
  /// caller error (the result is then 0 without any draw).
  std::uint64_t uniform_index(std::uint64_t n) noexcept;

 private:
  void refill() noexcept;

  std::array<std::uint32_t, 8> key_{};
  std::uint64_t counter_ = 0;
  std::array<std::uint32_t, kBufferWords> buffer_{};
  std::size_t index_ = kBufferWords;  // empty: the first draw fills the buffer
};

}  // namespace velk
