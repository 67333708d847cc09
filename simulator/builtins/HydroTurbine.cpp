// SPDX-License-Identifier: BSD-3-Clause
// HydroTurbine: a reaction turbine between A (inlet) and B (outlet) driving the shaft at S, from
// its rated point. With the head H = p/(ρ·g), x = H/Hr and the rounded root r(x) of
// rounded_root.hpp (ε = Heps/Hr):
//   0 = H − p/(ρ·g)
//   0 = q − Qr·u·r(x)                                   guide vanes as an orifice of opening u
//   0 = P − η·ρ·g·H·(q − Qnl·r(x))                      the flow beyond the no-load flow does work
//   0 = t − (P/wr)·s(w) − (L/wr)·k_run·(wr − w)/(k_run·wr − wr)
//        s(w) = (k_run·wr − w)/(k_run·wr − wr)           torque falling linearly with speed, zero
//        L = η·ρ·g·H·Qnl·r(x)                           at runaway; L the no-load loss at rated
//                                                        speed, taken as growing with the speed
// At rated speed t = P/wr; at standstill t = η·ρ·g·H·q/wr·k_run/(k_run − 1): finite, and zero
// with the gate shut (the losses of the no-load flow are those of a turning runner). No switches.
// Inputs: u opening, eta efficiency (signals), A.p, B.p, S.w (bound), q flow A → B, p = A.p − B.p,
// t torque into S, w = S.w, H head [m], P shaft power [W]. Parameters: the fluid of A and B
// (ρ = A.density), Hr [m], Qr [m3/s], wr [rad/s], Qnl [m3/s], k_run, Heps [m], gravity [m/s2].
#include "penstock/frame.hpp"
#include "rounded_root.hpp"

namespace penstock {

struct HydroTurbine {
  PENSTOCK_INPUTS(u, eta, A_p, B_p, S_w, q, p, t, w, H, P);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B), Hr, Qr, wr, Qnl, k_run, Heps, gravity);

  static double weight(const Ctx& c) { return c.par(A_density) * c.par(gravity); }  // ρ·g
  static double relative_head(const Ctx& c) { return safe_divide(c.x(H), c.par(Hr)); }
  static double rounding(const Ctx& c) { return safe_divide(c.par(Heps), c.par(Hr)); }
  static double root(const Ctx& c) { return rounded::root(relative_head(c), rounding(c)); }
  // dr(x)/dH = r'(x)/Hr
  static double root_slope(const Ctx& c) {
    return safe_divide(rounded::root_slope(relative_head(c), rounding(c)), c.par(Hr));
  }

  // H − p/(ρ·g)
  static void head(Params par, Row row) {
    row[H] = 1;
    row[p] = -safe_divide(1, par[A_density] * par[gravity]);
  }

  // q − Qr·u·r(x)
  static double flow(const Ctx& c) { return c.x(q) - c.par(Qr) * c.x(u) * root(c); }
  static void flow_slope(const Ctx& c, Row row) {
    row[u] = -c.par(Qr) * root(c);
    row[q] = 1;
    row[H] = -c.par(Qr) * c.x(u) * root_slope(c);
  }

  // P − η·ρ·g·H·(q − Qnl·r(x))
  static double working_flow(const Ctx& c) { return c.x(q) - c.par(Qnl) * root(c); }
  static double power(const Ctx& c) { return c.x(P) - c.x(eta) * weight(c) * c.x(H) * working_flow(c); }
  static void power_slope(const Ctx& c, Row row) {
    const double rho_g = weight(c);
    row[eta] = -rho_g * c.x(H) * working_flow(c);
    row[q] = -c.x(eta) * rho_g * c.x(H);
    row[H] = -c.x(eta) * rho_g * (working_flow(c) - c.x(H) * c.par(Qnl) * root_slope(c));
    row[P] = 1;
  }

  // t − (P/wr)·s(w) − (L/wr)·k_run·(wr − w)/(k_run·wr − wr): s(w) = (k_run·wr − w)/(k_run·wr − wr)
  // the share of the standstill torque; the loss L = η·ρ·g·H·Qnl·r(x) of the no-load flow grows
  // with the speed, w/wr of it at w, so the torque of a runner at rest with the gate shut is zero.
  static double runaway_margin(const Ctx& c) { return c.par(k_run) * c.par(wr) - c.x(w); }
  static double span(const Ctx& c) { return c.par(k_run) * c.par(wr) - c.par(wr); }
  static double loss(const Ctx& c) { return c.x(eta) * weight(c) * c.x(H) * c.par(Qnl) * root(c); }
  static double loss_share(const Ctx& c) {  // k_run·(wr − w)/(k_run·wr − wr)
    return safe_divide(c.par(k_run) * (c.par(wr) - c.x(w)), span(c));
  }
  static double torque(const Ctx& c) {
    return c.x(t) - safe_divide(c.x(P), c.par(wr)) * safe_divide(runaway_margin(c), span(c)) -
           safe_divide(loss(c), c.par(wr)) * loss_share(c);
  }
  static void torque_slope(const Ctx& c, Row row) {
    const double rho_g = weight(c), per_loss = -safe_divide(loss_share(c), c.par(wr));
    row[eta] = per_loss * rho_g * c.x(H) * c.par(Qnl) * root(c);
    row[H] = per_loss * c.x(eta) * rho_g * c.par(Qnl) * (root(c) + c.x(H) * root_slope(c));
    row[P] = -safe_divide(1, c.par(wr)) * safe_divide(runaway_margin(c), span(c));
    row[w] = safe_divide(c.x(P), c.par(wr)) * safe_divide(1, span(c)) +
             safe_divide(loss(c), c.par(wr)) * safe_divide(c.par(k_run), span(c));
    row[t] = 1;
  }

  static constexpr std::array equations{
      Equation{.kind = algebraic_linear, .linear_row = head},
      Equation{.kind = algebraic_nonlinear, .residual = flow, .depends = on(u, q, H), .jacobian = flow_slope},
      Equation{.kind = algebraic_nonlinear, .residual = power, .depends = on(eta, q, H, P), .jacobian = power_slope},
      Equation{
          .kind = algebraic_nonlinear, .residual = torque, .depends = on(eta, t, w, H, P), .jacobian = torque_slope},
  };
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::HydroTurbine)
