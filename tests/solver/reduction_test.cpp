// SPDX-License-Identifier: BSD-3-Clause
// The unknowns that across relations and balances fix are taken out of the integration: what is
// left is square, forms a whole state that meets those rows, and its Jacobian is the chain rule's.
#include "reduction.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "../model/model_support.hpp"

namespace penstock::testing {
namespace {

// A head source, a chain of pipe sections with a T-junction to a surge tank and a valve.
const char* kPlant = R"(fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6, bulk: 2.1e9, alpha: 0}
components:
  - {name: lake, type: Headwater, parameters: {h: 100 m}}
  - {name: pipe, type: Pipe, count: 4, parameters: {dx: 30 m, Din: 1.2 m, lambda: 0.018, a: 1000 m/s}}
  - {name: riser, type: FlowLine, parameters: {Length: 20 m, Din: 0.8 m, lambda: 0.02}}
  - {name: tank, type: Tank, parameters: {Area: 10 m2, z_ini: 95 m}}
  - {name: gate, type: valve, parameters: {Din: 1.2 m}}
connections:
  - [lake.B, ref]
  - [lake.A, pipe.A]
  - [pipe.B, gate.A, riser.A]
  - [riser.B, tank.A]
  - [gate.B, ref]
signals:
  gate.ksi: 2
)";

struct Reduced {
  sim::DaeSystem& system;
  sim::detail::Reduction reduction;
  std::vector<double> y, yp, F;
  // F over the kept rows, of the kept unknowns and their derivatives.
  std::vector<double> residual(const std::vector<double>& yr, const std::vector<double>& ypr) {
    reduction.expand(yr.data(), y.data());
    reduction.expand(ypr.data(), yp.data());
    system.residual(0.0, y.data(), yp.data(), F.data());
    std::vector<double> Fr(reduction.size());
    reduction.reduce_rows(F.data(), Fr.data());
    return Fr;
  }
};

TEST(Reduction, KeepsASquareSystemWhoseWholeStateMeetsTheRowsItSolved) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "FlowLine", "Tank", "valve");
  sim::Model model = load_text(kPlant);
  sim::DaeSystem& system = *model.system;
  const sim::detail::Reduction reduction(system, true);
  const size_t n = system.size();
  EXPECT_EQ(reduction.rows().size(), reduction.size());
  EXPECT_LT(reduction.size(), n / 2);  // a pipe section keeps three of its eight

  // A whole state formed from any kept values meets every constant row it solved exactly enough.
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> value(-1e5, 1e5);
  std::vector<double> kept(reduction.size()), whole(n), F(n), yp(n, 0.0);
  for (double& v : kept) v = value(random);
  reduction.expand(kept.data(), whole.data());
  std::vector<double> again(reduction.size());
  reduction.reduce(whole.data(), again.data());
  EXPECT_EQ(again, kept);
  system.residual(0.0, whole.data(), yp.data(), F.data());
  std::vector<bool> is_kept_row(n, false);
  for (const size_t r : reduction.rows()) is_kept_row[r] = true;
  for (const auto& row : system.constant_rows()) {
    if (is_kept_row[row.row]) continue;
    EXPECT_NEAR(F[row.row], 0.0, 1e-9) << system.equation_names()[row.row];
  }
  // The states stay the states: every differential unknown that is kept is still differential.
  for (size_t k = 0; k < reduction.size(); ++k)
    EXPECT_TRUE(reduction.differential()[k] || !system.differential()[reduction.kept()[k]]);
}

TEST(Reduction, JacobianIsTheChainRuleOfTheWholeOne) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "FlowLine", "Tank", "valve");
  sim::Model model = load_text(kPlant);
  sim::DaeSystem& system = *model.system;
  const size_t n = system.size();
  Reduced r{system, sim::detail::Reduction(system, true), std::vector<double>(n), std::vector<double>(n),
            std::vector<double>(n)};
  const size_t m = r.reduction.size();
  // A state off the steady one, with flows in both directions.
  std::vector<double> whole(n), whole_yp(n);
  system.initial_values(whole.data(), whole_yp.data());
  std::vector<double> yr(m), ypr(m);
  r.reduction.reduce(whole.data(), yr.data());
  for (size_t k = 0; k < m; ++k) {
    const std::string& kind = system.variable_kind(r.reduction.kept()[k]);
    yr[k] = kind == "flow" ? (k % 2 == 0 ? 3.0 : -2.0) : 1e5 * static_cast<double>(k % 5 + 1);
    ypr[k] = 0.1 * yr[k];
  }
  const double cj = 250.0;
  r.reduction.expand(yr.data(), whole.data());
  r.reduction.expand(ypr.data(), whole_yp.data());
  renew_all(system, 0.0, whole.data());
  std::vector<double> values(system.pattern().row_indices.size()),
      kept_values(r.reduction.pattern().row_indices.size());
  system.jacobian(0.0, whole.data(), whole_yp.data(), cj, values.data());
  r.reduction.reduce_jacobian(values.data(), kept_values.data());

  // Central differences of the kept F along each kept unknown, with its derivative moved cj times
  // as far, against the column of the kept Jacobian.
  const sim::SparsityPattern& pattern = r.reduction.pattern();
  for (size_t col = 0; col < m; ++col) {
    const double h = 1e-6 * std::max(1.0, std::abs(yr[col]));
    std::vector<double> y_plus = yr, y_minus = yr, yp_plus = ypr, yp_minus = ypr;
    y_plus[col] += h;
    y_minus[col] -= h;
    yp_plus[col] += cj * h;
    yp_minus[col] -= cj * h;
    const std::vector<double> F_plus = r.residual(y_plus, yp_plus), F_minus = r.residual(y_minus, yp_minus);
    std::vector<double> expected(m);
    for (size_t row = 0; row < m; ++row) expected[row] = (F_plus[row] - F_minus[row]) / (2 * h);
    std::vector<double> column(m, 0.0);
    for (auto k = pattern.column_starts[col]; k < pattern.column_starts[col + 1]; ++k)
      column[static_cast<size_t>(pattern.row_indices[static_cast<size_t>(k)])] = kept_values[static_cast<size_t>(k)];
    for (size_t row = 0; row < m; ++row)
      EXPECT_NEAR(column[row], expected[row], 1e-5 * std::max(1.0, std::abs(expected[row])))
          << system.equation_names()[r.reduction.rows()[row]] << " by "
          << system.variable_names()[r.reduction.kept()[col]];
  }
}

TEST(Reduction, DisabledKeepsEverything) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "FlowLine", "Tank", "valve");
  sim::Model model = load_text(kPlant);
  const sim::detail::Reduction reduction(*model.system, false);
  EXPECT_EQ(reduction.size(), model.system->size());
  EXPECT_EQ(reduction.pattern().row_indices, model.system->pattern().row_indices);
}

}  // namespace
}  // namespace penstock::testing
