// SPDX-License-Identifier: BSD-3-Clause
// Governor: the PI speed governor of a hydro unit with permanent droop, driving the guide-vane
// servomotor through its rate and stroke limits.
//   0 = e − ((w_ref − w)/w_ref − b_p·(y − y_set))   speed error less the droop's share
//   0 = c − (y_set + Kp·e + xi)                     opening command
//   dxi/dt = Kp/Ti·e                                while the servo is held at an opening limit or
//                                                   runs at a rate limit and e pushes it further,
//                                                   damped by δ²/(δ² + excess²), δ = 1e-3: all but
//                                                   stopped (the excess of the command over what
//                                                   the servo follows)
//   dy/dt = min(max((c − y)/Ty, −1/Tclose), 1/Topen), and 0 while y is at y_max and c > y or at
//                                                   y_min and c < y
// In steady state e = 0: (w_ref − w)/w_ref = b_p·(y − y_set).
// Inputs: w measured shaft speed, y_set opening setpoint, y opening, c command, xi integral state,
// e error. Parameters: w_ref speed reference [rad/s], b_p permanent droop, Kp proportional gain,
// Ti integral time [s], Ty servomotor time constant [s], Topen and Tclose full-stroke opening and
// closing times [s], y_min and y_max opening limits, y0 start opening.
// Modes: m0 = (c − y)/Ty > 1/Topen, m1 = (c − y)/Ty < −1/Tclose, m2 = y ≥ y_max, m3 = y ≤ y_min,
// m4 = c − y < 0, m5 = c − y > 0, m6 = e < 0, m7 = e > 0. Zero crossings: the two rate limits,
// y − y_max, y − y_min, at a stop alone c − y, and e while the servo cannot follow.
#include <cmath>

#include "penstock/frame.hpp"

namespace penstock {

struct Governor {
  PENSTOCK_INPUTS(w, y_set, y, c, xi, e);
  PENSTOCK_PARAMETERS(w_ref, b_p, Kp, Ti, Ty, Topen, Tclose, y_min, y_max, y0);

  enum Flag { opening_at_rate, closing_at_rate, at_max, at_min, closing, opening, error_negative, error_positive };
  static constexpr int32_t n_modes = 8;
  static constexpr int32_t n_zc = 6;

  static double servo_rate(const Ctx& x) { return (x.x(c) - x.x(y)) / x.par(Ty); }

  static void modes(const Ctx& x, int32_t* m) {
    m[opening_at_rate] = servo_rate(x) > 1 / x.par(Topen);
    m[closing_at_rate] = servo_rate(x) < -1 / x.par(Tclose);
    m[at_max] = x.x(y) >= x.par(y_max);
    m[at_min] = x.x(y) <= x.par(y_min);
    sign_test(x.x(c) - x.x(y), m + closing);
    sign_test(x.x(e), m + error_negative);
  }

  static void zero_crossings(const Ctx& x, double* zc) {
    zc[0] = servo_rate(x) - 1 / x.par(Topen);
    zc[1] = servo_rate(x) + 1 / x.par(Tclose);
    zc[2] = x.x(y) - x.par(y_max);
    zc[3] = x.x(y) - x.par(y_min);
    // The command against the opening matters only at a stop, the sign of the error only while the
    // servo cannot follow: watched there alone, so that a unit at rest on its droop line, where both
    // hover about zero, does not switch on the rounding noise.
    const bool at_stop = x.flag(at_max) != 0 || x.flag(at_min) != 0;
    const bool limited = at_stop || x.flag(opening_at_rate) != 0 || x.flag(closing_at_rate) != 0;
    zc[4] = at_stop ? x.x(c) - x.x(y) : 0;
    zc[5] = limited ? x.x(e) : 0;
  }

  // The servo stands against a stop that the command pushes it into.
  static bool held_open(const Ctx& x) { return x.flag(at_max) != 0 && x.flag(opening) != 0; }
  static bool held_shut(const Ctx& x) { return x.flag(at_min) != 0 && x.flag(closing) != 0; }
  static bool servo_free(const Ctx& x) {
    return !held_open(x) && !held_shut(x) && x.flag(opening_at_rate) == 0 && x.flag(closing_at_rate) == 0;
  }
  // The servo cannot follow the command any faster: it stands at a stop, or runs at a rate limit,
  // in the direction the command pushes it.
  static bool pushing_open(const Ctx& x) { return held_open(x) || x.flag(opening_at_rate) != 0; }
  static bool pushing_shut(const Ctx& x) { return held_shut(x) || x.flag(closing_at_rate) != 0; }
  static bool integrating(const Ctx& x) {
    return !(pushing_open(x) && x.flag(error_positive) != 0) && !(pushing_shut(x) && x.flag(error_negative) != 0);
  }
  // How far the command stands beyond what the servo follows: beyond the opening at a stop, beyond
  // the rate limit's command y ± Ty/Topen (Ty/Tclose) while it runs at that limit.
  static double excess(const Ctx& x) {
    const double gap = x.x(c) - x.x(y);
    if (held_open(x) || held_shut(x)) return gap;
    if (x.flag(opening_at_rate) != 0) return gap - x.par(Ty) / x.par(Topen);
    if (x.flag(closing_at_rate) != 0) return gap + x.par(Ty) / x.par(Tclose);
    return gap;
  }

  static double error(const Ctx& x) {
    return x.x(e) - ((x.par(w_ref) - x.x(w)) / x.par(w_ref) - x.par(b_p) * (x.x(y) - x.x(y_set)));
  }
  static void error_slope(const Ctx& x, Row row) {
    row[w] = 1 / x.par(w_ref);
    row[y_set] = -x.par(b_p);
    row[y] = x.par(b_p);
    row[e] = 1;
  }

  static void command(Params par, Row row) {
    row[c] = 1;
    row[y_set] = -1;
    row[e] = -par[Kp];
    row[xi] = -1;
  }

  static double one(const Ctx& /*x*/) { return 1; }

  // While the servo cannot follow (held at a stop, or at a rate limit) and e pushes further, the
  // integral is damped by the share δ²/(δ² + excess²), δ = 1e-3 of the stroke: all but still once
  // the command stands clear of what the servo follows, at its full rate where it meets it, so that
  // its rate is continuous there and the release is no sliding surface on which the flags chatter.
  // Without it the integral winds up while the gate runs at its rate limit (a start-up, a load
  // rejection) and holds the gate against its stop long after the speed has come back.
  static constexpr double kSoftness = 1e-3;
  static double share(const Ctx& x) {
    const double gap = excess(x);
    return integrating(x) ? 1.0 : kSoftness * kSoftness / (kSoftness * kSoftness + gap * gap);
  }
  static double integral_rate(const Ctx& x) { return x.par(Kp) / x.par(Ti) * x.x(e) * share(x); }
  static void integral_slope(const Ctx& x, Row row) {
    const double k = x.par(Kp) / x.par(Ti);
    row[e] = k * share(x);
    if (integrating(x)) return;
    const double gap = excess(x), d2 = kSoftness * kSoftness, q = d2 + gap * gap;
    const double ds_dgap = -2 * d2 * gap / (q * q);
    row[c] = k * x.x(e) * ds_dgap;
    row[y] = -k * x.x(e) * ds_dgap;
  }

  static double stroke_rate(const Ctx& x) {
    if (held_open(x) || held_shut(x)) return 0;
    if (x.flag(opening_at_rate) != 0) return 1 / x.par(Topen);
    if (x.flag(closing_at_rate) != 0) return -1 / x.par(Tclose);
    return servo_rate(x);
  }
  static void stroke_slope(const Ctx& x, Row row) {
    const double k = servo_free(x) ? 1 / x.par(Ty) : 0;
    row[c] = k;
    row[y] = -k;
  }

  static constexpr std::array equations{
      Equation{.kind = algebraic_nonlinear, .residual = error, .depends = on(w, y_set, y, e), .jacobian = error_slope},
      Equation{.kind = algebraic_linear, .linear_row = command},
      Equation{.kind = differential_nonlinear,
               .differential = xi,
               .mass = one,
               .residual = integral_rate,
               .depends = on(c, y, e),
               .jacobian = integral_slope},
      Equation{.kind = differential_nonlinear,
               .differential = y,
               .mass = one,
               .residual = stroke_rate,
               .depends = on(c, y),
               .jacobian = stroke_slope},
  };
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::Governor)
