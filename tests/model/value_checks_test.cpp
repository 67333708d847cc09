// SPDX-License-Identifier: BSD-3-Clause
// Values that read as numbers but make no sense for what they are given for: a diameter that is
// not positive, a time in bar, a number too large once in SI, a hexadecimal or a list where one
// decimal is meant, a tolerance outside any useful range, a key given twice, a name that points
// nowhere. Each is an error at its place, naming what it is for and what would be right.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "model_support.hpp"

namespace penstock::testing {
namespace {

// A small valid plant, every kind of value in it; each case below breaks one.
constexpr const char* kPlant = R"(fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6, bulk: 2.1e9, alpha: 0}
components:
  - {name: lake, type: Headwater, parameters: {h: 100 m}}
  - {name: pipe, type: Pipe, count: 3, parameters: {dx: 30 m, Din: 1.2 m, lambda: 0.018, a: 1000 m/s}}
  - {name: gate, type: valve, parameters: {Din: 1.2 m}}
connections:
  - [lake.B, ref]
  - [lake.A, pipe.A]
  - {node: end, ports: [pipe.B, gate.A], start: 9.81e5}
  - [gate.B, ref]
signals:
  gate.ksi: {ramp: {start: 1 s, duration: 0.2 s, from: 0.5, to: 1e8}}
start: {gate.q: 1.2}
run:
  stop: 10 s
  output: 0.01 s
  tolerances: {relative: 1e-6, pressure: 100 Pa}
  record: [gate.q]
)";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(ValueChecks, ThePlantLoadsWithoutWarnings) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  sim::CheckReport report;
  load_text(kPlant, &report);
  EXPECT_TRUE(report.warnings.empty()) << report.warnings.front();
}

struct Fault {
  const char* name;
  const char* from;  // text of kPlant to replace
  const char* to;
  const char* message;  // expected in the error, place included
};

class ValueFault : public ::testing::TestWithParam<Fault> {};

TEST_P(ValueFault, IsReportedWithItsPlace) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  const Fault& f = GetParam();
  const std::string error = load_error(replaced(kPlant, f.from, f.to));
  EXPECT_NE(error.find(f.message), std::string::npos) << error;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Domains, ValueFault, ::testing::Values(
    Fault{"NegativeDiameter", "{Din: 1.2 m}", "{Din: -0.4 m}",
          ":5:49: error: 'gate' (valve): parameter 'Din', the inner diameter, must be positive, not -0.4 m"},
    Fault{"ZeroDiameter", "{Din: 1.2 m}", "{Din: 0}",
          ":5:49: error: 'gate' (valve): parameter 'Din', the inner diameter, must be positive, not 0 m"},
    Fault{"MissingDiameter", "parameters: {Din: 1.2 m}", "parameters: {}",
          ":5:24: error: 'gate' (valve) needs parameter 'Din' (inner diameter), which must be positive: give it under "
          "parameters (the plug-in would read 0)"},
    Fault{"NegativeFriction", "lambda: 0.018", "lambda: -0.018",
          ":4:83: error: 'pipe' (Pipe): parameter 'lambda', the Darcy friction factor, must be non-negative, not "
          "-0.018"},
    Fault{"ZeroWaveSpeedOfAChain", "a: 1000 m/s", "a: 0 m/s",
          ":4:93: error: 'pipe' (Pipe): parameter 'a', the pressure-wave speed, must be positive, not 0 m/s"},
    Fault{"PortDensityGivenAsZero", "{h: 100 m}", "{h: 100 m, A.density: 0}",
          ":3:69: error: 'lake' (Headwater): parameter 'A.density', the fluid density, must be positive, not 0 kg/m3"},
    Fault{"NoFluid", "fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6, bulk: 2.1e9, alpha: 0}\n", "",
          ":2:24: error: 'lake' (Headwater) needs parameter 'A.density' (fluid density), which must be positive: give "
          "it under parameters or in the model's fluid"},
    Fault{"ZeroDensity", "density: 1000 kg/m3", "density: 0",
          ":1:18: error: the fluid's density must be positive, not 0 kg/m3"},
    Fault{"ZeroBulkModulus", "bulk: 2.1e9", "bulk: 0 Pa", ":1:57: error: the fluid's bulk must be positive, not 0 Pa"},
    Fault{"NegativeViscosity", "viscosity_kin: 1e-6", "viscosity_kin: -1e-6",
          ":1:45: error: the fluid's viscosity_kin must be non-negative, not -1e-06 m2/s"}),
    [](const ::testing::TestParamInfo<Fault>& fault) { return std::string(fault.param.name); });

INSTANTIATE_TEST_SUITE_P(Units, ValueFault, ::testing::Values(
    Fault{"DensityInMetres", "density: 1000 kg/m3", "density: 1000 m",
          ":1:18: error: fluid density is in kg/m3, and '1000 m' is a length"},
    Fault{"StopInBar", "stop: 10 s", "stop: 4 bar", ":15:9: error: stop is in s, and '4 bar' is a pressure"},
    Fault{"OutputInMetres", "output: 0.01 s", "output: 1 m", ":16:11: error: output is in s, and '1 m' is a length"},
    Fault{"PressureToleranceAsAFlow", "pressure: 100 Pa", "pressure: 1 l/s",
          ":17:42: error: tolerance pressure is in Pa, and '1 l/s' is a flow"},
    Fault{"RelativeToleranceWithAUnit", "relative: 1e-6", "relative: 1e-6 s",
          ":17:26: error: tolerance relative is a pure number, and '1e-6 s' is a time"},
    Fault{"NodeStartAsAFlow", "start: 9.81e5}", "start: 5 l/s}",
          ":9:49: error: a node's start value is in Pa, and '5 l/s' is a flow"},
    Fault{"VariableStartAsAPressure", "{gate.q: 1.2}", "{gate.q: 1.2 bar}",
          ":13:17: error: the start value of gate.q is in m3/s, and '1.2 bar' is a pressure"},
    Fault{"PortStartAsALength", "{gate.q: 1.2}", "{gate.A.p: 100 m}",
          ":13:19: error: the start value of gate.A.p is in Pa, and '100 m' is a length"},
    Fault{"RampDurationInBar", "duration: 0.2 s", "duration: 0.2 bar",
          ":12:43: error: a ramp duration is in s, and '0.2 bar' is a pressure"},
    Fault{"CountInMetres", "count: 3", "count: 3 m", ":4:37: error: count is a pure number, and '3 m' is a length"}),
    [](const ::testing::TestParamInfo<Fault>& fault) { return std::string(fault.param.name); });

INSTANTIATE_TEST_SUITE_P(Numbers, ValueFault, ::testing::Values(
    Fault{"InfiniteInMetres", "dx: 30 m", "dx: 1e306 km",
          ":4:57: error: parameter 'dx': '1e306 km' is too large: in SI units it is beyond the largest number"},
    Fault{"InfiniteInSeconds", "stop: 10 s", "stop: 1e308 h",
          ":15:9: error: stop: '1e308 h' is too large: in SI units it is beyond the largest number"},
    Fault{"BeyondDouble", "h: 100 m", "h: 1e400", ":3:51: error: parameter 'h': '1e400' is too large"},
    Fault{"Hexadecimal", "h: 100 m", "h: 0x32",
          ":3:51: error: parameter 'h': '0x32' is a hexadecimal number; write it in decimals"},
    Fault{"ListOfNumbers", "stop: 10 s", "stop: 1,2,3", ":15:9: error: stop: '1,2,3' is not one number"},
    Fault{"DecimalComma", "h: 100 m", "h: \"100,5 m\"", ":3:51: error: parameter 'h': '100,5 m' is not one number"},
    Fault{"RunTooLong", "  stop: 10 s\n", "  start_time: -1e308 s\n  stop: 1e308 s\n",
          ":16:9: error: the run from -1e+308 s to 1e+308 s is too long to compute"},
    Fault{"RampTooSteep", "from: 0.5, to: 1e8", "from: -1e308, to: 1e308",
          ":12:68: error: the ramp goes from -1e+308 to 1e+308, a change too large to compute with"},
    Fault{"SineTooLarge", "{ramp: {start: 1 s, duration: 0.2 s, from: 0.5, to: 1e8}}",
          "{sine: {amplitude: 1e308, frequency: 1 Hz, offset: 1e308}}",
          ":12:20: error: a sine's offset and amplitude are too large to add up"},
    Fault{"SineFrequencyAsASpeed", "{ramp: {start: 1 s, duration: 0.2 s, from: 0.5, to: 1e8}}",
          "{sine: {amplitude: 1, frequency: 3 rad/s, offset: 2}}",
          ":12:46: error: a sine frequency is in Hz, and '3 rad/s' is an angular speed"}),
    [](const ::testing::TestParamInfo<Fault>& fault) { return std::string(fault.param.name); });

// An expression that is not finite where the run starts; a later one stops the run (solver tests).
INSTANTIATE_TEST_SUITE_P(Expressions, ValueFault, ::testing::Values(
    Fault{"DivisionByZero", "{ramp: {start: 1 s, duration: 0.2 s, from: 0.5, to: 1e8}}",
          "{expression: \"0.1/(t-t)\"}",
          ":12:13: error: the signal for 'gate.ksi' is +inf at the start of the run, t = 0 s; a signal must stay "
          "finite"},
    Fault{"Overflow", "{ramp: {start: 1 s, duration: 0.2 s, from: 0.5, to: 1e8}}", "{expression: \"10^10^10\"}",
          ":12:13: error: the signal for 'gate.ksi' is +inf at the start of the run"},
    Fault{"RootOfANegative", "{ramp: {start: 1 s, duration: 0.2 s, from: 0.5, to: 1e8}}",
          "{expression: \"sqrt(-1)\"}", ":12:13: error: the signal for 'gate.ksi' is not a number at the start of the run"},
    Fault{"UndefinedWhereTheRunStarts", "{ramp: {start: 1 s, duration: 0.2 s, from: 0.5, to: 1e8}}\nstart: {gate.q: 1.2}\nrun:\n",
          "{expression: \"sqrt(1-t)\"}\nstart: {gate.q: 1.2}\nrun:\n  start_time: 2 s\n",
          ":12:13: error: the signal for 'gate.ksi' is not a number at the start of the run, t = 2 s"}),
    [](const ::testing::TestParamInfo<Fault>& fault) { return std::string(fault.param.name); });

INSTANTIATE_TEST_SUITE_P(Settings, ValueFault, ::testing::Values(
    Fault{"RelativeToleranceOfOne", "relative: 1e-6", "relative: 1",
          ":17:26: error: the relative tolerance must be from 1e-12 to 0.01, not 1"},
    Fault{"RelativeToleranceBelowRounding", "relative: 1e-6", "relative: 1e-15",
          ":17:26: error: the relative tolerance must be from 1e-12 to 0.01, not 1e-15"},
    Fault{"MaxStepThatNeverEnds", "  stop: 10 s\n", "  stop: 10 s\n  max_step: 1e-300\n",
          ":16:13: error: max_step 1e-300 s takes more than 1e+06 steps for the run's 10 s: give at least 1e-05 s, or "
          "0 for no limit"},
    Fault{"OutputThatNeverEnds", "output: 0.01 s", "output: 1e-300 s",
          ":16:11: error: an output interval of 1e-300 s makes more than 1e+09 rows of the run's 10 s: give at least "
          "1e-08 s"},
    Fault{"EventsNeitherChangesNorAll", "  stop: 10 s\n", "  stop: 10 s\n  events: every\n",
          ":16:11: error: events is changes (the switches that change the equations) or all (every switch of a "
          "component's flags), not 'every'"}),
    [](const ::testing::TestParamInfo<Fault>& fault) { return std::string(fault.param.name); });

INSTANTIATE_TEST_SUITE_P(Names, ValueFault, ::testing::Values(
    Fault{"StartOfAPortsUnknownVariable", "{gate.q: 1.2}", "{gate.A.zzz: 1}",
          ":13:9: error: port 'gate.A' has the variable 'p', not 'zzz'; write gate.A.p"},
    Fault{"StartOfANodesUnknownVariable", "{gate.q: 1.2}", "{end.w: 1}",
          ":13:9: error: node 'end' has the variable 'p', not 'w'; write end.p"},
    Fault{"SectionZeroOfAChain", "[lake.A, pipe.A]", "[lake.A, \"pipe[0].A\"]",
          ":8:14: error: sections are counted from 1: write pipe[1].A"},
    Fault{"SectionZeroOfAStartValue", "{gate.q: 1.2}", "{\"pipe[0].q_ac\": 1}",
          ":13:9: error: sections are counted from 1: write pipe[1].q_ac"},
    Fault{"KeyTwiceInParameters", "{h: 100 m}", "{h: 100 m, h: 50 m}",
          ":3:58: error: 'h' is given twice in this map (first at line 3): give each key once"},
    Fault{"SignalTwice", "  gate.ksi: {ramp", "  gate.ksi: 1\n  gate.ksi: {ramp",
          ":13:3: error: 'gate.ksi' is given twice in this map (first at line 12): give each key once"},
    Fault{"SectionTwice", "record: [gate.q]\n", "record: [gate.q]\nrun: {stop: 1 s}\n",
          ":19:1: error: 'run' is given twice in this map (first at line 14): give each key once"}),
    [](const ::testing::TestParamInfo<Fault>& fault) { return std::string(fault.param.name); });
// clang-format on

// Network descriptions say which values their parameters take; one that says it wrong is an error
// in the description, and so is a key given twice there.
class DescriptionFault : public ::testing::TestWithParam<Fault> {};

constexpr const char* kDescription = R"(component: Cell
ports: {A: hydraulic}
branches: {q: A -> ref}
parameters:
  Din: {unit: m, doc: inner diameter, domain: positive}
  reaches: {unit: 1, default: 10, domain: [1, 1e7]}
)";

// The description as Cell.yaml in a folder of the running test's own (tests run in parallel).
std::filesystem::path description_file(const std::string& text) {
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::filesystem::path file = std::filesystem::temp_directory_path() / "penstock_domain_test" /
                                     test->test_suite_name() / test->name() / "Cell.yaml";
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file) << text;
  return file;
}

TEST(DescriptionDomain, IsReadAndShownAsText) {
  const std::filesystem::path file = description_file(kDescription);
  const sim::Description d = sim::read_description(file);
  ASSERT_TRUE(d.parameter("Din")->domain && d.parameter("reaches")->domain);
  EXPECT_EQ(d.parameter("Din")->domain->text(), "positive");
  EXPECT_FALSE(d.parameter("Din")->domain->contains(0.0));
  EXPECT_EQ(d.parameter("reaches")->domain->text(), "from 1 to 1e+07");
  EXPECT_FALSE(d.parameter("reaches")->domain->contains(0.5));
}

// A control block: no ports, its inputs signals, its laws bending at its switches.
TEST(DescriptionBlock, WithoutPortsAndWithKinksIsRead) {
  const sim::Description block = sim::read_description(description_file(R"(component: Cell
kinks: true
signals: [u]
outputs: [y]
parameters:
  rate: {unit: 1/s, default: 2, domain: positive}
)"));
  EXPECT_TRUE(block.ports.empty());
  EXPECT_TRUE(block.kinks);
  EXPECT_EQ(block.parameter("rate")->unit, "1/s");
  EXPECT_FALSE(sim::read_description(description_file(kDescription)).kinks);
  EXPECT_FALSE(block.independent_switches);
  EXPECT_TRUE(
      sim::read_description(description_file("component: Cell\nindependent_switches: true\n")).independent_switches);
}

TEST_P(DescriptionFault, IsReportedWithItsPlace) {
  const Fault& f = GetParam();
  const std::filesystem::path file = description_file(replaced(kDescription, f.from, f.to));
  std::string error;
  try {
    sim::read_description(file);
  } catch (const sim::ModelError& e) {
    error = e.what();
  }
  EXPECT_NE(error.find(f.message), std::string::npos) << error;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Descriptions, DescriptionFault, ::testing::Values(
    Fault{"UnknownDomain", "domain: positive", "domain: postive",
          ":5:47: error: a domain is positive, non-negative or [low, high], not 'postive'; did you mean 'positive'?"},
    Fault{"EmptyRange", "domain: [1, 1e7]", "domain: [1e7, 1]", ":6:43: error: a domain range [low, high] has low <= high"},
    Fault{"DefaultOutsideItsDomain", "default: 10", "default: 0",
          ":6:31: error: the default of 'reaches' is outside its domain (from 1 to 1e+07)"},
    Fault{"KeyTwice", "  reaches:", "  Din: {unit: m}\n  reaches:",
          ":6:3: error: 'Din' is given twice in this map (first at line 5): give each key once"},
    Fault{"KinksNeitherTrueNorFalse", "parameters:", "kinks: sometimes\nparameters:",
          ":4:8: error: kinks is true or false, not 'sometimes'"},
    Fault{"IndependentSwitchesNeitherTrueNorFalse", "parameters:", "independent_switches: 2\nparameters:",
          ":4:23: error: independent_switches is true or false, not '2'"}),
    [](const ::testing::TestParamInfo<Fault>& fault) { return std::string(fault.param.name); });
// clang-format on

}  // namespace
}  // namespace penstock::testing
