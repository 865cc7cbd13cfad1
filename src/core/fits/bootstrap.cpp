#include "fits/bootstrap.hpp"

#include <array>
#include <limits>
#include <stdexcept>
#include <string>

#include "fits/density_fits.hpp"
#include "parallel.hpp"
#include "run_state.hpp"

namespace velk {
namespace {

template <std::size_t K>
using Rows = std::vector<std::array<double, K>>;

// One parallel pass: item i yields its rows (none once Ctrl+C was pressed);
// the rows are concatenated in item order, whatever the scheduling.
template <std::size_t K, class Item>
RowMatrix collect(std::size_t items, Item&& item) {
  const std::vector<Rows<K>> produced = parallel_map(items, [&](std::size_t i) -> Rows<K> {
    if (interrupted()) return {};
    return item(i);
  });
  std::size_t total = 0;
  for (const Rows<K>& rows : produced) total += rows.size();
  RowMatrix result(total, K);
  std::size_t r = 0;
  for (const Rows<K>& rows : produced) {
    for (const std::array<double, K>& row : rows) {
      std::copy(row.begin(), row.end(), result.row(r++).begin());
    }
  }
  return result;
}

double as_index(std::size_t i) noexcept { return static_cast<double>(i); }

// Column 0 of a result row: the run-wide index of the stack's sample b.
double sample_column(const BootstrapInputs& in, std::size_t b) noexcept {
  return static_cast<double>(in.samples.sample_index(b));
}

// Stacked row i is density i % n_densities of its sample; the densities'
// observation matrices are the same for every sample.
DensityData density(const BootstrapInputs& in, std::size_t i) {
  const std::size_t d = i % in.samples.n_densities();
  return {in.samples.row(i), in.meth_bin_edges, in.normalize_stw, in.observations.density(d)};
}

void require_observations(const BootstrapInputs& in) { in.observations.require_densities(in.samples.n_densities()); }

}  // namespace

BootstrapSamples::BootstrapSamples(const RowMatrix& rows, std::uint64_t n_boot, std::uint64_t n_densities,
                                   std::uint64_t first_sample)
    : rows_(rows),
      n_boot_(static_cast<std::size_t>(n_boot)),
      n_densities_(static_cast<std::size_t>(n_densities)),
      first_sample_(first_sample) {
  const bool overflows = n_densities != 0 && n_boot > std::numeric_limits<std::uint64_t>::max() / n_densities;
  if (overflows || n_boot * n_densities > rows.rows()) {
    throw std::runtime_error("bootstrap_fracs has " + std::to_string(rows.rows()) +
                             " rows but n_boot * n_densities = " + std::to_string(n_boot) + " * " +
                             std::to_string(n_densities) + " rows are needed");
  }
  check_sample_range(first_sample, n_boot, n_densities);
}

std::vector<std::span<const double>> BootstrapSamples::sample(std::size_t b) const {
  return rows_.row_spans(b * n_densities_, n_densities_);
}

RowMatrix fit_bootstrap(const BootstrapInputs& in, bool shared_st, bool fix_st, double n_U, double n_M,
                        std::optional<std::uint64_t> seed) {
  require_observations(in);
  const std::size_t nd = in.samples.n_densities();
  if (shared_st) {
    return collect<6>(in.samples.n_boot(), [&](std::size_t b) {
      const auto rows = in.samples.sample(b);
      const SharedStFit fit = fit_shared_st_inner(rows, in.meth_bin_edges, in.normalize_stw, in.weights, in.st,
                                                  in.co, n_U, n_M, in.co_penalty, seed,
                                                  in.samples.sample_index(b), in.observations);
      Rows<6> out;
      for (std::size_t k = 0; k < fit.densities.size(); ++k) {
        const auto& [CoW, CoE, nll] = fit.densities[k];
        out.push_back({sample_column(in, b), as_index(k), fit.St, CoW, CoE, nll});
      }
      return out;
    });
  }
  if (fix_st) {
    return collect<6>(in.samples.n_boot(), [&](std::size_t b) {
      Rows<6> out;
      if (nd == 0) return out;
      const std::size_t first = b * nd;
      const auto lowest = fit_3param(density(in, first), in.samples.row_index(first), in.st.lo, in.st.hi, in.co.lo,
                                     in.co.hi, n_U, n_M, in.co_penalty);
      const double St = lowest[0];
      out.push_back({sample_column(in, b), 0.0, St, lowest[1], lowest[2], lowest[3]});
      const double Vmax = mm_vmax();
      // The other densities of the sample at density 0's St, as a nested pass.
      const auto others = parallel_map(nd - 1, [&](std::size_t k) {
        const std::size_t i = first + k + 1;
        return fit_2param_n(density(in, i), in.samples.row_index(i), St, in.co.lo, in.co.hi, n_U, n_M, Vmax,
                            in.co_penalty);
      });
      for (std::size_t k = 0; k < others.size(); ++k) {
        out.push_back({sample_column(in, b), as_index(k + 1), St, others[k][0], others[k][1], others[k][2]});
      }
      return out;
    });
  }
  return collect<6>(in.samples.pairs(), [&](std::size_t i) {
    const auto row = fit_3param(density(in, i), in.samples.row_index(i), in.st.lo, in.st.hi, in.co.lo, in.co.hi,
                                n_U, n_M, in.co_penalty);
    return Rows<6>{{sample_column(in, i / nd), as_index(i % nd), row[0], row[1], row[2], row[3]}};
  });
}

RowMatrix fit_bootstrap_exp(const BootstrapInputs& in, Bounds n_exp, bool fit_vmax, Bounds vmax,
                            std::optional<SharedExpStart> warm_start) {
  require_observations(in);
  return collect<9>(in.samples.n_boot(), [&](std::size_t b) {
    const auto rows = in.samples.sample(b);
    const SharedExpFit fit = fit_shared_exp_inner(rows, in.meth_bin_edges, in.normalize_stw, fit_vmax, in.weights,
                                                  in.st, in.co, n_exp, vmax, in.co_penalty, /*verbose=*/false,
                                                  warm_start, in.observations);
    Rows<9> out;
    for (std::size_t k = 0; k < fit.densities.size(); ++k) {
      const auto& [CoW, CoE, nll] = fit.densities[k];
      out.push_back({sample_column(in, b), as_index(k), fit.St, fit.n_U, fit.n_M, CoW, CoE, nll, fit.Vmax});
    }
    return out;
  });
}

RowMatrix fit_bootstrap_exp_perdensity(const BootstrapInputs& in, bool shared_st, Bounds n_exp,
                                       bool fit_vmax, Bounds vmax) {
  require_observations(in);
  if (!shared_st) {
    const std::size_t nd = in.samples.n_densities();
    return collect<9>(in.samples.pairs(), [&](std::size_t i) {
      const auto row = fit_5param_n(density(in, i), in.samples.row_index(i), in.st.lo, in.st.hi, in.co.lo,
                                    in.co.hi, n_exp.lo, n_exp.hi, in.co_penalty);
      return Rows<9>{{sample_column(in, i / nd), as_index(i % nd), row[0], row[3], row[4], row[1], row[2], row[5],
                      mm_vmax()}};
    });
  }
  return collect<9>(in.samples.n_boot(), [&](std::size_t b) {
    const auto rows = in.samples.sample(b);
    const SharedStPerDensityExpFit fit = fit_shared_st_perdensity_exp_inner(
        rows, in.meth_bin_edges, in.normalize_stw, fit_vmax, in.weights, in.st, in.co, n_exp, vmax, in.co_penalty,
        in.observations);
    Rows<9> out;
    for (std::size_t k = 0; k < fit.densities.size(); ++k) {
      const auto& [CoW, CoE, n_U, n_M, nll] = fit.densities[k];
      out.push_back({sample_column(in, b), as_index(k), fit.St, n_U, n_M, CoW, CoE, nll, fit.Vmax});
    }
    return out;
  });
}

RowMatrix fit_bootstrap_co(const BootstrapInputs& in, Bounds n_exp, std::optional<SharedCoStart> warm_start) {
  require_observations(in);
  return collect<9>(in.samples.n_boot(), [&](std::size_t b) {
    const auto rows = in.samples.sample(b);
    const SharedCoFit fit = fit_shared_co_inner(rows, in.meth_bin_edges, in.normalize_stw, in.weights, in.st, in.co,
                                                n_exp, in.co_penalty, /*verbose=*/false, warm_start,
                                                in.observations);
    const double Vmax = mm_vmax();
    Rows<9> out;
    for (std::size_t k = 0; k < fit.densities.size(); ++k) {
      const auto& [n_U, n_M, nll] = fit.densities[k];
      out.push_back({sample_column(in, b), as_index(k), fit.St, n_U, n_M, fit.CoW, fit.CoE, nll, Vmax});
    }
    return out;
  });
}

}  // namespace velk
