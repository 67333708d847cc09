// SPDX-License-Identifier: BSD-3-Clause
// Capillary: laminar flow through a long narrow tube between ports A and B (Hagen–Poiseuille).
//   0 = p − R·q,   R = (128·(ρ·ν)·length)/(π·bore⁴)
// A linear law: its row depends on the parameters alone, so it is a LinearRow, evaluated once.
// Inputs: A.p and B.p (bound, unread), q flow A → B, p pressure difference A − B.
// Parameters: port fluids A and B (ρ = A.density, ν = A.viscosity_kin), length [m], bore [m].
#include "penstock/frame.hpp"
#include "penstock/hydraulics.hpp"

namespace penstock {

struct Capillary {
  PENSTOCK_INPUTS(A_p, B_p, q, p);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B), length, bore);

  // R = (128·(ρ·ν)·length)/(π·bore⁴), the dynamic viscosity ρ·ν formed first.
  static double resistance(Params par) {
    const double mu = par[A_density] * par[A_viscosity_kin];
    return safe_divide((128 * mu) * par[length], pi * signed_pow(par[bore], 4));
  }

  // 0 = p − R·q:  d/dq = −R,  d/dp = 1
  static void law(Params par, Row row) {
    row[q] = -resistance(par);
    row[p] = 1;
  }

  static constexpr std::array equations{Equation{.kind = algebraic_linear, .linear_row = law}};
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::Capillary)
