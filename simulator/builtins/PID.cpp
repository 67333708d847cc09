// SPDX-License-Identifier: BSD-3-Clause
// PID: a PID controller with a filtered derivative, output limits and anti-windup by conditional
// integration. With the error e = r − u and the unlimited output v = Kp·e + xi + Kd·(e − xd)/Tf:
//   0 = y − clamp(v, y_min, y_max)
//   dxi/dt = Ki·e        while y is held at a limit and e drives v further past it, damped by
//                        δ²/(δ² + o²), o = v − limit, δ = 1e-3·max(y_max − y_min, 1): all but
//                        stopped
//   Tf·dxd/dt = e − xd   the derivative filter: Kd·dxd/dt is the derivative action
// Inputs: r reference, u measurement, y output, xi integral state, xd derivative filter state.
// Parameters: Kp proportional gain, Ki integral gain [1/s], Kd derivative gain [s], Tf filter time
// constant [s], y_min and y_max output limits, xi0 start value of xi.
// Modes: m0 = v < y_min, m1 = v > y_max, m2 = e < 0, m3 = e > 0. Zero crossings: v − y_min,
// v − y_max, e.
#include <cmath>

#include "penstock/frame.hpp"

namespace penstock {

struct PID {
  PENSTOCK_INPUTS(r, u, y, xi, xd);
  PENSTOCK_PARAMETERS(Kp, Ki, Kd, Tf, y_min, y_max, xi0);

  enum Flag { below, above, error_negative, error_positive };
  static constexpr int32_t n_modes = 4;
  static constexpr int32_t n_zc = 3;

  static double error(const Ctx& c) { return c.x(r) - c.x(u); }
  static double unlimited(const Ctx& c) {
    const double e = error(c);
    return c.par(Kp) * e + c.x(xi) + c.par(Kd) * (e - c.x(xd)) / c.par(Tf);
  }

  static void modes(const Ctx& c, int32_t* m) {
    m[below] = unlimited(c) < c.par(y_min);
    m[above] = unlimited(c) > c.par(y_max);
    sign_test(error(c), m + error_negative);
  }

  static void zero_crossings(const Ctx& c, double* zc) {
    zc[0] = unlimited(c) - c.par(y_min);
    zc[1] = unlimited(c) - c.par(y_max);
    zc[2] = error(c);
  }

  static bool free(const Ctx& c) { return c.flag(below) == 0 && c.flag(above) == 0; }
  // The integral runs unless the output is held at a limit and the error drives it further.
  static bool integrating(const Ctx& c) {
    return !(c.flag(above) != 0 && c.flag(error_positive) != 0) && !(c.flag(below) != 0 && c.flag(error_negative) != 0);
  }

  static double output(const Ctx& c) {
    if (c.flag(below) != 0) return c.x(y) - c.par(y_min);
    if (c.flag(above) != 0) return c.x(y) - c.par(y_max);
    return c.x(y) - unlimited(c);
  }

  static void output_slope(const Ctx& c, Row row) {
    const double d = free(c) ? c.par(Kd) / c.par(Tf) : 0;
    const double p = free(c) ? c.par(Kp) + d : 0;
    row[r] = -p;
    row[u] = p;
    row[y] = 1;
    row[xi] = free(c) ? -1 : 0;
    row[xd] = d;
  }

  static double one(const Ctx& /*c*/) { return 1; }

  // While the output is held at a limit and e drives v further past it, the integral is damped by
  // the share δ²/(δ² + o²), o = v − limit, δ a thousandth of the output range: it stands all but
  // still once v is clear of the limit, and runs at its full rate Ki·e where v meets the limit, so
  // that its rate is continuous (and smooth) there and the limit is no sliding surface on which the
  // flags chatter.
  static double softness(const Ctx& c) { return 1e-3 * std::max(std::abs(c.par(y_max) - c.par(y_min)), 1.0); }
  static double overshoot(const Ctx& c) {  // o, past the limit the output is held at
    return c.flag(above) != 0 ? unlimited(c) - c.par(y_max) : c.par(y_min) - unlimited(c);
  }
  static double share(const Ctx& c) {
    if (integrating(c)) return 1.0;
    const double d2 = softness(c) * softness(c), o = overshoot(c);
    return d2 / (d2 + o * o);
  }
  static double integral_rate(const Ctx& c) { return c.par(Ki) * error(c) * share(c); }
  static void integral_slope(const Ctx& c, Row row) {
    const double ki = c.par(Ki), e = error(c);
    double ds_dv = 0;  // d share/dv = d share/do · do/dv, do/dv = ±1
    if (!integrating(c)) {
      const double d2 = softness(c) * softness(c), o = overshoot(c), q = d2 + o * o;
      ds_dv = -2 * d2 * o / (q * q) * (c.flag(above) != 0 ? 1.0 : -1.0);
    }
    const double kd = c.par(Kd) / c.par(Tf);
    const double de = ki * (share(c) + e * ds_dv * (c.par(Kp) + kd));  // through e and through v
    row[r] = de;
    row[u] = -de;
    row[xi] = ki * e * ds_dv;
    row[xd] = -ki * e * ds_dv * kd;
  }

  static double filter_time(const Ctx& c) { return c.par(Tf); }
  static void filter(Params /*par*/, Row row) {
    row[r] = 1;
    row[u] = -1;
    row[xd] = -1;
  }

  static constexpr std::array equations{
      Equation{
          .kind = algebraic_nonlinear, .residual = output, .depends = on(r, u, y, xi, xd), .jacobian = output_slope},
      Equation{.kind = differential_nonlinear,
               .differential = xi,
               .mass = one,
               .residual = integral_rate,
               .depends = on(r, u, xi, xd),
               .jacobian = integral_slope},
      Equation{.kind = differential_linear, .differential = xd, .mass = filter_time, .linear_row = filter},
  };
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::PID)
