// SPDX-License-Identifier: BSD-3-Clause
#include "network.hpp"

#include <fmt/core.h>

#include <algorithm>
#include <tuple>
#include <unordered_map>

#include "penstock/slots.hpp"
#include "structure.hpp"

namespace penstock::sim::detail {

double tolerance_scale(const std::string& kind) {
  static const std::map<std::string, double> scale{
      {"pressure", 1e8},  // 100 Pa
      {"flow", 1e2},      // 1e-4 m3/s
      {"level", 1e3},     // 1 mm
      {"volume", 1e3},    // 1 l
      {"power", 1e6},     // 1 W
      {"speed", 1e3},     // 1e-3 rad/s
      {"torque", 1e6},    // 1 N m
      {"logical", 1e3},  {"ratio", 1e2}, {"signal", 1e2},
  };
  const auto it = scale.find(kind);
  return it == scale.end() ? 1.0 : it->second;
}

namespace {

// The kinds of variable there are; an unknown keeps its kind as an index into these.
const std::vector<std::string>& kind_names() {
  static const std::vector<std::string> names{"",       "pressure", "flow",  "speed",  "torque", "level",
                                              "volume", "logical",  "ratio", "signal", "power"};
  return names;
}

uint8_t kind_code(const std::string& kind) {
  const auto& names = kind_names();
  const auto it = std::find(names.begin(), names.end(), kind);
  if (it == names.end()) throw std::logic_error("no kind of variable '" + kind + "'");
  return static_cast<uint8_t>(it - names.begin());
}

enum class Source : uint8_t { time, unknown, signal, zero };

struct Input {
  Source source = Source::zero;
  int index = 0;  // unknown or signal
};

struct Eq {
  int row = 0;
  int differential = -1;                       // input index of the derivative, -1 for an algebraic equation
  double mass = 0.0;                           // Mass at the differential input, renewed with the modes
  bool residual = false;                       // whether the plug-in registers a Residual
  bool jacobian = false;                       // and a ResidualJacobian
  std::vector<std::pair<int, double>> linear;  // LinearRow non-zeros: input, coefficient
  std::vector<int> depends;                    // ResidualPattern: inputs
  std::vector<int32_t> position;               // per input: entry of the Jacobian, or -1
};

struct Element {
  std::string name;
  const Description* description = nullptr;
  std::vector<int> port_unknowns;  // per port of the description: its node's across unknown, -1 on the reference
  std::shared_ptr<const engine::Plugin> plugin;
  std::unique_ptr<engine::Instance> instance;
  std::vector<Input> inputs;
  // The inputs read from the unknowns (input, unknown), and the others, for filling them in.
  std::vector<std::pair<uint32_t, uint32_t>> from_unknowns;
  std::vector<uint32_t> others;
  std::vector<Eq> equations;
  std::vector<int32_t> modes, renewed;
  int zc_offset = 0;
  int n_zc = 0;
};

// An input driven by a signal over model variables: an unknown u with the row u - f(t, x) = 0, x the
// variables the signal reads (unknowns, inputs driven by signals of time, or 0 on the reference).
struct SignalRow {
  int row = 0;
  int unknown = 0;
  int owner = 0;  // its element
  std::shared_ptr<VariableSignal> signal;
  std::vector<Input> reads;        // per variable the signal reads
  std::vector<int64_t> positions;  // per variable read: its entry in the row of the Jacobian, or -1
};

// A row that is linear in the unknowns with constant coefficients: across relations, balances.
struct Relation {
  int row = 0;
  std::vector<std::pair<int, double>> terms;  // unknown, coefficient
};

class Network final : public DaeSystem {
 public:
  Network(NetworkSpec spec, CheckReport* report);

  size_t size() const override { return names_.size(); }
  const std::vector<std::string>& variable_names() const override { return names_; }
  const std::string& variable_kind(size_t i) const override { return kind_names()[kinds_[i]]; }
  const std::vector<std::string>& equation_names() const override { return equation_names_; }
  const std::vector<bool>& differential() const override { return differential_; }
  std::vector<double> absolute_tolerances(double default_atol) const override;
  void initial_values(double* y, double* yp) const override;
  void residual(double t, const double* y, const double* yp, double* F) override;
  const SparsityPattern& pattern() const override { return pattern_; }
  void jacobian(double t, const double* y, const double* yp, double cj, double* values) override;
  std::vector<ConstantRow> constant_rows() const override;
  std::vector<bool> derivative_rows() const override {
    std::vector<bool> rows = derivative_rows_;
    rows.resize(names_.size(), false);
    return rows;
  }
  const std::vector<SwitchingPart>& switching_parts() const override { return parts_; }
  void part_roots(size_t part, double t, const double* y, double* g) override;
  bool renew_part(size_t part, double t, const double* y) override;
  std::vector<int32_t> part_flags(size_t part) const override { return elements_[part_element_[part]].modes; }
  void part_residual(size_t part, double t, const double* y, const double* yp, double* F) override;
  bool set_part_flags(size_t part, double t, const double* y, const std::vector<int32_t>& flags) override;
  std::vector<double> breakpoints() const override;
  double grid_step() const override { return pipes_.empty() ? 0.0 : grid_step_; }
  void begin_grid(double t, const double* y) override { pipes_.begin(t, y); }
  void advance_grid(double t, const double* y) override { pipes_.advance(t, y); }
  double jacobian_drift(double t) const override { return pipes_.drift(t); }
  std::optional<size_t> find_output(const std::string& name) const override;
  double output(size_t id, double t, const double* y) const override;
  std::string output_kind(size_t id) const override;
  std::vector<PipeEnvelope> envelopes() const override;
  std::string input_fault() const override;
  std::vector<std::string> input_notes(double t, const double* y) override;
  std::string variable_remedy(size_t variable) const override {
    return variable < variable_owner_.size() ? remedy(variable_owner_[variable]) : "";
  }
  std::string equation_remedy(size_t row) const override {
    return row < equation_owner_.size() ? remedy(equation_owner_[row]) : "";
  }

 private:
  std::string remedy(int owner) const {
    const auto it = remedies_.find(owner);
    return it == remedies_.end() ? "" : it->second;
  }
  // The passes of the assembly.
  void reserve(const NetworkSpec& spec);
  Element& add_element(const ElementSpec& es);
  void add_nodes(const NetworkSpec& spec, const ElementSpec& es);
  std::map<std::string, int> add_inputs(Element& el, const ElementSpec& es, int owner);
  Input port_input(const ElementSpec& es, const std::string& port) const;
  int add_own_unknown(const ElementSpec& es, const std::string& variable, int owner);
  void add_plugin_equations(Element& el, int owner);
  void add_structure(const Element& el, const Eq& eq);
  void add_across_relations(const ElementSpec& es, const std::map<std::string, int>& own, int owner);
  void add_wave_pipe(const NetworkSpec& spec, const ElementSpec& es, int owner);
  void add_port_outputs(const ElementSpec& es);
  void add_balances(const NetworkSpec& spec);
  void add_relation(Relation r);
  void resolve_signal_reads(const NetworkSpec& spec);
  Input signal_read(const SignalRow& r, const std::string& variable,
                    const std::unordered_map<std::string, int>& index) const;
  void check_signal_loops(const NetworkSpec& spec) const;
  void signal_start_values(double t);
  double signal_value(SignalRow& r, double t, const double* y);
  void start_flags(double t);
  void add_switching_parts();
  void fill_report(CheckReport& report) const;

  int add_unknown(const std::string& name, const std::string& kind, int owner);
  int add_equation(const std::string& name, int owner);
  void fill(Element& el, double t, const double* y);
  void renew_mass(Element& el);
  bool renew(Element& el, double t, const double* y);
  template <typename Out>
  void element_residual(Element& el, double t, const double* y, const double* yp, Out out);
  void build_pattern();
  int64_t position(int row, int col) const;
  // Throws ModelError when the equations do not determine the unknowns.
  void check_structure(const NetworkSpec& spec) const;
  ModelError structure_error(const NetworkSpec& spec, const StructuralFaults& faults) const;

  std::vector<std::string> names_, equation_names_;
  std::vector<uint8_t> kinds_;                        // per unknown: its kind, an index into kind_names()
  std::vector<int> variable_owner_, equation_owner_;  // element index, or -(node + 2)
  std::vector<bool> differential_;
  std::vector<double> y0_;
  std::vector<Element> elements_;
  std::vector<Relation> relations_;
  std::vector<bool> derivative_rows_;  // per row: whether the derivative of an unknown enters it
  std::vector<std::shared_ptr<Signal>> signals_;
  std::vector<SignalRow> signal_rows_;
  std::map<std::string, int> time_inputs_;  // "element.input" driven by a signal of time -> its signal
  std::vector<double> sx_, sd_;             // the variables a signal reads, and its gradient
  std::map<std::string, double> absolute_by_kind_;
  SparsityPattern pattern_;
  std::vector<std::vector<int>> structure_;  // per equation: the unknowns it involves
  std::vector<double> constant_values_;      // Jacobian entries of the constant rows
  int n_roots_ = 0;
  std::vector<SwitchingPart> parts_;
  std::vector<size_t> part_element_;  // per switching part: its element
  std::vector<int> node_unknown_;     // per node: its across unknown, -1 while no element uses it
  std::vector<int> node_balance_;     // per node: its balance row, likewise
  WavePipes pipes_;
  double grid_step_ = 0.0;
  std::vector<double> x_, row_;  // one element's inputs, filled before each call, and a row over them
  size_t ports_ = 1;             // the most ports of a component: output ids [e·ports_, (e + 1)·ports_) are e's ports
  std::map<int, std::string> remedies_;  // element -> its description's remedy, where it has one
};

int node_owner(size_t node) { return -static_cast<int>(node) - 2; }

std::vector<double> Network::breakpoints() const {
  std::vector<double> times;
  for (const auto& s : signals_) {
    const std::vector<double> b = s->breakpoints();
    times.insert(times.end(), b.begin(), b.end());
  }
  std::sort(times.begin(), times.end());
  times.erase(std::unique(times.begin(), times.end()), times.end());
  return times;
}

int Network::add_unknown(const std::string& name, const std::string& kind, int owner) {
  names_.push_back(name);
  kinds_.push_back(kind_code(kind));
  variable_owner_.push_back(owner);
  differential_.push_back(false);
  y0_.push_back(0.0);
  return static_cast<int>(names_.size()) - 1;
}

int Network::add_equation(const std::string& name, int owner) {
  equation_names_.push_back(name);
  equation_owner_.push_back(owner);
  structure_.emplace_back();
  return static_cast<int>(equation_names_.size()) - 1;
}

// The passes of the assembly, in the order that numbers the unknowns and the equations: for every
// element, the nodes its ports meet first, its inputs, its plug-in's equations and its across
// relations; then the balances at the nodes.
Network::Network(NetworkSpec spec, CheckReport* report) : absolute_by_kind_(spec.absolute_by_kind) {
  node_unknown_.assign(spec.nodes.size(), -1);
  node_balance_.assign(spec.nodes.size(), -1);
  elements_.reserve(spec.elements.size());
  reserve(spec);
  grid_step_ = spec.wave_grid.step;
  for (size_t e = 0; e < spec.elements.size(); ++e) {
    const ElementSpec& es = spec.elements[e];
    const int owner = static_cast<int>(e);
    if (!es.description->remedy.empty())
      remedies_[owner] = "'" + es.name + "' (" + es.description->name + "): " + es.description->remedy;
    if (es.wave_pipe) {
      elements_.emplace_back().name = es.name;  // no plug-in: an element without inputs or equations
      add_nodes(spec, es);
      add_wave_pipe(spec, es, owner);
    } else {
      Element& el = add_element(es);
      add_nodes(spec, es);
      const std::map<std::string, int> own = add_inputs(el, es, owner);
      add_plugin_equations(el, owner);
      add_across_relations(es, own, owner);
    }
    add_port_outputs(es);
  }
  add_balances(spec);
  resolve_signal_reads(spec);
  pipes_.add_structure(structure_);

  check_structure(spec);
  build_pattern();
  for (Element& el : elements_)
    for (size_t i = 0; i < el.inputs.size(); ++i) {
      if (el.inputs[i].source == Source::unknown) {
        el.from_unknowns.emplace_back(static_cast<uint32_t>(i), static_cast<uint32_t>(el.inputs[i].index));
      } else {
        el.others.push_back(static_cast<uint32_t>(i));
      }
    }
  // What only the assembly and its messages needed.
  std::vector<std::vector<int>>().swap(structure_);
  if (remedies_.empty()) {  // kept to name a failed run's component with its remedy
    std::vector<int>().swap(variable_owner_);
    std::vector<int>().swap(equation_owner_);
  }
  signal_start_values(spec.start_time);
  start_flags(spec.start_time);
  add_switching_parts();
  if (report != nullptr) fill_report(*report);
}

// Room for every unknown and equation the passes can add (each element's inputs and rows, each
// node's across variable and balance), so that a large model is not copied as it grows.
void Network::reserve(const NetworkSpec& spec) {
  size_t unknowns = spec.nodes.size(), equations = spec.nodes.size(), relations = spec.nodes.size();
  for (const ElementSpec& es : spec.elements) {
    if (es.wave_pipe) {
      unknowns += 2, equations += 2;
      continue;
    }
    const engine::GroupDecl& g = es.plugin->group();
    for (size_t i = 1; i < g.inputs.size(); ++i) {  // its own variables: not a port's, nor driven by a signal of time
      if (g.inputs[i].find('.') != std::string::npos) continue;
      const auto s = es.signals.find(g.inputs[i]);
      if (s == es.signals.end()) {
        ++unknowns;
      } else if (!s->second->reads().empty()) {
        ++unknowns, ++equations;
      }
    }
    equations += g.equations.size() + es.description->across.size();
    relations += es.description->across.size();
  }
  names_.reserve(unknowns);
  kinds_.reserve(unknowns);
  variable_owner_.reserve(unknowns);
  differential_.reserve(unknowns);
  y0_.reserve(unknowns);
  equation_names_.reserve(equations);
  equation_owner_.reserve(equations);
  structure_.reserve(equations);
  relations_.reserve(relations);
}

// The element with its plug-in instance (parameter block set up), its buffers and its place
// among the zero-crossing signals.
Element& Network::add_element(const ElementSpec& es) {
  const engine::GroupDecl& g = es.plugin->group();
  Element& el = elements_.emplace_back();
  el.name = es.name;
  el.plugin = es.plugin;
  el.instance = std::make_unique<engine::Instance>(g, *es.parameters);
  if (x_.size() < g.inputs.size()) x_.resize(g.inputs.size(), 0.0), row_.resize(g.inputs.size(), 0.0);
  el.modes.assign(static_cast<size_t>(g.n_modes), 0);
  el.renewed.assign(static_cast<size_t>(g.n_modes), 0);
  el.n_zc = g.zero_crossings != nullptr ? g.n_zc : 0;
  el.zc_offset = n_roots_;
  n_roots_ += el.n_zc;
  return el;
}

// The across unknown and the balance row of each node the element's ports meet first: numbered
// where first met, so that a chain stays banded.
void Network::add_nodes(const NetworkSpec& spec, const ElementSpec& es) {
  for (const auto& port : es.description->ports) {
    const int n = es.node_at(port.name);
    if (n == kReference || node_unknown_[static_cast<size_t>(n)] >= 0) continue;
    const size_t k = static_cast<size_t>(n);
    const NodeSpec& node = spec.nodes[k];
    node_unknown_[k] = add_unknown(node.name + "." + across_name(node.domain),
                                   node.domain == Domain::hydraulic ? "pressure" : "speed", node_owner(k));
    y0_[static_cast<size_t>(node_unknown_[k])] = node.start.value_or(0.0);
    node_balance_[k] = add_equation("node " + node.name + ": balance of " + through_name(node.domain), node_owner(k));
  }
}

// Every input: time, a port's across variable, a signal, or an unknown of the element's own.
// Returns the own unknowns by variable.
std::map<std::string, int> Network::add_inputs(Element& el, const ElementSpec& es, int owner) {
  const std::vector<std::string>& inputs = el.instance->group().inputs;
  std::map<std::string, int> own;
  el.inputs.resize(inputs.size());
  el.inputs[0].source = Source::time;
  for (size_t i = 1; i < inputs.size(); ++i) {
    const std::string& in = inputs[i];
    if (const size_t dot = in.find('.'); dot != std::string::npos) {
      el.inputs[i] = port_input(es, in.substr(0, dot));
    } else if (const auto s = es.signals.find(in); s != es.signals.end() && !s->second->reads().empty()) {
      const std::string name = es.name + "." + in;
      SignalRow r;
      r.unknown = add_unknown(name, "signal", owner);
      r.row = add_equation("signal for '" + name + "'", owner);
      r.owner = owner;
      r.signal = std::static_pointer_cast<VariableSignal>(s->second);
      el.inputs[i] = Input{Source::unknown, r.unknown};
      signal_rows_.push_back(std::move(r));
    } else if (s != es.signals.end()) {
      signals_.push_back(s->second);
      time_inputs_[es.name + "." + in] = static_cast<int>(signals_.size()) - 1;
      el.inputs[i] = Input{Source::signal, static_cast<int>(signals_.size()) - 1};
    } else if (const auto o = own.find(in); o != own.end()) {
      el.inputs[i] = Input{Source::unknown, o->second};
    } else {
      own[in] = add_own_unknown(es, in, owner);
      el.inputs[i] = Input{Source::unknown, own[in]};
    }
  }
  return own;
}

// The across variable of the node at the port: an unknown, or 0 on the reference.
Input Network::port_input(const ElementSpec& es, const std::string& port) const {
  const int n = es.node_at(port);
  return n == kReference ? Input{Source::zero, 0} : Input{Source::unknown, node_unknown_[static_cast<size_t>(n)]};
}

// The start value of an own variable: the model's, else the parameter the description takes it
// from (when the model gives that parameter), else the description's default, else 0.
double start_value(const ElementSpec& es, const std::string& variable) {
  const Description& d = *es.description;
  if (const auto v = es.start.find(variable); v != es.start.end()) return v->second;
  if (const auto p = d.start.find(variable); p != d.start.end()) {
    if (const auto v = es.parameters->find(p->second); v != es.parameters->end()) return v->second;
  }
  if (const auto v = d.defaults.find(variable); v != d.defaults.end()) return v->second;
  return 0.0;
}

int Network::add_own_unknown(const ElementSpec& es, const std::string& variable, int owner) {
  const int u = add_unknown(es.name + "." + variable, es.description->kind_of(variable), owner);
  y0_[static_cast<size_t>(u)] = start_value(es, variable);
  return u;
}

// The inputs the residual of the k-th equation depends on: its ResidualPattern, asked at zero
// inputs with every flag off.
std::vector<int> residual_inputs(const engine::Instance& instance, size_t k) {
  const engine::GroupDecl& g = instance.group();
  std::vector<uint8_t> pattern(g.inputs.size());
  const std::vector<double> zeros(g.inputs.size(), 0.0);
  const std::vector<int32_t> no_modes(static_cast<size_t>(std::max(g.n_modes, 1)), 0);
  instance.residual_pattern(k, zeros.data(), no_modes.data(), pattern.data());
  std::vector<int> depends;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != 0) depends.push_back(static_cast<int>(i));
  }
  return depends;
}

// The plug-in's equations, Mass·x' - Residual - LinearRow·x = 0 over the element's inputs.
void Network::add_plugin_equations(Element& el, int owner) {
  const engine::GroupDecl& g = el.instance->group();
  for (size_t k = 0; k < g.equations.size(); ++k) {
    const engine::EquationDecl& decl = g.equations[k];
    Eq eq;
    eq.row = add_equation(el.name + ": equation " + std::to_string(k), owner);
    eq.differential = decl.differential;
    eq.residual = decl.has(kResidual);
    eq.jacobian = decl.has(kResidualJacobian);
    if (decl.linear_row != nullptr) {
      el.instance->linear_row(k, row_.data());
      for (size_t i = 0; i < g.inputs.size(); ++i) {
        if (row_[i] != 0.0) eq.linear.emplace_back(static_cast<int>(i), row_[i]);
      }
    }
    if (eq.residual) eq.depends = residual_inputs(*el.instance, k);
    add_structure(el, eq);
    el.equations.push_back(std::move(eq));
  }
}

// The unknowns among the inputs the equation involves (its derivative's, its residual's, its
// linear row's), into the structure; the unknown under the derivative is a differential one.
void Network::add_structure(const Element& el, const Eq& eq) {
  auto involve = [&](int i) {
    const Input& in = el.inputs[static_cast<size_t>(i)];
    if (in.source == Source::unknown) structure_[static_cast<size_t>(eq.row)].push_back(in.index);
  };
  if (eq.differential >= 0) {
    involve(eq.differential);
    const Input& in = el.inputs[static_cast<size_t>(eq.differential)];
    if (in.source == Source::unknown) {
      differential_[static_cast<size_t>(in.index)] = true;
      if (derivative_rows_.size() <= static_cast<size_t>(eq.row))
        derivative_rows_.resize(static_cast<size_t>(eq.row) + 1);
      derivative_rows_[static_cast<size_t>(eq.row)] = true;
    }
  }
  for (int i : eq.depends) involve(i);
  for (const auto& [i, c] : eq.linear) involve(i);
}

// "p = A.p - B.p", "p = A.p", ...
std::string across_equation(const Description& d, const Description::Across& a) {
  return a.variable + " = " + a.plus + "." + across_name(d.port(a.plus == "ref" ? a.minus : a.plus)->domain) +
         (a.minus == "ref" ? "" : " - " + a.minus + "." + across_name(d.port(a.minus)->domain));
}

// Every across relation of the element: variable - (plus.across - minus.across) = 0.
void Network::add_across_relations(const ElementSpec& es, const std::map<std::string, int>& own, int owner) {
  const Description& d = *es.description;
  for (const auto& a : d.across) {
    Relation r;
    r.row = add_equation(es.name + ": " + across_equation(d, a), owner);
    r.terms.emplace_back(own.at(a.variable), 1.0);
    for (const auto& [port, sign] : {std::pair{a.plus, -1.0}, std::pair{a.minus, 1.0}}) {
      if (port == "ref") continue;
      const int n = es.node_at(port);
      if (n != kReference) r.terms.emplace_back(node_unknown_[static_cast<size_t>(n)], sign);
    }
    add_relation(std::move(r));
  }
}

// A WavePipe: its end flows (flow unknowns, their start values the model's), the two rows of its
// end laws, and its grid.
void Network::add_wave_pipe(const NetworkSpec& spec, const ElementSpec& es, int owner) {
  auto unknown_at = [&](const char* port) {
    const int n = es.node_at(port);
    return n == kReference ? -1 : node_unknown_[static_cast<size_t>(n)];
  };
  auto flow = [&](const std::string& variable) {
    const int u = add_unknown(es.name + "." + variable, "flow", owner);
    if (const auto v = es.start.find(variable); v != es.start.end()) y0_[static_cast<size_t>(u)] = v->second;
    return u;
  };
  WavePipes::Link link;
  link.p_a = unknown_at("A");
  link.p_b = unknown_at("B");
  link.q_a = flow("qA");
  link.q_b = flow("qB");
  link.row_a = add_equation(es.name + ": end A", owner);
  link.row_b = add_equation(es.name + ": end B", owner);
  const size_t j = pipes_.pipes().size();
  const bool envelope =
      spec.every_envelope || std::find(spec.envelope.begin(), spec.envelope.end(), es.name) != spec.envelope.end();
  pipes_.add(CharacteristicPipe(*es.wave_pipe, spec.wave_grid.pipes.at(j), spec.wave_grid.step, envelope), link);
}

// Every port's across variable, for the record under the port's name, "element.port.p".
void Network::add_port_outputs(const ElementSpec& es) {
  Element& el = elements_.back();
  el.description = es.description;
  for (const auto& port : es.description->ports) {
    const int n = es.node_at(port.name);
    el.port_unknowns.push_back(n == kReference ? -1 : node_unknown_[static_cast<size_t>(n)]);
  }
  ports_ = std::max(ports_, el.port_unknowns.size());
}

// "element.port.p" (or .w), looked up when the record is set: the element's ports, then the pipes'.
std::optional<size_t> Network::find_output(const std::string& name) const {
  const size_t across = name.rfind('.');
  const size_t port = across == std::string::npos || across == 0 ? std::string::npos : name.rfind('.', across - 1);
  if (port != std::string::npos) {
    const std::string element = name.substr(0, port), port_name = name.substr(port + 1, across - port - 1);
    for (size_t e = 0; e < elements_.size(); ++e) {
      const Element& el = elements_[e];
      if (el.name != element || el.description == nullptr) continue;
      const auto& ports = el.description->ports;
      for (size_t k = 0; k < ports.size(); ++k)
        if (ports[k].name == port_name && name.substr(across + 1) == across_name(ports[k].domain))
          return e * ports_ + k;
    }
  }
  const long id = pipes_.find(name, static_cast<long>(elements_.size() * ports_));
  if (id < 0) return std::nullopt;
  return static_cast<size_t>(id);
}

double Network::output(size_t id, double t, const double* y) const {
  if (id < elements_.size() * ports_) {
    const int u = elements_[id / ports_].port_unknowns[id % ports_];
    return u < 0 ? 0.0 : y[u];
  }
  return pipes_.output(id - elements_.size() * ports_, t, y);
}

std::string Network::output_kind(size_t id) const {
  if (id < elements_.size() * ports_)
    return elements_[id / ports_].description->ports[id % ports_].domain == Domain::hydraulic ? "pressure" : "speed";
  return WavePipes::kind(pipes_.quantity(id - elements_.size() * ports_));
}

// The signal that first left the finite range, by the time it was met.
std::string Network::input_fault() const {
  const Signal* first = nullptr;
  for (const auto& s : signals_) {
    if (s->fault() && (first == nullptr || s->fault()->t < first->fault()->t)) first = s.get();
  }
  for (const SignalRow& r : signal_rows_) {
    const Signal* s = r.signal.get();
    if (s->fault() && (first == nullptr || s->fault()->t < first->fault()->t)) first = s;
  }
  return first == nullptr ? "" : describe(*first, *first->fault());
}

std::vector<PipeEnvelope> Network::envelopes() const {
  std::vector<PipeEnvelope> all;
  for (const CharacteristicPipe& pipe : pipes_.pipes()) {
    if (!pipe.has_envelope()) continue;
    PipeEnvelope e;
    e.pipe = pipe.name();
    e.rho_g = pipe.rho_g();
    for (size_t i = 0; i < pipe.envelope().size(); ++i) {
      const auto& x = pipe.envelope()[i];
      e.nodes.push_back({pipe.position(i), pipe.elevation_at(i), x.p_min, x.t_p_min, x.p_max, x.t_p_max, x.h_min,
                         x.t_h_min, x.h_max, x.t_h_max});
    }
    all.push_back(std::move(e));
  }
  return all;
}

// The value of a signal over model variables at (t, y), the variables it reads left in sx_.
double Network::signal_value(SignalRow& r, double t, const double* y) {
  for (size_t j = 0; j < r.reads.size(); ++j) {
    const Input& in = r.reads[j];
    sx_[j] = in.source == Source::unknown  ? y[in.index]
             : in.source == Source::signal ? signals_[static_cast<size_t>(in.index)]->value(t)
                                           : 0.0;
  }
  return r.signal->value_at(t, sx_.data());
}

// What a signal reads by a name as record knows it: an unknown, a port's across variable, or an
// input driven by a signal of time (read through that signal, no unknown of its own).
Input Network::signal_read(const SignalRow& r, const std::string& variable,
                           const std::unordered_map<std::string, int>& index) const {
  if (const auto it = index.find(variable); it != index.end()) return Input{Source::unknown, it->second};
  if (const auto it = time_inputs_.find(variable); it != time_inputs_.end()) return Input{Source::signal, it->second};
  if (const std::optional<size_t> id = find_output(variable); id && *id < elements_.size() * ports_) {
    const int u = elements_[*id / ports_].port_unknowns[*id % ports_];
    return u < 0 ? Input{Source::zero, 0} : Input{Source::unknown, u};
  }
  std::vector<std::string> candidates = names_;
  for (const auto& [name, k] : time_inputs_) candidates.push_back(name);
  candidates.push_back("t");  // an expression's time
  const Signal& s = *r.signal;
  const bool along_pipe = find_output(variable).has_value();
  throw ModelError(s.mark, fmt::format("the signal for '{}' reads '{}', {}{}", s.name, variable,
                                       along_pipe ? "a value along a WavePipe, which no signal can read; read "
                                                    "the pressure at one of its ends (a node's or a port's)"
                                                  : "which is not a variable of the model",
                                       along_pipe ? "" : did_you_mean(variable, candidates)));
}

// Each variable every signal reads, found among the unknowns, ports and inputs, into its row's
// structure: the row involves its own unknown and every unknown it reads.
void Network::resolve_signal_reads(const NetworkSpec& spec) {
  if (signal_rows_.empty()) return;
  std::unordered_map<std::string, int> index;  // unknown by name
  for (size_t u = 0; u < names_.size(); ++u) index.emplace(names_[u], static_cast<int>(u));
  size_t most = 0;
  for (SignalRow& r : signal_rows_) {
    r.reads.clear();
    for (const std::string& v : r.signal->reads()) r.reads.push_back(signal_read(r, v, index));
    auto& row = structure_[static_cast<size_t>(r.row)];
    row.push_back(r.unknown);
    for (const Input& in : r.reads)
      if (in.source == Source::unknown) row.push_back(in.index);
    most = std::max(most, r.reads.size());
  }
  sx_.assign(std::max<size_t>(most, 1), 0.0);
  sd_.assign(std::max<size_t>(most, 1), 0.0);
  check_signal_loops(spec);
}

// A loop of signals through components whose outputs follow their inputs at once (feedthrough)
// has no state to break it: an algebraic loop, named in the order the values flow, at the first
// signal in it.
void Network::check_signal_loops(const NetworkSpec& spec) const {
  const size_t n = signal_rows_.size();
  if (n == 0) return;
  std::map<int, size_t> row_of_unknown;  // a signal's unknown -> its row
  std::map<int, std::vector<size_t>> rows_of_owner;
  for (size_t k = 0; k < n; ++k) {
    row_of_unknown[signal_rows_[k].unknown] = k;
    rows_of_owner[signal_rows_[k].owner].push_back(k);
  }
  // Edges from a signal to those whose values it reads at once: (signal read, the variable between).
  std::vector<std::vector<std::pair<size_t, std::string>>> edges(n);
  for (size_t k = 0; k < n; ++k) {
    for (const Input& in : signal_rows_[k].reads) {
      if (in.source != Source::unknown) continue;
      if (const auto it = row_of_unknown.find(in.index); it != row_of_unknown.end()) {
        edges[k].emplace_back(it->second, "");
        continue;
      }
      const int owner = variable_owner_[static_cast<size_t>(in.index)];
      if (owner < 0 || !spec.elements[static_cast<size_t>(owner)].description->feedthrough) continue;
      const auto rows = rows_of_owner.find(owner);
      if (rows == rows_of_owner.end()) continue;
      for (size_t j : rows->second) edges[k].emplace_back(j, names_[static_cast<size_t>(in.index)]);
    }
  }
  std::vector<int> colour(n, 0);                     // 0: not seen, 1: on the path, 2: done
  std::vector<std::pair<size_t, std::string>> path;  // the signals on the path, each with the variable it came by
  std::vector<std::pair<size_t, std::string>> loop;
  auto visit = [&](auto&& self, size_t k) -> bool {
    colour[k] = 1;
    for (const auto& [j, via] : edges[k]) {
      if (colour[j] == 1) {
        const size_t back_to = j;
        const auto from =
            std::find_if(path.begin(), path.end(), [back_to](const auto& p) { return p.first == back_to; });
        loop.assign(from, path.end());
        loop.emplace_back(j, via);  // closes the loop: j read at the end
        return true;
      }
      path.emplace_back(j, via);
      if (colour[j] == 0 && self(self, j)) return true;
      path.pop_back();
    }
    colour[k] = 2;
    return false;
  };
  for (size_t k = 0; k < n; ++k) {
    if (colour[k] != 0) continue;
    path.assign(1, {k, ""});
    if (!visit(visit, k)) continue;
    // The loop in the order of reading: each signal is read by the one before it (the first by the
    // last), through the variable beside it. The values flow the other way round; they are named
    // from the output the first signal in the model feeds, round to that signal.
    std::vector<std::pair<size_t, std::string>> cycle(loop.begin() + 1, loop.end());
    std::rotate(
        cycle.begin(),
        std::min_element(cycle.begin(), cycle.end(), [](const auto& x, const auto& y) { return x.first < y.first; }),
        cycle.end());
    auto name = [&](size_t i) { return names_[static_cast<size_t>(signal_rows_[cycle[i].first].unknown)]; };
    std::vector<std::string> items;
    if (!cycle[0].second.empty()) items.push_back(cycle[0].second);
    for (size_t i = cycle.size() - 1; i >= 1; --i) {
      items.push_back(name(i));
      if (!cycle[i].second.empty()) items.push_back(cycle[i].second);
    }
    items.push_back(name(0));
    if (items.size() == 1) items.push_back(name(0));  // a signal reading its own input
    std::string text;
    for (size_t i = 0; i < items.size(); ++i) text += (i ? " → " : "") + items[i];
    const Signal& s = *signal_rows_[cycle[0].first].signal;
    throw ModelError(s.mark, "algebraic loop through blocks without a state: " + text + "; put a Lag in it");
  }
}

// Each signal's unknown starts at the signal's value at the start values: in as many passes as
// there are signals, so that a signal reading another's value reads it settled.
void Network::signal_start_values(double t) {
  for (size_t pass = 0; pass < signal_rows_.size(); ++pass) {
    bool moved = false;
    for (SignalRow& r : signal_rows_) {
      const double v = signal_value(r, t, y0_.data());
      if (!std::isfinite(v)) {
        const Signal& s = *r.signal;
        throw ModelError(s.mark, fmt::format("the signal for '{}' is {} at the start of the run, t = {:g} s, at the "
                                             "start values of the variables it reads; a signal must stay finite",
                                             s.name, non_finite(v), t));
      }
      moved = moved || v != y0_[static_cast<size_t>(r.unknown)];
      y0_[static_cast<size_t>(r.unknown)] = v;
    }
    if (!moved) break;
  }
}

// Once per signal over model variables: a variable it reads that has left its table or chart.
std::vector<std::string> Network::input_notes(double t, const double* y) {
  std::vector<std::string> notes;
  for (SignalRow& r : signal_rows_) {
    signal_value(r, t, y);
    if (std::string note = r.signal->outside(sx_.data()); !note.empty())
      notes.push_back(fmt::format("{} (t = {:.6g} s)", note, t));
  }
  return notes;
}

// At every node an element uses: the through variables entering minus those leaving.
void Network::add_balances(const NetworkSpec& spec) {
  std::vector<Relation> balances(spec.nodes.size());
  for (size_t e = 0; e < spec.elements.size(); ++e) {
    const ElementSpec& es = spec.elements[e];
    if (es.wave_pipe) continue;  // its flows below
    const std::vector<std::string>& inputs = es.plugin->group().inputs;
    for (const auto& b : es.description->branches) {
      const size_t input = static_cast<size_t>(std::find(inputs.begin(), inputs.end(), b.through) - inputs.begin());
      const int u = elements_[e].inputs[input].index;
      for (const auto& [port, sign] : {std::pair{b.to, 1.0}, std::pair{b.from, -1.0}}) {
        if (port == "ref") continue;
        const int n = es.node_at(port);
        if (n != kReference) balances[static_cast<size_t>(n)].terms.emplace_back(u, sign);
      }
    }
  }
  // A WavePipe's q_A leaves the node at A, its q_B enters the node at B.
  size_t pipe = 0;
  for (const ElementSpec& es : spec.elements) {
    if (!es.wave_pipe) continue;
    const WavePipes::Link& link = pipes_.links()[pipe++];
    for (const auto& [port, u, sign] : {std::tuple{"A", link.q_a, -1.0}, std::tuple{"B", link.q_b, 1.0}}) {
      const int n = es.node_at(port);
      if (n != kReference) balances[static_cast<size_t>(n)].terms.emplace_back(u, sign);
    }
  }
  for (size_t n = 0; n < spec.nodes.size(); ++n) {
    if (node_balance_[n] < 0) continue;  // a node no element uses
    balances[n].row = node_balance_[n];
    add_relation(std::move(balances[n]));
  }
}

void Network::add_relation(Relation r) {
  for (const auto& [u, c] : r.terms) structure_[static_cast<size_t>(r.row)].push_back(u);
  relations_.push_back(std::move(r));
}

// The flags at the start values, and the masses that go with them.
void Network::start_flags(double t) {
  for (Element& el : elements_) {
    fill(el, t, y0_.data());
    if (!el.modes.empty()) el.instance->modes(x_.data(), el.modes.data(), el.modes.data());
    renew_mass(el);
  }
}

// A switching part for every element with zero-crossing signals: its rows and the unknowns it reads.
void Network::add_switching_parts() {
  for (size_t e = 0; e < elements_.size(); ++e) {
    const Element& el = elements_[e];
    if (el.n_zc == 0) continue;
    SwitchingPart part{.name = el.name,
                       .first_root = static_cast<size_t>(el.zc_offset),
                       .n_roots = static_cast<size_t>(el.n_zc),
                       .rows = {},
                       .unknowns = {},
                       .kinks = el.description != nullptr && el.description->kinks,
                       .independent = el.description != nullptr && el.description->independent_switches};
    for (const Eq& eq : el.equations) part.rows.push_back(static_cast<size_t>(eq.row));
    for (const Input& in : el.inputs)
      if (in.source == Source::unknown) part.unknowns.push_back(static_cast<size_t>(in.index));
    parts_.push_back(std::move(part));
    part_element_.push_back(e);
  }
}

void Network::fill_report(CheckReport& report) const {
  report.components = elements_.size();
  report.nodes =
      static_cast<size_t>(std::count_if(node_unknown_.begin(), node_unknown_.end(), [](int u) { return u >= 0; }));
  report.unknowns = names_.size();
  report.equations = equation_names_.size();
  report.differential = static_cast<size_t>(std::count(differential_.begin(), differential_.end(), true));
  report.algebraic = names_.size() - report.differential;
  report.zero_crossings = static_cast<size_t>(n_roots_);
}

void Network::fill(Element& el, double t, const double* y) {
  for (const auto& [i, u] : el.from_unknowns) x_[i] = y[u];
  for (const uint32_t i : el.others) {
    const Input& in = el.inputs[i];
    switch (in.source) {
      case Source::time:
        x_[i] = t;
        break;
      case Source::unknown:
        x_[i] = y[in.index];
        break;
      case Source::signal:
        x_[i] = signals_[static_cast<size_t>(in.index)]->value(t);
        break;
      case Source::zero:
        x_[i] = 0.0;
        break;
    }
  }
}

void Network::renew_mass(Element& el) {
  for (size_t k = 0; k < el.equations.size(); ++k) {
    Eq& eq = el.equations[k];
    if (eq.differential >= 0) eq.mass = el.instance->mass(k, x_.data(), el.modes.data());
  }
}

std::vector<double> Network::absolute_tolerances(double default_atol) const {
  std::vector<double> atol(names_.size());
  for (size_t i = 0; i < names_.size(); ++i) {
    const std::string& kind = kind_names()[kinds_[i]];
    const auto it = absolute_by_kind_.find(kind);
    atol[i] = it != absolute_by_kind_.end() ? it->second : default_atol * tolerance_scale(kind);
  }
  return atol;
}

void Network::initial_values(double* y, double* yp) const {
  std::copy(y0_.begin(), y0_.end(), y);
  std::fill_n(yp, y0_.size(), 0.0);
}

// out(k, f): the element's k-th equation has the residual f.
template <typename Out>
void Network::element_residual(Element& el, double t, const double* y, const double* yp, Out out) {
  fill(el, t, y);
  for (size_t k = 0; k < el.equations.size(); ++k) {
    const Eq& eq = el.equations[k];
    double f = 0.0;
    if (eq.differential >= 0) {
      const Input& in = el.inputs[static_cast<size_t>(eq.differential)];
      if (in.source == Source::unknown) f += eq.mass * yp[in.index];
    }
    if (eq.residual) f -= el.instance->residual(k, x_.data(), el.modes.data());
    for (const auto& [i, c] : eq.linear) f -= c * x_[static_cast<size_t>(i)];
    out(k, f);
  }
}

std::vector<DaeSystem::ConstantRow> Network::constant_rows() const {
  std::vector<ConstantRow> rows;
  rows.reserve(relations_.size());
  for (const Relation& r : relations_) {
    ConstantRow row{.row = static_cast<size_t>(r.row), .terms = {}};
    for (const auto& [u, c] : r.terms) row.terms.emplace_back(static_cast<size_t>(u), c);
    rows.push_back(std::move(row));
  }
  return rows;
}

void Network::residual(double t, const double* y, const double* yp, double* F) {
  for (Element& el : elements_) element_residual(el, t, y, yp, [&](size_t k, double f) { F[el.equations[k].row] = f; });
  for (const Relation& r : relations_) {
    double f = 0.0;
    for (const auto& [u, c] : r.terms) f += c * y[u];
    F[r.row] = f;
  }
  for (SignalRow& r : signal_rows_) F[r.row] = y[r.unknown] - signal_value(r, t, y);
  pipes_.residual(t, y, F);
}

void Network::jacobian(double t, const double* y, const double* /*yp*/, double cj, double* values) {
  std::copy(constant_values_.begin(), constant_values_.end(), values);
  for (Element& el : elements_) {
    bool filled = false;
    for (size_t k = 0; k < el.equations.size(); ++k) {
      const Eq& eq = el.equations[k];
      if (eq.differential >= 0) {
        const int64_t at = eq.position[static_cast<size_t>(eq.differential)];
        if (at >= 0) values[at] += cj * eq.mass;
      }
      if (!eq.jacobian) continue;
      if (!filled) {
        fill(el, t, y);
        filled = true;
      }
      el.instance->residual_jacobian(k, x_.data(), el.modes.data(), row_.data());
      for (int i : eq.depends) {
        const int64_t at = eq.position[static_cast<size_t>(i)];
        if (at >= 0) values[at] -= row_[static_cast<size_t>(i)];
      }
    }
  }
  for (SignalRow& r : signal_rows_) {
    signal_value(r, t, y);  // the variables read, into sx_
    r.signal->gradient(t, sx_.data(), sd_.data());
    for (size_t j = 0; j < r.reads.size(); ++j)
      if (r.positions[j] >= 0) values[r.positions[j]] -= sd_[j];
  }
  pipes_.jacobian(t, y, values);
}

bool Network::renew(Element& el, double t, const double* y) {
  if (el.modes.empty()) return false;
  fill(el, t, y);
  el.instance->modes(x_.data(), el.modes.data(), el.renewed.data());
  if (el.renewed == el.modes) return false;
  el.modes.swap(el.renewed);
  renew_mass(el);
  return true;
}

void Network::part_roots(size_t part, double t, const double* y, double* g) {
  Element& el = elements_[part_element_[part]];
  fill(el, t, y);
  el.instance->zero_crossings(x_.data(), el.modes.data(), g);
}

bool Network::renew_part(size_t part, double t, const double* y) { return renew(elements_[part_element_[part]], t, y); }

void Network::part_residual(size_t part, double t, const double* y, const double* yp, double* F) {
  element_residual(elements_[part_element_[part]], t, y, yp, [F](size_t k, double f) { F[k] = f; });
}

bool Network::set_part_flags(size_t part, double t, const double* y, const std::vector<int32_t>& flags) {
  Element& el = elements_[part_element_[part]];
  if (flags.size() != el.modes.size()) return false;
  fill(el, t, y);
  el.modes = flags;
  renew_mass(el);
  return true;
}

// The compressed columns of the structure, rows ascending in each column: counted, then laid in
// row order.
void Network::build_pattern() {
  std::vector<int64_t>& starts = pattern_.column_starts;
  starts.assign(names_.size() + 1, 0);
  for (std::vector<int>& columns : structure_) {
    std::sort(columns.begin(), columns.end());
    columns.erase(std::unique(columns.begin(), columns.end()), columns.end());
    for (const int u : columns) ++starts[static_cast<size_t>(u) + 1];
  }
  for (size_t c = 0; c < names_.size(); ++c) starts[c + 1] += starts[c];
  pattern_.row_indices.assign(static_cast<size_t>(starts.back()), 0);
  std::vector<int64_t> next(starts.begin(), starts.end() - 1);
  for (size_t row = 0; row < structure_.size(); ++row)
    for (const int u : structure_[row])
      pattern_.row_indices[static_cast<size_t>(next[static_cast<size_t>(u)]++)] = static_cast<int64_t>(row);

  constant_values_.assign(pattern_.row_indices.size(), 0.0);
  for (const Relation& r : relations_) {
    for (const auto& [u, c] : r.terms) constant_values_[static_cast<size_t>(position(r.row, u))] += c;
  }
  for (Element& el : elements_) {
    for (Eq& eq : el.equations) {
      eq.position.assign(el.inputs.size(), -1);
      for (size_t i = 0; i < el.inputs.size(); ++i) {
        if (el.inputs[i].source == Source::unknown)
          eq.position[i] = static_cast<int32_t>(position(eq.row, el.inputs[i].index));
      }
      for (const auto& [i, c] : eq.linear) {
        const int64_t at = eq.position[static_cast<size_t>(i)];
        if (at >= 0) constant_values_[static_cast<size_t>(at)] -= c;
      }
    }
  }
  for (SignalRow& r : signal_rows_) {
    constant_values_[static_cast<size_t>(position(r.row, r.unknown))] += 1.0;
    r.positions.clear();
    for (const Input& in : r.reads)
      r.positions.push_back(in.source == Source::unknown ? position(r.row, in.index) : -1);
  }
  pipes_.locate([this](int row, int col) { return position(row, col); });
}

int64_t Network::position(int row, int col) const {
  const auto begin = pattern_.row_indices.begin() + pattern_.column_starts[static_cast<size_t>(col)];
  const auto end = pattern_.row_indices.begin() + pattern_.column_starts[static_cast<size_t>(col) + 1];
  const auto it = std::lower_bound(begin, end, static_cast<int64_t>(row));
  if (it == end || *it != row) return -1;
  return it - pattern_.row_indices.begin();
}

void Network::check_structure(const NetworkSpec& spec) const {
  const StructuralFaults faults = structural_faults(structure_, names_.size());
  if (!faults.empty()) throw structure_error(spec, faults);
}

// What a structural fault is blamed on: the first component named, and the ports left
// unconnected whose nodes are named.
struct Culprits {
  const ElementSpec* first = nullptr;
  std::vector<std::string> unconnected;
};

std::string owner_name(const NetworkSpec& spec, int owner, Culprits& culprits) {
  if (owner >= 0) {
    const ElementSpec& es = spec.elements[static_cast<size_t>(owner)];
    if (culprits.first == nullptr) culprits.first = &es;
    return "'" + es.name + "' (" + es.description->name + ")";
  }
  const NodeSpec& node = spec.nodes[static_cast<size_t>(-owner - 2)];
  auto& list = culprits.unconnected;
  if (!node.unconnected.empty() && std::find(list.begin(), list.end(), node.unconnected) == list.end()) {
    list.push_back(node.unconnected);
  }
  return "node '" + node.name + "'";
}

// One line per owner, in the order first met: at most 8 owners with at most 6 items each.
std::string by_owner(const NetworkSpec& spec, const std::vector<std::pair<int, std::string>>& items,
                     Culprits& culprits) {
  std::map<std::string, std::vector<std::string>> listed;
  std::vector<std::string> order;
  for (const auto& [owner, item] : items) {
    const std::string who = owner_name(spec, owner, culprits);
    if (listed.count(who) == 0) order.push_back(who);
    listed[who].push_back(item);
  }
  std::string text;
  for (size_t k = 0; k < order.size() && k < 8; ++k) {
    const auto& list = listed[order[k]];
    text += "\n    " + order[k] + ": ";
    for (size_t j = 0; j < list.size() && j < 6; ++j) text += (j > 0 ? ", " : "") + list[j];
    if (list.size() > 6) text += ", ...";
  }
  if (order.size() > 8) text += "\n    ... and " + std::to_string(order.size() - 8) + " more";
  return text;
}

// Names the unknowns and equations at fault with the components and nodes they belong to; the
// error is placed at the first component named.
ModelError Network::structure_error(const NetworkSpec& spec, const StructuralFaults& faults) const {
  Culprits culprits;
  std::string message = "the equations do not determine the unknowns (" + std::to_string(names_.size()) +
                        " unknowns, " + std::to_string(equation_names_.size()) + " equations)";
  if (!faults.under.empty()) {
    std::vector<std::pair<int, std::string>> items;
    for (int v : faults.under)
      items.emplace_back(variable_owner_[static_cast<size_t>(v)], names_[static_cast<size_t>(v)]);
    message += "\n  under-determined: too few equations for the variables of" + by_owner(spec, items, culprits);
  }
  if (!faults.over.empty()) {
    std::vector<std::pair<int, std::string>> items;
    for (int e : faults.over) {
      items.emplace_back(equation_owner_[static_cast<size_t>(e)], equation_names_[static_cast<size_t>(e)]);
    }
    message += "\n  over-determined: more equations than variables in" + by_owner(spec, items, culprits);
  }
  for (const auto& port : culprits.unconnected) message += "\n  port '" + port + "' is not connected";
  if (!culprits.unconnected.empty()) message += "; connect it, or join it to 'ref'";
  const ElementSpec* culprit =
      culprits.first != nullptr ? culprits.first : (spec.elements.empty() ? nullptr : &spec.elements.front());
  return ModelError(culprit != nullptr ? *culprit->mark : SourceMark{spec.file, 0, 0}, message);
}

}  // namespace

std::unique_ptr<DaeSystem> assemble(NetworkSpec spec, CheckReport* report) {
  return std::make_unique<Network>(std::move(spec), report);
}

}  // namespace penstock::sim::detail
