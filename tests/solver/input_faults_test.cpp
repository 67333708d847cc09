// SPDX-License-Identifier: BSD-3-Clause
// Runs that go wrong because of what drives them, and say so: a signal that leaves the finite range
// part way names itself and the time; a run that fails at a component whose description knows the
// usual cause says what to do about it.
#include <gtest/gtest.h>

#include <string>

#include "../model/model_support.hpp"
#include "toy_dae.hpp"

namespace penstock::testing {
namespace {

sim::Outcome run(const std::string& text) {
  sim::Model model = load_text(text);
  Trace trace(model.system->size());
  return sim::simulate(*model.system, model.run, trace);
}

// A valve shut by a ramp at 1 s, with something added to its loss coefficient from some time on.
std::string valve_plant(const std::string& expression) {
  return R"(fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6, bulk: 2.1e9, alpha: 0}
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
  gate.ksi: {expression: ")" +
         expression + R"("}
run: {stop: 4 s}
)";
}

struct LateFault {
  const char* name;
  const char* expression;
  const char* message;
};

class SignalLeavingTheFiniteRange : public ::testing::TestWithParam<LateFault> {};

// The integrator fails on the residual the value makes, or goes on where a component makes a
// number of it; either way the run stops, and the message begins with the signal.
TEST_P(SignalLeavingTheFiniteRange, StopsTheRunNamingTheSignalAndTheTime) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  const LateFault& f = GetParam();
  const sim::Outcome outcome = run(valve_plant(f.expression));
  EXPECT_FALSE(outcome.complete);
  EXPECT_NE(outcome.error.find(f.message), std::string::npos) << outcome.error;
  EXPECT_LT(outcome.error.find(f.message), outcome.error.find("the integrator")) << outcome.error;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Expressions, SignalLeavingTheFiniteRange, ::testing::Values(
    LateFault{"RootOfANegative", "0.5 + 1e8*(t>1) + sqrt(2-t)",
              ":12:13: the signal for 'gate.ksi' is not a number at t = 2 s; a signal must stay finite"},
    LateFault{"DivisionByZero", "0.5 + 1e8*(t>1) + 1/(t<2) - 1",
              ":12:13: the signal for 'gate.ksi' is +inf at t = 2 s; a signal must stay finite"},
    LateFault{"Overflow", "0.5 + 1e8*(t>1) + 10^(400*(t>2))",
              ":12:13: the signal for 'gate.ksi' is +inf at t = 2 s; a signal must stay finite"}),
    [](const ::testing::TestParamInfo<LateFault>& fault) { return std::string(fault.param.name); });
// clang-format on

TEST(SignalLeavingTheFiniteRange, IsCaughtWhereTheComponentWouldHaveHiddenIt) {
  PENSTOCK_REQUIRE_COMPONENTS("SpeedSource", "Alternator");
  // syn_enable is read only where the alternator switches: a NaN from 20 s on would go unseen, and
  // the run would finish as if the signal were 1.
  const sim::Outcome outcome = run(R"yaml(components:
  drive: {type: SpeedSource}
  alternator: {type: Alternator, parameters: {n_toler: 0.5 rad/s, k: 2e5 N m s/rad}}
connections:
  - {node: shaft, ports: [drive.A, alternator.G]}
signals:
  drive.w_set: {table: [[0, 310], [8, 318], [16, 310], [24, 318]]}
  alternator.n_syn: 314.159
  alternator.syn_enable: {expression: "1 + 0*sqrt(20-t)"}
run: {stop: 24 s, output: 0.01 s}
)yaml");
  EXPECT_FALSE(outcome.complete);
  EXPECT_NE(outcome.error.find(":9:26: the signal for 'alternator.syn_enable' is not a number at t = 20 s"),
            std::string::npos)
      << outcome.error;
}

// A valve shut at once by an expression, which cannot announce its jump: no step across it meets
// the tolerance, however short. The run goes on from a consistent state just past the jump, says so
// once, and at the end the flow is the leak of ζ = 2e8 under the lake's 10 bar and the ringing line,
// about a hundredth of a cubic metre a second.
TEST(UndeclaredJump, IsPassedFromAConsistentStateAndSaidOnce) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  sim::Model model = load_text(valve_plant("0.5 + 1e8*(t>1) + 1e8*(t>1.5)"));
  Trace trace(model.system->size());
  const sim::Outcome outcome = sim::simulate(*model.system, model.run, trace);
  ASSERT_TRUE(outcome.complete) << outcome.error;
  ASSERT_EQ(trace.notes.size(), 1u);
  EXPECT_NE(trace.notes[0].find("a driving signal jumps where it did not say it would"), std::string::npos)
      << trace.notes[0];
  const size_t q = index_of(*model.system, "gate.q");
  for (size_t i = 0; i < trace.t.size(); ++i) {
    if (trace.t[i] > 3.9) {
      EXPECT_LT(std::abs(trace.y[i][q]), 2e-2) << "t = " << trace.t[i];
    }
  }
}

// The shut Regulator of plugin_plants_test, without the flow tolerance that its leak needs: the
// run fails at the regulator, and the message says what its description advises.
TEST(RunFailure, AtAShutRegulatorNamesTheFlowTolerance) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "Regulator");
  const sim::Outcome outcome = run(R"(
fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6 m2/s, bulk: 2.1e9 Pa, alpha: 0}
components:
  - {name: lake, type: Headwater, parameters: {h: 100 m}}
  - {name: line, type: Pipe, count: 20, parameters: {dx: 30 m, Din: 0.5 m, lambda: 0.02, a: 1200 m/s}}
  - {name: gate, type: Regulator, parameters: {Din: 0.5 m}}
connections:
  - [lake.B, ref]
  - [lake.A, line.A]
  - [line.B, gate.A]
  - [gate.B, ref]
signals:
  gate.sigma: {ramp: {start: 0.1 s, duration: 0.2 s, from: 0.05, to: 0}}
run:
  stop: 3 s
  output: 0.01 s
  start: steady
)");
  ASSERT_FALSE(outcome.complete);
  EXPECT_NE(outcome.error.find("gate: equation 0"), std::string::npos) << outcome.error;
  EXPECT_NE(outcome.error.find("\n  'gate' (Regulator): shut (sigma = 0), it still leaks"), std::string::npos)
      << outcome.error;
  EXPECT_NE(outcome.error.find("(run: tolerances: {flow: 1e-9})"), std::string::npos) << outcome.error;
}

}  // namespace
}  // namespace penstock::testing
