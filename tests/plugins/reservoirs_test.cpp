// SPDX-License-Identifier: BSD-3-Clause
// The two open tanks and the head source, through the engine: rows at worked points, the grouping
// of their coefficients, and what missing parameters leave.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "harness.hpp"

namespace penstock::testing {
namespace {

using Row = std::vector<double>;
using Names = std::vector<std::string>;

// Σ row[i]·x[i]: the linear part of an equation at x (zero when x satisfies an algebraic row).
double linear_part(const Row& row, const Row& x) {
  double sum = 0;
  for (size_t i = 0; i < row.size(); ++i) sum += row[i] * x[i];
  return sum;
}

TEST(Reservoirs, DeclareTheirVariablesAndParametersByName) {
  const Names fluid_a = {"A.density", "A.viscosity_kin", "A.bulk", "A.alpha"};
  const auto with = [](Names base, const Names& own) {
    base.insert(base.end(), own.begin(), own.end());
    return base;
  };
  const struct {
    const char* name;
    Names inputs;
    Names params;
  } cases[] = {
      {"Tank", {"time", "A.p", "z", "V", "Qin", "q", "p"}, with(fluid_a, {"Area", "z_ini", "gravity"})},
      {"Reservoir", {"time", "A.p", "V", "z", "Qin", "q", "p"}, with(fluid_a, {"Area", "gravity"})},
      {"Headwater",
       {"time", "A.p", "B.p", "q", "p"},
       with(fluid_a, {"B.density", "B.viscosity_kin", "B.bulk", "B.alpha", "h", "gravity"})},
  };
  for (const auto& c : cases) {
    if (!plugin_built(c.name)) continue;
    const Harness h(c.name);
    EXPECT_EQ(h.group().inputs, c.inputs) << c.name;
    EXPECT_EQ(h.plugin().parameter_names(), c.params) << c.name;
  }
}

// ---- Tank: inputs time, A.p, z, V, Qin, q, p

TEST(Tank, RowsAtAWorkedPoint) {
  PENSTOCK_REQUIRE_PLUGIN("Tank");
  const Harness h("Tank", {{"A.density", 998.2}, {"gravity", 9.81}, {"Area", 12.5}, {"z_ini", 3}});
  const double rho_g = 998.2 * 9.81;
  EXPECT_EQ(h.linear_row(0), (Row{0, 0, -rho_g, 0, 0, 0, 1}));
  EXPECT_EQ(h.mass(1, Row(7, 0.0)), (Row{0, 0, 12.5, 0, 0, 0, 0}));
  EXPECT_EQ(h.linear_row(1), (Row{0, 0, 0, 0, 0, 1, 0}));
  EXPECT_EQ(h.linear_row(2), (Row{0, 0, -12.5, 1, 0, 0, 0}));
  EXPECT_EQ(h.linear_row(3), (Row{0, 0, 0, 0, 1, -1, 0}));

  // Level 2 m, 25 m³ stored, inflow 2.5 m³/s: the algebraic rows hold and dz/dt = q/Area = 0.2.
  const Row x = {0, 5e4, 2, 25, 2.5, 2.5, rho_g * 2};
  EXPECT_EQ(linear_part(h.linear_row(0), x), 0.0);
  EXPECT_EQ(linear_part(h.linear_row(2), x), 0.0);
  EXPECT_EQ(linear_part(h.linear_row(3), x), 0.0);
  EXPECT_EQ(linear_part(h.linear_row(1), x) / h.mass(1, x)[2], 0.2);
  // Emptying goes on below zero: negative level, volume and pressure satisfy the same rows.
  const Row below = {0, 0, -1, -12.5, -3, -3, -rho_g};
  for (size_t eq : {0, 2, 3}) EXPECT_EQ(linear_part(h.linear_row(eq), below), 0.0) << eq;
}

TEST(Tank, MissingParametersAndTheUnreadStartLevel) {
  PENSTOCK_REQUIRE_PLUGIN("Tank");
  const engine::ParameterTable full = {{"A.density", 998.2}, {"gravity", 9.81}, {"Area", 12.5}};
  engine::ParameterTable with_start = full;
  with_start["z_ini"] = 7;
  const Harness a("Tank", full);
  const Harness b("Tank", with_start);
  for (size_t eq = 0; eq < 4; ++eq) EXPECT_EQ(a.linear_row(eq), b.linear_row(eq)) << eq;
  EXPECT_EQ(a.mass(1, Row(7, 0.0)), b.mass(1, Row(7, 0.0)));

  const Harness no_area("Tank", {{"A.density", 998.2}, {"gravity", 9.81}});
  EXPECT_EQ(no_area.mass(1, Row(7, 0.0))[2], 0.0);                  // reads 0 = q
  EXPECT_EQ(no_area.linear_row(2), (Row{0, 0, -0.0, 1, 0, 0, 0}));  // V = 0
  EXPECT_EQ(Harness("Tank", {{"A.density", 998.2}, {"Area", 1}}).linear_row(0), (Row{0, 0, -0.0, 0, 0, 0, 1}));
  EXPECT_EQ(Harness("Tank", {{"gravity", 9.81}, {"Area", 1}}).linear_row(0), (Row{0, 0, -0.0, 0, 0, 0, 1}));
}

// ---- Reservoir: inputs time, A.p, V, z, Qin, q, p

TEST(Reservoir, RowsAtAWorkedPoint) {
  PENSTOCK_REQUIRE_PLUGIN("Reservoir");
  const Harness h("Reservoir", {{"A.density", 1000}, {"gravity", 9.81}, {"Area", 4}});
  EXPECT_EQ(h.linear_row(0), (Row{0, 0, 0, -9810, 0, 0, 1}));
  EXPECT_EQ(h.mass(1, Row(7, 0.0)), (Row{0, 0, -1, 0, 0, 0, 0}));  // −dV/dt = −q
  EXPECT_EQ(h.linear_row(1), (Row{0, 0, 0, 0, 0, -1, 0}));
  EXPECT_EQ(h.linear_row(2), (Row{0, 0, -0.25, 1, 0, 0, 0}));
  EXPECT_EQ(h.linear_row(3), (Row{0, 0, 0, 0, 1, -1, 0}));

  // 8 m³ in a 4 m² tank stand 2 m high; an inflow of 1.5 m³/s raises the volume at 1.5 m³/s.
  const Row x = {0, 0, 8, 2, 1.5, 1.5, 19620};
  for (size_t eq : {0, 2, 3}) EXPECT_EQ(linear_part(h.linear_row(eq), x), 0.0) << eq;
  EXPECT_EQ(linear_part(h.linear_row(1), x) / h.mass(1, x)[2], 1.5);
}

TEST(Reservoir, LevelCoefficientIsAreaOverAreaSquared) {
  PENSTOCK_REQUIRE_PLUGIN("Reservoir");
  const auto level = [](double area) { return Harness("Reservoir", {{"Area", area}}).linear_row(2)[2]; };
  // 0.1/(0.1·0.1) = 9.999999999999998, not 1/0.1 = 10.
  EXPECT_EQ(level(0.1), -(0.1 / (0.1 * 0.1)));
  EXPECT_NE(level(0.1), -10.0);
  // A missing area: 0/1e-16 = 0, so z = 0 whatever the volume; the volume still integrates q.
  EXPECT_EQ(level(0), 0.0);
  const Harness no_area("Reservoir");
  EXPECT_EQ(no_area.mass(1, Row(7, 0.0))[2], -1.0);
  EXPECT_EQ(no_area.linear_row(1)[5], -1.0);
  // The product underflows to zero before the quotient is taken, and that zero is floored.
  EXPECT_EQ(level(1e-200), -(1e-200 / 1e-16));
  EXPECT_EQ(Harness("Reservoir", {{"A.density", 1000}, {"Area", 4}}).linear_row(0)[3], 0.0);
}

// ---- Headwater: 0 = p − (h·ρ)·g

TEST(Headwater, ImposesTheColumnPressureInItsGrouping) {
  PENSTOCK_REQUIRE_PLUGIN("Headwater");
  const double h0 = 0.1, rho = 998.2, g = 9.80665;
  const Harness h("Headwater", {{"A.density", rho}, {"B.density", 1.5}, {"h", h0}, {"gravity", g}});
  // (h·ρ)·g = 978.899803, h·(ρ·g) = 978.8998030000001.
  EXPECT_EQ(h.residual(0, {0, 0, 0, 0, 0}), -((h0 * rho) * g));
  EXPECT_NE(h.residual(0, {0, 0, 0, 0, 0}), -(h0 * (rho * g)));
  // Any flow passes at the same pressure; port pressures and B's density play no part.
  EXPECT_EQ(h.residual(0, {3, 1e5, -2e5, 17, 1000}), 1000 - (h0 * rho) * g);
  EXPECT_EQ(Harness("Headwater", {{"A.density", rho}, {"B.density", 2000}, {"h", h0}, {"gravity", g}})
                .residual(0, {0, 0, 0, 0, 1000}),
            1000 - (h0 * rho) * g);
  // A negative level gives a negative pressure, unclipped.
  EXPECT_EQ(Harness("Headwater", {{"A.density", 1000}, {"h", -2}, {"gravity", 9.81}}).residual(0, {0, 0, 0, 0, -19620}),
            0.0);

  const Row x = {0, 1, 2, 3, 500};
  EXPECT_EQ(h.jacobian(0, x), (Row{0, 0, 0, 0, 1}));
  const Row fd = h.fd_jacobian(0, x, {});
  for (size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(fd[i], i == 4 ? 1.0 : 0.0, 1e-9) << i;
}

TEST(Headwater, MissingLevelDensityOrGravityGivesZeroPressure) {
  PENSTOCK_REQUIRE_PLUGIN("Headwater");
  for (const engine::ParameterTable& params :
       {engine::ParameterTable{{"A.density", 1000}, {"gravity", 9.81}},
        engine::ParameterTable{{"h", 3}, {"gravity", 9.81}}, engine::ParameterTable{{"A.density", 1000}, {"h", 3}}}) {
    EXPECT_EQ(Harness("Headwater", params).residual(0, {0, 0, 0, 0, 250}), 250.0);
  }
}

}  // namespace
}  // namespace penstock::testing
