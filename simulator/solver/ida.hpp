// SPDX-License-Identifier: BSD-3-Clause
// IDA over the assembled system: variable-order BDF with the analytic Jacobian, the algebraic
// variables kept out of the error test, one absolute tolerance per variable, and a stop at every
// kink or jump of a driving signal. IDA iterates on the unknowns that the rows of constant
// coefficients leave (Reduction); the state it hands back is the whole one.
#pragma once

#include <ida/ida.h>
#include <sundials/sundials_nonlinearsolver.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "jacobian.hpp"
#include "penstock/sim/run.hpp"
#include "penstock/sim/solver.hpp"
#include "reduction.hpp"
#include "sundials.hpp"

namespace penstock::sim::detail {

// The solution where the integration stands: t, y and y', every unknown of the system.
struct State {
  double t = 0.0;
  Vector y, yp;
};

class Ida {
 public:
  // reduce: IDA iterates on the unknowns the rows of constant coefficients leave; else on all.
  Ida(DaeSystem& system, const RunSettings& run, State& state, Jacobian& jacobian, ErrorText& errors,
      SUNContext context, bool dense, bool reduce);
  Ida(const Ida&) = delete;
  Ida& operator=(const Ida&) = delete;

  // Whether IDA iterates on fewer unknowns than the system has.
  bool reduced() const { return n_ < system_.size(); }
  size_t unknowns() const { return n_; }

  // One step towards the stop time; the state holds where it ended. IDA's flag: IDA_SUCCESS,
  // IDA_TSTOP_RETURN at a kink of a signal or the end of the run, negative when it failed.
  int step();
  // Begins afresh at t from the state, with the counters of the run so far kept.
  void reinit(double t);
  // Whether the step that returned IDA_TSTOP_RETURN stopped at a kink or jump of a signal (or the
  // end of the run), rather than at a time of the system's grid alone.
  bool stopped_at_breakpoint() const { return at_breakpoint_; }
  // Goes on from a grid time to the next stop, with IDA's history.
  void stop_next();

  // The system's grid, counted in steps: whether its next time has come at t (to within IDA's
  // resolution of time), and that it has moved on.
  bool grid_due(double t) const;
  void grid_moved() { ++grid_steps_; }
  // True from a restart until the first step after it.
  bool fresh() const { return fresh_; }

  // The state on the interpolant of the last step at t; at the step's end the state itself, as IDA
  // returned it (the interpolant can differ from it by rounding, which matters for a signal
  // resting on zero).
  void state_at(double t, double* y);
  // y' at t on the same interpolant, into the state's y'.
  void rate_into_state(double t);
  // The consistent initial values under the current flags: the algebraic variables and the
  // derivatives re-solved with the differential variables held. IDA's flag.
  int solve_initial_values(double tout);
  double last_step() const;
  // The step IDA tried last (the one that failed, after a failure).
  double tried_step() const;
  void set_initial_step(double h);

  // Why the step failed, in words: where, the step sizes, IDA's reason, the equation whose
  // residual was not finite, the variable with the largest local error and the largest residual.
  std::string failure(int flag);
  // Steps, residual and Jacobian evaluations and failures of the whole run.
  void add_statistics(SolverStatistics& stats);

 private:
  static int ida_residual(double t, N_Vector y, N_Vector yp, N_Vector F, void* self);
  static int convergence_test(SUNNonlinearSolver nls, N_Vector ycor, N_Vector delta, double tol, N_Vector ewt,
                              void* self);
  void check_convergence_on_drift(SUNContext context);
  static int ida_jacobian(double t, double cj, N_Vector y, N_Vector yp, N_Vector F, SUNMatrix J, void* self, N_Vector,
                          N_Vector, N_Vector);
  void interpolate(double t, int k, double* out);
  void count();
  double next_stop(double t);

  DaeSystem& system_;
  const RunSettings& run_;
  State& state_;
  Jacobian& jacobian_;
  ErrorText& errors_;
  const Reduction reduction_;
  const size_t n_;                         // of the unknowns IDA iterates on
  const std::vector<double> breakpoints_;  // kinks and jumps of the signals, ascending
  const double grid_step_;                 // of the system's grid, 0 without one
  long grid_steps_ = 0;                    // the grid's steps so far
  bool at_breakpoint_ = true;              // what the stop set last is
  Vector y_, yp_;                          // IDA's unknowns and their derivatives
  Vector id_, atol_, weights_, errors_by_variable_, interpolated_;
  std::vector<double> y_whole_, yp_whole_, F_whole_;  // the whole state, and F, at an evaluation
  std::vector<double> values_;                        // the Jacobian over IDA's unknowns
  const bool dense_;
  LinearAlgebra linear_;
  struct Free {
    void operator()(void* memory) const { IDAFree(&memory); }
  };
  struct FreeSolver {
    void operator()(SUNNonlinearSolver nls) const { SUNNonlinSolFree(nls); }
  };
  std::unique_ptr<std::remove_pointer_t<SUNNonlinearSolver>, FreeSolver> nls_;
  SUNNonlinSolConvTestFn ida_test_ = nullptr;  // IDA's own convergence test, and its data
  void* ida_test_data_ = nullptr;
  double newton_time_ = 0.0;  // the time of the Newton iteration under way
  std::unique_ptr<void, Free> ida_;
  void* ida() const { return ida_.get(); }
  bool fresh_ = true;
  SolverStatistics counted_;          // of the restarts before this one
  size_t non_finite_row_ = SIZE_MAX;  // the last equation whose residual was not finite, and when
  double non_finite_time_ = 0.0;
};

}  // namespace penstock::sim::detail
