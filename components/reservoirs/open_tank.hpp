// SPDX-License-Identifier: BSD-3-Clause
// What the two open tanks share: the hydrostatic pressure of the water column at the port and the
// inflow copy. Each tank states its own storage and level–volume equations.
//   0 = p − (ρ·g)·z     ρ the density of port A
//   0 = Qin − q
#pragma once

#include "penstock/frame.hpp"

namespace penstock::open_tank {

template <int z, int p, int rho, int gravity>
void hydrostatic(Params par, Row row) {
  row[z] = -(par[rho] * par[gravity]);
  row[p] = 1;
}

template <int Qin, int q>
void inflow(Params /*par*/, Row row) {
  row[Qin] = 1;
  row[q] = -1;
}

}  // namespace penstock::open_tank
