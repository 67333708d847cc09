// SPDX-License-Identifier: BSD-3-Clause
// FrictionLine: quadratic friction loss over half the element length, through the coefficient k.
//   0 = p − k·v² · s,   k = e·ρ/2,   e = 0.5·λ·dx/Din,   A = π·Din²/4
#include "friction.hpp"

namespace penstock {

struct FrictionLine {
  static constexpr double circle = pi;
  static double ratio(double lambda, double L, double D) { return safe_divide(0.5 * lambda * L, D); }
  using Loss = friction::LossCoefficient;  // (e·ρ/2)·v²
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::friction::Cell<penstock::FrictionLine>)
