// SPDX-License-Identifier: BSD-3-Clause
// What the two grid-connected machines share: a switched variable driven to the target that the
// mode flags select, and the torque law of a machine on the grid.
//
//   switched variable   0 = target − x            target 1 or 0, chosen by the flags
//   torque              0 = t − k·(G.w − n_syn)   while connected
//                       0 = −t                    while disconnected
#pragma once

#include "penstock/frame.hpp"

namespace penstock::machine {

// target − x for a logical variable: 1 − x when the condition holds, −x when it does not.
inline double drive_to(bool one, double x) { return one ? 1 - x : -x; }

// The torque equation over the inputs n_syn, G_w and t, parameter k and the connection flag.
template <int n_syn, int G_w, int t, int k, int connected>
struct Torque {
  static double residual(const Ctx& c) {
    if (c.flag(connected) != 0) return c.x(t) - c.par(k) * (c.x(G_w) - c.x(n_syn));
    return -c.x(t);
  }
  static constexpr uint32_t depends = on(n_syn, G_w, t);  // in both states
  static void jacobian(const Ctx& c, Row row) {
    const bool on_grid = c.flag(connected) != 0;
    row[n_syn] = on_grid ? c.par(k) : 0;
    row[G_w] = on_grid ? -c.par(k) : 0;
    row[t] = on_grid ? 1 : -1;
  }
  static constexpr Equation equation{
      .kind = algebraic_nonlinear, .residual = residual, .depends = depends, .jacobian = jacobian};
};

// The equation of a switched variable x whose target the component computes from its flags.
template <int x, bool (*target_one)(const Ctx&)>
struct Switched {
  static double residual(const Ctx& c) { return drive_to(target_one(c), c.x(x)); }
  static void jacobian(const Ctx& /*c*/, Row row) { row[x] = -1; }
  static constexpr Equation equation{
      .kind = algebraic_nonlinear, .residual = residual, .depends = on(x), .jacobian = jacobian};
};

}  // namespace penstock::machine
