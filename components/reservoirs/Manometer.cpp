// SPDX-License-Identifier: BSD-3-Clause
// Manometer: pressure sensor on port A. Draws no flow and reports its pressure unchanged.
//   0 = -q          no flow
//   0 = P - p       reading
#include "penstock/frame.hpp"

namespace penstock {

struct Manometer {
  PENSTOCK_INPUTS(A_p, P, q, p);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A));

  static void no_flow(Params /*par*/, Row row) { row[q] = -1; }
  static void reading(Params /*par*/, Row row) {
    row[P] = 1;
    row[p] = -1;
  }

  static constexpr std::array equations{
      Equation{.kind = algebraic_linear, .linear_row = no_flow},
      Equation{.kind = algebraic_linear, .linear_row = reading},
  };
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::Manometer)
