// SPDX-License-Identifier: BSD-3-Clause
// Tank: open tank on port A with constant cross-section; the level z is the state.
//   0 = p − (ρ·g)·z         hydrostatic pressure
//   Area·dz/dt = q          level
//   0 = V − Area·z          volume
//   0 = Qin − q             inflow
// Inputs: A.p (bound, unread), z level, V volume, Qin inflow, q flow into the tank, p pressure of
// the water column. Parameters: the fluid of A (density used), Area [m²], z_ini (copied, read by no
// method: the level's start value is set by the host), gravity [m/s²].
#include "open_tank.hpp"

namespace penstock {

struct Tank {
  PENSTOCK_INPUTS(A_p, z, V, Qin, q, p);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A), Area, z_ini, gravity);

  static double storage(const Ctx& c) { return c.par(Area); }
  static void level(Params /*par*/, Row row) { row[q] = 1; }
  static void volume(Params par, Row row) {
    row[z] = -par[Area];
    row[V] = 1;
  }

  static constexpr std::array equations{
      Equation{.kind = algebraic_linear, .linear_row = open_tank::hydrostatic<z, p, A_density, gravity>},
      Equation{.kind = differential_linear, .differential = z, .mass = storage, .linear_row = level},
      Equation{.kind = algebraic_linear, .linear_row = volume},
      Equation{.kind = algebraic_linear, .linear_row = open_tank::inflow<Qin, q>},
  };
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::Tank)
