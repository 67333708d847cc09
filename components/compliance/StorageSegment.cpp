// StorageSegment (built also as StorageLine): compliance of a line element on port A, from the
// wave speed a, passed twice through the guarded reciprocal.
//   C·dp/dt = q,   C = 1/(1/(dx·A/(ρ·a²))),   A = π·Din²/4
// The double reciprocal is C up to rounding, and 1e-16 rather than 0 when dx or Din is 0.
// Parameters: fluid of A (only A.density is read), dx length [m], Din inner diameter [m],
// a pressure-wave speed [m/s].
#include "compliance.hpp"

namespace penstock {

struct StorageSegment : compliance::OnePort {
  enum Param { density = 0, dx = fluid(1), Din, a };
  static constexpr auto params = with_fluid<1>({"dx", "Din", "a"});

  static double storage(const Ctx& k) {
    const double C = compliance::compliance(pi, k.par(dx), k.par(Din), k.par(density), k.par(a));
    return safe_divide(1, safe_divide(1, C));
  }
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::compliance::Cell<penstock::StorageSegment>)
