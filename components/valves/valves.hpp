// SPDX-License-Identifier: BSD-3-Clause
// What the valves and local losses share: the bore with the circle constant 3.14 (not π), the
// guarded derivative pieces of their losses and roots, and the flow-direction test of the loss
// valves.
#pragma once

#include <cmath>
#include <cstdint>

#include "penstock/frame.hpp"
#include "penstock/hydraulics.hpp"

namespace penstock::valves {

// A = 3.14·Din²/4.
inline double bore(double Din) { return cross_section(3.14, Din); }

// d(v²)/dq = (2·v)·(A/(A·A)): 2·v/A where A ≠ 0, and 0 (not huge) where A = 0.
inline double dv2_dq(double v, double A) { return (2 * signed_pow(v, 1)) * safe_divide(A, A * A); }

// d/db of the sign-preserving root signed_pow(b, 0.5) = sgn(b)·√|b|: 0.5·|b|^(−1/2), the same for b
// and −b. Not finite at b = 0.
inline double root_slope(double b) { return 0.5 * signed_pow(std::fabs(b), -0.5); }

// Direction of the flow through a loss valve: m0 = v < 0, m1 = v > 0 (s = m1 − m0), signal −v,
// v = q/A the mean velocity in the bore. C names its inputs q and its parameter Din.
template <class C>
struct FlowDirection {
  static constexpr int32_t n_zc = 1;
  static constexpr int32_t n_modes = 2;

  static double velocity(const Ctx& c) { return mean_velocity(c.x(C::q), bore(c.par(C::Din))); }
  static void zero_crossings(const Ctx& c, double* zc) { zc[0] = -velocity(c); }
  static void modes(const Ctx& c, int32_t* m) { sign_test(velocity(c), m); }
};

}  // namespace penstock::valves
