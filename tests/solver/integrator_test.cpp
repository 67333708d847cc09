// SPDX-License-Identifier: BSD-3-Clause
// The integrator on small systems whose answers are known in closed form or by an independent
// fine-step integration.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include "toy_dae.hpp"

namespace penstock::testing {
namespace {

using sim::RunSettings;

RunSettings settings(double stop, double interval, RunSettings::Linear linear) {
  RunSettings run;
  run.stop_time = stop;
  run.output_interval = interval;
  run.linear_solver = linear;
  run.relative_tolerance = 1e-8;
  run.absolute_tolerance = 1e-10;
  return run;
}

class Linear : public ::testing::TestWithParam<RunSettings::Linear> {};
INSTANTIATE_TEST_SUITE_P(Solvers, Linear, ::testing::Values(RunSettings::Linear::dense, RunSettings::Linear::klu),
                         [](const auto& param_info) {
                           return param_info.param == RunSettings::Linear::dense ? "dense" : "klu";
                         });

// L·q' = p, p = P0: q = P0·t / L.
TEST_P(Linear, InertanceUnderConstantPressureAccelerates) {
  const double L = 2e4, P0 = 5e4;
  ToyDae dae({"L.q", "src.p"}, {true, false}, {0.0, 0.0}, [&](double, const double* y, const double* yp, double* F) {
    F[0] = L * yp[0] - y[1];
    F[1] = y[1] - P0;
  });
  Trace trace(2);
  const auto outcome = sim::simulate(dae, settings(2.0, 0.1, GetParam()), trace);
  ASSERT_TRUE(outcome.complete) << outcome.error;
  EXPECT_EQ(outcome.linear_solver, GetParam() == RunSettings::Linear::dense ? "dense" : "klu");
  ASSERT_EQ(trace.t.size(), 21u);
  for (size_t k = 0; k < trace.t.size(); ++k) {
    EXPECT_NEAR(trace.t[k], 0.1 * static_cast<double>(k), 1e-12);
    EXPECT_NEAR(trace.y[k][0], P0 * trace.t[k] / L, 1e-7) << "t = " << trace.t[k];
    EXPECT_NEAR(trace.y[k][1], P0, 1e-6);
  }
  EXPECT_GT(outcome.stats.steps, 0);
  EXPECT_GT(outcome.stats.jacobian_evaluations, 0);
}

// C·p' = q, q = Q0: p = p0 + Q0·t / C.
TEST_P(Linear, ComplianceChargedByConstantFlowRises) {
  const double C = 1e-6, Q0 = 0.02, p0 = 1e5;
  ToyDae dae({"C.p", "src.q"}, {true, false}, {p0, 0.0}, [&](double, const double* y, const double* yp, double* F) {
    F[0] = C * yp[0] - y[1];
    F[1] = y[1] - Q0;
  });
  dae.atol_ = {1e-3, 1e-10};
  Trace trace(2);
  const auto outcome = sim::simulate(dae, settings(1.0, 0.25, GetParam()), trace);
  ASSERT_TRUE(outcome.complete) << outcome.error;
  for (size_t k = 0; k < trace.t.size(); ++k) EXPECT_NEAR(trace.y[k][0], p0 + Q0 * trace.t[k] / C, 1e-2);
  EXPECT_DOUBLE_EQ(trace.t.back(), 1.0);
}

// L·q' = -p, C·p' = q: p = cos(t/√(LC)); the roots of p are a half period apart.
TEST_P(Linear, InertanceCompliancePairOscillatesWithItsPeriod) {
  const double L = 4e5, C = 2.5e-7;  // √(LC) = 0.316...
  ToyDae dae({"L.q", "C.p"}, {true, true}, {0.0, 1.0}, [&](double, const double* y, const double* yp, double* F) {
    F[0] = L * yp[0] + y[1];
    F[1] = C * yp[1] - y[0];
  });
  dae.root_count = 1;
  dae.root_signals = [](double, const double* y, const double*, double* g) { g[0] = y[1]; };
  Trace trace(2);
  const auto outcome = sim::simulate(dae, settings(10.0, 0.5, GetParam()), trace);
  ASSERT_TRUE(outcome.complete) << outcome.error;
  std::vector<double> roots;
  for (size_t k = 0; k < trace.t.size(); ++k)
    if (trace.is_event[k]) roots.push_back(trace.t[k]);
  const double period = 2 * std::numbers::pi * std::sqrt(L * C);
  ASSERT_GE(roots.size(), 10u);
  EXPECT_EQ(outcome.stats.events, static_cast<long>(roots.size()));
  EXPECT_EQ(outcome.stats.mode_changes, 0);
  const double measured = 2 * (roots.back() - roots.front()) / static_cast<double>(roots.size() - 1);
  EXPECT_NEAR(measured / period, 1.0, 1e-3);
  EXPECT_NEAR(roots.front(), period / 4, 1e-3 * period);
}

// Two inertances in series meet at a node where both flows are differential (index 2):
// L1·q1' = P0 - pn - R·q1, L2·q2' = pn, q1 = q2.
// q = (P0/R)·(1 - exp(-R·t/(L1+L2))), pn = L2·q'.
struct SeriesInertances {
  double L1 = 3e4, L2 = 1e4, R = 2e5, P0 = 4e5;
  ToyDae dae{{"L1.q", "L2.q", "n.p"},
             {true, true, false},
             {0.0, 0.0, 0.0},
             [this](double, const double* y, const double* yp, double* F) {
               F[0] = L1 * yp[0] - (P0 - y[2] - R * y[0]);
               F[1] = L2 * yp[1] - y[2];
               F[2] = y[0] - y[1];
             }};
  double q(double t) const { return P0 / R * (1 - std::exp(-R * t / (L1 + L2))); }
  double pn(double t) const { return L2 * P0 / (L1 + L2) * std::exp(-R * t / (L1 + L2)); }
};

TEST_P(Linear, SeriesInertancesFromRest) {
  SeriesInertances s;
  Trace trace(3);
  const auto outcome = sim::simulate(s.dae, settings(1.0, 0.05, GetParam()), trace);
  ASSERT_TRUE(outcome.complete) << outcome.error;
  for (size_t k = 1; k < trace.t.size(); ++k) {
    const double t = trace.t[k];
    EXPECT_NEAR(trace.y[k][0], s.q(t), 1e-5 * s.P0 / s.R) << "t = " << t;
    EXPECT_NEAR(trace.y[k][1], s.q(t), 1e-5 * s.P0 / s.R) << "t = " << t;
    EXPECT_NEAR(trace.y[k][2], s.pn(t), 1e-4 * s.P0) << "t = " << t;
  }
}

TEST_P(Linear, SeriesInertancesStartSteadyAndStay) {
  SeriesInertances s;
  Trace trace(3);
  auto run = settings(1.0, 0.1, GetParam());
  run.start = RunSettings::Start::steady;
  const auto outcome = sim::simulate(s.dae, run, trace);
  ASSERT_TRUE(outcome.complete) << outcome.error;
  for (const auto& y : trace.y) {
    EXPECT_NEAR(y[0], s.P0 / s.R, 1e-9);
    EXPECT_NEAR(y[1], s.P0 / s.R, 1e-9);
    EXPECT_NEAR(y[2], 0.0, 1e-6);
  }
}

// Started with different flows in the two inertances, no consistent state keeps both flows: the
// start is projected onto q1 = q2 as an impulse at the node would do it, keeping the momentum
// L1·q1 + L2·q2, and goes on from q0 = (L1·1 + L2·0)/(L1 + L2).
TEST_P(Linear, SeriesInertancesWithInconsistentFlowsAreProjected) {
  SeriesInertances s;
  s.dae = ToyDae({"L1.q", "L2.q", "n.p"}, {true, true, false}, {1.0, 0.0, 0.0}, s.dae.residual_function());
  Trace trace(3);
  const auto outcome = sim::simulate(s.dae, settings(1.0, 0.05, GetParam()), trace);
  ASSERT_TRUE(outcome.complete) << outcome.error;
  // In plain words what was done, when, and that the result stands; the solver's words apart.
  ASSERT_EQ(trace.notes.size(), 1u);
  const std::string& note = trace.notes[0];
  EXPECT_NE(note.find("at t = 0 s"), std::string::npos) << note;
  EXPECT_NE(note.find("at the start"), std::string::npos) << note;
  EXPECT_NE(note.find("two tiny implicit steps"), std::string::npos) << note;
  EXPECT_NE(note.find("can be trusted"), std::string::npos) << note;
  EXPECT_NE(note.find("inertia"), std::string::npos) << note;
  EXPECT_EQ(note.find("IDACalcIC"), std::string::npos) << note;
  EXPECT_NE(trace.details[0].find("projected"), std::string::npos) << trace.details[0];
  const double q0 = s.L1 / (s.L1 + s.L2), q_end = s.P0 / s.R;
  for (size_t k = 0; k < trace.t.size(); ++k) {
    const double t = trace.t[k];
    const double q = q_end + (q0 - q_end) * std::exp(-s.R * t / (s.L1 + s.L2));
    EXPECT_NEAR(trace.y[k][0], q, 1e-5) << "t = " << t;
    EXPECT_NEAR(trace.y[k][1], q, 1e-5) << "t = " << t;
  }
}

// A valve closing completely at the end of an inertance: L·q' = P0 - pv, R·q = s(t)·pv with the
// opening s going from 1 to 0 in [0.1, 0.2]. Once closed the differential flow is held at zero
// (index 2) and pv = P0. During the closure: compared with a fine-step RK4 of
// L·q' = P0 - R·q/s(t).
TEST_P(Linear, ValveClosingCompletelyOnAnInertance) {
  const double L = 1e5, R = 1e6, P0 = 1e6;
  auto opening = [](double t) { return std::clamp(1.0 - (t - 0.1) / 0.1, 0.0, 1.0); };
  ToyDae dae({"pipe.q", "valve.p"}, {true, false}, {0.0, 0.0},
             [&](double t, const double* y, const double* yp, double* F) {
               F[0] = L * yp[0] - (P0 - y[1]);
               F[1] = R * y[0] - opening(t) * y[1];
             });
  dae.atol_ = {1e-8, 1e-2};
  Trace trace(2);
  auto run = settings(0.4, 0.01, GetParam());
  run.start = RunSettings::Start::steady;
  const auto outcome = sim::simulate(dae, run, trace);
  ASSERT_TRUE(outcome.complete) << outcome.error;
  EXPECT_NEAR(trace.y.front()[0], P0 / R, 1e-9);

  auto f = [&](double t, double q) { return (P0 - R * q / opening(t)) / L; };
  double t = 0.1, q = P0 / R;
  const double h = 1e-6;
  double peak = P0;
  for (size_t k = 0; k < trace.t.size(); ++k) {
    if (trace.t[k] <= 0.1 || trace.t[k] > 0.16) continue;
    while (t < trace.t[k] - h / 2) {
      const double k1 = f(t, q), k2 = f(t + h / 2, q + h / 2 * k1), k3 = f(t + h / 2, q + h / 2 * k2),
                   k4 = f(t + h, q + h * k3);
      q += h / 6 * (k1 + 2 * k2 + 2 * k3 + k4);
      t += h;
    }
    EXPECT_NEAR(trace.y[k][0], q, 1e-5) << "t = " << trace.t[k];
  }
  for (const auto& y : trace.y) peak = std::max(peak, y[1]);
  EXPECT_GT(peak, 1.5 * P0);  // the pressure rise of the closure
  EXPECT_NEAR(trace.y.back()[0], 0.0, 1e-9);
  EXPECT_NEAR(trace.y.back()[1], P0, 1e-3 * P0);
}

// Flow through a friction cell between a fixed pressure and a rising one reverses:
// L·q' = P1 - P2(t) - loss, loss = R·s·q² with s = m[1] - m[0] from the flags, zero crossing -q.
// Reference: RK4 of L·q' = P1 - P2(t) - R·q·|q|.
// With loss_by_flags false, the loss is R·q·|q| whatever the flags, which only tell the direction.
struct Reversal {
  static constexpr double L = 1e4, R = 1e5, P1 = 1e5;
  static double P2(double t) { return P1 * t; }
  int m[2] = {0, 0};
  bool loss_by_flags = true;
  ToyDae dae{{"cell.q", "cell.loss"},
             {true, false},
             {1.0, 0.0},
             [this](double t, const double* y, const double* yp, double* F) {
               F[0] = L * yp[0] - (P1 - P2(t) - y[1]);
               F[1] = y[1] - R * (loss_by_flags ? (m[1] - m[0]) * y[0] : std::abs(y[0])) * y[0];
             }};
  Reversal() {
    dae.root_count = 1;
    dae.root_signals = [](double, const double* y, const double*, double* g) { g[0] = -y[0]; };
    dae.renew_modes = [this](double, const double* y, const double*) {
      const int now[2] = {y[0]<0, y[0]> 0};
      std::vector<std::string> changed;
      if (now[0] != m[0] || now[1] != m[1]) changed.push_back("cell");
      m[0] = now[0], m[1] = now[1];
      return changed;
    };
    dae.flags = [this] { return std::vector<int32_t>{m[0], m[1]}; };
    dae.set_flags = [this](const std::vector<int32_t>& flags) { m[0] = flags[0], m[1] = flags[1]; };
  }
  // The reference's zero crossing and its flow at 3 s.
  static std::pair<double, double> reference() {
    auto f = [](double t, double q) { return (P1 - P2(t) - R * q * std::abs(q)) / L; };
    double t = 0.0, q = 1.0, t_zero = -1.0;
    const double h = 1e-5;
    while (t < 3.0 - h / 2) {
      const double k1 = f(t, q), k2 = f(t + h / 2, q + h / 2 * k1), k3 = f(t + h / 2, q + h / 2 * k2),
                   k4 = f(t + h, q + h * k3);
      const double next = q + h / 6 * (k1 + 2 * k2 + 2 * k3 + k4);
      if (q > 0 && next <= 0) t_zero = t + h * q / (q - next);
      q = next;
      t += h;
    }
    return {t_zero, q};
  }
};

// Located (as the solver once took every switch): the event row lies at the time the flow crosses
// zero, and the observer is told of it there. The loss is continuous at the crossing, but past it
// the loss under the old flags parts from the new one by 2·R·q², more than this tolerance allows by
// the end of the step: the solver restarts at the crossing rather than keep the rest of the step,
// where the loss would show the old sign.
TEST_P(Linear, FlowReversalSwitchesTheLossAtAnEvent) {
  Reversal cell;
  Trace trace(2);
  auto run = settings(3.0, 0.01, GetParam());
  run.locate_smooth_switches = true;
  run.tell_smooth_switches = true;
  const auto outcome = sim::simulate(cell.dae, run, trace);
  ASSERT_TRUE(outcome.complete) << outcome.error;
  EXPECT_EQ(outcome.stats.mode_changes, 1);
  EXPECT_EQ(outcome.stats.smooth_switches, 0);
  EXPECT_EQ(outcome.stats.restarts, 1);
  size_t first_event = 0;
  while (first_event < trace.t.size() && !trace.is_event[first_event]) ++first_event;
  ASSERT_LT(first_event, trace.t.size());
  const double t_event = trace.t[first_event];
  EXPECT_NEAR(trace.y[first_event][0], 0.0, 1e-7);
  // The observer is told of it: the part, its flags before and after, and why the solver restarted.
  ASSERT_EQ(trace.told.size(), 1u);
  EXPECT_EQ(trace.told[0].t, t_event);
  EXPECT_EQ(trace.told[0].component, "cell");
  EXPECT_EQ(trace.told[0].what,
            "mode flag 0 from 0 to 1, mode flag 1 from 1 to 0; its equations are the same either side there but part "
            "over the rest of the solver's step, and the solver restarted there from a consistent state");
  // Before the crossing the loss has the flow's old sign, after it the new one, at every row.
  for (size_t k = 0; k < trace.t.size(); ++k) {
    if (trace.t[k] < t_event) {
      EXPECT_GE(trace.y[k][1], 0.0);
    } else if (trace.t[k] > t_event) {
      EXPECT_LE(trace.y[k][1], 0.0) << "t = " << trace.t[k];
    }
  }
  const auto [t_zero, q] = Reversal::reference();
  EXPECT_NEAR(t_event, t_zero, 1e-5);
  EXPECT_NEAR(trace.y.back()[0], q, 1e-5 * std::abs(q));
}

// The solver's way: a switch that leaves the equations as they were at the step's end (flags that
// only tell the direction) is taken there, unlocated, without an event row; it is counted, and
// told only when asked, at the step's end. The results agree with the reference.
TEST_P(Linear, FlowReversalLeavingTheEquationsIsTakenAtTheStepsEnd) {
  const auto [t_zero, q] = Reversal::reference();
  for (const bool tell : {false, true}) {
    SCOPED_TRACE(tell ? "told" : "counted");
    Reversal cell;
    cell.loss_by_flags = false;
    Trace trace(2);
    auto run = settings(3.0, 0.01, GetParam());
    run.tell_smooth_switches = tell;
    const auto outcome = sim::simulate(cell.dae, run, trace);
    ASSERT_TRUE(outcome.complete) << outcome.error;
    EXPECT_EQ(outcome.stats.events, 0);  // nothing located
    EXPECT_EQ(outcome.stats.smooth_switches, 1);
    EXPECT_EQ(outcome.stats.mode_changes, 1);
    EXPECT_EQ(outcome.stats.restarts, 0);
    EXPECT_EQ(std::count(trace.is_event.begin(), trace.is_event.end(), true), 0);
    EXPECT_EQ(cell.m[0], 1);
    EXPECT_NEAR(trace.y.back()[0], q, 1e-5 * std::abs(q));
    // Past the step of the reversal, the loss has the flow's sign.
    for (size_t k = 0; k < trace.t.size(); ++k) {
      if (std::abs(trace.y[k][1]) > 1.0) {
        EXPECT_EQ(trace.y[k][1] > 0, trace.y[k][0] > 0) << "t = " << trace.t[k];
      }
    }
    if (!tell) {
      EXPECT_TRUE(trace.told.empty());
      continue;
    }
    ASSERT_EQ(trace.told.size(), 1u);
    EXPECT_EQ(trace.told[0].component, "cell");
    EXPECT_GT(trace.told[0].t, t_zero);
    EXPECT_LT(trace.told[0].t, t_zero + 0.1);
    const std::string head =
        "mode flag 0 from 0 to 1, mode flag 1 from 1 to 0; its equations are the same either side; the solver "
        "renewed the flags at the end of its step from ";
    EXPECT_EQ(trace.told[0].what.rfind(head, 0), 0u) << trace.told[0].what;
    const double from = std::stod(trace.told[0].what.substr(head.size()));
    EXPECT_LT(from, t_zero);
    EXPECT_NE(trace.told[0].what.find(" s, in which its signal crossed zero, and went on"), std::string::npos);
  }
}

// A loss whose sign the flags set differs at the step's end, past the reversal, by 2·R·q² under
// the two flags: more than a tenth of the tolerance this tight, so the switch is located (its time
// the reference's), and the solver restarts there, which it tells.
TEST_P(Linear, FlowReversalChangingTheEquationsAtTheStepsEndIsLocated) {
  Reversal cell;
  Trace trace(2);
  const auto outcome = sim::simulate(cell.dae, settings(3.0, 0.01, GetParam()), trace);
  ASSERT_TRUE(outcome.complete) << outcome.error;
  EXPECT_EQ(outcome.stats.events, 1);
  EXPECT_EQ(outcome.stats.smooth_switches, 0);
  EXPECT_EQ(outcome.stats.restarts, 1);
  ASSERT_EQ(trace.told.size(), 1u);
  EXPECT_NE(trace.told[0].what.find("part over the rest of the solver's step"), std::string::npos);
  const auto event = std::find(trace.is_event.begin(), trace.is_event.end(), true);
  ASSERT_NE(event, trace.is_event.end());
  EXPECT_NEAR(trace.t[static_cast<size_t>(event - trace.is_event.begin())], Reversal::reference().first, 1e-5);
  EXPECT_EQ(cell.m[0], 1);
}

// A state that grows linearly is integrated in a few long steps; a window of half-width 0.2 around
// x = 1 (the signal 0.2 - |x - 1|) is entered and left within one of them. Both crossings are
// events, at 0.8 and 1.2, and the flag reads "inside" from the first to the second.
TEST(Integrator, WindowPassedWithinOneStepIsEnteredAndLeft) {
  int inside = 0;
  ToyDae dae({"x", "on"}, {true, false}, {0.0, 0.0}, [&](double, const double* y, const double* yp, double* F) {
    F[0] = yp[0] - 1;
    F[1] = y[1] - inside;
  });
  dae.root_count = 1;
  dae.root_signals = [](double, const double* y, const double*, double* g) { g[0] = 0.2 - std::abs(y[0] - 1); };
  dae.renew_modes = [&](double, const double* y, const double*) {
    const int now = 0.2 - std::abs(y[0] - 1) > 0;
    std::vector<std::string> changed;
    if (now != inside) changed.push_back("window");
    inside = now;
    return changed;
  };
  dae.flags = [&] { return std::vector<int32_t>{inside}; };
  Trace trace(2);
  const auto outcome = sim::simulate(dae, settings(3.0, 1.0, RunSettings::Linear::automatic), trace);
  ASSERT_TRUE(outcome.complete) << outcome.error;
  EXPECT_LT(outcome.stats.steps, 40);  // the steps are long: the window fits inside one
  std::vector<double> events;
  for (size_t k = 0; k < trace.t.size(); ++k) {
    if (trace.is_event[k] && (events.empty() || trace.t[k] != events.back())) events.push_back(trace.t[k]);
    if (!trace.is_event[k]) {
      EXPECT_EQ(trace.y[k][1], trace.t[k] > 0.8 && trace.t[k] < 1.2 ? 1.0 : 0.0) << "t = " << trace.t[k];
    }
  }
  ASSERT_EQ(events.size(), 2u);
  EXPECT_NEAR(events[0], 0.8, 1e-9);
  EXPECT_NEAR(events[1], 1.2, 1e-9);
  EXPECT_EQ(outcome.stats.mode_changes, 2);
  // Each told once, at the time of its rows: the flag's new value, and the restart its new
  // equations asked for.
  ASSERT_EQ(trace.told.size(), 2u);
  for (size_t k = 0; k < 2; ++k) {
    EXPECT_EQ(trace.told[k].t, events[k]);
    EXPECT_EQ(trace.told[k].component, "window");
    EXPECT_NE(trace.told[k].what.find("the solver restarted"), std::string::npos) << trace.told[k].what;
  }
  EXPECT_EQ(trace.told[0].what.find("mode flag from 0 to 1;"), 0u) << trace.told[0].what;
  EXPECT_EQ(trace.told[1].what.find("mode flag from 1 to 0;"), 0u) << trace.told[1].what;
}

TEST(Integrator, ChatteringFlagsStopTheRunNamingTheComponent) {
  ToyDae dae({"x"}, {true}, {0.0},
             [](double, const double* y, const double* yp, double* F) { F[0] = yp[0] - 1 + 0 * y[0]; });
  dae.root_count = 1;
  dae.root_signals = [](double, const double* y, const double*, double* g) { g[0] = y[0] - 0.5; };
  bool flag = false;
  dae.renew_modes = [&](double t, const double*, const double*) {
    flag = !flag;
    return t > 0 ? std::vector<std::string>{"flip-flop"} : std::vector<std::string>{};
  };
  Trace trace(1);
  const auto outcome = sim::simulate(dae, settings(1.0, 0.1, RunSettings::Linear::automatic), trace);
  EXPECT_FALSE(outcome.complete);
  EXPECT_NE(outcome.error.find("flip-flop"), std::string::npos) << outcome.error;
  EXPECT_NEAR(outcome.end_time, 0.5, 1e-6);
  EXPECT_EQ(trace.t.size(), 7u);  // 0 .. 0.5 and the row at the event, just past 0.5
}

// A residual that turns into NaN past t = 0.3 stops the run there; what came before is kept.
TEST(Integrator, FailureStopsWithTimeAndNamesAndKeepsTheResults) {
  ToyDae dae({"tank.z", "tank.q"}, {true, false}, {1.0, 0.0},
             [](double t, const double* y, const double* yp, double* F) {
               F[0] = yp[0] - y[1];
               F[1] = y[1] - (t > 0.3 ? std::nan("") : 1.0);
             });
  Trace trace(2);
  const auto outcome = sim::simulate(dae, settings(1.0, 0.1, RunSettings::Linear::automatic), trace);
  EXPECT_FALSE(outcome.complete);
  EXPECT_NEAR(outcome.end_time, 0.3, 1e-3);
  EXPECT_NE(outcome.error.find("t = 0.3"), std::string::npos) << outcome.error;
  EXPECT_NE(outcome.error.find("last step"), std::string::npos) << outcome.error;
  EXPECT_NE(outcome.error.find("tank."), std::string::npos) << outcome.error;
  EXPECT_NE(outcome.error.find("the residual of toy: equation 1 was not finite"), std::string::npos) << outcome.error;
  ASSERT_EQ(trace.t.size(), 4u);  // 0, 0.1, 0.2 and the last state reached
  EXPECT_NEAR(trace.t.back(), 0.3, 1e-3);
  EXPECT_GT(outcome.stats.last_step, 0.0);
}

// An observer that ends the run (an interrupt) is heard before every step, and between the rows
// of a step that spans thousands of them: the run ends where its rows end, incomplete, saying why.
TEST(Integrator, AnObserverEndsTheRunWhereItsRowsEnd) {
  struct Impatient : Trace {
    size_t rows;
    explicit Impatient(size_t after) : Trace(1), rows(after) {}
    std::string stop() override { return t.size() >= rows ? "interrupted by the test" : ""; }
  };
  // x' = 1: IDA's steps soon span many output times each.
  ToyDae dae({"x"}, {true}, {0.0}, [](double, const double*, const double* yp, double* F) { F[0] = yp[0] - 1.0; });
  for (const size_t rows : {1, 3, 100000}) {
    SCOPED_TRACE(rows);
    Impatient trace(rows);
    const auto outcome = sim::simulate(dae, settings(100.0, 1e-4, RunSettings::Linear::automatic), trace);
    EXPECT_FALSE(outcome.complete);
    EXPECT_EQ(outcome.error, "interrupted by the test");
    ASSERT_GE(trace.t.size(), rows);
    EXPECT_LE(trace.t.size(), rows + 4096);  // not a whole step of up to a million rows later
    EXPECT_EQ(outcome.end_time, trace.t.back());
    EXPECT_TRUE(std::is_sorted(trace.t.begin(), trace.t.end()));
    for (size_t k = 0; k < trace.t.size(); ++k) EXPECT_NEAR(trace.y[k][0], trace.t[k], 1e-6);
  }
}

// q = k·sign(p)·√|p| has an infinite slope at p = 0, where the run starts; V' = q.
TEST(Integrator, NonFiniteJacobianEntriesAreRegularisedAndSaidOnce) {
  const double k = 2.0;
  ToyDae dae({"orifice.p", "orifice.q", "tank.V"}, {false, false, true}, {0.0, 0.0, 0.0},
             [&](double t, const double* y, const double* yp, double* F) {
               F[0] = y[0] - (t - 0.5);
               F[1] = y[1] - k * std::copysign(std::sqrt(std::abs(y[0])), y[0]);
               F[2] = yp[2] - y[1];
             });
  dae.exact_jacobian = [&](double, const double* y, const double*, double cj, double* J) {
    std::fill(J, J + 9, 0.0);
    J[0 * 3 + 0] = 1.0;
    J[0 * 3 + 1] = -k / (2 * std::sqrt(std::abs(y[0])));  // -inf at p = 0
    J[1 * 3 + 1] = 1.0;
    J[1 * 3 + 2] = -1.0;
    J[2 * 3 + 2] = cj;
  };
  Trace trace(3);
  auto run = settings(1.5, 0.1, RunSettings::Linear::automatic);
  run.start_time = 0.5;
  const auto outcome = sim::simulate(dae, run, trace);
  ASSERT_TRUE(outcome.complete) << outcome.error;
  ASSERT_EQ(trace.notes.size(), 1u);
  const std::string& note = trace.notes[0];
  EXPECT_NE(note.find("infinite slope with respect to orifice.p"), std::string::npos) << note;
  EXPECT_NE(note.find("at zero flow"), std::string::npos) << note;
  EXPECT_NE(note.find("can be trusted"), std::string::npos) << note;
  EXPECT_EQ(note.find("Jacobian"), std::string::npos) << note;
  EXPECT_NE(trace.details[0].find("Jacobian entry"), std::string::npos) << trace.details[0];
  for (size_t i = 0; i < trace.t.size(); ++i) {
    const double s = trace.t[i] - 0.5;
    EXPECT_NEAR(trace.y[i][2], k * 2.0 / 3.0 * s * std::sqrt(s), 1e-4) << "t = " << trace.t[i];
  }
}

TEST(Integrator, RejectsSettingsItCannotRun) {
  ToyDae dae({"x"}, {true}, {0.0}, [](double, const double*, const double* yp, double* F) { F[0] = yp[0]; });
  Trace trace(1);
  auto run = settings(1.0, 0.1, RunSettings::Linear::automatic);
  run.stop_time = 0.0;
  EXPECT_FALSE(sim::simulate(dae, run, trace).complete);
  run.stop_time = 1.0;
  run.output_interval = 0.0;
  EXPECT_FALSE(sim::simulate(dae, run, trace).complete);
  EXPECT_TRUE(trace.t.empty());
}

// A level that rises at a fixed rate has no state at rest: the run says so in plain words, with
// what to check, and keeps the solver's account after them.
TEST(Integrator, NoSteadyStateIsSaidInPlainWords) {
  ToyDae dae({"tank.z"}, {true}, {1.0}, [](double, const double*, const double* yp, double* F) { F[0] = yp[0] - 1; });
  Trace trace(1);
  auto run = settings(1.0, 0.1, RunSettings::Linear::automatic);
  run.start = RunSettings::Start::steady;
  const auto outcome = sim::simulate(dae, run, trace);
  ASSERT_FALSE(outcome.complete);
  EXPECT_EQ(outcome.error.rfind("no steady state found at t = 0 s: the solver found no flows, pressures and speeds "
                                "that stay at rest",
                                0),
            0u)
      << outcome.error;
  EXPECT_NE(outcome.error.find("run: start: given"), std::string::npos) << outcome.error;
  EXPECT_NE(outcome.error.find(". Solver: "), std::string::npos) << outcome.error;
  EXPECT_NE(outcome.error.find("largest residual in toy: equation 0"), std::string::npos) << outcome.error;
}

}  // namespace
}  // namespace penstock::testing
