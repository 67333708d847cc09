// SPDX-License-Identifier: BSD-3-Clause
// Nanoseconds per call of every registered method of every built plug-in, called as the host
// calls it: through the function pointers the plug-in registered, with a set-up parameter block.
// A row per method: <plug-in>/e<equation>/<slot>, <plug-in>/Modes, <plug-in>/ZeroCrossings.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "penstock/engine.hpp"

namespace {

using penstock::engine::Instance;
using penstock::engine::ParameterTable;
using penstock::engine::Plugin;

// Values of the order a plant model has, by the name's last part; anything else is 1.
double typical(const std::string& name) {
  static const std::map<std::string, double> values = {
      {"density", 998.2}, {"viscosity_kin", 1e-6}, {"bulk", 2.1e9}, {"alpha", 0.005},  {"dx", 10.0},
      {"Din", 0.5},       {"lambda", 0.02},        {"a", 1200.0},   {"Length", 600.0}, {"g", 9.81}};
  const auto dot = name.rfind('.');
  const auto it = values.find(dot == std::string::npos ? name : name.substr(dot + 1));
  return it == values.end() ? 1.0 : it->second;
}

struct Loaded {
  std::unique_ptr<Plugin> plugin;
  std::unique_ptr<Instance> instance;
  std::vector<double> inputs;
  std::vector<int32_t> modes;
};

std::vector<std::unique_ptr<Loaded>> load_all() {
  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::directory_iterator(PENSTOCK_PLUGIN_DIR)) {
    if (entry.path().extension() == ".so") paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  std::vector<std::unique_ptr<Loaded>> all;
  for (const auto& path : paths) {
    auto l = std::make_unique<Loaded>();
    l->plugin = std::make_unique<Plugin>(path);
    ParameterTable params;
    for (const auto& name : l->plugin->parameter_names()) params[name] = typical(name);
    l->instance = std::make_unique<Instance>(l->plugin->group(), params);
    const auto& g = l->plugin->group();
    l->inputs.assign(g.inputs.size(), 0.0);
    for (size_t i = 1; i < l->inputs.size(); ++i) l->inputs[i] = 0.1 * static_cast<double>(i) + 0.05;
    l->modes.assign(static_cast<size_t>(std::max(g.n_modes, 1)), 0);
    if (g.modes != nullptr) l->instance->modes(l->inputs.data(), l->modes.data(), l->modes.data());
    all.push_back(std::move(l));
  }
  return all;
}

void register_all(const std::vector<std::unique_ptr<Loaded>>& all) {
  for (const auto& l : all) {
    const auto& g = l->plugin->group();
    const Loaded* p = l.get();
    for (size_t e = 0; e < g.equations.size(); ++e) {
      const auto& eq = g.equations[e];
      const std::string prefix = l->plugin->name() + "/e" + std::to_string(e) + "/";
      if (eq.linear_row != nullptr) {
        benchmark::RegisterBenchmark((prefix + "LinearRow").c_str(), [p, fn = eq.linear_row](benchmark::State& s) {
          std::vector<double> out(p->inputs.size());
          for (auto _ : s) {
            fn(p->instance->block(), out.data());
            benchmark::DoNotOptimize(out.data());
          }
        });
      }
      for (int32_t slot = 0; slot < penstock::kSlotCount; ++slot) {
        if (!eq.has(slot)) continue;
        benchmark::RegisterBenchmark((prefix + std::string(penstock::slot_name(slot))).c_str(),
                                     [p, fn = eq.methods[static_cast<size_t>(slot)]](benchmark::State& s) {
                                       const EvalContext ctx = p->instance->context(p->inputs.data(), p->modes.data());
                                       std::vector<double> out(p->inputs.size());
                                       for (auto _ : s) {
                                         fn(&ctx, out.data());
                                         benchmark::DoNotOptimize(out.data());
                                       }
                                     });
      }
    }
    const std::pair<const char*, NeGroupMethod> group_methods[] = {{"ZeroCrossings", g.zero_crossings},
                                                                   {"Modes", g.modes}};
    for (const auto& [label, fn] : group_methods) {
      if (fn == nullptr) continue;
      benchmark::RegisterBenchmark((l->plugin->name() + "/" + label).c_str(), [p, f = fn](benchmark::State& s) {
        const EvalContext ctx = p->instance->context(p->inputs.data(), p->modes.data());
        std::vector<double> out(16);
        for (auto _ : s) {
          f(&ctx, out.data());
          benchmark::DoNotOptimize(out.data());
        }
      });
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const auto all = load_all();
  register_all(all);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
