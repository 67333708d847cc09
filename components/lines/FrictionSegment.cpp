// SPDX-License-Identifier: BSD-3-Clause
// FrictionSegment: quadratic friction loss over half the element length, cross-section with 3.14.
//   0 = p − e·ρ·v²/2 · s,   e = 0.5·λ·dx/Din,   A = 3.14·Din²/4
#include "friction.hpp"

namespace penstock {

struct FrictionSegment {
  static constexpr double circle = 3.14;  // not π
  static double ratio(double lambda, double L, double D) { return safe_divide(0.5 * lambda * L, D); }
  using Loss = friction::LossQuotient;  // (e·v²)·ρ/2
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::friction::Cell<penstock::FrictionSegment>)
