// SPDX-License-Identifier: BSD-3-Clause
// The arithmetic of SUNDIALS' serial vector, compiled with this project's optimisation.
//
// The serial vector of the distribution's SUNDIALS is built without optimisation: every element of
// every vector operation goes through the stack, and in a plant of some hundred unknowns the
// integrator's vector arithmetic (its predictor, error norms and history updates) was the greater
// part of a step. The operations below compute the same values, operation for operation, in the
// same order: a sum is accumulated element after element, and where SUNDIALS groups a linear sum
// otherwise (a·(x + y) when the two coefficients are equal, a·(x − y) when they are opposite) so do
// these. The results of a run are the same to the last bit; only the time differs.
//
// The vector itself stays SUNDIALS' serial vector (its content, clones, length, array pointer), so
// that the KLU and dense linear solvers take it as their own.
#include <nvector/nvector_serial.h>

#include <cmath>

#include "sundials.hpp"

namespace penstock::sim::detail {

namespace {

using Real = sunrealtype;
using Index = sunindextype;

Index length(N_Vector v) { return NV_LENGTH_S(v); }
Real* at(N_Vector v) { return NV_DATA_S(v); }

// The square root of a sum of squares, 0 for a sum that is not positive.
Real root(Real x) { return x <= 0.0 ? 0.0 : std::sqrt(x); }

void linear_sum(Real a, N_Vector x, Real b, N_Vector y, N_Vector z) {
  const Index n = length(x);
  const Real* xd = at(x);
  const Real* yd = at(y);
  Real* zd = at(z);
  // Coefficients of one are multiplications by one and leave the value as it is; the two groupings
  // that differ from (a·x) + (b·y) are those of equal and of opposite coefficients.
  if (a == b && !(a == 1.0 || a == -1.0)) {
    for (Index i = 0; i < n; ++i) zd[i] = a * (xd[i] + yd[i]);
    return;
  }
  if (a == -b && !(a == 1.0 || a == -1.0)) {
    for (Index i = 0; i < n; ++i) zd[i] = a * (xd[i] - yd[i]);
    return;
  }
  for (Index i = 0; i < n; ++i) zd[i] = (a * xd[i]) + (b * yd[i]);
}

void constant(Real c, N_Vector z) {
  const Index n = length(z);
  Real* zd = at(z);
  for (Index i = 0; i < n; ++i) zd[i] = c;
}

void product(N_Vector x, N_Vector y, N_Vector z) {
  const Index n = length(x);
  const Real* xd = at(x);
  const Real* yd = at(y);
  Real* zd = at(z);
  for (Index i = 0; i < n; ++i) zd[i] = xd[i] * yd[i];
}

void quotient(N_Vector x, N_Vector y, N_Vector z) {
  const Index n = length(x);
  const Real* xd = at(x);
  const Real* yd = at(y);
  Real* zd = at(z);
  for (Index i = 0; i < n; ++i) zd[i] = xd[i] / yd[i];
}

void scale(Real c, N_Vector x, N_Vector z) {
  const Index n = length(x);
  const Real* xd = at(x);
  Real* zd = at(z);
  for (Index i = 0; i < n; ++i) zd[i] = c * xd[i];
}

void absolute(N_Vector x, N_Vector z) {
  const Index n = length(x);
  const Real* xd = at(x);
  Real* zd = at(z);
  for (Index i = 0; i < n; ++i) zd[i] = std::abs(xd[i]);
}

void inverse(N_Vector x, N_Vector z) {
  const Index n = length(x);
  const Real* xd = at(x);
  Real* zd = at(z);
  for (Index i = 0; i < n; ++i) zd[i] = 1.0 / xd[i];
}

void add_constant(N_Vector x, Real b, N_Vector z) {
  const Index n = length(x);
  const Real* xd = at(x);
  Real* zd = at(z);
  for (Index i = 0; i < n; ++i) zd[i] = xd[i] + b;
}

Real dot(N_Vector x, N_Vector y) {
  const Index n = length(x);
  const Real* xd = at(x);
  const Real* yd = at(y);
  Real sum = 0.0;
  for (Index i = 0; i < n; ++i) sum += xd[i] * yd[i];
  return sum;
}

Real max_norm(N_Vector x) {
  const Index n = length(x);
  const Real* xd = at(x);
  Real largest = 0.0;
  for (Index i = 0; i < n; ++i)
    if (std::abs(xd[i]) > largest) largest = std::abs(xd[i]);
  return largest;
}

Real weighted_squares(N_Vector x, N_Vector w) {
  const Index n = length(x);
  const Real* xd = at(x);
  const Real* wd = at(w);
  Real sum = 0.0;
  for (Index i = 0; i < n; ++i) {
    const Real p = xd[i] * wd[i];
    sum += p * p;
  }
  return sum;
}

// Only the entries whose id is positive (the differential unknowns, in an error test).
Real weighted_squares_masked(N_Vector x, N_Vector w, N_Vector id) {
  const Index n = length(x);
  const Real* xd = at(x);
  const Real* wd = at(w);
  const Real* idd = at(id);
  Real sum = 0.0;
  for (Index i = 0; i < n; ++i)
    if (idd[i] > 0.0) {
      const Real p = xd[i] * wd[i];
      sum += p * p;
    }
  return sum;
}

Real wrms_norm(N_Vector x, N_Vector w) { return root(weighted_squares(x, w) / static_cast<Real>(length(x))); }

Real wrms_norm_masked(N_Vector x, N_Vector w, N_Vector id) {
  return root(weighted_squares_masked(x, w, id) / static_cast<Real>(length(x)));
}

// z = Σ c_i·X_i, summed in the order of i for every element: the order SUNDIALS sums in, one
// vector after the other, read here in one pass over memory. z may be X_0.
int linear_combination(int nvec, Real* c, N_Vector* X, N_Vector z) {
  if (nvec < 1) return -1;
  if (nvec == 1) {
    scale(c[0], X[0], z);
    return 0;
  }
  if (nvec == 2) {
    linear_sum(c[0], X[0], c[1], X[1], z);
    return 0;
  }
  const Index n = length(z);
  Real* zd = at(z);
  const Real* x0 = at(X[0]);
  const auto m = static_cast<size_t>(nvec);
  for (Index i = 0; i < n; ++i) {
    Real sum = c[0] * x0[i];
    for (size_t k = 1; k < m; ++k) sum += c[k] * at(X[k])[i];
    zd[i] = sum;
  }
  return 0;
}

// Z_i = a_i·x + Y_i.
int scale_add_multi(int nvec, Real* a, N_Vector x, N_Vector* Y, N_Vector* Z) {
  if (nvec < 1) return -1;
  const Index n = length(x);
  const Real* xd = at(x);
  for (int k = 0; k < nvec; ++k) {
    const Real* yd = at(Y[k]);
    Real* zd = at(Z[k]);
    for (Index i = 0; i < n; ++i) zd[i] = (a[k] * xd[i]) + yd[i];
  }
  return 0;
}

int dot_multi(int nvec, N_Vector x, N_Vector* Y, Real* d) {
  if (nvec < 1) return -1;
  for (int k = 0; k < nvec; ++k) d[k] = dot(x, Y[k]);
  return 0;
}

int linear_sum_array(int nvec, Real a, N_Vector* X, Real b, N_Vector* Y, N_Vector* Z) {
  if (nvec < 1) return -1;
  for (int k = 0; k < nvec; ++k) linear_sum(a, X[k], b, Y[k], Z[k]);
  return 0;
}

int scale_array(int nvec, Real* c, N_Vector* X, N_Vector* Z) {
  if (nvec < 1) return -1;
  for (int k = 0; k < nvec; ++k) scale(c[k], X[k], Z[k]);
  return 0;
}

int constant_array(int nvec, Real c, N_Vector* Z) {
  if (nvec < 1) return -1;
  for (int k = 0; k < nvec; ++k) constant(c, Z[k]);
  return 0;
}

}  // namespace

void use_compiled_arithmetic(N_Vector v) {
  N_Vector_Ops ops = v->ops;
  ops->nvlinearsum = linear_sum;
  ops->nvconst = constant;
  ops->nvprod = product;
  ops->nvdiv = quotient;
  ops->nvscale = scale;
  ops->nvabs = absolute;
  ops->nvinv = inverse;
  ops->nvaddconst = add_constant;
  ops->nvdotprod = dot;
  ops->nvmaxnorm = max_norm;
  ops->nvwrmsnorm = wrms_norm;
  ops->nvwrmsnormmask = wrms_norm_masked;
  ops->nvdotprodlocal = dot;
  ops->nvmaxnormlocal = max_norm;
  ops->nvwsqrsumlocal = weighted_squares;
  ops->nvwsqrsummasklocal = weighted_squares_masked;
  ops->nvlinearcombination = linear_combination;
  ops->nvscaleaddmulti = scale_add_multi;
  ops->nvdotprodmulti = dot_multi;
  ops->nvlinearsumvectorarray = linear_sum_array;
  ops->nvscalevectorarray = scale_array;
  ops->nvconstvectorarray = constant_array;
}

}  // namespace penstock::sim::detail
