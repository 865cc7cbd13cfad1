// Fits whose parameters are tied across rows by a caller's layout.
//
// A study compares cells (a group of samples in one density bin, say), one
// observed row each, under a hypothesis that ties some parameters across
// cells: CoW of a density bin common to both groups, St per group, CoE per
// cell. The layout says, for every row and each of the six parameters [St,
// CoW, CoE, n_U, n_M, Vmax], which entry of the fitted vector theta it takes,
// or that it is fixed.
//
// The fit is the shared fits' nested scheme, generalised. An entry used by
// one row only is that row's own; an entry used by two rows or more is
// shared. Rows linked through shared entries form components, which have
// nothing in common and are fitted independently, in parallel. A component
// runs an outer search over its shared entries (Brent over ln St when its one
// shared entry is an St, as the shared-St fit does; a Nelder-Mead multi-start
// over log10 rates and linear exponents otherwise, as the shared-exponent and
// global-co fits do, then restarted from its best point while that gains),
// and at every outer point each of its rows fits its own
// entries by fit_subset, in parallel, seeded by row index. A final pass at the
// best outer point gives the reported rows.
//
// Seeds come from row indices and the caller's seed, and weighted NLLs are
// summed after the join in row order from -0.0, so the result is a function
// of the inputs and the seed alone, whatever the thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "fits/shared_fits.hpp"
#include "fits/subset_fit.hpp"
#include "optimizer/bounds.hpp"
#include "velk_model.hpp"

namespace velk {

/// Layout entry of a fixed parameter.
inline constexpr double kFixedEntry = -1.0;

/// An entry of theta is a rate (St, CoW, CoE, Vmax columns) or an exponent
/// (n_U, n_M columns), never both: the two are bounded and searched
/// differently.
enum class EntryKind { kRate, kExponent };

/// One row of a parsed layout.
struct TiedRow {
  /// The fixed values; the columns taken from theta hold NaN here.
  ParameterSet given;
  /// (column, entry) of every column that takes a shared entry.
  std::vector<std::pair<std::size_t, std::size_t>> shared;
  /// The row's own entries, in the family's search order (by lowest column),
  /// and their theta indices.
  std::vector<FreeParameter> own;
  std::vector<std::size_t> own_entries;
};

/// Rows linked through shared entries, and those entries, both ascending.
struct TiedComponent {
  std::vector<std::size_t> rows;
  std::vector<std::size_t> shared_entries;
};

/// A validated layout: what each row takes from where, and the components.
struct TiedLayout {
  std::vector<TiedRow> rows;
  std::vector<EntryKind> kinds;         // per entry
  std::vector<unsigned> entry_columns;  // per entry: the columns using it (bit c)
  std::vector<std::size_t> users;       // per entry: how many rows use it
  std::vector<Bounds> bounds;           // per entry, model units
  std::vector<TiedComponent> components;  // ordered by their first row
};

/// Parses and checks a layout.
/// In: n_rows; layout and fixed, row-major (n_rows x 6) each; lower and upper,
///   one pair per entry of theta.
/// Out: the parsed layout. An own entry is searched linearly when it is an
///   exponent or used in St columns only (the family's St), else on log10.
/// Throws std::invalid_argument for mis-sized spans; std::runtime_error naming
///   the row and column for a layout value that is neither -1 nor an integral
///   index below len(lower), for an entry used in columns of both kinds, and
///   for a fixed value that is NaN, a negative or non-finite St/CoW/CoE, a
///   non-finite exponent or a Vmax that is not positive (+inf is allowed: no
///   ceiling); naming the entry for an entry no column uses and for bounds
///   that are NaN, inverted, infinite, or not positive for a rate.
TiedLayout parse_tied_layout(std::size_t n_rows, std::span<const double> layout,
                             std::span<const double> fixed, std::span<const double> lower,
                             std::span<const double> upper);

/// Starting points of the outer searches, row-major (count x n_entries),
/// values in model units.
struct TiedStarts {
  std::span<const double> values;
  std::size_t count;
};

/// The fitted entries, every row's full parameter set and its unweighted NLL.
struct TiedFit {
  std::vector<double> theta;
  std::vector<ParameterSet> parameters;
  std::vector<double> nlls;
};

/// The box of a component's Nelder-Mead search: per shared entry (ascending),
/// the log10 of a rate's bounds or an exponent's bounds.
std::vector<Bounds> tied_search_box(const TiedLayout& layout, const TiedComponent& component);

/// The cold starts of a component's Nelder-Mead search, in its search box:
/// the middle of the box; the corners of the exponent coordinates pulled 0.25
/// inwards (all corners for one or two exponents, else the all-low and
/// all-high ones); and, with shared cooperative rates, their log10 moved a
/// decade off the middle in the four diagonal directions of (CoW, CoE), then
/// 0.5 below their upper bounds, with St at its middle and then 0.5 above its
/// lower bound. Each step is cut to a quarter of its coordinate's box, and
/// repeats are dropped, so that in boxes wide enough for the steps a layout
/// of the shared-exponent or global-co fit starts exactly where that fit
/// starts, and otherwise every start lies inside the box.
std::vector<std::vector<double>> tied_cold_starts(const TiedLayout& layout, const TiedComponent& component);

/// Fits a parsed layout.
/// In: the observed rows (one per layout row), meth_bin_edges, normalize_stw;
///   weights, one per row (none: all 1); starts for the Nelder-Mead searches
///   (each component takes its shared entries' values, clamped into the box;
///   the other entries are not read; a Brent search needs none) or none for
///   the cold starts; the seed; one observation matrix per row, or none.
///   Row r's own entries are fitted with run_seed(seed, 0, r). The run-wide
///   raw-count switch is read once; the run-wide Vmax is not read at all: a
///   row's Vmax is its layout's.
/// Without starts, a Nelder-Mead search begins at tied_cold_starts. After the
///   multi-start, fresh simplices (no stagnation rule, at most 1000 steps)
///   restart from the best point while one gains more than 1e-4, up to 20.
/// Once the interruption flag is set, outer evaluations return +inf at once,
///   no new start begins, and the result is not meaningful (the caller
///   reports the interruption).
/// Throws std::runtime_error for weights that are not one finite,
///   non-negative value per row; for a start value of a shared entry that is
///   not finite (or not positive for a rate), naming it; for a NaN outer
///   objective; std::invalid_argument for rows or matrices that do not match
///   the layout. Errors of the per-row fits pass through.
TiedFit fit_tied(DensityRows rows, std::span<const double> meth_bin_edges, bool normalize_stw,
                 const TiedLayout& layout, std::optional<std::span<const double>> weights,
                 std::optional<TiedStarts> starts, std::uint64_t seed,
                 Observations observations = {});

}  // namespace velk
