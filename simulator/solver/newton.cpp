// SPDX-License-Identifier: BSD-3-Clause
#include "newton.hpp"

#include <fmt/core.h>

#include <cmath>

namespace penstock::sim::detail {

Newton::Newton(DaeSystem& system, State& state, Jacobian& jacobian, ErrorText& errors, SUNContext context, bool dense)
    : system_(system),
      state_(state),
      jacobian_(jacobian),
      errors_(errors),
      n_(system.size()),
      differential_(system.differential()),
      u_scale_(new_vector(n_, context, "scaling vector")),
      f_scale_(new_vector(n_, context, "scaling vector")),
      scratch_(new_vector(n_, context, "scratch vector")),
      linear_(linear_algebra(dense, n_, system.pattern().row_indices.size(), state.y.get(), context)) {
  kin_.reset(made(KINCreate(context), "KINSOL solver"));
  void* kin = kin_.get();
  check(KINSetErrHandlerFn(kin, ErrorText::handler, &errors_), "KINSetErrHandlerFn", errors_);
  check(KINInit(kin, kin_residual, state.y.get()), "KINInit", errors_);
  check(KINSetUserData(kin, this), "KINSetUserData", errors_);
  check(KINSetLinearSolver(kin, linear_.solver.get(), linear_.matrix.get()), "KINSetLinearSolver", errors_);
  check(KINSetJacFn(kin, kin_jacobian), "KINSetJacFn", errors_);
  check(KINSetMaxSetupCalls(kin, 1), "KINSetMaxSetupCalls", errors_);  // exact Newton: the Jacobian is cheap
  check(KINSetNumMaxIters(kin, 200), "KINSetNumMaxIters", errors_);
  check(KINSetScaledStepTol(kin, 1e-14), "KINSetScaledStepTol", errors_);
  // The unknowns are scaled by their tolerances: a full Newton step is many scaled units long.
  check(KINSetMaxNewtonStep(kin, 1e100), "KINSetMaxNewtonStep", errors_);
}

bool Newton::solve(double t, double cj, const double* base, double tolerance, std::string& why) {
  t_ = t;
  cj_ = cj;
  base_ = base;
  double* y = data(state_.y);
  derivatives_from(y);
  // Scaled so that the residual reads as a Newton correction in units of the error weights.
  jacobian_.error_weights(y, data(u_scale_));
  jacobian_.scale_rows(t, y, data(state_.yp), cj, data(u_scale_));
  const std::vector<double>& rows = jacobian_.row_scales();
  double* f_scale = data(f_scale_);
  for (size_t r = 0; r < n_; ++r) f_scale[r] = rows[r] > 0.0 ? 1.0 / rows[r] : 1.0;
  check(KINSetFuncNormTol(kin_.get(), tolerance), "KINSetFuncNormTol", errors_);
  errors_.clear();
  const int flag = KINSol(kin_.get(), state_.y.get(), KIN_LINESEARCH, u_scale_.get(), f_scale_.get());
  derivatives_from(y);
  if (flag >= 0) return true;
  // Stuck at the rounding floor of the residual, close enough to count as solved.
  double fnorm = HUGE_VAL;
  if (KINGetFuncNorm(kin_.get(), &fnorm) == KIN_SUCCESS && fnorm <= 1e3 * tolerance) return true;
  system_.residual(t, y, data(state_.yp), data(scratch_));
  why = fmt::format("{}; largest residual in {}",
                    errors_.empty() ? flag_name(KINGetReturnFlagName, flag) : errors_.text(),
                    jacobian_.worst_equation(data(scratch_)));
  return false;
}

// y' of the Newton problem from its unknowns.
void Newton::derivatives_from(const double* y) {
  double* yp = data(state_.yp);
  for (size_t i = 0; i < n_; ++i) yp[i] = (base_ != nullptr && differential_[i]) ? cj_ * (y[i] - base_[i]) : 0.0;
}

void Newton::add_statistics(SolverStatistics& stats) const {
  long residuals = 0;
  if (KINGetNumFuncEvals(kin_.get(), &residuals) == KIN_SUCCESS) stats.residual_evaluations += residuals;
  stats.jacobian_evaluations += jacobians_;
}

int Newton::kin_residual(N_Vector u, N_Vector F, void* self) {
  Newton& newton = *static_cast<Newton*>(self);
  newton.derivatives_from(data(u));
  newton.system_.residual(newton.t_, data(u), data(newton.state_.yp), data(F));
  const double* f = data(F);
  for (size_t i = 0; i < newton.n_; ++i)
    if (!std::isfinite(f[i])) return 1;
  return 0;
}

int Newton::kin_jacobian(N_Vector u, N_Vector /*F*/, SUNMatrix J, void* self, N_Vector, N_Vector) {
  Newton& newton = *static_cast<Newton*>(self);
  newton.derivatives_from(data(u));
  newton.jacobian_.evaluate(newton.t_, data(u), data(newton.state_.yp), newton.cj_);
  newton.jacobian_.fill(J);
  ++newton.jacobians_;
  return 0;
}

}  // namespace penstock::sim::detail
