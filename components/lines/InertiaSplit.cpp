// SPDX-License-Identifier: BSD-3-Clause
// InertiaSplit: inertia of the fluid over half the element length (the same cell as InertiaLine).
//   M·dq/dt = p,   M = (0.5·dx/A)·ρ,   A = π·Din²/4
#include "inertia.hpp"

namespace penstock {

struct InertiaSplit {
  static constexpr double circle = pi;
  static double inertance(double L, double A, double rho) { return safe_divide(0.5 * L, A) * rho; }
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::inertia::Cell<penstock::InertiaSplit>)
