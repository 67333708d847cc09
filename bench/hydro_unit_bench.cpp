// SPDX-License-Identifier: BSD-3-Clause
// Cost of the hydro unit's runs: examples/load_rejection.yaml (60 s, the penstock a WavePipe),
// island_governor.yaml (40 s) and unit_startup.yaml (120 s), each loaded once and run a few times
// with nothing recorded; the best run's wall time, steps, events and real-time factor.
#include <fmt/core.h>

#include <algorithm>
#include <filesystem>
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

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::stoi(argv[1])) : 5;
  const std::filesystem::path plugins(PENSTOCK_PLUGIN_DIR);
  const penstock::sim::Catalogue catalogue({plugins, plugins / ".." / "builtins"});
  const std::filesystem::path examples(PENSTOCK_EXAMPLES_DIR);
  fmt::print("{:<22} {:>9} {:>10} {:>7} {:>7} {:>10} {:>12}\n", "model", "simulated", "wall [s]", "steps", "events",
             "RT factor", "us per step");
  for (const char* name : {"load_rejection.yaml", "island_governor.yaml", "unit_startup.yaml"}) {
    double best = 1e300;
    penstock::sim::Outcome outcome;
    double span = 0;
    for (int k = 0; k < repeats; ++k) {
      penstock::sim::Model model = penstock::sim::load_model(examples / name, catalogue);
      Quiet quiet;
      const penstock::sim::Outcome o = penstock::sim::simulate(*model.system, model.run, quiet);
      span = o.end_time - model.run.start_time;
      if (o.stats.wall_seconds < best) best = o.stats.wall_seconds, outcome = o;
    }
    const auto& s = outcome.stats;
    fmt::print("{:<22} {:>7.0f} s {:>10.4f} {:>7} {:>7} {:>9.0f}x {:>12.1f}{}\n", name, span, best, s.steps, s.events,
               span / best, 1e6 * best / static_cast<double>(s.steps),
               outcome.complete ? "" : "  INCOMPLETE: " + outcome.error);
  }
  return 0;
}
