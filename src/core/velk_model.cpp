#include "velk_model.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "run_state.hpp"

namespace velk {
namespace {

constexpr int N = kStates;

// Above this magnitude the structured elimination could overflow where the
// dense one meets inf * 0; such rate sets take the dense path instead.
constexpr double kStructuredRateLimit = 1e100;

// Largest entry-wise disagreement with detailed balance for which the LU
// result is returned unchanged.
constexpr double kDetailedBalanceTolerance = 1e-10;

Distribution uniform_distribution() noexcept {
  Distribution p;
  p.fill(kUniformProbability);
  return p;
}

struct LuSolution {
  Distribution p;
  bool singular = false;
};

LuSolution singular_solution() noexcept { return {uniform_distribution(), true}; }

// Diagonal of generator column j: minus the column sum taken in ascending row
// order from 0.0. The only non-zero entries are the erasing rate j -> j-1
// (row j-1) and the writing rate j -> j+1 (row j+1), so the 71-term sum has
// exactly the bits of (0.0 + upper) + lower.
double generator_diagonal(const TransitionRates& rates, int j) noexcept {
  const double upper = j >= 1 ? rates.erase[j - 1] : 0.0;
  const double lower = j < NCPG ? rates.write[j] : 0.0;
  return -((0.0 + upper) + lower);
}

bool all_finite(const Distribution& p) noexcept {
  return std::all_of(p.begin(), p.end(), [](double v) { return std::isfinite(v); });
}

template <class Predicate>
bool all_rates(const TransitionRates& rates, Predicate ok) noexcept {
  return std::all_of(rates.write.begin(), rates.write.end(), ok) &&
         std::all_of(rates.erase.begin(), rates.erase.end(), ok);
}

bool rates_positive_and_finite(const TransitionRates& rates) noexcept {
  return all_rates(rates, [](double v) { return v > 0.0 && std::isfinite(v); });
}

bool rates_suit_structured_solve(const TransitionRates& rates) noexcept {
  return all_rates(rates, [](double v) { return v > 0.0 && v <= kStructuredRateLimit; });
}

// The reference arithmetic: dense LU with partial pivoting (first row of
// largest magnitude; a column whose pivot is exactly 0.0 is skipped), then
// column-oriented forward and back substitution.
LuSolution dense_lu_solve(const TransitionRates& rates) noexcept {
  // On the stack (40 KiB): objective evaluations never allocate.
  double storage[N][N] = {};
  auto a = [&storage](int row, int col) -> double& { return storage[row][col]; };
  a(0, 1) = rates.erase[0];
  for (int k = 1; k < NCPG; ++k) {
    a(k, k + 1) = rates.erase[k];
    a(k, k - 1) = rates.write[k - 1];
  }
  a(NCPG, NCPG - 1) = rates.write[NCPG - 1];
  for (int j = 0; j < N; ++j) {
    double column_sum = 0.0;
    for (int i = 0; i < N; ++i) column_sum += a(i, j);
    a(j, j) = -column_sum;
  }
  for (int j = 0; j < N; ++j) a(NCPG, j) = 1.0;

  std::array<int, N> pivot_of{};
  for (int i = 0; i < N; ++i) {
    int pivot = i;
    double largest = std::fabs(a(i, i));
    for (int r = i + 1; r < N; ++r) {
      const double magnitude = std::fabs(a(r, i));
      if (magnitude > largest) {
        largest = magnitude;
        pivot = r;
      }
    }
    pivot_of[i] = pivot;
    if (largest == 0.0) {
      pivot_of[i] = i;
      continue;
    }
    if (pivot != i) {
      for (int k = 0; k < N; ++k) std::swap(a(i, k), a(pivot, k));
    }
    const double inv = 1.0 / a(i, i);
    for (int r = i + 1; r < N; ++r) a(r, i) = a(r, i) * inv;
    for (int r = i + 1; r < N; ++r) {
      const double l = a(r, i);
      for (int k = i + 1; k < N; ++k) a(r, k) = (-a(i, k)) * l + a(r, k);
    }
  }

  Distribution b{};
  b[NCPG] = 1.0;
  for (int i = 0; i < N; ++i) std::swap(b[i], b[pivot_of[i]]);
  for (int i = 0; i < N - 1; ++i) {
    const double c = b[i] / 1.0;
    for (int r = i + 1; r < N; ++r) b[r] = (-c) * a(r, i) + b[r];
  }
  for (int i = N - 1; i >= 0; --i) {
    if (a(i, i) == 0.0) return singular_solution();
    const double c = b[i] / a(i, i);
    b[i] = c;
    for (int r = 0; r < i; ++r) b[r] = (-c) * a(r, i) + b[r];
  }
  return {b, false};
}

// acc[j] = minus_c * tail[j] + acc[j] for the first count lanes; a separate
// loop over restrict pointers so the compiler vectorises it (still one multiply
// and one add per element).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void update_lanes(double* __restrict acc, const double* __restrict tail, double minus_c,
                  int count) noexcept {
  for (int j = 0; j < count; ++j) acc[j] = minus_c * tail[j] + acc[j];
}

// The dense reference arithmetic, restricted to what can differ from zero and
// with repeated values computed once.
//
// The matrix is tridiagonal plus the dense normalisation row (all ones). At
// step i only three logical positions can hold a non-zero in column i: i, i+1
// (the untouched generator row i+1) and 70 (where the normalisation row and the
// rows it fills end up). Every row is a short run of explicit entries followed
// by a constant tail: generator rows have a zero tail, the normalisation row a
// tail of ones, and updating a row with a tail by a pivot with a tail gives
// again a constant tail, (-T_pivot) * l + T_row, computed once. Rows are
// swapped by index. The operations left out are those of rows that are zero in
// the pivot column; for finite positive rates each of them is x + (+-0) with
// x != -0.0, an exact identity, so the bits match the dense solve.
LuSolution structured_lu_solve(const TransitionRates& rates) noexcept {
  // Explicit entries by absolute column; entries outside [first used, last[row]]
  // are never read.
  alignas(64) double rows[N][N + 1];
  std::array<int, N> last{};     // last explicit column of each physical row
  std::array<double, N> tail{};  // value of every column after last[row]
  std::array<double, N> rhs{};   // right-hand side, forward-substituted during elimination
  std::array<int, N> perm{};     // logical position -> physical row

  rows[0][0] = generator_diagonal(rates, 0);
  rows[0][1] = rates.erase[0];
  last[0] = 1;
  for (int k = 1; k < NCPG; ++k) {
    rows[k][k - 1] = rates.write[k - 1];
    rows[k][k] = generator_diagonal(rates, k);
    rows[k][k + 1] = rates.erase[k];
    last[k] = k + 1;
  }
  rows[NCPG][0] = 1.0;
  last[NCPG] = 0;
  tail[NCPG] = 1.0;
  rhs[NCPG] = 1.0;
  for (int i = 0; i < N; ++i) perm[i] = i;

  auto entry = [&](int row, int column) noexcept {
    return column <= last[row] ? rows[row][column] : tail[row];
  };

  for (int i = 0; i < N; ++i) {
    std::array<int, 3> candidates{i, i + 1, NCPG};
    const int candidate_count = i + 1 < NCPG ? 3 : (i < NCPG ? 2 : 1);
    if (i + 1 >= NCPG) candidates[1] = NCPG;

    // Make column i explicit in every candidate, so the pivot row's diagonal
    // and the multipliers are plain entries.
    for (int t = 0; t < candidate_count; ++t) {
      const int row = perm[candidates[t]];
      for (int c = last[row] + 1; c <= i; ++c) rows[row][c] = tail[row];
      last[row] = std::max(last[row], i);
    }

    // Pivot: the first position of largest magnitude in column i.
    int chosen = 0;
    double largest = std::fabs(rows[perm[candidates[0]]][i]);
    for (int t = 1; t < candidate_count; ++t) {
      const double magnitude = std::fabs(rows[perm[candidates[t]]][i]);
      if (magnitude > largest) {
        largest = magnitude;
        chosen = t;
      }
    }
    // A skipped column leaves a zero on the diagonal: the solve fails.
    if (largest == 0.0) return singular_solution();
    std::swap(perm[i], perm[candidates[chosen]]);

    const int pivot = perm[i];
    const double inv = 1.0 / rows[pivot][i];
    for (int t = 1; t < candidate_count; ++t) {
      const int row = perm[candidates[t]];
      const double l = rows[row][i] * inv;
      const int new_last = std::max({last[row], last[pivot], i + 1});
      for (int k = i + 1; k <= new_last; ++k) {
        rows[row][k] = (-entry(pivot, k)) * l + entry(row, k);
      }
      tail[row] = (-tail[pivot]) * l + tail[row];
      last[row] = new_last;
      rhs[row] = (-rhs[pivot]) * l + rhs[row];
    }
  }

  // Back substitution. Each b[r] receives its updates in descending column
  // order, as in the column-oriented reference: first those of its constant
  // tail, then those of its explicit entries. Rows with a non-zero tail are
  // lanes updated column by column as the solution emerges (independent of one
  // another, so they vectorise and stay off the critical path); sorted by
  // their last explicit column, the lanes a column reaches form a prefix.
  std::array<int, N> lane_of_position;
  lane_of_position.fill(-1);
  std::array<int, N> lane_position{};
  int lane_count = 0;
  for (int r = 0; r < N; ++r) {
    const int row = perm[r];
    if (last[row] < NCPG && tail[row] != 0.0) lane_position[lane_count++] = r;
  }
  // Insertion sort: the lanes arrive almost in order, and nothing here may
  // allocate (std::stable_sort would).
  for (int j = 1; j < lane_count; ++j) {
    const int moving = lane_position[j];
    int k = j;
    for (; k > 0 && last[perm[lane_position[k - 1]]] > last[perm[moving]]; --k) {
      lane_position[k] = lane_position[k - 1];
    }
    lane_position[k] = moving;
  }
  alignas(64) std::array<double, N> lane_acc{};
  alignas(64) std::array<double, N> lane_tail{};
  std::array<int, N> lane_last{};
  for (int j = 0; j < lane_count; ++j) {
    const int row = perm[lane_position[j]];
    lane_of_position[lane_position[j]] = j;
    lane_acc[j] = rhs[row];
    lane_tail[j] = tail[row];
    lane_last[j] = last[row];
  }

  Distribution x{};
  int active = lane_count;
  for (int i = N - 1; i >= 0; --i) {
    const int row = perm[i];
    const double* u = rows[row];
    double acc = lane_of_position[i] >= 0 ? lane_acc[lane_of_position[i]] : rhs[row];
    for (int k = last[row]; k > i; --k) acc = (-x[k]) * u[k] + acc;
    if (u[i] == 0.0) return singular_solution();
    const double c = acc / u[i];
    x[i] = c;
    while (active > 0 && lane_last[active - 1] >= i) --active;
    update_lanes(lane_acc.data(), lane_tail.data(), -c, active);
  }
  return {x, false};
}

// Exact stationary distribution of the birth-death chain from the ratios
// p[M+1]/p[M] = write[M]/erase[M]. The running product is kept as a mantissa in
// [2^-256, 2^256] times 2^(512 * scale) so deep troughs between two modes keep
// their relative size; ratios too extreme for that go through logarithms.
Distribution detailed_balance(const TransitionRates& rates) noexcept {
  constexpr double kUpper = 0x1p256;
  constexpr double kLower = 0x1p-256;
  constexpr double kRatioLimit = 0x1p700;
  constexpr double kStep = 0x1p512;
  constexpr double kStepInverse = 0x1p-512;

  std::array<double, NCPG> ratio{};
  bool ratios_moderate = true;
  for (int m = 0; m < NCPG; ++m) {
    ratio[m] = rates.write[m] / rates.erase[m];
    ratios_moderate = ratios_moderate && ratio[m] <= kRatioLimit && ratio[m] >= 1.0 / kRatioLimit;
  }

  Distribution p{};
  if (ratios_moderate) {
    std::array<int, N> scale{};
    double q = 1.0;
    int s = 0;
    p[0] = q;
    for (int m = 0; m < NCPG; ++m) {
      q *= ratio[m];
      while (q > kUpper) {
        q *= kStepInverse;
        ++s;
      }
      while (q < kLower) {
        q *= kStep;
        --s;
      }
      p[m + 1] = q;
      scale[m + 1] = s;
    }
    const int top = *std::max_element(scale.begin(), scale.end());
    for (int m = 0; m < N; ++m) {
      const int below = top - scale[m];
      p[m] = below == 0 ? p[m] : (below == 1 ? p[m] * kStepInverse : 0.0);
    }
  } else {
    double log_weight = 0.0;
    std::array<double, N> logs{};
    for (int m = 0; m < NCPG; ++m) {
      log_weight += std::log(rates.write[m]) - std::log(rates.erase[m]);
      logs[m + 1] = log_weight;
    }
    const double top = *std::max_element(logs.begin(), logs.end());
    for (int m = 0; m < N; ++m) p[m] = std::exp(logs[m] - top);
  }

  double total = 0.0;
  for (double v : p) total += v;
  for (double& v : p) v /= total;
  return p;
}

}  // namespace

CooperativePowers cooperative_powers(double n_U, double n_M, bool raw_count) {
  CooperativePowers powers;
  for (int k = 1; k <= NCPG; ++k) {
    const double base = raw_count ? static_cast<double>(k) : static_cast<double>(k) / 70.0;
    powers.write[k] = std::pow(base, n_M);
  }
  for (int k = 0; k < NCPG; ++k) {
    const double base =
        raw_count ? static_cast<double>(NCPG - k) : 1.0 - static_cast<double>(k) / 70.0;
    powers.erase[k] = std::pow(base, n_U);
  }
  return powers;
}

TransitionRates transition_rates(double StE, double StW, double CoW, double CoE,
                                 const CooperativePowers& powers, double Vmax) {
  TransitionRates rates;
  if (std::isfinite(Vmax)) {
    auto saturated = [Vmax](double drive) { return drive / (drive / Vmax + 1.0); };
    for (int m = 0; m < NCPG; ++m) {
      rates.write[m] = static_cast<double>(NCPG - m) * (StW + saturated(CoW * powers.write[m + 1]));
      rates.erase[m] = static_cast<double>(m + 1) * (StE + saturated(CoE * powers.erase[m]));
    }
  } else {
    for (int m = 0; m < NCPG; ++m) {
      rates.write[m] = static_cast<double>(NCPG - m) * (StW + CoW * powers.write[m + 1]);
      rates.erase[m] = static_cast<double>(m + 1) * (StE + CoE * powers.erase[m]);
    }
  }
  return rates;
}

Distribution solve_steady_state_dense(const TransitionRates& rates) {
  return dense_lu_solve(rates).p;
}

Distribution solve_steady_state_structured(const TransitionRates& rates) {
  return structured_lu_solve(rates).p;
}

Distribution detailed_balance_distribution(const TransitionRates& rates) {
  return detailed_balance(rates);
}

Distribution solve_steady_state(const TransitionRates& rates) {
  LuSolution lu;
  if (rates_suit_structured_solve(rates)) {
    lu = structured_lu_solve(rates);
    // An overflow inside the substitutions is where the dense arithmetic meets
    // inf * 0; redo those few cases densely to keep its exact result.
    if (!all_finite(lu.p)) lu = dense_lu_solve(rates);
  } else {
    lu = dense_lu_solve(rates);
  }
  if (lu.singular || !rates_positive_and_finite(rates)) return lu.p;

  const Distribution exact = detailed_balance(rates);
  for (int m = 0; m < N; ++m) {
    if (!(std::fabs(lu.p[m] - exact[m]) <= kDetailedBalanceTolerance)) return exact;
  }
  return lu.p;
}

Distribution solve_steady_state(double StE, double StW, double CoW, double CoE,
                                const CooperativePowers& powers, double Vmax) {
  return solve_steady_state(transition_rates(StE, StW, CoW, CoE, powers, Vmax));
}

Distribution solve_steady_state(double StE, double StW, double CoW, double CoE, double n_U,
                                double n_M, double Vmax) {
  return solve_steady_state(StE, StW, CoW, CoE, cooperative_powers(n_U, n_M, raw_count()), Vmax);
}

BinLayout::BinLayout(std::span<const double> meth_bin_edges) {
  if (meth_bin_edges.empty()) {
    throw std::invalid_argument(
        "meth_bin_edges is empty: it must hold at least one edge (n_meth_bins + 1 values)");
  }
  bin_count_ = meth_bin_edges.size() - 1;
  const std::size_t last = bin_count_ - 1;  // wraps for zero bins; the loop below is then empty
  for (int m = 0; m < kStates; ++m) {
    const double level = static_cast<double>(m) / 70.0;
    bin_of_[m] = -1;
    for (std::size_t j = 0; j < bin_count_; ++j) {
      const bool inside = meth_bin_edges[j] <= level &&
                          (j == last ? level <= meth_bin_edges[j + 1] : level < meth_bin_edges[j + 1]);
      if (inside) {
        bin_of_[m] = static_cast<int>(j);
        break;
      }
    }
  }
}

void BinLayout::bin(const Distribution& p, std::span<double> out, double floor) const noexcept {
  std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(bin_count_), 0.0);
  for (int m = 0; m < kStates; ++m) {
    if (bin_of_[m] >= 0) out[bin_of_[m]] += p[m];
  }
  double total = 0.0;
  for (std::size_t j = 0; j < bin_count_; ++j) {
    if (out[j] < floor) out[j] = floor;
    total += out[j];
  }
  if (total > 0.0) {
    for (std::size_t j = 0; j < bin_count_; ++j) out[j] /= total;
  }
}

std::vector<double> bin_probabilities(const Distribution& p, std::span<const double> meth_bin_edges) {
  const BinLayout layout(meth_bin_edges);
  std::vector<double> q(layout.bin_count());
  layout.bin(p, q);
  return q;
}

double cross_entropy(std::span<const double> observed_fracs, std::span<const double> q) noexcept {
  const std::size_t scored = std::min(observed_fracs.size(), q.size());
  double total = 0.0;
  for (std::size_t i = 0; i < scored; ++i) total = total - observed_fracs[i] * std::log(q[i]);
  return total;
}

double nll(std::span<const double> observed_fracs, std::span<const double> meth_bin_edges,
           bool normalize_stw, double St, double CoW, double CoE, double n_U, double n_M,
           double Vmax) {
  const BinLayout layout(meth_bin_edges);
  const auto [StE, StW] = spontaneous_rates(normalize_stw, St);
  const Distribution p = solve_steady_state(StE, StW, CoW, CoE, n_U, n_M, Vmax);
  std::vector<double> q(layout.bin_count());
  layout.bin(p, q);
  return cross_entropy(observed_fracs, q);
}

double co_penalty_term(double CoW, double CoE, double co_penalty) noexcept {
  if (co_penalty > 0.0) return co_penalty * (CoW + CoE);
  if (co_penalty < 0.0) return -co_penalty * (std::log10(CoW) + std::log10(CoE));
  return 0.0;
}

}  // namespace velk
