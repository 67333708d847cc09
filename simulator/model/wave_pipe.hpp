// SPDX-License-Identifier: BSD-3-Clause
// A long pipe solved by the method of characteristics: the host's WavePipe.
//
// A pipe of length L, inner diameter D, wave speed a and Darcy friction λ, its ends at the
// elevations zA and zB (linear between), cut into n reaches of Δx = L/n, advanced with the time
// step Δt = Δx/a (Courant number 1). In heads H = z + p/(ρ·g) and flows Q, with A = π·D²/4,
// B = a/(g·A) and the reach resistance R = λ·Δx/(2·g·D·A²), a node i at t + Δt follows from its
// neighbours at t along the characteristics, the friction taken on the known flow (stable at high
// friction):
//   C+ from i−1:  C_P = H[i−1] + B·Q[i−1],   B_P = B + R·|Q[i−1]|
//   C− from i+1:  C_M = H[i+1] − B·Q[i+1],   B_M = B + R·|Q[i+1]|
//   Q[i] = (C_P − C_M)/(B_P + B_M),         H[i] = (C_P·B_M + C_M·B_P)/(B_P + B_M)
// The ends belong to the lumped network, which is integrated continuously. End B obeys the C+ from
// node n−1 and end A the C− from node 1; the characteristic that reaches an end at t in
// (t_k, t_k + Δt] left its neighbour at t − Δt in (t_k − Δt, t_k], where the neighbour's values are
// known. Over the whole interval each end is one linear relation between its pressure and its flow,
// with coefficients that go linearly from the value at t_k to the value at t_k + Δt:
//   p_A = ρ·g·(C_M(t) − zA) + ρ·g·B_M(t)·q_A,     p_B = ρ·g·(C_P(t) − zB) − ρ·g·B_P(t)·q_B
// exact at the grid times and continuous between them. At a grid time the ends' values come from
// the network, and the interior, which depends on the values one step back only, is already known
// one step ahead; between grid times the interior is interpolated linearly in time.
//
// The steady state, uniform Q and H[i] = H[0] − i·R·Q·|Q|, is a fixed point of the scheme: a steady
// network stays put. Before the run the ends obey that steady law, p_B = p_A + ρ·g·(zA − zB) −
// n·ρ·g·R·q·|q| with q_A = q_B, and the grid is filled from it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "penstock/sim/model.hpp"

namespace penstock::sim::detail {

// A WavePipe as the model gives it, in SI units.
struct WavePipeData {
  std::string name;
  SourceMark mark;
  double length = 0.0, diameter = 0.0, wave_speed = 0.0, lambda = 0.0;
  double z_a = 0.0, z_b = 0.0;
  double density = 0.0, gravity = 9.81;
  int reaches = 0;  // asked for; 0: as the grid's time step makes it
};

// One time step for all the WavePipes of a model, each with a whole number of reaches: the wave
// speeds moved to fit, a = L/(n·Δt).
struct WaveGrid {
  struct Pipe {
    int reaches = 0;
    double wave_speed = 0.0;  // as fitted
    double change = 0.0;      // relative, against the given one
  };
  double step = 0.0;
  std::string set_by;  // the pipe whose travel time set the step; empty when the model set it
  std::vector<Pipe> pipes;
};

// Reaches a pipe is cut into when it sets the step and asks for none.
inline constexpr int kDefaultReaches = 10;
// Wave speeds move by at most this much to fit the step; above kWaveSpeedWarning a warning.
inline constexpr double kWaveSpeedLimit = 0.10;
inline constexpr double kWaveSpeedWarning = 0.01;

// Checks the pipes' data and plans their grid: the step is `wave_step` when the model sets one,
// else the shortest of the pipes' travel times L/a divided by their reaches (kDefaultReaches
// where none is asked for). Throws ModelError naming the pipe at fault: a length, diameter, wave
// speed, density or gravity that is not positive, a negative friction factor, a pipe shorter than
// one reach at the step, a wave speed that would move by more than kWaveSpeedLimit.
WaveGrid plan_wave_grid(const std::vector<WavePipeData>& pipes, double wave_step);

class CharacteristicPipe {
 public:
  CharacteristicPipe(const WavePipeData& data, const WaveGrid::Pipe& grid, double dt, bool envelope);

  int reaches() const { return n_; }
  const std::string& name() const { return name_; }

  // The ends' relations at t in the current interval: p_A = a + b·q_A at end A, p_B = a − b·q_B
  // at end B.
  struct EndLaw {
    double a = 0.0, b = 0.0;
  };
  EndLaw end_a(double t) const;
  EndLaw end_b(double t) const;
  // The steady law between the ends: p_B = p_A + elevation() − resistance()·q·|q|.
  double elevation() const { return rho_g_ * (z_a_ - z_b_); }
  double resistance() const { return rho_g_ * static_cast<double>(n_) * R_; }

  // Fills the grid at t0 from the steady state at end A (pressure p_A, flow q).
  void begin(double t0, double p_a, double q);
  // At the grid time t = t_k + Δt: the ends' values there from the network; the interior moves on.
  void advance(double t, double p_a, double q_a, double p_b, double q_b);

  // Node i (0 at A, n at B) at t in the current interval: the interior interpolated in time
  // between the grid times; the ends are the network's.
  double head(size_t i, double t) const;
  double flow(size_t i, double t) const;
  double pressure(size_t i, double t) const { return rho_g_ * (head(i, t) - elevation_at(i)); }
  double elevation_at(size_t i) const;
  double position(size_t i) const { return length_ * static_cast<double>(i) / static_cast<double>(n_); }
  double head_of_pressure(size_t i, double p) const { return elevation_at(i) + p / rho_g_; }
  double rho_g() const { return rho_g_; }
  double area() const { return area_; }

  // Extremes at every node over the grid times so far, and when they occurred.
  struct Extremes {
    double p_min, t_p_min, p_max, t_p_max, h_min, t_h_min, h_max, t_h_max;
  };
  bool has_envelope() const { return !envelope_.empty(); }
  const std::vector<Extremes>& envelope() const { return envelope_; }

 private:
  void step_interior();
  void set_end_laws();
  void note_extremes(double t);

  std::string name_;
  int n_;
  double length_, z_a_, z_b_;
  double rho_g_;  // ρ·g
  double B_, R_;  // characteristic impedance and reach resistance, in heads and m³/s
  double dt_;
  double area_ = 0.0;                                 // of the bore
  double t_k_ = 0.0;                                  // the grid time the current level is at
  std::vector<double> H_, Q_;                         // nodes 0..n at t_k
  std::vector<double> H1_, Q1_;                       // the interior 1..n−1 at t_k + Δt
  double c_m0_ = 0, c_m1_ = 0, b_m0_ = 0, b_m1_ = 0;  // end A's law at t_k and t_k + Δt
  double c_p0_ = 0, c_p1_ = 0, b_p0_ = 0, b_p1_ = 0;  // end B's
  std::vector<Extremes> envelope_;
};

}  // namespace penstock::sim::detail

namespace penstock::sim::detail {

// The WavePipes of a network, tied to its unknowns and rows: at each pipe's ends the node's across
// unknown (or the reference), the flows q_A into the pipe at A and q_B out of it at B, and the two
// rows of its end laws. Until the grid begins the rows are the steady law,
//   q_A − q_B = 0,   p_B − p_A − ρ·g·(zA − zB) + n·ρ·g·R·q_B·|q_B| = 0,
// and from then on the characteristic ones,
//   p_A − a_A(t) − b_A(t)·q_A = 0,   p_B − a_B(t) + b_B(t)·q_B = 0.
class WavePipes {
 public:
  struct Link {
    int p_a = -1, p_b = -1;  // across unknowns at the ends, -1 on the reference
    int q_a = 0, q_b = 0;
    int row_a = 0, row_b = 0;
  };
  void add(CharacteristicPipe pipe, const Link& link);
  bool empty() const { return pipes_.empty(); }

  // The unknowns each row involves, into structure[row]; then, once the pattern is fixed, where
  // their entries sit in it (position(row, unknown), -1 when not there).
  void add_structure(std::vector<std::vector<int>>& structure) const;
  template <typename Position>
  void locate(Position position);

  void residual(double t, const double* y, double* F) const;
  // Adds the pipes' entries of dF/dy to values, in pattern order. The steady law has no slope at
  // zero flow: its entry is taken at a velocity of at least kSlopeVelocity, so that Newton can
  // start from rest (the law itself stays exact).
  void jacobian(double t, const double* y, double* values);
  // The largest relative change of an end law's slope at t since the last jacobian().
  double drift(double t) const;
  static constexpr double kSlopeVelocity = 1e-3;  // m/s

  void begin(double t, const double* y);
  void advance(double t, const double* y);

  // Outputs: node i of pipe `pipe` (0 at A, n at B), its pressure, flow or head.
  enum Quantity { pressure, flow, head };
  // The id of "<pipe>.p[i]", "<pipe>.q[i]" or "<pipe>.h[i]" counted from `first`, or -1.
  long find(const std::string& name, long first) const;
  size_t outputs() const;  // how many ids find hands out
  double output(size_t id, double t, const double* y) const;
  static const char* kind(Quantity q) { return q == pressure ? "pressure" : q == flow ? "flow" : "level"; }
  Quantity quantity(size_t id) const;

  const std::vector<CharacteristicPipe>& pipes() const { return pipes_; }
  const std::vector<Link>& links() const { return links_; }

 private:
  struct Entries {  // positions in the pattern
    long a_pa = -1, a_qa = -1, a_qb = -1, b_pa = -1, b_pb = -1, b_qb = -1;
  };
  static double across(int unknown, const double* y) { return unknown < 0 ? 0.0 : y[unknown]; }
  std::pair<size_t, size_t> locate_output(size_t id) const;  // pipe, offset within it

  std::vector<CharacteristicPipe> pipes_;
  std::vector<Link> links_;
  std::vector<Entries> entries_;
  std::vector<std::pair<double, double>> slopes_;  // per pipe: b_A, b_B at the last jacobian()
  bool characteristic_ = false;
};

template <typename Position>
void WavePipes::locate(Position position) {
  entries_.resize(links_.size());
  for (size_t j = 0; j < links_.size(); ++j) {
    const Link& l = links_[j];
    Entries& e = entries_[j];
    auto at = [&](int row, int unknown) { return unknown < 0 ? -1L : static_cast<long>(position(row, unknown)); };
    e = {at(l.row_a, l.p_a), at(l.row_a, l.q_a), at(l.row_a, l.q_b),
         at(l.row_b, l.p_a), at(l.row_b, l.p_b), at(l.row_b, l.q_b)};
  }
}

}  // namespace penstock::sim::detail
