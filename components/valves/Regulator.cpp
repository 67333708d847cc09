// SPDX-License-Identifier: BSD-3-Clause
// Regulator: local loss between ports A and B whose loss coefficient follows the relative opening σ.
//   p = ζ·(ρ·v²/2)·s,   ζ = z − 1,   z = 1/σ²,   v = q/A,   A = 3.14·Din²/4,   s = sign of v
// Closed (σ = 0) the coefficient is 1/1e-16 − 1; fully open (σ = 1) there is no loss; an opening
// beyond 1 gives a negative coefficient. The coefficient stands inside the division by 2.
// Inputs: sigma relative opening, A.p and B.p (bound, unread), q flow, p pressure difference.
// Parameters: port fluids A and B (ρ = A.density), Din bore diameter [m].
// Modes: m0 = v < 0, m1 = v > 0. Zero crossing: −v.
#include "valves.hpp"

namespace penstock {

struct Regulator : valves::FlowDirection<Regulator> {
  PENSTOCK_INPUTS(sigma, A_p, B_p, q, p);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B), Din);

  // z = 1/σ²
  static double z(const Ctx& c) { return safe_divide(1, signed_pow(c.x(sigma), 2)); }

  // 0 = p − ((((z − 1)·ρ)·v²)/2)·s
  static double loss(const Ctx& c) {
    const double v = velocity(c);
    return c.x(p) - safe_divide(((z(c) - 1) * c.par(A_density)) * signed_pow(v, 2), 2) * c.sign(0);
  }

  // d/dsigma = −((2·((y·ρ)·v²))/4)·s with y = dz/dσ = −(2·σ)/(σ²·σ²);
  // d/dq = −((2·(((z − 1)·ρ)·d(v²)/dq))/4)·s;  d/dp = 1
  static void loss_slope(const Ctx& c, Row row) {
    const double rho = c.par(A_density);
    const double A = valves::bore(c.par(Din));
    const double v = mean_velocity(c.x(q), A);
    const double s = c.sign(0);
    const double o = c.x(sigma);
    const double y = safe_divide(-(2 * signed_pow(o, 1)), signed_pow(o, 2) * signed_pow(o, 2));
    row[sigma] = -(safe_divide(2 * ((y * rho) * signed_pow(v, 2)), 4) * s);
    row[q] = -(safe_divide(2 * (((z(c) - 1) * rho) * valves::dv2_dq(v, A)), 4) * s);
    row[p] = 1;
  }

  static constexpr std::array equations{
      Equation{.kind = algebraic_nonlinear, .residual = loss, .depends = on(sigma, q, p), .jacobian = loss_slope}};
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::Regulator)
