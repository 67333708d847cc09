// SPDX-License-Identifier: BSD-3-Clause
// Where the integration begins, and begins again after a switch: a state consistent with the
// equations under mode flags that agree with it.
#pragma once

#include <string>
#include <vector>

#include "ida.hpp"
#include "newton.hpp"
#include "penstock/sim/run.hpp"

namespace penstock::sim::detail {

class Start {
 public:
  // ida integrates; initial (ida itself, or one over every unknown of the system) makes states
  // consistent: IDA's search for consistent values keeps its line search working where the
  // unknowns that across relations fix are still unknowns of their own.
  Start(DaeSystem& system, const RunSettings& run, State& state, Ida& ida, Ida& initial, Newton& newton, Notes& notes,
        const ErrorText& errors);

  // The state at the start time: the steady state, or the given start values made consistent;
  // the flags renewed and the state solved again until they settle.
  void initial();
  // The state at its time re-solved under renewed flags, until they settle (bounded).
  void settle();

 private:
  void steady_state();
  void consistent(double t);
  template <typename Solve>
  void until_flags_settle(double t, Solve solve);

  DaeSystem& system_;
  const RunSettings& run_;
  State& state_;
  Ida& ida_;
  Ida& initial_;
  Newton& newton_;
  Notes& notes_;
  const ErrorText& errors_;
  std::vector<bool> differential_;
};

}  // namespace penstock::sim::detail
