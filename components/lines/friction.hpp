// SPDX-License-Identifier: BSD-3-Clause
// Friction cell: the quadratic (Darcy–Weisbach) loss of one line element between ports A and B.
//
//   0 = p − e·ρ·v²/2 · s        v = q/A,  A = c·Din²/4,  e = λ·dx/Din (or 0.5·λ·dx/Din)
//
// The direction of the loss is the sign s = m1 − m0 of the flag pair m0 = (v < 0), m1 = (v > 0),
// taken from the engine's flags and never from the current flow: the loss turns round only when
// the engine has called Modes anew. The zero-crossing signal −v marks a reversal.
//
// Ports A, B. Inputs: A.p, B.p (bound, unread), q flow, p pressure difference.
// Parameters: fluid of A and B (only A.density is read), dx length [m], Din inner diameter [m],
// lambda friction factor [-].
//
// A member states what sets it apart, all else is written here once:
//   circle        the circle constant of its cross-section (π or 3.14)
//   ratio(λ,L,D)  the friction length ratio e, with its length factor
//   Loss          the grouping of the loss and of its derivative (LossQuotient, LossCoefficient)
// The loss terms are free functions so that other components with a friction term (pipe
// reaches) form them the same way.
#pragma once

#include "penstock/frame.hpp"
#include "penstock/hydraulics.hpp"

namespace penstock::friction {

// dv/dq = A/(A·A), the guarded form of 1/A: 0, not 1e16, when A = 0 (0/0 is floored to 0/1e-16).
inline double velocity_per_flow(double A) { return safe_divide(A, A * A); }

// The loss formed as one quotient: (e·v²)·ρ/2, signed by s.
struct LossQuotient {
  static double loss(double e, double v, double rho, double s) {
    return safe_divide(e * signed_pow(v, 2) * rho, 2) * s;
  }
  // d loss / dq = 2·(e·(2·v·dv/dq)·ρ)/4, signed by s.
  static double loss_dq(double e, double v, double A, double rho, double s) {
    return safe_divide(2 * (e * (2 * signed_pow(v, 1) * velocity_per_flow(A)) * rho), 4) * s;
  }
};

// The loss through the coefficient k = e·ρ/2, formed first: (k·v²)·s.
struct LossCoefficient {
  static double coefficient(double e, double rho) { return safe_divide(e * rho, 2); }
  static double loss(double e, double v, double rho, double s) { return (coefficient(e, rho) * signed_pow(v, 2)) * s; }
  // d loss / dq = (k·(2·v·dv/dq))·s.
  static double loss_dq(double e, double v, double A, double rho, double s) {
    return (coefficient(e, rho) * (2 * signed_pow(v, 1) * velocity_per_flow(A))) * s;
  }
};

template <class Member>
struct Cell {
  PENSTOCK_INPUTS(A_p, B_p, q, p);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B), dx, Din, lambda);

  static double area(const Ctx& c) { return cross_section(Member::circle, c.par(Din)); }
  static double velocity(const Ctx& c) { return mean_velocity(c.x(q), area(c)); }
  static double ratio(const Ctx& c) { return Member::ratio(c.par(lambda), c.par(dx), c.par(Din)); }

  // 0 = p − loss·s
  static double balance(const Ctx& c) {
    return c.x(p) - Member::Loss::loss(ratio(c), velocity(c), c.par(A_density), c.sign(0));
  }
  static void balance_jacobian(const Ctx& c, Row row) {
    const double A = area(c);
    row[q] = -Member::Loss::loss_dq(ratio(c), mean_velocity(c.x(q), A), A, c.par(A_density), c.sign(0));
    row[p] = 1;
  }

  static constexpr std::array equations{
      Equation{.kind = algebraic_nonlinear, .residual = balance, .depends = on(q, p), .jacobian = balance_jacobian}};

  // Sign test of v: m0 = v < 0, m1 = v > 0; signal −v.
  static constexpr int n_zc = 1;
  static constexpr int n_modes = 2;
  static void zero_crossings(const Ctx& c, double* zc) { zc[0] = -velocity(c); }
  static void modes(const Ctx& c, int32_t* m) { sign_test(velocity(c), m); }
};

}  // namespace penstock::friction
