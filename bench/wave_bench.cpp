// SPDX-License-Identifier: BSD-3-Clause
// Water hammer in a long penstock: a WavePipe (method of characteristics) against a chain of lumped
// Pipe sections, on the plant of examples/water_hammer.yaml with the valve shut in 1 ms.
//
// 100 m of head, 600 m of penstock (D 0.5 m, a = 1200 m/s, λ = 0.02), an orifice passing about
// 1 m/s that shuts from t = 0.1 s to 0.101 s; 20 s simulated, the pressure at the valve sampled
// every 5 ms (no file written). For each model: wall time (the best of several runs), IDA steps,
// wave steps, real-time factor, the peak pressure at the valve and its error against the WavePipe
// with 1000 reaches. Then the grid alone, in ns per node and wave step, and IDA's share of a wave
// step in a plant with 20 lumped unknowns beside the pipe.
//
//   wave_bench [--chain N ...] [--reaches N ...]     defaults: reaches 10 20 100 1000, chain 100 400
#include <fmt/core.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "penstock/sim/model.hpp"
#include "penstock/sim/output.hpp"
#include "penstock/sim/solver.hpp"
#include "wave_pipe.hpp"

namespace {

using penstock::sim::Catalogue;

const char* const kFluid = "fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6 m2/s, bulk: 2.1e9 Pa, alpha: 0}\n";
const char* const kRun = R"(signals:
  valve.Kv: {table: [[0, 0.0227], [0.1, 0.0227], [0.101, 0]]}
run:
  stop: 20 s
  output: 0.005 s
  start: steady
  record: [gate.p]
  tolerances: {relative: 1e-6, pressure: 10 Pa, flow: 1e-6}
)";

std::string wave_model(int reaches) {
  return fmt::format(R"({}components:
  lake: {{type: Headwater, parameters: {{h: 100 m}}}}
  penstock: {{type: WavePipe, parameters: {{Length: 600 m, Din: 0.5 m, lambda: 0.02, a: 1200 m/s, reaches: {}}}}}
  valve: {{type: Orifice, parameters: {{Din: 0.5 m}}}}
connections: [[lake.B, ref], [lake.A, penstock.A], {{node: gate, ports: [penstock.B, valve.A]}}, [valve.B, ref]]
{})",
                     kFluid, reaches, kRun);
}

std::string chain_model(int sections) {
  return fmt::format(R"({}components:
  lake: {{type: Headwater, parameters: {{h: 100 m}}}}
  penstock: {{type: Pipe, count: {}, parameters: {{dx: {} m, Din: 0.5 m, lambda: 0.02, a: 1200 m/s}}}}
  valve: {{type: Orifice, parameters: {{Din: 0.5 m}}}}
connections: [[lake.B, ref], [lake.A, penstock.A], {{node: gate, ports: [penstock.B, valve.A]}}, [valve.B, ref]]
{})",
                     kFluid, sections, 600.0 / sections, kRun);
}

// The same pipe of 20 reaches ending in a lumped plant of 20 unknowns: a surge tank at its end,
// three bypass orifices, a rigid tunnel of 50 m (one FlowLine) and the valve.
std::string mixed_model() {
  return fmt::format(R"({}components:
  lake: {{type: Headwater, parameters: {{h: 100 m}}}}
  penstock: {{type: WavePipe, parameters: {{Length: 600 m, Din: 0.5 m, lambda: 0.02, a: 1200 m/s, reaches: 20}}}}
  tank: {{type: Tank, parameters: {{Area: 2 m2, z_ini: 98 m}}}}
  bypass1: {{type: Orifice, parameters: {{Din: 0.1 m}}}}
  bypass2: {{type: Orifice, parameters: {{Din: 0.1 m}}}}
  bypass3: {{type: Orifice, parameters: {{Din: 0.1 m}}}}
  tunnel: {{type: FlowLine, parameters: {{Length: 50 m, Din: 0.5 m, lambda: 0.02}}}}
  valve: {{type: Orifice, parameters: {{Din: 0.5 m}}}}
connections:
  - [lake.B, ref]
  - [lake.A, penstock.A]
  - {{node: junction, ports: [penstock.B, tank.A, bypass1.A, bypass2.A, bypass3.A, tunnel.A]}}
  - [bypass1.B, ref]
  - [bypass2.B, ref]
  - [bypass3.B, ref]
  - {{node: gate, ports: [tunnel.B, valve.A]}}
  - [valve.B, ref]
signals:
  bypass1.Kv: 0.01
  bypass2.Kv: 0.01
  bypass3.Kv: 0.01
{})",
                     kFluid, std::string(kRun).substr(std::string(kRun).find("  valve.Kv")));
}

struct Result {
  size_t unknowns = 0;
  double wall = std::numeric_limits<double>::infinity();
  long steps = 0;
  double peak = 0.0;
  bool complete = false;
  std::string error;
};

// The best of a few runs, at least `repeat` and for at least 0.3 s in all.
Result run(const Catalogue& catalogue, const std::string& text, int repeat = 3) {
  const auto file = std::filesystem::temp_directory_path() / "penstock_wave_bench.yaml";
  std::ofstream(file) << text;
  Result r;
  double spent = 0.0;
  for (int k = 0; k < repeat || (spent < 0.3 && k < 50); ++k) {
    penstock::sim::Model model = penstock::sim::load_model(file, catalogue);
    penstock::sim::Recorder recorder(*model.system, model.run.record);
    const penstock::sim::Outcome o = penstock::sim::simulate(*model.system, model.run, recorder);
    r.unknowns = model.system->size();
    r.wall = std::min(r.wall, o.stats.wall_seconds);
    spent += o.stats.wall_seconds;
    r.steps = o.stats.steps;
    r.peak = recorder.extremes().front().max;
    r.complete = o.complete;
    r.error = o.error;
    if (o.stats.wall_seconds > 5.0) break;  // a slow model once is enough
  }
  std::filesystem::remove(file);
  return r;
}

// The grid alone: a pipe of n reaches moved on with its ends held, in ns per node and step.
double grid_cost(int reaches) {
  using penstock::sim::detail::CharacteristicPipe;
  penstock::sim::detail::WavePipeData data;
  data.name = "grid";
  data.length = 600, data.diameter = 0.5, data.wave_speed = 1200, data.lambda = 0.02, data.density = 1000;
  const double dt = 600.0 / (1200.0 * reaches);
  CharacteristicPipe pipe(data, {reaches, 1200.0, 0.0}, dt, false);
  pipe.begin(0.0, 9.8e5, 0.19);
  const long steps = std::max(2000L, 20'000'000L / reaches);
  const auto start = std::chrono::steady_clock::now();
  for (long k = 1; k <= steps; ++k) pipe.advance(static_cast<double>(k) * dt, 9.8e5, 0.19, 9.7e5, 0.0);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return 1e9 * seconds / static_cast<double>(steps) / static_cast<double>(reaches + 1);
}

std::vector<int> numbers(int& i, int argc, char** argv) {
  std::vector<int> out;
  while (i + 1 < argc && argv[i + 1][0] != '-') out.push_back(std::stoi(argv[++i]));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> reaches{10, 20, 100, 1000};
  std::vector<int> chain{100, 400};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--reaches") == 0) reaches = numbers(i, argc, argv);
    if (std::strcmp(argv[i], "--chain") == 0) chain = numbers(i, argc, argv);
  }
  const Catalogue catalogue(
      {std::filesystem::path(PENSTOCK_PLUGIN_DIR), std::filesystem::path(PENSTOCK_PLUGIN_DIR) / ".." / "builtins"});
  constexpr double kSimulated = 20.0;

  const Result reference = run(catalogue, wave_model(1000), 1);
  fmt::print("Water hammer, 600 m penstock, valve shut in 1 ms, {} s simulated, output every 5 ms\n\n", kSimulated);
  fmt::print("{:<22} {:>8} {:>10} {:>8} {:>8} {:>11} {:>11} {:>10}\n", "model", "unknowns", "wall [s]", "steps",
             "per step", "RT factor", "peak [bar]", "peak error");
  auto row = [&](const std::string& name, const Result& r) {
    if (!r.complete) {
      fmt::print("{:<22} INCOMPLETE: {}\n", name, r.error);
      return;
    }
    fmt::print("{:<22} {:>8} {:>10.4f} {:>8} {:>6.2f}us {:>11.4g} {:>11.5f} {:>+9.4f}%\n", name, r.unknowns, r.wall,
               r.steps, 1e6 * r.wall / static_cast<double>(r.steps), kSimulated / r.wall, r.peak / 1e5,
               100 * (r.peak / reference.peak - 1));
  };
  for (const int n : reaches)
    row(fmt::format("WavePipe, {} reaches", n), n == 1000 ? reference : run(catalogue, wave_model(n)));
  for (const int n : chain) row(fmt::format("Pipe chain, {} sections", n), run(catalogue, chain_model(n), 1));

  fmt::print("\nThe grid alone (a pipe moved on with its ends held):\n");
  for (const int n : {10, 100, 1000}) fmt::print("  {:>5} reaches: {:.2f} ns per node and step\n", n, grid_cost(n));

  const Result mixed = run(catalogue, mixed_model());
  const double wave_steps = kSimulated / (600.0 / (1200.0 * 20));
  fmt::print(
      "\nA WavePipe of 20 reaches with {} lumped unknowns beside it: {:.4f} s, {:.0f}x real time, {:.2f} us per "
      "wave step (IDA {} steps)\n",
      mixed.unknowns - 2, mixed.wall, kSimulated / mixed.wall, 1e6 * mixed.wall / wave_steps, mixed.steps);
  return 0;
}
