// SPDX-License-Identifier: BSD-3-Clause
// SurgeLine: a half-length reach of water pipe between ports A and B, with the inertia of its
// water column and Darcy–Weisbach friction whose direction follows the flow.
//   L_h·dq/dt = p − k_f·v²·s
//   S = π·Din²/4,  v = q/S,  L_h = ρ·(dx/2)/S,  k_f = λ·(dx/2)/Din·ρ/2,  s = sign of v (flags)
// Inputs: A.p, B.p (bound, unread), q flow, p pressure difference. Parameters: dx length of the
// pipe [m] (the reach carries half of it), Din inner diameter [m], lambda Darcy friction factor.
// Zero crossing −v; flags v < 0, v > 0.
#include "reach.hpp"

namespace penstock {

struct SurgeLine {
  PENSTOCK_INPUTS(A_p, B_p, q, p);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B), dx, Din, lambda);

  using Reach = reach::HalfReach<reach::Half{A_density, dx, Din, lambda, q, p, 0}>;

  static constexpr std::array equations{Reach::equation};

  static constexpr int n_zc = 1;
  static constexpr int n_modes = 2;
  static void zero_crossings(const Ctx& c, double* zc) { zc[0] = -Reach::velocity(c); }
  static void modes(const Ctx& c, int32_t* m) { sign_test(Reach::velocity(c), m); }
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::SurgeLine)
