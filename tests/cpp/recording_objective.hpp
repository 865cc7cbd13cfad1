// Test helper: wraps an objective and keeps every point it was asked about.
#pragma once

#include <span>
#include <utility>
#include <vector>

template <class F>
class Recorder {
 public:
  explicit Recorder(F f) : f_(std::move(f)) {}

  double operator()(std::span<const double> x) {
    points.emplace_back(x.begin(), x.end());
    return f_(x);
  }

  std::vector<std::vector<double>> points;

 private:
  F f_;
};
