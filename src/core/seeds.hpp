// Seeds of the optimiser runs that a caller's seed makes repeatable.
//
// Most fits seed their runs from indices of the work (density row, bootstrap
// row). The rest draw operating-system entropy unless the caller passes a
// seed; then every such run gets its own seed derived from the caller's seed
// and the run's indices, never from the thread that happens to run it, so a
// seeded call gives the same bits on any thread count and schedule.
#pragma once

#include <cstdint>
#include <optional>

namespace velk {

/// The output of one splitmix64 step from state x: the state advanced by the
/// golden-ratio increment 0x9e3779b97f4a7c15, then the mixing finaliser
/// z ^= z >> 30; z *= 0xbf58476d1ce4e5b9; z ^= z >> 27; z *= 0x94d049bb133111eb;
/// z ^= z >> 31. A bijection of 64-bit values: distinct inputs never share an
/// output, and every input bit reaches every output bit.
constexpr std::uint64_t splitmix64(std::uint64_t x) noexcept {
  std::uint64_t z = x + 0x9e3779b97f4a7c15ULL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

/// The seed of the optimiser run for density row `density` (0 for a fit of a
/// single density) of bootstrap sample `sample` (its run-wide index, so that
/// chunks of a run agree with one whole call; 0 outside bootstraps) in a call
/// seeded with `seed`:
///
///     splitmix64(splitmix64(splitmix64(seed) ^ sample) ^ density)
///
/// Mixing the caller's seed first keeps nearby seeds (0, 1, 2, ...) from
/// giving overlapping families of run seeds; since each step is a bijection,
/// one call's runs of distinct densities in one sample always get distinct
/// seeds. A run that is repeated with the same indices (an inner fit at every
/// outer evaluation of a shared fit) gets the same seed each time, so the
/// outer objective is a deterministic function of the shared parameters.
constexpr std::uint64_t run_seed(std::uint64_t seed, std::uint64_t sample,
                                 std::uint64_t density) noexcept {
  return splitmix64(splitmix64(splitmix64(seed) ^ sample) ^ density);
}

/// As above for an optional caller seed: no seed stays no seed, and the run
/// then draws operating-system entropy.
constexpr std::optional<std::uint64_t> run_seed(std::optional<std::uint64_t> seed,
                                                std::uint64_t sample,
                                                std::uint64_t density) noexcept {
  if (!seed) return std::nullopt;
  return run_seed(*seed, sample, density);
}

}  // namespace velk
