// ElasticPair: compliance of a line element between ports A and B, from the wave speed a.
//   C·dp/dt = q,   C = dx·A/(ρ·a²),   A = π·Din²/4,   ρ of port A
// Parameters: fluid of A and B (only A.density is read), dx length [m], Din inner diameter [m],
// a pressure-wave speed [m/s], p0 initial pressure (carried to the host, read by no method).
#include "compliance.hpp"

namespace penstock {

struct ElasticPair : compliance::TwoPort {
  enum Param { density = 0, dx = fluid(2), Din, a, p0 };
  static constexpr auto params = with_fluid<2>({"dx", "Din", "a", "p0"});

  static double storage(const Ctx& k) {
    return compliance::compliance(pi, k.par(dx), k.par(Din), k.par(density), k.par(a));
  }
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::compliance::Cell<penstock::ElasticPair>)
