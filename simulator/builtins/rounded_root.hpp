// SPDX-License-Identifier: BSD-3-Clause
// The rounded square root the turbines take of their head, smooth through zero head:
//   m = x² + ε²
//   r(x) = x·m^(−1/4)                 ≈ sign(x)·√|x| for |x| ≫ ε; r(0) = 0, r'(0) = ε^(−1/2)
//   r'(x) = (x²/2 + ε²)·m^(−5/4)
//   s(x) = m^(−1/4)                   ≈ 1/√|x| for |x| ≫ ε; s(0) = ε^(−1/2)
//   s'(x) = −(x/2)·m^(−5/4)
// Every quotient goes through safe_divide, so that ε = 0 at x = 0 still gives numbers (r = 0).
#pragma once

#include "penstock/guarded_math.hpp"

namespace penstock::rounded {

inline double base(double x, double eps) { return x * x + eps * eps; }

inline double root(double x, double eps) { return safe_divide(x, signed_pow(base(x, eps), 0.25)); }

inline double root_slope(double x, double eps) {
  return safe_divide(x * x / 2 + eps * eps, signed_pow(base(x, eps), 1.25));
}

inline double inverse_root(double x, double eps) { return safe_divide(1, signed_pow(base(x, eps), 0.25)); }

inline double inverse_root_slope(double x, double eps) { return -safe_divide(x / 2, signed_pow(base(x, eps), 1.25)); }

}  // namespace penstock::rounded
