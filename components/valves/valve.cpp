// SPDX-License-Identifier: BSD-3-Clause
// valve: local loss between ports A and B with a variable loss coefficient ζ = ksi.
//   p = ζ·(ρ·v²/2)·s,   v = q/A,   A = 3.14·Din²/4,   s = sign of v from the flags
// The density is the valve's own parameter `density`; A.density is fetched and not read.
// Inputs: ksi loss coefficient, A.p and B.p (bound, unread), q flow, p pressure difference.
// Parameters: port fluids A and B, Din bore diameter [m], density ρ [kg/m³].
// Modes: m0 = v < 0, m1 = v > 0. Zero crossing: −v.
#include "valves.hpp"

namespace penstock {

struct valve : valves::FlowDirection<valve> {
  PENSTOCK_INPUTS(ksi, A_p, B_p, q, p);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B), Din, density);

  // h = ρ·v²/2, the dynamic pressure in the bore.
  static double dynamic_pressure(const Ctx& c, double v) { return safe_divide(c.par(density) * signed_pow(v, 2), 2); }

  // 0 = p − (h·ζ)·s
  static double loss(const Ctx& c) {
    const double v = velocity(c);
    return c.x(p) - (dynamic_pressure(c, v) * c.x(ksi)) * c.sign(0);
  }

  // d/dksi = −h·s;  d/dq = −(g·ζ)·s with g = (2·(ρ·d(v²)/dq))/4 = ρ·v/A;  d/dp = 1
  static void loss_slope(const Ctx& c, Row row) {
    const double A = valves::bore(c.par(Din));
    const double v = mean_velocity(c.x(q), A);
    const double s = c.sign(0);
    const double g = safe_divide(2 * (c.par(density) * valves::dv2_dq(v, A)), 4);
    row[ksi] = -(dynamic_pressure(c, v) * s);
    row[q] = -((g * c.x(ksi)) * s);
    row[p] = 1;
  }

  static constexpr std::array equations{
      Equation{.kind = algebraic_nonlinear, .residual = loss, .depends = on(ksi, q, p), .jacobian = loss_slope}};
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::valve)
