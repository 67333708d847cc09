// The catalogue: every plug-in with its network description in the searched folders.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <sstream>

#include "penstock/engine.hpp"
#include "penstock/sim/model.hpp"

namespace penstock::sim {

namespace {

std::filesystem::path program_dir() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path{} : exe.parent_path();
}

bool contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

// The description must name only inputs the plug-in declares, and bind every dotted input to a
// port of the right domain.
void check_against(const Description& d, const engine::Plugin& plugin, const std::vector<std::string>& params) {
  const std::vector<std::string>& inputs = plugin.group().inputs;
  const std::vector<std::string> own(inputs.begin() + 1, inputs.end());
  auto fail = [&](const std::string& what) {
    throw ModelError(d.mark, "the description of " + d.name + " does not fit " + plugin.path().string() + ": " + what);
  };
  auto must_be_input = [&](const std::string& name, const std::string& role) {
    if (!contains(own, name)) fail(role + " '" + name + "' is not among its inputs");
    if (name.find('.') != std::string::npos) fail(role + " '" + name + "' is a port variable");
  };
  for (const std::string& in : own) {
    const size_t dot = in.find('.');
    if (dot == std::string::npos) continue;
    const Description::Port* port = d.port(in.substr(0, dot));
    if (port == nullptr) fail("input '" + in + "' names no port of the description");
    if (in.substr(dot + 1) != across_name(port->domain)) {
      fail("input '" + in + "' is not the across variable of the " + domain_name(port->domain) + " port " + port->name);
    }
  }
  for (const auto& port : d.ports) {
    if (!contains(own, port.name + "." + across_name(port.domain))) {
      fail("port " + port.name + " has no input '" + port.name + "." + across_name(port.domain) + "'");
    }
  }
  std::set<std::string> network;
  for (const auto& b : d.branches) {
    must_be_input(b.through, "branch variable");
    network.insert(b.through);
  }
  for (const auto& a : d.across) {
    must_be_input(a.variable, "across variable");
    network.insert(a.variable);
  }
  for (const auto& s : d.signals) {
    must_be_input(s, "signal");
    if (network.count(s) != 0) fail("signal '" + s + "' is also a branch or across variable");
  }
  for (const auto& o : d.outputs) must_be_input(o, "output");
  for (const auto& [v, kind] : d.kinds) must_be_input(v, "variable");
  for (const auto& [v, p] : d.defaults) must_be_input(v, "start default of");
  for (const auto& [v, p] : d.start) {
    must_be_input(v, "start value of");
    if (!contains(params, p)) fail("start parameter '" + p + "' is not among its parameters");
  }
  for (const auto& p : d.parameters) {
    if (!contains(params, p.name)) fail("parameter '" + p.name + "' is not among its parameters");
  }
}

}  // namespace

Catalogue::Catalogue(const std::vector<std::filesystem::path>& directories) {
  for (const auto& dir : directories) add_directory(dir);
}

std::vector<std::filesystem::path> Catalogue::default_directories() {
  std::vector<std::filesystem::path> dirs;
  if (const char* path = std::getenv("PENSTOCK_PLUGIN_PATH")) {
    std::stringstream ss(path);
    std::string item;
    while (std::getline(ss, item, ':')) {
      if (!item.empty()) dirs.emplace_back(item);
    }
  }
  const std::filesystem::path bin = program_dir();
  if (!bin.empty()) {
    dirs.push_back(bin.parent_path() / "plugins");
    dirs.push_back(bin.parent_path() / "builtins");
  }
  return dirs;
}

void Catalogue::add_directory(const std::filesystem::path& directory) {
  std::error_code ec;
  if (!std::filesystem::is_directory(directory, ec)) return;
  directories_.push_back(directory);
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(directory, ec)) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    const std::string name = file.stem().string();
    if (file.extension() == ".so") {
      if (!std::filesystem::exists(directory / (name + ".yaml"))) {
        problems_.push_back(file.string() + ": no network description " + name + ".yaml beside it");
      }
      continue;
    }
    if (file.extension() != ".yaml" || entries_.count(name) != 0) continue;
    const std::filesystem::path so = directory / (name + ".so");
    if (!std::filesystem::exists(so)) {
      add_host_element(file);  // or a description whose plug-in is not built
      continue;
    }
    try {
      entries_.emplace(name, Entry{read_description(file), so, nullptr, {}});
    } catch (const ModelError& e) {
      problems_.push_back(e.what());
    }
  }
}

// An element the host solves itself (a WavePipe) has a description and no plug-in.
void Catalogue::add_host_element(const std::filesystem::path& file) {
  try {
    Description d = read_description(file);
    if (d.host.empty()) return;
    std::vector<std::string> parameters;
    for (const auto& p : d.parameters) parameters.push_back(p.name);
    const std::string name = d.name;
    entries_.emplace(name, Entry{std::move(d), file, nullptr, std::move(parameters)});
  } catch (const ModelError&) {
    // a description whose plug-in is not built: not in the catalogue
  }
}

std::vector<std::string> Catalogue::names() const {
  std::vector<std::string> out;
  for (const auto& [name, e] : entries_) out.push_back(name);
  return out;
}

const Description* Catalogue::find(const std::string& name) const {
  const auto it = entries_.find(name);
  return it == entries_.end() ? nullptr : &it->second.description;
}

std::filesystem::path Catalogue::plugin_path(const std::string& name) const { return entry(name).plugin; }

const Catalogue::Entry& Catalogue::entry(const std::string& name) const {
  const auto it = entries_.find(name);
  if (it == entries_.end()) throw std::out_of_range("no component '" + name + "' in the catalogue");
  return it->second;
}

std::shared_ptr<const engine::Plugin> Catalogue::plugin(const std::string& name) const {
  const Entry& e = entry(name);
  if (!e.description.host.empty()) throw engine::PluginError(name + " is solved by the host: it has no plug-in");
  if (!e.loaded) {
    auto loaded = std::make_shared<const engine::Plugin>(e.plugin);
    std::vector<std::string> params = loaded->parameter_names();
    check_against(e.description, *loaded, params);
    e.parameters = std::move(params);
    e.loaded = std::move(loaded);
  }
  return e.loaded;
}

const std::vector<std::string>& Catalogue::parameter_names(const std::string& name) const {
  if (entry(name).description.host.empty()) plugin(name);
  return entry(name).parameters;
}

}  // namespace penstock::sim
