#include "simulate.hpp"

#include <fmt/core.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "penstock/engine.hpp"
#include "penstock/sim/model.hpp"
#include "penstock/sim/output.hpp"
#include "penstock/sim/solver.hpp"
#include "plot.hpp"

namespace penstock::app {
namespace {

struct Options {
  std::filesystem::path model;
  std::filesystem::path output;
  std::vector<std::filesystem::path> plugin_dirs;
  std::string linear_solver;
  bool quiet = false;
  bool json = false;
  bool plot = false;
};

// Exit codes: 0 complete, 1 the model could not be loaded or the results not written, 2 the
// solver stopped early (its results so far are kept, marked incomplete).
int simulate(const Options& o) {
  std::vector<std::filesystem::path> dirs = o.plugin_dirs;
  for (const auto& d : sim::Catalogue::default_directories()) dirs.push_back(d);
  const sim::Catalogue catalogue(dirs);
  sim::Model model;
  try {
    sim::CheckReport report;
    model = sim::load_model(o.model, catalogue, &report);
    if (!o.quiet && !o.json)
      for (const auto& w : report.warnings) fmt::print(stderr, "{}\n", w);
    if (!o.quiet)
      for (const auto& p : catalogue.external_plugins()) fmt::print(stderr, "note: external plug-in {}\n", p.string());
  } catch (const sim::ModelError& e) {
    fmt::print(stderr, "{}\n", e.what());
    return 1;
  } catch (const engine::PluginError& e) {
    fmt::print(stderr, "{}: error: {}\n", o.model.string(), e.what());
    return 1;
  }
  if (o.linear_solver == "dense") model.run.linear_solver = sim::RunSettings::Linear::dense;
  if (o.linear_solver == "klu") model.run.linear_solver = sim::RunSettings::Linear::klu;

  std::filesystem::path results =
      o.output.empty() ? std::filesystem::path(o.model).replace_extension(".csv") : o.output;
  try {
    sim::Recorder recorder(*model.system, model.run.record);
    recorder.write_csv(results);
    sim::ProgressBar bar(model.run.start_time, model.run.stop_time);
    if (!o.quiet && !o.json) recorder.on_progress([&bar](double t) { bar.update(t); });
    if (!o.json)
      recorder.on_note([&bar](const std::string& text) {
        bar.clear();
        fmt::print(stderr, "note: {}\n", text);
      });
    const sim::Outcome outcome = sim::simulate(*model.system, model.run, recorder);
    bar.clear();
    results = recorder.finish(outcome.complete);
    const std::vector<sim::PipeEnvelope> envelopes = model.system->envelopes();
    std::filesystem::path envelope;
    if (!model.run.envelope.empty())
      envelope = sim::write_envelopes(results, envelopes, model.run.envelope, model.vapour_pressure);
    if (o.json) {
      fmt::print("{}\n", sim::json_report(outcome, model.run, recorder, results, model.notes));
    } else if (!outcome.complete) {
      fmt::print(stderr, "{}: {}", o.model.string(), sim::summary(outcome, model.run, recorder, results, model.notes));
    } else if (!o.quiet) {
      fmt::print("{}: {}", o.model.string(), sim::summary(outcome, model.run, recorder, results, model.notes));
    }
    if (!envelope.empty() && !o.quiet && !o.json) fmt::print("  envelope: {}\n", envelope.string());
    if (model.vapour_pressure && !o.json)
      for (const auto& w : sim::vapour_warnings(envelopes, *model.vapour_pressure))
        fmt::print(stderr, "{}: warning: {}\n", o.model.string(), w);
    if (o.plot && !results.empty()) {
      try {
        PlotRequest request;
        request.results = {results};
        const std::vector<std::string> kinds = recorder.kinds();
        for (size_t k = 0; k < kinds.size(); ++k) request.kinds[recorder.names()[k]] = kinds[k];
        const std::filesystem::path image = plot_results(request);
        if (!o.quiet && !o.json) fmt::print("  plot: {}\n", image.string());
      } catch (const std::exception& e) {
        fmt::print(stderr, "{}: error: {}\n", o.model.string(), e.what());
        return 1;
      }
    }
    return outcome.complete ? 0 : 2;
  } catch (const std::exception& e) {
    fmt::print(stderr, "{}: error: {}\n", o.model.string(), e.what());
    return 1;
  }
}

}  // namespace

void add_simulate_command(CLI::App& app) {
  auto o = std::make_shared<Options>();
  CLI::App* cmd = app.add_subcommand("simulate", "Simulate a model and write the recorded variables as CSV");
  cmd->add_option("model", o->model, "Model file (.yaml)")->required()->check(CLI::ExistingFile);
  cmd->add_option("-o,--output", o->output, "Results file (default: the model's name with .csv)");
  cmd->add_option("--plugins", o->plugin_dirs, "Further folders of plug-ins with their descriptions");
  cmd->add_option("--linear-solver", o->linear_solver, "Linear solver of the Newton iterations (default: the model's)")
      ->check(CLI::IsMember({"dense", "klu"}));
  cmd->add_flag("-q,--quiet", o->quiet, "No summary or progress bar; errors only");
  cmd->add_flag("--json", o->json, "Print the summary as one JSON object on stdout");
  cmd->add_flag("--plot", o->plot, "Also draw the recorded variables with gnuplot (PNG beside the results)");
  cmd->callback([o] {
    if (const int status = simulate(*o); status != 0) throw CLI::RuntimeError(status);
  });
}

}  // namespace penstock::app
