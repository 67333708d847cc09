// SPDX-License-Identifier: BSD-3-Clause
// Whole plants from model files: a penstock whose valve closes shows the water hammer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "../model/model_support.hpp"
#include "penstock/sim/output.hpp"

namespace penstock::testing {
namespace {

// 600 m of 1.2 m pipe in 20 sections, 100 m of head, the valve closing in 0.2 s from 1 s.
// Joukowsky: the pressure at the valve rises by ρ·a·v0 over the static head, and holds for the
// wave's round trip 2·L/a = 1.2 s.
TEST(Plant, ClosingValveOnAPenstockShowsTheWaterHammer) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  sim::Model model = sim::load_model(data_file("penstock.yaml"), catalogue());
  sim::Recorder recorder(*model.system, {"gate.q", "penstock[20].p_cd"});
  recorder.keep_rows(true);
  const sim::Outcome outcome = sim::simulate(*model.system, model.run, recorder);
  ASSERT_TRUE(outcome.complete) << outcome.error;
  const auto& rows = recorder.kept();
  const double q0 = rows.front()[1];
  const double v0 = q0 / (3.141592653589793 * 1.2 * 1.2 / 4);
  const double static_head = 1000 * 9.81 * 100;
  const double joukowsky = 1000 * 1000 * v0;
  EXPECT_NEAR(q0, 16.25, 0.05);
  double peak = 0;
  for (const auto& r : rows)
    if (r[0] > 1.0 && r[0] < 2.2) peak = std::max(peak, r[2]);
  EXPECT_GT(peak, static_head + 0.95 * joukowsky);
  EXPECT_LT(peak, static_head + 1.15 * joukowsky);  // the lumped chain overshoots a little
  for (const auto& r : rows) {
    if (r[0] > 1.5 && r[0] < 2.1) {
      EXPECT_GT(r[2], static_head + 0.9 * joukowsky) << "t = " << r[0];
    }
    if (r[0] > 2.4 && r[0] < 3.2) {
      EXPECT_LT(r[2], 0.0) << "t = " << r[0];  // the reflected wave
    }
    if (r[0] > 1.3) {
      EXPECT_LT(std::abs(r[1]), 0.01 * q0);
    }
  }
  EXPECT_GT(outcome.stats.mode_changes, 0);  // flows reverse in the ringing line
}

}  // namespace
}  // namespace penstock::testing
