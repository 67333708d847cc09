// SPDX-License-Identifier: BSD-3-Clause
// Newton's method on the assembled system with KINSOL: the steady state, and the implicit-Euler
// steps that project a state onto the constraints.
#pragma once

#include <kinsol/kinsol.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "ida.hpp"
#include "jacobian.hpp"
#include "sundials.hpp"

namespace penstock::sim::detail {

class Newton {
 public:
  Newton(DaeSystem& system, State& state, Jacobian& jacobian, ErrorText& errors, SUNContext context, bool dense);
  Newton(const Newton&) = delete;
  Newton& operator=(const Newton&) = delete;

  // Solves F(t, y, y') = 0 for the state's y, with y' = cj·(y − base) on the differential variables
  // (cj = 0, base = nullptr: y' = 0), from the state's y, down to the tolerance of the residual
  // read as a Newton correction in units of the error weights. The state's y' follows y. False,
  // with the reason and the worst equation in `why`, when it does not converge.
  bool solve(double t, double cj, const double* base, double tolerance, std::string& why);

  // Residual and Jacobian evaluations of the run.
  void add_statistics(SolverStatistics& stats) const;

 private:
  static int kin_residual(N_Vector u, N_Vector F, void* self);
  static int kin_jacobian(N_Vector u, N_Vector F, SUNMatrix J, void* self, N_Vector, N_Vector);
  void derivatives_from(const double* y);

  DaeSystem& system_;
  State& state_;
  Jacobian& jacobian_;
  ErrorText& errors_;
  const size_t n_;
  std::vector<bool> differential_;
  Vector u_scale_, f_scale_, scratch_;
  LinearAlgebra linear_;
  struct Free {
    void operator()(void* memory) const { KINFree(&memory); }
  };
  std::unique_ptr<void, Free> kin_;
  double t_ = 0.0;  // the problem being solved
  double cj_ = 0.0;
  const double* base_ = nullptr;
  long jacobians_ = 0;
};

}  // namespace penstock::sim::detail
