// SPDX-License-Identifier: BSD-3-Clause
// examples/water_hammer.yaml (a chain of lumped Pipe sections) and water_hammer_wave.yaml (one
// WavePipe) against the water hammer of a rigid valve closure on an elastic line: the first rise at
// the valve is Joukowsky's ρ·a·v0 over the steady pressure, and the pressure swings with the period
// 4·L/a of the wave's double round trip.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "examples_support.hpp"

namespace penstock::testing {
namespace {

constexpr double kRho = 1000, kA = 1200, kL = 600, kD = 0.5;
constexpr double kPi = 3.141592653589793;

struct Errors {
  double peak = 0, period = 0;  // relative
};

// The valve closes from 0.1 s to 0.3 s. Between rows: t, gate.p, valve.q.
Errors against_joukowsky(const std::string& example) {
  sim::Model model = sim::load_model(example_file(example), catalogue());
  const ExampleRun r = run(model, {"gate.p", "valve.q"});
  EXPECT_TRUE(r.outcome.complete) << r.outcome.error;
  if (!r.outcome.complete) return {1, 1};

  const double p0 = r.rows.front()[1], q0 = r.rows.front()[2];
  const double v0 = q0 / (kPi * kD * kD / 4);
  EXPECT_NEAR(v0, 1.0, 0.01);          // the model's steady flow
  const double rise = kRho * kA * v0;  // Joukowsky: Δp = ρ·a·Δv, the valve shutting fully

  // The first peak: the highest pressure before the wave reflected at the lake returns.
  double closing = -1, peak = p0;
  for (const auto& row : r.rows) {
    if (closing < 0 && row[2] < 0.999 * q0) closing = row[0];
    if (closing >= 0 && row[0] <= closing + 2 * kL / kA) peak = std::max(peak, row[1]);
  }
  const double peak_error = (peak - p0) / rise - 1;

  // The first front climbs from p0 to p0 + Δp, every later rising front from p0 − Δp to p0 + Δp:
  // the middles of the two, p0 + Δp/2 and p0, mark the same phase of the closure.
  const double t1 = crossing(r.rows, 1, p0 + rise / 2, true);
  const double t_down = crossing(r.rows, 1, p0, false, t1);
  const double t2 = crossing(r.rows, 1, p0, true, t_down);
  EXPECT_GT(t1, 0);
  EXPECT_GT(t2, 0) << "no second rise";
  const double period = t2 - t1;
  const double period_error = period / (4 * kL / kA) - 1;

  std::printf(
      "peak %.0f Pa (rise %.0f Pa, Joukowsky %.0f Pa, error %+.3f %%); period %.5f s (4L/a %.5f s, error %+.3f %%)\n",
      peak, peak - p0, rise, 100 * peak_error, period, 4 * kL / kA, 100 * period_error);
  return {peak_error, period_error};
}

TEST(WaterHammer, PeakIsJoukowskyAndPeriodIsFourLOverA) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "Orifice");
  const Errors e = against_joukowsky("water_hammer.yaml");
  EXPECT_LT(std::abs(e.peak), 0.03);
  EXPECT_LT(std::abs(e.period), 0.01);
}

// The rise includes the line packing of the friction loss after the closure, about +0.9 % here; the
// characteristics carry the wave at its own speed, so the period is 4·L/a to the grid.
TEST(WaterHammerWave, PeakIsJoukowskyAndPeriodIsFourLOverA) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Orifice");
  const Errors e = against_joukowsky("water_hammer_wave.yaml");
  EXPECT_GT(e.peak, 0.0);
  EXPECT_LT(e.peak, 0.015);
  EXPECT_LT(std::abs(e.period), 1e-4);
}

// The chain's flow reversals leave its equations as they were: taken at the end of the step in
// which they cross, instead of located within it, the results stay within the tolerance (100 Pa
// on pressures, 1e-4 m3/s on flows), with the same steps, a few located switches (a section whose
// two half reaches both reverse in a step is taken at its end too: under one switch in fifty
// steps, however many sections), and an events file of the restarts alone.
TEST(WaterHammer, SwitchesTakenAtTheStepsEndLeaveTheResultsWithinTheTolerance) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "Orifice");
  struct Grid : sim::Observer {
    size_t p = 0, q = 0;
    std::vector<std::vector<double>> rows;
    void sample(double t, const double* y, bool event) override {
      if (!event) rows.push_back({t, y[p], y[q]});
    }
    void event(double, const std::string&, const std::string&) override { ++told; }
    size_t told = 0;
  };
  Grid grid[2];
  sim::Outcome outcome[2];
  for (const bool located : {false, true}) {
    sim::Model model = sim::load_model(example_file("water_hammer.yaml"), catalogue());
    model.run.locate_smooth_switches = located;
    Grid& g = grid[located ? 1 : 0];
    const auto& names = model.system->variable_names();
    g.p = static_cast<size_t>(std::find(names.begin(), names.end(), "gate.p") - names.begin());
    g.q = static_cast<size_t>(std::find(names.begin(), names.end(), "valve.q") - names.begin());
    ASSERT_LT(g.p, names.size());
    ASSERT_LT(g.q, names.size());
    outcome[located ? 1 : 0] = sim::simulate(*model.system, model.run, g);
    ASSERT_TRUE(outcome[located ? 1 : 0].complete) << outcome[located ? 1 : 0].error;
  }
  ASSERT_EQ(grid[0].rows.size(), grid[1].rows.size());
  double dp = 0, dq = 0;
  for (size_t i = 0; i < grid[0].rows.size(); ++i) {
    ASSERT_EQ(grid[0].rows[i][0], grid[1].rows[i][0]);
    dp = std::max(dp, std::abs(grid[0].rows[i][1] - grid[1].rows[i][1]));
    dq = std::max(dq, std::abs(grid[0].rows[i][2] - grid[1].rows[i][2]));
  }
  std::printf(
      "largest difference: gate.p %.3g Pa, valve.q %.3g m3/s; located switches %ld and %ld, smooth %ld and %ld\n", dp,
      dq, outcome[0].stats.events, outcome[1].stats.events, outcome[0].stats.smooth_switches,
      outcome[1].stats.smooth_switches);
  EXPECT_LT(dp, 100.0);
  EXPECT_LT(dq, 1e-4);
  EXPECT_EQ(outcome[0].stats.steps, outcome[1].stats.steps);
  EXPECT_LT(outcome[0].stats.events, outcome[1].stats.events / 2);
  EXPECT_LT(50 * outcome[0].stats.events, outcome[0].stats.steps);
  EXPECT_GT(outcome[0].stats.smooth_switches, 1000);
  EXPECT_LT(grid[0].told, 100u);  // the restarts alone: no row for the thousands of smooth switches
}

}  // namespace
}  // namespace penstock::testing
