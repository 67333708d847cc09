// SPDX-License-Identifier: BSD-3-Clause
// Runs whose inputs read the model's own variables: a shaft braked in proportion to its speed
// against the exact exponential, a table that its variable leaves (a note, once), and a signal
// that stops being finite part way (the run stops naming it).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "../model/model_support.hpp"
#include "toy_dae.hpp"

namespace penstock::testing {
namespace {

// A shaft of J = 2 kg m2 from 10 rad/s, braked by a torque source given the signal.
std::string braked_shaft(const std::string& signal, const std::string& stop = "4 s") {
  return R"(
components:
  shaft: {type: Inertia, parameters: {J: 2, w0: 10 rad/s}}
  brake: {type: TorqueSource}
connections:
  - {node: rotor, ports: [shaft.A, brake.A]}
signals:
  brake.t_set: )" +
         signal + R"(
run:
  stop: )" +
         stop +
         R"(
  output: 0.25 s
  tolerances: {relative: 1e-10, speed: 1e-12, torque: 1e-12}
)";
}

// J·w' = -c·w: w = w0·exp(-c·t/J), whichever way the signal reads the speed.
TEST(VariableSignalRuns, ADampedShaftFollowsTheExponential) {
  for (const char* signal : {R"~({expression: "-0.5*shaft.w"})~", R"~({expression: "-0.5*rotor.w"})~",
                             "{table: [[0, 0], [20, -10]], of: shaft.A.w}"}) {
    sim::Model model = load_text(braked_shaft(signal));
    Trace trace(model.system->size());
    const sim::Outcome outcome = sim::simulate(*model.system, model.run, trace);
    ASSERT_TRUE(outcome.complete) << outcome.error;
    const size_t w = index_of(*model.system, "shaft.w"), u = index_of(*model.system, "brake.t_set");
    ASSERT_EQ(trace.t.size(), 17U);
    for (size_t i = 0; i < trace.t.size(); ++i) {
      const double exact = 10.0 * std::exp(-0.5 * trace.t[i] / 2.0);
      EXPECT_NEAR(trace.y[i][w], exact, 1e-7 * exact) << signal << " at t = " << trace.t[i];
      EXPECT_NEAR(trace.y[i][u], -0.5 * exact, 1e-7 * exact) << signal << " at t = " << trace.t[i];
    }
    EXPECT_TRUE(trace.notes.empty()) << trace.notes.front();
  }
}

// The speed leaves the table at 8 rad/s, at t = 4·ln(10/8) s: said once, and the torque held.
TEST(VariableSignalRuns, AVariableLeavingItsTableIsSaidOnce) {
  sim::Model model = load_text(braked_shaft("{table: [[8, -4], [12, -6]], of: shaft.w}"));
  Trace trace(model.system->size());
  const sim::Outcome outcome = sim::simulate(*model.system, model.run, trace);
  ASSERT_TRUE(outcome.complete) << outcome.error;
  ASSERT_EQ(trace.notes.size(), 1U) << ::testing::PrintToString(trace.notes);
  EXPECT_NE(trace.notes[0].find(".yaml:8: the signal for 'brake.t_set' reads shaft.w = 7.9"), std::string::npos)
      << trace.notes[0];
  EXPECT_NE(trace.notes[0].find("outside its table [8, 12]: it holds its value at the end there"), std::string::npos)
      << trace.notes[0];
  const size_t w = index_of(*model.system, "shaft.w"), u = index_of(*model.system, "brake.t_set");
  const double t_out = 4 * std::log(10.0 / 8.0);
  for (size_t i = 0; i < trace.t.size(); ++i) {
    const double t = trace.t[i];
    if (t < t_out + 1e-3) continue;
    EXPECT_NEAR(trace.y[i][u], -4.0, 1e-9) << "t = " << t;  // held: the speed falls linearly
    EXPECT_NEAR(trace.y[i][w], 8.0 - 2.0 * (t - t_out), 1e-4) << "t = " << t;
  }
}

// The speed falls below 5 rad/s at t = 4·ln 2 s, where the square root is not a number.
TEST(VariableSignalRuns, ASignalThatStopsBeingFiniteStopsTheRunNamingItself) {
  sim::Model model = load_text(braked_shaft(R"~({expression: "-0.5*shaft.w + 0*sqrt(shaft.w - 5)"})~"));
  Trace trace(model.system->size());
  const sim::Outcome outcome = sim::simulate(*model.system, model.run, trace);
  EXPECT_FALSE(outcome.complete);
  const std::string said = ".yaml:8:16: the signal for 'brake.t_set' is not a number at t = ";
  const size_t at = outcome.error.find(said);
  ASSERT_NE(at, std::string::npos) << outcome.error;
  // The time of the step where it was first met: past the crossing, within the step.
  const double t = std::stod(outcome.error.substr(at + said.size()));
  EXPECT_GE(t, 4 * std::log(2.0));
  EXPECT_LT(t, 4 * std::log(2.0) + 0.2);
  EXPECT_NEAR(outcome.end_time, 4 * std::log(2.0), 0.2);
}

}  // namespace
}  // namespace penstock::testing
