// examples/water_hammer.yaml against the water hammer of a rigid valve closure on an elastic line:
// the first rise at the valve is Joukowsky's ρ·a·v0 over the steady pressure, and the pressure
// swings with the period 4·L/a of the wave's double round trip.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "examples_support.hpp"

namespace penstock::testing {
namespace {

constexpr double kRho = 1000, kA = 1200, kL = 600, kD = 0.5;
constexpr double kPi = 3.141592653589793;

// The valve closes from 0.1 s to 0.3 s. Between rows: t, gate.p, valve.q.
TEST(WaterHammer, PeakIsJoukowskyAndPeriodIsFourLOverA) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "Orifice");
  sim::Model model = sim::load_model(example_file("water_hammer.yaml"), catalogue());
  const ExampleRun r = run(model, {"gate.p", "valve.q"});
  ASSERT_TRUE(r.outcome.complete) << r.outcome.error;

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
  ASSERT_GT(t1, 0);
  ASSERT_GT(t2, 0) << "no second rise";
  const double period = t2 - t1;
  const double period_error = period / (4 * kL / kA) - 1;

  std::printf(
      "peak %.0f Pa (rise %.0f Pa, Joukowsky %.0f Pa, error %+.3f %%); period %.5f s (4L/a %.5f s, error %+.3f %%)\n",
      peak, peak - p0, rise, 100 * peak_error, period, 4 * kL / kA, 100 * period_error);
  EXPECT_LT(std::abs(peak_error), 0.03);
  EXPECT_LT(std::abs(period_error), 0.01);
}

}  // namespace
}  // namespace penstock::testing
