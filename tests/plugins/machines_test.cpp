// SPDX-License-Identifier: BSD-3-Clause
// The turbine, the two grid machines and the runner, driven as the host drives them. The switching
// machines are state machines whose state is the engine's values fed back through the flags, so
// they are tested through a small event loop like the host's.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "harness.hpp"

namespace penstock::testing {
namespace {

using Names = std::vector<std::string>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A variable the host solves from one equation of the group.
struct Unknown {
  size_t equation;
  size_t input;
};

// The host's event iteration: evaluate Modes, solve each switched variable from its equation with
// the flags held (one Newton step, exact here because every residual is linear in its own
// variable), feed the values back and repeat until the flags stop changing. False if they chatter.
bool settle(const Harness& h, const std::vector<Unknown>& nonlinear, const std::vector<Unknown>& linear,
            std::vector<double>& x) {
  std::vector<int32_t> m = h.modes(x);
  for (int round = 0; round < 8; ++round) {
    for (const Unknown& u : nonlinear)
      x[u.input] -= h.residual(u.equation, x, m) / h.jacobian(u.equation, x, m)[u.input];
    for (const Unknown& u : linear) {
      const std::vector<double> row = h.linear_row(u.equation);
      double rest = 0;
      for (size_t i = 0; i < x.size(); ++i) {
        if (i != u.input && row[i] != 0) rest += row[i] * x[i];  // sparse, as the host assembles it
      }
      x[u.input] = -rest / row[u.input];
    }
    const std::vector<int32_t> next = h.modes(x, m);
    if (next == m) return true;
    m = next;
  }
  return false;
}

void expect_exact_jacobian(const Harness& h, size_t eq, const std::vector<double>& x, const std::vector<int32_t>& m) {
  const std::vector<double> analytic = h.jacobian(eq, x, m);
  const std::vector<double> numeric = h.fd_jacobian(eq, x, m);
  for (size_t i = 0; i < x.size(); ++i) {
    EXPECT_NEAR(analytic[i], numeric[i], 1e-7 * std::max(1.0, std::abs(analytic[i])))
        << "equation " << eq << ", input " << h.group().inputs[i];
  }
}

TEST(Machines, DeclareTheirVariablesAndParametersByName) {
  const Names hydraulic2 = {"A.density", "A.viscosity_kin", "A.bulk", "A.alpha",
                            "B.density", "B.viscosity_kin", "B.bulk", "B.alpha"};
  Names runner_params = hydraulic2;
  runner_params.insert(runner_params.end(), {"h0", "hmin"});
  const struct {
    const char* name;
    Names inputs;
    Names params;
  } cases[] = {
      {"turbine", {"time", "k0", "k1", "A.p", "B.p", "q", "p"}, hydraulic2},
      {"GridMachine", {"time", "n_syn", "syn_enable", "on_grid", "ochrana", "G.w", "t", "control"}, {"n_toler", "k"}},
      {"Alternator", {"time", "n_syn", "syn_enable", "on_grid", "G.w", "t"}, {"n_toler", "k"}},
      {"Runner", {"time", "Qturb", "Hturb", "A.p", "B.p", "q", "p"}, runner_params},
  };
  for (const auto& c : cases) {
    if (!plugin_built(c.name)) continue;
    const Harness h(c.name);
    EXPECT_EQ(h.group().inputs, c.inputs) << c.name;
    EXPECT_EQ(h.plugin().parameter_names(), c.params) << c.name;
  }
}

// ---- turbine: 0 = q − (k1·p + k0)

enum TurbineInput { k0 = 1, k1 = 2, tq = 5, tp = 6 };

TEST(Turbine, ResidualIsTheCharacteristicInItsGrouping) {
  PENSTOCK_REQUIRE_PLUGIN("turbine");
  const Harness h("turbine", {{"A.density", 998.2}, {"B.density", 998.2}});
  // q − (k1·p + k0) = −2.8099999999999996, while (q − k1·p) − k0 = −2.81.
  const double q = 0.1, kk1 = 0.1, p = 0.1, kk0 = 2.9;
  EXPECT_EQ(h.residual(0, {7, kk0, kk1, 1e5, 2e5, q, p}), q - (kk1 * p + kk0));
  EXPECT_NE(h.residual(0, {7, kk0, kk1, 1e5, 2e5, q, p}), (q - kk1 * p) - kk0);
  // Negative pressure: the line goes on below zero, q = k0 − k1·|p| is a solution.
  EXPECT_EQ(h.residual(0, {0, 0.5, 0.25, 0, 0, 0.5 - 0.25 * 4, -4}), 0.0);
  // k1 = 0: q = k0 whatever p is, and the p entry of the Jacobian is −0.
  EXPECT_EQ(h.residual(0, {0, 0.5, 0, 0, 0, 0.5, 123.0}), 0.0);
  const double dp = h.jacobian(0, {0, 0.5, 0, 0, 0, 0.5, 123.0})[tp];
  EXPECT_EQ(dp, 0.0);
  EXPECT_TRUE(std::signbit(dp));
}

TEST(Turbine, JacobianIsExact) {
  PENSTOCK_REQUIRE_PLUGIN("turbine");
  const Harness h("turbine");
  for (const std::vector<double>& x :
       {std::vector<double>{0, 0.3, 1.7, 5, 6, -0.2, 2.5}, std::vector<double>{0, -2, 0.01, 0, 0, 3, -40}}) {
    EXPECT_EQ(h.jacobian(0, x), (std::vector<double>{0, -1, -x[tp], 0, 0, 1, -x[k1]}));
    expect_exact_jacobian(h, 0, x, {});
  }
}

// ---- GridMachine

enum GridInput { g_n_syn = 1, g_enable, g_on_grid, g_ochrana, g_w, g_t, g_control };
enum GridFlag { armed, torque_ok, enabled, not_below, below_top, connected };

struct Step {
  double speed;
  double enable;
  double control;  // expected after the flags settle (GridMachine only)
  double on_grid;
  double t;
};

struct Sequence {
  const char* name;
  engine::ParameterTable params;
  std::vector<Step> steps;
};

void PrintTo(const Sequence& s, std::ostream* os) { *os << s.name; }
std::string sequence_name(const ::testing::TestParamInfo<Sequence>& info) { return info.param.name; }

const double just_below_one = std::nextafter(1.0, 0.0);
const double just_above_one = std::nextafter(1.0, 2.0);
const engine::ParameterTable kGrid = {{"n_toler", 0.5}, {"k", 2}};  // n_syn is 50 throughout

// From armed and disconnected (control 1, on_grid 0, t 0), each step sets the speed and the enable
// and lets the flags settle.
const std::vector<Sequence> kGridSequences = {
    {"BelowSynchronousNeverConnects", kGrid, {{49.999, 1, 1, 0, 0}, {45, 1, 1, 0, 0}}},
    {"SynchronousSpeedConnects", kGrid, {{50, 1, 1, 1, 0}}},
    {"WindowTopIsExcluded", kGrid, {{50.5, 1, 1, 0, 0}, {50.25, 1, 1, 1, 0.5}}},
    {"StaysConnectedOutsideTheWindow", kGrid, {{50.25, 1, 1, 1, 0.5}, {52, 1, 1, 1, 4}, {50.5, 1, 1, 1, 1}}},
    {"TripsOnNegativeTorqueAndStaysTripped",
     kGrid,
     {{50, 1, 1, 1, 0}, {49.75, 1, 0, 0, 0}, {50.25, 1, 0, 0, 0}, {52, 1, 0, 0, 0}, {50, 1, 0, 0, 0}}},
    {"EnableNotExactlyOneDisconnects",
     kGrid,
     {{50.25, 1, 1, 1, 0.5},
      {50.25, just_below_one, 1, 0, 0},
      {50.25, 1, 1, 1, 0.5},
      {50.25, just_above_one, 1, 0, 0},
      {52, 1, 1, 0, 0},  // outside the window: stays off
      {50.125, 0, 1, 0, 0},
      {50.125, kNaN, 1, 0, 0},
      {50.125, 1, 1, 1, 0.25}}},
    {"WithoutToleranceNeverConnects", {{"k", 2}}, {{50, 1, 1, 0, 0}, {50.0001, 1, 1, 0, 0}}},
    {"WithoutGainConnectsWithoutTorqueAndNeverTrips", {{"n_toler", 0.5}}, {{50, 1, 1, 1, 0}, {40, 1, 1, 1, 0}}},
    {"NaNSpeedDoesNotConnect", kGrid, {{kNaN, 1, 1, 0, 0}, {50, 1, 1, 1, 0}}},
};

class GridMachineEvents : public ::testing::TestWithParam<Sequence> {};

TEST_P(GridMachineEvents, FollowsTheStateMachine) {
  PENSTOCK_REQUIRE_PLUGIN("GridMachine");
  const Harness h("GridMachine", GetParam().params);
  std::vector<double> x = {0, 50, 1, 0, 1, 50, 0, 1};
  for (const Step& s : GetParam().steps) {
    x[g_w] = s.speed;
    x[g_enable] = s.enable;
    ASSERT_TRUE(settle(h, {{0, g_control}, {1, g_on_grid}, {2, g_t}}, {{3, g_ochrana}}, x)) << "speed " << s.speed;
    SCOPED_TRACE("speed " + std::to_string(s.speed) + ", enable " + std::to_string(s.enable));
    EXPECT_EQ(x[g_control], s.control);
    EXPECT_EQ(x[g_ochrana], s.control);
    EXPECT_EQ(x[g_on_grid], s.on_grid);
    EXPECT_DOUBLE_EQ(x[g_t], s.t);
  }
}

INSTANTIATE_TEST_SUITE_P(Sequences, GridMachineEvents, ::testing::ValuesIn(kGridSequences), sequence_name);

TEST(GridMachine, ModesCompareExactlyAndStrictlyWhereTold) {
  PENSTOCK_REQUIRE_PLUGIN("GridMachine");
  const Harness h("GridMachine", kGrid);
  // control 1, t 0, enable 1, d = 0, d < n_toler, on_grid 1
  EXPECT_EQ(h.modes({0, 50, 1, 1, 0, 50, 0, 1}), (std::vector<int32_t>{1, 1, 1, 1, 1, 1}));
  // d = n_toler is outside, t < 0, near-ones are not one
  EXPECT_EQ(h.modes({0, 50, just_above_one, just_below_one, 0, 50.5, -1e-300, just_below_one}),
            (std::vector<int32_t>{0, 0, 0, 1, 0, 0}));
  EXPECT_EQ(h.modes({0, 50, kNaN, kNaN, 0, kNaN, kNaN, kNaN}), (std::vector<int32_t>{0, 0, 0, 0, 0, 0}));
}

TEST(GridMachine, WindowSignalsAreZeroWhileTheProtectionIsNotIntact) {
  PENSTOCK_REQUIRE_PLUGIN("GridMachine");
  const Harness h("GridMachine", kGrid);
  // n_syn 50, enable 0.75, on_grid 0.5, G.w 50.125 (d = 0.125), t 3, control 0.25
  const std::vector<double> x = {0, 50, 0.75, 0.5, 0, 50.125, 3, 0.25};
  EXPECT_EQ(h.zero_crossings(x, {1, 1, 0, 0, 0, 0}), (std::vector<double>{-3, 0.5, -0.125, 0.375, 0.25, 0.75}));
  for (const std::vector<int32_t>& m : all_flags(6)) {
    if (m[armed] != 0 && m[torque_ok] != 0) continue;
    const std::vector<double> zc = h.zero_crossings(x, m);
    EXPECT_EQ(zc, (std::vector<double>{-3, 0.5, 0, 0, 0, 0.75}));
  }
}

TEST(GridMachine, JacobiansAreExactInEveryFlagState) {
  PENSTOCK_REQUIRE_PLUGIN("GridMachine");
  const Harness h("GridMachine", {{"n_toler", 0.5}, {"k", 3.7}});
  const std::vector<double> x = {0, 50, 1, 0.3, 0.2, 51.3, -4.1, 0.6};
  for (const std::vector<int32_t>& m : all_flags(6)) {
    for (size_t eq = 0; eq < 3; ++eq) expect_exact_jacobian(h, eq, x, m);
  }
  // The torque in its grouping: t − k·(G.w − n_syn), not t − (k·G.w − k·n_syn).
  const double t = 0.3, k = 1.1, w = 50.3, n = 50.0;
  const Harness g("GridMachine", {{"k", k}});
  EXPECT_EQ(g.residual(2, {0, n, 1, 1, 1, w, t, 1}, {1, 1, 1, 1, 1, 1}), t - k * (w - n));
  EXPECT_NE(g.residual(2, {0, n, 1, 1, 1, w, t, 1}, {1, 1, 1, 1, 1, 1}), t - (k * w - k * n));
  EXPECT_EQ(h.linear_row(3), (std::vector<double>{0, 0, 0, 0, 1, 0, 0, -1}));  // ochrana = control
}

// ---- Alternator

enum AltInput { a_n_syn = 1, a_enable, a_on_grid, a_w, a_t };

// From disconnected (on_grid 0, t 0); the control column is unused.
const std::vector<Sequence> kAlternatorSequences = {
    {"WindowIsSymmetricAndOpen", kGrid, {{49.5, 1, 0, 0, 0}, {50.5, 1, 0, 0, 0}, {49.75, 1, 0, 1, -0.5}}},
    {"SynchronousSpeedConnects", kGrid, {{50, 1, 0, 1, 0}}},
    {"NegativeTorqueAndLeavingTheWindowKeepItConnected",
     kGrid,
     {{50.25, 1, 0, 1, 0.5}, {45, 1, 0, 1, -10}, {52, 1, 0, 1, 4}}},
    {"EnableNotExactlyOneDisconnects",
     kGrid,
     {{50.25, 1, 0, 1, 0.5},
      {50.25, just_below_one, 0, 0, 0},
      {52, 1, 0, 0, 0},
      {49.875, 1, 0, 1, -0.25},
      {49.875, just_above_one, 0, 0, 0}}},
    {"WithoutToleranceNeverConnects", {{"k", 2}}, {{50, 1, 0, 0, 0}}},
    {"WithoutGainConnectsWithoutTorque", {{"n_toler", 0.5}}, {{49.9, 1, 0, 1, 0}, {40, 1, 0, 1, 0}}},
    {"NaNSpeedDoesNotConnect", kGrid, {{kNaN, 1, 0, 0, 0}}},
};

class AlternatorEvents : public ::testing::TestWithParam<Sequence> {};

TEST_P(AlternatorEvents, FollowsTheStateMachine) {
  PENSTOCK_REQUIRE_PLUGIN("Alternator");
  const Harness h("Alternator", GetParam().params);
  std::vector<double> x = {0, 50, 1, 0, 50, 0};
  for (const Step& s : GetParam().steps) {
    x[a_w] = s.speed;
    x[a_enable] = s.enable;
    ASSERT_TRUE(settle(h, {{0, a_on_grid}, {1, a_t}}, {}, x)) << "speed " << s.speed;
    SCOPED_TRACE("speed " + std::to_string(s.speed) + ", enable " + std::to_string(s.enable));
    EXPECT_EQ(x[a_on_grid], s.on_grid);
    EXPECT_DOUBLE_EQ(x[a_t], s.t);
  }
}

INSTANTIATE_TEST_SUITE_P(Sequences, AlternatorEvents, ::testing::ValuesIn(kAlternatorSequences), sequence_name);

TEST(Alternator, StartedOnTheGridStaysOnWhateverTheSpeed) {
  PENSTOCK_REQUIRE_PLUGIN("Alternator");
  const Harness h("Alternator", kGrid);
  std::vector<double> x = {0, 50, 1, 1, 80, 0};
  ASSERT_TRUE(settle(h, {{0, a_on_grid}, {1, a_t}}, {}, x));
  EXPECT_EQ(x[a_on_grid], 1.0);
  EXPECT_EQ(x[a_t], 60.0);
}

TEST(Alternator, SignalsRunInTheReverseOrderOfTheFlagsAndUseTheSignedDeviation) {
  PENSTOCK_REQUIRE_PLUGIN("Alternator");
  const Harness h("Alternator", kGrid);
  // n_syn 50, enable 0.75, on_grid 0.25, G.w 49.875 (|d| = 0.125)
  const std::vector<double> below = {0, 50, 0.75, 0.25, 49.875, 0};
  const std::vector<double> above = {0, 50, 0.75, 0.25, 50.125, 0};
  for (const std::vector<int32_t>& m : all_flags(3)) {
    EXPECT_EQ(h.zero_crossings(below, m), (std::vector<double>{0.75, 0.375, 0.25}));  // flags not read
    EXPECT_EQ(h.zero_crossings(above, m), (std::vector<double>{0.75, 0.375, 0.25}));
  }
  EXPECT_EQ(h.modes({0, 50, 1, 1, 49.875, 0}), (std::vector<int32_t>{1, 1, 1}));
  EXPECT_EQ(h.modes({0, 50, just_below_one, just_above_one, 49.5, 0}), (std::vector<int32_t>{0, 0, 0}));
  const std::vector<double> zc_nan = h.zero_crossings({0, 50, 1, 1, kNaN, 0});
  EXPECT_TRUE(std::isnan(zc_nan[1]));  // |d| of a NaN deviation stays NaN
}

TEST(Alternator, JacobiansAreExactInEveryFlagState) {
  PENSTOCK_REQUIRE_PLUGIN("Alternator");
  const Harness h("Alternator", {{"n_toler", 0.5}, {"k", 3.7}});
  const std::vector<double> x = {0, 50, 1, 0.3, 48.2, 2.4};
  for (const std::vector<int32_t>& m : all_flags(3)) {
    for (size_t eq = 0; eq < 2; ++eq) expect_exact_jacobian(h, eq, x, m);
  }
}

// ---- Runner: Hturb = p above hmin, held at h0 below; Qturb = q

enum RunnerInput { r_Qturb = 1, r_Hturb, r_q = 5, r_p };

struct RunnerStep {
  double p;
  double q;
  double Hturb;  // expected
};

std::vector<double> run(const Harness& h, std::vector<double>& x, const std::vector<RunnerStep>& steps) {
  std::vector<double> heads;
  for (const RunnerStep& s : steps) {
    x[r_p] = s.p;
    x[r_q] = s.q;
    if (!settle(h, {{0, r_Hturb}}, {{1, r_Qturb}}, x)) return heads;
    EXPECT_EQ(x[r_Qturb], s.q);
    heads.push_back(x[r_Hturb]);
  }
  return heads;
}

TEST(Runner, HeadLatchesAtH0BelowTheMinimum) {
  PENSTOCK_REQUIRE_PLUGIN("Runner");
  const Harness h("Runner", {{"h0", 5}, {"hmin", 10}});
  std::vector<double> x = {0, 0, 20, 0, 0, 0, 20};
  // At hmin exactly the head still follows p; below it latches at h0 < hmin and stays there.
  EXPECT_EQ(run(h, x, {{20, 1.5, 20}, {10, 1, 10}, {9, -0.5, 5}, {30, 2, 5}, {10, 0, 5}}),
            (std::vector<double>{20, 10, 5, 5, 5}));
}

TEST(Runner, HeadAboveTheMinimumAsH0ChattersBelowIt) {
  PENSTOCK_REQUIRE_PLUGIN("Runner");
  // h0 ≥ hmin: holding the head at h0 clears the flag again, which lets it fall back to p.
  const Harness h("Runner", {{"h0", 12}, {"hmin", 10}});
  std::vector<double> x = {0, 0, 20, 0, 0, 0, 20};
  EXPECT_EQ(run(h, x, {{15, 1, 15}}), (std::vector<double>{15}));
  x[r_p] = 9;
  EXPECT_FALSE(settle(h, {{0, r_Hturb}}, {{1, r_Qturb}}, x));
}

TEST(Runner, WithoutParametersTheSwitchIsAtZeroHeadAndChattersBelowIt) {
  PENSTOCK_REQUIRE_PLUGIN("Runner");
  // h0 = hmin = 0: a head of exactly 0 still follows p; a negative head sets the flag, which holds
  // the head at 0, which clears the flag again (h0 ≥ hmin).
  const Harness h("Runner");
  std::vector<double> x = {0, 0, 3, 0, 0, 0, 3};
  EXPECT_EQ(run(h, x, {{3, 1, 3}, {0, 1, 0}}), (std::vector<double>{3, 0}));
  EXPECT_EQ(h.modes({0, 0, -1e-300, 0, 0, 0, 0}), (std::vector<int32_t>{1}));
  EXPECT_EQ(h.residual(0, {0, 0, -1, 0, 0, 0, -1}, {1}), 1.0);  // 0 − Hturb
  x[r_p] = -1;
  EXPECT_FALSE(settle(h, {{0, r_Hturb}}, {{1, r_Qturb}}, x));
}

TEST(Runner, RowsAndSignal) {
  PENSTOCK_REQUIRE_PLUGIN("Runner");
  const Harness h("Runner", {{"h0", 5}, {"hmin", 10}});
  const std::vector<double> x = {0, 2, 7.5, 1e5, 2e5, 2, 8};
  EXPECT_EQ(h.residual(0, x, {1}), 5 - 7.5);
  EXPECT_EQ(h.residual(0, x, {0}), 7.5 - 8);
  EXPECT_EQ(h.zero_crossings(x), (std::vector<double>{2.5}));
  EXPECT_EQ(h.modes({0, 0, kNaN, 0, 0, 0, 0}), (std::vector<int32_t>{0}));
  EXPECT_EQ(h.linear_row(1), (std::vector<double>{0, 1, 0, 0, 0, -1, 0}));
  for (const std::vector<int32_t>& m : all_flags(1)) expect_exact_jacobian(h, 0, x, m);
}

}  // namespace
}  // namespace penstock::testing
