// SPDX-License-Identifier: BSD-3-Clause
// Limit: a signal held between a lower and an upper bound.
//   0 = y − lo   while u < lo
//   0 = y − hi   while u > hi
//   0 = y − u    between them
// Inputs: u signal, y output. Parameters: lo lower bound, hi upper bound (lo < hi).
// Modes: m0 = u < lo, m1 = u > hi. Zero crossings: u − lo, u − hi, so that the integrator
// locates both corners.
#include "penstock/frame.hpp"

namespace penstock {

struct Limit {
  PENSTOCK_INPUTS(u, y);
  PENSTOCK_PARAMETERS(lo, hi);

  enum Flag { below, above };
  static constexpr int32_t n_modes = 2;
  static constexpr int32_t n_zc = 2;

  static void modes(const Ctx& c, int32_t* m) {
    m[below] = c.x(u) < c.par(lo);
    m[above] = c.x(u) > c.par(hi);
  }

  static void zero_crossings(const Ctx& c, double* zc) {
    zc[0] = c.x(u) - c.par(lo);
    zc[1] = c.x(u) - c.par(hi);
  }

  static double limited(const Ctx& c) {
    if (c.flag(below) != 0) return c.x(y) - c.par(lo);
    if (c.flag(above) != 0) return c.x(y) - c.par(hi);
    return c.x(y) - c.x(u);
  }

  static void slope(const Ctx& c, Row row) {
    const bool free = c.flag(below) == 0 && c.flag(above) == 0;
    row[u] = free ? -1 : 0;
    row[y] = 1;
  }

  static constexpr std::array equations{
      Equation{.kind = algebraic_nonlinear, .residual = limited, .depends = on(u, y), .jacobian = slope}};
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::Limit)
