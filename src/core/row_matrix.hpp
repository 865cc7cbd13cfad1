// A dense row-major matrix of doubles that owns its storage: the rows copied
// out of a caller's 2-D array, and the 2-D results handed back to Python.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace velk {

class RowMatrix {
 public:
  RowMatrix() = default;
  RowMatrix(std::size_t rows, std::size_t cols) : rows_(rows), cols_(cols), values_(rows * cols, 0.0) {}

  std::size_t rows() const noexcept { return rows_; }
  std::size_t cols() const noexcept { return cols_; }

  std::span<const double> row(std::size_t r) const noexcept { return {values_.data() + r * cols_, cols_}; }
  std::span<double> row(std::size_t r) noexcept { return {values_.data() + r * cols_, cols_}; }

  double& operator()(std::size_t r, std::size_t c) noexcept { return values_[r * cols_ + c]; }
  double operator()(std::size_t r, std::size_t c) const noexcept { return values_[r * cols_ + c]; }

  /// Views of rows [first, first + count): one data set's rows, e.g. one
  /// sample of a stacked bootstrap input. Valid while the matrix lives.
  std::vector<std::span<const double>> row_spans(std::size_t first, std::size_t count) const {
    std::vector<std::span<const double>> spans;
    spans.reserve(count);
    for (std::size_t r = first; r < first + count; ++r) spans.push_back(row(r));
    return spans;
  }
  std::vector<std::span<const double>> row_spans() const { return row_spans(0, rows_); }

  /// The row-major storage; moved out when a result array takes it over.
  std::vector<double>& values() noexcept { return values_; }
  const std::vector<double>& values() const noexcept { return values_; }

 private:
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::vector<double> values_;
};

}  // namespace velk
