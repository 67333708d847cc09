// SPDX-License-Identifier: BSD-3-Clause
// The envelope of a chain of pipe sections: the extremes along it are those of the same run's
// recorded pressures, place by place, with their times.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "../model/model_support.hpp"
#include "penstock/sim/output.hpp"
#include "penstock/sim/profile.hpp"

namespace penstock::testing {
namespace {

// 300 m of 1.2 m pipe in 10 sections; the valve closes in 0.2 s from 0.1 s.
constexpr const char* kPlant = R"(fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6, bulk: 2.1e9, alpha: 0}
components:
  - {name: lake, type: Headwater, parameters: {h: 100 m}}
  - {name: penstock, type: Pipe, count: 10, parameters: {dx: 30 m, Din: 1.2 m, lambda: 0.018, a: 1000 m/s}}
  - {name: gate, type: valve, parameters: {Din: 1.2 m}}
connections:
  - [lake.B, ref]
  - [lake.A, penstock.A]
  - {node: end, ports: [penstock.B, gate.A]}
  - [gate.B, ref]
signals:
  gate.ksi: {ramp: {start: 0.1 s, duration: 0.2 s, from: 0.5, to: 1e8}}
run:
  stop: 1 s
  output: 0.005 s
  start: steady
  record: ["penstock[*].C.p", end.p, lake.A.p]
  envelope: [penstock]
  tolerances: {relative: 1e-6, pressure: 100 Pa, flow: 1e-4}
)";

TEST(ChainEnvelope, HoldsTheRecordedExtremesOfEachPlace) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  sim::Model model = load_text(kPlant);
  ASSERT_EQ(model.profiles.size(), 1U);
  sim::Recorder recorder(*model.system, model.run.record);
  sim::ChainEnvelopes chains(*model.system, model.profiles, recorder);
  const sim::Outcome outcome = sim::simulate(*model.system, model.run, chains);
  ASSERT_TRUE(outcome.complete) << outcome.error;
  const std::vector<sim::PipeEnvelope> envelopes = chains.envelopes();
  ASSERT_EQ(envelopes.size(), 1U);
  const sim::PipeEnvelope& e = envelopes[0];
  EXPECT_EQ(e.pipe, "penstock");
  ASSERT_EQ(e.nodes.size(), 21U);

  auto expect_node = [&](size_t node, size_t column) {
    const sim::Extreme& x = recorder.extremes()[column];
    const sim::PipeEnvelope::Node& n = e.nodes[node];
    SCOPED_TRACE(recorder.names()[column]);
    EXPECT_EQ(n.p_min, x.min);
    EXPECT_EQ(n.t_p_min, x.t_min);
    EXPECT_EQ(n.p_max, x.max);
    EXPECT_EQ(n.t_p_max, x.t_max);
    EXPECT_DOUBLE_EQ(n.h_min, x.min / (1000 * 9.81));
    EXPECT_DOUBLE_EQ(n.h_max, x.max / (1000 * 9.81));
    EXPECT_EQ(n.t_h_max, x.t_max);
  };
  // Section k's middle node C is node 2k - 1, at (k - 1/2)·dx.
  for (size_t k = 1; k <= 10; ++k) {
    expect_node(2 * k - 1, k - 1);
    EXPECT_DOUBLE_EQ(e.nodes[2 * k - 1].x, (static_cast<double>(k) - 0.5) * 30);
  }
  expect_node(20, 10);  // the valve's end
  expect_node(0, 11);   // the lake's end
  EXPECT_DOUBLE_EQ(e.nodes[20].x, 300.0);
  // The water hammer: the highest pressure at the valve, the lowest-varying at the lake.
  EXPECT_GT(e.nodes[20].p_max, e.nodes[1].p_max);
  EXPECT_GT(e.nodes[20].t_p_max, 0.1);

  // Below the vapour pressure somewhere along it: the chain is named as such, at its lowest place.
  double lowest = e.nodes[0].p_min;
  for (const auto& n : e.nodes) lowest = std::min(lowest, n.p_min);
  const std::vector<std::string> warnings = sim::vapour_warnings(envelopes, lowest + 1);
  ASSERT_EQ(warnings.size(), 1U);
  EXPECT_EQ(warnings[0].rfind("chain 'penstock': the pressure falls to", 0), 0U) << warnings[0];
  EXPECT_TRUE(sim::vapour_warnings(envelopes, lowest).empty());
}

}  // namespace
}  // namespace penstock::testing
