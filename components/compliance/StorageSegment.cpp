// SPDX-License-Identifier: BSD-3-Clause
// StorageSegment (built also as StorageLine): compliance of a line element on port A, from the
// wave speed a, passed twice through the guarded reciprocal.
//   C·dp/dt = q,   C = 1/(1/(dx·A/(ρ·a²))),   A = π·Din²/4
// The double reciprocal is C up to rounding, and 1e-16 rather than 0 when dx or Din is 0.
// Parameters: fluid of A (only A.density is read), dx length [m], Din inner diameter [m],
// a pressure-wave speed [m/s].
#include "compliance.hpp"

namespace penstock {

struct StorageSegment : compliance::OnePort {
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A), dx, Din, a);

  static double storage(const Ctx& c) {
    const double C = compliance::compliance(pi, c.par(dx), c.par(Din), c.par(A_density), c.par(a));
    return safe_divide(1, safe_divide(1, C));
  }
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::compliance::Cell<penstock::StorageSegment>)
