// SPDX-License-Identifier: BSD-3-Clause
// SpeedSource: ideal speed source on a shaft, driven by a signal.
//   0 = w - w_set,   w = A.w; the torque t it delivers into A is whatever the shaft needs
// Inputs: w_set signal [rad/s], A.w (bound), t torque, w speed.
#include "penstock/frame.hpp"

namespace penstock {

struct SpeedSource {
  PENSTOCK_INPUTS(w_set, A_w, t, w);

  static void imposed(Params /*par*/, Row row) {
    row[w] = 1;
    row[w_set] = -1;
  }

  static constexpr std::array equations{Equation{.kind = algebraic_linear, .linear_row = imposed}};
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::SpeedSource)
