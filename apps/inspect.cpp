// SPDX-License-Identifier: BSD-3-Clause
#include "inspect.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <iterator>
#include <vector>

namespace penstock::app {

std::string describe(const engine::Plugin& plugin) {
  const engine::GroupDecl& g = plugin.group();
  std::string out = fmt::format("{}  ({})\n", plugin.name(), plugin.path().string());

  std::vector<std::string> inputs;
  for (size_t i = 0; i < g.inputs.size(); ++i) inputs.push_back(fmt::format("{} {}", i, g.inputs[i]));
  fmt::format_to(std::back_inserter(out), "  inputs ({}): {}\n", g.inputs.size(), fmt::join(inputs, ", "));

  fmt::format_to(std::back_inserter(out), "  equations ({}):\n", g.equations.size());
  for (size_t e = 0; e < g.equations.size(); ++e) {
    const engine::EquationDecl& eq = g.equations[e];
    std::vector<std::string_view> slots;
    if (eq.linear_row != nullptr) slots.emplace_back("LinearRow");
    for (int32_t s = 0; s < kSlotCount; ++s) {
      if (eq.has(s)) slots.push_back(slot_name(s));
    }
    const std::string differential =
        eq.differential >= 0 ? fmt::format(" in d({})/dt", g.inputs[static_cast<size_t>(eq.differential)]) : "";
    fmt::format_to(std::back_inserter(out), "    {} {}{}: {}\n", e, kind_name(*eq.kind()), differential,
                   fmt::join(slots, ", "));
  }
  fmt::format_to(std::back_inserter(out), "  zero crossings: {}\n  modes: {}\n", g.n_zc, g.n_modes);

  const std::vector<std::string> params = plugin.parameter_names();
  fmt::format_to(std::back_inserter(out), "  parameters ({}): {}\n", params.size(), fmt::join(params, ", "));
  return out;
}

}  // namespace penstock::app
