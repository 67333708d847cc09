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
  enum Input { time, A_p, B_p, C_p, D_p, q_ac, p_ac, q_cb, p_cb, q_cd, p_cd };
  static constexpr std::array inputs{"A.p", "B.p", "C.p", "D.p", "q_ac", "p_ac", "q_cb", "p_cb", "q_cd", "p_cd"};
  enum Param { A_density = 0, dx = fluid(4), Din, lambda, a };
  static constexpr auto params = with_fluid<4>({"dx", "Din", "lambda", "a"});

  using AC = reach::HalfReach<reach::Half{A_density, dx, Din, lambda, q_ac, p_ac, 0}>;
  using CB = reach::HalfReach<reach::Half{A_density, dx, Din, lambda, q_cb, p_cb, 2}>;

  // 1/(1/C), C = (dx·S)/(ρ·a²).
  static double storage(const Ctx& x) {
    const double C = compliance::compliance(pi, x.par(dx), x.par(Din), x.par(A_density), x.par(a));
    return safe_divide(1, safe_divide(1, C));
  }
  static void charged_by_q(Params /*k*/, Row row) { row[q_cd] = 1; }

  static constexpr std::array equations{
      AC::equation,
      CB::equation,
      Equation{.kind = differential_linear, .differential = p_cd, .mass = storage, .linear_row = charged_by_q},
  };

  static constexpr int n_zc = 2;
  static constexpr int n_modes = 4;
  static void zero_crossings(const Ctx& x, double* zc) {
    zc[0] = -AC::velocity(x);
    zc[1] = -CB::velocity(x);
  }
  static void modes(const Ctx& x, int32_t* m) {
    sign_test(AC::velocity(x), m);
    sign_test(CB::velocity(x), m + 2);
  }
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::Pipe)
