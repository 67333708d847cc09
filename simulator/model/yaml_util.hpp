// SPDX-License-Identifier: BSD-3-Clause
// Reading YAML with the place of every fault: file, line and column.
#pragma once

#include <yaml-cpp/yaml.h>

#include <string>
#include <vector>

#include "penstock/sim/model.hpp"

namespace penstock::sim::detail {

class YamlFile {
 public:
  explicit YamlFile(std::string file) : file_(std::move(file)) {}
  const std::string& name() const { return file_; }

  // Parses the file; a syntax error, or a key given twice in a map, becomes a ModelError at its place.
  YAML::Node load() const;
  // The same for the model given as text, its name that of the file.
  YAML::Node parse(const std::string& text) const;

  // Nodes that did not come from the file but were put into its tree (a script's change of a
  // value): their place is the origin given, "model.yaml (set pipe.a = 1100 m/s)", with no line.
  // The node and everything under it.
  void set_origin(const YAML::Node& node, const std::string& origin);

  SourceMark mark(const YAML::Node& node) const;
  [[noreturn]] void fail(const YAML::Node& node, const std::string& message) const;
  [[noreturn]] void fail(const SourceMark& where, const std::string& message) const;

  std::string text(const YAML::Node& node, const std::string& what) const;
  // A decimal number, finite in SI, with any unit of units.hpp or none.
  double number(const YAML::Node& node, const std::string& what) const;
  // The same in `unit` (e.g. "s", "kg/m3", "1" for a pure number): a unit written with it must be
  // of that unit's dimension.
  double number(const YAML::Node& node, const std::string& what, const std::string& unit) const;
  // A number already read: its unit, when one is written, of the dimension of `unit`.
  void check_unit(const YAML::Node& node, const std::string& what, const std::string& unit) const;
  // Keys of a map that are not among the allowed ones are an error with a "did you mean".
  void only_keys(const YAML::Node& map, const std::vector<std::string>& allowed, const std::string& what) const;
  void expect_map(const YAML::Node& node, const std::string& what) const;
  void expect_sequence(const YAML::Node& node, const std::string& what) const;

 private:
  void no_duplicate_keys(const YAML::Node& node) const;
  [[noreturn]] void syntax_error(const YAML::ParserException& e, const std::string& line) const;
  std::string file_;
  std::vector<std::pair<YAML::Node, std::string>> origins_;
};

// ", did you mean 'x'?" or "".
std::string did_you_mean(const std::string& name, const std::vector<std::string>& candidates);

}  // namespace penstock::sim::detail
