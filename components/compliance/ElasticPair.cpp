// SPDX-License-Identifier: BSD-3-Clause
// ElasticPair: compliance of a line element between ports A and B, from the wave speed a.
//   C·dp/dt = q,   C = dx·A/(ρ·a²),   A = π·Din²/4,   ρ of port A
// Parameters: fluid of A and B (only A.density is read), dx length [m], Din inner diameter [m],
// a pressure-wave speed [m/s], p0 initial pressure (carried to the host, read by no method).
#include "compliance.hpp"

namespace penstock {

struct ElasticPair : compliance::TwoPort {
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B), dx, Din, a, p0);

  static double storage(const Ctx& c) {
    return compliance::compliance(pi, c.par(dx), c.par(Din), c.par(A_density), c.par(a));
  }
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::compliance::Cell<penstock::ElasticPair>)
