// SPDX-License-Identifier: BSD-3-Clause
// Inertia: a rotating mass on the shaft at A, against the reference.
//   J·dw/dt = t,   w = A.w; t is the torque it takes from the shaft
// Inputs: A.w (bound), t torque, w speed. Parameters: J moment of inertia [kg m2], w0 start speed.
#include "penstock/frame.hpp"

namespace penstock {

struct Inertia {
  PENSTOCK_INPUTS(A_w, t, w);
  PENSTOCK_PARAMETERS(J, w0);

  static double inertia(const Ctx& c) { return c.par(J); }
  static void torque(Params /*par*/, Row row) { row[t] = 1; }

  static constexpr std::array equations{
      Equation{.kind = differential_linear, .differential = w, .mass = inertia, .linear_row = torque}};
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::Inertia)
