// SPDX-License-Identifier: BSD-3-Clause
// Small hydro units from model files: a turbine on a constant head drives a rotating mass and an
// electrical load. Each run is checked against its closed form: the speed where the turbine's
// torque meets the load's, the start-up from rest while the vanes open, the hill-chart turbine's
// flow, torque and uniform acceleration under constant unit quantities.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

#include "../model/model_support.hpp"
#include "toy_dae.hpp"

namespace penstock::testing {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kRho = 1000, kG = 9.81;
const double kWr = 2 * kPi * 500 / 60;  // rated speed, 500 rpm

// The turbine's rounded root r(x) = x/(x² + ε²)^(1/4).
double rounded_root(double x, double eps) { return x / std::pow(x * x + eps * eps, 0.25); }

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at == std::string::npos) ADD_FAILURE() << "no '" << from << "' in the model";
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string number(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

// A HydroTurbine of Hr = 100 m, Qr = 10 m3/s, wr = 500 rpm on a constant head of 100 m, its
// shaft with a rotating mass J and an electrical load drawing P_load.
std::string unit_model(double Qnl, const std::string& u, double J, double w0, const std::string& P_load, double stop,
                       double output) {
  return R"(
fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6 m2/s, bulk: 2.1e9 Pa, alpha: 0}
components:
  head: {type: PressureSource}
  unit: {type: HydroTurbine, parameters: {Hr: 100 m, Qr: 10 m3/s, wr: )" +
         number(kWr) + " rad/s, Qnl: " + number(Qnl) + R"( m3/s, k_run: 2}}
  rotor: {type: Inertia, parameters: {J: )" +
         number(J) + " kg m2, w0: " + number(w0) + R"( rad/s}}
  grid: {type: ElectricalLoad, parameters: {w_min: 1 rad/s}}
connections:
  - [head.B, ref]
  - [head.A, unit.A]
  - [unit.B, ref]
  - {node: shaft, ports: [unit.S, rotor.A, grid.S], start: )" +
         number(w0) + R"( rad/s}
signals:
  head.p_set: 981000 Pa
  unit.u: )" +
         u + R"(
  unit.eta: 0.9
  grid.P: )" +
         P_load +
         R"(
run:
  stop: )" +
         number(stop) + " s\n  output: " + number(output) + R"( s
  tolerances: {relative: 1e-10, speed: 1e-9 rad/s, torque: 1e-6 N m, flow: 1e-10 m3/s}
)";
}

// ---- the steady speed of a constant-power load

// The turbine's torque (P·(2·wr − w) + 2·L·(wr − w))/wr² for k_run = 2, L = η·ρ·g·H·Qnl·r the
// no-load loss at rated speed, meets the load's P_L·w/(w² + w_min²) at w*: for a chosen w* the load
// is P_L = t(w*)·(w*² + 1)/w*. The shaft power peaks near wr, so w* lies above it, where the
// balance is stable.
TEST(HydroUnit, SpeedSettlesWhereTheTurbinesTorqueMeetsTheLoads) {
  PENSTOCK_REQUIRE_COMPONENTS("HydroTurbine", "ElectricalLoad", "Inertia", "PressureSource");
  const double u = 0.8, Qnl = 1, eta = 0.9, H = 100;
  const double r1 = rounded_root(1, 0.01 / 100);
  const double q = 10 * u * r1;
  const double P = eta * kRho * kG * H * (q - Qnl * r1);
  const double L = eta * kRho * kG * H * Qnl * r1;
  auto turbine_torque = [&](double w) { return (P * (2 * kWr - w) + 2 * L * (kWr - w)) / (kWr * kWr); };
  for (const double ratio : {1.25, 1.6}) {
    const double w_star = ratio * kWr;
    const double P_load = turbine_torque(w_star) * (w_star * w_star + 1) / w_star;
    sim::Model model = load_text(unit_model(Qnl, number(u), 5000, kWr, number(P_load) + " W", 150, 5));
    auto& system = *model.system;
    Trace trace(system.size());
    const sim::Outcome outcome = sim::simulate(system, model.run, trace);
    ASSERT_TRUE(outcome.complete) << outcome.error;

    const std::vector<double>& end = trace.y.back();
    EXPECT_NEAR(end[index_of(system, "shaft.w")], w_star, 1e-7 * w_star) << "w* = " << ratio << "·wr";
    const double torque = turbine_torque(w_star);
    EXPECT_NEAR(end[index_of(system, "unit.t")], torque, 1e-6 * torque);
    EXPECT_NEAR(end[index_of(system, "grid.t")], torque, 1e-6 * torque);
    // The hydraulic side is the rated characteristic throughout.
    EXPECT_NEAR(end[index_of(system, "unit.H")], H, 1e-9 * H);
    EXPECT_NEAR(end[index_of(system, "unit.q")], q, 1e-9 * q);
    EXPECT_NEAR(end[index_of(system, "unit.P")], P, 1e-9 * P);
    EXPECT_NEAR(end[index_of(system, "head.q")], q, 1e-9 * q);  // the head feeds the turbine
  }
}

// ---- start-up from rest

// With Qnl = 0 and u = t/T opening over T, the turbine's torque is b·u·(2·wr − w), b =
// η·ρ·g·H·Qr·r(1)/wr², and with no load J·w' = b·(t/T)·(2·wr − w) from w = 0 gives
//   2·wr − w = 2·wr·exp(−b·t²/(2·T·J))              while the vanes open,
//   2·wr − w = (2·wr − w(T))·exp(−b·(t − T)/J)      once they are open:
// the shaft leaves standstill at once and tends to the runaway speed.
TEST(HydroUnit, StartsFromRestAsTheVanesOpenAndRunsUpToRunaway) {
  PENSTOCK_REQUIRE_COMPONENTS("HydroTurbine", "ElectricalLoad", "Inertia", "PressureSource");
  const double T = 5, J = 20000, eta = 0.9, H = 100;
  const double r1 = rounded_root(1, 0.01 / 100);
  const double b = eta * kRho * kG * H * 10 * r1 / (kWr * kWr);
  const double runaway = 2 * kWr;
  auto speed = [&](double t) {
    if (t <= T) return runaway * (1 - std::exp(-b * t * t / (2 * T * J)));
    const double at_T = runaway * (1 - std::exp(-b * T / (2 * J)));
    return runaway - (runaway - at_T) * std::exp(-b * (t - T) / J);
  };
  sim::Model model =
      load_text(unit_model(0, "{ramp: {start: 0 s, duration: 5 s, from: 0, to: 1}}", J, 0, "0 W", 40, 0.25));
  auto& system = *model.system;
  Trace trace(system.size());
  const sim::Outcome outcome = sim::simulate(system, model.run, trace);
  ASSERT_TRUE(outcome.complete) << outcome.error;

  const size_t w = index_of(system, "shaft.w"), t = index_of(system, "unit.t"), load = index_of(system, "grid.t");
  ASSERT_GT(trace.t.size(), 100u);
  EXPECT_EQ(trace.y.front()[w], 0.0);
  double last = -1;
  for (size_t i = 0; i < trace.t.size(); ++i) {
    const double time = trace.t[i];
    const double w_i = trace.y[i][w];
    EXPECT_NEAR(w_i, speed(time), 1e-6 * runaway) << "t = " << time;
    const double u = std::min(time / T, 1.0);
    const double torque = b * u * (runaway - w_i);
    EXPECT_NEAR(trace.y[i][t], torque, 1e-7 * b * runaway) << "t = " << time;
    EXPECT_TRUE(std::isfinite(trace.y[i][t]));
    if (time > 0) {
      EXPECT_GT(trace.y[i][t], 0) << "t = " << time;  // driving from the first instant
    }
    EXPECT_GE(w_i, last) << "t = " << time;
    last = w_i;
    EXPECT_EQ(trace.y[i][load], 0.0);  // a load drawing nothing takes no torque, at rest neither
  }
  // Early on the shaft is nearly at rest and the torque near its standstill value 2·P/wr.
  EXPECT_LT(trace.y[1][w], 2e-3 * runaway);
  EXPECT_NEAR(trace.y[1][t], b * (trace.t[1] / T) * runaway, 2e-3 * b * (trace.t[1] / T) * runaway);
  EXPECT_GT(trace.y.back()[w], 0.9 * runaway);
}

// A load drawing its power from rest takes P·w/w_min² near standstill: a damper far stronger than
// the turbine's standstill torque, which holds the shaft at the low balance
// b·(2·wr − w)·(w² + w_min²) = P_L·w. Switched on once the unit runs (as a generator is
// synchronised first) the same load settles at the stable balance w* above the power's peak.
TEST(HydroUnit, LoadDrawingFromRestHoldsTheShaftAndSwitchedOnAtSpeedSettlesAboveThePeak) {
  PENSTOCK_REQUIRE_COMPONENTS("HydroTurbine", "ElectricalLoad", "Inertia", "PressureSource");
  const double b = 0.9 * kRho * kG * 100 * 10 * rounded_root(1, 1e-4) / (kWr * kWr);
  const double w_star = 1.5 * kWr;
  const double P_load = b * (2 * kWr - w_star) * (w_star * w_star + 1) / w_star;
  // The load is the smaller: the shaft power b·(2·wr − w)·w exceeds it between the two balances.
  ASSERT_LT(P_load, b * kWr * kWr);
  const std::string opening = "{ramp: {start: 0 s, duration: 5 s, from: 0, to: 1}}";

  sim::Model held = load_text(unit_model(0, opening, 20000, 0, number(P_load / 1e6) + " MW", 60, 1));
  Trace trace(held.system->size());
  sim::Outcome outcome = sim::simulate(*held.system, held.run, trace);
  ASSERT_TRUE(outcome.complete) << outcome.error;
  size_t w = index_of(*held.system, "shaft.w"), load = index_of(*held.system, "grid.t");
  EXPECT_EQ(trace.y.front()[load], 0.0);  // nothing taken at rest
  // The low balance by bisection on [0, w_min], where the load's torque exceeds the turbine's.
  double low = 0, high = 1;
  for (int i = 0; i < 200; ++i) {
    const double mid = (low + high) / 2;
    (b * (2 * kWr - mid) * (mid * mid + 1) > P_load * mid ? low : high) = mid;
  }
  EXPECT_NEAR(trace.y.back()[w], low, 1e-6 * low);
  EXPECT_LT(trace.y.back()[w], 0.1);

  sim::Model switched = load_text(
      unit_model(0, opening, 20000, 0, "{step: {at: 40 s, from: 0, to: " + number(P_load / 1e6) + " MW}}", 250, 1));
  Trace later(switched.system->size());
  outcome = sim::simulate(*switched.system, switched.run, later);
  ASSERT_TRUE(outcome.complete) << outcome.error;
  w = index_of(*switched.system, "shaft.w");
  EXPECT_NEAR(later.y.back()[w], w_star, 1e-6 * w_star);
}

// A runaway speed at the rated speed would divide the torque by zero, a rounding of zero the root
// at zero head: the model is refused where the value is written, with the parameter's meaning.
TEST(HydroUnit, RefusesARunawaySpeedAtRatedSpeedAndAnUnroundedRoot) {
  PENSTOCK_REQUIRE_COMPONENTS("HydroTurbine", "ElectricalLoad", "Inertia", "PressureSource");
  const std::string text = unit_model(0, "1", 5000, kWr, "0 W", 1, 1);
  ASSERT_EQ(load_error(text), "");
  const std::string at_rated = load_error(replaced(text, "k_run: 2", "k_run: 1"));
  EXPECT_NE(at_rated.find(":5:"), std::string::npos) << at_rated;
  EXPECT_NE(at_rated.find("parameter 'k_run', the runaway speed over rated speed, must be from 1.01 to 100, not 1"),
            std::string::npos)
      << at_rated;
  const std::string sharp = load_error(replaced(text, "k_run: 2", "k_run: 2, Heps: 0 m"));
  EXPECT_NE(sharp.find("parameter 'Heps', the head below which the square root is rounded, must be positive"),
            std::string::npos)
      << sharp;
  const std::string no_load = load_error(replaced(text, "w_min: 1 rad/s", "w_min: 0 rad/s"));
  EXPECT_NE(no_load.find("parameter 'w_min'"), std::string::npos) << no_load;
}

// ---- the hill-chart turbine

// Constant Q11 and T11 on a constant head H: q = Q11·D²·√H, t = T11·D³·H, so with no load the
// shaft accelerates uniformly, w = t·time/J, and n11 = n·D/√H grows with it.
TEST(HydroUnit, HillChartTurbineReproducesFlowAndTorqueByHand) {
  PENSTOCK_REQUIRE_COMPONENTS("HillChartTurbine", "Inertia", "PressureSource");
  const double D = 1.2, H = 64, Q11 = 0.9, T11 = 1500, J = 4000;
  sim::Model model = load_text(R"(
fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6 m2/s, bulk: 2.1e9 Pa, alpha: 0}
components:
  head: {type: PressureSource}
  unit: {type: HillChartTurbine, parameters: {D: 1.2 m}}
  rotor: {type: Inertia, parameters: {J: 4000 kg m2, w0: 0}}
connections:
  - [head.B, ref]
  - [head.A, unit.A]
  - [unit.B, ref]
  - {node: shaft, ports: [unit.S, rotor.A]}
signals:
  head.p_set: 627840 Pa
  unit.u: 0.7
  unit.Q11: 0.9
  unit.T11: 1500
run:
  stop: 2 s
  output: 0.1 s
  tolerances: {relative: 1e-10, speed: 1e-9 rad/s}
)");
  auto& system = *model.system;
  Trace trace(system.size());
  const sim::Outcome outcome = sim::simulate(system, model.run, trace);
  ASSERT_TRUE(outcome.complete) << outcome.error;

  const double root = H / std::pow(H * H + 0.01 * 0.01, 0.25);  // √64, rounded by Heps = 0.01 m
  const double q = Q11 * D * D * root, torque = T11 * D * D * D * H;
  EXPECT_NEAR(q, Q11 * D * D * 8, 1e-7);
  const size_t iq = index_of(system, "unit.q"), it = index_of(system, "unit.t"), iw = index_of(system, "shaft.w");
  const size_t in11 = index_of(system, "unit.n11"), iH = index_of(system, "unit.H");
  ASSERT_EQ(trace.t.size(), 21u);
  for (size_t i = 0; i < trace.t.size(); ++i) {
    const double time = trace.t[i];
    EXPECT_NEAR(trace.y[i][iH], H, 1e-9 * H);
    EXPECT_NEAR(trace.y[i][iq], q, 1e-9 * q) << "t = " << time;
    EXPECT_NEAR(trace.y[i][it], torque, 1e-9 * torque) << "t = " << time;
    const double w = torque * time / J;
    EXPECT_NEAR(trace.y[i][iw], w, 1e-7 * (1 + w)) << "t = " << time;
    const double n11 = w * 60 / (2 * kPi) * D / std::pow(H * H + 1e-4, 0.25);
    EXPECT_NEAR(trace.y[i][in11], n11, 1e-7 * (1 + n11)) << "t = " << time;
  }
}

}  // namespace
}  // namespace penstock::testing
