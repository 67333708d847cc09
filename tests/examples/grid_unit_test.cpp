// SPDX-License-Identifier: BSD-3-Clause
// examples/grid_unit.yaml: a shaft driven at 310 → 318 → 310 → 318 rad/s (1 rad/s²) through the
// synchronous speed n_syn. Every switching of the two machines must fall on the edge of its
// window, at the time the ramp takes the speed there.
#include <gtest/gtest.h>

#include <cmath>

#include "examples_support.hpp"

namespace penstock::testing {
namespace {

constexpr double kSyn = 314.159, kToler = 0.5, kK = 2e5;
enum Column { time, speed, machine_t, alternator_t, machine_on, machine_control, alternator_on };

// The speed of the drive's table at t: 310 + t up to 8 s, back down to 310 at 16 s, up again.
double ramp_time_up(double w, double from) { return from + (w - 310); }
double ramp_time_down(double w) { return 8 + (318 - w); }

// The first time after `after` at which column k changes to `value`: the event row after the
// switch, or -1.
double switch_time(const ExampleRun& r, size_t k, double value, double after = -1) {
  for (size_t i = 1; i < r.rows.size(); ++i)
    if (r.rows[i][0] > after && r.rows[i - 1][k] != value && r.rows[i][k] == value) return r.rows[i][0];
  return -1;
}

ExampleRun run_example() {
  sim::Model model = sim::load_model(example_file("grid_unit.yaml"), catalogue());
  ExampleRun r =
      run(model, {"shaft.w", "machine.t", "alternator.t", "machine.on_grid", "machine.control", "alternator.on_grid"});
  EXPECT_TRUE(r.outcome.complete) << r.outcome.error;
  return r;
}

TEST(GridUnit, GridMachineConnectsAtSynchronousSpeedAndTripsForGoodBelowIt) {
  PENSTOCK_REQUIRE_COMPONENTS("GridMachine", "Alternator", "SpeedSource");
  const ExampleRun r = run_example();
  // Connects where the rising speed enters [n_syn, n_syn + n_toler): at its lower edge.
  EXPECT_NEAR(switch_time(r, machine_on, 1), ramp_time_up(kSyn, 0), 1e-6);
  // Trips on negative torque where the falling speed passes n_syn, and the latch holds.
  const double trip = switch_time(r, machine_control, 0);
  EXPECT_NEAR(trip, ramp_time_down(kSyn), 1e-6);
  EXPECT_NEAR(switch_time(r, machine_on, 0), trip, 1e-9);
  // The speed passes the window again from 16 + 4.159 s: it stays off, torque-free.
  EXPECT_EQ(switch_time(r, machine_on, 1, trip), -1);
  for (const auto& row : r.rows) {
    if (row[machine_on] == 1) {
      EXPECT_NEAR(row[machine_t], kK * (row[speed] - kSyn), 1e-6 * kK) << "t = " << row[time];
      EXPECT_GE(row[speed], kSyn - 1e-9) << "on the grid below synchronous speed at t = " << row[time];
    } else {
      EXPECT_NEAR(row[machine_t], 0, 1e-3) << "t = " << row[time];  // to the solver's tolerance
    }
  }
  ASSERT_GT(r.rows.back()[time], ramp_time_up(kSyn + kToler, 16));  // the run passes the window again
}

TEST(GridUnit, AlternatorStaysOnOnceConnected) {
  PENSTOCK_REQUIRE_COMPONENTS("GridMachine", "Alternator", "SpeedSource");
  const ExampleRun r = run_example();
  const double on = switch_time(r, alternator_on, 1);
  ASSERT_GT(on, 0);
  EXPECT_EQ(switch_time(r, alternator_on, 0, on), -1);  // leaving the window does not disconnect it
  for (const auto& row : r.rows) {
    if (row[alternator_on] == 1) {
      EXPECT_NEAR(row[alternator_t], kK * (row[speed] - kSyn), 1e-6 * kK) << "t = " << row[time];
    }
  }
}

// The alternator's window is open on both sides: it connects where the rising speed reaches
// n_syn − n_toler, at 3.659 s. Disabled: the solver renews the flags at a root with the state on
// which the zero-crossing signal n_toler − |w − n_syn| evaluates to exactly 0, where the strict
// test n_toler > |d| still reads "outside", and IDA then sets the zero signal aside; the flag is
// renewed only at the next event, the grid machine's at 4.159 s. Enable once the solver renews
// flags as they are just past a root.
TEST(GridUnit, AlternatorConnectsAtTheLowerEdgeOfItsWindow) {
  PENSTOCK_REQUIRE_COMPONENTS("GridMachine", "Alternator", "SpeedSource");
  const ExampleRun r = run_example();
  EXPECT_NEAR(switch_time(r, alternator_on, 1), ramp_time_up(kSyn - kToler, 0), 1e-6);
}

// Only syn_enable ≠ 1 takes the alternator off the grid: dropped at 14 s, it must disconnect
// there. The signal 1 − syn_enable sits at exactly 0 before the jump, so no root marks it: the
// solver renews the flags just past the jump itself.
TEST(GridUnit, AlternatorLeavesTheGridWhenSynchronisationIsDisabled) {
  PENSTOCK_REQUIRE_COMPONENTS("GridMachine", "Alternator", "SpeedSource");
  sim::Model model = load_text(replaced(example_text("grid_unit.yaml"), "alternator.syn_enable: 1",
                                        "alternator.syn_enable: {step: {at: 14, from: 1, to: 0}}"));
  const ExampleRun r =
      run(model, {"shaft.w", "machine.t", "alternator.t", "machine.on_grid", "machine.control", "alternator.on_grid"});
  ASSERT_TRUE(r.outcome.complete) << r.outcome.error;
  EXPECT_NEAR(switch_time(r, alternator_on, 0), 14, 1e-6);
}

}  // namespace
}  // namespace penstock::testing
