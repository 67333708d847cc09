// SPDX-License-Identifier: BSD-3-Clause
// Orifice: valve between ports A and B with a variable flow coefficient Kv, open while Kv > 0.
//   open:    q = (A·Kv)·√R,   R = 2·p/ρ,   A = 3.14·Din²/4
//   closed:  q = 0
// The root is sign-preserving (signed_pow(R, 0.5)): a negative p gives the negative flow of |p|.
// At p = 0 the open d/dp entry is not finite; it is handed to the solver as it is.
// Inputs: Kv flow coefficient, A.p and B.p (bound, unread), q flow, p pressure difference.
// Parameters: port fluids A and B (ρ = A.density), Din bore diameter [m].
// Modes: m0 = Kv > 0 (open). Zero crossing: −Kv.
#include "valves.hpp"

namespace penstock {

struct Orifice {
  PENSTOCK_INPUTS(Kv, A_p, B_p, q, p);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B), Din);

  static bool open(const Ctx& c) { return c.flag(0) != 0; }
  // R = (2·p)/ρ, the squared jet velocity.
  static double jet(const Ctx& c) { return safe_divide(2 * c.x(p), c.par(A_density)); }

  // open: 0 = q − (A·Kv)·√R;  closed: 0 = −q
  static double flow(const Ctx& c) {
    if (!open(c)) return -c.x(q);
    return c.x(q) - (valves::bore(c.par(Din)) * c.x(Kv)) * signed_pow(jet(c), 0.5);
  }

  // open: d/dKv = −(A·√R);  d/dq = 1;  d/dp = −((A·Kv)·((√R)'·(2·ρ)/(ρ·ρ))), the slope of a
  // sign-preserving root being 0.5·|b|^(−1/2).   closed: d/dq = −1.
  static void flow_slope(const Ctx& c, Row row) {
    if (!open(c)) {
      row[q] = -1;
      return;
    }
    const double rho = c.par(A_density);
    const double A = valves::bore(c.par(Din));
    const double R = jet(c);
    row[Kv] = -(A * signed_pow(R, 0.5));
    row[q] = 1;
    row[p] = -((A * c.x(Kv)) * (valves::root_slope(R) * safe_divide(2 * rho, rho * rho)));
  }

  static constexpr std::array equations{
      Equation{.kind = algebraic_nonlinear, .residual = flow, .depends = on(Kv, q, p), .jacobian = flow_slope}};

  static constexpr int32_t n_zc = 1;
  static constexpr int32_t n_modes = 1;
  static void zero_crossings(const Ctx& c, double* zc) { zc[0] = -c.x(Kv); }
  static void modes(const Ctx& c, int32_t* m) { m[0] = c.x(Kv) > 0.0 ? 1 : 0; }
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::Orifice)
