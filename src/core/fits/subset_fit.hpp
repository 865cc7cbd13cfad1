// The per-density family's general member: one density bin fitted by
// differential evolution over any subset of its six parameters.
//
// The family's fixed members (fit_3param, fit_2param_n, ...) each free one
// particular subset. A fit whose free parameters follow a caller's layout
// (fits tied across rows) needs the others as well, so this member takes the
// subset as data, with the family's conventions: the search vector lists the
// free parameters in column order, St and the exponents are searched on their
// linear scale and the other rates on log10, the objective is the bare NLL,
// and the exponents' powers are computed once when the exponents are fixed.
// On the subsets of the fixed members it gives their bits (the C++ tests hold
// it to that).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "fits/density_fits.hpp"
#include "optimizer/bounds.hpp"

namespace velk {

/// The six model parameters of one density, in column order.
enum ParameterColumn : std::size_t { kSt, kCoW, kCoE, kNU, kNM, kVmax };
inline constexpr std::size_t kParameterColumns = 6;
using ParameterSet = std::array<double, kParameterColumns>;

/// The columns' names as layouts and messages spell them.
inline constexpr std::array<const char*, kParameterColumns> kColumnNames{"St",  "CoW", "CoE",
                                                                          "n_U", "n_M", "Vmax"};

/// Exponent columns are searched and bounded as plain numbers; the other
/// columns are rates.
constexpr bool is_exponent_column(std::size_t column) noexcept { return column == kNU || column == kNM; }

enum class SearchScale { kLinear, kLog10 };

/// One free coordinate of a subset fit. Its value goes to every column whose
/// bit is set in `columns` (a parameter tied within the row, such as
/// CoW = CoE, is one coordinate in two columns).
struct FreeParameter {
  Bounds bounds;  // model units; a log10 coordinate searches their log10 box
  SearchScale scale;
  unsigned columns;  // bit c: column c
};

/// A fitted (or evaluated) density: its full parameter set and the NLL there.
struct SubsetFit {
  ParameterSet parameters;
  double nll;
};

/// Fits the free coordinates of one density; the other columns keep their
/// `given` values.
/// In: the density's data; the seed of the run (none: entropy); `given`, the
///   parameter set whose free columns are overwritten; the free coordinates,
///   in search order (the family lists them by column: St, CoW, CoE, n_U, n_M,
///   Vmax); raw, the raw-count base of the cooperative powers.
/// Out: every column in model units (log10 coordinates as 10^x), and the
///   optimiser's value as NLL.
/// Throws std::runtime_error when `free` is empty, for inverted or NaN search
///   bounds, and when a NaN value reaches the polish; std::invalid_argument
///   for an empty edge sequence or a mis-sized observation matrix.
SubsetFit fit_subset(const DensityData& data, std::optional<std::uint64_t> seed,
                     const ParameterSet& given, std::span<const FreeParameter> free, bool raw);

/// The NLL of one density at a full parameter set (nothing free).
/// Throws std::invalid_argument as fit_subset does.
double subset_nll(const DensityData& data, const ParameterSet& parameters, bool raw);

}  // namespace velk
