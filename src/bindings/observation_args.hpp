// The keyword-only `observation` argument of the functions that score binned
// fractions: None for the plain binning, or one (n_meth_bins, 71) matrix per
// density mapping a molecule's methylated-site count to the bins its reads
// are observed in (reads that call fewer than the 70 sites).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "args.hpp"
#include "velk_model.hpp"

namespace velk::py {

/// None or absent: no matrices. Otherwise a float64 ndarray of ndim
/// dimensions: 2 for the functions of one density, 3 for the others.
inline std::optional<ArrayArg> convert_observation(PyObject* object, int ndim) {
  return optional_array(object, "observation", ndim);
}

/// Owned copies of the matrices, stacked density after density.
struct ObservationData {
  std::vector<double> values;
  std::size_t n_bins = 0;

  /// The engine's view (empty without matrices).
  Observations view() const { return values.empty() ? Observations{} : Observations(values, n_bins); }
  /// The one matrix of a one-density call (empty without one).
  std::span<const double> matrix() const noexcept { return values; }
};

namespace detail {

inline std::string shape_text(const std::vector<std::size_t>& shape) {
  std::string text = "(";
  for (std::size_t k = 0; k < shape.size(); ++k) text += (k > 0 ? ", " : "") + std::to_string(shape[k]);
  return text + (shape.size() == 1 ? ",)" : ")");
}

}  // namespace detail

/// Copies the matrices and checks them before any work: the shape must be
/// (n_meth_bins, 71), or (n_densities, n_meth_bins, 71) for a 3-D argument,
/// with n_meth_bins = len(meth_bin_edges) - 1; every entry finite and
/// non-negative; every column summing to at most 1 (check_observation).
/// Failures are RuntimeErrors naming `observation`.
inline ObservationData take_observation(const std::optional<ArrayArg>& argument, std::size_t n_densities,
                                        std::size_t n_edges) {
  if (!argument) return {};
  ArrayCopy copy = extract_array(*argument);
  const std::size_t n_bins = n_edges > 0 ? n_edges - 1 : 0;
  std::vector<std::size_t> expected{n_bins, static_cast<std::size_t>(kStates)};
  if (copy.shape.size() == 3) expected.insert(expected.begin(), n_densities);
  if (copy.shape != expected) {
    const std::string message = "observation: shape " + detail::shape_text(copy.shape) + " does not match " +
                                (copy.shape.size() == 3 ? "(n_densities, n_meth_bins, 71) = "
                                                        : "(n_meth_bins, 71) = ") +
                                detail::shape_text(expected);
    raise(PyExc_RuntimeError, message.c_str());
  }
  const std::size_t matrix_size = n_bins * static_cast<std::size_t>(kStates);
  const std::size_t matrices = copy.shape.size() == 3 ? n_densities : 1;
  for (std::size_t d = 0; d < matrices; ++d) {
    check_observation(std::span<const double>(copy.values).subspan(d * matrix_size, matrix_size), d);
  }
  return {std::move(copy.values), n_bins};
}

}  // namespace velk::py
