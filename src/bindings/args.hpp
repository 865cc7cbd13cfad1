// The argument toolkit shared by every exported function: matching positional
// and keyword arguments to parameter names, converting each argument kind,
// copying arrays into owned storage, and building results.
//
// Every conversion error is a TypeError (or the conversion's own type, such
// as OverflowError) whose message starts "argument '<name>': ".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

#include "errors.hpp"
#include "optimizer/bounds.hpp"
#include "python.hpp"
#include "row_matrix.hpp"

namespace velk::py {

/// Owning reference to a Python object.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = other.release();
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  PyObject* release() noexcept {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }

 private:
  PyObject* object_ = nullptr;
};

/// Takes ownership of a new reference; throws PythonErrorSet when it is NULL
/// (the API call that returned it has set the exception).
Ref checked(PyObject* new_reference);

/// The arguments of one call, matched to the function's parameter names.
class Arguments {
 public:
  static constexpr std::size_t kMaxParameters = 16;

  /// Positional arguments fill the parameters in order, keywords by name;
  /// the last `keyword_only` parameters can only be given by keyword.
  /// Missing required arguments, surplus positional arguments, unknown
  /// keywords and arguments given twice raise TypeError naming the function.
  Arguments(const char* function, std::initializer_list<const char*> names, std::size_t required,
            PyObject* args, PyObject* kwargs, std::size_t keyword_only = 0);

  /// The argument for parameter i (borrowed), or nullptr when absent.
  PyObject* operator[](std::size_t i) const noexcept { return slots_[i]; }

 private:
  std::array<PyObject*, kMaxParameters> slots_{};
};

/// A validated NumPy float64 array argument of a given dimension (borrowed for
/// the call; the argument tuple keeps it alive).
struct ArrayArg {
  PyObject* array = nullptr;
  const char* name = "";
};

// Argument kinds. The overloads with a fallback return it when the argument is
// absent (nullptr).
double as_float(PyObject* object, const char* name);
double as_float(PyObject* object, const char* name, double fallback);
bool as_bool(PyObject* object, const char* name);
bool as_bool(PyObject* object, const char* name, bool fallback);
std::uint64_t as_count(PyObject* object, const char* name);
std::uint64_t as_count(PyObject* object, const char* name, std::uint64_t fallback);
/// None or absent gives no value; anything else as as_count (seeds).
std::optional<std::uint64_t> optional_count(PyObject* object, const char* name);

/// A tuple (or tuple subclass) of exactly `length` items, each as a float.
std::vector<double> as_float_tuple(PyObject* object, const char* name, std::size_t length);

/// A bounds pair (low, high) from a tuple of exactly two floats.
Bounds as_bounds(PyObject* object, const char* name);
Bounds as_bounds(PyObject* object, const char* name, Bounds fallback);

/// The default of every `vmax_bounds` argument (shown as `...` in signatures).
inline constexpr Bounds kDefaultVmaxBounds{0.001, 1000000.0};

/// A NumPy ndarray (or subclass) with exactly `ndim` dimensions whose element
/// type is equivalent to float64 (no lists, no casting).
ArrayArg as_array(PyObject* object, const char* name, int ndim);
/// None or absent gives no value; anything else as as_array.
std::optional<ArrayArg> optional_array(PyObject* object, const char* name, int ndim);
/// None or absent gives no value; anything else as as_float_tuple.
std::optional<std::vector<double>> optional_float_tuple(PyObject* object, const char* name,
                                                        std::size_t length);

/// Copies a 1-D array argument into owned storage. A non-contiguous array
/// raises RuntimeError mentioning NotContiguousError.
std::vector<double> to_vector(const ArrayArg& argument);

/// Copies an optional 1-D array argument (weights): absent stays absent.
std::optional<std::vector<double>> to_vector(const std::optional<ArrayArg>& argument);

/// A view of optional owned values, for the engine's optional spans.
inline std::optional<std::span<const double>> view(const std::optional<std::vector<double>>& values) {
  if (!values) return std::nullopt;
  return std::span<const double>(*values);
}

/// Copies the logical rows of a 2-D array argument (C- or Fortran-ordered)
/// into an owned row-major matrix. Non-contiguous: RuntimeError as above.
RowMatrix extract_rows(const ArrayArg& argument);

/// The values of an array argument of any dimension in logical (C) order,
/// with its shape.
struct ArrayCopy {
  std::vector<double> values;
  std::vector<std::size_t> shape;
};

/// Copies an array argument of any dimension into owned storage in logical
/// order (a Fortran-ordered array gives the elements the caller indexes, as
/// extract_rows does). Non-contiguous: RuntimeError as above.
ArrayCopy extract_array(const ArrayArg& argument);

// Results.
Ref new_float(double value);
/// A new 1-D float64 array holding a copy of values.
Ref new_array_1d(std::span<const double> values);
/// A new C-ordered (rows, cols) float64 array that takes over the matrix's
/// buffer without copying; a capsule owning the buffer is the array's base.
Ref new_array_2d(RowMatrix&& matrix);
/// A new tuple of the items, in order (it takes over their references).
template <class... Items>
Ref new_tuple(Items&&... items) {
  Ref tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(Items))));
  Py_ssize_t index = 0;
  // PyTuple_SetItem steals each reference, also on failure, which cannot
  // happen for a fresh tuple of the right size.
  ((PyTuple_SetItem(tuple.get(), index++, items.release())), ...);
  return tuple;
}

}  // namespace velk::py
