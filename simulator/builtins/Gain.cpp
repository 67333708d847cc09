// SPDX-License-Identifier: BSD-3-Clause
// Gain: a signal scaled by a constant factor.
//   0 = y − k·u
// Inputs: u signal, y output. Parameters: k gain.
#include "penstock/frame.hpp"

namespace penstock {

struct Gain {
  PENSTOCK_INPUTS(u, y);
  PENSTOCK_PARAMETERS(k);

  static void scaled(Params par, Row row) {
    row[y] = 1;
    row[u] = -par[k];
  }

  static constexpr std::array equations{Equation{.kind = algebraic_linear, .linear_row = scaled}};
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::Gain)
