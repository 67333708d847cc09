// SPDX-License-Identifier: BSD-3-Clause
// InertiaCell: inertia of the fluid over the whole element length, cross-section with 3.14.
//   M·dq/dt = p,   M = (dx/A)·ρ,   A = 3.14·Din²/4
#include "inertia.hpp"

namespace penstock {

struct InertiaCell {
  static constexpr double circle = 3.14;  // not π
  static double inertance(double L, double A, double rho) { return safe_divide(L, A) * rho; }
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::inertia::Cell<penstock::InertiaCell>)
