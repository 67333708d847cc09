// ElasticCell: compliance of a line element on port A, from the wave speed a.
//   C·dp/dt = q,   C = dx·A/(ρ·a²),   A = π·Din²/4
// Parameters: fluid of A (only A.density is read), dx length [m], Din inner diameter [m],
// a pressure-wave speed [m/s], p0 initial pressure (carried to the host, read by no method).
#include "compliance.hpp"

namespace penstock {

struct ElasticCell : compliance::OnePort {
  enum Param { density = 0, dx = fluid(1), Din, a, p0 };
  static constexpr auto params = with_fluid<1>({"dx", "Din", "a", "p0"});

  static double storage(const Ctx& k) {
    return compliance::compliance(pi, k.par(dx), k.par(Din), k.par(density), k.par(a));
  }
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::compliance::Cell<penstock::ElasticCell>)
