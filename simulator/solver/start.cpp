// SPDX-License-Identifier: BSD-3-Clause
#include "start.hpp"

#include <fmt/core.h>

#include <algorithm>
#include <set>

namespace penstock::sim::detail {

namespace {
// Mode flags renewed at most this often at one instant before they count as chattering.
constexpr int kMaxModeIterations = 20;
}  // namespace

Start::Start(DaeSystem& system, const RunSettings& run, State& state, Ida& ida, Ida& initial, Newton& newton,
             Notes& notes, const ErrorText& errors)
    : system_(system),
      run_(run),
      state_(state),
      ida_(ida),
      initial_(initial),
      newton_(newton),
      notes_(notes),
      errors_(errors),
      differential_(system.differential()) {}

void Start::initial() {
  const double t0 = run_.start_time;
  renew_all(system_, t0, data(state_.y));
  until_flags_settle(t0, [&] {
    if (run_.start == RunSettings::Start::steady) {
      steady_state();
      ida_.reinit(t0);
    } else {
      consistent(t0);
    }
  });
  // The parts on the time grid begin from the state found, steady in themselves.
  if (system_.grid_step() > 0.0) system_.begin_grid(t0, data(state_.y));
}

void Start::settle() {
  const double t = state_.t;
  until_flags_settle(t, [&] { consistent(t); });
}

// Solves the state, renews every part's flags from it, and again while any changed; flags that
// keep changing are a fault of the model, named.
template <typename Solve>
void Start::until_flags_settle(double t, Solve solve) {
  for (int iteration = 0;; ++iteration) {
    solve();
    const std::vector<std::string> changed = renew_all(system_, t, data(state_.y));
    if (changed.empty()) return;
    if (iteration + 1 < kMaxModeIterations) continue;
    const std::set<std::string> names(changed.begin(), changed.end());
    std::string list;
    for (const auto& name : names) list += (list.empty() ? "" : ", ") + name;
    throw Failure{fmt::format("mode flags do not settle at t = {} after {} renewals: {} keep switching", t,
                              kMaxModeIterations, list)};
  }
}

// F(t0, y, 0) = 0 for every y: the differential variables at rest. Newton from the start values
// first; where that fails (a quadratic loss has no slope at zero flow, so a network at rest has a
// singular Jacobian) by pseudo-transient continuation: implicit-Euler steps at t0 with the signals
// held, the step growing while they succeed and the flags renewed after each, until Newton on the
// steady equations converges.
void Start::steady_state() {
  const double t0 = run_.start_time;
  const double span = run_.stop_time - run_.start_time;
  const size_t n = system_.size();
  double* y = data(state_.y);
  std::vector<double> base(y, y + n);
  std::string why;
  auto at_rest = [&] { N_VConst(0.0, state_.yp.get()); };
  if (newton_.solve(t0, 0.0, nullptr, 1e-9, why)) return at_rest();
  std::copy(base.begin(), base.end(), y);
  double h = run_.output_interval;
  for (int step = 0; step < 400; ++step) {
    base.assign(y, y + n);
    std::string step_why;
    if (!newton_.solve(t0, 1.0 / h, base.data(), 1e-8, step_why)) {
      std::copy(base.begin(), base.end(), y);
      h /= 8.0;
      if (h < 1e-12 * span) break;
      continue;
    }
    at_rest();
    renew_all(system_, t0, y);
    h *= 4.0;
    if (h < 1e3 * span) continue;
    base.assign(y, y + n);
    if (newton_.solve(t0, 0.0, nullptr, 1e-9, why)) return at_rest();
    std::copy(base.begin(), base.end(), y);
  }
  throw Failure{fmt::format(
      "no steady state found at t = {} s: the solver found no flows, pressures and speeds that stay at rest under "
      "the signals' values at the start. Check that the plant can rest with them (a flow with no way out, a "
      "machine driven with nothing to hold it), or start from given values (run: start: given); the equation "
      "furthest from being met is named at the end. Solver: {}",
      t0, why)};
}

// Makes (y, y') consistent at t under the current flags: the algebraic variables and the
// derivatives re-solved with the differential variables held. Where that system is singular (two
// differential flows meeting at a node, a closed valve on a differential flow), two tiny
// implicit-Euler steps project y onto the constraints and give y' by difference.
void Start::consistent(double t) {
  initial_.reinit(t);
  if (initial_.solve_initial_values(t + run_.output_interval) >= 0) {
    if (&initial_ != &ida_) ida_.reinit(t);
    return;
  }
  notes_.once(
      Notes::projected,
      [&] {
        return fmt::format(
            "at t = {} s the flows and pressures could not be made to fit the network's equations directly{} (as "
            "happens where flows held by inertia meet at a node, or a valve closes on a flow with inertia, so that "
            "the flows must jump); the solver made them fit by two tiny implicit steps instead. The equations hold "
            "after that and the results can be trusted; a jump of the flows at that time is that adjustment. "
            "Should it not be expected, look for inertia elements joined without a compliance (an elastic cell or "
            "a tank) between them",
            t, t == run_.start_time ? " at the start" : " after a switch");
      },
      [&] {
        return fmt::format(
            "t = {}: the consistent initialisation ({}) failed; the state is projected onto the constraints by "
            "implicit-Euler steps instead",
            t, errors_.text());
      });
  const double h = 1e-8 * std::max(1.0, run_.stop_time - run_.start_time);
  const size_t n = system_.size();
  double* y = data(state_.y);
  std::vector<double> before(y, y + n);
  std::string why;
  for (int step = 0; step < 2; ++step) {
    before.assign(y, y + n);
    if (!newton_.solve(t, 1.0 / h, before.data(), 1e-8, why))
      throw Failure{fmt::format(
          "no consistent state at t = {} s: after a switch the flows and pressures could not be made to fit the "
          "equations under the new modes; the results up to this time stand. Look at the switching conditions of "
          "the component whose equation is named at the end. Solver: {}",
          t, why)};
  }
  double* yp = data(state_.yp);
  for (size_t i = 0; i < n; ++i) yp[i] = differential_[i] ? (y[i] - before[i]) / h : 0.0;
  ida_.reinit(t);
}

}  // namespace penstock::sim::detail
