// SPDX-License-Identifier: BSD-3-Clause
// Each network description beside a plug-in names only what the plug-in's component declares: its
// ports' across inputs, its own inputs in every role, its parameters; and every own input that
// the network does not set (no branch, no across relation, no signal) is given a kind, an output,
// a start value or a default, so that a renamed input cannot leave its description behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "declared_rows.hpp"
#include "harness.hpp"
#include "penstock/sim/model.hpp"

namespace penstock::testing {
namespace {

bool contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

template <class Map>
std::vector<std::string> keys(const Map& m) {
  std::vector<std::string> out;
  out.reserve(m.size());
  for (const auto& [key, value] : m) out.push_back(key);
  return out;
}

// What the description d names that the declaration c does not declare, and what c declares that
// d leaves unsaid; empty when they fit.
std::vector<std::string> misfits(const sim::Description& d, const declared::Component& c) {
  std::vector<std::string> faults;
  std::vector<std::string> own;  // the inputs that are no port's variable
  for (const std::string& in : c.inputs) {
    if (in.find('.') == std::string::npos) own.push_back(in);
  }

  for (const auto& port : d.ports) {
    const std::string across = port.name + "." + sim::across_name(port.domain);
    if (!contains(c.inputs, across)) faults.push_back("port " + port.name + ": '" + across + "' is not declared");
  }
  for (const std::string& in : c.inputs) {
    const size_t dot = in.find('.');
    if (dot == std::string::npos) continue;
    const sim::Description::Port* port = d.port(in.substr(0, dot));
    if (port == nullptr) {
      faults.push_back("input '" + in + "' names no port");
    } else if (in.substr(dot + 1) != sim::across_name(port->domain)) {
      faults.push_back("input '" + in + "' is not the across variable of port " + port->name);
    }
  }
  for (const std::string& p : c.params) {
    const size_t dot = p.find('.');
    if (dot == std::string::npos) continue;
    const sim::Description::Port* port = d.port(p.substr(0, dot));
    if (port == nullptr || port->domain != sim::Domain::hydraulic) {
      faults.push_back("fluid parameter '" + p + "' names no hydraulic port");
    }
  }

  std::vector<std::string> branches;
  for (const auto& b : d.branches) branches.push_back(b.through);
  std::vector<std::string> across;
  for (const auto& a : d.across) across.push_back(a.variable);
  auto must_be_own = [&](const char* role, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
      if (!contains(own, name)) faults.push_back(role + (" '" + name) + "' is not a declared input");
    }
  };
  must_be_own("branch", branches);
  must_be_own("across variable", across);
  must_be_own("signal", d.signals);
  must_be_own("output", d.outputs);
  must_be_own("variable", keys(d.kinds));
  must_be_own("start value of", keys(d.start));
  must_be_own("start default of", keys(d.defaults));

  for (const auto& [variable, parameter] : d.start) {
    if (!contains(c.params, parameter)) faults.push_back("start parameter '" + parameter + "' is not declared");
  }
  for (const auto& p : d.parameters) {
    if (!contains(c.params, p.name)) faults.push_back("parameter '" + p.name + "' is not declared");
  }

  std::set<std::string> said;
  for (const auto& names : {branches, across, d.signals, d.outputs, keys(d.kinds), keys(d.start), keys(d.defaults)}) {
    said.insert(names.begin(), names.end());
  }
  for (const std::string& in : own) {
    if (said.count(in) == 0) faults.push_back("input '" + in + "' is mentioned nowhere");
  }
  return faults;
}

std::string joined(const std::vector<std::string>& faults) {
  std::string out;
  for (const std::string& f : faults) out += "\n  " + f;
  return out;
}

class Descriptions : public ::testing::TestWithParam<declared::Component> {};

TEST_P(Descriptions, NameWhatTheirComponentDeclares) {
  const declared::Component& c = GetParam();
  const std::filesystem::path file = plugin_path(c.name).replace_extension(".yaml");
  if (!std::filesystem::exists(file)) GTEST_SKIP() << file << " is not built";
  const sim::Description d = sim::read_description(file);
  EXPECT_TRUE(misfits(d, c).empty()) << file << ":" << joined(misfits(d, c));
}

INSTANTIATE_TEST_SUITE_P(Library, Descriptions, ::testing::ValuesIn(declarations()), name_of);

// Descriptions written wrong on purpose, beside the real declarations, in a folder of their own.
class BrokenDescription : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove_all(dir_); }

  const declared::Component& declaration(const std::string& name) {
    for (const declared::Component& c : declared::library()) {
      if (c.name == name) return c;
    }
    throw std::out_of_range("no declaration of " + name);
  }

  // The faults of the description text against the declaration of `name`.
  std::vector<std::string> faults(const std::string& name, const std::string& text) {
    std::filesystem::create_directories(dir_);
    const std::filesystem::path file = dir_ / (name + ".yaml");
    std::ofstream(file) << text;
    return misfits(sim::read_description(file), declaration(name));
  }

  const std::filesystem::path dir_ =
      std::filesystem::temp_directory_path() / ("penstock_descriptions_" + std::to_string(::getpid()));
};

// As the real Tank.yaml, but with its volume under an old name, V having been renamed.
constexpr const char* kTankWithAnOldName = R"(component: Tank
ports:
  A: hydraulic
branches:
  q: A -> ref
across:
  p: A
variables:
  z: level
  Vol: volume
  Qin: flow
outputs: [z, Vol, q, p]
start:
  z: z_ini
parameters:
  A.density: {unit: kg/m3}
  Area: {unit: m2}
  z_ini: {unit: m}
  gravity: {unit: m/s2, default: 9.81}
)";

TEST_F(BrokenDescription, ARenamedInputLeftUnderItsOldName) {
  const std::vector<std::string> f = faults("Tank", kTankWithAnOldName);
  EXPECT_TRUE(contains(f, "variable 'Vol' is not a declared input")) << joined(f);
  EXPECT_TRUE(contains(f, "output 'Vol' is not a declared input")) << joined(f);
  EXPECT_TRUE(contains(f, "input 'V' is mentioned nowhere")) << joined(f);
  EXPECT_EQ(f.size(), 3U) << joined(f);
}

TEST_F(BrokenDescription, AMisspeltSignalStartParameterAndParameter) {
  std::string text = kTankWithAnOldName;
  text.replace(text.find("Vol: volume"), 11, "V: volume");
  text.replace(text.find("z, Vol"), 6, "z, V");
  EXPECT_TRUE(faults("Tank", text).empty()) << joined(faults("Tank", text));

  text.replace(text.find("z: z_ini"), 8, "z: z_init");
  text.replace(text.find("Area:"), 5, "Aera:");
  const std::vector<std::string> f = faults("Tank", text);
  EXPECT_TRUE(contains(f, "start parameter 'z_init' is not declared")) << joined(f);
  EXPECT_TRUE(contains(f, "parameter 'Aera' is not declared")) << joined(f);

  const std::vector<std::string> valve = faults("Orifice", R"(component: Orifice
ports: {A: hydraulic, B: hydraulic}
branches: {q: A -> B}
across: {p: A - B}
signals: [kv]
outputs: [q, p]
)");
  EXPECT_TRUE(contains(valve, "signal 'kv' is not a declared input")) << joined(valve);
  EXPECT_TRUE(contains(valve, "input 'Kv' is mentioned nowhere")) << joined(valve);
}

TEST_F(BrokenDescription, PortsThatDoNotMatchTheDeclaredPortVariables) {
  const std::vector<std::string> renamed = faults("Orifice", R"(component: Orifice
ports: {A: hydraulic, P: hydraulic}
branches: {q: A -> P}
across: {p: A - P}
signals: [Kv]
)");
  EXPECT_TRUE(contains(renamed, "port P: 'P.p' is not declared")) << joined(renamed);
  EXPECT_TRUE(contains(renamed, "input 'B.p' names no port")) << joined(renamed);
  EXPECT_TRUE(contains(renamed, "fluid parameter 'B.density' names no hydraulic port")) << joined(renamed);

  const std::vector<std::string> domain = faults("GridMachine", R"(component: GridMachine
ports: {G: hydraulic}
branches: {t: G -> ref}
signals: [n_syn, syn_enable]
variables: {on_grid: logical, ochrana: logical, control: logical}
)");
  EXPECT_TRUE(contains(domain, "port G: 'G.p' is not declared")) << joined(domain);
  EXPECT_TRUE(contains(domain, "input 'G.w' is not the across variable of port G")) << joined(domain);
  EXPECT_EQ(domain.size(), 2U) << joined(domain);
}

}  // namespace
}  // namespace penstock::testing
