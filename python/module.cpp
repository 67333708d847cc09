// SPDX-License-Identifier: BSD-3-Clause
// The compiled part of the Python module penstock: a model given as text with the changes a
// script makes, checked or simulated by the simulator library as `penstock check` and
// `penstock simulate` do it, the results handed back as numpy arrays. The interpreter's lock is
// let go while a model loads and runs, so that threads simulate side by side.
#include <fmt/core.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "penstock/engine.hpp"
#include "penstock/sim/model.hpp"
#include "penstock/sim/output.hpp"
#include "penstock/sim/run_model.hpp"

namespace py = pybind11;
namespace fs = std::filesystem;

namespace penstock::python {
namespace {

// The catalogue of the plug-in folders given, then those of $PENSTOCK_PLUGIN_PATH, then the
// module's own (plugins/ and builtins/ of the build or installation it belongs to). One catalogue
// for each list of folders, shared by every model and thread: each plug-in is loaded once.
std::shared_ptr<const sim::Catalogue> catalogue(const std::vector<std::string>& plugins, const std::string& root) {
  const std::vector<fs::path> own = sim::Catalogue::own_directories(root);
  std::vector<fs::path> dirs(plugins.begin(), plugins.end());
  for (const fs::path& d : sim::Catalogue::default_directories(own)) dirs.push_back(d);
  std::string key;
  for (const fs::path& d : dirs) key += d.string() + '\n';
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<const sim::Catalogue>> known;
  const std::lock_guard<std::mutex> lock(mutex);
  std::shared_ptr<const sim::Catalogue>& c = known[key];
  if (!c) c = std::make_shared<const sim::Catalogue>(dirs, own);
  return c;
}

// The changes as the Python side hands them: (kind, name, value in YAML).
using Changes = std::vector<std::tuple<std::string, std::string, std::string>>;

std::vector<sim::Override> overrides(const Changes& changes) {
  std::vector<sim::Override> out;
  for (const auto& [kind, name, value] : changes) {
    if (kind != "value" && kind != "signal")
      throw std::invalid_argument("a change is 'value' or 'signal', not " + kind);
    out.push_back({kind == "signal" ? sim::Override::Kind::signal : sim::Override::Kind::value, name, value});
  }
  return out;
}

// The exception classes of the module, made when it is imported and kept by it for good.
PyObject* error_class = nullptr;        // penstock.Error: a run or its files failed
PyObject* model_error_class = nullptr;  // penstock.ModelError: the model, as given or changed, is at fault

// Raises penstock.ModelError with the place of the fault: file, line and column (0 when not
// known; the file of a script's change names the change) and the message alone.
[[noreturn]] void raise_model_error(const std::string& what, const sim::SourceMark& where, const std::string& message) {
  py::object e = py::reinterpret_borrow<py::object>(model_error_class)(what);
  e.attr("file") = where.file;
  e.attr("line") = where.line;
  e.attr("column") = where.column;
  e.attr("message") = message;
  PyErr_SetObject(model_error_class, e.ptr());
  throw py::error_already_set();
}

// Loads the model without the interpreter's lock; its faults become penstock.ModelError.
sim::Model load(const std::string& text, const std::string& file, const Changes& changes,
                const std::vector<std::string>& plugins, const std::string& root, sim::CheckReport* report) {
  const std::vector<sim::Override> list = overrides(changes);
  std::optional<sim::ModelError> model_error;
  std::optional<std::string> plugin_error;
  sim::Model model;
  {
    const py::gil_scoped_release release;
    try {
      model = sim::load_model_text(text, file, *catalogue(plugins, root), list, report);
    } catch (const sim::ModelError& e) {
      model_error = e;
    } catch (const engine::PluginError& e) {
      plugin_error = e.what();
    }
  }
  if (model_error) raise_model_error(model_error->what(), model_error->where(), model_error->message());
  if (plugin_error) raise_model_error(file + ": error: " + *plugin_error, sim::SourceMark{file, 0, 0}, *plugin_error);
  return model;
}

py::dict run_settings(const sim::RunSettings& run) {
  py::dict d;
  d["start_time"] = run.start_time;
  d["stop_time"] = run.stop_time;
  d["output_interval"] = run.output_interval;
  d["relative_tolerance"] = run.relative_tolerance;
  d["absolute_tolerance"] = run.absolute_tolerance;
  d["max_step"] = run.max_step;
  d["start"] = run.start == sim::RunSettings::Start::steady ? "steady" : "given";
  d["record"] = run.record;
  d["envelope"] = run.envelope;
  return d;
}

py::dict check(const std::string& text, const std::string& file, const Changes& changes,
               const std::vector<std::string>& plugins, const std::string& root) {
  sim::CheckReport report;
  const sim::Model model = load(text, file, changes, plugins, root, &report);
  py::dict d;
  d["components"] = report.components;
  d["nodes"] = report.nodes;
  d["unknowns"] = report.unknowns;
  d["equations"] = report.equations;
  d["differential"] = report.differential;
  d["algebraic"] = report.algebraic;
  d["zero_crossings"] = report.zero_crossings;
  d["warnings"] = report.warnings;
  d["notes"] = report.notes;
  const sim::DaeSystem& system = *model.system;
  std::vector<std::pair<std::string, std::string>> variables;
  for (size_t i = 0; i < system.size(); ++i)
    variables.emplace_back(system.variable_names()[i], system.variable_kind(i));
  d["variables"] = variables;
  d["run"] = run_settings(model.run);
  d["density"] = model.density;
  d["vapour_pressure"] = model.vapour_pressure;
  std::vector<std::string> external;
  for (const fs::path& p : catalogue(plugins, root)->external_plugins()) external.push_back(p.string());
  d["external"] = external;
  return d;
}

py::array_t<double> array(const std::vector<double>& values) {
  py::array_t<double> a(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), a.mutable_data());
  return a;
}

py::dict envelope(const sim::PipeEnvelope& e) {
  py::dict d;
  d["pipe"] = e.pipe;
  d["kind"] = e.kind;
  d["rho_g"] = e.rho_g;
  const std::pair<const char*, double sim::PipeEnvelope::Node::*> fields[] = {
      {"x", &sim::PipeEnvelope::Node::x},         {"z", &sim::PipeEnvelope::Node::z},
      {"p_min", &sim::PipeEnvelope::Node::p_min}, {"t_p_min", &sim::PipeEnvelope::Node::t_p_min},
      {"p_max", &sim::PipeEnvelope::Node::p_max}, {"t_p_max", &sim::PipeEnvelope::Node::t_p_max},
      {"h_min", &sim::PipeEnvelope::Node::h_min}, {"t_h_min", &sim::PipeEnvelope::Node::t_h_min},
      {"h_max", &sim::PipeEnvelope::Node::h_max}, {"t_h_max", &sim::PipeEnvelope::Node::t_h_max}};
  for (const auto& [name, member] : fields) {
    std::vector<double> v;
    v.reserve(e.nodes.size());
    for (const auto& n : e.nodes) v.push_back(n.*member);
    d[name] = array(v);
  }
  return d;
}

// How often a run looks whether Python was interrupted (Ctrl-C): the lock is taken that often.
constexpr auto kSignalCheck = std::chrono::milliseconds(100);

py::dict simulate(const std::string& text, const std::string& file, const Changes& changes,
                  const std::vector<std::string>& plugins, const std::string& root, const std::string& output,
                  const std::string& pressure_unit) {
  sim::CheckReport report;
  sim::Model model = load(text, file, changes, plugins, root, &report);
  const sim::PressureUnit pressure = [&] {
    try {
      return sim::pressure_unit(pressure_unit, model.density);
    } catch (const std::invalid_argument& e) {
      throw py::value_error(e.what());
    }
  }();

  std::unique_ptr<sim::Recorder> recorder;
  std::vector<std::tuple<double, std::string, std::string>> events;
  std::optional<py::error_already_set> interrupt;
  sim::RunResults run;
  fs::path envelope_file;
  std::vector<std::string> vapour;
  std::optional<std::string> failure;
  {
    const py::gil_scoped_release release;
    try {
      recorder = std::make_unique<sim::Recorder>(*model.system, model.run.record);
      recorder->keep_grid(true);
      recorder->on_event([&events](double t, const std::string& component, const std::string& what) {
        events.emplace_back(t, component, what);
      });
      // A Ctrl-C in Python ends the run where it has got to, as in the program; the
      // KeyboardInterrupt is raised once the run is over. Python's own handler stays.
      auto last = std::chrono::steady_clock::now();
      recorder->stop_when([&]() -> std::string {
        if (interrupt) return "interrupted (KeyboardInterrupt)";
        const auto now = std::chrono::steady_clock::now();
        if (now - last < kSignalCheck) return {};
        last = now;
        const py::gil_scoped_acquire acquire;
        if (PyErr_CheckSignals() == 0) return {};
        interrupt.emplace();  // takes the exception Python raised
        return "interrupted (KeyboardInterrupt)";
      });
      if (!output.empty()) {
        for (const fs::path& target : {fs::path(output), sim::Recorder::incomplete_name(output)}) {
          sim::PartFile::check(target, file);
          sim::PartFile::check(sim::events_name(target), file);
          if (!model.run.envelope.empty()) sim::PartFile::check(sim::envelope_name(target), file);
        }
        recorder->write_csv(output);
      }
      run = sim::run_model(model, *recorder);
      if (!output.empty() && !model.run.envelope.empty())
        envelope_file = sim::write_envelopes(run.results, run.envelopes, model.run.envelope, model.vapour_pressure);
      if (model.vapour_pressure) vapour = sim::vapour_warnings(run.envelopes, *model.vapour_pressure);
    } catch (const std::exception& e) {
      failure = e.what();
    }
  }
  if (interrupt) throw *interrupt;
  if (failure) {
    PyErr_SetString(error_class, (file + ": error: " + *failure).c_str());
    throw py::error_already_set();
  }

  const sim::Outcome& outcome = run.outcome;
  const std::vector<std::vector<double>>& rows = recorder->kept();
  const size_t columns = recorder->names().size();
  py::array_t<double> time(static_cast<py::ssize_t>(rows.size()));
  py::array_t<double> values({static_cast<py::ssize_t>(rows.size()), static_cast<py::ssize_t>(columns)});
  {
    auto t = time.mutable_unchecked<1>();
    auto v = values.mutable_unchecked<2>();
    for (size_t r = 0; r < rows.size(); ++r) {
      t(static_cast<py::ssize_t>(r)) = rows[r][0];
      for (size_t c = 0; c < columns; ++c) v(static_cast<py::ssize_t>(r), static_cast<py::ssize_t>(c)) = rows[r][c + 1];
    }
  }
  py::dict d;
  d["time"] = time;
  d["values"] = values;
  d["names"] = recorder->names();
  const std::vector<std::string> kinds = recorder->kinds();
  d["kinds"] = kinds;
  std::vector<std::string> units;
  units.reserve(kinds.size());
  for (const std::string& k : kinds) units.push_back(sim::si_unit(k));
  d["units"] = units;
  py::dict extremes;
  for (size_t k = 0; k < columns && recorder->rows() > 0; ++k) {
    const sim::Extreme& e = recorder->extremes()[k];
    extremes[py::str(recorder->names()[k])] = py::make_tuple(e.min, e.t_min, e.max, e.t_max);
  }
  d["extremes"] = extremes;
  d["events"] = events;
  d["complete"] = outcome.complete;
  d["error"] = outcome.complete ? py::object(py::none()) : py::object(py::str(outcome.error));
  d["end_time"] = outcome.end_time;
  d["linear_solver"] = outcome.linear_solver;
  const sim::SolverStatistics& s = outcome.stats;
  py::dict stats;
  stats["steps"] = s.steps;
  stats["events"] = s.events;
  stats["mode_changes"] = s.mode_changes;
  stats["restarts"] = s.restarts;
  stats["residual_evaluations"] = s.residual_evaluations;
  stats["jacobian_evaluations"] = s.jacobian_evaluations;
  stats["error_test_failures"] = s.error_test_failures;
  stats["convergence_failures"] = s.convergence_failures;
  stats["last_step"] = s.last_step;
  stats["wall_seconds"] = s.wall_seconds;
  d["stats"] = stats;
  d["notes"] = recorder->notes();
  d["note_details"] = recorder->note_details();
  d["model_notes"] = model.notes;
  std::vector<std::string> warnings = report.warnings;
  for (const std::string& w : vapour) warnings.push_back(fmt::format("{}: warning: {}", file, w));
  d["warnings"] = warnings;
  py::list envelopes;
  for (const sim::PipeEnvelope& e : run.envelopes) envelopes.append(envelope(e));
  d["envelopes"] = envelopes;
  d["results_file"] = run.results.empty() ? py::object(py::none()) : py::object(py::str(run.results.string()));
  d["events_file"] =
      recorder->events_file().empty() ? py::object(py::none()) : py::object(py::str(recorder->events_file().string()));
  d["envelope_file"] = envelope_file.empty() ? py::object(py::none()) : py::object(py::str(envelope_file.string()));
  d["summary"] = sim::summary(outcome, model.run, *recorder, run.results, model.notes, pressure);
  d["run"] = run_settings(model.run);
  d["density"] = model.density;
  return d;
}

py::list components(const std::vector<std::string>& plugins, const std::string& root) {
  const std::shared_ptr<const sim::Catalogue> cat = catalogue(plugins, root);
  py::list out;
  for (const std::string& name : cat->names()) {
    const sim::Description& d = *cat->find(name);
    py::dict c;
    c["name"] = name;
    c["physics"] = d.physics;
    std::vector<std::string> ports;
    for (const auto& p : d.ports) ports.push_back(p.name);
    c["ports"] = ports;
    c["signals"] = d.signals;
    py::list parameters;
    for (const auto& p : d.parameters) {
      py::dict pd;
      pd["name"] = p.name;
      pd["unit"] = p.unit;
      pd["doc"] = p.doc;
      pd["default"] = p.default_value;
      pd["domain"] = p.domain ? py::object(py::str(p.domain->text())) : py::object(py::none());
      pd["required"] = p.required;
      parameters.append(pd);
    }
    c["parameters"] = parameters;
    c["notes"] = d.notes;
    c["file"] = cat->plugin_path(name).string();
    out.append(c);
  }
  if (!cat->errors().empty()) {
    std::string text = "the plug-in folders have faults:";
    for (const auto& e : cat->errors()) text += "\n  " + e;
    PyErr_SetString(error_class, text.c_str());
    throw py::error_already_set();
  }
  return out;
}

}  // namespace
}  // namespace penstock::python

PYBIND11_MODULE(_penstock, m) {
  using namespace penstock::python;
  m.doc() = "The compiled part of penstock: use the package penstock, not this module.";
  m.attr("version") = PENSTOCK_VERSION;
  error_class = PyErr_NewExceptionWithDoc("penstock.Error", "A run, or the files it writes, failed.",
                                          PyExc_RuntimeError, nullptr);
  model_error_class = PyErr_NewExceptionWithDoc(
      "penstock.ModelError",
      "A fault of the model, as given or as changed by set() or signal(), told as penstock check tells it: "
      "str(e) is 'file:line:column: error: message'. Its attributes file, line and column say where (line and "
      "column 0 when not known; for a change, file names it: 'plant.yaml (set pipe.a = -5)'), message what.",
      error_class, nullptr);
  if (error_class == nullptr || model_error_class == nullptr) throw py::error_already_set();
  m.attr("Error") = py::reinterpret_borrow<py::object>(error_class);
  m.attr("ModelError") = py::reinterpret_borrow<py::object>(model_error_class);
  m.def("check", &check, py::arg("text"), py::arg("file"), py::arg("changes"), py::arg("plugins"), py::arg("root"));
  m.def("simulate", &simulate, py::arg("text"), py::arg("file"), py::arg("changes"), py::arg("plugins"),
        py::arg("root"), py::arg("output") = "", py::arg("pressure_unit") = "bar");
  m.def("components", &components, py::arg("plugins"), py::arg("root"));
}
