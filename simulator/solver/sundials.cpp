// SPDX-License-Identifier: BSD-3-Clause
#include "sundials.hpp"

#include <fmt/core.h>
#include <sunlinsol/sunlinsol_dense.h>
#include <sunlinsol/sunlinsol_klu.h>
#include <sunmatrix/sunmatrix_dense.h>
#include <sunmatrix/sunmatrix_sparse.h>

#include <algorithm>
#include <cstdlib>

namespace penstock::sim::detail {

namespace {

// KLU refactors with the pivot order of its first factorisation (the symbolic analysis reused);
// when a pivot of that order vanishes the refactorisation fails, and SUNDIALS would fail the same
// way on every retry. Then analyse and factor afresh, once.
int klu_setup(SUNLinearSolver S, SUNMatrix A) {
  if (SUNLinSolSetup_KLU(S, A) == SUNLS_SUCCESS) return SUNLS_SUCCESS;
  SUNLinSol_KLUReInit(S, A, SUNSparseMatrix_NNZ(A), SUNKLU_REINIT_PARTIAL);
  return SUNLinSolSetup_KLU(S, A);
}

}  // namespace

void ErrorText::handler(int /*code*/, const char* module, const char* function, char* message, void* self) {
  try {
    static_cast<ErrorText*>(self)->text_ = fmt::format("{} in {}: {}", module, function, message);
  } catch (...) {
  }
}

void check(int flag, const char* what, const ErrorText& errors) {
  if (flag < 0)
    throw Failure{fmt::format("{} failed: {}", what, errors.empty() ? std::to_string(flag) : errors.text())};
}

std::string flag_name(char* (*namer)(long), int flag) {
  char* name = namer(flag);
  std::string text = name != nullptr ? name : fmt::format("flag {}", flag);
  std::free(name);
  return text;
}

Context new_context() {
  SUNContext raw = nullptr;
  if (SUNContext_Create(nullptr, &raw) != 0) throw Failure{"could not create the SUNDIALS context"};
  return Context(raw);
}

Vector new_vector(size_t n, SUNContext context, const char* what) {
  Vector v(made(N_VNew_Serial(static_cast<sunindextype>(n), context), what));
  if (N_VEnableFusedOps_Serial(v.get(), SUNTRUE) != 0) throw Failure{std::string("could not set up the ") + what};
  use_compiled_arithmetic(v.get());
  return v;
}

LinearAlgebra linear_algebra(bool dense, size_t n, size_t nonzeros, N_Vector like, SUNContext context) {
  const auto size = static_cast<sunindextype>(n);
  LinearAlgebra la;
  if (dense) {
    la.matrix.reset(made(SUNDenseMatrix(size, size, context), "dense matrix"));
    la.solver.reset(made(SUNLinSol_Dense(like, la.matrix.get(), context), "dense linear solver"));
    return la;
  }
  const auto capacity = static_cast<sunindextype>(std::max<size_t>(nonzeros, 1));
  la.matrix.reset(made(SUNSparseMatrix(size, size, capacity, CSC_MAT, context), "sparse matrix"));
  la.solver.reset(made(SUNLinSol_KLU(like, la.matrix.get(), context), "KLU linear solver"));
  la.solver->ops->setup = klu_setup;
  return la;
}

}  // namespace penstock::sim::detail
