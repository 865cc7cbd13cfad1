#include "fits/tied_fits.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>

#include "fits/search_space.hpp"
#include "optimizer/brent.hpp"
#include "optimizer/nelder_mead.hpp"
#include "parallel.hpp"
#include "run_state.hpp"
#include "seeds.hpp"

namespace velk {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr unsigned kStColumn = 1u << kSt;
constexpr unsigned kCooperativeColumns = (1u << kCoW) | (1u << kCoE);
// Restarts of a Nelder-Mead search from its best point (see fit_component):
// the outer searches' spread tolerance, but no stagnation rule, since a fresh
// simplex spends its first few dozen steps shrinking onto a narrow valley
// before it improves on its start.
constexpr int kMaxRestarts = 20;
constexpr NelderMeadSettings kRestartSettings{1e-4, false, 1000};

// Layout values are float64 like every array of the module; an index is
// exact far beyond any realistic theta.
constexpr double kLargestIndex = 9007199254740992.0;  // 2^53

std::string text(double v) { return detail::bound_text(v); }

std::string cell(const char* array, std::size_t r, std::size_t c) {
  return std::string(array) + "[" + std::to_string(r) + ", " + std::to_string(c) + "] (" +
         kColumnNames[c] + " of row " + std::to_string(r) + ")";
}

std::string entry_name(std::size_t k) { return "entry " + std::to_string(k) + " of theta"; }

const char* kind_name(EntryKind kind) { return kind == EntryKind::kRate ? "a rate" : "an exponent"; }

EntryKind column_kind(std::size_t c) {
  return is_exponent_column(c) ? EntryKind::kExponent : EntryKind::kRate;
}

void check_fixed(double v, std::size_t r, std::size_t c) {
  bool usable = false;
  const char* need = "";
  if (c == kVmax) {
    usable = v > 0.0;  // +inf: no ceiling; NaN fails the comparison
    need = "a fixed Vmax must be positive (inf: no ceiling)";
  } else if (is_exponent_column(c)) {
    usable = std::isfinite(v);
    need = "a fixed exponent must be finite";
  } else {
    usable = std::isfinite(v) && v >= 0.0;
    need = "a fixed rate must be finite and >= 0";
  }
  if (!usable) throw std::runtime_error(cell("fixed", r, c) + " is " + text(v) + ": " + need);
}

void check_bounds(std::size_t k, EntryKind kind, Bounds b) {
  const bool finite = std::isfinite(b.lo) && std::isfinite(b.hi);
  const bool usable = kind == EntryKind::kRate ? finite && b.lo > 0.0 && b.lo <= b.hi
                                               : finite && b.lo <= b.hi;
  if (!usable) {
    throw std::runtime_error(entry_name(k) + " (" + kind_name(kind) + ") has bounds (" + text(b.lo) +
                             ", " + text(b.hi) + "): " +
                             (kind == EntryKind::kRate ? "a rate needs 0 < lower <= upper, both finite"
                                                       : "an exponent needs lower <= upper, both finite"));
  }
}

// The family's scales: a row's own St linearly, every other own rate (an
// entry in St and another rate column too) on log10, exponents linearly.
SearchScale own_scale(EntryKind kind, unsigned columns) {
  if (kind == EntryKind::kExponent || columns == kStColumn) return SearchScale::kLinear;
  return SearchScale::kLog10;
}

std::size_t find_root(std::vector<std::size_t>& parent, std::size_t i) {
  while (parent[i] != i) {
    parent[i] = parent[parent[i]];
    i = parent[i];
  }
  return i;
}

}  // namespace

TiedLayout parse_tied_layout(std::size_t n_rows, std::span<const double> layout,
                             std::span<const double> fixed, std::span<const double> lower,
                             std::span<const double> upper) {
  if (layout.size() != n_rows * kParameterColumns || fixed.size() != layout.size() ||
      lower.size() != upper.size()) {
    throw std::invalid_argument("parse_tied_layout: layout, fixed or bounds of the wrong size");
  }
  const std::size_t n_entries = lower.size();
  TiedLayout parsed;
  parsed.rows.resize(n_rows);
  parsed.kinds.assign(n_entries, EntryKind::kRate);
  parsed.entry_columns.assign(n_entries, 0);
  parsed.users.assign(n_entries, 0);
  parsed.bounds.resize(n_entries);
  std::vector<std::size_t> first_row(n_entries, 0), first_column(n_entries, 0);
  std::vector<std::size_t> last_row(n_entries, n_rows);  // n_rows: not used yet
  std::vector<std::vector<std::size_t>> row_entries(n_rows);

  // Entries of every cell, checked in row-major order so that the first bad
  // cell is the one reported.
  for (std::size_t r = 0; r < n_rows; ++r) {
    for (std::size_t c = 0; c < kParameterColumns; ++c) {
      const double v = layout[r * kParameterColumns + c];
      if (v == kFixedEntry) {
        check_fixed(fixed[r * kParameterColumns + c], r, c);
        parsed.rows[r].given[c] = fixed[r * kParameterColumns + c];
        continue;
      }
      parsed.rows[r].given[c] = kNaN;
      if (!(v >= 0.0 && v < kLargestIndex) || v != std::floor(v)) {
        throw std::runtime_error(cell("layout", r, c) + " is " + text(v) +
                                 ": expected -1 (fixed) or an integral index of theta");
      }
      const auto k = static_cast<std::size_t>(v);
      if (k >= n_entries) {
        throw std::runtime_error(cell("layout", r, c) + " is " + text(v) + ", out of range: theta has " +
                                 std::to_string(n_entries) + " entries (one per entry of lower)");
      }
      const EntryKind kind = column_kind(c);
      if (parsed.entry_columns[k] == 0) {
        parsed.kinds[k] = kind;
        first_row[k] = r;
        first_column[k] = c;
      } else if (parsed.kinds[k] != kind) {
        throw std::runtime_error(cell("layout", r, c) + " uses " + entry_name(k) + " as " + kind_name(kind) +
                                 ", but " + cell("layout", first_row[k], first_column[k]) + " uses it as " +
                                 kind_name(parsed.kinds[k]));
      }
      parsed.entry_columns[k] |= 1u << c;
      if (last_row[k] != r) {
        last_row[k] = r;
        ++parsed.users[k];
        row_entries[r].push_back(k);
      }
    }
  }
  for (std::size_t k = 0; k < n_entries; ++k) {
    if (parsed.users[k] == 0) {
      throw std::runtime_error(entry_name(k) + " is used by no row and column of layout");
    }
    parsed.bounds[k] = {lower[k], upper[k]};
    check_bounds(k, parsed.kinds[k], parsed.bounds[k]);
  }

  // Each row's own and shared entries. row_entries lists a row's entries in
  // the order of their lowest column, which is the family's search order.
  for (std::size_t r = 0; r < n_rows; ++r) {
    TiedRow& row = parsed.rows[r];
    for (const std::size_t k : row_entries[r]) {
      if (parsed.users[k] == 1) {
        const unsigned columns = parsed.entry_columns[k];
        row.own.push_back({parsed.bounds[k], own_scale(parsed.kinds[k], columns), columns});
        row.own_entries.push_back(k);
      }
    }
    for (std::size_t c = 0; c < kParameterColumns; ++c) {
      const double v = layout[r * kParameterColumns + c];
      if (v == kFixedEntry) continue;
      const auto k = static_cast<std::size_t>(v);
      if (parsed.users[k] > 1) row.shared.emplace_back(c, k);
    }
  }

  // Components: rows joined through every shared entry (union-find), each
  // listed once by its smallest row.
  std::vector<std::size_t> parent(n_rows);
  std::iota(parent.begin(), parent.end(), std::size_t{0});
  for (std::size_t r = 0; r < n_rows; ++r) {
    for (const auto& [c, k] : parsed.rows[r].shared) {
      const std::size_t a = find_root(parent, first_row[k]);
      const std::size_t b = find_root(parent, r);
      if (a != b) parent[std::max(a, b)] = std::min(a, b);
    }
  }
  std::vector<std::size_t> component_of(n_rows, n_rows);
  for (std::size_t r = 0; r < n_rows; ++r) {
    const std::size_t root = find_root(parent, r);
    if (component_of[root] == n_rows) {
      component_of[root] = parsed.components.size();
      parsed.components.emplace_back();
    }
    parsed.components[component_of[root]].rows.push_back(r);
  }
  for (std::size_t k = 0; k < n_entries; ++k) {
    if (parsed.users[k] > 1) {
      parsed.components[component_of[find_root(parent, first_row[k])]].shared_entries.push_back(k);
    }
  }
  return parsed;
}

namespace {

// What one component's fit needs, shared read-only by its passes.
struct ComponentContext {
  DensityRows rows;
  std::span<const double> edges;
  bool normalize_stw;
  const TiedLayout& layout;
  const std::vector<double>& weights;
  std::uint64_t seed;
  bool raw;
  Observations observations;
};

struct ComponentFit {
  std::vector<double> shared_values;  // model units, by component.shared_entries
  std::vector<SubsetFit> rows;        // by component.rows
};

// One row at given shared values: its own entries fitted, or, without any,
// the NLL of its now complete parameter set.
SubsetFit fit_row(const ComponentContext& context, std::size_t r,
                  std::span<const std::size_t> shared_entries, std::span<const double> shared_values) {
  const TiedRow& row = context.layout.rows[r];
  ParameterSet given = row.given;
  for (const auto& [c, k] : row.shared) {
    const auto position = std::lower_bound(shared_entries.begin(), shared_entries.end(), k);
    given[c] = shared_values[static_cast<std::size_t>(position - shared_entries.begin())];
  }
  // Once Ctrl+C is pressed the result is thrown away: wind down at once.
  if (interrupted()) return {given, kInfinity};
  const DensityData data{context.rows[r], context.edges, context.normalize_stw,
                         context.observations.density(r)};
  if (row.own.empty()) return {given, subset_nll(data, given, context.raw)};
  return fit_subset(data, run_seed(context.seed, 0, r), given, row.own, context.raw);
}

std::vector<SubsetFit> pass(const ComponentContext& context, const TiedComponent& component,
                            std::span<const double> shared_values) {
  return parallel_map(component.rows.size(), [&](std::size_t i) {
    return fit_row(context, component.rows[i], component.shared_entries, shared_values);
  });
}

// The outer objective: weighted NLLs added after the join, in row order, from -0.0.
double weighted_total(const ComponentContext& context, const TiedComponent& component,
                      const std::vector<SubsetFit>& fits) noexcept {
  double total = -0.0;
  for (std::size_t i = 0; i < fits.size(); ++i) total += fits[i].nll * context.weights[component.rows[i]];
  return total;
}

double midpoint(Bounds b) noexcept { return (b.lo + b.hi) / 2.0; }

// A step of `step` from a bound or the middle, cut to a quarter of the box so
// that in a narrow box the start stays inside, clear of the edges (a start on
// an edge would begin with a degenerate simplex).
double inward(Bounds b, double step) noexcept { return std::min(step, (b.hi - b.lo) / 4.0); }

}  // namespace

std::vector<Bounds> tied_search_box(const TiedLayout& layout, const TiedComponent& component) {
  std::vector<Bounds> box;
  for (const std::size_t k : component.shared_entries) {
    box.push_back(layout.kinds[k] == EntryKind::kRate ? log10_bounds(layout.bounds[k]) : layout.bounds[k]);
  }
  return box;
}

std::vector<std::vector<double>> tied_cold_starts(const TiedLayout& layout, const TiedComponent& component) {
  const std::vector<Bounds> box = tied_search_box(layout, component);
  const std::size_t n = box.size();
  std::vector<std::size_t> exponents, cow, coe, st;
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t k = component.shared_entries[j];
    const unsigned columns = layout.entry_columns[k];
    if (layout.kinds[k] == EntryKind::kExponent) {
      exponents.push_back(j);
    } else if (columns == kStColumn) {
      st.push_back(j);
    } else if ((columns & ~kCooperativeColumns) == 0) {
      ((columns & (1u << kCoW)) != 0 ? cow : coe).push_back(j);
    }
  }
  std::vector<double> middle(n);
  for (std::size_t j = 0; j < n; ++j) middle[j] = midpoint(box[j]);

  std::vector<std::vector<double>> starts{middle};
  if (!exponents.empty()) {
    // One or two exponents: every corner, the first coordinate varying slowest.
    const std::size_t count = exponents.size();
    const std::size_t corners = count <= 2 ? std::size_t{1} << count : 2;
    for (std::size_t corner = 0; corner < corners; ++corner) {
      std::vector<double> x = middle;
      for (std::size_t e = 0; e < count; ++e) {
        const bool high = count <= 2 ? ((corner >> (count - 1 - e)) & 1u) != 0 : corner == 1;
        const Bounds b = box[exponents[e]];
        x[exponents[e]] = high ? b.hi - inward(b, 0.25) : b.lo + inward(b, 0.25);
      }
      starts.push_back(std::move(x));
    }
  }
  if (!cow.empty() || !coe.empty()) {
    // A decade off the middle, in the four diagonal directions of (CoW, CoE).
    const double directions[4][2] = {{-1.0, -1.0}, {1.0, 1.0}, {1.0, -1.0}, {-1.0, 1.0}};
    for (const auto& [d_w, d_e] : directions) {
      std::vector<double> x = middle;
      for (const std::size_t j : cow) x[j] = middle[j] + d_w * inward(box[j], 1.0);
      for (const std::size_t j : coe) x[j] = middle[j] + d_e * inward(box[j], 1.0);
      starts.push_back(std::move(x));
    }
    // Near the strongly cooperative corner, where the bistable solutions
    // live, and there at low St too.
    std::vector<double> x = middle;
    for (const std::size_t j : cow) x[j] = box[j].hi - inward(box[j], 0.5);
    for (const std::size_t j : coe) x[j] = box[j].hi - inward(box[j], 0.5);
    starts.push_back(x);
    for (const std::size_t j : st) x[j] = box[j].lo + inward(box[j], 0.5);
    starts.push_back(std::move(x));
  }

  std::vector<std::vector<double>> kept;
  for (std::vector<double>& x : starts) {
    if (std::find(kept.begin(), kept.end(), x) == kept.end()) kept.push_back(std::move(x));
  }
  return kept;
}

namespace {

ComponentFit fit_component(const ComponentContext& context, const TiedComponent& component,
                           std::optional<TiedStarts> starts) {
  const TiedLayout& layout = context.layout;
  const std::vector<std::size_t>& shared = component.shared_entries;

  if (shared.empty()) return {{}, pass(context, component, {})};

  // One shared St: Brent over ln St, as the shared-St fit searches it.
  if (shared.size() == 1 && layout.entry_columns[shared[0]] == kStColumn) {
    const Bounds st = layout.bounds[shared[0]];
    const double log_st = brent_minimize(
        [&](double y) {
          if (interrupted()) return kInfinity;
          const double St = std::exp(y);
          return weighted_total(context, component, pass(context, component, std::span<const double>(&St, 1)));
        },
        std::log(st.lo), std::log(st.hi));
    const double St = std::exp(log_st);
    return {{St}, pass(context, component, std::span<const double>(&St, 1))};
  }

  // Otherwise a Nelder-Mead multi-start over log10 rates and linear exponents.
  const std::size_t n = shared.size();
  const std::vector<Bounds> box = tied_search_box(layout, component);
  std::vector<bool> log_scale(n);
  for (std::size_t j = 0; j < n; ++j) log_scale[j] = layout.kinds[shared[j]] == EntryKind::kRate;
  auto model_values = [&](std::span<const double> x) {
    std::vector<double> values(n);
    for (std::size_t j = 0; j < n; ++j) values[j] = log_scale[j] ? from_log10(x[j]) : x[j];
    return values;
  };

  std::vector<std::vector<double>> start_points;
  if (starts) {
    const std::size_t n_entries = layout.kinds.size();
    for (std::size_t s = 0; s < starts->count; ++s) {
      std::vector<double> x(n);
      for (std::size_t j = 0; j < n; ++j) {
        const double v = starts->values[s * n_entries + shared[j]];
        x[j] = clamp_to_bounds(log_scale[j] ? std::log10(v) : v, box[j]);
      }
      start_points.push_back(std::move(x));
    }
  } else {
    start_points = tied_cold_starts(layout, component);
  }

  auto objective = [&](std::span<const double> x) {
    if (interrupted()) return kInfinity;
    return weighted_total(context, component, pass(context, component, model_values(x)));
  };
  auto no_line = [](auto&&...) { return std::string(); };
  MultiStartResult best =
      nelder_mead_multi_start(objective, std::span<const std::vector<double>>(start_points), box,
                              /*verbose=*/false, no_line, no_line, no_line);
  // The multi-start's stagnation rule stops a run that creeps along a narrow
  // curved valley (St against the cooperative rates, which grows longer with
  // every shared rate) well short of its end: measured on two groups x three
  // bins, 2.6e-6 per row above the truth, St 5 % and CoW 10 % off. Fresh
  // simplices from the best point, without that rule, follow the valley to
  // its end: restart while a run gains more than the spread tolerance. A
  // restart only ever replaces a worse point.
  for (int restart = 0; restart < kMaxRestarts && !interrupted(); ++restart) {
    NelderMeadResult run =
        nelder_mead_minimize(objective, std::span<const double>(best.x), box, kRestartSettings);
    if (!(run.value < best.value)) break;
    const bool gained = best.value - run.value > NelderMeadSettings::shared_fit().spread_tolerance;
    best.x = std::move(run.x);
    best.value = run.value;
    if (!gained) break;
  }
  std::vector<double> values = model_values(best.x);
  std::vector<SubsetFit> rows = pass(context, component, values);
  return {std::move(values), std::move(rows)};
}

void check_starts(const TiedLayout& layout, const TiedStarts& starts) {
  const std::size_t n_entries = layout.kinds.size();
  if (starts.values.size() != starts.count * n_entries) {
    throw std::invalid_argument("fit_tied: starts of the wrong size");
  }
  if (starts.count == 0) throw std::runtime_error("starts has no rows: give one start or more, or None");
  for (std::size_t s = 0; s < starts.count; ++s) {
    for (std::size_t k = 0; k < n_entries; ++k) {
      if (layout.users[k] < 2) continue;  // an own entry is fitted by its row alone
      const double v = starts.values[s * n_entries + k];
      const bool rate = layout.kinds[k] == EntryKind::kRate;
      if (!std::isfinite(v) || (rate && !(v > 0.0))) {
        throw std::runtime_error("starts[" + std::to_string(s) + ", " + std::to_string(k) + "] is " + text(v) +
                                 ": the start of " + entry_name(k) + " (" + kind_name(layout.kinds[k]) +
                                 ") must be " + (rate ? "positive and finite" : "finite"));
      }
    }
  }
}

std::vector<double> row_weights(std::optional<std::span<const double>> weights, std::size_t n_rows) {
  if (!weights) return std::vector<double>(n_rows, 1.0);
  if (weights->size() != n_rows) {
    throw std::runtime_error("weights has " + std::to_string(weights->size()) + " entries but there are " +
                             std::to_string(n_rows) + " rows: one weight per row is needed");
  }
  for (std::size_t r = 0; r < n_rows; ++r) {
    const double w = (*weights)[r];
    if (!(std::isfinite(w) && w >= 0.0)) {
      throw std::runtime_error("weights[" + std::to_string(r) + "] is " + text(w) +
                               ": a weight must be finite and >= 0");
    }
  }
  return std::vector<double>(weights->begin(), weights->end());
}

}  // namespace

TiedFit fit_tied(DensityRows rows, std::span<const double> meth_bin_edges, bool normalize_stw,
                 const TiedLayout& layout, std::optional<std::span<const double>> weights,
                 std::optional<TiedStarts> starts, std::uint64_t seed, Observations observations) {
  const std::size_t n_rows = layout.rows.size();
  if (rows.size() != n_rows) {
    throw std::invalid_argument("fit_tied: " + std::to_string(rows.size()) + " observed rows for a layout of " +
                                std::to_string(n_rows) + " rows");
  }
  observations.require_densities(n_rows);
  const std::vector<double> weight = row_weights(weights, n_rows);
  if (starts) check_starts(layout, *starts);
  const std::vector<double> edges(meth_bin_edges.begin(), meth_bin_edges.end());
  const ComponentContext context{rows, edges, normalize_stw, layout, weight, seed, raw_count(), observations};

  // Components share nothing: fitted side by side, their passes nesting on the pool.
  const std::vector<ComponentFit> fits = parallel_map(layout.components.size(), [&](std::size_t i) {
    return fit_component(context, layout.components[i], starts);
  });

  TiedFit result{std::vector<double>(layout.kinds.size(), kNaN), std::vector<ParameterSet>(n_rows),
                 std::vector<double>(n_rows, kNaN)};
  for (std::size_t i = 0; i < fits.size(); ++i) {
    const TiedComponent& component = layout.components[i];
    for (std::size_t j = 0; j < component.shared_entries.size(); ++j) {
      result.theta[component.shared_entries[j]] = fits[i].shared_values[j];
    }
    for (std::size_t m = 0; m < component.rows.size(); ++m) {
      const std::size_t r = component.rows[m];
      const SubsetFit& row = fits[i].rows[m];
      result.parameters[r] = row.parameters;
      result.nlls[r] = row.nll;
      const TiedRow& plan = layout.rows[r];
      for (std::size_t j = 0; j < plan.own.size(); ++j) {
        result.theta[plan.own_entries[j]] =
            row.parameters[static_cast<std::size_t>(std::countr_zero(plan.own[j].columns))];
      }
    }
  }
  return result;
}

}  // namespace velk
