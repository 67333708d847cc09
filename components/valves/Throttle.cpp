// SPDX-License-Identifier: BSD-3-Clause
// Throttle: valve between ports A and B with a variable loss coefficient ζ = ksi, its equation
// written for the flow:
//   q = √X·√(p·s),   X = 2·A²/(ρ·ζ),   A = 3.14·Din²/4,   s = sign of p from the flags
// Both roots are sign-preserving (signed_pow(·, 0.5)). The sign factor stands under the root only,
// so the flow has the sign of ρ·ζ, not the sign of p: p and −p give the same flow, which for
// ρ·ζ > 0 is never negative while the flags match p (only flags not yet renewed after p changed
// sign, p·s < 0, give a negative flow). This is the throttle's behaviour; models rely on it.
// At p = 0 the d/dp entry is not finite (0·∞ = NaN with the flags 0, 0), and so is d/dksi when
// Din = 0; they are handed to the solver as they are.
// Inputs: ksi loss coefficient, A.p and B.p (bound, unread), q flow, p pressure difference.
// Parameters: port fluids A and B (ρ = A.density), Din bore diameter [m].
// Modes: m0 = p < 0, m1 = p > 0. Zero crossing: −p.
#include "valves.hpp"

namespace penstock {

struct Throttle {
  PENSTOCK_INPUTS(ksi, A_p, B_p, q, p);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B), Din);

  // X = (2·A²)/(ρ·ζ), the squared flow factor.
  static double flow_factor(const Ctx& c, double A) {
    return safe_divide(2 * signed_pow(A, 2), c.par(A_density) * c.x(ksi));
  }

  // 0 = q − √X·√P,   P = p·s
  static double flow(const Ctx& c) {
    const double X = flow_factor(c, valves::bore(c.par(Din)));
    const double P = c.x(p) * c.sign(0);
    return c.x(q) - signed_pow(X, 0.5) * signed_pow(P, 0.5);
  }

  // d/dksi = −(((√X)'·y)·√P) with y = dX/dζ = −((2·A²)·ρ)/((ρ·ζ)·(ρ·ζ));  d/dq = 1;
  // d/dp = −(√X·((√P)'·s)), the slope of a sign-preserving root being 0.5·|b|^(−1/2).
  static void flow_slope(const Ctx& c, Row row) {
    const double rho = c.par(A_density);
    const double A = valves::bore(c.par(Din));
    const double X = flow_factor(c, A);
    const double s = c.sign(0);
    const double P = c.x(p) * s;
    const double rz = rho * c.x(ksi);
    const double y = safe_divide(-((2 * signed_pow(A, 2)) * rho), rz * rz);
    row[ksi] = -((valves::root_slope(X) * y) * signed_pow(P, 0.5));
    row[q] = 1;
    row[p] = -(signed_pow(X, 0.5) * (valves::root_slope(P) * s));
  }

  static constexpr std::array equations{
      Equation{.kind = algebraic_nonlinear, .residual = flow, .depends = on(ksi, q, p), .jacobian = flow_slope}};

  static constexpr int32_t n_zc = 1;
  static constexpr int32_t n_modes = 2;
  static void zero_crossings(const Ctx& c, double* zc) { zc[0] = -c.x(p); }
  static void modes(const Ctx& c, int32_t* m) { sign_test(c.x(p), m); }
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::Throttle)
