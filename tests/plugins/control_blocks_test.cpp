// SPDX-License-Identifier: BSD-3-Clause
// The control blocks and the speed governor, driven as the host drives them: their names, their
// linear rows by hand, every Jacobian against central differences under every combination of flags
// (at rest, at standstill of the shaft, and at ordinary states), and the flags and zero crossings
// a hair either side of every switch, with the law each side selects.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "harness.hpp"

namespace penstock::testing {
namespace {

using Names = std::vector<std::string>;

const engine::ParameterTable kLimit = {{"lo", -0.5}, {"hi", 2}};
const engine::ParameterTable kRate = {{"T", 0.01}, {"r_rise", 0.5}, {"r_fall", 2}, {"y0", 0}};
const engine::ParameterTable kPid = {{"Kp", 2},    {"Ki", 3},    {"Kd", 0.5}, {"Tf", 0.01},
                                     {"y_min", 0}, {"y_max", 1}, {"xi0", 0}};
const engine::ParameterTable kGovernor = {{"w_ref", 314}, {"b_p", 0.04}, {"Kp", 5},    {"Ti", 0.5},  {"Ty", 0.2},
                                          {"Topen", 10},  {"Tclose", 5}, {"y_min", 0}, {"y_max", 1}, {"y0", 0}};

// Each nonlinear equation's Jacobian against central differences at x, under flags m.
void expect_exact_jacobians(const Harness& h, const std::vector<double>& x, const std::vector<int32_t>& m) {
  for (size_t e = 0; e < h.group().equations.size(); ++e) {
    if (!h.group().equations[e].has(kResidualJacobian)) continue;
    const std::vector<double> analytic = h.jacobian(e, x, m);
    const std::vector<double> numeric = h.fd_jacobian(e, x, m, 1e-8);
    const std::vector<uint8_t> pattern = h.pattern(e);
    for (size_t i = 0; i < x.size(); ++i) {
      EXPECT_NEAR(analytic[i], numeric[i], 1e-6 * std::max(1.0, std::abs(analytic[i])))
          << "equation " << e << ", input " << h.group().inputs[i] << ", flags " << ::testing::PrintToString(m)
          << ", state " << ::testing::PrintToString(x);
      if (pattern[i] == 0) {
        EXPECT_EQ(analytic[i], 0.0) << "equation " << e << " outside its pattern";
      }
    }
  }
}

TEST(ControlBlocks, DeclareTheirVariablesAndParametersByName) {
  const struct {
    const char* name;
    Names inputs;
    engine::ParameterTable params;
  } cases[] = {
      {"Gain", {"time", "u", "y"}, {{"k", 2}}},
      {"Sum", {"time", "u1", "u2", "y"}, {{"k1", 1}, {"k2", 1}, {"c", 0}}},
      {"Limit", {"time", "u", "y"}, kLimit},
      {"Lag", {"time", "u", "y"}, {{"T", 1}, {"k", 1}, {"y0", 0}}},
      {"RateLimit", {"time", "u", "y"}, kRate},
      {"PID", {"time", "r", "u", "y", "xi", "xd"}, kPid},
      {"Governor", {"time", "w", "y_set", "y", "c", "xi", "e"}, kGovernor},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PENSTOCK_REQUIRE_PLUGIN(c.name);
    const Harness h(c.name, c.params);
    EXPECT_EQ(h.group().inputs, c.inputs);
    EXPECT_TRUE(h.group().problems.empty());
  }
}

// ---- the blocks without a switch -----------------------------------------------------------------

TEST(ControlBlocks, GainLagAndSumFollowTheirLaws) {
  PENSTOCK_REQUIRE_PLUGIN("Gain");
  const Harness gain("Gain", {{"k", 2.5}});
  EXPECT_EQ(gain.linear_row(0), (std::vector<double>{0, -2.5, 1}));  // 0 = y − k·u

  const Harness lag("Lag", {{"T", 0.4}, {"k", 3}, {"y0", 0}});
  EXPECT_EQ(lag.mass(0, {0, 1, 1}), (std::vector<double>{0, 0, 0.4}));  // T·dy/dt
  EXPECT_EQ(lag.linear_row(0), (std::vector<double>{0, 3, -1}));        // = k·u − y
  EXPECT_EQ(lag.group().equations[0].differential, 2);

  const Harness sum("Sum", {{"k1", 2}, {"k2", -1}, {"c", 0.5}});
  // 0 = y − (2·3 − 1·4 + 0.5)
  EXPECT_DOUBLE_EQ(sum.residual(0, {0, 3, 4, 2.5}), 0.0);
  EXPECT_DOUBLE_EQ(sum.residual(0, {0, 3, 4, 3.5}), 1.0);
  for (const std::vector<double>& x : {std::vector<double>{0, 0, 0, 0}, std::vector<double>{7, -3, 4, 1e3}})
    expect_exact_jacobians(sum, x, {});
}

// ---- Limit ---------------------------------------------------------------------------------------

TEST(ControlBlocks, LimitSwitchesAtBothCornersAndHoldsTheBound) {
  PENSTOCK_REQUIRE_PLUGIN("Limit");
  const Harness h("Limit", kLimit);
  const double d = 1e-9;
  struct Side {
    double u;
    std::vector<int32_t> flags;
    double y;  // the output the flags select
  };
  for (const Side& s : {Side{-0.5 - d, {1, 0}, -0.5}, Side{-0.5 + d, {0, 0}, -0.5 + d}, Side{2 - d, {0, 0}, 2 - d},
                        Side{2 + d, {0, 1}, 2}}) {
    SCOPED_TRACE("u = " + std::to_string(s.u));
    const std::vector<double> x{0, s.u, 0};
    const std::vector<int32_t> m = h.modes(x);
    EXPECT_EQ(m, s.flags);
    const std::vector<double> zc = h.zero_crossings(x, m);
    EXPECT_EQ(zc[0] < 0, s.u < -0.5);  // u − lo
    EXPECT_EQ(zc[1] > 0, s.u > 2);     // u − hi
    EXPECT_NEAR(h.residual(0, {0, s.u, s.y}, m), 0.0, 1e-15);
  }
  for (const auto& m : all_flags(2))
    for (const std::vector<double>& x : {std::vector<double>{0, 0, 0}, std::vector<double>{1, 3, -2}})
      expect_exact_jacobians(h, x, m);
}

// ---- RateLimit -----------------------------------------------------------------------------------

TEST(ControlBlocks, RateLimitClampsTheLagRateAtBothLimits) {
  PENSTOCK_REQUIRE_PLUGIN("RateLimit");
  const Harness h("RateLimit", kRate);
  // (u − y)/T against r_rise = 0.5 and −r_fall = −2, with T = 0.01: u − y = 0.005 and −0.02.
  const double d = 1e-9;
  struct Side {
    double gap;  // u − y
    std::vector<int32_t> flags;
    double rate;
  };
  for (const Side& s : {Side{0.005 + d, {1, 0}, 0.5}, Side{0.005 - d, {0, 0}, (0.005 - d) / 0.01},
                        Side{-0.02 + d, {0, 0}, (-0.02 + d) / 0.01}, Side{-0.02 - d, {0, 1}, -2}}) {
    SCOPED_TRACE("u - y = " + std::to_string(s.gap));
    const std::vector<double> x{0, 1 + s.gap, 1};
    const std::vector<int32_t> m = h.modes(x);
    EXPECT_EQ(m, s.flags);
    const std::vector<double> zc = h.zero_crossings(x, m);
    EXPECT_EQ(zc[0] > 0, m[0] == 1);
    EXPECT_EQ(zc[1] < 0, m[1] == 1);
    EXPECT_NEAR(h.residual(0, x, m), s.rate, 1e-12);  // dy/dt, the mass being 1
  }
  EXPECT_EQ(h.mass(0, {0, 5, 1}), (std::vector<double>{0, 0, 1}));
  for (const auto& m : all_flags(2))
    for (const std::vector<double>& x : {std::vector<double>{0, 0, 0}, std::vector<double>{1, 0.3, -0.2}})
      expect_exact_jacobians(h, x, m);
}

// ---- PID -----------------------------------------------------------------------------------------

// The unlimited output v = Kp·e + xi + Kd·(e − xd)/Tf of kPid.
double pid_v(double r, double u, double xi, double xd) {
  const double e = r - u;
  return 2 * e + xi + 0.5 * (e - xd) / 0.01;
}

TEST(ControlBlocks, PidLimitsItsOutputAndStopsIntegratingIntoALimit) {
  PENSTOCK_REQUIRE_PLUGIN("PID");
  const Harness h("PID", kPid);
  enum { time, r, u, y, xi, xd };
  // e = 0.1; xd = e keeps the derivative out; v = 0.2 + xi.
  const double d = 1e-9;
  auto state = [&](double xi_value, double e) { return std::vector<double>{0, 1 + e, 1, 0, xi_value, e}; };
  // At y_max (1): v = 1 ± d.
  {
    const std::vector<double> x = state(0.8 + d, 0.1);
    const std::vector<int32_t> m = h.modes(x);
    EXPECT_EQ(m, (std::vector<int32_t>{0, 1, 0, 1}));  // above, e > 0
    EXPECT_GT(h.zero_crossings(x, m)[1], 0);
    std::vector<double> held = x;
    held[y] = 1;
    EXPECT_DOUBLE_EQ(h.residual(0, held, m), 0.0);  // y = y_max
    EXPECT_NEAR(h.residual(1, x, m), 0.3, 1e-9);    // at the limit the integral runs on: no step in its rate
  }
  // Clear of the limit (v = 2, o = 1) the integral stands all but still: Ki·e·δ²/(δ² + o²).
  {
    const std::vector<double> x = state(1.8, 0.1);
    const std::vector<int32_t> m = h.modes(x);
    EXPECT_EQ(m, (std::vector<int32_t>{0, 1, 0, 1}));
    EXPECT_NEAR(h.residual(1, x, m), 0.3 * 1e-6 / (1e-6 + 1), 1e-12);
  }
  {
    const std::vector<double> x = state(0.8 - d, 0.1);
    const std::vector<int32_t> m = h.modes(x);
    EXPECT_EQ(m, (std::vector<int32_t>{0, 0, 0, 1}));
    EXPECT_LT(h.zero_crossings(x, m)[1], 0);
    std::vector<double> free = x;
    free[y] = pid_v(x[r], x[u], x[xi], x[xd]);
    EXPECT_NEAR(h.residual(0, free, m), 0.0, 1e-15);
    EXPECT_NEAR(h.residual(1, x, m), 3 * 0.1, 1e-12);  // Ki·e
  }
  // Held at y_max while the error turns: the integral runs down at once.
  {
    const std::vector<double> x = state(1.5, -0.1);
    const std::vector<int32_t> m = h.modes(x);
    EXPECT_EQ(m, (std::vector<int32_t>{0, 1, 1, 0}));
    EXPECT_NEAR(h.residual(1, x, m), -3 * 0.1, 1e-12);
    EXPECT_LT(h.zero_crossings(x, m)[2], 0);  // e
  }
  // At y_min (0): v = 0 ± d with e < 0 (v = −0.2 + xi).
  for (const double side : {-d, d}) {
    const std::vector<double> x = state(0.2 + side, -0.1);
    const std::vector<int32_t> m = h.modes(x);
    EXPECT_EQ(m, (std::vector<int32_t>{side < 0, 0, 1, 0}));
    EXPECT_EQ(h.zero_crossings(x, m)[0] < 0, side < 0);
    EXPECT_NEAR(h.residual(1, x, m), -0.3, 1e-9);  // continuous across the limit
  }
  // The derivative filter: Tf·dxd/dt = e − xd.
  EXPECT_EQ(h.mass(2, state(0, 0)), (std::vector<double>{0, 0, 0, 0, 0, 0.01}));
  EXPECT_EQ(h.linear_row(2), (std::vector<double>{0, 1, -1, 0, 0, -1}));
  for (const auto& m : all_flags(4))
    for (const std::vector<double>& x :
         {std::vector<double>{0, 0, 0, 0, 0, 0}, std::vector<double>{2, 1, 0.4, 0.3, -0.2, 0.1}})
      expect_exact_jacobians(h, x, m);
}

// ---- Governor ------------------------------------------------------------------------------------

enum GovernorInput { g_time, g_w, g_y_set, g_y, g_c, g_xi, g_e };

TEST(Governor, ErrorAndCommandCarryTheDroop) {
  PENSTOCK_REQUIRE_PLUGIN("Governor");
  const Harness h("Governor", kGovernor);
  // w 1 % below w_ref, y 0.1 above y_set: e = 0.01 − 0.04·0.1 = 0.006.
  const std::vector<double> x{0, 314 * 0.99, 0.5, 0.6, 0, 0, 0.006};
  EXPECT_NEAR(h.residual(0, x, h.modes(x)), 0.0, 1e-15);
  // 0 = c − (y_set + Kp·e + xi)
  EXPECT_EQ(h.linear_row(1), (std::vector<double>{0, 0, -1, 0, 1, -1, -5}));
  // dxi/dt = Kp/Ti·e while free
  EXPECT_DOUBLE_EQ(h.residual(2, x, h.modes(x)), 5 / 0.5 * 0.006);
  // At standstill the error is the whole reference less the droop's share.
  const std::vector<double> rest{0, 0, 0.5, 0, 0, 0, 1 + 0.04 * 0.5};
  EXPECT_NEAR(h.residual(0, rest, h.modes(rest)), 0.0, 1e-15);
}

TEST(Governor, ServoRateAndStrokeLimitsSwitchAtTheirEdges) {
  PENSTOCK_REQUIRE_PLUGIN("Governor");
  const Harness h("Governor", kGovernor);
  const double d = 1e-9;
  // (c − y)/Ty against 1/Topen = 0.1 and −1/Tclose = −0.2, Ty = 0.2: c − y = 0.02 and −0.04.
  auto at = [](double y, double c, double e) { return std::vector<double>{0, 300, 0.5, y, c, 0, e}; };
  struct Side {
    std::vector<double> x;
    std::vector<int32_t> flags;
    double stroke_rate, integral_rate;
  };
  // Kp/Ti·e = ±1 damped by δ²/(δ² + x²) while the servo cannot follow, x the excess of the command
  // over what it follows: c − y at a stop, c − y ∓ 0.02 (0.04) at the rate limits.
  auto damped = [](double x) { return 1e-6 / (1e-6 + x * x); };
  const double held = damped(0.5);
  const Side sides[] = {
      {at(0.5, 0.52 + d, 0.1), {1, 0, 0, 0, 0, 1, 0, 1}, 0.1, 1.0},
      {at(0.5, 0.52 - d, 0.1), {0, 0, 0, 0, 0, 1, 0, 1}, (0.02 - d) / 0.2, 1.0},
      {at(0.5, 0.46 + d, -0.1), {0, 0, 0, 0, 1, 0, 1, 0}, (-0.04 + d) / 0.2, -1.0},
      {at(0.5, 0.46 - d, -0.1), {0, 1, 0, 0, 1, 0, 1, 0}, -0.2, -1.0},
      // At the upper stop, pushed open: held, the integral all but still while e > 0.
      {at(1, 1.5, 0.1), {1, 0, 1, 0, 0, 1, 0, 1}, 0.0, held},
      // A hair below the stop it still moves, at the opening rate: the integral all but still.
      {at(1 - d, 1.5, 0.1), {1, 0, 0, 0, 0, 1, 0, 1}, 0.1, damped(0.5 + d - 0.02)},
      // At the stop with the command turned: it leaves at the closing rate, the integral held back.
      {at(1, 0.9, -0.1), {0, 1, 1, 0, 1, 0, 1, 0}, -0.2, -damped(-0.1 + 0.04)},
      // At the lower stop, pushed shut: held, the integral all but still while e < 0.
      {at(0, -0.5, -0.1), {0, 1, 0, 1, 1, 0, 1, 0}, 0.0, -held},
      {at(d, -0.5, -0.1), {0, 1, 0, 0, 1, 0, 1, 0}, -0.2, -damped(-0.5 - d + 0.04)},
      // At the lower stop with e > 0 but the command still below: held, the integral runs up.
      {at(0, -0.5, 0.1), {0, 1, 0, 1, 1, 0, 0, 1}, 0.0, 1.0},
  };
  for (const Side& s : sides) {
    SCOPED_TRACE("y = " + std::to_string(s.x[g_y]) + ", c = " + std::to_string(s.x[g_c]));
    const std::vector<int32_t> m = h.modes(s.x);
    EXPECT_EQ(m, s.flags);
    EXPECT_NEAR(h.residual(3, s.x, m), s.stroke_rate, 1e-12);
    EXPECT_NEAR(h.residual(2, s.x, m), s.integral_rate, 1e-12);
    // Each flag reads the sign of its zero crossing.
    const std::vector<double> zc = h.zero_crossings(s.x, m);
    EXPECT_EQ(zc[0] > 0, m[0] == 1);
    EXPECT_EQ(zc[1] < 0, m[1] == 1);
    EXPECT_EQ(zc[2] >= 0, m[2] == 1);
    EXPECT_EQ(zc[3] <= 0, m[3] == 1);
    // The command against the opening is watched at a stop alone, the error while the servo
    // cannot follow (at a stop or a rate limit).
    if (m[2] == 1 || m[3] == 1) {
      EXPECT_EQ(zc[4] < 0, m[4] == 1);
    } else {
      EXPECT_EQ(zc[4], 0.0);
    }
    if (m[0] == 1 || m[1] == 1 || m[2] == 1 || m[3] == 1) {
      EXPECT_EQ(zc[5] > 0, m[7] == 1);
    } else {
      EXPECT_EQ(zc[5], 0.0);
    }
  }
}

TEST(Governor, JacobiansAreExactUnderEveryFlagIncludingStandstill) {
  PENSTOCK_REQUIRE_PLUGIN("Governor");
  const Harness h("Governor", kGovernor);
  const std::vector<std::vector<double>> states = {
      {0, 0, 0, 0, 0, 0, 0},               // everything at rest
      {0, 0, 0.5, 0, 0.7, 0.1, 1.02},      // standstill of the shaft, gate shut
      {3, -20, 0.5, 0.3, 0.2, -0.1, 1.1},  // turning backwards
      {9, 330, 1, 1, 0.4, -0.3, -0.05},    // overspeed at full opening
  };
  for (const auto& m : all_flags(8))
    for (const auto& x : states) expect_exact_jacobians(h, x, m);
}

}  // namespace
}  // namespace penstock::testing
