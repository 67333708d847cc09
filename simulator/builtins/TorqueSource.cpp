// SPDX-License-Identifier: BSD-3-Clause
// TorqueSource: ideal torque source, delivering t_set into the shaft at A, driven by a signal.
//   0 = t - t_set
// Inputs: t_set signal [N m], A.w (bound), t torque.
#include "penstock/frame.hpp"

namespace penstock {

struct TorqueSource {
  PENSTOCK_INPUTS(t_set, A_w, t);

  static void imposed(Params /*par*/, Row row) {
    row[t] = 1;
    row[t_set] = -1;
  }

  static constexpr std::array equations{Equation{.kind = algebraic_linear, .linear_row = imposed}};
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::TorqueSource)
