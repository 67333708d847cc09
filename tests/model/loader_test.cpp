// SPDX-License-Identifier: BSD-3-Clause
// Every fault a model file can have, with the message a user sees: file, line, column, and what to
// do about it.
#include <gtest/gtest.h>

#include <string>

#include "model_support.hpp"

namespace penstock::testing {
namespace {

// A small valid plant; each case below breaks one thing in it.
constexpr const char* kPlant = R"(fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6, bulk: 2.1e9, alpha: 0}
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
  gate.ksi: {ramp: {start: 1 s, duration: 0.2 s, from: 0.5, to: 1e8}}
run:
  stop: 10 s
  record: [gate.q]
)";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(Loader, ThePlantLoads) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  sim::CheckReport report;
  const sim::Model m = load_text(kPlant, &report);
  EXPECT_TRUE(report.warnings.empty());
  EXPECT_EQ(m.run.stop_time, 10.0);
  EXPECT_EQ(m.run.record, std::vector<std::string>{"gate.q"});
  // lake.A, pipe[1].B, pipe[2].B, pipe.B = gate.A and three middle nodes C.
  EXPECT_EQ(report.nodes, 7U);
  // 7 node pressures, lake q p, 3 x 6 pipe variables, gate q p.
  EXPECT_EQ(report.unknowns, 7U + 2 + 18 + 2);
  EXPECT_EQ(report.differential, 9U);
}

struct Fault {
  const char* name;
  const char* from;  // text of kPlant to replace
  const char* to;
  const char* message;  // expected in the error, place included
};

class LoaderFault : public ::testing::TestWithParam<Fault> {};

TEST_P(LoaderFault, IsReportedWithItsPlace) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve", "GridMachine", "Manometer");
  const Fault& f = GetParam();
  const std::string error = load_error(replaced(kPlant, f.from, f.to));
  EXPECT_NE(error.find(f.message), std::string::npos) << error;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Faults, LoaderFault, ::testing::Values(
    Fault{"UnknownType", "type: valve", "type: vlave",
          ":5:24: error: unknown component type 'vlave'; did you mean 'valve'?"},
    Fault{"UnknownPort", "[pipe.B, gate.A]", "[pipe.B, gate.AA]",
          ":9:14: error: 'AA' is not a port of gate (valve); did you mean 'A'?; its ports are A, B"},
    Fault{"UnknownComponentInConnection", "[lake.A, pipe.A]", "[lake.A, pipes.A]",
          ":8:14: error: no component named 'pipes'; did you mean 'pipe'?"},
    Fault{"UnknownParameter", "{Din: 1.2 m}", "{Dn: 1.2 m}",
          ":5:44: error: 'Dn' is not a parameter of valve; did you mean 'Din'?"},
    Fault{"UnknownKey", "parameters: {h: 100 m}", "parameter: {h: 100 m}",
          ":3:35: error: unknown key 'parameter' in a component; did you mean 'parameters'?"},
    Fault{"UnknownUnit", "dx: 30 m", "dx: 30 mtr", ":4:57: error: parameter 'dx': unknown unit 'mtr'"},
    Fault{"WrongDimension", "dx: 30 m", "dx: 30 bar",
          ":4:57: error: parameter 'dx' of Pipe is in m, and '30 bar' is a pressure"},
    Fault{"NotANumber", "h: 100 m", "h: high", ":3:51: error: parameter 'h' must be a number, not 'high'"},
    Fault{"PortTwice", "  - [gate.B, ref]\n", "  - [gate.B, ref]\n  - [gate.B, lake.A]\n",
          ":11:6: error: port 'gate.B' is already connected at line 10"},
    Fault{"MissingSignal", "  gate.ksi: {ramp: {start: 1 s, duration: 0.2 s, from: 0.5, to: 1e8}}\n", "  {}\n",
          ":5:12: error: component 'gate' (valve) needs a signal for 'ksi': add it under signals, e.g. 'gate.ksi: 1'"},
    Fault{"SignalOnAVariable", "gate.ksi:", "gate.q:",
          ":12:3: error: 'q' of gate (valve) cannot be driven by a signal; its signal inputs are ksi"},
    Fault{"UnknownSignalKind", "{ramp: {start", "{rampe: {start",
          ":12:14: error: unknown kind of signal 'rampe'; did you mean 'ramp'?"},
    Fault{"BadExpression", "{ramp: {start: 1 s, duration: 0.2 s, from: 0.5, to: 1e8}}", "{expression: \"1 + tt\"}",
          ":12:13: error: the signal for 'gate.ksi' reads 'tt', which is not a variable of the model; did you mean "
          "'t'?"},
    Fault{"BrokenExpression", "{ramp: {start: 1 s, duration: 0.2 s, from: 0.5, to: 1e8}}", "{expression: \"1 + \"}",
          ":12:26: error: in the expression '1 + ': Unexpected end of expression"},
    Fault{"NegativeRamp", "duration: 0.2 s", "duration: -0.2 s",
          ":12:43: error: a ramp's duration must not be negative"},
    Fault{"UnknownRecord", "record: [gate.q]", "record: [gate.qq]",
          ":15:12: error: 'gate.qq' is not a variable of the model; did you mean 'gate.q'?"},
    Fault{"AmbiguousChainPort", "[pipe.B, gate.A]", "[pipe.C, gate.A]",
          ":9:6: error: pipe is a chain of 3 sections; name one, e.g. pipe[1].C"},
    Fault{"NoSuchSection", "[pipe.B, gate.A]", "[\"pipe[4].B\", gate.A]", ":9:6: error: pipe has sections 1 to 3"},
    Fault{"FractionalCount", "count: 3", "count: 2.5", ":4:37: error: count is a whole number of sections, at least 1"},
    Fault{"DuplicateName", "name: gate", "name: lake", ":5:12: error: a second component named 'lake'"},
    Fault{"StopBeforeStart", "stop: 10 s", "stop: -1 s", ":14:9: error: the stop time must come after the start time"},
    Fault{"UnknownStartMode", "  stop: 10 s\n", "  stop: 10 s\n  start: stedy\n",
          ":15:10: error: start is 'given' or 'steady', not 'stedy'; did you mean 'steady'?"},
    Fault{"UnknownStartVariable", "run:\n", "start: {gate.qq: 1}\nrun:\n",
          ":13:9: error: 'qq' is not a variable of gate (valve); did you mean 'q'?"},
    Fault{"UnquotedSection", "[pipe.B, gate.A]", "[pipe[3].B, gate.A]",
          ":9:10: error: YAML syntax: end of sequence flow not found; inside [...] a chain section is quoted: \"pipe[3].B\""},
    Fault{"YamlSyntax", "[lake.B, ref]", "[lake.B, ref", ":9:3: error: YAML syntax: illegal block entry"},
    Fault{"UnknownSection", "connections:\n", "conections:\n",
          ":6:1: error: unknown key 'conections' in a model file; did you mean 'connections'?"}),
    [](const ::testing::TestParamInfo<Fault>& fault) { return std::string(fault.param.name); });
// clang-format on

TEST(Loader, PortsOfTwoDomainsDoNotMeet) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "GridMachine");
  const std::string error = load_error(R"(fluid: {density: 1000}
components:
  lake: {type: Headwater, parameters: {h: 1}}
  gm: {type: GridMachine, parameters: {n_toler: 1, k: 1}}
connections:
  - [lake.A, gm.G]
)");
  EXPECT_NE(error.find(":6:14: error: cannot join 'gm.G' (rotational) to 'lake.A' (hydraulic): a node joins ports "
                       "of one domain"),
            std::string::npos)
      << error;
}

TEST(Loader, AnUnconnectedSensorIsNamed) {
  PENSTOCK_REQUIRE_COMPONENTS("Manometer");
  const std::string error = load_error("components:\n  gauge: {type: Manometer}\n");
  EXPECT_NE(error.find(":2:3: error: the equations do not determine the unknowns (4 unknowns, 4 equations)"),
            std::string::npos)
      << error;
  EXPECT_NE(error.find("port 'gauge.A' is not connected; connect it, or join it to 'ref'"), std::string::npos) << error;
}

TEST(Loader, TwoFlowSourcesInSeriesAreOverAndUnderDetermined) {
  PENSTOCK_REQUIRE_COMPONENTS("FlowSource");
  const std::string error = load_error(R"(components:
  one: {type: FlowSource}
  two: {type: FlowSource}
connections:
  - [one.B, ref]
  - {node: mid, ports: [one.A, two.B]}
  - [two.A, ref]
signals:
  one.q_set: 1
  two.q_set: 2
)");
  EXPECT_NE(error.find("(5 unknowns, 5 equations)"), std::string::npos) << error;
  EXPECT_NE(error.find("under-determined: too few equations for the variables of\n    node 'mid': mid.p"),
            std::string::npos)
      << error;
  EXPECT_NE(error.find("over-determined: more equations than variables in"), std::string::npos) << error;
  EXPECT_NE(error.find("node 'mid': node mid: balance of q"), std::string::npos) << error;
}

// A parameter whose domain holds 0 may be left out: the plug-in reads 0. One that must not be 0
// (a diameter, a density) is an error, in the value checks' table.
TEST(Loader, AMissingParameterThatMayBeZeroIsAWarning) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  sim::CheckReport report;
  load_text(replaced(kPlant, "lambda: 0.018, ", ""), &report);
  ASSERT_EQ(report.warnings.size(), 1U);
  EXPECT_NE(report.warnings[0].find(":4:24: warning: component 'pipe' (Pipe) does not give parameter 'lambda'; the "
                                    "plug-in reads 0"),
            std::string::npos)
      << report.warnings[0];
}

TEST(Loader, UnitsAreConvertedToSi) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  const sim::Model m = load_text(replaced(replaced(kPlant, "h: 100 m", "h: 10000 cm"), "to: 1e8", "to: 2 bar"));
  // The node pressure of the lake starts at 0 whatever the units; the signal is read in SI.
  std::vector<double> y(m.system->size()), yp(m.system->size());
  m.system->initial_values(y.data(), yp.data());
  std::vector<double> F(m.system->size());
  m.system->residual(5.0, y.data(), yp.data(), F.data());
  // Headwater: F = -(p - h·ρ·g) at p = 0: h·ρ·g = 100 m · 1000 · 9.81.
  const auto& eq = m.system->equation_names();
  const size_t row = static_cast<size_t>(std::find(eq.begin(), eq.end(), "lake: equation 0") - eq.begin());
  ASSERT_LT(row, eq.size());
  EXPECT_DOUBLE_EQ(F[row], (100.0 * 1000.0) * 9.81);
}

}  // namespace
}  // namespace penstock::testing
