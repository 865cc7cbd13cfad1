// Run-wide numbering of bootstrap samples, shared by every bootstrap driver.
//
// A bootstrap stack may be one chunk of a longer run: its sample b is sample
// first_sample + b of the run. Results are numbered, and fits seeded, by those
// run-wide indices, so the chunks of a run give exactly the rows of one whole
// call.
#pragma once

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace velk {

/// The largest sample or row index a bootstrap run numbers: index columns are
/// doubles, exact up to 2^53.
inline constexpr std::uint64_t kMaxBootstrapIndex = std::uint64_t{1} << 53;

/// Throws std::runtime_error when samples first_sample .. first_sample +
/// n_boot - 1, each of rows_per_sample rows, number rows past
/// kMaxBootstrapIndex.
inline void check_sample_range(std::uint64_t first_sample, std::uint64_t n_boot, std::uint64_t rows_per_sample) {
  const std::uint64_t samples = kMaxBootstrapIndex / std::max<std::uint64_t>(rows_per_sample, 1);
  if (first_sample > samples || n_boot > samples - first_sample) {
    throw std::runtime_error("sample_offset = " + std::to_string(first_sample) + " with n_boot = " +
                             std::to_string(n_boot) +
                             " numbers samples or rows beyond 2^53, which the result cannot hold exactly");
  }
}

}  // namespace velk
