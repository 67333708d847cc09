// SPDX-License-Identifier: BSD-3-Clause
// Model files: the fluid, the components, how their ports meet, the signals that drive them, start
// values and the run. Everything a user writes is checked here, with its place in the file.
#include <fmt/core.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <initializer_list>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "network.hpp"
#include "penstock/engine.hpp"
#include "penstock/sim/model.hpp"
#include "units.hpp"
#include "yaml_util.hpp"

namespace penstock::sim {

namespace {

using detail::ElementSpec;
using detail::kReference;
using detail::kUnjoined;
using detail::NetworkSpec;
using detail::NodeSpec;
using detail::YamlFile;

const std::vector<std::string> kFluidProperties{"density", "viscosity_kin",   "bulk",
                                                "alpha",   "vapour_pressure", "atmospheric_pressure"};

// Each fluid property's unit, and what its value must be ("" for any).
struct FluidProperty {
  const char* unit;
  const char* must;
};
const std::map<std::string, FluidProperty> kFluidUnits{{"density", {"kg/m3", "positive"}},
                                                       {"viscosity_kin", {"m2/s", "non-negative"}},
                                                       {"bulk", {"Pa", "positive"}},
                                                       {"alpha", {"1", ""}},
                                                       {"vapour_pressure", {"Pa", "non-negative"}},
                                                       {"atmospheric_pressure", {"Pa", "positive"}}};

// The unit of an absolute tolerance, by the kind of variable it is for.
const std::map<std::string, std::string> kToleranceUnits{
    {"absolute", "1"}, {"pressure", "Pa"}, {"flow", "m3/s"}, {"speed", "rad/s"}, {"torque", "N m"}, {"level", "m"},
    {"volume", "m3"},  {"power", "W"},     {"logical", "1"}, {"ratio", "1"},     {"signal", ""}};

// The unit of a node's across variable.
std::string across_unit(Domain d) { return d == Domain::hydraulic ? "Pa" : "rad/s"; }

// The unit a start value of a variable of the kind is written in; "" where the kind has none.
std::string kind_unit(const std::string& kind) {
  const auto it = kToleranceUnits.find(kind);
  return it == kToleranceUnits.end() || kind == "ratio" || kind == "logical" ? "" : it->second;
}

// The bounds of the run's settings: a relative tolerance outside them is meaningless (below, under
// the rounding of the arithmetic; above, no accuracy at all), and a step limit shorter than this
// part of the run's span would take more steps than a run can make.
constexpr double kRelativeLow = 1e-12;
constexpr double kRelativeHigh = 1e-2;
constexpr double kShortestMaxStep = 1e-6;  // of the span: a million steps
constexpr double kShortestOutput = 1e-9;   // of the span: a billion rows

// The gravitational acceleration that turns a chain's pressures into heads (line sections carry none).
constexpr double kGravity = 9.81;

bool is_identifier(const std::string& s) {
  if (s.empty() || !(std::isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_')) return false;
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

std::string location(const SourceMark& m) {
  if (m.line <= 0) return m.file;  // a value a script set
  return m.file + ":" + std::to_string(m.line) + ":" + std::to_string(m.column);
}

// One entry of the components section; a chain stands for `count` elements.
struct Entry {
  std::string name;
  std::string type;
  const Description* description = nullptr;
  YAML::Node node;
  size_t first = 0;  // index of its first element
  size_t count = 1;
  bool chain = false;
};

class Loader {
 public:
  Loader(const std::filesystem::path& file, const Catalogue& catalogue, CheckReport* report)
      : f_(file.string()), file_(file), catalogue_(&catalogue), report_(report) {}

  // The file's tree, or the text's when given, with the changes applied.
  Model load(const std::string* text = nullptr, const std::vector<Override>& overrides = {});
  void read(const YAML::Node& root, Model& model, std::vector<SourceMark>& record);

 private:
  void apply(YAML::Node& root, const Override& change);
  void read_fluid(const YAML::Node& node);
  void read_components(const YAML::Node& node);
  void read_entry(const std::string& name, const YAML::Node& name_node, const YAML::Node& body);
  void check_entry_name(const std::string& name, const YAML::Node& name_node);
  std::shared_ptr<const engine::Plugin> find_type(Entry& entry, const YAML::Node& type);
  void read_count(Entry& entry, const YAML::Node& node);
  void read_entry_start(const Entry& e, const YAML::Node& start);
  detail::WavePipeData wave_pipe(const Entry& entry, const engine::ParameterTable& table, const SourceMark& mark);
  void plan_wave_grid(Model& model, const YAML::Node& run);
  void read_entry_signals(const Entry& e, const YAML::Node& signals);
  engine::ParameterTable parameters(const Entry& entry, const YAML::Node& given);
  void check_parameter(const Entry& entry, const Description::Parameter& info, const engine::ParameterTable& table,
                       const YAML::Node& given);
  void read_connections(const YAML::Node& node);
  void read_connection(const YAML::Node& item);
  struct Joined {
    bool to_reference = false;
    Domain domain = Domain::hydraulic;
    std::string first_port;                               // "element.port" of the first port listed
    std::vector<std::pair<size_t, std::string>> members;  // element, port
  };
  Joined joined_ports(const YAML::Node& ports);
  void finish_wiring();
  void check_reference();
  std::vector<std::string> every_section(const YAML::Node& node, const std::string& text);
  ChainProfile chain_profile(const Entry& entry, const YAML::Node& where);
  void read_signals(const YAML::Node& node);
  void read_start(const YAML::Node& node);
  RunSettings read_run(const YAML::Node& node, std::map<std::string, double>& absolute_by_kind);
  void read_tolerances(const YAML::Node& tol, RunSettings& run, std::map<std::string, double>& absolute_by_kind);
  RunSettings::Start read_start_kind(const YAML::Node& s);
  RunSettings::Linear read_linear_solver(const YAML::Node& s);
  void check_signals();
  void signals_at_start(double t);

  // A port reference "name.port" or "name[k].port": the element index and port name.
  std::pair<size_t, std::string> port(const YAML::Node& node) { return port(node, f_.text(node, "a port")); }
  std::pair<size_t, std::string> port(const YAML::Node& node, const std::string& text);
  struct Reference {
    std::string name;    // component or chain
    std::string member;  // port or variable
    size_t section;      // 0: no section given
  };
  Reference split_reference(const YAML::Node& node, const std::string& text, const char* hint);
  // "name.variable" or "name[k].variable": the elements it stands for and the variable.
  std::pair<std::vector<size_t>, std::string> element_variable(const YAML::Node& node, const std::string& text);
  const Entry& entry_named(const YAML::Node& node, const std::string& name);
  std::vector<std::string> entry_names() const;
  void join(size_t element, const std::string& port, int node, const YAML::Node& where);
  int new_node(const std::string& name, Domain domain, bool named);
  void warn(const SourceMark& where, const std::string& message) {
    if (report_ != nullptr) report_->warnings.push_back(location(where) + ": warning: " + message);
  }

  YamlFile f_;
  std::filesystem::path file_;
  const Catalogue* catalogue_;
  CheckReport* report_;
  std::map<std::string, double> fluid_;
  std::map<std::string, SourceMark> fluid_marks_;  // where each fluid property is written
  std::vector<Entry> entries_;
  std::unordered_map<std::string, size_t> entry_index_;  // name -> its place in entries_
  NetworkSpec spec_;
  std::map<std::pair<size_t, std::string>, int> joined_;  // port -> the line it was connected at
  std::map<std::string, int> node_names_;
  std::map<std::string, double> node_start_;
  // Per recorded name: where the file writes it, and as what ("pipe[*].C.p" for each of its sections).
  std::vector<std::pair<SourceMark, std::string>> record_marks_;
};

Model Loader::load(const std::string* text, const std::vector<Override>& overrides) {
  Model model;
  model.file = f_.name();
  std::vector<SourceMark> record;
  {
    YAML::Node root = text != nullptr ? f_.parse(*text) : f_.load();
    for (const Override& change : overrides) apply(root, change);
    read(root, model, record);
  }
  // The file's tree is done with: let it go before the model is built.
  for (Entry& e : entries_) e.node.reset();
  model.system = detail::assemble(std::move(spec_), report_);
  const std::vector<std::string>& names = model.system->variable_names();
  // Looked up in a set: a chain's every section may be recorded.
  const std::unordered_set<std::string_view> known(names.begin(), names.end());
  for (size_t i = 0; i < record.size(); ++i) {
    const std::string& r = model.run.record[i];
    if (known.count(r) == 0 && !model.system->find_output(r)) {
      const std::string& written = record_marks_[i].second;
      f_.fail(record[i], fmt::format("{} is not a variable of the model{}",
                                     written == r ? fmt::format("'{}'", r)
                                                  : fmt::format("'{}' stands for '{}', which", written, r),
                                     detail::did_you_mean(r, names)));
    }
  }
  if (report_ != nullptr) report_->notes = model.notes;
  return model;
}

// Everything the file says, into the network's spec and the model's run; where each recorded name
// stands in the file, for its check once the model is built.
void Loader::read(const YAML::Node& root, Model& model, std::vector<SourceMark>& record) {
  if (!root.IsMap()) f_.fail(root, "a model file is a map with components, connections, signals, start and run");
  f_.only_keys(root, {"fluid", "plugins", "components", "connections", "signals", "start", "run"}, "a model file");
  spec_.file = f_.name();

  // The plug-in folders the model needs. Loading a plug-in runs its code: only the user allows a
  // folder (the catalogue's), and a model file names no other.
  if (const YAML::Node dirs = root["plugins"]) {
    f_.expect_sequence(dirs, "plugins");
    for (const auto& d : dirs) {
      std::filesystem::path p = f_.text(d, "a plug-in folder");
      if (p.is_relative()) p = (file_.parent_path() / p).lexically_normal();
      std::error_code ec;
      if (!std::filesystem::is_directory(p, ec)) f_.fail(d, "no such folder: " + p.string());
      if (!catalogue_->allows(p)) {
        f_.fail(d, "the plug-in folder " + p.string() +
                       " is not allowed: a model names only folders given with --plugins or in PENSTOCK_PLUGIN_PATH");
      }
    }
  }
  if (root["fluid"]) read_fluid(root["fluid"]);
  if (!root["components"]) f_.fail(SourceMark{f_.name(), 1, 1}, "the model has no 'components' section");
  read_components(root["components"]);
  if (root["connections"]) read_connections(root["connections"]);
  finish_wiring();
  if (root["signals"]) read_signals(root["signals"]);
  check_signals();
  if (root["start"]) read_start(root["start"]);

  if (root["run"]) model.run = read_run(root["run"], spec_.absolute_by_kind);
  spec_.start_time = model.run.start_time;
  signals_at_start(model.run.start_time);
  plan_wave_grid(model, root["run"] ? root["run"] : YAML::Node{});
  if (fluid_.count("density") != 0) model.density = fluid_["density"];
  if (fluid_.count("vapour_pressure") != 0) {
    spec_.every_envelope = true;
    const auto atmosphere = fluid_.find("atmospheric_pressure");
    model.vapour_pressure = fluid_["vapour_pressure"] - (atmosphere != fluid_.end() ? atmosphere->second : 101325.0);
  }
  for (const auto& r : record_marks_) record.push_back(r.first);
  check_reference();
  for (size_t i = 0; i < model.run.envelope.size(); ++i) {
    const auto it = entry_index_.find(model.run.envelope[i]);
    if (it != entry_index_.end() && entries_[it->second].chain)
      model.profiles.push_back(chain_profile(entries_[it->second], root["run"]["envelope"][i]));
  }
}

namespace {

// The map under the key, made when the key is not there or empty; what is there when it is
// something else, for the caller (or the reader of the file) to refuse.
YAML::Node map_under(YAML::Node& parent, const std::string& key) {
  YAML::Node child;
  child.reset(parent[key]);
  if (!child.IsDefined() || child.IsNull()) {
    parent[key] = YAML::Node(YAML::NodeType::Map);
    child.reset(parent[key]);
  }
  return child;
}

}  // namespace

// A change a script makes, put into the file's tree where the file would say it: its nodes carry
// the change as their place, so that its faults are told as the file's are.
void Loader::apply(YAML::Node& root, const Override& change) {
  constexpr size_t kShown = 60;
  const std::string shown = change.value.size() > kShown ? change.value.substr(0, kShown - 3) + "..." : change.value;
  const bool signal = change.kind == Override::Kind::signal;
  const std::string origin = fmt::format("{} ({} {} = {})", f_.name(), signal ? "signal" : "set", change.name, shown);
  auto fail = [&](const std::string& message) { throw ModelError(SourceMark{origin, 0, 0}, message); };
  YAML::Node value;
  try {
    value = YAML::Load(change.value);
  } catch (const YAML::ParserException& e) {
    fail("the value is not YAML: " + e.msg);
  }
  if (!value.IsDefined() || value.IsNull()) fail("no value given");
  if (!root.IsMap()) return;  // read() tells what the file is

  // name.rest, name perhaps with a section: name[k].rest
  const size_t dot = change.name.find('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == change.name.size())
    fail(
        fmt::format("'{}' names nothing to change: write component.parameter, component.input, fluid.property or "
                    "run.setting",
                    change.name));
  const std::string head = change.name.substr(0, dot), rest = change.name.substr(dot + 1);
  const size_t bracket = head.find('[');
  const std::string name = head.substr(0, bracket);

  // The component of that name in the file, in either form of components:.
  YAML::Node body;
  const YAML::Node& file = root;
  if (const YAML::Node components = file["components"]; components.IsMap()) {
    for (const auto& kv : components)
      if (kv.first.IsScalar() && kv.first.Scalar() == name) body.reset(kv.second);
  } else if (components.IsSequence()) {
    for (const auto& item : components)
      if (item.IsMap() && item["name"] && item["name"].IsScalar() && item["name"].Scalar() == name) body.reset(item);
  }
  // Put the value at parent[key], the key and the value marked as the change.
  auto put = [&](YAML::Node parent, const std::string& key) {
    if (!parent.IsMap()) fail("the model file's section for it is not a map of 'key: value' entries");
    parent[key] = value;
    f_.set_origin(value, origin);
    for (const auto& kv : parent)
      if (kv.first.IsScalar() && kv.first.Scalar() == key) f_.set_origin(kv.first, origin);
  };

  if (name == "fluid" || name == "run") {
    if (body.IsDefined() && body.IsMap())
      fail(fmt::format("'{}' is both the model's {} section and a component: rename the component", name, name));
    if (signal) fail(fmt::format("'{}' is the model's {} section, which no signal drives", name, name));
    if (bracket != std::string::npos) fail(fmt::format("the model's {} section has no sections", name));
    // run: tolerances.pressure is a key of a map within run:
    YAML::Node parent = map_under(root, name);
    std::string key = rest;
    for (size_t at = key.find('.'); at != std::string::npos && name == "run"; at = key.find('.')) {
      if (!parent.IsMap()) break;
      parent.reset(map_under(parent, key.substr(0, at)));  // reset: operator= writes through
      key = key.substr(at + 1);
    }
    put(parent, key);
    return;
  }
  if (!body.IsDefined() || !body.IsMap()) {
    std::vector<std::string> names{"fluid", "run"};
    if (const YAML::Node components = file["components"]; components.IsMap()) {
      for (const auto& kv : components)
        if (kv.first.IsScalar()) names.push_back(kv.first.Scalar());
    } else if (components.IsSequence()) {
      for (const auto& item : components)
        if (item.IsMap() && item["name"] && item["name"].IsScalar()) names.push_back(item["name"].Scalar());
    }
    fail(fmt::format("no component named '{}'{}", name, detail::did_you_mean(name, names)));
  }
  // An input the component is driven at takes a signal; anything else is a parameter.
  const Description* d = body["type"] && body["type"].IsScalar() ? catalogue_->find(body["type"].Scalar()) : nullptr;
  const bool input = d != nullptr && std::find(d->signals.begin(), d->signals.end(), rest) != d->signals.end();
  if (signal || input) {
    put(map_under(root, "signals"), change.name);
    return;
  }
  if (bracket != std::string::npos)
    fail(fmt::format("the sections of a chain share their parameters: set {}.{}", name, rest));
  put(map_under(body, "parameters"), rest);
}

void Loader::read_fluid(const YAML::Node& node) {
  f_.expect_map(node, "fluid");
  f_.only_keys(node, kFluidProperties, "fluid");
  for (const auto& kv : node) {
    const std::string name = kv.first.Scalar();
    const FluidProperty& property = kFluidUnits.at(name);
    const double v = f_.number(kv.second, "fluid " + name, property.unit);
    const std::string must = property.must;
    if ((must == "positive" && !(v > 0)) || (must == "non-negative" && !(v >= 0)))
      f_.fail(kv.second, fmt::format("the fluid's {} must be {}, not {:g} {}", name, must, v, property.unit));
    fluid_[name] = v;
    fluid_marks_[name] = f_.mark(kv.second);
  }
}

void Loader::read_components(const YAML::Node& node) {
  if (node.IsSequence()) {
    for (const auto& item : node) {
      f_.expect_map(item, "a component");
      if (!item["name"]) f_.fail(item, "a component needs a name");
      read_entry(f_.text(item["name"], "a component name"), item["name"], item);
    }
  } else if (node.IsMap()) {
    for (const auto& kv : node) {
      f_.expect_map(kv.second, "component '" + kv.first.Scalar() + "'");
      read_entry(kv.first.Scalar(), kv.first, kv.second);
    }
  } else {
    f_.fail(node, "components is a list of components, or a map of name: {type: ..., parameters: ...}");
  }
  if (entries_.empty()) f_.fail(node, "the model has no components");
}

// One component, or a chain of `count` sections: its name, its type and plug-in, its sections
// with their parameter block, and its own start values and signals.
void Loader::read_entry(const std::string& name, const YAML::Node& name_node, const YAML::Node& body) {
  f_.only_keys(body, {"name", "type", "count", "parameters", "start", "signals"}, "a component");
  check_entry_name(name, name_node);
  Entry entry;
  entry.name = name;
  entry.node = body;
  if (!body["type"]) f_.fail(name_node, "component '" + name + "' needs a type");
  entry.type = f_.text(body["type"], "a component type");
  const std::shared_ptr<const engine::Plugin> plugin = find_type(entry, body["type"]);
  if (body["count"]) read_count(entry, body["count"]);
  const auto table = std::make_shared<const engine::ParameterTable>(parameters(entry, body["parameters"]));
  const auto mark = std::make_shared<const SourceMark>(f_.mark(name_node));
  std::shared_ptr<const detail::WavePipeData> pipe;
  if (!entry.description->host.empty())
    pipe = std::make_shared<const detail::WavePipeData>(wave_pipe(entry, *table, *mark));
  entry.first = spec_.elements.size();
  auto& elements = spec_.elements;
  if (elements.capacity() < elements.size() + entry.count)
    elements.reserve(std::max(elements.size() + entry.count, elements.capacity() + elements.capacity() / 2));
  for (size_t k = 0; k < entry.count; ++k) {
    ElementSpec& es = spec_.elements.emplace_back();
    es.name = entry.chain ? name + "[" + std::to_string(k + 1) + "]" : name;
    es.description = entry.description;
    es.port_nodes.assign(entry.description->ports.size(), kUnjoined);
    es.plugin = plugin;
    es.parameters = table;
    es.mark = mark;
    es.wave_pipe = pipe;
  }
  entry_index_.emplace(entry.name, entries_.size());
  entries_.push_back(entry);
  if (const YAML::Node start = body["start"]) read_entry_start(entries_.back(), start);
  if (const YAML::Node signals = body["signals"]) read_entry_signals(entries_.back(), signals);
}

void Loader::check_entry_name(const std::string& name, const YAML::Node& name_node) {
  if (!is_identifier(name) || name == "ref") {
    f_.fail(name_node, "'" + name + "' cannot name a component: use letters, digits and '_', not 'ref'");
  }
  if (entry_index_.count(name) != 0) f_.fail(name_node, "a second component named '" + name + "'");
}

// The entry's description in the catalogue and its plug-in, loaded and checked against it.
std::shared_ptr<const engine::Plugin> Loader::find_type(Entry& entry, const YAML::Node& type) {
  entry.description = catalogue_->find(entry.type);
  if (entry.description == nullptr) {
    std::string message =
        "unknown component type '" + entry.type + "'" + detail::did_you_mean(entry.type, catalogue_->names());
    if (catalogue_->names().empty()) message += " (the catalogue is empty: no plug-ins were found)";
    f_.fail(type, message);
  }
  if (!entry.description->host.empty()) return nullptr;  // solved by the host itself
  try {
    return catalogue_->plugin(entry.type);
  } catch (const engine::PluginError& e) {
    f_.fail(type, e.what());
  }
}

// count: n makes the entry a chain of n sections, each one's B joined to the next one's A.
void Loader::read_count(Entry& entry, const YAML::Node& node) {
  if (!entry.description->host.empty())
    f_.fail(node, entry.type + " is not chained with count: it is cut into reaches along its length (reaches:)");
  const double count = f_.number(node, "count", "1");
  if (!(count >= 1) || count != static_cast<double>(static_cast<size_t>(count)) || count > 1e6) {
    f_.fail(node, "count is a whole number of sections, at least 1");
  }
  entry.count = static_cast<size_t>(count);
  entry.chain = true;
  if (entry.description->port("A") == nullptr || entry.description->port("B") == nullptr) {
    f_.fail(node, entry.type + " has no ports A and B to chain");
  }
}

// A WavePipe's data from its parameter block: Length, Din, a and lambda it must have.
detail::WavePipeData Loader::wave_pipe(const Entry& entry, const engine::ParameterTable& table,
                                       const SourceMark& mark) {
  const YAML::Node& body = entry.node;
  auto value = [&](const char* name) {
    const auto it = table.find(name);
    if (it == table.end())
      f_.fail(f_.mark(body["type"]), entry.type + " '" + entry.name + "' needs its parameter '" + name + "'");
    return it->second;
  };
  detail::WavePipeData p;
  p.name = entry.name;
  p.mark = mark;
  p.length = value("Length");
  p.diameter = value("Din");
  p.wave_speed = value("a");
  p.lambda = value("lambda");
  p.z_a = value("zA");
  p.z_b = value("zB");
  p.gravity = value("gravity");
  p.density = value("density");
  if (const auto it = table.find("reaches"); it != table.end()) {
    if (!(it->second >= 1) || it->second != std::floor(it->second) || it->second > 1e7)
      f_.fail(body["parameters"]["reaches"], "reaches is a whole number, at least 1");
    p.reaches = static_cast<int>(it->second);
  }
  return p;
}

// One time step for all the WavePipes, each cut into whole reaches; what it is, which pipe set it
// and how far each wave speed moved, for check and the run's summary.
void Loader::plan_wave_grid(Model& model, const YAML::Node& run) {
  std::vector<detail::WavePipeData> pipes;
  for (const ElementSpec& es : spec_.elements)
    if (es.wave_pipe) pipes.push_back(*es.wave_pipe);
  for (size_t i = 0; i < model.run.envelope.size(); ++i) {
    const std::string& name = model.run.envelope[i];
    const auto chain = entry_index_.find(name);
    if (chain != entry_index_.end() && entries_[chain->second].chain) continue;  // its profile, when read
    if (std::none_of(pipes.begin(), pipes.end(), [&](const auto& p) { return p.name == name; })) {
      std::vector<std::string> names;
      names.reserve(pipes.size() + entries_.size());
      for (const auto& p : pipes) names.push_back(p.name);
      for (const Entry& e : entries_)
        if (e.chain) names.push_back(e.name);
      f_.fail(run["envelope"][i], "'" + name + "' is neither a WavePipe nor a chain of sections (count:) of the model" +
                                      detail::did_you_mean(name, names));
    }
  }
  spec_.envelope = model.run.envelope;
  if (pipes.empty()) return;
  spec_.wave_grid = detail::plan_wave_grid(pipes, model.run.wave_step);
  const detail::WaveGrid& grid = spec_.wave_grid;
  model.notes.push_back(
      grid.set_by.empty() ? fmt::format("wave step {:.6g} s, as the run sets it", grid.step)
                          : fmt::format("wave step {:.6g} s, set by the travel time of '{}'", grid.step, grid.set_by));
  for (size_t j = 0; j < pipes.size(); ++j) {
    const detail::WavePipeData& p = pipes[j];
    const detail::WaveGrid::Pipe& g = grid.pipes[j];
    std::string line = fmt::format("'{}': {} reaches of {:.6g} m, a = {:.6g} m/s", p.name, g.reaches,
                                   p.length / g.reaches, p.wave_speed);
    if (g.wave_speed != p.wave_speed)
      line += fmt::format(" moved to {:.6g} m/s ({:+.3f} %)", g.wave_speed, 100 * g.change);
    model.notes.push_back(line);
    if (std::abs(g.change) > detail::kWaveSpeedWarning)
      warn(p.mark, fmt::format("the wave speed of WavePipe '{}' is moved from {:.6g} to {:.6g} m/s ({:+.2f} %) to fit "
                               "{} whole reaches into the wave step {:.6g} s",
                               p.name, p.wave_speed, g.wave_speed, 100 * g.change, g.reaches, grid.step));
  }
}

// start: under a component, its own variables' start values (every section's, or one's).
void Loader::read_entry_start(const Entry& e, const YAML::Node& start) {
  f_.expect_map(start, "start");
  for (const auto& kv : start) {
    const auto [elements, variable] = element_variable(kv.first, e.name + "." + kv.first.Scalar());
    const double v = f_.number(kv.second, "the start value of " + e.name + "." + variable,
                               kind_unit(e.description->kind_of(variable)));
    for (size_t i : elements) spec_.elements[i].start[variable] = v;
  }
}

// signals: under a component, the signals driving its inputs, shared by all its sections.
void Loader::read_entry_signals(const Entry& e, const YAML::Node& signals) {
  f_.expect_map(signals, "signals");
  for (const auto& kv : signals) {
    const std::string input = kv.first.Scalar();
    if (std::find(e.description->signals.begin(), e.description->signals.end(), input) ==
        e.description->signals.end()) {
      f_.fail(kv.first, "'" + input + "' is not a signal input of " + e.type +
                            detail::did_you_mean(input, e.description->signals));
    }
    std::shared_ptr<detail::Signal> s = detail::read_signal(f_, kv.second, e.name + "." + input);
    for (size_t k = 0; k < e.count; ++k) spec_.elements[e.first + k].signals[input] = s;
  }
}

engine::ParameterTable Loader::parameters(const Entry& entry, const YAML::Node& given) {
  const Description& d = *entry.description;
  const std::vector<std::string>& names = catalogue_->parameter_names(entry.type);
  engine::ParameterTable table;
  for (const std::string& p : names) {
    const size_t dot = p.find('.');
    const std::string property = dot == std::string::npos ? "" : p.substr(dot + 1);
    if (!property.empty() && fluid_.count(property) != 0) table[p] = fluid_[property];
    if (const Description::Parameter* info = d.parameter(p)) {
      if (!info->fluid.empty() && fluid_.count(info->fluid) != 0) table[p] = fluid_[info->fluid];
      if (info->default_value && table.count(p) == 0) table[p] = *info->default_value;
    }
  }
  std::set<std::string> set_here;
  if (given) {
    f_.expect_map(given, "parameters");
    for (const auto& kv : given) {
      const std::string p = kv.first.Scalar();
      if (std::find(names.begin(), names.end(), p) == names.end()) {
        f_.fail(kv.first, "'" + p + "' is not a parameter of " + entry.type + detail::did_you_mean(p, names));
      }
      const std::string what = "parameter '" + p + "'";
      const double value = f_.number(kv.second, what);
      const Description::Parameter* info = d.parameter(p);
      if (info != nullptr && !info->unit.empty()) f_.check_unit(kv.second, what + " of " + entry.type, info->unit);
      table[p] = value;
      set_here.insert(p);
    }
  }
  for (const Description::Parameter& info : d.parameters) check_parameter(entry, info, table, given);
  return table;
}

// A parameter the description gives a domain has its value there; one missing is a warning (the
// plug-in reads 0), or an error where 0 is outside its domain.
void Loader::check_parameter(const Entry& entry, const Description::Parameter& info,
                             const engine::ParameterTable& table, const YAML::Node& given) {
  const std::string who = fmt::format("'{}' ({})", entry.name, entry.type);
  const bool from_fluid = info.name.find('.') != std::string::npos || !info.fluid.empty();
  const auto it = table.find(info.name);
  if (it == table.end()) {
    if (!entry.description->host.empty()) return;  // the host knows what it needs (wave_pipe)
    const std::string doc = info.doc.empty() ? "" : " (" + info.doc + ")";
    if (info.domain && !info.domain->contains(0.0)) {
      f_.fail(entry.node["type"],
              fmt::format("{} needs parameter '{}'{}, which must be {}: give it under parameters{} "
                          "(the plug-in would read 0)",
                          who, info.name, doc, info.domain->text(), from_fluid ? " or in the model's fluid" : ""));
    }
    if (info.required) {
      const std::string unit = info.unit.empty() || info.unit == "1" ? "" : " in " + info.unit;
      f_.fail(entry.node["type"],
              fmt::format("{} needs parameter '{}'{}: it cannot work without it; give it under parameters{}{} "
                          "(the plug-in would read 0)",
                          who, info.name, doc, unit, from_fluid ? " or in the model's fluid" : ""));
    }
    warn(f_.mark(entry.node["type"]), "component '" + entry.name + "' (" + entry.type + ") does not give parameter '" +
                                          info.name + "'" + (from_fluid ? " (nor the model's fluid)" : "") +
                                          "; the plug-in reads 0");
    return;
  }
  if (!info.domain || info.domain->contains(it->second)) return;
  // Where the value was written: in the parameters, else in the fluid, whose own checks may be looser.
  const std::string property = info.fluid.empty() ? info.name.substr(info.name.find('.') + 1) : info.fluid;
  SourceMark where;
  if (given && given[info.name]) {
    where = f_.mark(given[info.name]);
  } else if (const auto mark = fluid_marks_.find(property); from_fluid && mark != fluid_marks_.end()) {
    where = mark->second;
  } else {
    where = f_.mark(entry.node["type"]);
  }
  const std::string doc = info.doc.empty() ? "" : ", the " + info.doc + ",";
  const std::string unit = info.unit.empty() || info.unit == "1" ? "" : " " + info.unit;
  f_.fail(where, fmt::format("{}: parameter '{}'{} must be {}, not {:g}{}", who, info.name, doc, info.domain->text(),
                             it->second, unit));
}

std::vector<std::string> Loader::entry_names() const {
  std::vector<std::string> out;
  for (const Entry& e : entries_) out.push_back(e.name);
  return out;
}

const Entry& Loader::entry_named(const YAML::Node& node, const std::string& name) {
  if (const auto it = entry_index_.find(name); it != entry_index_.end()) return entries_[it->second];
  f_.fail(node, "no component named '" + name + "'" + detail::did_you_mean(name, entry_names()));
}

// "pipe[3].B" -> {"pipe", "B", 3}: the section is 0 without brackets and SIZE_MAX when the
// brackets hold no section number.
Loader::Reference Loader::split_reference(const YAML::Node& node, const std::string& text, const char* hint) {
  const size_t dot = text.rfind('.');
  if (dot == std::string::npos) f_.fail(node, "'" + text + "' " + hint);
  Reference r{text.substr(0, dot), text.substr(dot + 1), 0};
  if (const size_t bracket = r.name.find('['); bracket != std::string::npos && r.name.back() == ']') {
    const std::string k = r.name.substr(bracket + 1, r.name.size() - bracket - 2);
    r.name = r.name.substr(0, bracket);
    const bool number = !k.empty() && k.size() < 10 && std::all_of(k.begin(), k.end(), [](char c) {
      return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
    r.section = number ? std::stoul(k) : SIZE_MAX;
    if (number && r.section == 0)  // 0 stands for no section given
      f_.fail(node, fmt::format("sections are counted from 1: write {}[1].{}", r.name, r.member));
  }
  return r;
}

std::pair<size_t, std::string> Loader::port(const YAML::Node& node, const std::string& text) {
  const auto [name, port_name, section] =
      split_reference(node, text, "is not a port: write component.port, e.g. pipe.A, or ref");
  const Entry& e = entry_named(node, name);
  std::vector<std::string> ports;
  for (const auto& p : e.description->ports) ports.push_back(p.name);
  if (e.description->port(port_name) == nullptr) {
    f_.fail(
        node, "'" + port_name + "' is not a port of " + name + " (" + e.type + ")" +
                  detail::did_you_mean(port_name, ports) + "; its ports are " + [&] {
                    std::string s;
                    for (const auto& p : ports) s += (s.empty() ? "" : ", ") + p;
                    return s;
                  }());
  }
  if (section != 0) {
    if (!e.chain || section > e.count) {
      f_.fail(node, e.chain ? name + " has sections 1 to " + std::to_string(e.count)
                            : name + " is not a chain; write " + name + "." + port_name);
    }
    return {e.first + section - 1, port_name};
  }
  if (!e.chain) return {e.first, port_name};
  if (port_name == "A") return {e.first, port_name};
  if (port_name == "B") return {e.first + e.count - 1, port_name};
  f_.fail(node, name + " is a chain of " + std::to_string(e.count) + " sections; name one, e.g. " + name + "[1]." +
                    port_name);
}

std::pair<std::vector<size_t>, std::string> Loader::element_variable(const YAML::Node& node, const std::string& text) {
  const auto [name, variable, section] = split_reference(node, text, "is not a variable: write component.variable");
  const Entry& e = entry_named(node, name);
  std::vector<std::string> own;
  if (!e.description->host.empty()) {
    for (const auto& [v, kind] : e.description->kinds) own.push_back(v);
  } else {
    const std::vector<std::string>& inputs = catalogue_->plugin(e.type)->group().inputs;
    for (size_t i = 1; i < inputs.size(); ++i) {
      if (inputs[i].find('.') == std::string::npos) own.push_back(inputs[i]);
    }
  }
  if (std::find(own.begin(), own.end(), variable) == own.end()) {
    f_.fail(node, "'" + variable + "' is not a variable of " + name + " (" + e.type + ")" +
                      detail::did_you_mean(variable, own));
  }
  if (section != 0 && (!e.chain || section > e.count)) {
    f_.fail(node, e.chain ? name + " has sections 1 to " + std::to_string(e.count) : name + " is not a chain");
  }
  std::vector<size_t> elements;
  if (section != 0) {
    elements.push_back(e.first + section - 1);
  } else {
    for (size_t k = 0; k < e.count; ++k) elements.push_back(e.first + k);
  }
  return {elements, variable};
}

// A node; one the model's connections make is known by its name (a chain's joints and the nodes of
// unconnected ports are reached through their ports).
int Loader::new_node(const std::string& name, Domain domain, bool named) {
  spec_.nodes.push_back(NodeSpec{name, domain, "", std::nullopt});
  const int n = static_cast<int>(spec_.nodes.size()) - 1;
  if (named) node_names_[name] = n;
  return n;
}

// A port the model's connections join to a node: once only.
void Loader::join(size_t element, const std::string& port_name, int node, const YAML::Node& where) {
  ElementSpec& es = spec_.elements[element];
  if (const auto it = joined_.find({element, port_name}); it != joined_.end()) {
    f_.fail(where, "port '" + es.name + "." + port_name + "' is already connected at line " +
                       std::to_string(it->second) + "; list all the ports of one node in one connection");
  }
  joined_[{element, port_name}] = f_.mark(where).line;
  es.join(port_name, node);
}

void Loader::read_connections(const YAML::Node& node) {
  f_.expect_sequence(node, "connections");
  for (const auto& item : node) read_connection(item);
}

// One node: a list of ports, or {node: name, ports: [...], start: value}; with 'ref' among the
// ports, the reference.
void Loader::read_connection(const YAML::Node& item) {
  YAML::Node ports;  // (YAML::Node's operator= writes through to the node it refers to: use reset)
  ports.reset(item);
  std::string name;
  std::optional<double> start;
  if (item.IsMap()) {
    f_.only_keys(item, {"node", "ports", "start"}, "a connection");
    if (!item["ports"]) f_.fail(item, "a connection needs its list of ports");
    ports.reset(item["ports"]);
    if (item["node"]) {
      name = f_.text(item["node"], "a node name");
      if (!is_identifier(name) || name == "ref") f_.fail(item["node"], "'" + name + "' cannot name a node");
      if (node_names_.count(name) != 0) f_.fail(item["node"], "a second node named '" + name + "'");
    }
  }
  f_.expect_sequence(ports, "a connection");
  if (ports.size() < 2 && !(ports.size() == 1 && item.IsMap())) {
    f_.fail(item, "a connection joins at least two ports (or one port and ref)");
  }
  const Joined joined = joined_ports(ports);
  if (joined.members.empty()) f_.fail(item, "a connection of 'ref' alone joins nothing");
  if (item.IsMap() && item["start"]) {
    if (joined.to_reference) f_.fail(item["start"], "the reference has no start value: it is 0");
    start = f_.number(item["start"], "a node's start value", across_unit(joined.domain));
  }
  const int n =
      joined.to_reference ? kReference : new_node(name.empty() ? joined.first_port : name, joined.domain, true);
  if (n != kReference) spec_.nodes[static_cast<size_t>(n)].start = start;
  size_t k = 0;
  for (const auto& p : ports) {
    if (p.Scalar() == "ref") continue;
    join(joined.members[k].first, joined.members[k].second, n, p);
    ++k;
  }
}

// The ports a connection lists, all of one domain, and whether 'ref' is among them.
Loader::Joined Loader::joined_ports(const YAML::Node& ports) {
  Joined joined;
  bool typed = false;
  for (const auto& p : ports) {
    if (f_.text(p, "a port") == "ref") {
      joined.to_reference = true;
      continue;
    }
    const auto member = port(p);
    const Domain dm = spec_.elements[member.first].description->port(member.second)->domain;
    const std::string full = spec_.elements[member.first].name + "." + member.second;
    if (typed && joined.domain != dm) {
      f_.fail(p, "cannot join '" + full + "' (" + domain_name(dm) + ") to '" + joined.first_port + "' (" +
                     domain_name(joined.domain) + "): a node joins ports of one domain");
    }
    if (!typed) {
      typed = true;
      joined.domain = dm;
      joined.first_port = full;
    }
    joined.members.push_back(member);
  }
  return joined;
}

void Loader::finish_wiring() {
  // Chains: each section's B meets the next section's A, unless the model joined either already.
  for (const Entry& e : entries_) {
    for (size_t k = 0; k + 1 < e.count; ++k) {
      const size_t a = e.first + k, b = a + 1;
      const bool b_joined = joined_.count({a, "B"}) != 0, a_joined = joined_.count({b, "A"}) != 0;
      if (b_joined || a_joined) {
        f_.fail(e.node["count"], "the chain " + e.name + " joins " + spec_.elements[a].name + ".B to " +
                                     spec_.elements[b].name + ".A itself; connect other ports");
      }
      const int n = new_node(spec_.elements[a].name + ".B", e.description->port("B")->domain, false);
      spec_.elements[a].join("B", n);
      spec_.elements[b].join("A", n);
    }
  }
  // A port left unconnected is a node of its own, or the reference where the description says so.
  for (size_t i = 0; i < spec_.elements.size(); ++i) {
    ElementSpec& es = spec_.elements[i];
    for (const auto& p : es.description->ports) {
      if (es.joined(p.name)) continue;
      if (p.ground_if_unconnected) {
        es.join(p.name, kReference);
        continue;
      }
      const std::string full = es.name + "." + p.name;
      if (!p.own_node_if_unconnected) {
        warn(*es.mark,
             fmt::format("port '{}' of '{}' ({}) is left unconnected: it is a node of its own, and no {} "
                         "passes it; connect it (to ref for the reference)",
                         full, es.name, es.description->name, p.domain == Domain::hydraulic ? "flow" : "torque"));
      }
      const int n = new_node(full, p.domain, false);
      spec_.nodes[static_cast<size_t>(n)].unconnected = full;
      es.join(p.name, n);
    }
  }
}

// Every part of the network, nodes joined through the components' branches (a WavePipe carries its
// flow from A to B), needs a path to the reference: the across variables of a part without one are
// fixed only against each other, and a network of flows cannot settle them.
void Loader::check_reference() {
  const size_t reference = spec_.nodes.size();
  std::vector<size_t> parent(reference + 1);
  for (size_t i = 0; i < parent.size(); ++i) parent[i] = i;
  auto root = [&](size_t i) {
    while (parent[i] != i) i = parent[i] = parent[parent[i]];
    return i;
  };
  auto index = [&](int node) { return node == kReference ? reference : static_cast<size_t>(node); };
  auto node_of = [&](const ElementSpec& es, const std::string& port) {
    return port == "ref" ? reference : index(es.node_at(port));
  };
  for (const ElementSpec& es : spec_.elements) {
    const Description& d = *es.description;
    for (const auto& b : d.branches) parent[root(node_of(es, b.from))] = root(node_of(es, b.to));
    if (!d.host.empty() && d.port("A") != nullptr && d.port("B") != nullptr)
      parent[root(node_of(es, "A"))] = root(node_of(es, "B"));
  }
  // The components of each part without the reference, each named once (a chain by its name).
  std::map<size_t, std::vector<size_t>> floating;  // root -> entries
  for (const Entry& e : entries_) {
    for (size_t k = e.first; k < e.first + e.count; ++k) {
      const ElementSpec& es = spec_.elements[k];
      for (const int n : es.port_nodes) {
        const size_t r = root(index(n));
        if (r == root(reference)) continue;
        std::vector<size_t>& part = floating[r];
        const size_t entry = static_cast<size_t>(&e - entries_.data());
        if (std::find(part.begin(), part.end(), entry) == part.end()) part.push_back(entry);
      }
    }
  }
  for (const auto& [r, part] : floating) {
    std::string names;
    constexpr size_t kNamed = 8;
    for (size_t k = 0; k < part.size() && k < kNamed; ++k) names += (k ? ", " : "") + entries_[part[k]].name;
    if (part.size() > kNamed) names += fmt::format(" and {} more", part.size() - kNamed);
    const Entry& first = entries_[part.front()];
    warn(*spec_.elements[first.first].mark,
         fmt::format("{} {} a part of the network with no path to the reference: {} pressures (or speeds) are fixed "
                     "only against each other; join one of {} ports to ref, or connect the part to the rest",
                     part.size() == 1 ? "component" : "components", names + (part.size() == 1 ? " is" : " form"),
                     part.size() == 1 ? "its" : "their", part.size() == 1 ? "its" : "their"));
  }
}

// "pipe[*].C.p" stands for pipe[1].C.p ... pipe[n].C.p, every section of the chain in order; any
// other name stands for itself.
std::vector<std::string> Loader::every_section(const YAML::Node& node, const std::string& text) {
  const size_t star = text.find("[*]");
  if (star == std::string::npos) return {text};
  const std::string name = text.substr(0, star), rest = text.substr(star + 3);
  if (rest.size() < 2 || rest[0] != '.')
    f_.fail(node, "'" + text + "' is not a variable of every section: write chain[*].variable, e.g. pipe[*].C.p");
  std::vector<std::string> chains;
  for (const Entry& e : entries_)
    if (e.chain) chains.push_back(e.name);
  const auto it = entry_index_.find(name);
  if (it == entry_index_.end())
    f_.fail(node, "no chain of sections named '" + name + "'" + detail::did_you_mean(name, chains));
  const Entry& e = entries_[it->second];
  if (!e.chain)
    f_.fail(node, "'" + name + "' is not a chain of sections (count:): write " + name + rest +
                      detail::did_you_mean(name, chains));
  std::vector<std::string> names;
  names.reserve(e.count);
  for (size_t k = 1; k <= e.count; ++k) names.push_back(fmt::format("{}[{}]{}", name, k, rest));
  return names;
}

// The places along a chain whose pressures make its envelope: its end A, then each section's middle
// node where it has one (a port of its own besides A and B, such as a Pipe's C) and its end B, at
// their distances from A by the section length (dx, or Length).
ChainProfile Loader::chain_profile(const Entry& entry, const YAML::Node& where) {
  const engine::ParameterTable& table = *spec_.elements[entry.first].parameters;
  auto value = [&](std::initializer_list<const char*> names) -> std::optional<double> {
    for (const char* n : names)
      if (const auto it = table.find(n); it != table.end()) return it->second;
    return std::nullopt;
  };
  const std::optional<double> length = value({"dx", "Length"});
  const std::optional<double> density = value({"A.density", "density"});
  const Description& d = *entry.description;
  if (!length || !(*length > 0) || d.port("A")->domain != Domain::hydraulic)
    f_.fail(where, "'" + entry.name + "' (" + entry.type +
                       ") is not a chain of line sections with a length (dx or Length): it has no profile to keep");
  if (!density || !(*density > 0))
    f_.fail(where, "'" + entry.name + "' (" + entry.type + ") has no fluid density: give the model's fluid");
  ChainProfile profile;
  profile.chain = entry.name;
  profile.rho_g = *density * kGravity;
  const std::string middle = [&] {
    for (const auto& p : d.ports)
      if (p.own_node_if_unconnected && p.domain == Domain::hydraulic) return p.name;
    return std::string{};
  }();
  const std::string across = across_name(Domain::hydraulic);
  profile.nodes.push_back({fmt::format("{}[1].A.{}", entry.name, across), 0.0, 0.0});
  for (size_t k = 1; k <= entry.count; ++k) {
    const double x = static_cast<double>(k) * *length;
    if (!middle.empty())
      profile.nodes.push_back({fmt::format("{}[{}].{}.{}", entry.name, k, middle, across), x - *length / 2, 0.0});
    profile.nodes.push_back({fmt::format("{}[{}].B.{}", entry.name, k, across), x, 0.0});
  }
  return profile;
}

void Loader::read_signals(const YAML::Node& node) {
  f_.expect_map(node, "signals");
  for (const auto& kv : node) {
    const std::string text = kv.first.Scalar();
    const size_t dot = text.rfind('.');
    if (dot == std::string::npos)
      f_.fail(kv.first, "'" + text + "' is not an input: write component.input, e.g. valve.ksi");
    std::string name = text.substr(0, dot);
    if (const size_t bracket = name.find('['); bracket != std::string::npos) name = name.substr(0, bracket);
    const Entry& e = entry_named(kv.first, name);
    const std::string input = text.substr(dot + 1);
    const auto& signals = e.description->signals;
    if (std::find(signals.begin(), signals.end(), input) == signals.end()) {
      std::string list;
      for (const auto& s : signals) list += (list.empty() ? "" : ", ") + s;
      f_.fail(kv.first, fmt::format("'{}' of {} ({}) cannot be driven by a signal", input, name, e.type) +
                            detail::did_you_mean(input, signals) +
                            (list.empty() ? "; it has no signal inputs" : "; its signal inputs are " + list));
    }
    const auto [elements, variable] = element_variable(kv.first, text);
    std::shared_ptr<detail::Signal> s = detail::read_signal(f_, kv.second, text);
    for (size_t i : elements) spec_.elements[i].signals[variable] = s;
  }
}

void Loader::check_signals() {
  for (const ElementSpec& es : spec_.elements) {
    for (const std::string& s : es.description->signals) {
      if (es.signals.count(s) == 0) {
        throw ModelError(*es.mark, fmt::format("component '{}' ({}) needs a signal for '{}': add it under signals, "
                                               "e.g. '{}.{}: 1'",
                                               es.name, es.description->name, s, es.name, s));
      }
    }
  }
}

// Every signal finite where the run starts (an expression may be undefined there, or overflow).
void Loader::signals_at_start(double t) {
  std::set<detail::Signal*> seen;
  for (const ElementSpec& es : spec_.elements) {
    for (const auto& [input, signal] : es.signals) {
      if (!seen.insert(signal.get()).second) continue;
      if (!signal->finite_at_start(t)) {
        f_.fail(signal->mark, fmt::format("the signal for '{}' is {} at the start of the run, t = {:g} s; a signal "
                                          "must stay finite",
                                          signal->name, detail::non_finite(signal->value(t)), t));
      }
    }
  }
}

void Loader::read_start(const YAML::Node& node) {
  f_.expect_map(node, "start");
  for (const auto& kv : node) {
    const std::string text = kv.first.Scalar();
    const std::string what = "the start value of " + text;
    const size_t dot = text.rfind('.');
    // A node: by its name, or by one of its ports, with its across variable.
    if (dot != std::string::npos) {
      const std::string prefix = text.substr(0, dot), variable = text.substr(dot + 1);
      auto across = [&](const std::string& owner, Domain domain) {
        if (variable != across_name(domain)) {
          f_.fail(kv.first, fmt::format("{} has the variable '{}', not '{}'; write {}.{}", owner, across_name(domain),
                                        variable, prefix, across_name(domain)));
        }
        return f_.number(kv.second, what, across_unit(domain));
      };
      if (const auto it = node_names_.find(prefix); it != node_names_.end()) {
        NodeSpec& n = spec_.nodes[static_cast<size_t>(it->second)];
        n.start = across(fmt::format("node '{}'", prefix), n.domain);
        continue;
      }
      if (const size_t inner = prefix.rfind('.'); inner != std::string::npos) {  // component.port.p
        const auto [element, port_name] = port(kv.first, prefix);
        const int n = spec_.elements[element].node_at(port_name);
        const double value =
            across(fmt::format("port '{}'", prefix), spec_.elements[element].description->port(port_name)->domain);
        if (n == kReference) f_.fail(kv.first, "port '" + prefix + "' is on the reference, whose value is 0");
        spec_.nodes[static_cast<size_t>(n)].start = value;
        continue;
      }
    }
    const auto [elements, variable] = element_variable(kv.first, text);
    const double value =
        f_.number(kv.second, what, kind_unit(spec_.elements[elements.front()].description->kind_of(variable)));
    for (size_t i : elements) spec_.elements[i].start[variable] = value;
  }
}

RunSettings Loader::read_run(const YAML::Node& node, std::map<std::string, double>& absolute_by_kind) {
  f_.expect_map(node, "run");
  f_.only_keys(node,
               {"start_time", "stop", "output", "record", "tolerances", "start", "linear_solver", "max_step",
                "wave_step", "envelope", "events"},
               "run");
  RunSettings run;
  if (node["start_time"]) run.start_time = f_.number(node["start_time"], "start_time", "s");
  if (node["stop"]) run.stop_time = f_.number(node["stop"], "stop", "s");
  if (!(run.stop_time > run.start_time)) f_.fail(node["stop"], "the stop time must come after the start time");
  const double span = run.stop_time - run.start_time;
  if (!std::isfinite(span))
    f_.fail(node["stop"],
            fmt::format("the run from {:g} s to {:g} s is too long to compute", run.start_time, run.stop_time));
  if (node["output"]) {
    run.output_interval = f_.number(node["output"], "output", "s");
    if (!(run.output_interval > 0)) f_.fail(node["output"], "the output interval must be positive");
    if (run.output_interval < kShortestOutput * span)
      f_.fail(node["output"], fmt::format("an output interval of {:g} s makes more than {:g} rows of the run's {:g} s: "
                                          "give at least {:g} s",
                                          run.output_interval, 1 / kShortestOutput, span, kShortestOutput * span));
  }
  if (node["max_step"]) {
    run.max_step = f_.number(node["max_step"], "max_step", "s");
    if (!(run.max_step >= 0)) f_.fail(node["max_step"], "max_step must not be negative (0: no limit)");
    if (run.max_step > 0 && run.max_step < kShortestMaxStep * span)
      f_.fail(node["max_step"], fmt::format("max_step {:g} s takes more than {:g} steps for the run's {:g} s: give "
                                            "at least {:g} s, or 0 for no limit",
                                            run.max_step, 1 / kShortestMaxStep, span, kShortestMaxStep * span));
  }
  if (const YAML::Node record = node["record"]) {
    f_.expect_sequence(record, "record");
    for (const auto& r : record) {
      const std::string text = f_.text(r, "a recorded variable");
      for (std::string& name : every_section(r, text)) {
        run.record.push_back(std::move(name));
        record_marks_.emplace_back(f_.mark(r), text);
      }
    }
  }
  if (node["wave_step"]) {
    run.wave_step = f_.number(node["wave_step"], "wave_step", "s");
    if (!(run.wave_step > 0) || !std::isfinite(run.wave_step))
      f_.fail(node["wave_step"], "the wave step must be a positive time");
  }
  if (const YAML::Node envelope = node["envelope"]) {
    f_.expect_sequence(envelope, "envelope");
    for (const auto& e : envelope) run.envelope.push_back(f_.text(e, "a WavePipe"));
  }
  if (const YAML::Node tol = node["tolerances"]) read_tolerances(tol, run, absolute_by_kind);
  if (const YAML::Node s = node["start"]) run.start = read_start_kind(s);
  if (const YAML::Node s = node["linear_solver"]) run.linear_solver = read_linear_solver(s);
  if (const YAML::Node s = node["events"]) {
    // Which switches get a row of the events file: those that change the equations, or all.
    const std::string v = f_.text(s, "events");
    if (v != "changes" && v != "all")
      f_.fail(s,
              "events is changes (the switches that change the equations) or all (every switch of a "
              "component's flags), not '" +
                  v + "'" + detail::did_you_mean(v, {"changes", "all"}));
    run.tell_smooth_switches = v == "all";
  }
  return run;
}

// tolerances: relative, absolute (the default of every kind), and absolute ones per kind of variable.
void Loader::read_tolerances(const YAML::Node& tol, RunSettings& run, std::map<std::string, double>& absolute_by_kind) {
  f_.expect_map(tol, "tolerances");
  const std::vector<std::string> keys{"relative", "absolute", "pressure", "flow",    "speed", "torque",
                                      "level",    "volume",   "power",    "logical", "ratio", "signal"};
  f_.only_keys(tol, keys, "tolerances");
  for (const auto& kv : tol) {
    const std::string k = kv.first.Scalar();
    const double v = f_.number(kv.second, "tolerance " + k, k == "relative" ? "1" : kToleranceUnits.at(k));
    if (k == "relative" && !(v >= kRelativeLow && v <= kRelativeHigh)) {
      f_.fail(kv.second, fmt::format("the relative tolerance must be from {:g} to {:g}, not {:g}", kRelativeLow,
                                     kRelativeHigh, v));
    }
    if (!(v > 0)) f_.fail(kv.second, "a tolerance must be positive");
    if (k == "relative") {
      run.relative_tolerance = v;
    } else if (k == "absolute") {
      run.absolute_tolerance = v;
    } else {
      absolute_by_kind[k] = v;
    }
  }
}

RunSettings::Start Loader::read_start_kind(const YAML::Node& s) {
  const std::string v = f_.text(s, "start");
  if (v == "given") return RunSettings::Start::given;
  if (v == "steady") return RunSettings::Start::steady;
  f_.fail(s, "start is 'given' or 'steady', not '" + v + "'" + detail::did_you_mean(v, {"given", "steady"}));
}

RunSettings::Linear Loader::read_linear_solver(const YAML::Node& s) {
  const std::string v = f_.text(s, "linear_solver");
  if (v == "automatic") return RunSettings::Linear::automatic;
  if (v == "dense") return RunSettings::Linear::dense;
  if (v == "klu") return RunSettings::Linear::klu;
  f_.fail(s, "linear_solver is automatic, dense or klu, not '" + v + "'" +
                 detail::did_you_mean(v, {"automatic", "dense", "klu"}));
}

}  // namespace

namespace {

// A catalogue with faults loads no model.
void check_catalogue(const Catalogue& catalogue) {
  if (!catalogue.errors().empty()) {
    std::string text = "the plug-in folders have faults:";
    for (const auto& e : catalogue.errors()) text += "\n  " + e;
    throw engine::PluginError(text);
  }
}

}  // namespace

Model load_model(const std::filesystem::path& file, const Catalogue& catalogue, CheckReport* report) {
  check_catalogue(catalogue);
  Loader loader(file, catalogue, report);
  return loader.load();
}

Model load_model(const std::filesystem::path& file, const Catalogue& catalogue, const std::vector<Override>& overrides,
                 CheckReport* report) {
  check_catalogue(catalogue);
  Loader loader(file, catalogue, report);
  return loader.load(nullptr, overrides);
}

Model load_model_text(const std::string& text, const std::filesystem::path& file, const Catalogue& catalogue,
                      const std::vector<Override>& overrides, CheckReport* report) {
  check_catalogue(catalogue);
  Loader loader(file, catalogue, report);
  return loader.load(&text, overrides);
}

}  // namespace penstock::sim
