// Assembly of small networks: unknowns and equations counted by hand, signs of every branch.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "model_support.hpp"

namespace penstock::testing {
namespace {

size_t index_of(const sim::DaeSystem& s, const std::string& name) {
  const auto& v = s.variable_names();
  const auto it = std::find(v.begin(), v.end(), name);
  EXPECT_NE(it, v.end()) << name << " among " << ::testing::PrintToString(v);
  return static_cast<size_t>(it - v.begin());
}

// A pressure source feeding a viscous cell: p_src = 2e5, cell R = mi_eq/(A·dx).
TEST(Assembly, SourceAndViscousCellCountsAndSigns) {
  PENSTOCK_REQUIRE_COMPONENTS("PressureSource", "ViscousCell");
  sim::CheckReport report;
  const sim::Model m = load_text(R"(
components:
  src: {type: PressureSource}
  cell: {type: ViscousCell, parameters: {dx: 4 m, Din: 2 m, mi_eq: 1}}
connections:
  - [src.B, ref]
  - {node: top, ports: [src.A, cell.A]}
signals:
  src.p_set: 2 bar
)",
                                 &report);
  const sim::DaeSystem& s = *m.system;
  // Unknowns: top.p; src.q, src.p; cell.q, cell.p. Equations: src eq, src across, cell eq, cell
  // across, balance at top.
  EXPECT_EQ(report.unknowns, 5U);
  EXPECT_EQ(report.equations, 5U);
  EXPECT_EQ(report.nodes, 1U);
  EXPECT_EQ(report.differential, 0U);
  ASSERT_EQ(s.size(), 5U);

  // The consistent solution: top.p = 2e5, cell.q = top.p·A·dx/mi_eq, src.q = cell.q.
  const double A = 3.141592653589793 * 4 / 4;
  const double q = 2e5 * (A * 4);
  std::vector<double> y(5), yp(5, 0.0), F(5);
  y[index_of(s, "top.p")] = 2e5;
  y[index_of(s, "src.p")] = 2e5;
  y[index_of(s, "src.q")] = q;
  y[index_of(s, "cell.p")] = 2e5;
  y[index_of(s, "cell.q")] = q;
  m.system->residual(0.0, y.data(), yp.data(), F.data());
  for (double f : F) EXPECT_NEAR(f, 0.0, 1e-6);
  // The source's flow delivered into top must be what the cell takes from it.
  y[index_of(s, "src.q")] = 2 * q;
  m.system->residual(0.0, y.data(), yp.data(), F.data());
  const auto& eqs = s.equation_names();
  const size_t balance = static_cast<size_t>(std::find(eqs.begin(), eqs.end(), "node top: balance of q") - eqs.begin());
  ASSERT_LT(balance, eqs.size());
  EXPECT_DOUBLE_EQ(F[balance], q);  // entering 2q - leaving q
}

}  // namespace
}  // namespace penstock::testing
