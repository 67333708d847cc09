// SPDX-License-Identifier: BSD-3-Clause
// The machines of a hydro unit built into the host: the turbine from its rated point, the turbine
// from its hill chart and the electrical load, driven as the host drives them. Each residual is
// checked against the data-sheet formula worked by hand, each Jacobian against central differences
// at running, standstill, zero-head and reverse-flow states, and each stays finite where a plain
// square root or a plain P/w would not.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <numbers>
#include <string>
#include <vector>

#include "harness.hpp"

namespace penstock::testing {
namespace {

using Names = std::vector<std::string>;
using Values = std::map<std::string, double>;

constexpr double kPi = std::numbers::pi;
constexpr double kRho = 1000, kG = 9.81;

// The input vector of h with the named inputs set, every other 0.
std::vector<double> inputs(const Harness& h, const Values& values) {
  std::vector<double> x(h.n_inputs(), 0.0);
  for (const auto& [name, value] : values) {
    bool found = false;
    for (size_t i = 0; i < x.size(); ++i) {
      if (h.group().inputs[i] == name) {
        x[i] = value;
        found = true;
      }
    }
    if (!found) ADD_FAILURE() << "no input " << name;
  }
  return x;
}

size_t input_index(const Harness& h, const std::string& name) {
  for (size_t i = 0; i < h.n_inputs(); ++i)
    if (h.group().inputs[i] == name) return i;
  ADD_FAILURE() << "no input " << name;
  return 0;
}

// The analytic row of every nonlinear equation against central differences, and finite.
void expect_exact_jacobians(const Harness& h, const std::vector<double>& x, const std::string& state) {
  for (size_t eq = 0; eq < h.group().equations.size(); ++eq) {
    if (is_linear(*h.group().equations[eq].kind())) continue;
    EXPECT_TRUE(std::isfinite(h.residual(eq, x))) << state << ", equation " << eq;
    const std::vector<double> analytic = h.jacobian(eq, x);
    const std::vector<double> numeric = h.fd_jacobian(eq, x, {});
    const std::vector<uint8_t> pattern = h.pattern(eq);
    // The differences carry the rounding of the residual's largest term over the step.
    double terms = std::abs(h.residual(eq, x));
    for (size_t i = 0; i < x.size(); ++i) terms += std::abs(analytic[i] * x[i]);
    for (size_t i = 0; i < x.size(); ++i) {
      ASSERT_TRUE(std::isfinite(analytic[i])) << state << ", equation " << eq << ", input " << h.group().inputs[i];
      const double step = 1e-6 * std::max(1.0, std::abs(x[i]));
      EXPECT_NEAR(analytic[i], numeric[i], 1e-6 * std::max(1.0, std::abs(analytic[i])) + 1e-14 * terms / step)
          << state << ", equation " << eq << ", input " << h.group().inputs[i];
      if (pattern[i] == 0) {
        EXPECT_EQ(analytic[i], 0.0) << state << ": outside the pattern, input " << i;
      }
    }
  }
}

TEST(HydroUnitBuiltins, DeclareTheirVariablesAndParametersByNameWithoutSwitches) {
  const Names fluid2 = {"A.density", "A.viscosity_kin", "A.bulk", "A.alpha",
                        "B.density", "B.viscosity_kin", "B.bulk", "B.alpha"};
  Names rated = fluid2, chart = fluid2;
  rated.insert(rated.end(), {"Hr", "Qr", "wr", "Qnl", "k_run", "Heps", "gravity"});
  chart.insert(chart.end(), {"D", "Heps", "gravity"});
  const struct {
    const char* name;
    Names inputs;
    Names params;
  } cases[] = {
      {"HydroTurbine", {"time", "u", "eta", "A.p", "B.p", "S.w", "q", "p", "t", "w", "H", "P"}, rated},
      {"HillChartTurbine", {"time", "u", "Q11", "T11", "A.p", "B.p", "S.w", "q", "p", "t", "w", "H", "n11"}, chart},
      {"ElectricalLoad", {"time", "P", "S.w", "t", "w"}, {"w_min"}},
  };
  for (const auto& c : cases) {
    if (!plugin_built(c.name)) continue;
    const Harness h(c.name);
    EXPECT_EQ(h.group().inputs, c.inputs) << c.name;
    EXPECT_EQ(h.plugin().parameter_names(), c.params) << c.name;
    // Smooth everywhere: no zero crossings, no modes, nothing for the event locator to find.
    EXPECT_EQ(h.group().n_zc, 0) << c.name;
    EXPECT_EQ(h.group().n_modes, 0) << c.name;
  }
}

// ---- HydroTurbine

const double kWr = 2 * kPi * 500 / 60;  // 500 rpm
const engine::ParameterTable kRated = {{"A.density", kRho}, {"B.density", kRho}, {"Hr", 100},
                                       {"Qr", 10},          {"wr", kWr},         {"Qnl", 1},
                                       {"k_run", 2.0},      {"Heps", 0.01},      {"gravity", kG}};
enum Rated { head_row, flow_row, power_row, torque_row };

// The rounded root r(x) = x/(x² + ε²)^(1/4), written out once more.
double rounded_root(double x, double eps) { return x / std::pow(x * x + eps * eps, 0.25); }

TEST(HydroTurbine, HeadRowIsPressureOverWeight) {
  PENSTOCK_REQUIRE_PLUGIN("HydroTurbine");
  const Harness h("HydroTurbine", kRated);
  const std::vector<double> row = h.linear_row(head_row);
  EXPECT_EQ(row[input_index(h, "H")], 1.0);
  EXPECT_DOUBLE_EQ(row[input_index(h, "p")], -1 / (kRho * kG));
  int nonzero = 0;
  for (double v : row) nonzero += v != 0.0;
  EXPECT_EQ(nonzero, 2);
}

TEST(HydroTurbine, RatedPointFollowsTheDataSheet) {
  PENSTOCK_REQUIRE_PLUGIN("HydroTurbine");
  const Harness h("HydroTurbine", kRated);
  const double eps = 0.01 / 100, r1 = rounded_root(1, eps);
  EXPECT_NEAR(r1, 1, 3e-9);  // the rounding is invisible at the rated head
  // Fully open at the rated head: q = Qr·r(1); at half opening half of it.
  EXPECT_NEAR(h.residual(flow_row, inputs(h, {{"u", 1}, {"H", 100}, {"q", 10}})), 0, 1e-7);
  EXPECT_DOUBLE_EQ(h.residual(flow_row, inputs(h, {{"u", 0.5}, {"H", 100}})), -5 * r1);
  // A quarter of the rated head passes half the flow.
  EXPECT_DOUBLE_EQ(h.residual(flow_row, inputs(h, {{"u", 1}, {"H", 25}})), -10 * rounded_root(0.25, eps));
  // P = η·ρ·g·H·(q − Qnl·r): the no-load flow does no work.
  const double P = 0.9 * kRho * kG * 100 * (10 - 1 * r1);
  EXPECT_DOUBLE_EQ(h.residual(power_row, inputs(h, {{"eta", 0.9}, {"H", 100}, {"q", 10}})), -P);
  EXPECT_DOUBLE_EQ(h.residual(power_row, inputs(h, {{"eta", 0.9}, {"H", 100}, {"q", 10}, {"P", P}})), 0);
}

TEST(HydroTurbine, TorqueFallsLinearlyFromStandstillToRunaway) {
  PENSTOCK_REQUIRE_PLUGIN("HydroTurbine");
  const Harness h("HydroTurbine", kRated);
  const double P = 8e6;
  auto torque = [&](double w) { return -h.residual(torque_row, inputs(h, {{"P", P}, {"w", w}})); };
  EXPECT_DOUBLE_EQ(torque(kWr), P / kWr);           // the shaft power at rated speed
  EXPECT_DOUBLE_EQ(torque(0), 2 * P / kWr);         // finite at standstill: k_run/(k_run − 1) = 2 times
  EXPECT_NEAR(torque(2 * kWr), 0, 1e-9 * P / kWr);  // none at runaway
  EXPECT_LT(torque(2.5 * kWr), 0);                  // and it brakes beyond
  EXPECT_DOUBLE_EQ(torque(0.5 * kWr), 1.5 * P / kWr);

  // With another runaway speed the standstill torque is P/wr·k_run/(k_run − 1).
  engine::ParameterTable params = kRated;
  params["k_run"] = 1.6;
  const Harness fast("HydroTurbine", params);
  EXPECT_DOUBLE_EQ(-fast.residual(torque_row, inputs(fast, {{"P", P}, {"w", 0}})), P / kWr * 1.6 / 0.6);
}

// With Qnl = 0 the torque at rated speed is ρ·g·Q·H·η/w.
TEST(HydroTurbine, WithoutNoLoadFlowTheRatedTorqueIsHydraulicPowerOverSpeed) {
  PENSTOCK_REQUIRE_PLUGIN("HydroTurbine");
  engine::ParameterTable params = kRated;
  params["Qnl"] = 0;
  const Harness h("HydroTurbine", params);
  const double Q = 7.5, H = 80, eta = 0.93;
  const double P = -h.residual(power_row, inputs(h, {{"eta", eta}, {"H", H}, {"q", Q}}));
  EXPECT_DOUBLE_EQ(P, kRho * kG * Q * H * eta);
  EXPECT_DOUBLE_EQ(-h.residual(torque_row, inputs(h, {{"P", P}, {"w", kWr}})), kRho * kG * Q * H * eta / kWr);
}

// At zero head the flow's slope is finite, ε^(−1/2)·Qr·u/Hr; start-up from rest (w = 0) under a
// head with the vanes open gives a positive, finite torque.
TEST(HydroTurbine, ZeroHeadAndStandstillStayFinite) {
  PENSTOCK_REQUIRE_PLUGIN("HydroTurbine");
  const Harness h("HydroTurbine", kRated);
  const auto x0 = inputs(h, {{"u", 0.7}, {"H", 0}});
  EXPECT_EQ(h.residual(flow_row, x0), 0.0);
  EXPECT_DOUBLE_EQ(h.jacobian(flow_row, x0)[input_index(h, "H")], -10 * 0.7 / std::sqrt(0.01 / 100) / 100);

  // Rest: q and P from their rows, then the torque at w = 0.
  const double u = 0.3, H = 100, eta = 0.9;
  const double q = 10 * u * rounded_root(1, 1e-4);
  const double P = eta * kRho * kG * H * (q - 1 * rounded_root(1, 1e-4));
  EXPECT_GT(P, 0);
  const double t = -h.residual(torque_row, inputs(h, {{"P", P}, {"w", 0}}));
  EXPECT_TRUE(std::isfinite(t));
  EXPECT_GT(t, 0);
  // Below the no-load opening Qnl/Qr = 0.1 the water brakes the runner.
  const double q_small = 10 * 0.05 * rounded_root(1, 1e-4);
  EXPECT_LT(-h.residual(power_row, inputs(h, {{"eta", eta}, {"H", H}, {"q", q_small}})), 0);
}

TEST(HydroTurbine, ReverseHeadReversesTheFlowSmoothly) {
  PENSTOCK_REQUIRE_PLUGIN("HydroTurbine");
  const Harness h("HydroTurbine", kRated);
  for (double H : {1e-3, 0.5, 20.0}) {
    const double ahead = h.residual(flow_row, inputs(h, {{"u", 1}, {"H", H}}));
    const double behind = h.residual(flow_row, inputs(h, {{"u", 1}, {"H", -H}}));
    EXPECT_DOUBLE_EQ(ahead, -behind) << "H = " << H;  // odd in H
    EXPECT_LT(ahead, 0);                              // q = Qr·u·r > 0 under a positive head
  }
}

TEST(HydroTurbine, JacobiansAreExactAtRunningStandstillZeroHeadAndReverseFlow) {
  PENSTOCK_REQUIRE_PLUGIN("HydroTurbine");
  const Harness h("HydroTurbine", kRated);
  const struct {
    const char* name;
    Values x;
  } states[] = {
      {"rated", {{"u", 1}, {"eta", 0.92}, {"p", 981e3}, {"H", 100}, {"q", 10}, {"P", 8e6}, {"w", kWr}, {"t", 1.5e5}}},
      {"part load", {{"u", 0.4}, {"eta", 0.85}, {"H", 73}, {"q", 3.4}, {"P", 2e6}, {"w", 0.9 * kWr}}},
      {"standstill", {{"u", 0.2}, {"eta", 0.9}, {"H", 100}, {"q", 2}, {"P", 9e5}, {"w", 0}}},
      {"zero head", {{"u", 0.6}, {"eta", 0.9}, {"H", 0}, {"q", 0}, {"P", 0}, {"w", kWr}}},
      {"near zero head", {{"u", 0.6}, {"eta", 0.9}, {"H", 0.004}, {"q", 0.01}, {"P", 10}, {"w", 3}}},
      {"reverse flow", {{"u", 0.8}, {"eta", 0.9}, {"H", -12}, {"q", -2.7}, {"P", 3e5}, {"w", -4}}},
      {"beyond runaway", {{"u", 0.05}, {"eta", 0.9}, {"H", 100}, {"q", 0.5}, {"P", -4e5}, {"w", 2.4 * kWr}}},
  };
  for (const auto& s : states) expect_exact_jacobians(h, inputs(h, s.x), s.name);
}

// ---- HillChartTurbine

const engine::ParameterTable kChart = {
    {"A.density", kRho}, {"B.density", kRho}, {"D", 1.2}, {"Heps", 0.01}, {"gravity", kG}};
enum Chart { chart_head_row, unit_speed_row, chart_flow_row, chart_torque_row };

TEST(HillChartTurbine, UnitQuantitiesScaleByDiameterAndHead) {
  PENSTOCK_REQUIRE_PLUGIN("HillChartTurbine");
  const Harness h("HillChartTurbine", kChart);
  const double D = 1.2, H = 64, w = kWr, n = w * 60 / (2 * kPi);
  const double root = H / std::pow(H * H + 1e-4, 0.25);
  const double rounding = (0.01 / H) * (0.01 / H) / 4;  // the relative error of the rounded roots
  EXPECT_NEAR(root, 8, 8 * rounding);
  // n11 = n·D/√H
  const double n11 = -h.residual(unit_speed_row, inputs(h, {{"w", w}, {"H", H}}));
  EXPECT_DOUBLE_EQ(n11, n * D / std::pow(H * H + 1e-4, 0.25));
  EXPECT_NEAR(n11, n * D / 8, n * D / 8 * rounding);
  // q = Q11·D²·√H, t = T11·D³·H
  EXPECT_DOUBLE_EQ(-h.residual(chart_flow_row, inputs(h, {{"Q11", 0.9}, {"H", H}})), 0.9 * D * D * root);
  EXPECT_DOUBLE_EQ(-h.residual(chart_torque_row, inputs(h, {{"T11", 1500}, {"H", H}})), 1500 * D * D * D * H);
  // The head row as in the rated turbine.
  const std::vector<double> row = h.linear_row(chart_head_row);
  EXPECT_EQ(row[input_index(h, "H")], 1.0);
  EXPECT_DOUBLE_EQ(row[input_index(h, "p")], -1 / (kRho * kG));
  // u is where the chart is read, not a term of any row.
  for (size_t eq = 1; eq < 4; ++eq) EXPECT_EQ(h.pattern(eq)[input_index(h, "u")], 0) << eq;
}

// The conversion its notes give for a chart of efficiency, T11 = 60·η·ρ·g·Q11/(2π·n11), makes the
// shaft power t·w the hydraulic power η·ρ·g·q·H.
TEST(HillChartTurbine, EfficiencyConvertsToUnitTorqueAsTheNotesSay) {
  PENSTOCK_REQUIRE_PLUGIN("HillChartTurbine");
  const Harness h("HillChartTurbine", kChart);
  const double H = 64, w = kWr, eta = 0.9, Q11 = 0.9;
  const double n11 = -h.residual(unit_speed_row, inputs(h, {{"w", w}, {"H", H}}));
  EXPECT_NEAR(n11, 75, 1e-6);  // 500 rpm · 1.2 m / √64
  const double T11 = 60 * eta * kRho * kG * Q11 / (2 * kPi * n11);
  const double q = -h.residual(chart_flow_row, inputs(h, {{"Q11", Q11}, {"H", H}}));
  const double t = -h.residual(chart_torque_row, inputs(h, {{"T11", T11}, {"H", H}}));
  // Exact but for the rounding of the roots: t·w = η·ρ·g·q·H·√(1 + (Heps/H)²).
  const double rounding = (0.01 / H) * (0.01 / H);
  EXPECT_NEAR(t * w, eta * kRho * kG * q * H, rounding * t * w);
}

TEST(HillChartTurbine, UnitSpeedStaysFiniteAtZeroHead) {
  PENSTOCK_REQUIRE_PLUGIN("HillChartTurbine");
  const Harness h("HillChartTurbine", kChart);
  const double n = kWr * 60 / (2 * kPi);
  EXPECT_DOUBLE_EQ(-h.residual(unit_speed_row, inputs(h, {{"w", kWr}, {"H", 0}})), n * 1.2 / std::sqrt(0.01));
  // Even in H: the same unit speed under a reverse head, and a flow reversed with it.
  EXPECT_DOUBLE_EQ(h.residual(unit_speed_row, inputs(h, {{"w", kWr}, {"H", -9}})),
                   h.residual(unit_speed_row, inputs(h, {{"w", kWr}, {"H", 9}})));
  EXPECT_DOUBLE_EQ(h.residual(chart_flow_row, inputs(h, {{"Q11", 1}, {"H", -9}})),
                   -h.residual(chart_flow_row, inputs(h, {{"Q11", 1}, {"H", 9}})));
}

TEST(HillChartTurbine, JacobiansAreExactAtRunningStandstillZeroHeadAndReverseFlow) {
  PENSTOCK_REQUIRE_PLUGIN("HillChartTurbine");
  const Harness h("HillChartTurbine", kChart);
  const struct {
    const char* name;
    Values x;
  } states[] = {
      {"running", {{"u", 0.8}, {"Q11", 0.9}, {"T11", 1500}, {"H", 64}, {"w", kWr}, {"n11", 75}, {"q", 10}}},
      {"standstill", {{"u", 0.3}, {"Q11", 0.4}, {"T11", 2400}, {"H", 64}, {"w", 0}, {"n11", 0}}},
      {"zero head", {{"u", 0.5}, {"Q11", 0.7}, {"T11", 900}, {"H", 0}, {"w", kWr}, {"n11", 500}}},
      {"near zero head", {{"u", 0.5}, {"Q11", 0.7}, {"T11", 900}, {"H", 0.003}, {"w", 2}, {"n11", 500}}},
      {"reverse flow", {{"u", 0.5}, {"Q11", 0.7}, {"T11", 900}, {"H", -5}, {"w", -3}, {"q", -2}}},
  };
  for (const auto& s : states) expect_exact_jacobians(h, inputs(h, s.x), s.name);
}

// ---- ElectricalLoad

TEST(ElectricalLoad, TakesPowerOverSpeedAtSpeedAndNothingAtRest) {
  PENSTOCK_REQUIRE_PLUGIN("ElectricalLoad");
  const Harness h("ElectricalLoad", {{"w_min", 1}});
  auto torque = [&](double P, double w) { return -h.residual(0, inputs(h, {{"P", P}, {"w", w}})); };
  const double P = 5e6;
  EXPECT_DOUBLE_EQ(torque(P, kWr), P * kWr / (kWr * kWr + 1));
  EXPECT_NEAR(torque(P, kWr), P / kWr, P / kWr / (kWr * kWr));  // within (w_min/w)²
  EXPECT_EQ(torque(P, 0), 0.0);
  EXPECT_DOUBLE_EQ(torque(P, 1), P / 2);  // the largest it takes, at w = w_min
  EXPECT_LT(torque(P, 1.1), P / 2);
  EXPECT_LT(torque(P, 0.9), P / 2);
  EXPECT_DOUBLE_EQ(torque(P, -kWr), -torque(P, kWr));  // turned backwards, it brakes backwards
  EXPECT_DOUBLE_EQ(torque(-P, kWr), -torque(P, kWr));  // a negative power drives the shaft
}

TEST(ElectricalLoad, JacobianIsExactAtSpeedAroundWminAndAtRest) {
  PENSTOCK_REQUIRE_PLUGIN("ElectricalLoad");
  const Harness h("ElectricalLoad", {{"w_min", 1}});
  for (double w : {0.0, 0.3, 1.0, 1.7, kWr, -kWr}) {
    for (double P : {0.0, 3e3, -2e6}) {
      expect_exact_jacobians(h, inputs(h, {{"P", P}, {"w", w}, {"t", 10}}), "w = " + std::to_string(w));
    }
  }
  // At rest the load's slope in speed is P/w_min²: finite, the integrator sees a damper.
  EXPECT_DOUBLE_EQ(h.jacobian(0, inputs(h, {{"P", 4e3}, {"w", 0}}))[input_index(h, "w")], -4e3);
}

}  // namespace
}  // namespace penstock::testing
