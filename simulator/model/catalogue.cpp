// SPDX-License-Identifier: BSD-3-Clause
// The catalogue: every plug-in with its network description in the folders the user allowed.
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

// The folder made absolute, without "." and "..".
std::filesystem::path absolute_folder(const std::filesystem::path& folder) {
  std::error_code ec;
  const std::filesystem::path path = std::filesystem::absolute(folder, ec);
  return (ec ? folder : path).lexically_normal();
}

bool same_folder(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code ec;
  return a == b || std::filesystem::equivalent(a, b, ec);
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

Catalogue::Catalogue(const std::vector<std::filesystem::path>& directories) : own_(own_directories()) {
  for (const auto& dir : directories) add_directory(dir);
}

Catalogue::Catalogue(const std::vector<std::filesystem::path>& directories, std::vector<std::filesystem::path> own)
    : own_(std::move(own)) {
  for (const auto& dir : directories) add_directory(dir);
}

std::vector<std::filesystem::path> Catalogue::own_directories() {
  const std::filesystem::path bin = program_dir();
  if (bin.empty()) return {};
  return own_directories(bin.parent_path());
}

std::vector<std::filesystem::path> Catalogue::own_directories(const std::filesystem::path& root) {
  std::vector<std::filesystem::path> dirs;
  for (const char* name : {"plugins", "builtins"}) {
    std::error_code ec;
    if (std::filesystem::is_directory(root / name, ec)) dirs.push_back(root / name);
  }
  return dirs;
}

std::vector<std::filesystem::path> Catalogue::default_directories() { return default_directories(own_directories()); }

std::vector<std::filesystem::path> Catalogue::default_directories(const std::vector<std::filesystem::path>& own) {
  std::vector<std::filesystem::path> dirs;
  if (const char* path = std::getenv("PENSTOCK_PLUGIN_PATH")) {
    std::stringstream ss(path);
    std::string item;
    // As in PATH, a folder that is not there is passed over; one given with --plugins is not.
    while (std::getline(ss, item, ':')) {
      std::error_code ec;
      if (!item.empty() && std::filesystem::is_directory(item, ec)) dirs.emplace_back(item);
    }
  }
  for (const auto& d : own) dirs.push_back(d);
  return dirs;
}

bool Catalogue::allows(const std::filesystem::path& folder) const {
  const std::filesystem::path dir = absolute_folder(folder);
  return std::any_of(directories_.begin(), directories_.end(),
                     [&dir](const std::filesystem::path& known) { return same_folder(known, dir); });
}

void Catalogue::add_directory(const std::filesystem::path& directory) {
  const std::filesystem::path dir = absolute_folder(directory);
  if (allows(dir)) return;  // a folder given twice is searched once
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) {
    errors_.push_back(directory.string() + ": no such plug-in folder");
    return;
  }
  directories_.push_back(dir);
  const bool external = std::none_of(own_.begin(), own_.end(),
                                     [&dir](const std::filesystem::path& own) { return same_folder(own, dir); });
  std::vector<std::filesystem::path> files;
  for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec)) {
    files.push_back(it->path());
  }
  if (ec) errors_.push_back(directory.string() + ": cannot read the plug-in folder: " + ec.message());
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    const std::string name = file.stem().string();
    const std::filesystem::path description = dir / (name + ".yaml");
    if (file.extension() == ".so") {
      // Without its description a plug-in is a fault, never a reason to take another of its name.
      if (!std::filesystem::exists(description, ec)) {
        claim(name, file);
        errors_.push_back(file.string() + ": no network description " + name + ".yaml beside it");
        continue;
      }
      try {
        Description d = read_description(description);
        if (claim(name, file)) entries_.emplace(name, Entry{std::move(d), file, external});
      } catch (const ModelError& e) {
        claim(name, file);
        errors_.push_back(std::string(e.what()) + " (the description of " + file.string() + ")");
      }
    } else if (file.extension() == ".yaml" && !std::filesystem::exists(dir / (name + ".so"), ec)) {
      add_host_element(file, external);  // or a description whose plug-in is not built
    }
  }
}

// Whether the name is free; one that a file in another folder bears already is a fault.
bool Catalogue::claim(const std::string& name, const std::filesystem::path& file) {
  const auto [first, fresh] = claimed_.emplace(name, file);
  if (fresh) return true;
  errors_.push_back("two components named " + name + ": " + first->second.string() + " and " + file.string() +
                    "; remove one, or leave its folder out");
  entries_.erase(name);
  return false;
}

// An element the host solves itself (a WavePipe) has a description and no plug-in.
void Catalogue::add_host_element(const std::filesystem::path& file, bool external) {
  try {
    Description d = read_description(file);
    if (d.host.empty()) return;
    const std::string name = d.name;
    if (!claim(name, file)) return;
    Entry& e = entries_.emplace(name, Entry{std::move(d), file, external}).first->second;
    for (const auto& p : e.description.parameters) e.loaded->parameters.push_back(p.name);
  } catch (const ModelError&) {
    // a description whose plug-in is not built, or no description at all: not in the catalogue
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
  // One thread loads; the others wait for it and share what it loaded.
  const std::lock_guard<std::mutex> lock(e.loaded->mutex);
  if (!e.loaded->plugin) {
    auto loaded = std::make_shared<const engine::Plugin>(e.plugin);
    std::vector<std::string> params = loaded->parameter_names();
    check_against(e.description, *loaded, params);
    e.loaded->parameters = std::move(params);
    e.loaded->plugin = std::move(loaded);
  }
  return e.loaded->plugin;
}

const std::vector<std::string>& Catalogue::parameter_names(const std::string& name) const {
  const Entry& e = entry(name);
  // Once the plug-in is loaded its parameters are never written again.
  if (e.description.host.empty()) plugin(name);
  return e.loaded->parameters;
}

std::vector<std::filesystem::path> Catalogue::external_plugins() const {
  std::vector<std::filesystem::path> out;
  for (const auto& [name, e] : entries_) {
    if (!e.external || !e.description.host.empty()) continue;
    const std::lock_guard<std::mutex> lock(e.loaded->mutex);
    if (e.loaded->plugin) out.push_back(e.plugin);
  }
  return out;
}

}  // namespace penstock::sim
