// SPDX-License-Identifier: BSD-3-Clause
// The penstock command line.
#include <fmt/core.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "check.hpp"
#include "inspect.hpp"
#include "penstock/engine.hpp"
#include "penstock/version.hpp"
#include "plot.hpp"
#include "simulate.hpp"

namespace {

int inspect(const std::vector<std::filesystem::path>& paths) {
  int status = 0;
  for (const auto& path : paths) {
    try {
      const penstock::engine::Plugin plugin(path);
      fmt::print("{}\n", penstock::app::describe(plugin));
    } catch (const penstock::engine::PluginError& e) {
      fmt::print(stderr, "penstock inspect: {}\n", e.what());
      status = 1;
    }
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Penstock: simulation of the waterway and machines of a small hydropower plant"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("penstock ") + penstock::kVersion, "Print the version and exit");

  std::vector<std::filesystem::path> plugins;
  CLI::App* inspect_cmd = app.add_subcommand("inspect", "Print the equation group each plug-in declares");
  inspect_cmd->add_option("plugins", plugins, "Plug-in files (.so)")->required()->check(CLI::ExistingFile);

  penstock::app::add_model_commands(app);
  penstock::app::add_simulate_command(app);
  penstock::app::add_plot_command(app);

  if (argc == 1) {  // nothing asked: what there is to ask
    app.name("penstock");
    fmt::print("{}", app.help());
    return 0;
  }
  CLI11_PARSE(app, argc, argv);
  if (inspect_cmd->parsed()) return inspect(plugins);
  return 0;
}
