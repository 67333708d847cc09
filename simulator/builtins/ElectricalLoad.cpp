// SPDX-License-Identifier: BSD-3-Clause
// ElectricalLoad: the electrical power P drawn from the shaft at S, as the torque it takes.
//   0 = t − P·w/(w² + w_min²)
// At speed t = P/w to within (w_min/w)²; at standstill t = 0, and the torque stays finite at every
// speed (at most P/(2·w_min), at w = w_min). No switches.
// Inputs: P power drawn [W] (signal), S.w (bound), t torque taken from S, w = S.w. Parameters:
// w_min [rad/s].
#include "penstock/frame.hpp"

namespace penstock {

struct ElectricalLoad {
  PENSTOCK_INPUTS(P, S_w, t, w);
  PENSTOCK_PARAMETERS(w_min);

  static double base(const Ctx& c) { return c.x(w) * c.x(w) + c.par(w_min) * c.par(w_min); }  // w² + w_min²

  static double torque(const Ctx& c) { return c.x(t) - safe_divide(c.x(P) * c.x(w), base(c)); }

  // d/dP = −w/m;  d/dw = −P·(m − 2·w²)/m² = −P·(w_min² − w²)/m²,  m = w² + w_min²
  static void torque_slope(const Ctx& c, Row row) {
    const double m = base(c);
    row[P] = -safe_divide(c.x(w), m);
    row[t] = 1;
    row[w] = -safe_divide(c.x(P) * (m - 2 * c.x(w) * c.x(w)), m * m);
  }

  static constexpr std::array equations{
      Equation{.kind = algebraic_nonlinear, .residual = torque, .depends = on(P, t, w), .jacobian = torque_slope}};
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::ElectricalLoad)
