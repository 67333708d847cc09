// SPDX-License-Identifier: BSD-3-Clause
// DampedCell: compliance of a line element on port A, scaled by a damping factor unless the
// parameter Damp_limit is positive.
//   M·dp/dt = q − 0·M,   M = C (Damp_limit > 0) or C·Damp (otherwise)
//   C = dx·A/(ρ·a²),   A = π·Din²/4
// The flow enters through Residual rather than LinearRow; −0·M is the storage term with the
// derivative taken as 0 (NaN when M is not finite). The mode is one flag, m0 = Damp_limit > 0,
// with Damp_limit itself as its zero-crossing signal; it changes only with the parameters.
// Parameters: fluid of A (only A.density is read), dx length [m], Din inner diameter [m],
// a pressure-wave speed [m/s], p0 initial pressure (read by no method), Damp damping factor [-],
// Damp_limit switch value.
#include "compliance.hpp"

namespace penstock {

struct DampedCell : compliance::OnePort {
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A), dx, Din, a, p0, Damp, Damp_limit);

  static double storage(const Ctx& c) {
    const double C = compliance::compliance(pi, c.par(dx), c.par(Din), c.par(A_density), c.par(a));
    return c.flag(0) != 0 ? C : C * c.par(Damp);
  }
  static double charge(const Ctx& c) { return c.x(q) - 0 * storage(c); }
  static void charge_jacobian(const Ctx& /*c*/, Row row) { row[q] = 1; }

  static constexpr std::array equations{Equation{.kind = differential_nonlinear,
                                                 .differential = p,
                                                 .mass = storage,
                                                 .residual = charge,
                                                 .depends = on(q),
                                                 .jacobian = charge_jacobian}};

  static constexpr int n_zc = 1;
  static constexpr int n_modes = 1;
  static void zero_crossings(const Ctx& c, double* zc) { zc[0] = c.par(Damp_limit); }
  static void modes(const Ctx& c, int32_t* m) { m[0] = c.par(Damp_limit) > 0.0 ? 1 : 0; }
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::DampedCell)
