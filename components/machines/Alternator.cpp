// SPDX-License-Identifier: BSD-3-Clause
// Alternator: electrical machine on shaft port G, connected to a grid at the synchronous speed
// n_syn when synchronisation is enabled and the speed lies inside a symmetric window. With
// d = G.w − n_syn and |d| = d·sgn(d):
//   0 = target − on_grid    on_grid becomes 1 when enabled and |d| < n_toler, stays 1 while
//                           enabled; else 0
//   0 = t − k·d             while connected; 0 = −t while disconnected
// No protection latch: a negative torque leaves the machine on the grid. The connection latch
// lives in the engine's value of on_grid, fed back through the flags.
// Inputs: n_syn synchronous speed, syn_enable (only exactly 1 enables), on_grid, G.w shaft speed,
// t torque. Parameters: n_toler window half-width [speed], k torque per unit of speed.
#include "grid_connection.hpp"

namespace penstock {

struct Alternator {
  PENSTOCK_INPUTS(n_syn, syn_enable, on_grid, G_w, t);
  PENSTOCK_PARAMETERS(n_toler, k);

  enum Flag { enabled, inside_window, connected };
  static constexpr int32_t n_modes = 3;
  static constexpr int32_t n_zc = 3;

  // |d| as d times its integer sign (d > 0) − (d < 0): 0 at d = 0, NaN for a NaN d.
  static double abs_deviation(const Ctx& c) {
    const double d = c.x(G_w) - c.x(n_syn);
    return d * static_cast<double>((d > 0.0) - (d < 0.0));
  }

  static void modes(const Ctx& c, int32_t* m) {
    m[enabled] = c.x(syn_enable) == 1.0;
    m[inside_window] = c.par(n_toler) > abs_deviation(c);
    m[connected] = c.x(on_grid) == 1.0;
  }

  // In the reverse order of the flags they track.
  static void zero_crossings(const Ctx& c, double* zc) {
    zc[0] = 1 - c.x(on_grid);
    zc[1] = c.par(n_toler) - abs_deviation(c);
    zc[2] = 1 - c.x(syn_enable);
  }

  static bool stays_connected(const Ctx& c) {
    return (c.flag(inside_window) && c.flag(enabled)) || (c.flag(connected) && c.flag(enabled));
  }

  static constexpr std::array equations{
      machine::Switched<on_grid, stays_connected>::equation,
      machine::Torque<n_syn, G_w, t, k, connected>::equation,
  };
};

}  // namespace penstock

PENSTOCK_PLUGIN(penstock::Alternator)
