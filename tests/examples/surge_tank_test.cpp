// SPDX-License-Identifier: BSD-3-Clause
// examples/surge_tank.yaml against mass-oscillation theory: the tunnel a rigid column of length L
// and cross-section A_t, the tank of area A_s. After the valve shuts the level swings about the
// lake's level with T = 2π·√(L·A_s/(g·A_t)) and, without friction, the amplitude
// Z = v0·√(L·A_t/(g·A_s)).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "examples_support.hpp"

namespace penstock::testing {
namespace {

constexpr double kG = 9.81, kH = 80, kL = 1000, kTank = 50;
constexpr double kTunnel = 3.14 * 3.0 * 3.0 / 4;  // FlowLine's cross-section uses 3.14
constexpr double kPi = 3.141592653589793;

struct Swing {
  double z0 = 0, v0 = 0;
  std::vector<double> maxima;  // of the level above the lake, one per swing
  double period = 0;           // between the first two downward crossings of the lake's level
};

// Rows: t, tank.z, tunnel.q.
Swing measure(const ExampleRun& r) {
  Swing s;
  s.z0 = r.rows.front()[1];
  s.v0 = r.rows.front()[2] / kTunnel;
  double top = -1e300;
  bool rising = true;
  for (size_t i = 1; i < r.rows.size(); ++i) {
    const double z = r.rows[i][1] - kH;
    if (r.rows[i][0] < 12) continue;  // the valve is shutting
    if (rising && z < top) {
      s.maxima.push_back(top);
      rising = false;
    }
    if (!rising && z > r.rows[i - 1][1] - kH) rising = true, top = -1e300;
    if (rising) top = std::max(top, z);
  }
  const double t1 = crossing(r.rows, 1, kH, false, 12);
  const double t2 = crossing(r.rows, 1, kH, false, t1);
  s.period = t2 - t1;
  return s;
}

const double kPeriod = 2 * kPi * std::sqrt(kL * kTank / (kG * kTunnel));
const double kAmplitudePerVelocity = std::sqrt(kL * kTunnel / (kG * kTank));

TEST(SurgeTank, FrictionlessSwingHasTheTheoreticalPeriodAndAmplitude) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "FlowLine", "Tank", "Orifice");
  sim::Model model = load_text(replaced(example_text("surge_tank.yaml"), "lambda: 0.015", "lambda: 0"));
  const ExampleRun r = run(model, {"tank.z", "tunnel.q"});
  ASSERT_TRUE(r.outcome.complete) << r.outcome.error;
  const Swing s = measure(r);
  EXPECT_NEAR(s.z0, kH, 1e-6);  // no loss: the tank stands at the lake's level
  ASSERT_GE(s.maxima.size(), 2u);
  const double amplitude = kAmplitudePerVelocity * s.v0;
  std::printf(
      "frictionless: first swing %.4f m (theory %.4f m, error %+.3f %%), period %.3f s (theory %.3f s, error %+.3f "
      "%%)\n",
      s.maxima[0], amplitude, 100 * (s.maxima[0] / amplitude - 1), s.period, kPeriod, 100 * (s.period / kPeriod - 1));
  EXPECT_NEAR(s.maxima[0] / amplitude, 1, 0.01);
  EXPECT_NEAR(s.maxima[1] / amplitude, 1, 0.01);  // and it does not decay
  EXPECT_NEAR(s.period / kPeriod, 1, 0.01);
}

// With a quadratic tunnel loss the level starts h_f below the lake; the classical estimate of the
// first swing after a sudden full closure is Z·(1 − 2k/3 + k²/9), k = h_f/Z; later swings shrink.
TEST(SurgeTank, FrictionDampsTheSwing) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "FlowLine", "Tank", "Orifice");
  sim::Model model = sim::load_model(example_file("surge_tank.yaml"), catalogue());
  const ExampleRun r = run(model, {"tank.z", "tunnel.q"});
  ASSERT_TRUE(r.outcome.complete) << r.outcome.error;
  const Swing s = measure(r);
  const double amplitude = kAmplitudePerVelocity * s.v0;
  const double k = (kH - s.z0) / amplitude;
  EXPECT_GT(k, 0.05);  // the loss is large enough to matter
  const double estimate = amplitude * (1 - 2 * k / 3 + k * k / 9);
  ASSERT_GE(s.maxima.size(), 3u);
  std::printf(
      "with friction: h_f %.4f m, swings %.4f, %.4f, %.4f m (estimate of the first %.4f m, error %+.3f %%), period "
      "%.3f s\n",
      kH - s.z0, s.maxima[0], s.maxima[1], s.maxima[2], estimate, 100 * (s.maxima[0] / estimate - 1), s.period);
  EXPECT_NEAR(s.maxima[0] / estimate, 1, 0.01);
  EXPECT_LT(s.maxima[0], amplitude);
  EXPECT_LT(s.maxima[1], s.maxima[0]);
  EXPECT_LT(s.maxima[2], s.maxima[1]);
  EXPECT_NEAR(s.period / kPeriod, 1, 0.01);
}

}  // namespace
}  // namespace penstock::testing
