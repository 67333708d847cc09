// SPDX-License-Identifier: BSD-3-Clause
#include "ida.hpp"

#include <fmt/core.h>
#include <ida/ida.h>
#include <sunnonlinsol/sunnonlinsol_newton.h>

#include <algorithm>
#include <cmath>

namespace penstock::sim::detail {

Ida::Ida(DaeSystem& system, const RunSettings& run, State& state, Jacobian& jacobian, ErrorText& errors,
         SUNContext context, bool dense, bool reduce)
    : system_(system),
      run_(run),
      state_(state),
      jacobian_(jacobian),
      errors_(errors),
      reduction_(system, reduce),
      n_(reduction_.size()),
      breakpoints_(system.breakpoints()),
      grid_step_(system.grid_step()),
      y_(new_vector(n_, context, "state vector")),
      yp_(new_vector(n_, context, "derivative vector")),
      id_(new_vector(n_, context, "id vector")),
      atol_(new_vector(n_, context, "tolerance vector")),
      weights_(new_vector(n_, context, "scratch vector")),
      errors_by_variable_(new_vector(n_, context, "scaling vector")),
      interpolated_(new_vector(n_, context, "interpolation vector")),
      y_whole_(system.size()),
      yp_whole_(system.size()),
      F_whole_(system.size()),
      values_(reduction_.pattern().row_indices.size()),
      dense_(dense),
      linear_(linear_algebra(dense, n_, values_.size(), y_.get(), context)) {
  for (size_t i = 0; i < n_; ++i) data(id_)[i] = reduction_.differential()[i] ? 1.0 : 0.0;
  reduction_.reduce(jacobian.absolute_tolerances().data(), data(atol_));
  reduction_.reduce(data(state.y), data(y_));
  reduction_.reduce(data(state.yp), data(yp_));

  ida_.reset(made(IDACreate(context), "IDA integrator"));
  check(IDASetErrHandlerFn(ida(), ErrorText::handler, &errors_), "IDASetErrHandlerFn", errors_);
  check(IDAInit(ida(), ida_residual, run.start_time, y_.get(), yp_.get()), "IDAInit", errors_);
  check(IDASetUserData(ida(), this), "IDASetUserData", errors_);
  check(IDASVtolerances(ida(), run.relative_tolerance, atol_.get()), "IDASVtolerances", errors_);
  check(IDASetId(ida(), id_.get()), "IDASetId", errors_);
  check(IDASetSuppressAlg(ida(), SUNTRUE), "IDASetSuppressAlg", errors_);
  if (run.max_step > 0.0) check(IDASetMaxStep(ida(), run.max_step), "IDASetMaxStep", errors_);
  // A step this short makes no progress worth having: stop rather than creep towards a fault.
  check(IDASetMinStep(ida(), 1e-12 * std::max(1.0, run.stop_time - run.start_time)), "IDASetMinStep", errors_);
  check(IDASetLinearSolver(ida(), linear_.solver.get(), linear_.matrix.get()), "IDASetLinearSolver", errors_);
  check(IDASetJacFn(ida(), ida_jacobian), "IDASetJacFn", errors_);
  if (grid_step_ > 0.0) check_convergence_on_drift(context);
}

// IDA judges the first Newton iterate by the rate of convergence it saw before; on a system whose
// Jacobian is linear in the unknowns that rate is about zero, and IDA keeps the first iterate
// whatever it is. Where coefficients of the system move with time alone (the end laws of the
// WavePipes, whose slopes follow the friction of the flow one wave step back) while IDA goes on
// with the Jacobian it factored, that first iterate is off by the drift times the correction. The
// first iterate is then kept only where that error is well inside the tolerance; else Newton
// iterates again, and measures the rate afresh.
void Ida::check_convergence_on_drift(SUNContext context) {
  nls_.reset(made(SUNNonlinSol_Newton(y_.get(), context), "Newton solver"));
  check(IDASetNonlinearSolver(ida(), nls_.get()), "IDASetNonlinearSolver", errors_);
  auto* newton = static_cast<SUNNonlinearSolverContent_Newton>(nls_->content);
  ida_test_ = newton->CTest;
  ida_test_data_ = newton->ctest_data;
  check(SUNNonlinSolSetConvTestFn(nls_.get(), convergence_test, this), "SUNNonlinSolSetConvTestFn", errors_);
}

int Ida::convergence_test(SUNNonlinearSolver nls, N_Vector ycor, N_Vector delta, double tol, N_Vector ewt, void* self) {
  Ida& ida = *static_cast<Ida*>(self);
  const int verdict = ida.ida_test_(nls, ycor, delta, tol, ewt, ida.ida_test_data_);
  int iteration = 0;
  if (verdict != SUN_NLS_SUCCESS || SUNNonlinSolGetCurIter(nls, &iteration) != SUN_NLS_SUCCESS || iteration > 0)
    return verdict;
  const double drift = ida.system_.jacobian_drift(ida.newton_time_);
  return drift * N_VWrmsNorm(delta, ewt) <= 0.1 * tol ? SUN_NLS_SUCCESS : SUN_NLS_CONTINUE;
}

int Ida::step() {
  fresh_ = false;
  double reached = state_.t;
  errors_.clear();
  const int flag = IDASolve(ida(), run_.stop_time, &reached, y_.get(), yp_.get(), IDA_ONE_STEP);
  state_.t = reached;
  reduction_.expand(data(y_), data(state_.y));
  reduction_.expand(data(yp_), data(state_.yp));
  return flag;
}

void Ida::reinit(double t) {
  count();
  reduction_.reduce(data(state_.y), data(y_));
  reduction_.reduce(data(state_.yp), data(yp_));
  check(IDAReInit(ida(), t, y_.get(), yp_.get()), "IDAReInit", errors_);
  fresh_ = true;
  check(IDASetStopTime(ida(), next_stop(t)), "IDASetStopTime", errors_);
  state_.t = t;
}

// The first kink or jump of a signal after t, or the end of the run; or the grid's next time before
// it. A grid time and a kink closer than IDA can tell apart are one stop, at the kink.
double Ida::next_stop(double t) {
  const auto it = std::upper_bound(breakpoints_.begin(), breakpoints_.end(), t + close(t, t));
  const double breakpoint = it == breakpoints_.end() ? run_.stop_time : std::min(*it, run_.stop_time);
  at_breakpoint_ = true;
  if (grid_step_ <= 0.0) return breakpoint;
  const double grid = run_.start_time + static_cast<double>(grid_steps_ + 1) * grid_step_;
  if (grid < breakpoint - close(grid, breakpoint)) {
    at_breakpoint_ = false;
    return grid;
  }
  return breakpoint;
}

bool Ida::grid_due(double t) const {
  if (grid_step_ <= 0.0) return false;
  const double grid = run_.start_time + static_cast<double>(grid_steps_ + 1) * grid_step_;
  return grid <= t + close(t, grid);
}

void Ida::stop_next() { check(IDASetStopTime(ida(), next_stop(state_.t)), "IDASetStopTime", errors_); }

// The k-th derivative of the whole state at t, from IDA's interpolant of its unknowns.
void Ida::interpolate(double t, int k, double* out) {
  if (t == state_.t && k <= 1) {
    const double* at = data(k == 0 ? state_.y : state_.yp);
    if (at != out) std::copy(at, at + system_.size(), out);
    return;
  }
  check(IDAGetDky(ida(), t, k, interpolated_.get()), "IDAGetDky", errors_);
  reduction_.expand(data(interpolated_), out);
}

void Ida::state_at(double t, double* y) { interpolate(t, 0, y); }

void Ida::rate_into_state(double t) { interpolate(t, 1, data(state_.yp)); }

int Ida::solve_initial_values(double tout) {
  const int flag = IDACalcIC(ida(), IDA_YA_YDP_INIT, tout);
  if (flag >= 0) {
    check(IDAGetConsistentIC(ida(), y_.get(), yp_.get()), "IDAGetConsistentIC", errors_);
    reduction_.expand(data(y_), data(state_.y));
    reduction_.expand(data(yp_), data(state_.yp));
  }
  return flag;
}

double Ida::last_step() const {
  double h = 0.0;
  IDAGetLastStep(ida(), &h);
  return h;
}

double Ida::tried_step() const {
  double h = 0.0;
  IDAGetCurrentStep(ida(), &h);
  return h;
}

void Ida::set_initial_step(double h) { check(IDASetInitStep(ida(), h), "IDASetInitStep", errors_); }

// IDAReInit zeroes IDA's counters: every restart counts them here first.
void Ida::count() {
  long steps = 0, residuals = 0, jacobians = 0, error_fails = 0, convergence_fails = 0;
  IDAGetNumSteps(ida(), &steps);
  IDAGetNumResEvals(ida(), &residuals);
  IDAGetNumJacEvals(ida(), &jacobians);
  IDAGetNumErrTestFails(ida(), &error_fails);
  IDAGetNumNonlinSolvConvFails(ida(), &convergence_fails);
  double last = 0.0;
  if (IDAGetLastStep(ida(), &last) == IDA_SUCCESS && last != 0.0) counted_.last_step = last;
  counted_.steps += steps;
  counted_.residual_evaluations += residuals;
  counted_.jacobian_evaluations += jacobians;
  counted_.error_test_failures += error_fails;
  counted_.convergence_failures += convergence_fails;
}

void Ida::add_statistics(SolverStatistics& stats) {
  count();
  if (counted_.last_step != 0.0) stats.last_step = counted_.last_step;
  stats.steps += counted_.steps;
  stats.residual_evaluations += counted_.residual_evaluations;
  stats.jacobian_evaluations += counted_.jacobian_evaluations;
  stats.error_test_failures += counted_.error_test_failures;
  stats.convergence_failures += counted_.convergence_failures;
  counted_ = {};
}

std::string Ida::failure(int flag) {
  double h = 0.0;
  IDAGetLastStep(ida(), &h);
  double tried = 0.0;
  IDAGetCurrentStep(ida(), &tried);
  std::string message =
      fmt::format("the integrator failed at t = {} (last step {:.3g} s, step tried {:.3g} s): {}", state_.t, h, tried,
                  errors_.empty() ? flag_name(IDAGetReturnFlagName, flag) : errors_.text());
  if (non_finite_row_ < system_.size())
    message += fmt::format("; the residual of {} was not finite at t = {}", system_.equation_names()[non_finite_row_],
                           non_finite_time_);
  // Where it went wrong: the largest weighted local error, and the largest residual at the last
  // iterate, both scaled to error-weight units; and what the components there advise.
  std::vector<std::string> remedies;
  auto advise = [&remedies](const std::string& remedy) {
    if (!remedy.empty() && std::find(remedies.begin(), remedies.end(), remedy) == remedies.end())
      remedies.push_back(remedy);
  };
  if (IDAGetErrWeights(ida(), weights_.get()) == IDA_SUCCESS &&
      IDAGetEstLocalErrors(ida(), errors_by_variable_.get()) == IDA_SUCCESS) {
    const double* w = data(weights_);
    const double* e = data(errors_by_variable_);
    size_t worst = 0;
    double largest = -1.0;
    for (size_t i = 0; i < n_; ++i) {
      const double v = std::abs(e[i] * w[i]);
      if (v > largest || std::isnan(v)) {
        largest = v;
        worst = i;
        if (std::isnan(v)) break;
      }
    }
    message += fmt::format("; largest local error in {}", system_.variable_names()[reduction_.kept()[worst]]);
    advise(system_.variable_remedy(reduction_.kept()[worst]));
  }
  N_Vector y_current = nullptr;
  N_Vector yp_current = nullptr;
  double cj = 0.0;
  if (IDAGetCurrentY(ida(), &y_current) == IDA_SUCCESS && IDAGetCurrentYp(ida(), &yp_current) == IDA_SUCCESS &&
      IDAGetCurrentCj(ida(), &cj) == IDA_SUCCESS && y_current != nullptr && yp_current != nullptr) {
    const size_t n = system_.size();
    std::vector<double> y(n), yp(n), w(n), F(n);
    reduction_.expand(data(y_current), y.data());
    reduction_.expand(data(yp_current), yp.data());
    jacobian_.error_weights(y.data(), w.data());
    jacobian_.scale_rows(state_.t, y.data(), yp.data(), cj, w.data());
    system_.residual(state_.t, y.data(), yp.data(), F.data());
    message += fmt::format(", largest residual in {}", jacobian_.worst_equation(F.data()));
    advise(system_.equation_remedy(jacobian_.worst_row(F.data())));
  }
  for (const std::string& remedy : remedies) message += "\n  " + remedy;
  return message;
}

int Ida::ida_residual(double t, N_Vector y, N_Vector yp, N_Vector F, void* self) {
  Ida& ida = *static_cast<Ida*>(self);
  ida.newton_time_ = t;
  ida.reduction_.expand(data(y), ida.y_whole_.data());
  ida.reduction_.expand(data(yp), ida.yp_whole_.data());
  ida.system_.residual(t, ida.y_whole_.data(), ida.yp_whole_.data(), ida.F_whole_.data());
  ida.reduction_.reduce_rows(ida.F_whole_.data(), data(F));
  const double* f = data(F);
  const double* bad = std::find_if(f, f + ida.n_, [](double v) { return !std::isfinite(v); });
  if (bad == f + ida.n_) return 0;
  ida.non_finite_row_ = ida.reduction_.rows()[static_cast<size_t>(bad - f)];
  ida.non_finite_time_ = t;
  return 1;  // recoverable: IDA retries with a smaller step
}

int Ida::ida_jacobian(double t, double cj, N_Vector y, N_Vector yp, N_Vector /*F*/, SUNMatrix J, void* self, N_Vector,
                      N_Vector, N_Vector) {
  Ida& ida = *static_cast<Ida*>(self);
  ida.reduction_.expand(data(y), ida.y_whole_.data());
  ida.reduction_.expand(data(yp), ida.yp_whole_.data());
  ida.jacobian_.evaluate(t, ida.y_whole_.data(), ida.yp_whole_.data(), cj);
  ida.reduction_.reduce_jacobian(ida.jacobian_.values().data(), ida.values_.data());
  fill_matrix(J, ida.reduction_.pattern(), ida.values_.data(), ida.dense_);
  return 0;
}

}  // namespace penstock::sim::detail
