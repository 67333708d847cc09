// SPDX-License-Identifier: BSD-3-Clause
// ElasticSegment: compliance of a line element on port A, the wave speed computed from the fluid's
// bulk modulus and the elasticity of a thin pipe wall; cross-section with 3.14.
//   C·dp/dt = q,   C = dx·A/(ρ·a²),   A = 3.14·Din²/4
//   a = √(K/(ρ·(K·Din/(E·epipe) + 1)))   (root by signed power: a negative radicand gives −√|x|)
// Parameters: fluid of A (only A.density is read; the bulk modulus is K, not A.bulk), dx length
// [m], Din inner diameter [m], epipe wall thickness [m], K bulk modulus of the fluid [Pa],
// E elastic modulus of the wall [Pa], p0 initial pressure (carried to the host, read by no method).
#include "compliance.hpp"

namespace penstock {

struct ElasticSegment : compliance::OnePort {
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A), dx, Din, epipe, K, E, p0);

  static double wave_speed(const Ctx& c) {
    const double ratio = safe_divide(c.par(K), c.par(E));            // K/E
    const double r = safe_divide(ratio * c.par(Din), c.par(epipe));  // (K/E)·D/e
    return signed_pow(safe_divide(c.par(K), c.par(A_density) * (r + 1)), 0.5);
  }
  static double storage(const Ctx& c) {
    return compliance::compliance(3.14, c.par(dx), c.par(Din), c.par(A_density), wave_speed(c));  // not π
  }
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::compliance::Cell<penstock::ElasticSegment>)
