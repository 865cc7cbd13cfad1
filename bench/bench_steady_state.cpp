// Steady-state solves per second: the structured LU against the dense
// reference of the same arithmetic, on one sweep of parameter sets, plus the
// full model evaluation (powers, rates, solve, detailed-balance safeguard).
//
//   cmake -S . -B build/bench -DVELK_BUILD_PYTHON=OFF -DVELK_BUILD_BENCH=ON
//   cmake --build build/bench && ./build/bench/bench_steady_state
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "run_state.hpp"
#include "velk_model.hpp"

namespace {

struct Case {
  double StE, StW, CoW, CoE, n_U, n_M, Vmax;
  bool raw;
};

std::vector<Case> sweep(std::size_t count) {
  std::mt19937_64 gen(2024);
  std::uniform_real_distribution<double> log_rate(-6.0, 6.0);
  std::uniform_real_distribution<double> exponent(0.5, 5.0);
  std::vector<Case> cases;
  for (std::size_t c = 0; c < count; ++c) {
    cases.push_back({std::pow(10.0, log_rate(gen)), 1.0, std::pow(10.0, log_rate(gen)),
                     std::pow(10.0, log_rate(gen)), exponent(gen), exponent(gen),
                     c % 3 == 0 ? std::pow(10.0, log_rate(gen)) : std::numeric_limits<double>::infinity(),
                     c % 2 == 1});
  }
  return cases;
}

template <class F>
double seconds_per_call(std::size_t calls, F&& body) {
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < calls; ++i) body(i);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return elapsed.count() / static_cast<double>(calls);
}

double sink = 0.0;

}  // namespace

int main() {
  const std::vector<Case> cases = sweep(20000);
  std::vector<velk::TransitionRates> rates;
  rates.reserve(cases.size());
  for (const Case& c : cases) {
    rates.push_back(velk::transition_rates(c.StE, c.StW, c.CoW, c.CoE,
                                           velk::cooperative_powers(c.n_U, c.n_M, c.raw), c.Vmax));
  }

  std::size_t identical = 0;
  for (const velk::TransitionRates& r : rates) {
    const velk::Distribution a = velk::solve_steady_state_dense(r);
    const velk::Distribution b = velk::solve_steady_state_structured(r);
    identical += std::memcmp(a.data(), b.data(), sizeof(double) * a.size()) == 0;
  }

  const std::size_t n = rates.size();
  const double dense = seconds_per_call(n, [&](std::size_t i) {
    sink += velk::solve_steady_state_dense(rates[i])[35];
  });
  const double structured = seconds_per_call(n, [&](std::size_t i) {
    sink += velk::solve_steady_state_structured(rates[i])[35];
  });
  const double guarded = seconds_per_call(n, [&](std::size_t i) {
    sink += velk::solve_steady_state(rates[i])[35];
  });
  const double full = seconds_per_call(n, [&](std::size_t i) {
    const Case& c = cases[i];
    velk::set_raw_count(c.raw);
    sink += velk::solve_steady_state(c.StE, c.StW, c.CoW, c.CoE, c.n_U, c.n_M, c.Vmax)[35];
  });
  const double full_dense = seconds_per_call(n, [&](std::size_t i) {
    const Case& c = cases[i];
    sink += velk::solve_steady_state_dense(velk::transition_rates(
        c.StE, c.StW, c.CoW, c.CoE, velk::cooperative_powers(c.n_U, c.n_M, c.raw), c.Vmax))[35];
  });
  const velk::CooperativePowers fixed = velk::cooperative_powers(2.0, 2.0, false);
  const double fixed_exponents = seconds_per_call(n, [&](std::size_t i) {
    const Case& c = cases[i];
    sink += velk::solve_steady_state(c.StE, c.StW, c.CoW, c.CoE, fixed, c.Vmax)[35];
  });

  std::printf("sweep: %zu parameter sets, structured == dense bit for bit: %zu/%zu\n", n, identical, n);
  std::printf("%-52s %9.2f us  %10.0f /s\n", "dense LU (reference arithmetic)", dense * 1e6, 1.0 / dense);
  std::printf("%-52s %9.2f us  %10.0f /s   (%.1fx)\n", "structured LU", structured * 1e6,
              1.0 / structured, dense / structured);
  std::printf("%-52s %9.2f us  %10.0f /s   (%.1fx)\n", "structured LU + detailed-balance safeguard",
              guarded * 1e6, 1.0 / guarded, dense / guarded);
  std::printf("%-52s %9.2f us  %10.0f /s\n", "full dense evaluation (140 pow + rates + dense LU)",
              full_dense * 1e6, 1.0 / full_dense);
  std::printf("%-52s %9.2f us  %10.0f /s   (%.1fx)\n", "full evaluation (140 pow + rates + solve)",
              full * 1e6, 1.0 / full, full_dense / full);
  std::printf("%-52s %9.2f us  %10.0f /s   (%.1fx)\n", "evaluation with fixed exponents (powers reused)",
              fixed_exponents * 1e6, 1.0 / fixed_exponents, full_dense / fixed_exponents);
  return sink == 12345.0;
}
