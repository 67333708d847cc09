// SPDX-License-Identifier: BSD-3-Clause
// The SUNDIALS objects the solver works with, owned, and the checks of what SUNDIALS returns.
#pragma once

#include <nvector/nvector_serial.h>
#include <sundials/sundials_context.h>
#include <sundials/sundials_linearsolver.h>
#include <sundials/sundials_matrix.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <string>
#include <type_traits>

namespace penstock::sim::detail {

// A failure of the numerics or of the set-up: the run stops, and the message says why.
struct Failure {
  std::string message;
};

struct ContextDeleter {
  void operator()(SUNContext c) const { SUNContext_Free(&c); }
};
struct VectorDeleter {
  void operator()(N_Vector v) const { N_VDestroy(v); }
};
struct MatrixDeleter {
  void operator()(SUNMatrix m) const { SUNMatDestroy(m); }
};
struct LinearSolverDeleter {
  void operator()(SUNLinearSolver s) const { SUNLinSolFree(s); }
};
using Context = std::unique_ptr<std::remove_pointer_t<SUNContext>, ContextDeleter>;
using Vector = std::unique_ptr<std::remove_pointer_t<N_Vector>, VectorDeleter>;
using Matrix = std::unique_ptr<std::remove_pointer_t<SUNMatrix>, MatrixDeleter>;
using LinearSolver = std::unique_ptr<std::remove_pointer_t<SUNLinearSolver>, LinearSolverDeleter>;

// Two times closer than this are the same time to the integrator.
inline double close(double a, double b) { return 4 * SUN_UNIT_ROUNDOFF * std::max(std::abs(a), std::abs(b)); }

inline double* data(N_Vector v) { return N_VGetArrayPointer(v); }
inline double* data(const Vector& v) { return N_VGetArrayPointer(v.get()); }

// The last error SUNDIALS reported (IDA and KINSOL alike), for the message of the failure that
// follows it.
class ErrorText {
 public:
  const std::string& text() const { return text_; }
  bool empty() const { return text_.empty(); }
  void clear() { text_.clear(); }
  // The error handler of IDA and KINSOL; `self` is the ErrorText.
  static void handler(int code, const char* module, const char* function, char* message, void* self);

 private:
  std::string text_;
};

// Throws Failure naming the call when SUNDIALS returned an error flag.
void check(int flag, const char* what, const ErrorText& errors);

// Throws Failure when SUNDIALS could not create the object.
template <typename T>
T made(T object, const char* what) {
  if (object == nullptr) throw Failure{std::string("could not create the ") + what};
  return object;
}

// The name of a return flag, e.g. IDA_TOO_MUCH_WORK.
std::string flag_name(char* (*namer)(long), int flag);

Context new_context();
// A serial vector of n entries, with the fused operations (one pass over memory for each linear
// combination) and the arithmetic compiled here (use_compiled_arithmetic); its clones alike.
Vector new_vector(size_t n, SUNContext context, const char* what);
// Replaces a serial vector's arithmetic by the same arithmetic built with this project's
// optimisation: the same values to the last bit, in a fraction of the time.
void use_compiled_arithmetic(N_Vector v);

// The matrix of a Newton iteration and its linear solver: dense, or compressed sparse columns over
// the system's fixed pattern factored by KLU.
struct LinearAlgebra {
  Matrix matrix;
  LinearSolver solver;
};
LinearAlgebra linear_algebra(bool dense, size_t n, size_t nonzeros, N_Vector like, SUNContext context);

}  // namespace penstock::sim::detail
