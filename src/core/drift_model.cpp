#include "drift_model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace velk {

RowMatrix build_q(double StE, double StW) {
  RowMatrix Q(kStates, kStates);
  for (int m = 0; m < kStates; ++m) {
    if (m > 0) Q(m - 1, m) = StE * static_cast<double>(m);
    if (m < NCPG) Q(m + 1, m) = StW * static_cast<double>(NCPG - m);
  }
  for (int m = 0; m < kStates; ++m) {
    double column_sum = 0.0;
    for (int i = 0; i < kStates; ++i) column_sum += Q(i, m);
    Q(m, m) = 0.0 - column_sum;
  }
  return Q;
}

Distribution observed_to_p0(std::span<const double> p0_observed,
                            std::span<const double> meth_bin_edges) {
  if (meth_bin_edges.empty()) {
    throw std::runtime_error(
        "meth_bin_edges is empty: it must hold at least one edge (n_meth_bins + 1 values)");
  }
  Distribution P0{};
  const std::size_t bins = meth_bin_edges.size() - 1;
  for (std::size_t b = 0; b < bins; ++b) {
    const bool last = b + 1 == bins;
    const auto in_bin = [&](int m) {
      const double level = static_cast<double>(m) / 70.0;
      return meth_bin_edges[b] <= level &&
             (last ? level <= meth_bin_edges[b + 1] : level < meth_bin_edges[b + 1]);
    };
    int members = 0;
    for (int m = 0; m < kStates; ++m) members += in_bin(m) ? 1 : 0;
    if (members == 0) continue;
    if (b >= p0_observed.size()) {
      throw std::runtime_error("p0_observed has " + std::to_string(p0_observed.size()) +
                               " entries, but bin " + std::to_string(b) +
                               " of meth_bin_edges holds macrostates (index out of range)");
    }
    const double fraction = p0_observed[b];
    if (!(fraction > 0.0)) continue;
    const double share = fraction / static_cast<double>(members);
    for (int m = 0; m < kStates; ++m) {
      if (in_bin(m)) P0[m] = share;
    }
  }
  double total = 0.0;
  for (const double p : P0) total += p;
  if (total > 0.0) {
    for (double& p : P0) p /= total;
  }
  return P0;
}

SiteTransition site_transition(double StE, double StW, double t) noexcept {
  if (std::isnan(t) || std::isnan(StE) || std::isnan(StW)) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    return {nan, nan, nan, nan};
  }
  // exp(0 Q) is the identity whatever the rates, infinite ones included.
  if (t == 0.0 || (StE == 0.0 && StW == 0.0)) return {1.0, 0.0, 0.0, 1.0};

  // Rates are scaled by the larger magnitude so that StE + StW cannot
  // overflow (an infinite rate scales to +-1, the finite one to 0); x =
  // (StE + StW) t may overflow, which only sends e^{-x} to 0 or inf.
  const double scale = std::fmax(std::fabs(StE), std::fabs(StW));
  const bool infinite = std::isinf(scale);
  const double erase = infinite ? (std::isinf(StE) ? std::copysign(1.0, StE) : 0.0) : StE / scale;
  const double write = infinite ? (std::isinf(StW) ? std::copysign(1.0, StW) : 0.0) : StW / scale;
  const double s = erase + write;
  const double x = s * scale * t;
  const double decay = std::exp(-x);
  double lose;
  double gain;
  // Below 2^-54, (1 - e^{-x}) / x is 1 to double precision, so f = t exactly;
  // this covers s = 0 with non-zero rates and keeps x from underflowing.
  if (std::fabs(x) < 0x1p-54) {
    lose = StE * t;
    gain = StW * t;
  } else {
    const double f_scaled = -std::expm1(-x) / s;  // f * scale
    lose = erase * f_scaled;
    gain = write * f_scaled;
  }
  return {decay + gain, lose, gain, decay + lose};
}

void propagate(const SiteTransition& site, const Distribution& P0, Distribution& out) noexcept {
  // Builds A_j(z) = sum_{M<=j} P0[M] u^M v^(j-M) for j = 0..70 with
  // u = lose + keep z and v = stay + gain z:
  //   A_j = A_{j-1} v + P0[j] u^j,   u^(j+1) = u^j u,
  // so only the running polynomial and the running power of u are kept (two
  // ping-pong buffers each, so every loop reads one buffer and writes the other).
  Distribution a_buffers[2];
  Distribution u_buffers[2];
  Distribution* acc = &a_buffers[0];
  Distribution* acc_next = &a_buffers[1];
  Distribution* power = &u_buffers[0];
  Distribution* power_next = &u_buffers[1];

  (*acc)[0] = P0[0];
  (*power)[0] = site.lose;
  (*power)[1] = site.keep;
  for (int j = 1; j <= NCPG; ++j) {
    // A_{j-1} (degree j-1) times v.
    const Distribution& a = *acc;
    Distribution& next = *acc_next;
    next[0] = a[0] * site.stay;
    for (int k = 1; k < j; ++k) next[k] = a[k] * site.stay + a[k - 1] * site.gain;
    next[j] = a[j - 1] * site.gain;
    // Plus P0[j] u^j (degree j).
    const double weight = P0[j];
    if (weight != 0.0) {
      const Distribution& u = *power;
      for (int k = 0; k <= j; ++k) next[k] += weight * u[k];
    }
    std::swap(acc, acc_next);
    if (j == NCPG) break;
    // u^(j+1) = u^j u.
    const Distribution& u = *power;
    Distribution& u_next = *power_next;
    u_next[0] = u[0] * site.lose;
    for (int k = 1; k <= j; ++k) u_next[k] = u[k] * site.lose + u[k - 1] * site.keep;
    u_next[j + 1] = u[j] * site.keep;
    std::swap(power, power_next);
  }
  out = *acc;
}

Distribution propagate_to_age(double StE, double StW, const Distribution& P0, double age) noexcept {
  Distribution p;
  propagate(site_transition(StE, StW, age), P0, p);
  return p;
}

std::vector<Distribution> propagate_to_ages(double StE, double StW, const Distribution& P0,
                                            std::span<const double> ages) {
  std::vector<Distribution> result;
  result.reserve(ages.size());
  for (const double age : ages) result.push_back(propagate_to_age(StE, StW, P0, age));
  return result;
}

std::vector<double> drift_bin_probabilities(const Distribution& p,
                                            std::span<const double> meth_bin_edges) {
  const BinLayout layout(meth_bin_edges);
  std::vector<double> q(layout.bin_count());
  layout.bin(p, q, DRIFT_PROB_FLOOR);
  return q;
}

DriftLikelihood::DriftLikelihood(const Distribution& P0, const RowMatrix& observed,
                                 std::span<const double> ages,
                                 std::span<const double> meth_bin_edges)
    : P0_(P0),
      observed_(observed),
      ages_(ages),
      scored_ages_(std::min(ages.size(), observed.rows())),
      layout_(meth_bin_edges),
      binned_(layout_.bin_count()) {}

double DriftLikelihood::operator()(double StE, double StW) const noexcept {
  double total = 0.0;
  Distribution p;
  for (std::size_t i = 0; i < scored_ages_; ++i) {
    propagate(site_transition(StE, StW, ages_[i]), P0_, p);
    layout_.bin(p, binned_, DRIFT_PROB_FLOOR);
    const std::span<const double> row = observed_.row(i);
    const std::size_t scored_bins = std::min(binned_.size(), row.size());
    for (std::size_t k = 0; k < scored_bins; ++k) total = total - row[k] * std::log(binned_[k]);
  }
  return total;
}

double nll_drift(const Distribution& P0, const RowMatrix& observed, std::span<const double> ages,
                 std::span<const double> meth_bin_edges, double StE, double StW) {
  return DriftLikelihood(P0, observed, ages, meth_bin_edges)(StE, StW);
}

}  // namespace velk
