// SPDX-License-Identifier: BSD-3-Clause
// RateLimit: a signal followed by a fast first-order lag whose rate is bounded.
//   dy/dt = min(max((u − y)/T, −r_fall), r_rise)
// Inputs: u signal, y output. Parameters: T time constant [s], r_rise and r_fall the largest rates
// up and down [1/s, in the unit of u per second], y0 start value.
// Modes: m0 = (u − y)/T > r_rise, m1 = (u − y)/T < −r_fall. Zero crossings: (u − y)/T − r_rise,
// (u − y)/T + r_fall; the rate is continuous across both, so a switch keeps the integrator going.
#include "penstock/frame.hpp"

namespace penstock {

struct RateLimit {
  PENSTOCK_INPUTS(u, y);
  PENSTOCK_PARAMETERS(T, r_rise, r_fall, y0);

  enum Flag { rising_at_limit, falling_at_limit };
  static constexpr int32_t n_modes = 2;
  static constexpr int32_t n_zc = 2;

  static double lag_rate(const Ctx& c) { return (c.x(u) - c.x(y)) / c.par(T); }

  static void modes(const Ctx& c, int32_t* m) {
    m[rising_at_limit] = lag_rate(c) > c.par(r_rise);
    m[falling_at_limit] = lag_rate(c) < -c.par(r_fall);
  }

  static void zero_crossings(const Ctx& c, double* zc) {
    zc[0] = lag_rate(c) - c.par(r_rise);
    zc[1] = lag_rate(c) + c.par(r_fall);
  }

  static double one(const Ctx& /*c*/) { return 1; }

  static double rate(const Ctx& c) {
    if (c.flag(rising_at_limit) != 0) return c.par(r_rise);
    if (c.flag(falling_at_limit) != 0) return -c.par(r_fall);
    return lag_rate(c);
  }

  static void slope(const Ctx& c, Row row) {
    const bool free = c.flag(rising_at_limit) == 0 && c.flag(falling_at_limit) == 0;
    row[u] = free ? 1 / c.par(T) : 0;
    row[y] = free ? -1 / c.par(T) : 0;
  }

  static constexpr std::array equations{Equation{.kind = differential_nonlinear,
                                                 .differential = y,
                                                 .mass = one,
                                                 .residual = rate,
                                                 .depends = on(u, y),
                                                 .jacobian = slope}};
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::RateLimit)
