// SPDX-License-Identifier: BSD-3-Clause
#include "simulate.hpp"

#include <fmt/core.h>

#include <csignal>
#include <filesystem>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "penstock/engine.hpp"
#include "penstock/sim/model.hpp"
#include "penstock/sim/output.hpp"
#include "penstock/sim/run_model.hpp"
#include "penstock/sim/solver.hpp"
#include "plot.hpp"

namespace penstock::app {
namespace {

struct Options {
  std::filesystem::path model;
  std::filesystem::path output;
  std::vector<std::filesystem::path> plugin_dirs;
  std::string linear_solver;
  size_t max_rows = 10'000'000;
  // The unit of pressures in the summary (and, for the plot, what it is to show them in).
  std::string pressure_unit = "bar";
  bool quiet = false;
  bool verbose = false;
  bool json = false;
  bool plot = false;
  bool all_events = false;
};

// A failure as one JSON object on stdout, for scripts that read --json: where in which file when
// that is known, and the message.
void print_json_error(const std::string& message, const sim::SourceMark* where = nullptr) {
  std::string out = "{\"error\":{";
  if (where != nullptr) {
    out += fmt::format("\"file\":{},\"line\":{},\"column\":{},", sim::json_string(where->file),
                       where->line > 0 ? std::to_string(where->line) : "null",
                       where->column > 0 ? std::to_string(where->column) : "null");
  }
  out += fmt::format("\"message\":{}}}}}", sim::json_string(message));
  fmt::print("{}\n", out);
}

// The signal that asked the run to end; 0 while none has.
volatile std::sig_atomic_t interrupt_signal = 0;

void on_interrupt(int signal) { interrupt_signal = signal; }

// While a run goes on, an interrupt (Ctrl-C), SIGTERM or a hang-up ends it where its rows have got
// to (sim::Observer::stop), keeping them, instead of killing it; a second one kills it at once (the
// handler is used once). A signal ignored when penstock was started (nohup, a background job) stays
// ignored. A results file grown past the limit of file sizes (ulimit -f) fails to be written, as on
// a full disk, instead of killing penstock.
class Interrupts {
 public:
  Interrupts() {
    for (size_t k = 0; k < std::size(kSignals); ++k) {
      struct sigaction action {};
      if (::sigaction(kSignals[k], nullptr, &saved_[k]) != 0 || saved_[k].sa_handler == SIG_IGN) continue;
      action.sa_handler = on_interrupt;
      sigemptyset(&action.sa_mask);
      action.sa_flags = SA_RESETHAND | SA_RESTART;
      installed_[k] = ::sigaction(kSignals[k], &action, nullptr) == 0;
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGXFSZ, &ignore, &saved_size_);
  }
  ~Interrupts() {
    for (size_t k = 0; k < std::size(kSignals); ++k)
      if (installed_[k]) ::sigaction(kSignals[k], &saved_[k], nullptr);
    ::sigaction(SIGXFSZ, &saved_size_, nullptr);
  }
  Interrupts(const Interrupts&) = delete;
  Interrupts& operator=(const Interrupts&) = delete;

  // The signal received, 0 if none.
  static int signal() { return interrupt_signal; }
  // Why the run is to end: "interrupted by SIGINT", or empty.
  static std::string reason() {
    switch (interrupt_signal) {
      case 0:
        return {};
      case SIGINT:
        return "interrupted by SIGINT";
      case SIGTERM:
        return "interrupted by SIGTERM";
      default:
        return "interrupted by SIGHUP";
    }
  }

 private:
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction saved_[std::size(kSignals)]{};
  bool installed_[std::size(kSignals)] = {};
  struct sigaction saved_size_ {};
};

// The image --plot draws of the results: beside them, with .png.
std::filesystem::path image_name(const std::filesystem::path& results) {
  return std::filesystem::path(results).replace_extension(".png");
}

// Every file the run may write, refused before it starts when it cannot be written there (see
// sim::check_target): the results, complete or not, and beside each its events, its envelope and its
// image, and their temporary files. The folder is tried when the results' temporary file is made.
void check_targets(const Options& o, const sim::Model& model, const std::filesystem::path& results) {
  for (const std::filesystem::path& r : {results, sim::Recorder::incomplete_name(results)}) {
    if (r == results) {
      sim::PartFile::check(r, o.model);
    } else {
      sim::check_target(r, o.model);  // renamed to, never opened
    }
    if (r == results) {
      sim::PartFile::check(sim::events_name(r), o.model);
    } else {
      sim::check_target(sim::events_name(r), o.model);
    }
    if (!model.run.envelope.empty()) sim::PartFile::check(sim::envelope_name(r), o.model);
    if (o.plot) {
      if (image_name(r) == r)
        throw std::runtime_error(
            fmt::format("cannot write {}: --plot draws its image there; name the results .csv", r.string()));
      sim::check_target(image_name(r), o.model);
    }
  }
}

// A run whose rows would make an unwieldy file (a long run sampled finely by mistake) is refused
// unless asked for.
void check_size(const Options& o, const sim::Model& model, const sim::Recorder& recorder) {
  const double rows = sim::planned_rows(model.run);
  if (o.max_rows == 0 || rows <= static_cast<double>(o.max_rows)) return;
  // About 16 bytes a value as the shortest text that reads back (digits, a sign, an exponent, a comma).
  const double bytes = rows * static_cast<double>(recorder.names().size() + 1) * 16.0;
  const char* units[] = {"B", "kB", "MB", "GB", "TB", "PB"};
  double size = bytes;
  size_t unit = 0;
  while (size >= 1000.0 && unit + 1 < std::size(units)) size /= 1000.0, ++unit;
  throw std::runtime_error(fmt::format(
      "the run would write {:.0f} rows ({} s to {} s every {} s), about {:.3g} {} of CSV, more than the {} "
      "allowed: give --max-rows {:.0f} (0: no limit) to write them, or a longer interval in run: output",
      rows, model.run.start_time, model.run.stop_time, model.run.output_interval, size, units[unit], o.max_rows, rows));
}

// Exit codes: 0 complete; 1 the model could not be loaded or the results not written (refused
// before the run, or a write that failed: the rows written so far kept, marked incomplete); 2 the
// solver stopped early (its results so far are kept, marked incomplete); 128 + the signal (130
// SIGINT, 143 SIGTERM, 129 SIGHUP) when interrupted (the rows so far kept, marked incomplete).
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
    if (o.json) print_json_error(e.message(), &e.where());
    return 1;
  } catch (const engine::PluginError& e) {
    fmt::print(stderr, "{}: error: {}\n", o.model.string(), e.what());
    if (o.json) {
      const sim::SourceMark where{o.model.string(), 0, 0};
      print_json_error(e.what(), &where);
    }
    return 1;
  }
  if (o.linear_solver == "dense") model.run.linear_solver = sim::RunSettings::Linear::dense;
  if (o.linear_solver == "klu") model.run.linear_solver = sim::RunSettings::Linear::klu;
  if (o.all_events) model.run.tell_smooth_switches = true;

  std::filesystem::path results =
      o.output.empty() ? std::filesystem::path(o.model).replace_extension(".csv") : o.output;
  bool reported = false;  // the JSON report is out: a later failure is told on stderr alone
  try {
    const sim::PressureUnit pressure = sim::pressure_unit(o.pressure_unit, model.density);
    check_targets(o, model, results);
    sim::Recorder recorder(*model.system, model.run.record);
    recorder.write_csv(results);  // tries the folder
    check_size(o, model, recorder);
    const Interrupts interrupts;
    recorder.stop_when(&Interrupts::reason);
    sim::ProgressBar bar(model.run.start_time, model.run.stop_time);
    if (!o.quiet && !o.json) recorder.on_progress([&bar](double t) { bar.update(t); });
    if (!o.json)
      recorder.on_note([&bar, &o](const std::string& text, const std::string& detail) {
        bar.clear();
        fmt::print(stderr, "{}: note: {}\n", o.model.string(), text);
        if (o.verbose && !detail.empty()) fmt::print(stderr, "  solver: {}\n", detail);
      });
    sim::RunResults run = sim::run_model(model, recorder);
    bar.clear();
    const sim::Outcome& outcome = run.outcome;
    results = run.results;
    const std::vector<sim::PipeEnvelope>& envelopes = run.envelopes;
    std::filesystem::path envelope;
    if (!model.run.envelope.empty())
      envelope = sim::write_envelopes(results, envelopes, model.run.envelope, model.vapour_pressure);
    if (o.json) {
      fmt::print("{}\n", sim::json_report(outcome, model.run, recorder, results, model.notes));
      reported = true;
    } else if (!outcome.complete) {
      fmt::print(stderr, "{}: {}", o.model.string(),
                 sim::summary(outcome, model.run, recorder, results, model.notes, pressure));
    } else if (!o.quiet) {
      fmt::print("{}: {}", o.model.string(),
                 sim::summary(outcome, model.run, recorder, results, model.notes, pressure));
    }
    if (!envelope.empty() && !o.quiet && !o.json) fmt::print("  envelope: {}\n", envelope.string());
    if (model.vapour_pressure && !o.json)
      for (const auto& w : sim::vapour_warnings(envelopes, *model.vapour_pressure))
        fmt::print(stderr, "{}: warning: {}\n", o.model.string(), w);
    if (Interrupts::signal() != 0) return 128 + Interrupts::signal();  // and no plot
    if (o.plot && !results.empty()) {
      try {
        PlotRequest request;
        request.results = {results};
        request.image = image_name(results);
        request.title = model_title(o.model);
        request.pressure_unit = o.pressure_unit;  // the summary's
        request.density = model.density.value_or(1000.0);
        const std::vector<std::string> kinds = recorder.kinds();
        for (size_t k = 0; k < kinds.size(); ++k) request.kinds[recorder.names()[k]] = kinds[k];
        const std::filesystem::path image = plot_results(request);
        if (!o.quiet && !o.json) fmt::print("  plot: {}\n", image.string());
      } catch (const std::exception& e) {
        fmt::print(stderr, "{}: error: {}\n", o.model.string(), e.what());
        return 1;
      }
    }
    if (!recorder.write_error().empty()) return 1;
    return outcome.complete ? 0 : 2;
  } catch (const std::exception& e) {
    fmt::print(stderr, "{}: error: {}\n", o.model.string(), e.what());
    if (o.json && !reported) print_json_error(e.what());
    return 1;
  }
}

}  // namespace

void add_simulate_command(CLI::App& app) {
  auto o = std::make_shared<Options>();
  CLI::App* cmd = app.add_subcommand("simulate", "Simulate a model and write the recorded variables as CSV");
  // Not checked here: a model file that cannot be read is the loader's error, said as JSON with --json.
  cmd->add_option("model", o->model, "Model file (.yaml)")->required();
  cmd->add_option("-o,--output", o->output, "Results file (default: the model's name with .csv)");
  cmd->add_option("--plugins", o->plugin_dirs, "Further folders of plug-ins with their descriptions")
      ->allow_extra_args(false);  // one folder each time, so that the model may follow it
  cmd->add_option("--linear-solver", o->linear_solver, "Linear solver of the Newton iterations (default: the model's)")
      ->check(CLI::IsMember({"dense", "klu"}));
  cmd->add_option("--max-rows", o->max_rows,
                  "Refuse a run that would write more rows than this (default 10000000; 0: no limit)");
  cmd->add_option("--pressure-unit", o->pressure_unit,
                  "Unit of pressures in the summary: bar, kPa, Pa or mH2O (a head of the model's fluid; default bar)")
      ->check(CLI::IsMember({"bar", "kPa", "Pa", "mH2O"}));
  cmd->add_flag("-q,--quiet", o->quiet, "No summary or progress; errors only");
  cmd->add_flag("-v,--verbose", o->verbose, "With each note, the solver's own account of it");
  cmd->add_flag("--json", o->json, "Print the summary as one JSON object on stdout");
  cmd->add_flag("--all-events", o->all_events,
                "List in the events file every switch of a component's flags, also those that leave its equations "
                "as they were (default: the model's run: events)");
  cmd->add_flag("--plot", o->plot, "Also draw the recorded variables with gnuplot (PNG beside the results)");
  cmd->callback([o] {
    if (const int status = simulate(*o); status != 0) throw CLI::RuntimeError(status);
  });
}

}  // namespace penstock::app
