// SPDX-License-Identifier: BSD-3-Clause
// HillChartTurbine: a turbine between A (inlet) and B (outlet) driving the shaft at S, from its
// unit quantities, which a model reads off the hill chart over n11 and the opening u. With the head
// H = p/(ρ·g) [m], the speed n = w·60/(2π) [rpm] and the rounded roots of rounded_root.hpp
// (ε = Heps, in m): r(H) ≈ √H keeping the sign of H, s(H) ≈ 1/√|H|:
//   0 = H − p/(ρ·g)
//   0 = n11 − n·D·s(H)       unit speed n·D/√H
//   0 = q − Q11·D²·r(H)      from the unit discharge Q11 = Q/(D²·√H)
//   0 = t − T11·D³·H         from the unit torque T11 = T/(D³·H)
// No switches. u is not read here: it is the opening the chart is read at.
// Inputs: u opening, Q11 unit discharge, T11 unit torque (signals), A.p, B.p, S.w (bound), q flow
// A → B, p = A.p − B.p, t torque into S, w = S.w, H head [m], n11 unit speed [rpm·m^0.5].
// Parameters: the fluid of A and B (ρ = A.density), D runner diameter [m], Heps [m], gravity.
#include "penstock/frame.hpp"
#include "penstock/hydraulics.hpp"
#include "rounded_root.hpp"

namespace penstock {

struct HillChartTurbine {
  PENSTOCK_INPUTS(u, Q11, T11, A_p, B_p, S_w, q, p, t, w, H, n11);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B), D, Heps, gravity);

  static constexpr double rpm_per_rad_s = 60 / (2 * pi);

  // H − p/(ρ·g)
  static void head(Params par, Row row) {
    row[H] = 1;
    row[p] = -safe_divide(1, par[A_density] * par[gravity]);
  }

  // n11 − n·D·s(H)
  static double speed(const Ctx& c) { return c.x(w) * rpm_per_rad_s; }  // n
  static double unit_speed(const Ctx& c) {
    return c.x(n11) - speed(c) * c.par(D) * rounded::inverse_root(c.x(H), c.par(Heps));
  }
  static void unit_speed_slope(const Ctx& c, Row row) {
    row[n11] = 1;
    row[w] = -rpm_per_rad_s * c.par(D) * rounded::inverse_root(c.x(H), c.par(Heps));
    row[H] = -speed(c) * c.par(D) * rounded::inverse_root_slope(c.x(H), c.par(Heps));
  }

  // q − Q11·D²·r(H)
  static double flow(const Ctx& c) {
    return c.x(q) - c.x(Q11) * (c.par(D) * c.par(D)) * rounded::root(c.x(H), c.par(Heps));
  }
  static void flow_slope(const Ctx& c, Row row) {
    const double area = c.par(D) * c.par(D);
    row[Q11] = -area * rounded::root(c.x(H), c.par(Heps));
    row[q] = 1;
    row[H] = -c.x(Q11) * area * rounded::root_slope(c.x(H), c.par(Heps));
  }

  // t − T11·D³·H
  static double cube(const Ctx& c) { return c.par(D) * c.par(D) * c.par(D); }
  static double torque(const Ctx& c) { return c.x(t) - c.x(T11) * cube(c) * c.x(H); }
  static void torque_slope(const Ctx& c, Row row) {
    row[T11] = -cube(c) * c.x(H);
    row[t] = 1;
    row[H] = -c.x(T11) * cube(c);
  }

  static constexpr std::array equations{
      Equation{.kind = algebraic_linear, .linear_row = head},
      Equation{
          .kind = algebraic_nonlinear, .residual = unit_speed, .depends = on(w, H, n11), .jacobian = unit_speed_slope},
      Equation{.kind = algebraic_nonlinear, .residual = flow, .depends = on(Q11, q, H), .jacobian = flow_slope},
      Equation{.kind = algebraic_nonlinear, .residual = torque, .depends = on(T11, t, H), .jacobian = torque_slope},
  };
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::HillChartTurbine)
