// SPDX-License-Identifier: BSD-3-Clause
// LineSegment: a length of water pipe between ports A and B as the friction of a half-length
// reach, without inertia, and the storage of the whole length through the pressure-wave speed.
//   0 = p − k_f·v²·s
//   C·dp/dt = q
//   S = π·Din²/4,  v = q/S,  k_f = λ·(dx/2)/Din·ρ/2,  s = sign of v (flags),
//   C = (dx·S)/(ρ·a²)   (one division: exactly 0 at dx·S = 0)
// Inputs: A.p, B.p (bound, unread), q flow, p pressure difference. Parameters: dx length [m],
// Din inner diameter [m], lambda Darcy friction factor, a pressure-wave speed [m/s].
// Zero crossing −v; flags v < 0, v > 0.
#include "reach.hpp"

namespace penstock {

struct LineSegment {
  PENSTOCK_INPUTS(A_p, B_p, q, p);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B), dx, Din, lambda, a);

  using Reach = reach::HalfReach<reach::Half{A_density, dx, Din, lambda, q, p, 0}>;

  // C = (dx·S)/(ρ·a²).
  static double storage(const Ctx& c) {
    return compliance::compliance(pi, c.par(dx), c.par(Din), c.par(A_density), c.par(a));
  }
  static void charged_by_q(Params /*par*/, Row row) { row[q] = 1; }

  static constexpr std::array equations{
      Equation{.kind = algebraic_nonlinear,
               .residual = Reach::friction_residual,
               .depends = on(q, p),
               .jacobian = Reach::friction_jacobian},
      Equation{.kind = differential_linear, .differential = p, .mass = storage, .linear_row = charged_by_q},
  };

  static constexpr int n_zc = 1;
  static constexpr int n_modes = 2;
  static void zero_crossings(const Ctx& c, double* zc) { zc[0] = -Reach::velocity(c); }
  static void modes(const Ctx& c, int32_t* m) { sign_test(Reach::velocity(c), m); }
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::LineSegment)
