#include "rng.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <stdexcept>

namespace velk {
namespace {

// The widening product of the index draws; __extension__ keeps -Wpedantic quiet.
__extension__ using uint128 = unsigned __int128;

constexpr std::array<std::uint32_t, 4> kSigma = {0x61707865u, 0x3320646eu, 0x79622d32u,
                                                 0x6b206574u};  // "expand 32-byte k"

inline void quarter_round(std::array<std::uint32_t, 16>& s, int a, int b, int c, int d) noexcept {
  s[a] += s[b]; s[d] = std::rotl(s[d] ^ s[a], 16);
  s[c] += s[d]; s[b] = std::rotl(s[b] ^ s[c], 12);
  s[a] += s[b]; s[d] = std::rotl(s[d] ^ s[a], 8);
  s[c] += s[d]; s[b] = std::rotl(s[b] ^ s[c], 7);
}

std::uint32_t load_le32(const std::uint8_t* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Fills `out` completely or returns false. getrandom may be missing (old
// kernels, seccomp sandboxes), hence the device fallback.
bool read_os_entropy(std::uint8_t* out, std::size_t size) noexcept {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = getrandom(out + done, size - done, 0);
    if (got > 0) {
      done += static_cast<std::size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  if (done == size) return true;

  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  done = 0;
  while (done < size) {
    const ssize_t got = ::read(fd, out + done, size - done);
    if (got > 0) {
      done += static_cast<std::size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  ::close(fd);
  return done == size;
}

}  // namespace

ChaCha8::ChaCha8(const std::array<std::uint8_t, kKeyBytes>& key) noexcept {
  for (std::size_t i = 0; i < key_.size(); ++i) key_[i] = load_le32(key.data() + 4 * i);
}

ChaCha8 ChaCha8::seed_from_u64(std::uint64_t seed) noexcept {
  constexpr std::uint64_t kMul = 6364136223846793005ull;
  constexpr std::uint64_t kInc = 11634580027462260723ull;
  std::array<std::uint8_t, kKeyBytes> key{};
  std::uint64_t state = seed;
  for (std::size_t word = 0; word < kKeyBytes / 4; ++word) {
    state = state * kMul + kInc;
    const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    const auto rot = static_cast<int>(state >> 59);
    const std::uint32_t out = std::rotr(xorshifted, rot);
    for (std::size_t b = 0; b < 4; ++b) {
      key[4 * word + b] = static_cast<std::uint8_t>(out >> (8 * b));
    }
  }
  return ChaCha8(key);
}

ChaCha8 ChaCha8::from_entropy() {
  std::array<std::uint8_t, kKeyBytes> key{};
  if (!read_os_entropy(key.data(), key.size())) {
    throw std::runtime_error("random stream: the operating system's random source is unavailable");
  }
  return ChaCha8(key);
}

void ChaCha8::refill() noexcept {
  for (std::size_t block = 0; block < kBufferWords / 16; ++block) {
    std::array<std::uint32_t, 16> init{};
    for (std::size_t i = 0; i < 4; ++i) init[i] = kSigma[i];
    for (std::size_t i = 0; i < 8; ++i) init[4 + i] = key_[i];
    init[12] = static_cast<std::uint32_t>(counter_);
    init[13] = static_cast<std::uint32_t>(counter_ >> 32);
    init[14] = 0;  // stream (nonce) 0
    init[15] = 0;

    std::array<std::uint32_t, 16> s = init;
    for (int double_round = 0; double_round < 4; ++double_round) {
      quarter_round(s, 0, 4, 8, 12);  // columns
      quarter_round(s, 1, 5, 9, 13);
      quarter_round(s, 2, 6, 10, 14);
      quarter_round(s, 3, 7, 11, 15);
      quarter_round(s, 0, 5, 10, 15);  // diagonals
      quarter_round(s, 1, 6, 11, 12);
      quarter_round(s, 2, 7, 8, 13);
      quarter_round(s, 3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < 16; ++i) buffer_[16 * block + i] = s[i] + init[i];
    ++counter_;
  }
  index_ = 0;
}

std::uint32_t ChaCha8::next_u32() noexcept {
  if (index_ >= kBufferWords) refill();
  return buffer_[index_++];
}

std::uint64_t ChaCha8::next_u64() noexcept {
  // Two reads in order give exactly the documented halves, including the
  // case where the low half is the buffer's last word.
  const std::uint64_t low = next_u32();
  const std::uint64_t high = next_u32();
  return (high << 32) | low;
}

std::uint64_t ChaCha8::uniform_index(std::uint64_t n) noexcept {
  if (n == 0) return 0;
  const std::uint64_t zone = (n << std::countl_zero(n)) - 1;
  for (;;) {
    const uint128 product = static_cast<uint128>(next_u64()) * n;
    if (static_cast<std::uint64_t>(product) <= zone) {
      return static_cast<std::uint64_t>(product >> 64);
    }
  }
}

}  // namespace velk
