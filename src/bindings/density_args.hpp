// Argument groups shared by the fits over all density rows.
#pragma once

#include <optional>
#include <vector>

#include "args.hpp"

namespace velk::py {

/// The five leading arguments of the fits over all densities
/// (observed_fracs_2d, meth_bin_edges, normalize_stw, st_bounds, co_bounds),
/// converted in signature order.
struct DensityFitHead {
  ArrayArg observed;
  ArrayArg edges;
  bool normalize_stw;
  Bounds st;
  Bounds co;
};

inline DensityFitHead convert_head(const Arguments& a) {
  const ArrayArg observed = as_array(a[0], "observed_fracs_2d", 2);
  const ArrayArg edges = as_array(a[1], "meth_bin_edges", 1);
  const bool normalize_stw = as_bool(a[2], "normalize_stw");
  const Bounds st = as_bounds(a[3], "st_bounds");
  const Bounds co = as_bounds(a[4], "co_bounds");
  return {observed, edges, normalize_stw, st, co};
}

/// The owned copies the fits read, made once every argument is converted.
struct DensityFitData {
  RowMatrix rows;
  std::vector<double> edges;
  std::optional<std::vector<double>> weights;
};

inline DensityFitData take(const DensityFitHead& head, const std::optional<ArrayArg>& weights) {
  return {extract_rows(head.observed), to_vector(head.edges), to_vector(weights)};
}

}  // namespace velk::py
