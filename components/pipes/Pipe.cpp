// SPDX-License-Identifier: BSD-3-Clause
// Pipe: one section of water pipe as a T-network between ports A, B, C, D: two half-length
// reaches A–C and C–B, each with the inertia of its water column and Darcy–Weisbach friction
// whose direction follows its flow, and a compliance branch C–D storing water over the whole
// length through the pressure-wave speed.
//   L_h·dq_ac/dt = p_ac − k_f·v_ac²·s_ac
//   L_h·dq_cb/dt = p_cb − k_f·v_cb²·s_cb
//   C·dp_cd/dt = q_cd
//   S = π·Din²/4,  v = q/S,  L_h = ρ·(dx/2)/S,  k_f = λ·(dx/2)/Din·ρ/2,
//   C = 1/(1/(dx·S/(ρ·a²)))   (the double reciprocal makes C = 1e-16, not 0, at dx·S = 0)
// Inputs: A.p … D.p (bound, unread), then flow and pressure difference of each branch.
// Parameters: the four ports' fluid (ρ = A.density), dx section length [m], Din inner diameter
// [m], lambda Darcy friction factor, a pressure-wave speed [m/s].
// Zero crossings −v_ac, −v_cb; flags v_ac < 0, v_ac > 0, v_cb < 0, v_cb > 0.
#include "reach.hpp"

namespace penstock {

struct Pipe {
  PENSTOCK_INPUTS(A_p, B_p, C_p, D_p, q_ac, p_ac, q_cb, p_cb, q_cd, p_cd);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B, C, D), dx, Din, lambda, a);

  using AC = reach::HalfReach<reach::Half{A_density, dx, Din, lambda, q_ac, p_ac, 0}>;
  using CB = reach::HalfReach<reach::Half{A_density, dx, Din, lambda, q_cb, p_cb, 2}>;

  // 1/(1/C), C = (dx·S)/(ρ·a²).
  static double storage(const Ctx& c) {
    const double C = compliance::compliance(pi, c.par(dx), c.par(Din), c.par(A_density), c.par(a));
    return safe_divide(1, safe_divide(1, C));
  }
  static void charged_by_q(Params /*par*/, Row row) { row[q_cd] = 1; }

  static constexpr std::array equations{
      AC::equation,
      CB::equation,
      Equation{.kind = differential_linear, .differential = p_cd, .mass = storage, .linear_row = charged_by_q},
  };

  static constexpr int n_zc = 2;
  static constexpr int n_modes = 4;
  static void zero_crossings(const Ctx& c, double* zc) {
    zc[0] = -AC::velocity(c);
    zc[1] = -CB::velocity(c);
  }
  static void modes(const Ctx& c, int32_t* m) {
    sign_test(AC::velocity(c), m);
    sign_test(CB::velocity(c), m + 2);
  }
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::Pipe)
