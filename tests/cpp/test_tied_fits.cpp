// The general per-density member and the fits tied across rows by a layout.
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "fits/density_fits.hpp"
#include "fits/shared_fits.hpp"
#include "fits/subset_fit.hpp"
#include "fits/tied_fits.hpp"
#include "row_matrix.hpp"
#include "run_state.hpp"
#include "seeds.hpp"
#include "velk_model.hpp"

namespace {

using velk::Bounds;
using velk::FreeParameter;
using velk::ParameterSet;
using velk::SearchScale;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double F = velk::kFixedEntry;

const std::vector<double> kEdges{0.0, 0.2, 0.4, 0.6, 0.8, 1.0};

std::vector<double> model_row(double St, double CoW, double CoE, double n_U = 2.0, double n_M = 2.0) {
  return velk::bin_probabilities(velk::solve_steady_state(St, 1.0, CoW, CoE, n_U, n_M, kInf), kEdges);
}

// Rows the model does not reproduce exactly, so that fits have a real optimum
// to find and the optimisers' paths are not trivial.
velk::RowMatrix noisy_rows(const std::vector<std::array<double, 3>>& rates) {
  velk::RowMatrix rows(rates.size(), kEdges.size() - 1);
  for (std::size_t r = 0; r < rates.size(); ++r) {
    const std::vector<double> p = model_row(rates[r][0], rates[r][1], rates[r][2]);
    double total = 0.0;
    for (std::size_t b = 0; b < p.size(); ++b) {
      rows(r, b) = p[b] * (1.0 + 0.1 * std::sin(3.0 * static_cast<double>(b + r) + 1.0));
      total += rows(r, b);
    }
    for (std::size_t b = 0; b < p.size(); ++b) rows(r, b) /= total;
  }
  return rows;
}

// Appends values one by one (GCC 12 misreads a range insert of a braced list
// as an overflow).
void append(std::vector<double>& to, std::initializer_list<double> values) {
  for (const double v : values) to.push_back(v);
}

constexpr unsigned bit(std::size_t column) { return 1u << column; }

FreeParameter linear(Bounds b, unsigned columns) { return {b, SearchScale::kLinear, columns}; }
FreeParameter log10(Bounds b, unsigned columns) { return {b, SearchScale::kLog10, columns}; }

// Restores the run-wide switches a test changes.
struct SwitchGuard {
  ~SwitchGuard() {
    velk::set_raw_count(false);
    velk::set_mm_vmax(kInf);
    velk::set_interrupted(false);
  }
};

// ---------------------------------------------------------------------------
// The general member gives the fixed members' bits on their subsets.

class SubsetFitMatchesMembers : public testing::Test {
 protected:
  velk::RowMatrix rows = noisy_rows({{0.4, 2.0, 3.0}});
  std::vector<double> observed{rows.row(0).begin(), rows.row(0).end()};
  velk::DensityData data{observed, kEdges, true};
  Bounds st{0.1, 1.0}, co{0.1, 10.0}, n{1.0, 3.0};
};

TEST_F(SubsetFitMatchesMembers, ThreeParam) {
  const auto row = velk::fit_3param(data, 5, st.lo, st.hi, co.lo, co.hi, 2.0, 2.5, 0.0);
  const FreeParameter free[] = {linear(st, bit(velk::kSt)), log10(co, bit(velk::kCoW)), log10(co, bit(velk::kCoE))};
  const velk::SubsetFit fit = velk::fit_subset(data, 5, {kNaN, kNaN, kNaN, 2.0, 2.5, kInf}, free, false);
  EXPECT_EQ(fit.parameters, (ParameterSet{row[0], row[1], row[2], 2.0, 2.5, kInf}));
  EXPECT_EQ(fit.nll, row[3]);
}

TEST_F(SubsetFitMatchesMembers, FiveParamUnderTheRunWideCeiling) {
  SwitchGuard guard;
  velk::set_mm_vmax(30.0);
  const auto row = velk::fit_5param_n(data, 9, st.lo, st.hi, co.lo, co.hi, n.lo, n.hi, 0.0);
  const FreeParameter free[] = {linear(st, bit(velk::kSt)), log10(co, bit(velk::kCoW)), log10(co, bit(velk::kCoE)),
                                linear(n, bit(velk::kNU)), linear(n, bit(velk::kNM))};
  const velk::SubsetFit fit = velk::fit_subset(data, 9, {kNaN, kNaN, kNaN, kNaN, kNaN, 30.0}, free, false);
  EXPECT_EQ(fit.parameters, (ParameterSet{row[0], row[1], row[2], row[3], row[4], 30.0}));
  EXPECT_EQ(fit.nll, row[5]);
}

TEST_F(SubsetFitMatchesMembers, TwoParamNWithAFiniteCeilingAndRawCounts) {
  SwitchGuard guard;
  for (const bool raw : {false, true}) {
    velk::set_raw_count(raw);
    const auto row = velk::fit_2param_n(data, 2, 0.4, co.lo, co.hi, 1.5, 2.0, 20.0, 0.0);
    const FreeParameter free[] = {log10(co, bit(velk::kCoW)), log10(co, bit(velk::kCoE))};
    const velk::SubsetFit fit = velk::fit_subset(data, 2, {0.4, kNaN, kNaN, 1.5, 2.0, 20.0}, free, raw);
    EXPECT_EQ(fit.parameters, (ParameterSet{0.4, row[0], row[1], 1.5, 2.0, 20.0})) << raw;
    EXPECT_EQ(fit.nll, row[2]) << raw;
  }
}

TEST_F(SubsetFitMatchesMembers, TwoParamExpAndFourParam) {
  const auto exp_row = velk::fit_2param_exp(data, 4, 0.4, 2.0, 3.0, n.lo, n.hi, 50.0);
  const FreeParameter exponents[] = {linear(n, bit(velk::kNU)), linear(n, bit(velk::kNM))};
  const velk::SubsetFit exp_fit = velk::fit_subset(data, 4, {0.4, 2.0, 3.0, kNaN, kNaN, 50.0}, exponents, false);
  EXPECT_EQ(exp_fit.parameters, (ParameterSet{0.4, 2.0, 3.0, exp_row[0], exp_row[1], 50.0}));
  EXPECT_EQ(exp_fit.nll, exp_row[2]);

  const auto row = velk::fit_4param_n(data, 6, 0.4, co.lo, co.hi, n.lo, n.hi, kInf, 0.0);
  const FreeParameter free[] = {log10(co, bit(velk::kCoW)), log10(co, bit(velk::kCoE)), linear(n, bit(velk::kNU)),
                                linear(n, bit(velk::kNM))};
  const velk::SubsetFit fit = velk::fit_subset(data, 6, {0.4, kNaN, kNaN, kNaN, kNaN, kInf}, free, false);
  EXPECT_EQ(fit.parameters, (ParameterSet{0.4, row[0], row[1], row[2], row[3], kInf}));
  EXPECT_EQ(fit.nll, row[4]);
}

TEST_F(SubsetFitMatchesMembers, OneParamEitherRate) {
  const double cow_free = velk::fit_1param(data, 8, /*free_coe=*/false, 0.4, 3.0, co.lo, co.hi, 2.0, 2.0);
  const FreeParameter cow[] = {log10(co, bit(velk::kCoW))};
  EXPECT_EQ(velk::fit_subset(data, 8, {0.4, kNaN, 3.0, 2.0, 2.0, kInf}, cow, false).nll, cow_free);
  const double coe_free = velk::fit_1param(data, 8, /*free_coe=*/true, 0.4, 2.0, co.lo, co.hi, 2.0, 2.0);
  const FreeParameter coe[] = {log10(co, bit(velk::kCoE))};
  EXPECT_EQ(velk::fit_subset(data, 8, {0.4, 2.0, kNaN, 2.0, 2.0, kInf}, coe, false).nll, coe_free);
}

TEST(SubsetFit, OneCoordinateInTwoColumnsTiesThemWithinTheRow) {
  const std::vector<double> observed = model_row(0.4, 2.5, 2.5);
  const velk::DensityData data{observed, kEdges, true};
  const FreeParameter tied[] = {log10({0.1, 10.0}, bit(velk::kCoW) | bit(velk::kCoE))};
  const velk::SubsetFit fit = velk::fit_subset(data, 1, {0.4, kNaN, kNaN, 2.0, 2.0, kInf}, tied, false);
  EXPECT_EQ(fit.parameters[velk::kCoW], fit.parameters[velk::kCoE]);
  EXPECT_NEAR(fit.parameters[velk::kCoW], 2.5, 1e-3);
  EXPECT_EQ(fit.nll, velk::subset_nll(data, fit.parameters, false));
}

TEST(SubsetFit, EvaluationIsThePlainNllAndAnEmptySubsetIsRefused) {
  const std::vector<double> observed = model_row(0.3, 1.0, 2.0);
  const velk::DensityData data{observed, kEdges, false};
  const ParameterSet p{0.7, 1.5, 4.0, 1.5, 2.5, 9.0};
  EXPECT_EQ(velk::subset_nll(data, p, false), velk::nll(observed, kEdges, false, 0.7, 1.5, 4.0, 1.5, 2.5, 9.0));
  EXPECT_THROW(velk::fit_subset(data, 1, p, {}, false), std::runtime_error);
  const FreeParameter inverted[] = {log10({10.0, 0.1}, bit(velk::kCoW))};
  EXPECT_THROW(velk::fit_subset(data, 1, p, inverted, false), std::runtime_error);
  EXPECT_THROW(velk::subset_nll({observed, {}, false}, p, false), std::invalid_argument);
}

// ---------------------------------------------------------------------------
// Parsing layouts.

velk::TiedLayout parse(std::size_t n_rows, const std::vector<double>& layout, const std::vector<double>& fixed,
                       const std::vector<double>& lower, const std::vector<double>& upper) {
  return velk::parse_tied_layout(n_rows, layout, fixed, lower, upper);
}

std::vector<double> fixed_rows(std::size_t n_rows) {
  std::vector<double> fixed;
  for (std::size_t r = 0; r < n_rows; ++r) append(fixed, {0.5, 1.0, 1.0, 2.0, 2.0, kInf});
  return fixed;
}

TEST(TiedLayout, OwnAndSharedEntriesAndTheirComponents) {
  // Rows 0 and 1 share St (entry 0), rows 1 and 2 share CoW (entry 1), row 3
  // shares nothing; entry 2 is CoE = Vmax within row 0, entry 3 row 3's n_U.
  const std::vector<double> layout{
      0, F, 2, F, F, 2,  //
      0, 1, F, F, F, F,  //
      F, 1, F, F, F, F,  //
      F, F, F, 3, F, F,
  };
  const velk::TiedLayout parsed =
      parse(4, layout, fixed_rows(4), {0.1, 0.5, 0.5, 1.0}, {1.0, 5.0, 5.0, 3.0});
  ASSERT_EQ(parsed.components.size(), 2u);
  EXPECT_EQ(parsed.components[0].rows, (std::vector<std::size_t>{0, 1, 2}));
  EXPECT_EQ(parsed.components[0].shared_entries, (std::vector<std::size_t>{0, 1}));
  EXPECT_EQ(parsed.components[1].rows, (std::vector<std::size_t>{3}));
  EXPECT_TRUE(parsed.components[1].shared_entries.empty());
  EXPECT_EQ(parsed.users, (std::vector<std::size_t>{2, 2, 1, 1}));

  const velk::TiedRow& row0 = parsed.rows[0];
  ASSERT_EQ(row0.own.size(), 1u);
  EXPECT_EQ(row0.own[0].columns, bit(velk::kCoE) | bit(velk::kVmax));
  EXPECT_EQ(row0.own[0].scale, SearchScale::kLog10);
  EXPECT_TRUE(std::isnan(row0.given[velk::kSt]));
  EXPECT_EQ(row0.given[velk::kCoW], 1.0);
  EXPECT_EQ(parsed.rows[3].own[0].scale, SearchScale::kLinear);
  EXPECT_EQ(parsed.rows[1].shared, (std::vector<std::pair<std::size_t, std::size_t>>{{0, 0}, {1, 1}}));
  EXPECT_EQ(parsed.kinds[3], velk::EntryKind::kExponent);
}

TEST(TiedLayout, OwnEntriesFollowTheFamilysSearchOrderAndScales) {
  // Theta numbered against the column order: the search still runs St, CoW, CoE.
  const velk::TiedLayout parsed =
      parse(1, {2, 1, 0, F, F, F}, fixed_rows(1), {0.5, 0.5, 0.1}, {5.0, 5.0, 1.0});
  EXPECT_EQ(parsed.rows[0].own_entries, (std::vector<std::size_t>{2, 1, 0}));
  EXPECT_EQ(parsed.rows[0].own[0].scale, SearchScale::kLinear);  // St, as the family searches it
  EXPECT_EQ(parsed.rows[0].own[1].scale, SearchScale::kLog10);
  // An entry in St and another rate column is a rate like the others: log10.
  const velk::TiedLayout mixed = parse(1, {0, 0, F, F, F, F}, fixed_rows(1), {0.1}, {1.0});
  EXPECT_EQ(mixed.rows[0].own[0].scale, SearchScale::kLog10);
}

TEST(TiedLayout, NoRowsAndNoEntriesIsAnEmptyLayout) {
  const velk::TiedLayout parsed = parse(0, {}, {}, {}, {});
  EXPECT_TRUE(parsed.rows.empty());
  EXPECT_TRUE(parsed.components.empty());
  // Fixed-only rows: each its own component, nothing to fit.
  EXPECT_EQ(parse(2, std::vector<double>(12, F), fixed_rows(2), {}, {}).components.size(), 2u);
}

// ---------------------------------------------------------------------------
// Tied fits.

struct Problem {
  velk::RowMatrix rows;
  std::vector<double> layout, fixed, lower, upper;
  velk::TiedLayout parsed() const { return parse(rows.rows(), layout, fixed, lower, upper); }
  velk::TiedFit fit(std::optional<std::span<const double>> weights = std::nullopt,
                    std::optional<velk::TiedStarts> starts = std::nullopt, std::uint64_t seed = 0) const {
    const auto spans = rows.row_spans();
    return velk::fit_tied(spans, kEdges, true, parsed(), weights, starts, seed);
  }
};

// One St over every row, CoW and CoE of each row its own.
Problem shared_st_problem(const velk::RowMatrix& rows, Bounds st, Bounds co) {
  Problem p{rows, {}, {}, {st.lo}, {st.hi}};
  for (std::size_t r = 0; r < rows.rows(); ++r) {
    const double own = 1.0 + 2.0 * static_cast<double>(r);
    append(p.layout, {0, own, own + 1, F, F, F});
    append(p.fixed, {kNaN, kNaN, kNaN, 2.0, 2.0, kInf});
    append(p.lower, {co.lo, co.lo});
    append(p.upper, {co.hi, co.hi});
  }
  return p;
}

TEST(TiedFit, SharedStLayoutIsTheSharedStFitBitForBit) {
  const velk::RowMatrix rows = noisy_rows({{0.3, 2.0, 1.0}, {0.3, 1.0, 2.0}, {0.3, 3.0, 3.0}});
  const Problem problem = shared_st_problem(rows, {0.1, 1.0}, {0.5, 5.0});
  const std::vector<double> weights{1.0, 2.5, 0.5};
  const auto spans = rows.row_spans();
  const velk::SharedStFit reference = velk::fit_shared_st_inner(
      spans, kEdges, true, std::span<const double>(weights), {0.1, 1.0}, {0.5, 5.0}, 2.0, 2.0, 0.0, 42);
  const velk::TiedFit fit = problem.fit(std::span<const double>(weights), std::nullopt, 42);
  EXPECT_EQ(fit.theta[0], reference.St);
  for (std::size_t r = 0; r < 3; ++r) {
    EXPECT_EQ(fit.parameters[r], (ParameterSet{reference.St, reference.densities[r][0], reference.densities[r][1],
                                               2.0, 2.0, kInf}));
    EXPECT_EQ(fit.nlls[r], reference.densities[r][2]);
    EXPECT_EQ(fit.theta[1 + 2 * r], reference.densities[r][0]);
    EXPECT_EQ(fit.theta[2 + 2 * r], reference.densities[r][1]);
  }
}

TEST(TiedFit, SimplexSearchRecoversASharedRateAndRepeats) {
  // CoW shared by two rows that differ in St (fixed) and CoE (their own).
  velk::RowMatrix rows(2, kEdges.size() - 1);
  const auto a = model_row(0.3, 2.0, 1.0);
  const auto b = model_row(0.6, 2.0, 3.0);
  std::copy(a.begin(), a.end(), rows.row(0).begin());
  std::copy(b.begin(), b.end(), rows.row(1).begin());
  const Problem problem{rows,
                        {F, 0, 1, F, F, F, F, 0, 2, F, F, F},
                        {0.3, kNaN, kNaN, 2.0, 2.0, kInf, 0.6, kNaN, kNaN, 2.0, 2.0, kInf},
                        {0.1, 0.1, 0.1},
                        {10.0, 10.0, 10.0}};
  const std::vector<double> weights{1e4, 1e4};
  const velk::TiedFit fit = problem.fit(std::span<const double>(weights));
  EXPECT_NEAR(fit.theta[0], 2.0, 2e-2);
  EXPECT_NEAR(fit.theta[1], 1.0, 2e-2);
  EXPECT_NEAR(fit.theta[2], 3.0, 3e-2);
  EXPECT_EQ(fit.parameters[0][velk::kCoW], fit.parameters[1][velk::kCoW]);
  const velk::TiedFit again = problem.fit(std::span<const double>(weights));
  EXPECT_EQ(fit.theta, again.theta);
  EXPECT_EQ(fit.nlls, again.nlls);

  // A start outside the box is clamped into it; own entries' starts are not read.
  const std::vector<double> start{1e6, kNaN, kNaN};
  const velk::TiedFit started = problem.fit(std::span<const double>(weights), velk::TiedStarts{start, 1});
  EXPECT_LE(started.theta[0], 10.0);
  const std::vector<double> bad_start{-1.0, 1.0, 1.0};
  EXPECT_THROW(problem.fit(std::span<const double>(weights), velk::TiedStarts{bad_start, 1}), std::runtime_error);
  EXPECT_THROW(problem.fit(std::span<const double>(weights), velk::TiedStarts{{}, 0}), std::runtime_error);
}

TEST(TiedFit, ColdStartsAreTheSharedFitsStartsInWideBoxes) {
  // Shared St, n_U, n_M: the shared-exponent fit's five starts.
  const velk::TiedLayout exp_layout =
      parse(2, {0, 3, 4, 1, 2, F, 0, 5, 6, 1, 2, F}, fixed_rows(2), {0.1, 1.0, 1.0, 0.5, 0.5, 0.5, 0.5},
            {1.0, 3.0, 3.0, 5.0, 5.0, 5.0, 5.0});
  const double m_s = (std::log10(0.1) + std::log10(1.0)) / 2.0;
  EXPECT_EQ(velk::tied_cold_starts(exp_layout, exp_layout.components[0]),
            (std::vector<std::vector<double>>{
                {m_s, 2.0, 2.0}, {m_s, 1.25, 1.25}, {m_s, 1.25, 2.75}, {m_s, 2.75, 1.25}, {m_s, 2.75, 2.75}}));
  // Shared St, CoW, CoE: the global-co fit's seven.
  const velk::TiedLayout co_layout = parse(2, {0, 1, 2, 3, 4, F, 0, 1, 2, 5, 6, F}, fixed_rows(2),
                                           {0.01, 0.01, 0.01, 1, 1, 1, 1}, {2.0, 100.0, 100.0, 3, 3, 3, 3});
  const double s = (std::log10(0.01) + std::log10(2.0)) / 2.0;
  const double c = (std::log10(0.01) + std::log10(100.0)) / 2.0;
  const double high = std::log10(100.0) - 0.5;
  EXPECT_EQ(velk::tied_cold_starts(co_layout, co_layout.components[0]),
            (std::vector<std::vector<double>>{{s, c, c},
                                              {s, c - 1.0, c - 1.0},
                                              {s, c + 1.0, c + 1.0},
                                              {s, c + 1.0, c - 1.0},
                                              {s, c - 1.0, c + 1.0},
                                              {s, high, high},
                                              {std::log10(0.01) + 0.5, high, high}}));
  // A narrow box keeps every start inside it, and equal bounds give one start.
  const velk::TiedLayout narrow = parse(2, {F, 0, F, F, F, F, F, 0, F, F, F, F}, fixed_rows(2), {1.0}, {2.0});
  for (const auto& start : velk::tied_cold_starts(narrow, narrow.components[0])) {
    EXPECT_GT(start[0], 0.0);
    EXPECT_LT(start[0], std::log10(2.0));
  }
  const velk::TiedLayout point = parse(2, {F, F, F, 0, F, F, F, F, F, 0, F, F}, fixed_rows(2), {2.0}, {2.0});
  EXPECT_EQ(velk::tied_cold_starts(point, point.components[0]).size(), 1u);
}

TEST(TiedFit, FixedRowsAreEvaluatedAndEmptyLayoutsReturnNothing) {
  const velk::RowMatrix rows = noisy_rows({{0.3, 2.0, 1.0}});
  const Problem fixed{rows, std::vector<double>(6, F), {0.3, 2.0, 1.0, 1.5, 2.5, 40.0}, {}, {}};
  const velk::TiedFit fit = fixed.fit();
  EXPECT_TRUE(fit.theta.empty());
  EXPECT_EQ(fit.parameters[0], (ParameterSet{0.3, 2.0, 1.0, 1.5, 2.5, 40.0}));
  EXPECT_EQ(fit.nlls[0], velk::nll(rows.row(0), kEdges, true, 0.3, 2.0, 1.0, 1.5, 2.5, 40.0));

  const velk::TiedFit none = velk::fit_tied({}, kEdges, true, parse(0, {}, {}, {}, {}), std::nullopt, std::nullopt, 0);
  EXPECT_TRUE(none.theta.empty() && none.parameters.empty() && none.nlls.empty());
}

TEST(TiedFit, RunWideCeilingIsNotReadButRawCountsAre) {
  SwitchGuard guard;
  const velk::RowMatrix rows = noisy_rows({{0.3, 2.0, 1.0}});
  const Problem fixed{rows, std::vector<double>(6, F), {0.3, 2.0, 1.0, 2.0, 2.0, kInf}, {}, {}};
  const double plain = fixed.fit().nlls[0];
  velk::set_mm_vmax(0.5);
  EXPECT_EQ(fixed.fit().nlls[0], plain);
  velk::set_raw_count(true);
  EXPECT_EQ(fixed.fit().nlls[0], velk::nll(rows.row(0), kEdges, true, 0.3, 2.0, 1.0, 2.0, 2.0, kInf));
  EXPECT_NE(fixed.fit().nlls[0], plain);
}

TEST(TiedFit, RowsMustMatchTheLayout) {
  const velk::RowMatrix rows = noisy_rows({{0.3, 2.0, 1.0}, {0.3, 1.0, 2.0}});
  const Problem problem = shared_st_problem(rows, {0.1, 1.0}, {0.5, 5.0});
  const auto spans = rows.row_spans();
  EXPECT_THROW(velk::fit_tied(std::span(spans).first(1), kEdges, true, problem.parsed(), std::nullopt, std::nullopt, 0),
               std::invalid_argument);
  EXPECT_THROW(velk::parse_tied_layout(2, std::vector<double>(6, F), fixed_rows(1), {}, {}), std::invalid_argument);
}

TEST(TiedFit, AnInterruptedFitWindsDownAtOnce) {
  SwitchGuard guard;
  const velk::RowMatrix rows = noisy_rows({{0.3, 2.0, 1.0}, {0.3, 1.0, 2.0}});
  Problem problem = shared_st_problem(rows, {0.1, 1.0}, {0.5, 5.0});
  velk::set_interrupted(true);
  const velk::TiedFit brent = problem.fit();
  EXPECT_EQ(brent.nlls[0], kInf);
  // The simplex path (St and CoW shared): no start begins.
  problem.layout = {0, 1, 2, F, F, F, 0, 1, 3, F, F, F};
  problem.lower = {0.1, 0.5, 0.5, 0.5};
  problem.upper = {1.0, 5.0, 5.0, 5.0};
  const velk::TiedFit simplex = problem.fit();
  EXPECT_EQ(simplex.nlls[1], kInf);
}

}  // namespace
