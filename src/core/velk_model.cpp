#include "velk_model.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

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

// What the rates allow: every rate finite and strictly positive (an
// irreducible chain, so detailed balance applies), and in addition at most
// 1e100 (so the structured elimination cannot overflow where the dense one
// would meet inf * 0). NaN fails every test.
struct RateScreen {
  bool positive_and_finite;
  bool suit_structured_solve;
};

RateScreen screen_rates(const TransitionRates& rates) noexcept {
  bool positive = true;
  double largest = 0.0;
  for (int m = 0; m < NCPG; ++m) {
    positive = positive && rates.write[m] > 0.0 && rates.erase[m] > 0.0;
    largest = rates.write[m] > largest ? rates.write[m] : largest;
    largest = rates.erase[m] > largest ? rates.erase[m] : largest;
  }
  return {positive && largest <= std::numeric_limits<double>::max(),
          positive && largest <= kStructuredRateLimit};
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

// The vector kernels get an AVX2 clone, picked at load time where the CPU has
// it (same arithmetic, wider vectors). Sanitizer runtimes are not ready when
// load-time resolvers run, so sanitized builds keep the single default version.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__) && \
    !defined(__SANITIZE_ADDRESS__)
#define VELK_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VELK_VECTOR_CLONES
#endif

// acc[j] = scale * x[j] + acc[j] for the first count lanes; a separate loop
// over restrict pointers so the compiler vectorises it (still one multiply and
// one add per element).
VELK_VECTOR_CLONES
void add_scaled(double* __restrict acc, const double* __restrict x, double scale, int count) noexcept {
  for (int j = 0; j < count; ++j) acc[j] = scale * x[j] + acc[j];
}

// The observation product works on groups of four bins (one AVX2 register,
// two SSE2 registers); rows of the transposed matrix are padded to whole
// groups.
constexpr std::size_t kProductLanes = 4;
using ProductLanes = double __attribute__((vector_size(kProductLanes * sizeof(double))));
// Groups summed in one pass over the 71 macrostates: their sums stay in
// registers, and their additions are independent of one another.
constexpr std::size_t kProductGroups = 6;

// Sums of `Groups` groups starting at column: sums[g] = sum over M of
// column[M * stride + 4 g ...] * p[M], in ascending M from 0.0, one multiply
// and one add per element (vector arithmetic rounds lane by lane). The first
// `kept` sums go to out; the rest are padding.
template <std::size_t Groups>
[[gnu::always_inline]] inline void product_pass(const double* column, std::size_t stride, const double* p,
                                                double* out, std::size_t kept) noexcept {
  ProductLanes sums[Groups] = {};
  for (int m = 0; m < kStates; ++m, column += stride) {
    const double weight = p[m];
    for (std::size_t g = 0; g < Groups; ++g) {
      ProductLanes entries;
      std::memcpy(&entries, column + g * kProductLanes, sizeof entries);
      sums[g] = weight * entries + sums[g];
    }
  }
  std::memcpy(out, sums, kept * sizeof(double));
}

// out[j] = sum over M of by_state[M * stride + j] * p[M] for j < bins; stride
// is bins rounded up to a multiple of kProductLanes (zero padding).
VELK_VECTOR_CLONES
void observed_product(const double* by_state, std::size_t stride, std::size_t bins, const double* p,
                      double* out) noexcept {
  constexpr std::size_t kPassWidth = kProductGroups * kProductLanes;
  std::size_t first = 0;
  for (; first + kPassWidth <= stride; first += kPassWidth) {
    product_pass<kProductGroups>(by_state + first, stride, p, out + first, std::min(kPassWidth, bins - first));
  }
  const std::size_t rest = bins - first;
  switch ((stride - first) / kProductLanes) {
    case 5: product_pass<5>(by_state + first, stride, p, out + first, rest); break;
    case 4: product_pass<4>(by_state + first, stride, p, out + first, rest); break;
    case 3: product_pass<3>(by_state + first, stride, p, out + first, rest); break;
    case 2: product_pass<2>(by_state + first, stride, p, out + first, rest); break;
    case 1: product_pass<1>(by_state + first, stride, p, out + first, rest); break;
    default: break;
  }
}

// The dense reference arithmetic, restricted to what can differ from zero and
// with repeated values computed once.
//
// The matrix is tridiagonal plus the dense normalisation row (all ones). At
// step i only three logical positions can hold a non-zero in column i: i, i+1
// (the untouched generator row i+1) and 70 (where the normalisation row and the
// rows it fills end up). From column i on, each of those rows is three explicit
// entries (columns i, i+1, i+2) followed by a constant tail: generator rows
// have a zero tail, the normalisation row a tail of ones, and updating a row by
// a pivot row gives again a constant tail, (-T_pivot) * l + T_row, computed
// once. So the whole elimination runs on a window of three small rows held in
// registers, and each pivot row is written out as a row of U. The operations
// left out are those on rows that are zero in the pivot column; for finite,
// positive rates each of them is x + (+-0) with x != -0.0, an exact identity,
// so the bits match the dense solve.
struct WindowRow {
  double c0, c1, c2;  // columns i, i+1, i+2
  double tail;        // every column after i+2
  double rhs;         // right-hand side, forward-substituted as the rows are updated
};

// Row i of U: diagonal, the next two entries, the tail after them, and the
// forward-substituted right-hand side.
struct UpperRow {
  double diagonal, next, after_next, tail, rhs;
};

inline void eliminate(WindowRow& row, const WindowRow& pivot, double inv) noexcept {
  const double l = row.c0 * inv;
  row.c1 = (-pivot.c1) * l + row.c1;
  row.c2 = (-pivot.c2) * l + row.c2;
  row.tail = (-pivot.tail) * l + row.tail;
  row.rhs = (-pivot.rhs) * l + row.rhs;
}

// The window moves one column to the right.
inline WindowRow shifted(const WindowRow& row) noexcept {
  return {row.c1, row.c2, row.tail, row.tail, row.rhs};
}

inline UpperRow upper_row(const WindowRow& pivot) noexcept {
  return {pivot.c0, pivot.c1, pivot.c2, pivot.tail, pivot.rhs};
}

LuSolution structured_lu_solve(const TransitionRates& rates) noexcept {
  std::array<UpperRow, N> upper;

  // Position i (carried over), position i+1 (generator row i+1, fresh) and
  // position 70 (carried over; starts as the normalisation row).
  WindowRow at_i{generator_diagonal(rates, 0), rates.erase[0], 0.0, 0.0, 0.0};
  WindowRow at_70{1.0, 1.0, 1.0, 1.0, 1.0};
  for (int i = 0; i + 1 < NCPG; ++i) {
    WindowRow next{rates.write[i], generator_diagonal(rates, i + 1), rates.erase[i + 1], 0.0, 0.0};

    // Pivot: the first position of largest magnitude (i, then i+1, then 70).
    const double a = std::fabs(at_i.c0);
    const double b = std::fabs(next.c0);
    const double c = std::fabs(at_70.c0);
    double largest = a;
    int chosen = 0;
    if (b > largest) {
      largest = b;
      chosen = 1;
    }
    if (c > largest) {
      largest = c;
      chosen = 2;
    }
    // A skipped column leaves a zero on the diagonal: the solve fails.
    if (largest == 0.0) return singular_solution();

    // After the swap the row from position i lands where the pivot was; the
    // two non-pivot rows are eliminated and become positions i+1 and 70.
    WindowRow pivot, to_next, to_70;
    if (chosen == 0) {
      pivot = at_i, to_next = next, to_70 = at_70;
    } else if (chosen == 1) {
      pivot = next, to_next = at_i, to_70 = at_70;
    } else {
      pivot = at_70, to_next = next, to_70 = at_i;
    }
    const double inv = 1.0 / pivot.c0;
    eliminate(to_next, pivot, inv);
    eliminate(to_70, pivot, inv);
    upper[i] = upper_row(pivot);
    at_i = shifted(to_next);
    at_70 = shifted(to_70);
  }

  // Column 69: positions 69 and 70 are left.
  {
    const bool take_70 = std::fabs(at_70.c0) > std::fabs(at_i.c0);
    const WindowRow pivot = take_70 ? at_70 : at_i;
    WindowRow last = take_70 ? at_i : at_70;
    if (pivot.c0 == 0.0) return singular_solution();
    eliminate(last, pivot, 1.0 / pivot.c0);
    upper[NCPG - 1] = upper_row(pivot);
    upper[NCPG] = upper_row(shifted(last));
  }

  // Back substitution. Each b[r] receives its updates in descending column
  // order, as in the column-oriented reference: first those of its constant
  // tail (columns 70 down to r+3), then columns r+2 and r+1. Rows with a
  // non-zero tail are lanes updated column by column as the solution emerges
  // (independent of one another, so they vectorise and stay off the critical
  // path); a zero tail contributes exact identities and is skipped. Ordered by
  // position, the lanes that column k reaches (positions <= k-3) are a prefix.
  alignas(64) std::array<double, N> lane_acc;
  alignas(64) std::array<double, N> lane_tail;
  std::array<int, N> lane_position;
  std::array<int, N> lane_of_position;
  int lane_count = 0;
  for (int r = 0; r + 3 <= NCPG; ++r) {
    lane_of_position[r] = -1;
    if (upper[r].tail != 0.0) {
      lane_of_position[r] = lane_count;
      lane_position[lane_count] = r;
      lane_acc[lane_count] = upper[r].rhs;
      lane_tail[lane_count] = upper[r].tail;
      ++lane_count;
    }
  }

  Distribution x{};
  int active = lane_count;
  // x[i] is final: the tails of the rows at positions <= i-3 reach column i.
  auto spread_column = [&](int i) noexcept {
    while (active > 0 && lane_position[active - 1] > i - 3) --active;
    add_scaled(lane_acc.data(), lane_tail.data(), -x[i], active);
  };
  if (upper[NCPG].diagonal == 0.0) return singular_solution();
  x[NCPG] = upper[NCPG].rhs / upper[NCPG].diagonal;
  spread_column(NCPG);
  x[NCPG - 1] = ((-x[NCPG]) * upper[NCPG - 1].next + upper[NCPG - 1].rhs) / upper[NCPG - 1].diagonal;
  spread_column(NCPG - 1);
  for (int i = NCPG - 2; i >= 0; --i) {
    const UpperRow& u = upper[i];
    double acc = (i + 3 <= NCPG && lane_of_position[i] >= 0) ? lane_acc[lane_of_position[i]] : u.rhs;
    acc = (-x[i + 2]) * u.after_next + acc;
    acc = (-x[i + 1]) * u.next + acc;
    x[i] = acc / u.diagonal;
    spread_column(i);
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

  // Independent divisions and a min/max scan: both vectorise.
  std::array<double, NCPG> ratio;
  for (int m = 0; m < NCPG; ++m) ratio[m] = rates.write[m] / rates.erase[m];
  double smallest = ratio[0], largest = ratio[0];
  for (int m = 1; m < NCPG; ++m) {
    smallest = ratio[m] < smallest ? ratio[m] : smallest;
    largest = ratio[m] > largest ? ratio[m] : largest;
  }

  Distribution p;
  if (largest <= kRatioLimit && smallest >= 1.0 / kRatioLimit) {
    std::array<int, N> scale;
    double q = 1.0;
    int s = 0;
    bool rescaled = false;
    p[0] = q;
    scale[0] = 0;
    for (int m = 0; m < NCPG; ++m) {
      q *= ratio[m];
      if (q > kUpper || q < kLower) [[unlikely]] {
        rescaled = true;
        while (q > kUpper) {
          q *= kStepInverse;
          ++s;
        }
        while (q < kLower) {
          q *= kStep;
          --s;
        }
      }
      p[m + 1] = q;
      scale[m + 1] = s;
    }
    if (rescaled) {
      const int top = *std::max_element(scale.begin(), scale.end());
      for (int m = 0; m < N; ++m) {
        const int below = top - scale[m];
        p[m] = below == 0 ? p[m] : (below == 1 ? p[m] * kStepInverse : 0.0);
      }
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

  // Four partial sums keep the additions independent; the order of this sum is
  // not part of any reproducibility promise (it is a check and a safeguard).
  double partial[4] = {0.0, 0.0, 0.0, 0.0};
  for (int m = 0; m + 3 < N; m += 4) {
    for (int t = 0; t < 4; ++t) partial[t] += p[m + t];
  }
  double total = (partial[0] + partial[1]) + (partial[2] + partial[3]);
  for (int m = N - N % 4; m < N; ++m) total += p[m];
  const double inverse_total = 1.0 / total;
  for (double& v : p) v *= inverse_total;
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
  const RateScreen screen = screen_rates(rates);
  LuSolution lu;
  if (screen.suit_structured_solve) {
    lu = structured_lu_solve(rates);
    // An overflow inside the substitutions is where the dense arithmetic meets
    // inf * 0; redo those few cases densely to keep its exact result.
    if (!all_finite(lu.p)) lu = dense_lu_solve(rates);
  } else {
    lu = dense_lu_solve(rates);
  }
  if (lu.singular || !screen.positive_and_finite) return lu.p;

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

void floor_and_normalise(std::span<double> q, double floor) noexcept {
  double total = 0.0;
  for (double& value : q) {
    if (value < floor) value = floor;
    total += value;
  }
  if (total > 0.0) {
    for (double& value : q) value /= total;
  }
}

void BinLayout::bin(const Distribution& p, std::span<double> out, double floor) const noexcept {
  std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(bin_count_), 0.0);
  for (int m = 0; m < kStates; ++m) {
    if (bin_of_[m] >= 0) out[bin_of_[m]] += p[m];
  }
  floor_and_normalise(out.first(bin_count_), floor);
}

namespace {

std::string shortest_text(double value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

[[noreturn]] void observation_error(std::size_t density, std::size_t column, const std::string& cause) {
  throw std::runtime_error("observation: density " + std::to_string(density) + ", column " +
                           std::to_string(column) + ": " + cause);
}

}  // namespace

void check_observation(std::span<const double> matrix, std::size_t density) {
  const std::size_t bins = matrix.size() / kStates;
  for (std::size_t m = 0; m < static_cast<std::size_t>(kStates); ++m) {
    double total = 0.0;
    for (std::size_t j = 0; j < bins; ++j) {
      const double entry = matrix[j * kStates + m];
      if (!std::isfinite(entry)) {
        observation_error(density, m, "entry for bin " + std::to_string(j) + " is " + shortest_text(entry));
      }
      if (entry < 0.0) {
        observation_error(density, m,
                          "entry for bin " + std::to_string(j) + " is negative (" + shortest_text(entry) + ")");
      }
      total += entry;
    }
    // A column is the distribution of one macrostate over the bins: levels
    // outside every bin may lose mass, but none can be created.
    if (total > 1.0 + kObservationSumTolerance) {
      observation_error(density, m, "entries sum to " + shortest_text(total) + " > 1");
    }
  }
}

ObservedBinning::ObservedBinning(std::span<const double> meth_bin_edges, std::span<const double> observation)
    : layout_(meth_bin_edges) {
  if (observation.empty()) return;
  const std::size_t bins = layout_.bin_count();
  if (observation.size() != bins * kStates) {
    throw std::invalid_argument("observation has " + std::to_string(observation.size()) +
                                " values but n_meth_bins * 71 = " + std::to_string(bins * kStates) +
                                " are needed");
  }
  if (bins == 0) return;
  // Rows padded with zeros to whole groups; the padding's sums are discarded.
  stride_ = (bins + kProductLanes - 1) / kProductLanes * kProductLanes;
  by_state_.assign(stride_ * kStates, 0.0);
  for (std::size_t j = 0; j < bins; ++j) {
    for (std::size_t m = 0; m < static_cast<std::size_t>(kStates); ++m) {
      by_state_[m * stride_ + j] = observation[j * kStates + m];
    }
  }
}

void ObservedBinning::bin(const Distribution& p, std::span<double> out) const noexcept {
  if (by_state_.empty()) {
    layout_.bin(p, out);
    return;
  }
  const std::size_t bins = layout_.bin_count();
  // Each bin's sum runs over ascending M from 0.0, as in the plain binning.
  observed_product(by_state_.data(), stride_, bins, p.data(), out.data());
  floor_and_normalise(out.first(bins), PROB_FLOOR);
}

Observations::Observations(std::span<const double> stacked, std::size_t n_bins)
    : stacked_(stacked), matrix_size_(n_bins * kStates) {
  const bool whole = matrix_size_ == 0 ? stacked.empty() : stacked.size() % matrix_size_ == 0;
  if (!whole) {
    throw std::invalid_argument("observation: " + std::to_string(stacked.size()) +
                                " values are not whole (n_meth_bins x 71) matrices for n_meth_bins = " +
                                std::to_string(n_bins));
  }
}

void Observations::require_densities(std::size_t n_densities) const {
  if (stacked_.empty() || matrix_size_ == 0) return;
  if (stacked_.size() / matrix_size_ != n_densities) {
    throw std::invalid_argument("observation holds " + std::to_string(stacked_.size() / matrix_size_) +
                                " matrices but there are " + std::to_string(n_densities) +
                                " densities: one matrix per density is needed");
  }
}

std::vector<double> bin_probabilities(const Distribution& p, std::span<const double> meth_bin_edges,
                                      std::span<const double> observation) {
  const ObservedBinning binning(meth_bin_edges, observation);
  std::vector<double> q(binning.bin_count());
  binning.bin(p, q);
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
           double Vmax, std::span<const double> observation) {
  const ObservedBinning binning(meth_bin_edges, observation);
  const auto [StE, StW] = spontaneous_rates(normalize_stw, St);
  const Distribution p = solve_steady_state(StE, StW, CoW, CoE, n_U, n_M, Vmax);
  std::vector<double> q(binning.bin_count());
  binning.bin(p, q);
  return cross_entropy(observed_fracs, q);
}

double co_penalty_term(double CoW, double CoE, double co_penalty) noexcept {
  if (co_penalty > 0.0) return co_penalty * (CoW + CoE);
  if (co_penalty < 0.0) return -co_penalty * (std::log10(CoW) + std::log10(CoE));
  return 0.0;
}

}  // namespace velk
