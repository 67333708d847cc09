// SPDX-License-Identifier: BSD-3-Clause
// A model given as text and changed before it is assembled, as a script changes it: each change
// goes where the file would say it, and a fault of a change is told as one of the file, its place
// the change.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model_support.hpp"
#include "penstock/sim/output.hpp"

namespace penstock::testing {
namespace {

using Kind = sim::Override::Kind;

constexpr const char* kPlant = R"(fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6, bulk: 2.1e9, alpha: 0}
components:
  lake: {type: Headwater, parameters: {h: 100 m}}
  pipe: {type: Pipe, count: 3, parameters: {dx: 30 m, Din: 1.2 m, lambda: 0.018, a: 1000 m/s}}
  gate: {type: valve, parameters: {Din: 1.2 m}}
connections: [[lake.B, ref], [lake.A, pipe.A], {node: end, ports: [pipe.B, gate.A]}, [gate.B, ref]]
signals:
  gate.ksi: {ramp: {start: 1 s, duration: 0.2 s, from: 0.5, to: 1e8}}
run: {stop: 10 s, record: [gate.q]}
)";

sim::Model load(const std::vector<sim::Override>& changes, sim::CheckReport* report = nullptr) {
  return sim::load_model_text(kPlant, "plant.yaml", catalogue(), changes, report);
}

std::string error_of(const std::vector<sim::Override>& changes) {
  try {
    load(changes);
  } catch (const sim::ModelError& e) {
    return e.what();
  }
  return "";
}

TEST(LoadedFromText, IsTheModelOfTheSameFile) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  const sim::Model text = load({});
  const sim::Model file = sim::load_model(write_model(kPlant), catalogue());
  EXPECT_EQ(text.file, "plant.yaml");
  EXPECT_EQ(text.system->variable_names(), file.system->variable_names());
  EXPECT_EQ(text.run.record, file.run.record);
  EXPECT_EQ(text.run.stop_time, 10.0);
}

TEST(LoadedFromText, ASyntaxErrorIsAtItsLineOfTheText) {
  try {
    sim::load_model_text("components:\n  a: {type: Pipe\n", "typed.yaml", catalogue());
    FAIL() << "loaded";
  } catch (const sim::ModelError& e) {
    EXPECT_EQ(e.where().file, "typed.yaml");
    EXPECT_EQ(e.where().line, 3);
    EXPECT_NE(std::string(e.what()).find("YAML syntax"), std::string::npos) << e.what();
  }
}

TEST(Overrides, GoWhereTheFileWouldSayThem) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  sim::CheckReport report;
  const sim::Model m = load({{Kind::value, "run.stop", "4 s"},
                             {Kind::value, "run.output", "0.5"},
                             {Kind::value, "run.record", "[gate.q, end.p, 'pipe[2].q_ac']"},
                             {Kind::value, "run.tolerances.pressure", "5 Pa"},
                             {Kind::value, "lake.h", "50 m"},
                             {Kind::value, "fluid.density", "998"},
                             {Kind::value, "run.start", "steady"}},
                            &report);
  EXPECT_EQ(m.run.stop_time, 4.0);
  EXPECT_EQ(m.run.output_interval, 0.5);
  EXPECT_EQ(m.run.record, (std::vector<std::string>{"gate.q", "end.p", "pipe[2].q_ac"}));
  EXPECT_EQ(m.run.start, sim::RunSettings::Start::steady);
  ASSERT_TRUE(m.density);
  EXPECT_EQ(*m.density, 998.0);
  EXPECT_TRUE(report.warnings.empty());
}

TEST(Overrides, ALaterChangeOfANameReplacesAnEarlierOne) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  const sim::Model m = load({{Kind::value, "run.stop", "4 s"}, {Kind::value, "run.stop", "6 s"}});
  EXPECT_EQ(m.run.stop_time, 6.0);
}

TEST(Overrides, AnInputTakesASignalEitherWay) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  for (const Kind kind : {Kind::value, Kind::signal}) {
    sim::Model m = load({{kind, "gate.ksi", "{step: {at: 0.5 s, from: 1, to: 2}}"}, {Kind::value, "run.stop", "1 s"}});
    // The file's ramp starts at 1 s; the step replaces it: its jump is the one breakpoint.
    EXPECT_EQ(m.system->breakpoints(), std::vector<double>{0.5});
  }
}

struct ChangeFault {
  const char* name;
  sim::Override change;
  const char* message;
};

class OverrideFault : public ::testing::TestWithParam<ChangeFault> {};

TEST_P(OverrideFault, IsToldAtTheChange) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  const std::string error = error_of({GetParam().change});
  EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Faults, OverrideFault, ::testing::Values(
    ChangeFault{"OutOfItsDomain", {Kind::value, "pipe.a", "-5 m/s"},
                "plant.yaml (set pipe.a = -5 m/s): error: 'pipe' (Pipe): parameter 'a'"},
    ChangeFault{"WrongDimension", {Kind::value, "pipe.dx", "3 bar"},
                "plant.yaml (set pipe.dx = 3 bar): error: parameter 'dx' of Pipe is in m, and '3 bar' is a pressure"},
    ChangeFault{"UnknownParameter", {Kind::value, "gate.Dn", "1"},
                "plant.yaml (set gate.Dn = 1): error: 'Dn' is not a parameter of valve; did you mean 'Din'?"},
    ChangeFault{"UnknownComponent", {Kind::value, "gates.Din", "1"},
                "plant.yaml (set gates.Din = 1): error: no component named 'gates'; did you mean 'gate'?"},
    ChangeFault{"NoName", {Kind::value, "stop", "1"}, "'stop' names nothing to change"},
    ChangeFault{"UnknownRunKey", {Kind::value, "run.stpo", "1"},
                "plant.yaml (set run.stpo = 1): error: unknown key 'stpo' in run; did you mean 'stop'?"},
    ChangeFault{"ASection", {Kind::value, "pipe[2].dx", "1"}, "the sections of a chain share their parameters: set pipe.dx"},
    ChangeFault{"NotAnInput", {Kind::signal, "gate.Din", "1"},
                "plant.yaml (signal gate.Din = 1): error: 'Din' of gate (valve) cannot be driven by a signal"},
    ChangeFault{"BadSignal", {Kind::signal, "gate.ksi", "{ramp: {start: 1 s, from: 0, to: 1}}"},
                "(signal gate.ksi = {ramp: {start: 1 s, from: 0, to: 1}}): error: a ramp needs 'duration'"},
    ChangeFault{"NotYaml", {Kind::value, "lake.h", "{h: ["}, "(set lake.h = {h: [): error: the value is not YAML"},
    ChangeFault{"Empty", {Kind::value, "lake.h", ""}, "(set lake.h = ): error: no value given"},
    ChangeFault{"UnknownRecorded", {Kind::value, "run.record", "[gate.qq]"},
                "(set run.record = [gate.qq]): error: 'gate.qq' is not a variable of the model"}),
    [](const ::testing::TestParamInfo<ChangeFault>& p) { return std::string(p.param.name); });
// clang-format on

}  // namespace
}  // namespace penstock::testing
