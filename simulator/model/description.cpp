// Network descriptions: how a plug-in's element variables meet its ports.
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

const std::vector<std::string> kKinds{"pressure", "flow",    "speed", "torque", "level",
                                      "volume",   "logical", "ratio", "signal"};

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

}  // namespace

Description read_description(const std::filesystem::path& file) {
  const YamlFile f(file.string());
  const YAML::Node root = f.load();
  f.expect_map(root, "a network description");
  f.only_keys(root,
              {"component", "physics", "notes", "ports", "branches", "across", "signals", "variables", "outputs",
               "start", "defaults", "parameters"},
              "a network description");
  Description d;
  d.mark = SourceMark{file.string(), 1, 1};
  if (!root["component"]) f.fail(SourceMark{file.string(), 1, 1}, "a network description needs 'component: <Name>'");
  // The catalogue knows a component by its file's name: one description may serve a plug-in built
  // under two names (StorageSegment.yaml is installed as StorageLine.yaml too).
  f.text(root["component"], "component");
  d.name = file.stem().string();
  if (root["physics"]) d.physics = f.text(root["physics"], "physics");
  if (const YAML::Node notes = root["notes"]) {
    f.expect_sequence(notes, "notes");
    for (const auto& n : notes) d.notes.push_back(f.text(n, "a note"));
  }

  const YAML::Node ports = root["ports"];
  if (!ports) f.fail(d.mark, d.name + " declares no ports");
  f.expect_map(ports, "ports");
  for (const auto& kv : ports) {
    Description::Port p;
    p.name = kv.first.Scalar();
    if (p.name == "ref" || p.name.find('.') != std::string::npos)
      f.fail(kv.first, "'" + p.name + "' cannot name a port");
    std::string domain;
    if (kv.second.IsMap()) {
      f.only_keys(kv.second, {"domain", "unconnected"}, "a port");
      domain = f.text(kv.second["domain"], "the port's domain");
      if (kv.second["unconnected"]) {
        const std::string u = f.text(kv.second["unconnected"], "unconnected");
        if (u != "ref" && u != "node")
          f.fail(kv.second["unconnected"], "unconnected is 'ref' or 'node', not '" + u + "'");
        p.ground_if_unconnected = u == "ref";
      }
    } else {
      domain = f.text(kv.second, "the port's domain");
    }
    if (domain == "hydraulic") {
      p.domain = Domain::hydraulic;
    } else if (domain == "rotational") {
      p.domain = Domain::rotational;
    } else {
      f.fail(kv.second, "unknown domain '" + domain + "'" + detail::did_you_mean(domain, {"hydraulic", "rotational"}));
    }
    d.ports.push_back(p);
  }

  if (const YAML::Node branches = root["branches"]) {
    f.expect_map(branches, "branches");
    for (const auto& kv : branches) {
      const auto [from, to] = terminals(f, kv.second, "->", d);
      if (kv.second.Scalar().find("->") == std::string::npos)
        f.fail(kv.second, "a branch reads 'A -> B' or 'A -> ref'");
      d.branches.push_back({kv.first.Scalar(), from, to});
    }
  }
  if (const YAML::Node across = root["across"]) {
    f.expect_map(across, "across");
    for (const auto& kv : across) {
      const auto [plus, minus] = terminals(f, kv.second, " - ", d);
      d.across.push_back({kv.first.Scalar(), plus, minus});
    }
  }
  // A port's domain must agree with every branch and relation through it.
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

  auto names = [&](const char* key, std::vector<std::string>& out) {
    if (const YAML::Node list = root[key]) {
      f.expect_sequence(list, key);
      for (const auto& n : list) out.push_back(f.text(n, key));
    }
  };
  names("signals", d.signals);
  names("outputs", d.outputs);
  if (const YAML::Node vars = root["variables"]) {
    f.expect_map(vars, "variables");
    for (const auto& kv : vars) {
      const std::string kind = f.text(kv.second, "a variable's kind");
      if (std::find(kKinds.begin(), kKinds.end(), kind) == kKinds.end()) {
        f.fail(kv.second, "unknown kind of variable '" + kind + "'" + detail::did_you_mean(kind, kKinds));
      }
      d.kinds[kv.first.Scalar()] = kind;
    }
  }
  if (const YAML::Node start = root["start"]) {
    f.expect_map(start, "start");
    for (const auto& kv : start) d.start[kv.first.Scalar()] = f.text(kv.second, "a start parameter");
  }
  if (const YAML::Node defaults = root["defaults"]) {
    f.expect_map(defaults, "defaults");
    for (const auto& kv : defaults) d.defaults[kv.first.Scalar()] = f.number(kv.second, "a default start value");
  }
  if (const YAML::Node params = root["parameters"]) {
    f.expect_map(params, "parameters");
    for (const auto& kv : params) {
      Description::Parameter p;
      p.name = kv.first.Scalar();
      if (kv.second.IsMap()) {
        f.only_keys(kv.second, {"unit", "doc", "default", "fluid"}, "a parameter");
        if (kv.second["unit"]) p.unit = f.text(kv.second["unit"], "unit");
        if (kv.second["doc"]) p.doc = f.text(kv.second["doc"], "doc");
        if (kv.second["default"]) p.default_value = f.number(kv.second["default"], "default");
        if (kv.second["fluid"]) p.fluid = f.text(kv.second["fluid"], "fluid");
      } else if (!kv.second.IsNull()) {
        p.doc = f.text(kv.second, "a parameter's meaning");
      }
      if (!p.unit.empty() && !detail::find_unit(p.unit)) {
        f.fail(kv.second["unit"], "unknown unit '" + p.unit + "'");
      }
      d.parameters.push_back(p);
    }
  }
  return d;
}

}  // namespace penstock::sim
