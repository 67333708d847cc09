// SPDX-License-Identifier: BSD-3-Clause
// InertiaSegment: inertia of the fluid over half the element length, cross-section with 3.14.
//   M·dq/dt = p,   M = (0.5·dx/A)·ρ,   A = 3.14·Din²/4
#include "inertia.hpp"

namespace penstock {

struct InertiaSegment {
  static constexpr double circle = 3.14;  // not π
  static double inertance(double L, double A, double rho) { return safe_divide(0.5 * L, A) * rho; }
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::inertia::Cell<penstock::InertiaSegment>)
