// SPDX-License-Identifier: BSD-3-Clause
// The model loader against the size of the model: a chain of N Pipe sections (count: N) and N
// separate Pipe components wired one to the next, loaded and assembled as `penstock check` does.
// Prints the time per section, which stays flat when the loader is linear in the model's size.
//
//   loader_bench [N ...]     default: 10000 20000 40000 (separate) and 100000 (chain)
#include <fmt/core.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "penstock/sim/model.hpp"

namespace {

const char* const kHead = R"(fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6 m2/s, bulk: 2.1e9 Pa, alpha: 0}
components:
  lake: {type: Headwater, parameters: {h: 100 m}}
  valve: {type: Orifice, parameters: {Din: 0.5 m}}
)";
const char* const kTail = "signals: {valve.Kv: 0.02}\nrun: {stop: 1 s, output: 0.1 s}\n";

std::string chain(int n) {
  return std::string(kHead) +
         fmt::format(
             "  line: {{type: Pipe, count: {}, parameters: {{dx: 1 m, Din: 0.5 m, lambda: 0.02, a: 1200 m/s}}}}\n", n) +
         "connections: [[lake.B, ref], [lake.A, line.A], [line.B, valve.A], [valve.B, ref]]\n" + kTail;
}

std::string separate(int n) {
  std::string text = kHead;
  for (int k = 0; k < n; ++k)
    text += fmt::format("  p{}: {{type: Pipe, parameters: {{dx: 1 m, Din: 0.5 m, lambda: 0.02, a: 1200 m/s}}}}\n", k);
  text += "connections:\n  - [lake.B, ref]\n  - [lake.A, p0.A]\n";
  for (int k = 0; k + 1 < n; ++k) text += fmt::format("  - [p{}.B, p{}.A]\n", k, k + 1);
  text += fmt::format("  - [p{}.B, valve.A]\n  - [valve.B, ref]\n", n - 1);
  return text + kTail;
}

void time_load(const penstock::sim::Catalogue& catalogue, const std::string& what, int n, const std::string& text) {
  const auto file = std::filesystem::temp_directory_path() / "penstock_loader_bench.yaml";
  std::ofstream(file) << text;
  const auto start = std::chrono::steady_clock::now();
  const penstock::sim::Model model = penstock::sim::load_model(file, catalogue);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::filesystem::remove(file);
  fmt::print("{:<10} {:>8} {:>10} {:>10.3f} {:>12.2f}\n", what, n, model.system->size(), seconds, 1e6 * seconds / n);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> separate_sizes{10000, 20000, 40000}, chain_sizes{100000};
  if (argc > 1) {
    separate_sizes.clear();
    for (int i = 1; i < argc; ++i) separate_sizes.push_back(std::stoi(argv[i]));
    chain_sizes = separate_sizes;
  }
  const penstock::sim::Catalogue catalogue(
      {std::filesystem::path(PENSTOCK_PLUGIN_DIR), std::filesystem::path(PENSTOCK_PLUGIN_DIR) / ".." / "builtins"});
  fmt::print("{:<10} {:>8} {:>10} {:>10} {:>12}\n", "model", "sections", "unknowns", "load [s]", "us/section");
  for (const int n : separate_sizes) time_load(catalogue, "separate", n, separate(n));
  for (const int n : chain_sizes) time_load(catalogue, "chain", n, chain(n));
  return 0;
}
