// Box bounds of the bounded optimisers and the one clamp they all use.
#pragma once

#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string>

namespace velk {

/// Closed interval [lo, hi] of one coordinate.
struct Bounds {
  double lo;
  double hi;
};

namespace detail {

// Shortest text that reads back as the same double ("3", "0.1", "nan").
inline std::string bound_text(double v) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, v);
  return std::string(text, result.ptr);
}

[[noreturn]] inline void throw_invalid_bounds(const Bounds& b) {
  if (std::isnan(b.lo) || std::isnan(b.hi)) {
    throw std::runtime_error("invalid bounds (lo=" + bound_text(b.lo) + ", hi=" + bound_text(b.hi) +
                             "): a bound is NaN");
  }
  throw std::runtime_error("invalid bounds: lower bound " + bound_text(b.lo) +
                           " exceeds upper bound " + bound_text(b.hi));
}

}  // namespace detail

/// Clamps v into [b.lo, b.hi]: below lo gives lo, above hi gives hi, anything
/// else (a NaN v included) is returned unchanged.
/// Throws std::runtime_error showing both bounds when lo > hi or either is NaN.
/// The bounds are checked here rather than up front on purpose: a run fails
/// only once it actually clamps against a bad pair.
inline double clamp_to_bounds(double v, const Bounds& b) {
  if (!(b.lo <= b.hi)) detail::throw_invalid_bounds(b);
  if (v < b.lo) return b.lo;
  if (v > b.hi) return b.hi;
  return v;
}

}  // namespace velk
