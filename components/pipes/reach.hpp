// SPDX-License-Identifier: BSD-3-Clause
// Pipe reaches: a water column of length ℓ and inner diameter D between two nodes, with the
// inertia of the column and Darcy–Weisbach friction whose direction follows the flow,
//   ρ·ℓ/S · dq/dt = p − λ·ℓ/D · ρ·v²/2 · s,   S = π·D²/4,  v = q/S,  s = sign of v from the flags,
// and the storage of a pipe length through the pressure-wave speed a,
//   C·dp/dt = q,   C = ℓ·S/(ρ·a²).
// The half-length reach below is the one of the four-node section and of the two-port surge line;
// a member that groups a formula otherwise writes its own. The friction and storage formulas are
// those of the friction and compliance cells, where the grouping is the same.
#pragma once

#include "../compliance/compliance.hpp"
#include "../lines/friction.hpp"
#include "penstock/frame.hpp"
#include "penstock/hydraulics.hpp"

namespace penstock::reach {

// Inertance of a half-length reach: L_h = ((0.5·dx)/S)·ρ.
inline double half_inertance(double rho, double dx, double S) { return safe_divide(0.5 * dx, S) * rho; }

// Friction length ratio of a half-length reach: e = ((0.5·λ)·dx)/Din.
inline double half_ratio(double lambda, double dx, double Din) { return safe_divide(0.5 * lambda * dx, Din); }

// Its friction through the coefficient k_f = (e·ρ)/2 formed first: drop (k_f·v²)·s and
// d drop/dq = (k_f·((2·v)·(S/(S·S))))·s, where S/(S·S) is 1/S, and 0 (not 1e16) at S = 0.
using HalfLoss = friction::LossCoefficient;

// Where a half-length reach finds its values in a component: parameter indices, the indices of its
// flow and pressure-difference inputs, and the first of its two sign flags (v < 0, v > 0).
struct Half {
  int rho, dx, Din, lambda;
  int q, p;
  int flags;
};

// A half-length reach with the π cross-section, as a differential equation in its flow:
//   L_h·dq/dt = p − ((k_f·v²)·s + 0·L_h).
template <Half R>
struct HalfReach {
  static double area(const Ctx& c) { return cross_section(pi, c.par(R.Din)); }
  static double velocity(const Ctx& c) { return mean_velocity(c.x(R.q), area(c)); }
  static double ratio(const Ctx& c) { return half_ratio(c.par(R.lambda), c.par(R.dx), c.par(R.Din)); }
  static double inertance(const Ctx& c) { return half_inertance(c.par(R.rho), c.par(R.dx), area(c)); }
  static double friction_drop(const Ctx& c, double S) {
    return HalfLoss::loss(ratio(c), mean_velocity(c.x(R.q), S), c.par(R.rho), c.sign(R.flags));
  }
  // Residual and Jacobian of the friction alone, 0 = p − (k_f·v²)·s.
  static double friction_residual(const Ctx& c) { return c.x(R.p) - friction_drop(c, area(c)); }
  static void friction_jacobian(const Ctx& c, Row row) {
    const double S = area(c);
    row[R.q] = -HalfLoss::loss_dq(ratio(c), mean_velocity(c.x(R.q), S), S, c.par(R.rho), c.sign(R.flags));
    row[R.p] = 1;
  }

  static double residual(const Ctx& c) {
    const double S = area(c);
    return c.x(R.p) - (friction_drop(c, S) + 0 * half_inertance(c.par(R.rho), c.par(R.dx), S));
  }

  static constexpr Equation equation{.kind = differential_nonlinear,
                                     .differential = R.q,
                                     .mass = inertance,
                                     .residual = residual,
                                     .depends = on(R.q, R.p),
                                     .jacobian = friction_jacobian};
};

}  // namespace penstock::reach
