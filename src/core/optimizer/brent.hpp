// Brent's one-dimensional minimiser: golden-section search with successive
// parabolic interpolation on a closed interval, without derivatives and without
// a bracketing phase. Used for the outer search over ln St, where each
// evaluation is a whole parallel pass, so it spends exactly one evaluation per
// iteration.
#pragma once

#include <cmath>

namespace velk {

namespace brent_constants {
inline constexpr double kGolden = 0.3819660112501051;  // (3 - sqrt(5)) / 2
inline constexpr double kRelativeTolerance = 1e-6;
inline constexpr double kAbsoluteTolerance = 1e-10;
inline constexpr int kMaxIterations = 500;
}  // namespace brent_constants

/// Minimises `objective` on [lo, hi] and returns the abscissa of the best point.
///
/// objective: callable as `double(double)`; smaller is better. A NaN value is
///   never taken as the best point, it only narrows the interval.
/// lo, hi: the search interval, lo <= hi (not checked: callers validate; with
///   lo == hi the result is lo after a single evaluation).
/// Every evaluated point lies in [lo, hi]; a run costs at most 501
/// evaluations, and reaching the iteration limit silently returns the best
/// point so far. Never throws by itself; exceptions of the objective pass through.
template <class Objective>
double brent_minimize(Objective&& objective, double lo, double hi) {
  namespace k = brent_constants;
  double a = lo;
  double b = hi;
  double x = lo + k::kGolden * (hi - lo);
  double w = x;
  double v = x;
  double fx = objective(x);
  double fw = fx;
  double fv = fx;
  double d_prev = 0.0;  // forces a golden step first

  for (int iteration = 0; iteration < k::kMaxIterations; ++iteration) {
    const double m = (a + b) * 0.5;
    const double tol1 = k::kRelativeTolerance * std::abs(x) + k::kAbsoluteTolerance;
    const double tol2 = 2.0 * tol1;

    // Converged when the interval around x is within tolerance.
    if (std::abs(x - m) <= tol2 - (b - a) * 0.5) break;

    double d = 0.0;
    double u = 0.0;
    bool parabolic = false;
    if (std::abs(d_prev) > tol1) {
      // Parabola through (x, fx), (w, fw), (v, fv); q >= 0 afterwards.
      const double r = (x - w) * (fx - fv);
      double q = (x - v) * (fx - fw);
      double p = (x - v) * q - (x - w) * r;
      q = 2.0 * (q - r);
      if (q > 0.0) {
        p = -p;
      } else {
        q = -q;
      }
      // Accept only a step shorter than half the previous one that lands
      // inside the interval.
      if (std::abs(p) < std::abs(0.5 * q * d_prev) && p > q * (a - x) && p < q * (b - x)) {
        parabolic = true;
        d = p / q;
        u = x + d;
        // Never evaluate right next to an interval end.
        if (u - a < tol2 || b - u < tol2) u = x < m ? x + tol1 : x - tol1;
      }
    }
    if (!parabolic) {
      // Golden-section step into the larger part of the interval.
      d = x < m ? k::kGolden * (b - x) : k::kGolden * (a - x);
      u = x + d;
    }
    // Never step by less than the tolerance: the point would tell nothing new.
    if (std::abs(u - x) < tol1) u = d > 0.0 ? x + tol1 : x - tol1;

    const double fu = objective(u);

    if (fu <= fx) {
      if (u < x) {
        b = x;
      } else {
        a = x;
      }
      v = w;
      fv = fw;
      w = x;
      fw = fx;
      x = u;
      fx = fu;
    } else {
      // fu > fx, or fu is NaN: u only narrows the interval.
      if (u < x) {
        a = u;
      } else {
        b = u;
      }
      if (fu <= fw || w == x) {
        v = w;
        fv = fw;
        w = u;
        fw = fu;
      } else if (fu <= fv || v == x || v == w) {
        v = u;
        fv = fu;
      }
    }
    d_prev = d;
  }
  return x;
}

}  // namespace velk
