// SPDX-License-Identifier: BSD-3-Clause
// Assembly of small networks: unknowns and equations counted by hand, signs of every branch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

#include "model_support.hpp"

namespace penstock::testing {
namespace {

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

// A pressure source, a friction cell and a tank: 11 unknowns and 11 equations, counted by hand.
TEST(Assembly, BranchSignsOfASourceACellAndATank) {
  PENSTOCK_REQUIRE_COMPONENTS("PressureSource", "FrictionCell", "Tank");
  sim::CheckReport report;
  const sim::Model m = load_text(R"(
fluid: {density: 1000}
components:
  src: {type: PressureSource}
  fc: {type: FrictionCell, parameters: {dx: 10, Din: 1, lambda: 0.02}}
  tank: {type: Tank, parameters: {Area: 2, z_ini: 3}}
connections:
  - [src.B, ref]
  - {node: n1, ports: [src.A, fc.A]}
  - {node: n2, ports: [fc.B, tank.A]}
signals:
  src.p_set: 1000
)",
                                 &report);
  sim::DaeSystem& s = *m.system;
  // Unknowns: n1.p, n2.p; src q p; fc q p; tank z V Qin q p. Equations: 1 + 1 (src), 1 + 1 (fc),
  // 4 + 1 (tank), two balances.
  EXPECT_EQ(report.unknowns, 11U);
  EXPECT_EQ(report.equations, 11U);
  EXPECT_EQ(report.differential, 1U);  // the tank's level
  EXPECT_TRUE(s.differential()[index_of(s, "tank.z")]);

  std::vector<double> y(s.size()), yp(s.size()), F(s.size());
  s.initial_values(y.data(), yp.data());
  EXPECT_EQ(y[index_of(s, "tank.z")], 3.0);                                   // from z_ini
  for (size_t i = 0; i < y.size(); ++i) y[i] = 1.0 + static_cast<double>(i);  // all distinct
  for (size_t i = 0; i < y.size(); ++i) yp[i] = 0.5 * static_cast<double>(i);
  s.residual(0.0, y.data(), yp.data(), F.data());
  auto Y = [&](const char* n) { return y[index_of(s, n)]; };
  auto row = [&](const std::string& name) {
    const auto& e = s.equation_names();
    const auto it = std::find(e.begin(), e.end(), name);
    EXPECT_NE(it, e.end()) << name << " among " << ::testing::PrintToString(e);
    return F[static_cast<size_t>(it - e.begin())];
  };
  EXPECT_EQ(row("node n1: balance of q"), Y("src.q") - Y("fc.q"));   // src delivers into n1, fc leaves it
  EXPECT_EQ(row("node n2: balance of q"), Y("fc.q") - Y("tank.q"));  // fc enters n2, the tank takes it
  EXPECT_EQ(row("src: p = A.p - B.p"), Y("src.p") - Y("n1.p"));      // B is the reference
  EXPECT_EQ(row("fc: p = A.p - B.p"), Y("fc.p") - (Y("n1.p") - Y("n2.p")));
  EXPECT_EQ(row("tank: p = A.p"), Y("tank.p") - Y("n2.p"));
  EXPECT_EQ(row("src: equation 0"), -(Y("src.p") - 1000.0));                          // 0 = p - p_set
  EXPECT_EQ(row("tank: equation 1"), 2.0 * yp[index_of(s, "tank.z")] - Y("tank.q"));  // Area·z' = q
}

// dF/dy + cj·dF/dy' against central differences, over a model with every component.
TEST(Assembly, JacobianMatchesFiniteDifferences) {
  PENSTOCK_REQUIRE_COMPONENTS("Pipe", "valve", "GridMachine", "Runner", "Throttle", "Orifice", "LineSegment");
  const sim::Model m = sim::load_model(data_file("everything.yaml"), catalogue());
  sim::DaeSystem& s = *m.system;
  const size_t n = s.size();
  std::vector<double> y(n), yp(n), F1(n), F2(n);
  s.initial_values(y.data(), yp.data());
  for (size_t i = 0; i < n; ++i) {  // away from every switching point and from zero flows
    y[i] += 0.37 + 0.01 * static_cast<double>(i % 7);
    yp[i] = 0.1 * static_cast<double>(i % 5);
  }
  sim::renew_all(s, 0.0, y.data());
  const double cj = 7.0;
  const sim::SparsityPattern& p = s.pattern();
  ASSERT_EQ(p.column_starts.size(), n + 1);
  std::vector<double> values(p.row_indices.size());
  s.jacobian(0.5, y.data(), yp.data(), cj, values.data());
  size_t checked = 0;
  for (size_t c = 0; c < n; ++c) {
    std::vector<double> column(n, 0.0);
    const double h = 1e-6 * std::max(1.0, std::abs(y[c]));
    y[c] += h;
    yp[c] += cj * h;
    s.residual(0.5, y.data(), yp.data(), F1.data());
    y[c] -= 2 * h;
    yp[c] -= 2 * cj * h;
    s.residual(0.5, y.data(), yp.data(), F2.data());
    y[c] += h;
    yp[c] += cj * h;
    for (size_t r = 0; r < n; ++r) column[r] = (F1[r] - F2[r]) / (2 * h);
    for (auto k = p.column_starts[c]; k < p.column_starts[c + 1]; ++k) {
      const size_t r = static_cast<size_t>(p.row_indices[static_cast<size_t>(k)]);
      const double v = values[static_cast<size_t>(k)];
      if (!std::isfinite(v)) continue;
      // Central differences are exact to about 1e-10 here, less the rounding of a large residual.
      const double noise = 8 * 2.2e-16 * std::max(std::abs(F1[r]), std::abs(F2[r])) / h;
      EXPECT_NEAR(v, column[r], 1e-5 * std::max(1.0, std::abs(v)) + noise)
          << s.equation_names()[r] << " / " << s.variable_names()[c];
      column[r] = 0.0;
      ++checked;
    }
    for (size_t r = 0; r < n; ++r) {  // nothing outside the pattern
      EXPECT_NEAR(column[r], 0.0, 8 * 2.2e-16 * std::max(1.0, std::abs(F1[r])) / h)
          << "outside the pattern: " << s.equation_names()[r] << " / " << s.variable_names()[c];
    }
  }
  EXPECT_GT(checked, n);
}

// One count: entry makes a long pipeline; section k's B is section k+1's A.
TEST(Assembly, AChainOfAHundredPipeSections) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  sim::CheckReport report;
  const sim::Model m = load_text(R"(
fluid: {density: 1000}
components:
  lake: {type: Headwater, parameters: {h: 100 m}}
  pipe: {type: Pipe, count: 100, parameters: {dx: 6 m, Din: 1.2 m, lambda: 0.018, a: 1000 m/s}}
  gate: {type: valve, parameters: {Din: 1.2 m}}
connections:
  - [lake.B, gate.B, ref]
  - [lake.A, pipe.A]
  - [pipe.B, gate.A]
signals:
  gate.ksi: 1
start:
  pipe.q_ac: 2 m3/s
  pipe[100].q_cb: 3 m3/s
)",
                                 &report);
  const sim::DaeSystem& s = *m.system;
  EXPECT_EQ(report.components, 102U);
  // Nodes: lake.A, 99 junctions, the gate's inlet, 100 middle nodes C (every D on the reference).
  EXPECT_EQ(report.nodes, 1U + 99 + 1 + 100);
  EXPECT_EQ(report.unknowns, report.nodes + 2 + 600 + 2);
  EXPECT_EQ(report.equations, report.unknowns);
  EXPECT_EQ(report.differential, 300U);
  EXPECT_EQ(report.zero_crossings, 201U);
  std::vector<double> y(s.size()), yp(s.size());
  s.initial_values(y.data(), yp.data());
  EXPECT_EQ(y[index_of(s, "pipe[1].q_ac")], 2.0);
  EXPECT_EQ(y[index_of(s, "pipe[57].q_ac")], 2.0);
  EXPECT_EQ(y[index_of(s, "pipe[100].q_cb")], 3.0);
  index_of(s, "pipe[42].B.p");  // the junction of sections 42 and 43
  // Banded: no equation reaches further than a few sections.
  const sim::SparsityPattern& p = s.pattern();
  int64_t width = 0;
  for (size_t c = 0; c < s.size(); ++c) {
    for (auto k = p.column_starts[c]; k < p.column_starts[c + 1]; ++k) {
      width = std::max(width, std::abs(p.row_indices[static_cast<size_t>(k)] - static_cast<int64_t>(c)));
    }
  }
  EXPECT_LT(width, 20);
}

// The bundled test models of each kind load and check.
TEST(Assembly, ModelsOfEachKindCheck) {
  PENSTOCK_REQUIRE_COMPONENTS("Pipe", "Tank", "GridMachine", "FrictionSplit", "InertiaSplit", "ElasticCell");
  for (const char* file : {"penstock.yaml", "cell_pipeline.yaml", "surge_tank.yaml", "grid_machine.yaml"}) {
    sim::CheckReport report;
    EXPECT_NO_THROW(sim::load_model(data_file(file), catalogue(), &report)) << file;
    EXPECT_TRUE(report.warnings.empty()) << file << ": " << ::testing::PrintToString(report.warnings);
    EXPECT_EQ(report.unknowns, report.equations) << file;
  }
}

// Every one of the thirty-two plug-ins fits its description, and one model uses them all.
TEST(Assembly, EveryComponentInOneModel) {
  const std::vector<std::string> all{
      "Pipe",          "SurgeLine",    "FlowLine",       "LineSegment",    "FrictionCell", "FrictionSegment",
      "FrictionSplit", "FrictionLine", "InertiaCell",    "InertiaSegment", "InertiaLine",  "InertiaSplit",
      "ViscousCell",   "ElasticCell",  "StorageSegment", "StorageLine",    "ElasticPair",  "ElasticSegment",
      "DampedCell",    "valve",        "Regulator",      "Fitting",        "Throttle",     "Orifice",
      "turbine",       "GridMachine",  "Alternator",     "Runner",         "Tank",         "Reservoir",
      "Headwater",     "Manometer"};
  ASSERT_EQ(all.size(), 32U);
  for (const auto& name : all) {
    if (catalogue().find(name) == nullptr) GTEST_SKIP() << name << " is not built with its description";
    EXPECT_NO_THROW(catalogue().plugin(name)) << name;
  }
  sim::CheckReport report;
  const sim::Model m = sim::load_model(data_file("everything.yaml"), catalogue(), &report);
  std::ifstream in(data_file("everything.yaml"));
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (const auto& name : all) {
    EXPECT_TRUE(text.find("type: " + name + "}") != std::string::npos ||
                text.find("type: " + name + ",") != std::string::npos)
        << name;
  }
  EXPECT_TRUE(report.warnings.empty()) << ::testing::PrintToString(report.warnings);
  EXPECT_EQ(report.unknowns, report.equations);
}

}  // namespace
}  // namespace penstock::testing
