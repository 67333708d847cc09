// SPDX-License-Identifier: BSD-3-Clause
// What a model's wiring says beyond its balance of equations: every section of a chain named at
// once, the places along a chain, ports left open by mistake, parts of the network cut off from
// the reference, and parameters a component cannot work without.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model_support.hpp"

namespace penstock::testing {
namespace {

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string all(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\n";
  return s;
}

// A penstock of three sections to a valve.
constexpr const char* kChain = R"(fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6, bulk: 2.1e9, alpha: 0}
components:
  - {name: lake, type: Headwater, parameters: {h: 100 m}}
  - {name: pipe, type: Pipe, count: 3, parameters: {dx: 30 m, Din: 1.2 m, lambda: 0.018, a: 1000 m/s}}
  - {name: gate, type: valve, parameters: {Din: 1.2 m}}
connections:
  - [lake.B, ref]
  - [lake.A, pipe.A]
  - [pipe.B, gate.A]
  - [gate.B, ref]
signals:
  gate.ksi: 0.5
run:
  stop: 1 s
  record: [gate.q, "pipe[*].C.p"]
)";

TEST(EverySection, StandsForEachSectionInOrder) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  const sim::Model m = load_text(kChain);
  EXPECT_EQ(m.run.record, (std::vector<std::string>{"gate.q", "pipe[1].C.p", "pipe[2].C.p", "pipe[3].C.p"}));
  const sim::Model q = load_text(replaced(kChain, "\"pipe[*].C.p\"", "\"pipe[*].q_cb\""));
  EXPECT_EQ(q.run.record, (std::vector<std::string>{"gate.q", "pipe[1].q_cb", "pipe[2].q_cb", "pipe[3].q_cb"}));
}

TEST(EverySection, AWrongNameIsReportedWithItsPlace) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  struct Case {
    const char* to;
    const char* message;
  };
  for (const Case& c : {
           Case{"\"pipes[*].C.p\"", ":15:20: error: no chain of sections named 'pipes'; did you mean 'pipe'?"},
           Case{"\"lake[*].p\"", ":15:20: error: 'lake' is not a chain of sections (count:): write lake.p"},
           Case{"\"pipe[*]\"", ":15:20: error: 'pipe[*]' is not a variable of every section"},
           Case{"\"pipe[*].X.p\"",
                ":15:20: error: 'pipe[*].X.p' stands for 'pipe[1].X.p', which is not a variable "
                "of the model; did you mean"},
       }) {
    const std::string error = load_error(replaced(kChain, "\"pipe[*].C.p\"", c.to));
    EXPECT_NE(error.find(c.message), std::string::npos) << c.to << ": " << error;
  }
}

TEST(ChainProfile, PlacesAlongAChainOfPipesAreTheSumsOfTheirLengths) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  const sim::Model m = load_text(replaced(kChain, "stop: 1 s", "stop: 1 s\n  envelope: [pipe]"));
  ASSERT_EQ(m.profiles.size(), 1U);
  const sim::ChainProfile& p = m.profiles[0];
  EXPECT_EQ(p.chain, "pipe");
  EXPECT_DOUBLE_EQ(p.rho_g, 1000 * 9.81);
  // End A, then each section's middle node C and its end B.
  const std::vector<std::string> names{"pipe[1].A.p", "pipe[1].C.p", "pipe[1].B.p", "pipe[2].C.p",
                                       "pipe[2].B.p", "pipe[3].C.p", "pipe[3].B.p"};
  ASSERT_EQ(p.nodes.size(), names.size());
  double dx_sum = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(p.nodes[i].pressure, names[i]);
    if (i % 2 == 0) {
      EXPECT_DOUBLE_EQ(p.nodes[i].x, dx_sum);
      dx_sum += 30;
    } else {
      EXPECT_DOUBLE_EQ(p.nodes[i].x, dx_sum - 15);
    }
    EXPECT_EQ(p.nodes[i].z, 0.0);
  }
  EXPECT_DOUBLE_EQ(p.nodes.back().x, 90.0);
}

TEST(ChainProfile, ALineWithoutAMiddleNodeHasItsJointsAndBadNamesAreErrors) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "FlowLine", "valve");
  const std::string lines = replaced(
      kChain, "{name: pipe, type: Pipe, count: 3, parameters: {dx: 30 m, Din: 1.2 m, lambda: 0.018, a: 1000 m/s}}",
      "{name: pipe, type: FlowLine, count: 4, parameters: {Length: 25 m, Din: 1.2 m, lambda: 0.018}}");
  const sim::Model m = load_text(
      replaced(replaced(lines, "\"pipe[*].C.p\"", "\"pipe[*].q\""), "stop: 1 s", "stop: 1 s\n  envelope: [pipe]"));
  ASSERT_EQ(m.profiles.size(), 1U);
  ASSERT_EQ(m.profiles[0].nodes.size(), 5U);
  for (size_t i = 0; i < 5; ++i) EXPECT_DOUBLE_EQ(m.profiles[0].nodes[i].x, 25.0 * static_cast<double>(i));
  EXPECT_EQ(m.profiles[0].nodes[4].pressure, "pipe[4].B.p");

  const std::string error = load_error(replaced(kChain, "stop: 1 s", "stop: 1 s\n  envelope: [pipes]"));
  EXPECT_NE(error.find(":15:14: error: 'pipes' is neither a WavePipe nor a chain of sections (count:) of the model; "
                       "did you mean 'pipe'?"),
            std::string::npos)
      << error;
}

// Two branches from a penstock: an upper and a lower valve, both to the tail water.
constexpr const char* kTwoBranches = R"(fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6, bulk: 2.1e9, alpha: 0}
components:
  - {name: lake, type: Headwater, parameters: {h: 100 m}}
  - {name: pipe, type: Pipe, count: 2, parameters: {dx: 30 m, Din: 1.2 m, lambda: 0.018, a: 1000 m/s}}
  - {name: upper, type: valve, parameters: {Din: 0.8 m}}
  - {name: lower, type: valve, parameters: {Din: 0.8 m}}
connections:
  - [lake.B, ref]
  - [lake.A, pipe.A]
  - {node: fork, ports: [pipe.B, upper.A, lower.A]}
  - [upper.B, ref]
  - [lower.B, ref]
signals:
  upper.ksi: 0.5
  lower.ksi: 0.5
run:
  stop: 1 s
)";

TEST(Topology, ACleanPlantHasNoWarnings) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  sim::CheckReport report;
  load_text(kTwoBranches, &report);
  EXPECT_TRUE(report.warnings.empty()) << all(report.warnings);
}

TEST(Topology, APortLeftUnconnectedIsAWarningAtItsComponent) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  sim::CheckReport report;
  load_text(replaced(kTwoBranches, "  - [lower.B, ref]\n", ""), &report);
  ASSERT_EQ(report.warnings.size(), 1U) << all(report.warnings);
  EXPECT_NE(report.warnings[0].find(":6:12: warning: port 'lower.B' of 'lower' (valve) is left unconnected: it is a "
                                    "node of its own, and no flow passes it; connect it (to ref for the reference)"),
            std::string::npos)
      << report.warnings[0];
}

TEST(Topology, APartWithNoPathToTheReferenceIsAWarningNamingItsComponents) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  sim::CheckReport report;
  // The lake's B and the valves' B joined in a node of their own instead of the reference.
  load_text(
      replaced(replaced(replaced(kTwoBranches, "[lake.B, ref]", "{node: tail, ports: [lake.B, upper.B, lower.B]}"),
                        "  - [upper.B, ref]\n", ""),
               "  - [lower.B, ref]\n", ""),
      &report);
  const std::string text = all(report.warnings);
  // No warning: the lake, the valves and the tail node reach the reference through the pipe's
  // compliance, its D on the reference.
  EXPECT_EQ(report.warnings.size(), 0U) << text;

  sim::CheckReport cut;
  // A spur of two lines wired to each other alone.
  load_text(replaced(replaced(kTwoBranches, "  - {name: lower,",
                              "  - {name: spur, type: FlowLine, parameters: {Length: 10 m, Din: 0.5 m, lambda: 0.02}}\n"
                              "  - {name: loop, type: FlowLine, parameters: {Length: 10 m, Din: 0.5 m, lambda: 0.02}}\n"
                              "  - {name: lower,"),
                     "  - [lower.B, ref]\n", "  - [lower.B, ref]\n  - [spur.B, loop.A]\n  - [loop.B, spur.A]\n"),
            &cut);
  ASSERT_EQ(cut.warnings.size(), 1U) << all(cut.warnings);
  EXPECT_NE(cut.warnings[0].find(":6:12: warning: components spur, loop form a part of the network with no path to "
                                 "the reference"),
            std::string::npos)
      << cut.warnings[0];
}

TEST(RequiredParameters, AreErrorsWhenMissing) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  const std::string valve = load_error(
      replaced(kTwoBranches, "{name: lower, type: valve, parameters: {Din: 0.8 m}}", "{name: lower, type: valve}"));
  EXPECT_NE(valve.find(":6:25: error: 'lower' (valve) needs parameter 'Din' (inner diameter), which must be positive"),
            std::string::npos)
      << valve;
  const std::string lake = load_error(
      replaced(kTwoBranches, "{name: lake, type: Headwater, parameters: {h: 100 m}}", "{name: lake, type: Headwater}"));
  EXPECT_NE(lake.find(":3:24: error: 'lake' (Headwater) needs parameter 'h' (water level (head)): it cannot work "
                      "without it; give it under parameters in m"),
            std::string::npos)
      << lake;
}

}  // namespace
}  // namespace penstock::testing
