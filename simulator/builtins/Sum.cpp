// SPDX-License-Identifier: BSD-3-Clause
// Sum: two signals weighted and added to a constant.
//   0 = y − (k1·u1 + k2·u2 + c)
// Inputs: u1, u2 signals, y output. Parameters: k1, k2 weights, c constant offset.
#include "penstock/frame.hpp"

namespace penstock {

struct Sum {
  PENSTOCK_INPUTS(u1, u2, y);
  PENSTOCK_PARAMETERS(k1, k2, c);

  static double added(const Ctx& ctx) {
    return ctx.x(y) - (ctx.par(k1) * ctx.x(u1) + ctx.par(k2) * ctx.x(u2) + ctx.par(c));
  }

  static void slope(const Ctx& ctx, Row row) {
    row[u1] = -ctx.par(k1);
    row[u2] = -ctx.par(k2);
    row[y] = 1;
  }

  static constexpr std::array equations{
      Equation{.kind = algebraic_nonlinear, .residual = added, .depends = on(u1, u2, y), .jacobian = slope}};
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::Sum)
