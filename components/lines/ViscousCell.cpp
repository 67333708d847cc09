// SPDX-License-Identifier: BSD-3-Clause
// ViscousCell: linear (viscous) resistance of a line element on port A.
//   0 = p - R·q,   R = mi_eq / (A·dx),   A = π·Din²/4
// Inputs: A.p (bound, unread), q flow, p pressure difference. Parameters: dx length [m],
// Din inner diameter [m], mi_eq equivalent viscous coefficient.
#include "penstock/frame.hpp"
#include "penstock/hydraulics.hpp"

namespace penstock {

struct ViscousCell {
  PENSTOCK_INPUTS(A_p, q, p);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A), dx, Din, mi_eq);

  static void resistance(Params par, Row row) {
    const double A = cross_section(pi, par[Din]);
    const double R = safe_divide(par[mi_eq], A * par[dx]);
    row[q] = -R;
    row[p] = 1;
  }

  static constexpr std::array equations{Equation{.kind = algebraic_linear, .linear_row = resistance}};
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::ViscousCell)
