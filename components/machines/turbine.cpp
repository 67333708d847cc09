// SPDX-License-Identifier: BSD-3-Clause
// turbine: two-port turbine (ports A, B) with a straight-line flow characteristic whose
// coefficients are network variables:
//   0 = q − (k1·p + k0)
// Inputs: k0 offset (flow at p = 0), k1 slope, A.p and B.p (bound, unread), q flow, p pressure
// variable. Parameters: the fluid of A and B, copied and unread.
#include "penstock/frame.hpp"

namespace penstock {

struct turbine {
  PENSTOCK_INPUTS(k0, k1, A_p, B_p, q, p);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B));

  static double characteristic(const Ctx& c) { return c.x(q) - (c.x(k1) * c.x(p) + c.x(k0)); }
  static void characteristic_jacobian(const Ctx& c, Row row) {
    row[k0] = -1;
    row[k1] = -c.x(p);
    row[q] = 1;
    row[p] = -c.x(k1);
  }

  static constexpr std::array equations{Equation{.kind = algebraic_nonlinear,
                                                 .residual = characteristic,
                                                 .depends = on(k0, k1, q, p),
                                                 .jacobian = characteristic_jacobian}};
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::turbine)
