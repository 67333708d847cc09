// SPDX-License-Identifier: BSD-3-Clause
// Headwater: two-port source (ports A, B) imposing the hydrostatic pressure of a fixed water level,
// with the density of port A; the flow passes freely.
//   0 = p − (h·ρ)·g
// Inputs: A.p and B.p (bound, unread), q flow (unread), p pressure variable. Parameters: the fluid
// of A (density used) and B (copied, unread), h water level [m], gravity [m/s²].
#include "penstock/frame.hpp"

namespace penstock {

struct Headwater {
  PENSTOCK_INPUTS(A_p, B_p, q, p);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B), h, gravity);

  static double imposed_pressure(const Ctx& c) { return c.x(p) - (c.par(h) * c.par(A_density)) * c.par(gravity); }
  static void imposed_pressure_jacobian(const Ctx& /*c*/, Row row) { row[p] = 1; }

  static constexpr std::array equations{Equation{.kind = algebraic_nonlinear,
                                                 .residual = imposed_pressure,
                                                 .depends = on(p),
                                                 .jacobian = imposed_pressure_jacobian}};
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::Headwater)
