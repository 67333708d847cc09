// SPDX-License-Identifier: BSD-3-Clause
// What a model file asks of a run, and the loaded model that goes to the solver.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "penstock/sim/dae.hpp"

namespace penstock::sim {

struct RunSettings {
  enum class Start { given, steady };           // start values + consistent init, or steady state
  enum class Linear { automatic, dense, klu };  // linear solver of the Newton iterations

  double start_time = 0.0;
  double stop_time = 1.0;
  double output_interval = 0.01;
  double relative_tolerance = 1e-6;
  double absolute_tolerance = 1e-6;  // default; the system scales it per kind of variable
  double max_step = 0.0;             // 0: no limit
  Start start = Start::given;
  Linear linear_solver = Linear::automatic;
  std::vector<std::string> record;    // variable names as in DaeSystem::variable_names(); empty: all
  double wave_step = 0.0;             // of the WavePipes' grid; 0: from their travel times
  std::vector<std::string> envelope;  // WavePipes and chains whose extremes go to <results>.envelope.csv
  // The observer is told of every switch of a component's flags, those that leave the equations as
  // they were (a loss changing sign at zero flow) too; by default of those that change them alone.
  bool tell_smooth_switches = false;
  // For measurements (simulate_bench): every switch located within its step on the cubic through
  // the step's ends, as the solver did before it took the switches that leave the equations as
  // they were at the end of the step. Not read from a model file.
  bool locate_smooth_switches = false;
  // For measurements (simulate_bench): the integrator iterates on every unknown, those that across
  // relations and balances fix as sums of others too, as it did before. Not read from a model file.
  bool keep_every_unknown = false;
};

// A chain of line sections (count:) along which the run keeps the extremes of pressure and head:
// each place by the name of its pressure (a port's, "pipe[3].C.p"), its distance from the chain's
// end A and its elevation.
struct ChainProfile {
  struct Node {
    std::string pressure;
    double x = 0.0, z = 0.0;
  };
  std::string chain;
  double rho_g = 0.0;  // to turn a pressure into a head: h = z + p/(ρ·g)
  std::vector<Node> nodes;
};

struct Model {
  std::string file;  // the model file it came from
  std::unique_ptr<DaeSystem> system;
  RunSettings run;
  std::vector<std::string> notes;         // what the summary says of the model: the WavePipes' grid
  std::optional<double> vapour_pressure;  // of the fluid, gauge (against the atmosphere), when given
  std::optional<double> density;          // of the fluid, kg/m3, when given
  std::vector<ChainProfile> profiles;     // of the chains in run.envelope, in its order
};

}  // namespace penstock::sim
