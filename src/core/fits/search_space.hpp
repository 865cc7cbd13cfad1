// Conventions every fit shares: rates searched as log10 values, and the
// per-density weights of summed objectives.
#pragma once

#include <cmath>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "optimizer/bounds.hpp"

namespace velk {

/// A rate from its log10 search value (10^x with the C library pow).
inline double from_log10(double x) noexcept { return std::pow(10.0, x); }

/// The log10 search box of linear rate bounds.
inline Bounds log10_bounds(Bounds linear) noexcept { return {std::log10(linear.lo), std::log10(linear.hi)}; }

/// One weight per density: the caller's (extra entries ignored) or all 1.0.
/// Throws std::runtime_error naming `weights` when there are fewer than densities.
inline std::vector<double> density_weights(std::optional<std::span<const double>> weights,
                                           std::size_t n_densities) {
  if (!weights) return std::vector<double>(n_densities, 1.0);
  if (weights->size() < n_densities) {
    throw std::runtime_error("weights has " + std::to_string(weights->size()) + " entries but there are " +
                             std::to_string(n_densities) + " densities: one weight per density is needed");
  }
  return std::vector<double>(weights->begin(), weights->begin() + static_cast<std::ptrdiff_t>(n_densities));
}

}  // namespace velk
