// SPDX-License-Identifier: BSD-3-Clause
// FlowSource: ideal flow source, delivering q_set from B into A, driven by a signal.
//   0 = q - q_set,   p = A.p - B.p, whatever it is
// Inputs: q_set signal [m3/s], A.p, B.p (bound), q flow, p pressure difference.
#include "penstock/frame.hpp"

namespace penstock {

struct FlowSource {
  PENSTOCK_INPUTS(q_set, A_p, B_p, q, p);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B));

  static void imposed(Params /*par*/, Row row) {
    row[q] = 1;
    row[q_set] = -1;
  }

  static constexpr std::array equations{Equation{.kind = algebraic_linear, .linear_row = imposed}};
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::FlowSource)
