// SPDX-License-Identifier: BSD-3-Clause
// Reservoir: open tank on port A with constant cross-section; the volume V is the state (note V
// before z in the inputs, the reverse of Tank).
//   0 = p − (ρ·g)·z                 hydrostatic pressure
//   −dV/dt = −q                     volume (both entries negative)
//   0 = z − V·(Area/(Area·Area))    level: the quotient Area/(Area·Area), not 1/Area
//   0 = Qin − q                     inflow
// Inputs: A.p (bound, unread), V volume, z level, Qin inflow, q flow into the tank, p pressure of
// the water column. Parameters: the fluid of A (density used), Area [m²], gravity [m/s²].
#include "open_tank.hpp"

namespace penstock {

struct Reservoir {
  PENSTOCK_INPUTS(A_p, V, z, Qin, q, p);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A), Area, gravity);

  static double storage(const Ctx& /*c*/) { return -1; }
  static void volume(Params /*par*/, Row row) { row[q] = -1; }
  static void level(Params par, Row row) {
    row[V] = -safe_divide(par[Area], par[Area] * par[Area]);
    row[z] = 1;
  }

  static constexpr std::array equations{
      Equation{.kind = algebraic_linear, .linear_row = open_tank::hydrostatic<z, p, A_density, gravity>},
      Equation{.kind = differential_linear, .differential = V, .mass = storage, .linear_row = volume},
      Equation{.kind = algebraic_linear, .linear_row = level},
      Equation{.kind = algebraic_linear, .linear_row = open_tank::inflow<Qin, q>},
  };
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::Reservoir)
