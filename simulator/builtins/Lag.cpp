// SPDX-License-Identifier: BSD-3-Clause
// Lag: a first-order lag of a signal.
//   T·dy/dt = k·u − y
// Inputs: u signal, y output. Parameters: T time constant [s], k gain, y0 start value.
#include "penstock/frame.hpp"

namespace penstock {

struct Lag {
  PENSTOCK_INPUTS(u, y);
  PENSTOCK_PARAMETERS(T, k, y0);

  static double time_constant(const Ctx& c) { return c.par(T); }
  static void lagging(Params par, Row row) {
    row[u] = par[k];
    row[y] = -1;
  }

  static constexpr std::array equations{
      Equation{.kind = differential_linear, .differential = y, .mass = time_constant, .linear_row = lagging}};
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::Lag)
