// SPDX-License-Identifier: BSD-3-Clause
// PressureSource: ideal pressure source between B and A, driven by a signal.
//   0 = p - p_set,   p = A.p - B.p; the flow q passes from B to A, whatever it is
// Inputs: p_set signal [Pa], A.p, B.p (bound), q flow, p pressure difference.
#include "penstock/frame.hpp"

namespace penstock {

struct PressureSource {
  PENSTOCK_INPUTS(p_set, A_p, B_p, q, p);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B));

  static void imposed(Params /*par*/, Row row) {
    row[p] = 1;
    row[p_set] = -1;
  }

  static constexpr std::array equations{Equation{.kind = algebraic_linear, .linear_row = imposed}};
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::PressureSource)
