// SPDX-License-Identifier: BSD-3-Clause
// Cost of a run against the size of the plant: 10 s of a head source feeding N pipe sections
// (600 m in all) that end in a valve closing in 0.1 s (loss coefficient 0.5 to 1e8: the flow
// falls to a ten-thousandth), for N = 10, 100, 400 and 1000 by default.
// Prints, for each N, wall time, steps, Jacobian evaluations, located switches, smooth switches,
// real-time factor and time per step twice: "before", with every unknown of the network in the
// integrator's iteration and every switch located within its step, the way the solver worked
// before; and "after", the solver's way, where the integrator iterates on the unknowns that across
// relations and balances leave (a pipe section's three of eight) and the switches that leave the
// equations as they were are taken at the end of the step in which they cross. The vector
// arithmetic compiled with the project and the cross-section kept per diameter serve both.
// --after: the solver's way alone (for instruction counts under callgrind).
// The wall times are of this machine as it is loaded: instruction counts (callgrind) compare more
// steadily.
#include <fmt/core.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "penstock/sim/model.hpp"
#include "penstock/sim/solver.hpp"

namespace {

struct Quiet : penstock::sim::Observer {
  void sample(double, const double*, bool) override {}
  const std::vector<size_t>* reads() const override { return &none; }
  std::vector<size_t> none;
};

std::string model_text(int sections) {
  return fmt::format(R"(
fluid: {{density: 1000 kg/m3, viscosity_kin: 1e-6 m2/s, bulk: 2.1e9 Pa, alpha: 0}}
components:
  - {{name: lake, type: Headwater, parameters: {{h: 100 m}}}}
  - {{name: line, type: Pipe, count: {}, parameters: {{dx: {} m, Din: 1.2 m, lambda: 0.018, a: 1000 m/s}}}}
  - {{name: gate, type: valve, parameters: {{Din: 1.2 m}}}}
connections:
  - [lake.B, ref]
  - [lake.A, line.A]
  - [line.B, gate.A]
  - [gate.B, ref]
signals:
  gate.ksi: {{ramp: {{start: 1 s, duration: 0.1 s, from: 0.5, to: 1e8}}}}
run:
  stop: 10 s
  output: 0.01 s
  start: steady
)",
                     sections, 600.0 / sections);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes;
  bool after_only = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--after") {
      after_only = true;
    } else {
      sizes.push_back(std::stoi(argv[i]));
    }
  }
  if (sizes.empty()) sizes = {10, 100, 400, 1000};
  const penstock::sim::Catalogue catalogue(
      {std::filesystem::path(PENSTOCK_PLUGIN_DIR), std::filesystem::path(PENSTOCK_PLUGIN_DIR) / ".." / "builtins"});
  fmt::print("{:>6} {:>8} {:>10} {:>7} {:>10} {:>9} {:>10} {:>9} {:>9} {:>6} {:>10} {:>12}\n", "N", "unknowns",
             "integrated", "solver", "wall [s]", "steps", "Jacobians", "located", "smooth", "linear", "RT factor",
             "us per step");
  for (const int n : sizes) {
    const auto file = std::filesystem::temp_directory_path() / fmt::format("penstock_bench_{}.yaml", n);
    std::ofstream(file) << model_text(n);
    for (const bool before : {true, false}) {
      if (before && after_only) continue;
      penstock::sim::Model model = penstock::sim::load_model(file, catalogue);
      model.run.keep_every_unknown = before;
      model.run.locate_smooth_switches = before;
      model.run.tell_smooth_switches = before;  // as every switch was told before
      Quiet quiet;
      const penstock::sim::Outcome o = penstock::sim::simulate(*model.system, model.run, quiet);
      const auto& s = o.stats;
      fmt::print("{:>6} {:>8} {:>10} {:>7} {:>10.3f} {:>9} {:>10} {:>9} {:>9} {:>6} {:>10.1f} {:>12.1f}{}\n", n,
                 model.system->size(), s.integrated_unknowns, before ? "before" : "after", s.wall_seconds, s.steps,
                 s.jacobian_evaluations, s.events, s.smooth_switches, o.linear_solver,
                 (o.end_time - model.run.start_time) / s.wall_seconds,
                 1e6 * s.wall_seconds / static_cast<double>(s.steps), o.complete ? "" : "  INCOMPLETE: " + o.error);
    }
    std::filesystem::remove(file);
  }
  return 0;
}
