// SPDX-License-Identifier: BSD-3-Clause
// Integration of an assembled plant model, F(t, y, y') = 0, with events.
//
// Variable-order BDF (IDA) with the analytic Jacobian dF/dy + cj·dF/dy', algebraic variables kept
// out of the error test; a steady start solved with the derivatives set to zero (KINSOL); the
// zero crossings located on the interpolant of each step, part by part, and the part's flags
// renewed there. A switch that leaves the equations as they were (a loss changing sign at zero
// flow) goes on with IDA's history, and is taken at the end of its step without being located
// where it leaves them as they were there too; any other is re-solved until the flags settle and
// restarts IDA cleanly.
#pragma once

#include <string>
#include <vector>

#include "penstock/sim/dae.hpp"
#include "penstock/sim/run.hpp"

namespace penstock::sim {

struct SolverStatistics {
  long steps = 0;
  long events = 0;           // located zero crossings
  long mode_changes = 0;     // times at which some mode flag changed (located, or at a step's end)
  long restarts = 0;         // of those, the ones whose new flags left the state inconsistent
  long smooth_switches = 0;  // switches of a component's flags that left its equations as they were
  long residual_evaluations = 0;
  size_t integrated_unknowns = 0;  // those IDA iterates on: the others are sums of them
  long jacobian_evaluations = 0;
  long error_test_failures = 0;
  long convergence_failures = 0;
  double last_step = 0.0;
  double wall_seconds = 0.0;
};

// Receives the solution as it is computed.
class Observer {
 public:
  virtual ~Observer() = default;
  // y at the start, at every output time and at every event (before and, when a flag changed,
  // after the switch: two rows with the same t).
  virtual void sample(double t, const double* y, bool event) = 0;
  // A component's mode flags changed at t: the component, and what changed in words (the flag, its
  // values before and after, and whether the equations changed so that the solver restarted).
  virtual void event(double /*t*/, const std::string& /*component*/, const std::string& /*what*/) {}
  // The variables sample() reads, nullptr for all. An observer that reads none is spared the
  // interpolation of the event rows.
  virtual const std::vector<size_t>* reads() const { return nullptr; }
  // After every return of the integrator.
  virtual void progress(double /*t*/) {}
  // Something worth one line in the log (a regularised Jacobian, a fallback), each said once: text
  // says in plain words what happened physically, where, whether the result can be trusted and what
  // to do; detail is the solver's own account (the Jacobian entry, the SUNDIALS message).
  virtual void note(const std::string& /*text*/, const std::string& /*detail*/) {}
  // Asked before every step: why the run is to end now ("interrupted by SIGINT", a results file
  // that cannot be written), empty to go on. A run so ended is incomplete, with this as its error.
  virtual std::string stop() { return {}; }
};

struct Outcome {
  bool complete = false;
  double end_time = 0.0;      // how far the solution got
  std::string error;          // why it stopped early, empty when complete
  std::string linear_solver;  // "dense" or "klu"
  SolverStatistics stats;
};

// Runs the model from run.start_time to run.stop_time. Never throws for a failure of the
// numerics: the outcome says where and why it stopped, and the observer has everything computed
// up to there. The same when the observer asks it to stop.
Outcome simulate(DaeSystem& system, const RunSettings& run, Observer& observer);

// Below this many unknowns the automatic choice is the dense linear solver, KLU from it on.
inline constexpr size_t kDenseLimit = 40;

}  // namespace penstock::sim
