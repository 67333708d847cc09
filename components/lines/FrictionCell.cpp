// SPDX-License-Identifier: BSD-3-Clause
// FrictionCell: quadratic friction loss over the whole element length.
//   0 = p − e·ρ·v²/2 · s,   e = λ·dx/Din,   A = π·Din²/4
#include "friction.hpp"

namespace penstock {

struct FrictionCell {
  static constexpr double circle = pi;
  static double ratio(double lambda, double L, double D) { return safe_divide(lambda * L, D); }
  using Loss = friction::LossQuotient;  // (e·v²)·ρ/2
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::friction::Cell<penstock::FrictionCell>)
