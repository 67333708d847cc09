// SPDX-License-Identifier: BSD-3-Clause
// Small plants of real plug-ins from model files, each checked against an answer worked out
// independently: a closed-form steady flow, a fine-step reference integration, the edges of a
// switching window computed from the signal by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "../model/model_support.hpp"
#include "toy_dae.hpp"

namespace penstock::testing {
namespace {

constexpr double kPi = std::numbers::pi;

// The times of the event samples, each switch once (an event gives one row before and, when a
// flag changed, one after).
std::vector<double> event_times(const Trace& trace) {
  std::vector<double> times;
  for (size_t i = 0; i < trace.t.size(); ++i)
    if (trace.is_event[i] && (times.empty() || trace.t[i] != times.back())) times.push_back(trace.t[i]);
  return times;
}

// ---- a friction cell between two pressure sources ------------------------------------------------

// Darcy–Weisbach: Δp = (λ·dx/D)·ρ·v·|v|/2, v = q/A, A = π·D²/4, so q = A·√(2·|Δp|·D/(λ·dx·ρ))
// with the sign of Δp.
struct Drop {
  const char* name;
  double p_up, p_down;  // Pa
};

class FrictionBetweenSources : public ::testing::TestWithParam<Drop> {};
INSTANTIATE_TEST_SUITE_P(Directions, FrictionBetweenSources,
                         ::testing::Values(Drop{"forward", 2.0e5, 0.5e5}, Drop{"backward", 0.5e5, 2.0e5}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_P(FrictionBetweenSources, SteadyFlowFollowsTheQuadraticLaw) {
  PENSTOCK_REQUIRE_COMPONENTS("FrictionCell", "PressureSource");
  const Drop drop = GetParam();
  const double rho = 1000, dx = 200, D = 0.5, lambda = 0.02;
  sim::Model model = load_text(R"(
fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6 m2/s, bulk: 2.1e9 Pa, alpha: 0}
components:
  up: {type: PressureSource}
  cell: {type: FrictionCell, parameters: {dx: 200 m, Din: 0.5 m, lambda: 0.02}}
  down: {type: PressureSource}
connections:
  - [up.B, ref]
  - [up.A, cell.A]
  - [cell.B, down.A]
  - [down.B, ref]
signals:
  up.p_set: )" + std::to_string(drop.p_up) +
                               R"(
  down.p_set: )" + std::to_string(drop.p_down) +
                               R"(
start: {cell.q: )" + (drop.p_up > drop.p_down ? "0.1" : "-0.1") +
                               R"(}
run:
  stop: 1 s
  output: 0.5 s
  start: steady
  tolerances: {relative: 1e-10, pressure: 1e-6 Pa, flow: 1e-12}
)");
  auto& system = *model.system;
  Trace trace(system.size());
  const sim::Outcome outcome = sim::simulate(system, model.run, trace);
  ASSERT_TRUE(outcome.complete) << outcome.error;

  // The flow starts on the side it will take: at rest the loss has no slope and its sign flags
  // are both off, so p = 0 contradicts the sources and Newton has nothing to go on.
  const double dp = drop.p_up - drop.p_down;
  const double area = kPi * D * D / 4;
  const double expected = std::copysign(area * std::sqrt(2 * std::abs(dp) * D / (lambda * dx * rho)), dp);
  const size_t q = index_of(system, "cell.q"), p = index_of(system, "cell.p");
  const size_t q_up = index_of(system, "up.q"), q_down = index_of(system, "down.q");
  for (size_t i = 0; i < trace.t.size(); ++i) {
    EXPECT_NEAR(trace.y[i][q], expected, 1e-9 * std::abs(expected)) << "t = " << trace.t[i];
    EXPECT_NEAR(trace.y[i][p], dp, 1e-9 * std::abs(dp));
    EXPECT_NEAR(trace.y[i][q_up], expected, 1e-9 * std::abs(expected));  // fed by the upper source
    EXPECT_NEAR(trace.y[i][q_down], -expected, 1e-9 * std::abs(expected));
  }
}

// ---- a flow reversal through friction and inertia ------------------------------------------------

// Δp(t) of the upper source against the lower one: 3 bar, falling from t1 to t2 to 1 bar.
double drive(double t) {
  const double t1 = 0.5, t2 = 2.5, from = 1.0e5, to = -1.0e5;
  if (t <= t1) return from;
  if (t >= t2) return to;
  return from + (to - from) * (t - t1) / (t2 - t1);
}

// L·q' = Δp(t) − k·q·|q| by the classical Runge–Kutta scheme with a step that meets the kinks of
// the drive; samples every `every` steps.
struct Reference {
  std::vector<double> t, q;
  double reversal = NAN;  // where q crosses zero, by linear interpolation within the step
};

Reference runge_kutta(double L, double k, double q0, double stop, double h) {
  auto f = [&](double t, double q) { return (drive(t) - k * q * std::abs(q)) / L; };
  Reference r;
  double q = q0;
  const long steps = std::lround(stop / h);
  r.t.push_back(0.0);
  r.q.push_back(q);
  for (long i = 0; i < steps; ++i) {
    const double t = static_cast<double>(i) * h;
    const double k1 = f(t, q), k2 = f(t + h / 2, q + h / 2 * k1), k3 = f(t + h / 2, q + h / 2 * k2),
                 k4 = f(t + h, q + h * k3);
    const double next = q + h / 6 * (k1 + 2 * k2 + 2 * k3 + k4);
    if (std::isnan(r.reversal) && q > 0 && next <= 0) r.reversal = t + h * q / (q - next);
    q = next;
    r.t.push_back(t + h);
    r.q.push_back(q);
  }
  return r;
}

TEST(PluginPlant, FlowReversalThroughFrictionAndInertiaFollowsTheReference) {
  PENSTOCK_REQUIRE_COMPONENTS("FrictionCell", "InertiaCell", "PressureSource");
  sim::Model model = load_text(R"(
fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6 m2/s, bulk: 2.1e9 Pa, alpha: 0}
components:
  up: {type: PressureSource}
  loss: {type: FrictionCell, parameters: {dx: 100 m, Din: 0.5 m, lambda: 0.02}}
  column: {type: InertiaCell, parameters: {dx: 20 m, Din: 0.5 m, q0: 1 m3/s}}
  down: {type: PressureSource}
connections:
  - [up.B, ref]
  - [up.A, loss.A]
  - [loss.B, column.A]
  - [column.B, down.A]
  - [down.B, ref]
signals:
  up.p_set: {ramp: {start: 0.5 s, duration: 2 s, from: 3 bar, to: 1 bar}}
  down.p_set: 2 bar
run:
  stop: 6 s
  output: 0.05 s
  start: steady
  tolerances: {relative: 1e-9, pressure: 1e-3 Pa, flow: 1e-10}
)");
  auto& system = *model.system;
  Trace trace(system.size());
  const sim::Outcome outcome = sim::simulate(system, model.run, trace);
  ASSERT_TRUE(outcome.complete) << outcome.error;

  // The cells' own constants: the friction cell's section with π, the inertance's with 3.14.
  const double rho = 1000, dx = 100, D = 0.5, lambda = 0.02;
  const double a_loss = kPi * D * D / 4, a_column = 3.14 * D * D / 4;
  const double k = lambda * dx / D * rho / 2 / (a_loss * a_loss);  // Δp = k·q·|q|
  const double L = rho * 20 / a_column;                            // 20 m of column
  const double q0 = std::sqrt(drive(0) / k);
  const Reference ref = runge_kutta(L, k, q0, 6.0, 1e-4);
  ASSERT_FALSE(std::isnan(ref.reversal));
  ASSERT_GT(ref.reversal, 2.0);  // after the drive itself has reversed at 1.5 s
  ASSERT_LT(ref.reversal, 5.0);

  const size_t q = index_of(system, "loss.q"), p = index_of(system, "loss.p");
  const size_t q_column = index_of(system, "column.q");
  // The flow against the reference within 1e-6 of its start value, at every sample off the events
  // (their times fall between the reference's steps).
  const double tolerance = 1e-6 * q0;
  size_t compared = 0;
  for (size_t i = 0; i < trace.t.size(); ++i) {
    const double t = trace.t[i];
    const double steps = t / 1e-4;
    if (trace.is_event[i] || std::abs(steps - std::round(steps)) > 1e-6) continue;
    const double expected = ref.q[static_cast<size_t>(std::lround(steps))];
    EXPECT_NEAR(trace.y[i][q], expected, tolerance) << "t = " << t;
    ++compared;
  }
  EXPECT_EQ(compared, 121u);
  // One series flow, and the loss on the side of the flow at every sample: p = k·q·|q|, also
  // right after the reversal, where the flags had to be renewed.
  size_t reversed = 0;
  for (size_t i = 0; i < trace.t.size(); ++i) {
    const double flow = trace.y[i][q];
    EXPECT_NEAR(trace.y[i][q_column], flow, 1e-12);
    EXPECT_NEAR(trace.y[i][p], k * flow * std::abs(flow), 1e-7 * drive(0) + 1e-9 * std::abs(trace.y[i][p]))
        << "t = " << trace.t[i];
    if (flow < -0.1 * q0) ++reversed;
  }
  EXPECT_GT(reversed, 20u);
  // The reversal is an event at the reference's zero crossing.
  const std::vector<double> events = event_times(trace);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NEAR(events[0], ref.reversal, 1e-6);
  EXPECT_EQ(outcome.stats.mode_changes, 1);
}

// ---- the water hammer of a valve that closes for good --------------------------------------------

// 500 m of 1 m pipe in 100 sections of 5 m from 100 m of head to an orifice whose Kv ramps from
// 0.125 through 0 at 0.15 s to a negative value: the valve shuts in 50 ms, well inside the wave's
// round trip 2·L/a = 1 s, so the pressure at the valve jumps by ρ·a·v0 (Joukowsky) and holds until
// the wave reflected at the head source returns.
TEST(PluginPlant, ValveClosingAtTheEndOfAHundredPipeSectionsShowsJoukowsky) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "Orifice");
  sim::Model model = load_text(R"(
fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6 m2/s, bulk: 2.1e9 Pa, alpha: 0}
components:
  - {name: lake, type: Headwater, parameters: {h: 100 m}}
  - name: line
    type: Pipe
    count: 100
    parameters: {dx: 5 m, Din: 1 m, lambda: 0.012, a: 1000 m/s}
  - {name: gate, type: Orifice, parameters: {Din: 0.6 m}}
connections:
  - [lake.B, ref]
  - [lake.A, line.A]
  - [line.B, gate.A]
  - [gate.B, ref]
signals:
  gate.Kv: {ramp: {start: 0.1 s, duration: 0.055 s, from: 0.125, to: -0.0125}}
run:
  stop: 1.2 s
  output: 0.005 s
  start: steady
  tolerances: {relative: 1e-6, pressure: 100 Pa, flow: 1e-4}
)");
  auto& system = *model.system;
  Trace trace(system.size());
  const sim::Outcome outcome = sim::simulate(system, model.run, trace);
  ASSERT_TRUE(outcome.complete) << outcome.error;

  const double rho = 1000, g = 9.81, h = 100, L = 500, D = 1, lambda = 0.012, a = 1000;
  const double area = kPi * D * D / 4, orifice = 3.14 * 0.6 * 0.6 / 4, kv0 = 0.125;
  // Steady: ρ·g·h = λ·(L/D)·ρ·v²/2 + ρ·(q/(A_o·Kv))²/2, q = A·v.
  const double v0 = std::sqrt(rho * g * h / (lambda * L / D * rho / 2 + rho / 2 * std::pow(area / (orifice * kv0), 2)));
  const double p0 = rho * g * h - lambda * L / D * rho * v0 * v0 / 2;
  const size_t q = index_of(system, "gate.q"), p = index_of(system, "gate.p");
  ASSERT_FALSE(trace.t.empty());
  EXPECT_NEAR(trace.y[0][q], area * v0, 1e-4 * area * v0);
  EXPECT_NEAR(trace.y[0][p], p0, 1e-4 * p0);

  const double closed = 0.1 + 0.055 * 0.125 / 0.1375;  // Kv = 0
  // Shut at the event where Kv reaches 0, and shut from then on.
  size_t shut = 0;
  while (shut < trace.t.size() && trace.y[shut][q] != 0.0) ++shut;
  ASSERT_LT(shut, trace.t.size());
  EXPECT_TRUE(trace.is_event[shut]);
  EXPECT_NEAR(trace.t[shut], closed, 1e-9);
  double sum = 0;
  int count = 0;
  for (size_t i = 0; i < trace.t.size(); ++i) {
    const double t = trace.t[i];
    if (i > shut) {
      EXPECT_EQ(trace.y[i][q], 0.0) << "t = " << t;
    }
    if (t >= closed + 0.15 && t <= closed + 2 * L / a - 0.1) {
      sum += trace.y[i][p];
      ++count;
    }
  }
  ASSERT_GT(count, 100);
  const double joukowsky = rho * a * v0;
  EXPECT_NEAR(sum / count - p0, joukowsky, 0.1 * joukowsky);
  RecordProperty("rise_over_joukowsky", std::to_string((sum / count - p0) / joukowsky));
}

// A Regulator shut to σ = 0 keeps ζ = 1/σ² − 1 = 1e16 − 1, not a wall: past the closure its flow is
// the leak of that coefficient, |q| = √(|p|/k), k = ζ·ρ/(2·A²), some 1e-7 m³/s against a steady
// 0.4 m³/s. The flow tolerance has to resolve the leak: with 1e-4 m³/s the iteration settles on
// flows a hundred times the leak, whose pressures the loss law puts at 1e11 Pa, and fails.
TEST(PluginPlant, RegulatorShutToZeroLeaksThroughItsLossCoefficient) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "Regulator");
  sim::Model model = load_text(R"(
fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6 m2/s, bulk: 2.1e9 Pa, alpha: 0}
components:
  - {name: lake, type: Headwater, parameters: {h: 100 m}}
  - {name: line, type: Pipe, count: 20, parameters: {dx: 30 m, Din: 0.5 m, lambda: 0.02, a: 1200 m/s}}
  - {name: gate, type: Regulator, parameters: {Din: 0.5 m}}
connections:
  - [lake.B, ref]
  - [lake.A, line.A]
  - [line.B, gate.A]
  - [gate.B, ref]
signals:
  gate.sigma: {ramp: {start: 0.1 s, duration: 0.2 s, from: 0.05, to: 0}}
run:
  stop: 3 s
  output: 0.01 s
  start: steady
  tolerances: {flow: 1e-9}
)");
  auto& system = *model.system;
  Trace trace(system.size());
  const sim::Outcome outcome = sim::simulate(system, model.run, trace);
  ASSERT_TRUE(outcome.complete) << outcome.error;
  const double rho = 1000, a = 1200, area = 3.14 * 0.5 * 0.5 / 4, k = (1e16 - 1) * rho / (2 * area * area);
  const size_t q = index_of(system, "gate.q"), p = index_of(system, "gate.p");
  const double q0 = trace.y[0][q], p0 = trace.y[0][p];
  double largest = 0, leak = 0, peak = p0;
  for (size_t i = 0; i < trace.t.size(); ++i) {
    if (trace.t[i] < 0.3) continue;
    largest = std::max(largest, std::abs(trace.y[i][p]));
    leak = std::max(leak, std::abs(trace.y[i][q]));
    if (trace.t[i] < 1.0) peak = std::max(peak, trace.y[i][p]);
  }
  EXPECT_LT(leak, 1.1 * std::sqrt(largest / k));
  // Shut in 0.2 s, well inside the round trip 2·L/a = 1 s: the full rise ρ·a·v0 (the pipe's own
  // section with π), to within the line packing of the friction loss.
  const double joukowsky = rho * a * q0 / (kPi * 0.5 * 0.5 / 4);
  EXPECT_NEAR(peak - p0, joukowsky, 0.05 * joukowsky);
}

// ---- a grid machine on a driven shaft ------------------------------------------------------------

// The shaft speed: 95 rad/s, up at 5 rad/s² from 1 s to 105, held, down from 5 s to 95, held, up
// again from 8 s. With n_syn = 100 the window 0 ≤ w − n_syn < n_toler opens at w = n_syn, at
// 2 s; the torque k·(w − n_syn) turns negative as the speed falls through n_syn at 6 s; the
// third crossing, at 9 s, finds the latch tripped.
TEST(PluginPlant, GridMachineConnectsAtTheWindowAndTripsForGood) {
  PENSTOCK_REQUIRE_COMPONENTS("GridMachine", "SpeedSource");
  sim::Model model = load_text(R"(
components:
  drive: {type: SpeedSource}
  machine: {type: GridMachine, parameters: {n_toler: 0.5 rad/s, k: 1000 N m s/rad}}
connections:
  - {node: shaft, ports: [drive.A, machine.G]}
signals:
  drive.w_set: {table: [[0, 95], [1, 95], [3, 105], [5, 105], [7, 95], [8, 95], [10, 105]]}
  machine.n_syn: 100
  machine.syn_enable: 1
run:
  stop: 11 s
  output: 0.05 s
)");
  auto& system = *model.system;
  Trace trace(system.size());
  const sim::Outcome outcome = sim::simulate(system, model.run, trace);
  ASSERT_TRUE(outcome.complete) << outcome.error;

  const double n_syn = 100, k = 1000;
  auto speed = [](double t) {
    if (t <= 1) return 95.0;
    if (t <= 3) return 95 + 5 * (t - 1);
    if (t <= 5) return 105.0;
    if (t <= 7) return 105 - 5 * (t - 5);
    if (t <= 8) return 95.0;
    return std::min(105.0, 95 + 5 * (t - 8));
  };
  const double connect = 1 + (n_syn - 95) / 5, trip = 5 + (105 - n_syn) / 5;
  const size_t w = index_of(system, "shaft.w"), t_m = index_of(system, "machine.t");
  const size_t on = index_of(system, "machine.on_grid"), control = index_of(system, "machine.control");
  const size_t ochrana = index_of(system, "machine.ochrana"), t_drive = index_of(system, "drive.t");

  // The switches happen at events: the first sample connected and the first one tripped.
  auto first = [&](auto&& holds) {
    for (size_t i = 0; i < trace.t.size(); ++i)
      if (holds(trace.y[i])) return i;
    return trace.t.size();
  };
  const size_t connected_at = first([&](const auto& y) { return y[on] == 1.0; });
  const size_t tripped_at = first([&](const auto& y) { return y[control] == 0.0; });
  ASSERT_LT(connected_at, trace.t.size());
  ASSERT_LT(tripped_at, trace.t.size());
  EXPECT_TRUE(trace.is_event[connected_at]);
  EXPECT_TRUE(trace.is_event[tripped_at]);
  EXPECT_NEAR(trace.t[connected_at], connect, 1e-9);
  EXPECT_NEAR(trace.t[tripped_at], trip, 1e-9);
  for (size_t i = 0; i < trace.t.size(); ++i) {
    const double t = trace.t[i];
    const auto& y = trace.y[i];
    SCOPED_TRACE("t = " + std::to_string(t));
    EXPECT_NEAR(y[w], speed(t), 1e-9);
    EXPECT_NEAR(y[t_drive], y[t_m], 1e-9);  // the source holds the speed against the machine
    // At the switching points both sides are sampled.
    if (trace.is_event[i] || std::abs(t - connect) < 1e-6 || std::abs(t - trip) < 1e-6) continue;
    const bool connected = t > connect && t < trip;
    EXPECT_EQ(y[on], connected ? 1.0 : 0.0);
    EXPECT_EQ(y[control], t < trip ? 1.0 : 0.0);
    EXPECT_EQ(y[ochrana], y[control]);
    EXPECT_NEAR(y[t_m], connected ? k * (speed(t) - n_syn) : 0.0, 1e-6);
  }
}

}  // namespace
}  // namespace penstock::testing
