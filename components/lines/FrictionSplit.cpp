// SPDX-License-Identifier: BSD-3-Clause
// FrictionSplit: quadratic friction loss over half the element length.
//   0 = p − e·ρ·v²/2 · s,   e = 0.5·λ·dx/Din,   A = π·Din²/4
#include "friction.hpp"

namespace penstock {

struct FrictionSplit {
  static constexpr double circle = pi;
  static double ratio(double lambda, double L, double D) { return safe_divide(0.5 * lambda * L, D); }
  using Loss = friction::LossQuotient;  // (e·v²)·ρ/2
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::friction::Cell<penstock::FrictionSplit>)
