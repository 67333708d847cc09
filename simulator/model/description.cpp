// SPDX-License-Identifier: BSD-3-Clause
// Network descriptions: how a plug-in's element variables meet its ports.
#include <fmt/core.h>

#include <algorithm>
#include <set>

#include "penstock/sim/model.hpp"
#include "units.hpp"
#include "yaml_util.hpp"

namespace penstock::sim {

const char* domain_name(Domain d) { return d == Domain::hydraulic ? "hydraulic" : "rotational"; }
const char* across_name(Domain d) { return d == Domain::hydraulic ? "p" : "w"; }
const char* through_name(Domain d) { return d == Domain::hydraulic ? "q" : "t"; }

const Description::Port* Description::port(const std::string& n) const {
  for (const Port& p : ports) {
    if (p.name == n) return &p;
  }
  return nullptr;
}

const Description::Parameter* Description::parameter(const std::string& n) const {
  for (const Parameter& p : parameters) {
    if (p.name == n) return &p;
  }
  return nullptr;
}

bool Description::Range::contains(double v) const {
  switch (kind) {
    case Kind::positive:
      return v > 0.0;
    case Kind::non_negative:
      return v >= 0.0;
    case Kind::between:
      return v >= low && v <= high;
  }
  return false;
}

std::string Description::Range::text() const {
  switch (kind) {
    case Kind::positive:
      return "positive";
    case Kind::non_negative:
      return "non-negative";
    case Kind::between:
      return fmt::format("from {:g} to {:g}", low, high);
  }
  return "";
}

std::string Description::kind_of(const std::string& variable) const {
  std::string kind = "ratio";
  for (const Branch& b : branches) {
    if (b.through == variable)
      kind = port(b.from == "ref" ? b.to : b.from)->domain == Domain::hydraulic ? "flow" : "torque";
  }
  for (const Across& a : across) {
    if (a.variable == variable)
      kind = port(a.plus == "ref" ? a.minus : a.plus)->domain == Domain::hydraulic ? "pressure" : "speed";
  }
  if (const auto k = kinds.find(variable); k != kinds.end()) kind = k->second;
  return kind;
}

std::vector<std::string> Description::named_variables() const {
  std::vector<std::string> names;
  auto add = [&names](const std::string& variable) {
    if (std::find(names.begin(), names.end(), variable) == names.end()) names.push_back(variable);
  };
  for (const Branch& b : branches) add(b.through);
  for (const Across& a : across) add(a.variable);
  for (const auto& v : signals) add(v);
  for (const auto& v : outputs) add(v);
  for (const auto& [v, kind] : kinds) add(v);
  for (const auto& [v, from] : start) add(v);
  for (const auto& [v, value] : defaults) add(v);
  return names;
}

namespace {

using detail::YamlFile;

const std::vector<std::string> kKinds{"pressure", "flow",  "speed",   "torque", "level",
                                      "volume",   "power", "logical", "ratio",  "signal"};

std::string trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  const size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// "A -> B" or "A - B" or "A": the two terminals, "ref" for the reference.
std::pair<std::string, std::string> terminals(const YamlFile& f, const YAML::Node& node, const std::string& arrow,
                                              const Description& d) {
  const std::string text = f.text(node, "a terminal pair");
  const size_t at = text.find(arrow);
  std::string a = trim(at == std::string::npos ? text : text.substr(0, at));
  std::string b = at == std::string::npos ? "ref" : trim(text.substr(at + arrow.size()));
  std::vector<std::string> names{"ref"};
  for (const auto& p : d.ports) names.push_back(p.name);
  for (const std::string& t : {a, b}) {
    if (std::find(names.begin(), names.end(), t) == names.end()) {
      f.fail(node, "'" + t + "' is not a port of " + d.name + detail::did_you_mean(t, names));
    }
  }
  if (a == b) f.fail(node, "a branch or across relation joins '" + a + "' to itself");
  return {a, b};
}

// The component's name comes from the file's: one description may serve a plug-in built under
// two names (StorageSegment.yaml is installed as StorageLine.yaml too). 'component' must be there.
// A key that is true or false (false when absent).
bool flag(const YamlFile& f, const YAML::Node& root, const char* key) {
  const YAML::Node n = root[key];
  if (!n) return false;
  const std::string v = f.text(n, key);
  if (v != "true" && v != "false") f.fail(n, std::string(key) + " is true or false, not '" + v + "'");
  return v == "true";
}

void read_header(const YamlFile& f, const YAML::Node& root, const std::filesystem::path& file, Description& d) {
  d.mark = SourceMark{file.string(), 1, 1};
  if (!root["component"]) f.fail(SourceMark{file.string(), 1, 1}, "a network description needs 'component: <Name>'");
  f.text(root["component"], "component");
  d.name = file.stem().string();
  if (root["physics"]) d.physics = f.text(root["physics"], "physics");
  if (root["host"]) {
    d.host = f.text(root["host"], "host");
    if (d.host != "characteristics")
      f.fail(root["host"], "the host solves 'characteristics' (a WavePipe) itself, not '" + d.host + "'");
  }
  if (const YAML::Node notes = root["notes"]) {
    f.expect_sequence(notes, "notes");
    for (const auto& n : notes) d.notes.push_back(f.text(n, "a note"));
  }
  if (root["remedy"]) d.remedy = f.text(root["remedy"], "remedy");
  d.feedthrough = flag(f, root, "feedthrough");
  d.kinks = flag(f, root, "kinks");
  d.independent_switches = flag(f, root, "independent_switches");
}

// "A: hydraulic" or "A: {domain: hydraulic, unconnected: ref}".
Description::Port read_port(const YamlFile& f, const YAML::Node& key, const YAML::Node& value) {
  Description::Port p;
  p.name = key.Scalar();
  if (p.name == "ref" || p.name.find('.') != std::string::npos) f.fail(key, "'" + p.name + "' cannot name a port");
  std::string domain;
  if (value.IsMap()) {
    f.only_keys(value, {"domain", "unconnected"}, "a port");
    domain = f.text(value["domain"], "the port's domain");
    if (value["unconnected"]) {
      const std::string u = f.text(value["unconnected"], "unconnected");
      if (u != "ref" && u != "node") f.fail(value["unconnected"], "unconnected is 'ref' or 'node', not '" + u + "'");
      p.ground_if_unconnected = u == "ref";
      p.own_node_if_unconnected = u == "node";
    }
  } else {
    domain = f.text(value, "the port's domain");
  }
  if (domain == "hydraulic") {
    p.domain = Domain::hydraulic;
  } else if (domain == "rotational") {
    p.domain = Domain::rotational;
  } else {
    f.fail(value, "unknown domain '" + domain + "'" + detail::did_you_mean(domain, {"hydraulic", "rotational"}));
  }
  return p;
}

// A control block has no ports: its inputs are signals and its outputs own variables.
void read_ports(const YamlFile& f, const YAML::Node& root, Description& d) {
  const YAML::Node ports = root["ports"];
  if (!ports) return;
  f.expect_map(ports, "ports");
  for (const auto& kv : ports) d.ports.push_back(read_port(f, kv.first, kv.second));
}

// "q: A -> B": q is carried from A to B.
void read_branches(const YamlFile& f, const YAML::Node& root, Description& d) {
  const YAML::Node branches = root["branches"];
  if (!branches) return;
  f.expect_map(branches, "branches");
  for (const auto& kv : branches) {
    const auto [from, to] = terminals(f, kv.second, "->", d);
    if (kv.second.Scalar().find("->") == std::string::npos) f.fail(kv.second, "a branch reads 'A -> B' or 'A -> ref'");
    d.branches.push_back({kv.first.Scalar(), from, to});
  }
}

// "p: A - B": p = A.p - B.p.
void read_across(const YamlFile& f, const YAML::Node& root, Description& d) {
  const YAML::Node across = root["across"];
  if (!across) return;
  f.expect_map(across, "across");
  for (const auto& kv : across) {
    const auto [plus, minus] = terminals(f, kv.second, " - ", d);
    d.across.push_back({kv.first.Scalar(), plus, minus});
  }
}

// A port's domain must agree with every branch and relation through it.
void check_domains(const YamlFile& f, const YAML::Node& root, const Description& d) {
  auto domain_of = [&](const std::string& t) { return t == "ref" ? std::optional<Domain>{} : d.port(t)->domain; };
  for (const auto& b : d.branches) {
    const auto x = domain_of(b.from), y = domain_of(b.to);
    if (x && y && *x != *y)
      f.fail(root["branches"][b.through], "branch '" + b.through + "' joins ports of two domains");
  }
  for (const auto& a : d.across) {
    const auto x = domain_of(a.plus), y = domain_of(a.minus);
    if (x && y && *x != *y) f.fail(root["across"][a.variable], "'" + a.variable + "' relates ports of two domains");
  }
}

// A list of variable names under the key, when there is one.
void read_names(const YamlFile& f, const YAML::Node& root, const char* key, std::vector<std::string>& out) {
  if (const YAML::Node list = root[key]) {
    f.expect_sequence(list, key);
    for (const auto& n : list) out.push_back(f.text(n, key));
  }
}

// "variables: {z: level}": the kinds the description states.
void read_kinds(const YamlFile& f, const YAML::Node& root, Description& d) {
  const YAML::Node vars = root["variables"];
  if (!vars) return;
  f.expect_map(vars, "variables");
  for (const auto& kv : vars) {
    const std::string kind = f.text(kv.second, "a variable's kind");
    if (std::find(kKinds.begin(), kKinds.end(), kind) == kKinds.end()) {
      f.fail(kv.second, "unknown kind of variable '" + kind + "'" + detail::did_you_mean(kind, kKinds));
    }
    d.kinds[kv.first.Scalar()] = kind;
  }
}

// "start: {z: z_ini}" (the parameter a start value is taken from) and "defaults: {control: 1}".
void read_start(const YamlFile& f, const YAML::Node& root, Description& d) {
  if (const YAML::Node start = root["start"]) {
    f.expect_map(start, "start");
    for (const auto& kv : start) d.start[kv.first.Scalar()] = f.text(kv.second, "a start parameter");
  }
  if (const YAML::Node defaults = root["defaults"]) {
    f.expect_map(defaults, "defaults");
    for (const auto& kv : defaults) d.defaults[kv.first.Scalar()] = f.number(kv.second, "a default start value");
  }
}

// "domain: positive", "domain: non-negative" or "domain: [low, high]", in the parameter's unit.
Description::Range read_domain(const YamlFile& f, const YAML::Node& node, const std::string& unit) {
  using Range = Description::Range;
  if (node.IsSequence()) {
    if (node.size() != 2) f.fail(node, "a domain range is [low, high]");
    Range r{Range::Kind::between, f.number(node[0], "a domain's low end", unit),
            f.number(node[1], "a domain's high end", unit)};
    if (!(r.low <= r.high)) f.fail(node, "a domain range [low, high] has low <= high");
    return r;
  }
  const std::string text = f.text(node, "domain");
  if (text == "positive") return Range{Range::Kind::positive};
  if (text == "non-negative") return Range{Range::Kind::non_negative};
  f.fail(node, "a domain is positive, non-negative or [low, high], not '" + text + "'" +
                   detail::did_you_mean(text, {"positive", "non-negative"}));
}

// "dx: {unit: m, doc: ..., default: 1, fluid: density, domain: positive}", or "dx: what it means",
// or "dx:".
Description::Parameter read_parameter(const YamlFile& f, const YAML::Node& key, const YAML::Node& value) {
  Description::Parameter p;
  p.name = key.Scalar();
  if (value.IsMap()) {
    f.only_keys(value, {"unit", "doc", "default", "fluid", "domain", "required"}, "a parameter");
    if (value["unit"]) p.unit = f.text(value["unit"], "unit");
    if (!p.unit.empty() && !detail::find_unit(p.unit)) f.fail(value["unit"], "unknown unit '" + p.unit + "'");
    if (value["doc"]) p.doc = f.text(value["doc"], "doc");
    if (value["default"]) p.default_value = f.number(value["default"], "default", p.unit);
    if (value["fluid"]) p.fluid = f.text(value["fluid"], "fluid");
    if (value["domain"]) p.domain = read_domain(f, value["domain"], p.unit);
    if (value["required"]) {
      const std::string r = f.text(value["required"], "required");
      if (r != "true" && r != "false") f.fail(value["required"], "required is true or false, not '" + r + "'");
      p.required = r == "true";
      if (p.required && p.default_value)
        f.fail(value["required"], "'" + p.name + "' has a default: a model need not give it, so it is not required");
    }
    if (p.domain && p.default_value && !p.domain->contains(*p.default_value)) {
      f.fail(value["default"], fmt::format("the default of '{}' is outside its domain ({})", p.name, p.domain->text()));
    }
  } else if (!value.IsNull()) {
    p.doc = f.text(value, "a parameter's meaning");
  }
  return p;
}

void read_parameters(const YamlFile& f, const YAML::Node& root, Description& d) {
  const YAML::Node params = root["parameters"];
  if (!params) return;
  f.expect_map(params, "parameters");
  for (const auto& kv : params) d.parameters.push_back(read_parameter(f, kv.first, kv.second));
}

}  // namespace

Description read_description(const std::filesystem::path& file) {
  const YamlFile f(file.string());
  const YAML::Node root = f.load();
  f.expect_map(root, "a network description");
  f.only_keys(root,
              {"component", "host", "physics", "notes", "remedy", "feedthrough", "kinks", "independent_switches",
               "ports", "branches", "across", "signals", "variables", "outputs", "start", "defaults", "parameters"},
              "a network description");
  Description d;
  read_header(f, root, file, d);
  read_ports(f, root, d);
  read_branches(f, root, d);
  read_across(f, root, d);
  check_domains(f, root, d);
  read_names(f, root, "signals", d.signals);
  read_names(f, root, "outputs", d.outputs);
  read_kinds(f, root, d);
  read_start(f, root, d);
  read_parameters(f, root, d);
  return d;
}

}  // namespace penstock::sim
