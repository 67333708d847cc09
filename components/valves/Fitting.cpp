// SPDX-License-Identifier: BSD-3-Clause
// Fitting: local loss between ports A and B with one coefficient for each flow direction.
//   p = k·ρ·v²/2,   k = ξ₊ while v ≥ 0,   k = −ξ₋ while v < 0,   v = q/A,   A = 3.14·Din²/4
// The direction is one non-strict flag: at v = 0 the fitting counts as forward, a NaN velocity as
// reverse.
// Inputs: A.p and B.p (bound, unread), q flow, p pressure difference.
// Parameters: port fluids A and B (ρ = A.density), ksi_plus ξ₊ and ksi_minus ξ₋ loss coefficients,
// Din inner diameter [m].
// Modes: m0 = v ≥ 0. Zero crossing: −v.
#include "valves.hpp"

namespace penstock {

struct Fitting {
  PENSTOCK_INPUTS(A_p, B_p, q, p);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B), ksi_plus, ksi_minus, Din);

  static double velocity(const Ctx& c) { return mean_velocity(c.x(q), valves::bore(c.par(Din))); }
  // The signed coefficient of the direction held in the flag.
  static double coefficient(const Ctx& c) { return c.flag(0) != 0 ? c.par(ksi_plus) : -c.par(ksi_minus); }

  // 0 = p − ((k·v²)·ρ)/2
  static double loss(const Ctx& c) {
    return c.x(p) - safe_divide((coefficient(c) * signed_pow(velocity(c), 2)) * c.par(A_density), 2);
  }

  // d/dq = −(2·((k·d(v²)/dq)·ρ))/4;  d/dp = 1
  static void loss_slope(const Ctx& c, Row row) {
    const double A = valves::bore(c.par(Din));
    const double w = valves::dv2_dq(mean_velocity(c.x(q), A), A);
    row[q] = -safe_divide(2 * ((coefficient(c) * w) * c.par(A_density)), 4);
    row[p] = 1;
  }

  static constexpr std::array equations{
      Equation{.kind = algebraic_nonlinear, .residual = loss, .depends = on(q, p), .jacobian = loss_slope}};

  static constexpr int32_t n_zc = 1;
  static constexpr int32_t n_modes = 1;
  static void zero_crossings(const Ctx& c, double* zc) { zc[0] = -velocity(c); }
  static void modes(const Ctx& c, int32_t* m) { m[0] = velocity(c) >= 0.0 ? 1 : 0; }
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::Fitting)
