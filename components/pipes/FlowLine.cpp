// SPDX-License-Identifier: BSD-3-Clause
// FlowLine: a reach of water pipe of the full length Length between ports A and B, with the
// inertia of its water column and Darcy–Weisbach friction whose direction follows the flow.
// Its cross-section takes the circle constant as 3.14, and it groups its inertance and friction
// otherwise than the half-length reach:
//   L·dq/dt = p − (λ·Length/Din)·ρ·v²/2·s
//   S = 3.14·Din²/4,  v = q/S,  L = (ρ·Length)/S,  s = sign of v (flags)
// Inputs: A.p, B.p (bound, unread), q flow, p pressure difference. Parameters: lambda Darcy
// friction factor, Length reach length [m], Din inner diameter [m], q0 initial flow (carried in
// the block, read by no method). Zero crossing −v; flags v < 0, v > 0.
#include "reach.hpp"

namespace penstock {

struct FlowLine {
  PENSTOCK_INPUTS(A_p, B_p, q, p);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B), lambda, Length, Din, q0);

  static constexpr double circle = 3.14;  // not π
  static double area(const Ctx& c) { return cross_section(circle, c.par(Din)); }
  static double velocity(const Ctx& c) { return mean_velocity(c.x(q), area(c)); }
  static double ratio(const Ctx& c) { return safe_divide(c.par(lambda) * c.par(Length), c.par(Din)); }  // λ·Length/Din

  // L = (ρ·Length)/S.
  static double inertance(const Ctx& c, double S) { return safe_divide(c.par(A_density) * c.par(Length), S); }
  static double mass(const Ctx& c) { return inertance(c, area(c)); }

  // The loss as one quotient, not through a coefficient: ((e·v²)·ρ)/2·s, e = λ·Length/Din, and
  // d loss/dq = (2·((e·((2·v)·(S/(S·S))))·ρ))/4·s, where S/(S·S) is 0 at S = 0.
  using Loss = friction::LossQuotient;

  // p − (loss + 0·L)
  static double residual(const Ctx& c) {
    const double S = area(c);
    return c.x(p) - (Loss::loss(ratio(c), mean_velocity(c.x(q), S), c.par(A_density), c.sign(0)) + 0 * inertance(c, S));
  }
  static void jacobian(const Ctx& c, Row row) {
    const double S = area(c);
    row[q] = -Loss::loss_dq(ratio(c), mean_velocity(c.x(q), S), S, c.par(A_density), c.sign(0));
    row[p] = 1;
  }

  static constexpr std::array equations{Equation{.kind = differential_nonlinear,
                                                 .differential = q,
                                                 .mass = mass,
                                                 .residual = residual,
                                                 .depends = on(q, p),
                                                 .jacobian = jacobian}};

  static constexpr int n_zc = 1;
  static constexpr int n_modes = 2;
  static void zero_crossings(const Ctx& c, double* zc) { zc[0] = -velocity(c); }
  static void modes(const Ctx& c, int32_t* m) { sign_test(velocity(c), m); }
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::FlowLine)
