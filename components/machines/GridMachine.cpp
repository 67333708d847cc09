// SPDX-License-Identifier: BSD-3-Clause
// GridMachine: electrical machine on shaft port G, connected to a grid at the synchronous speed
// n_syn, with a one-sided synchronisation window and a protection latch that trips on negative
// torque. With d = G.w − n_syn:
//   0 = target − control    control stays 1 while the protection is intact (armed, t ≥ 0), else 0
//   0 = target − on_grid    on_grid becomes 1 when intact, enabled and 0 ≤ d < n_toler, and stays
//                           1 while intact and enabled; else 0
//   0 = t − k·d             while connected; 0 = −t while disconnected
//   0 = ochrana − control   the latch's output copy
// The latches live in the engine's values of control and on_grid, fed back through the flags.
// Inputs: n_syn synchronous speed, syn_enable (only exactly 1 enables), on_grid, ochrana, G.w shaft
// speed, t torque, control. Parameters: n_toler window width [speed], k torque per unit of speed.
#include "grid_connection.hpp"

namespace penstock {

struct GridMachine {
  PENSTOCK_INPUTS(n_syn, syn_enable, on_grid, ochrana, G_w, t, control);
  PENSTOCK_PARAMETERS(n_toler, k);

  // Mode flags, each one comparison of inputs and parameters.
  enum Flag { armed, torque_nonnegative, enabled, at_or_above_syn, below_window_top, connected };
  static constexpr int32_t n_modes = 6;
  static constexpr int32_t n_zc = 6;

  static double deviation(const Ctx& c) { return c.x(G_w) - c.x(n_syn); }  // d

  static void modes(const Ctx& c, int32_t* m) {
    m[armed] = c.x(control) == 1.0;
    m[torque_nonnegative] = c.x(t) >= 0.0;
    m[enabled] = c.x(syn_enable) == 1.0;
    m[at_or_above_syn] = deviation(c) >= 0.0;
    m[below_window_top] = c.par(n_toler) > deviation(c);
    m[connected] = c.x(on_grid) == 1.0;
  }

  static bool protection_intact(const Ctx& c) { return c.flag(torque_nonnegative) && c.flag(armed); }

  // Signals 2 to 4 read the current flags: they are watched only while the protection is intact.
  static void zero_crossings(const Ctx& c, double* zc) {
    const bool intact = protection_intact(c);
    zc[0] = -c.x(t);
    zc[1] = 1 - c.x(on_grid);
    zc[2] = intact ? -deviation(c) : 0;
    zc[3] = intact ? c.par(n_toler) - deviation(c) : 0;
    zc[4] = intact ? 1 - c.x(syn_enable) : 0;
    zc[5] = 1 - c.x(control);
  }

  static bool stays_connected(const Ctx& c) {
    return protection_intact(c) &&
           ((c.flag(below_window_top) && c.flag(at_or_above_syn) && c.flag(enabled) && c.flag(armed)) ||
            (c.flag(connected) && c.flag(enabled) && c.flag(armed)));
  }

  static void protection_output(Params /*par*/, Row row) {
    row[ochrana] = 1;
    row[control] = -1;
  }

  static constexpr std::array equations{
      machine::Switched<control, protection_intact>::equation,
      machine::Switched<on_grid, stays_connected>::equation,
      machine::Torque<n_syn, G_w, t, k, connected>::equation,
      Equation{.kind = algebraic_linear, .linear_row = protection_output},
  };
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::GridMachine)
