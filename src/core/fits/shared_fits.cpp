#include "fits/shared_fits.hpp"

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "fits/density_fits.hpp"
#include "fits/search_space.hpp"
#include "log.hpp"
#include "optimizer/brent.hpp"
#include "optimizer/nelder_mead.hpp"
#include "parallel.hpp"
#include "run_state.hpp"
#include "seeds.hpp"

namespace velk {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

double midpoint(Bounds b) noexcept { return (b.lo + b.hi) / 2.0; }

// The Brent searches run over [ln lo, ln hi]. A bound that is not a positive
// finite number, or an inverted pair, would leave that interval undefined and
// the fit would "succeed" with NaN results, so such bounds are refused up front.
void require_positive_st_bounds(Bounds st) {
  const bool usable = st.lo > 0.0 && st.hi > 0.0 && std::isfinite(st.lo) &&
                      std::isfinite(st.hi) && st.lo <= st.hi;
  if (!usable) {
    throw std::runtime_error("st_bounds must be positive and finite with low <= high, got (" +
                             detail::bound_text(st.lo) + ", " + detail::bound_text(st.hi) + ")");
  }
}

// The outer objective of a pass: each density's NLL (the last entry of its fit
// row) times its weight, added after the join in density order from -0.0.
template <std::size_t K>
double weighted_total(const std::vector<std::array<double, K>>& fits,
                      const std::vector<double>& weights) noexcept {
  double total = -0.0;
  for (std::size_t i = 0; i < fits.size(); ++i) total += fits[i][K - 1] * weights[i];
  return total;
}

// Numbers of the per-evaluation lines; one counter per fit call, shared by
// all of its starts.
class EvaluationCounter {
 public:
  long long next() noexcept {
    return static_cast<long long>(count_.fetch_add(1, std::memory_order_relaxed) + 1);
  }

 private:
  std::atomic<std::uint64_t> count_{0};
};

std::string best_line(std::size_t best_start, double value) {
  return "--- best start: " + std::to_string(best_start) + " with NLL=" + fixed(value, 6) +
         " ---\n";
}

}  // namespace

SharedStFit fit_shared_st_inner(DensityRows rows, std::span<const double> meth_bin_edges,
                                bool normalize_stw, DensityWeights weights, Bounds st, Bounds co,
                                double n_U, double n_M, double co_penalty,
                                std::optional<std::uint64_t> seed, std::uint64_t sample,
                                Observations observations) {
  const std::vector<double> edges(meth_bin_edges.begin(), meth_bin_edges.end());
  const std::vector<double> weight = density_weights(weights, rows.size());
  observations.require_densities(rows.size());
  require_positive_st_bounds(st);

  // Without a caller's seed each inner fit draws a fresh stream; with one,
  // density i keeps the same seed at every St, so that Brent minimises a
  // deterministic function of St.
  auto pass = [&](double St) {
    return parallel_map(rows.size(), [&](std::size_t i) {
      return fit_2param_n({rows[i], edges, normalize_stw, observations.density(i)}, run_seed(seed, sample, i), St,
                          co.lo, co.hi, n_U, n_M, mm_vmax(), co_penalty);
    });
  };
  const double log_st = brent_minimize(
      [&](double y) { return weighted_total(pass(std::exp(y)), weight); }, std::log(st.lo),
      std::log(st.hi));

  // The reported rows come from a pass of their own at the optimum.
  const double St = std::exp(log_st);
  return {St, pass(St)};
}

SharedExpFit fit_shared_exp_inner(DensityRows rows, std::span<const double> meth_bin_edges,
                                  bool normalize_stw, bool fit_vmax, DensityWeights weights,
                                  Bounds st, Bounds co, Bounds n_exp, Bounds vmax,
                                  double co_penalty, bool verbose,
                                  std::optional<SharedExpStart> warm_start,
                                  Observations observations) {
  const std::vector<double> edges(meth_bin_edges.begin(), meth_bin_edges.end());
  const std::vector<double> weight = density_weights(weights, rows.size());
  observations.require_densities(rows.size());
  const double run_vmax = mm_vmax();

  // Search vector (log10 St, n_U, n_M [, log10 Vmax]).
  std::vector<Bounds> bounds{log10_bounds(st), n_exp, n_exp};
  if (fit_vmax) bounds.push_back(log10_bounds(vmax));

  std::vector<std::vector<double>> starts;
  if (warm_start) {
    const auto& [St_w, n_U_w, n_M_w, Vmax_w] = *warm_start;
    std::vector<double> x0{clamp_to_bounds(std::log10(St_w), bounds[0]),
                           clamp_to_bounds(n_U_w, n_exp), clamp_to_bounds(n_M_w, n_exp)};
    // The Vmax pair is checked even when Vmax is not fitted.
    const double log_vmax = clamp_to_bounds(std::log10(Vmax_w), log10_bounds(vmax));
    if (fit_vmax) x0.push_back(log_vmax);
    starts.push_back(std::move(x0));
  } else {
    // One start in the middle, then the four corners of the exponent box
    // pulled a quarter inwards: the exponent landscape is often multimodal.
    const double m_s = midpoint(bounds[0]);
    const double m_n = midpoint(n_exp);
    const double low = n_exp.lo + 0.25;
    const double high = n_exp.hi - 0.25;
    starts = {{m_s, m_n, m_n}, {m_s, low, low}, {m_s, low, high}, {m_s, high, low},
              {m_s, high, high}};
    if (fit_vmax) {
      const double m_v = midpoint(bounds[3]);
      for (auto& start : starts) start.push_back(m_v);
    }
  }

  auto pass = [&](double St, double n_U, double n_M, double Vmax) {
    return parallel_map(rows.size(), [&](std::size_t i) {
      return fit_2param_n({rows[i], edges, normalize_stw, observations.density(i)}, i, St, co.lo,
                          co.hi, n_U, n_M, Vmax, co_penalty);
    });
  };

  EvaluationCounter counter;
  auto objective = [&](std::span<const double> x) {
    if (interrupted()) return kInfinity;
    const double St = from_log10(x[0]);
    const double n_U = x[1];
    const double n_M = x[2];
    const double Vmax = fit_vmax ? from_log10(x[3]) : run_vmax;
    const double total = weighted_total(pass(St, n_U, n_M, Vmax), weight);
    const long long evaluation = counter.next();
    if (verbose) {
      write_stderr_line("  [" + padded(evaluation, 3) + "] St=" + fixed(St, 4) +
                        " (logSt=" + signed_fixed(x[0], 3) + ")  n_U=" + fixed(n_U, 3) +
                        "  n_M=" + fixed(n_M, 3) + "  Vmax=" + fixed(Vmax, 4) +
                        "  total NLL=" + fixed(total, 6) + "\n");
    }
    return total;
  };
  auto start_line = [](std::size_t i, std::size_t count, std::span<const double> x0) {
    return "--- Nelder-Mead start " + std::to_string(i) + "/" + std::to_string(count) +
           " from x0=(logSt=" + signed_fixed(x0[0], 3) + ", n_U=" + fixed(x0[1], 3) +
           ", n_M=" + fixed(x0[2], 3) + ") ---\n";
  };
  auto converged_line = [](std::size_t i, std::span<const double> x, double value) {
    return "    => start " + std::to_string(i) + " converged: logSt=" + signed_fixed(x[0], 3) +
           " n_U=" + fixed(x[1], 3) + " n_M=" + fixed(x[2], 3) + " NLL=" + fixed(value, 6) + "\n";
  };

  const MultiStartResult best = nelder_mead_multi_start(
      objective, std::span<const std::vector<double>>(starts), bounds, verbose, start_line,
      converged_line, best_line);

  // Final pass at the best point (after an interrupt: the best so far, or the
  // first start), with the same seeds the objective used.
  const double St = from_log10(best.x[0]);
  const double n_U = best.x[1];
  const double n_M = best.x[2];
  const double Vmax = fit_vmax ? from_log10(best.x[3]) : run_vmax;
  return {St, n_U, n_M, Vmax, pass(St, n_U, n_M, Vmax)};
}

SharedStPerDensityExpFit fit_shared_st_perdensity_exp_inner(
    DensityRows rows, std::span<const double> meth_bin_edges, bool normalize_stw, bool fit_vmax,
    DensityWeights weights, Bounds st, Bounds co, Bounds n_exp, Bounds vmax, double co_penalty,
    Observations observations) {
  const std::vector<double> edges(meth_bin_edges.begin(), meth_bin_edges.end());
  const std::vector<double> weight = density_weights(weights, rows.size());
  observations.require_densities(rows.size());
  const double run_vmax = mm_vmax();

  auto pass = [&](double St, double Vmax) {
    return parallel_map(rows.size(), [&](std::size_t i) {
      return fit_4param_n({rows[i], edges, normalize_stw, observations.density(i)}, i, St, co.lo,
                          co.hi, n_exp.lo, n_exp.hi, Vmax, co_penalty);
    });
  };

  double St = 0.0;
  double Vmax = run_vmax;
  if (!fit_vmax) {
    require_positive_st_bounds(st);
    // Brent never looks at the interruption flag: a bootstrap caller checks
    // it between samples.
    const double log_st = brent_minimize(
        [&](double y) { return weighted_total(pass(std::exp(y), run_vmax), weight); },
        std::log(st.lo), std::log(st.hi));
    St = std::exp(log_st);
  } else {
    const std::array<Bounds, 2> bounds{log10_bounds(st), log10_bounds(vmax)};
    const std::array<double, 2> x0{midpoint(bounds[0]), midpoint(bounds[1])};
    auto objective = [&](std::span<const double> x) {
      if (interrupted()) return kInfinity;
      return weighted_total(pass(from_log10(x[0]), from_log10(x[1])), weight);
    };
    const NelderMeadResult best =
        nelder_mead_minimize(objective, x0, bounds, NelderMeadSettings::shared_fit());
    St = from_log10(best.x[0]);
    Vmax = from_log10(best.x[1]);
  }
  return {St, Vmax, pass(St, Vmax)};
}

SharedCoFit fit_shared_co_inner(DensityRows rows, std::span<const double> meth_bin_edges,
                                bool normalize_stw, DensityWeights weights, Bounds st, Bounds co,
                                Bounds n_exp, double co_penalty, bool verbose,
                                std::optional<SharedCoStart> warm_start,
                                Observations observations) {
  const std::vector<double> edges(meth_bin_edges.begin(), meth_bin_edges.end());
  const std::vector<double> weight = density_weights(weights, rows.size());
  observations.require_densities(rows.size());
  const double run_vmax = mm_vmax();

  // Search vector log10 (St, CoW, CoE).
  const std::array<Bounds, 3> bounds{log10_bounds(st), log10_bounds(co), log10_bounds(co)};

  std::vector<std::vector<double>> starts;
  if (warm_start) {
    const auto& [St_w, CoW_w, CoE_w] = *warm_start;
    starts.push_back({clamp_to_bounds(std::log10(St_w), bounds[0]),
                      clamp_to_bounds(std::log10(CoW_w), bounds[1]),
                      clamp_to_bounds(std::log10(CoE_w), bounds[2])});
  } else {
    // The middle of the box, a decade off it in each direction of the
    // (CoW, CoE) plane, and two starts near the strongly cooperative corner
    // (one of them at low St), where the bistable solutions live.
    const double m_s = midpoint(bounds[0]);
    const double m_c = midpoint(bounds[1]);
    const double low_st = bounds[0].lo + 0.5;
    const double high_co = bounds[1].hi - 0.5;
    starts = {{m_s, m_c, m_c},         {m_s, m_c - 1.0, m_c - 1.0}, {m_s, m_c + 1.0, m_c + 1.0},
              {m_s, m_c + 1.0, m_c - 1.0}, {m_s, m_c - 1.0, m_c + 1.0}, {m_s, high_co, high_co},
              {low_st, high_co, high_co}};
  }

  auto pass = [&](double St, double CoW, double CoE) {
    return parallel_map(rows.size(), [&](std::size_t i) {
      return fit_2param_exp({rows[i], edges, normalize_stw, observations.density(i)}, i, St, CoW, CoE,
                            n_exp.lo, n_exp.hi, run_vmax);
    });
  };

  EvaluationCounter counter;
  auto objective = [&](std::span<const double> x) {
    if (interrupted()) return kInfinity;
    const double St = from_log10(x[0]);
    const double CoW = from_log10(x[1]);
    const double CoE = from_log10(x[2]);
    double total = weighted_total(pass(St, CoW, CoE), weight);
    // The shared rates are penalised once here; the per-density fits, whose
    // rates are fixed, carry no penalty.
    if (co_penalty > 0.0 || co_penalty < 0.0) total += co_penalty_term(CoW, CoE, co_penalty);
    const long long evaluation = counter.next();
    if (verbose) {
      write_stderr_line("  [" + padded(evaluation, 3) + "] St=" + fixed(St, 4) +
                        " CoW=" + fixed(CoW, 4) + " CoE=" + fixed(CoE, 4) +
                        "  total NLL=" + fixed(total, 6) + "\n");
    }
    return total;
  };
  auto start_line = [](std::size_t i, std::size_t count, std::span<const double> x0) {
    return "--- Nelder-Mead start " + std::to_string(i) + "/" + std::to_string(count) +
           " from x0=(logSt=" + signed_fixed(x0[0], 3) + ", logCoW=" + signed_fixed(x0[1], 3) +
           ", logCoE=" + signed_fixed(x0[2], 3) + ") ---\n";
  };
  auto converged_line = [](std::size_t i, std::span<const double> x, double value) {
    return "    => start " + std::to_string(i) + " converged: logSt=" + signed_fixed(x[0], 3) +
           " logCoW=" + signed_fixed(x[1], 3) + " logCoE=" + signed_fixed(x[2], 3) +
           " NLL=" + fixed(value, 6) + "\n";
  };

  const MultiStartResult best = nelder_mead_multi_start(
      objective, std::span<const std::vector<double>>(starts), bounds, verbose, start_line,
      converged_line, best_line);

  const double St = from_log10(best.x[0]);
  const double CoW = from_log10(best.x[1]);
  const double CoE = from_log10(best.x[2]);
  return {St, CoW, CoE, pass(St, CoW, CoE)};
}

}  // namespace velk
