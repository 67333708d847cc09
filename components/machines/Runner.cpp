// SPDX-License-Identifier: BSD-3-Clause
// Runner: head and discharge interface of a turbine (ports A, B); the turbine's own characteristic
// lies outside this group.
//   0 = Hturb − p      while hmin ≤ Hturb
//   0 = h0 − Hturb     while Hturb < hmin (the flag reads the head it sets: with h0 < hmin the head
//                      stays latched at h0)
//   0 = Qturb − q
// Inputs: Qturb discharge, Hturb head, A.p and B.p (bound, unread), q flow, p pressure variable.
// Parameters: the fluid of A and B (copied, unread), h0 head held below the minimum, hmin minimum
// head.
#include "penstock/frame.hpp"

namespace penstock {

struct Runner {
  PENSTOCK_INPUTS(Qturb, Hturb, A_p, B_p, q, p);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B), h0, hmin);

  enum Flag { below_minimum };
  static constexpr int32_t n_modes = 1;
  static constexpr int32_t n_zc = 1;

  static void modes(const Ctx& c, int32_t* m) { m[below_minimum] = c.par(hmin) > c.x(Hturb); }
  static void zero_crossings(const Ctx& c, double* zc) { zc[0] = c.par(hmin) - c.x(Hturb); }

  static double head(const Ctx& c) {
    if (c.flag(below_minimum) != 0) return c.par(h0) - c.x(Hturb);
    return c.x(Hturb) - c.x(p);
  }
  static void head_jacobian(const Ctx& c, Row row) {
    const bool held = c.flag(below_minimum) != 0;
    row[Hturb] = held ? -1 : 1;
    row[p] = held ? 0 : -1;
  }

  static void discharge(Params /*par*/, Row row) {
    row[Qturb] = 1;
    row[q] = -1;
  }

  static constexpr std::array equations{
      Equation{.kind = algebraic_nonlinear, .residual = head, .depends = on(Hturb, p), .jacobian = head_jacobian},
      Equation{.kind = algebraic_linear, .linear_row = discharge},
  };
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::Runner)
