// SPDX-License-Identifier: BSD-3-Clause
#include "check.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "penstock/engine.hpp"
#include "penstock/sim/model.hpp"

namespace penstock::app {

namespace {

constexpr const char* kPluginsHelp =
    "A folder of plug-ins with their descriptions to load from, besides the program's own and those in "
    "$PENSTOCK_PLUGIN_PATH; a model's plugins: may name only these";

struct Options {
  std::filesystem::path model;
  std::vector<std::filesystem::path> plugin_dirs;
  bool markdown = false;
};

sim::Catalogue catalogue(const Options& o) {
  std::vector<std::filesystem::path> dirs = o.plugin_dirs;
  for (const auto& d : sim::Catalogue::default_directories()) dirs.push_back(d);
  return sim::Catalogue(dirs);
}

int check(const Options& o) {
  const sim::Catalogue cat = catalogue(o);
  sim::CheckReport report;
  try {
    const sim::Model model = sim::load_model(o.model, cat, &report);
    for (const auto& w : report.warnings) fmt::print(stderr, "{}\n", w);
    fmt::print("{}: the model is complete\n", o.model.string());
    fmt::print("  components      {}\n", report.components);
    fmt::print("  nodes           {} (besides the reference)\n", report.nodes);
    fmt::print("  unknowns        {}: {} differential, {} algebraic\n", report.unknowns, report.differential,
               report.algebraic);
    fmt::print("  equations       {}\n", report.equations);
    fmt::print("  zero crossings  {}\n", report.zero_crossings);
    fmt::print("  run             {} s to {} s, output every {} s\n", model.run.start_time, model.run.stop_time,
               model.run.output_interval);
    for (size_t k = 0; k < report.notes.size(); ++k)
      fmt::print("  {:<15} {}\n", k == 0 ? "wave grid" : "", report.notes[k]);
    for (const auto& plugin : cat.external_plugins()) fmt::print("  {:<15} {}\n", "external", plugin.string());
    fmt::print("  warnings        {}\n", report.warnings.size());
    return 0;
  } catch (const sim::ModelError& e) {
    for (const auto& w : report.warnings) fmt::print(stderr, "{}\n", w);
    fmt::print(stderr, "{}\n", e.what());
  } catch (const engine::PluginError& e) {
    fmt::print(stderr, "{}: error: {}\n", o.model.string(), e.what());
  }
  return 1;
}

std::string terminal(const std::string& t) { return t == "ref" ? "the reference" : t; }

std::string markdown(const sim::Catalogue& cat, const std::string& name) {
  const sim::Description& d = *cat.find(name);
  std::string physics = d.physics;
  if (!physics.empty()) physics[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(physics[0])));
  const bool builtin = cat.plugin_path(name).parent_path().filename() == "builtins";
  std::string out = fmt::format("## {}{}\n\n{}.\n\n", name, builtin ? " (built-in)" : "", physics);
  std::string ports;
  for (const auto& p : d.ports) {
    ports += fmt::format("{}{} ({}{})", ports.empty() ? "" : ", ", p.name, sim::domain_name(p.domain),
                         p.ground_if_unconnected ? ", on the reference unless connected" : "");
  }
  out += ports.empty() ? "- Ports: none; a control block, its inputs driven by signals.\n"
                       : fmt::format("- Ports: {}.\n", ports);
  std::string vars;
  for (const auto& b : d.branches) {
    vars += fmt::format("{}`{}` flows from {} to {}", vars.empty() ? "" : "; ", b.through, terminal(b.from),
                        terminal(b.to));
  }
  for (const auto& a : d.across) {
    const std::string across = sim::across_name(d.port(a.plus == "ref" ? a.minus : a.plus)->domain);
    vars += fmt::format("{}`{}` = {}.{}{}", vars.empty() ? "" : "; ", a.variable, a.plus, across,
                        a.minus == "ref" ? " (against the reference)" : " − " + a.minus + "." + across);
  }
  if (!vars.empty()) out += fmt::format("- Network: {}.\n", vars);
  std::vector<std::string> own;
  if (!d.host.empty()) {
    for (const auto& [v, kind] : d.kinds) own.push_back(v);
  } else {
    try {
      const auto plugin = cat.plugin(name);
      for (size_t i = 1; i < plugin->group().inputs.size(); ++i) own.push_back(plugin->group().inputs[i]);
    } catch (const std::exception& e) {
      own.push_back(std::string("(plug-in not loadable: ") + e.what() + ")");
    }
  }
  std::string inputs;
  for (const auto& v : own) {
    const bool signal = std::find(d.signals.begin(), d.signals.end(), v) != d.signals.end();
    inputs += fmt::format("{}`{}`{}", inputs.empty() ? "" : ", ", v, signal ? " (signal)" : "");
  }
  out += fmt::format("- Variables, in input order: {}.\n", inputs);
  if (!d.signals.empty()) {
    std::string s;
    for (const auto& v : d.signals) s += fmt::format("{}`{}`", s.empty() ? "" : ", ", v);
    out += fmt::format("- Driven by signals: {}.\n", s);
  }
  if (d.feedthrough)
    out +=
        "- Its outputs follow its signal inputs at once (feedthrough): a loop of signals through it needs a state.\n";
  for (const auto& [v, p] : d.start) out += fmt::format("- Start value of `{}` from the parameter `{}`.\n", v, p);
  for (const auto& [v, x] : d.defaults)
    out += fmt::format("- `{}` starts at {} unless the model says otherwise.\n", v, x);
  if (!d.parameters.empty()) {
    out += "- Parameters read by its formulas:\n";
    for (const auto& p : d.parameters) {
      std::string extra;
      if (!p.fluid.empty() || p.name.find('.') != std::string::npos) extra += "; from the fluid unless given";
      if (p.default_value) extra += fmt::format("; {} unless given", *p.default_value);
      if (p.domain) extra += "; must be " + p.domain->text();
      if (p.required) extra += "; required";
      out += fmt::format("  - `{}` [{}]: {}{}\n", p.name, p.unit.empty() || p.unit == "1" ? "-" : p.unit, p.doc, extra);
    }
  } else {
    out += "- Parameters read by its formulas: none.\n";
  }
  for (const auto& n : d.notes) out += fmt::format("- Note: {}\n", n);
  if (!d.remedy.empty()) out += fmt::format("- Shown when a run fails at it: {}\n", d.remedy);
  return out + "\n";
}

int components(const Options& o) {
  const sim::Catalogue cat = catalogue(o);
  if (!cat.errors().empty()) {
    for (const auto& e : cat.errors()) fmt::print(stderr, "penstock components: error: {}\n", e);
    return 1;
  }
  if (cat.names().empty()) {
    fmt::print(stderr, "penstock components: no plug-ins with network descriptions were found\n");
    return 1;
  }
  for (const auto& name : cat.names()) {
    if (o.markdown) {
      fmt::print("{}", markdown(cat, name));
      continue;
    }
    const sim::Description& d = *cat.find(name);
    std::string ports;
    for (const auto& p : d.ports) ports += fmt::format("{}{}", ports.empty() ? "" : " ", p.name);
    if (ports.empty()) ports = "-";
    fmt::print("{:<16} {:<8} {}\n", name, ports, d.physics);
  }
  return 0;
}

}  // namespace

void add_model_commands(CLI::App& app) {
  auto o = std::make_shared<Options>();
  CLI::App* check_cmd = app.add_subcommand("check", "Load and assemble a model and report it, without simulating");
  check_cmd->add_option("model", o->model, "Model file (.yaml)")->required()->check(CLI::ExistingFile);
  check_cmd->add_option("--plugins", o->plugin_dirs, kPluginsHelp)
      ->allow_extra_args(false);  // one folder each time, so that the model may follow it
  check_cmd->callback([o] {
    if (const int status = check(*o); status != 0) throw CLI::RuntimeError(status);
  });

  CLI::App* list_cmd = app.add_subcommand("components", "List the components a model may use");
  list_cmd->add_option("--plugins", o->plugin_dirs, kPluginsHelp)
      ->allow_extra_args(false);  // one folder each time, so that the model may follow it
  list_cmd->add_flag("--markdown", o->markdown, "Print the catalogue as Markdown, one section a component");
  list_cmd->callback([o] {
    if (const int status = components(*o); status != 0) throw CLI::RuntimeError(status);
  });
}

}  // namespace penstock::app
