// SPDX-License-Identifier: BSD-3-Clause
#include "yaml_util.hpp"

#include <fmt/core.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ios>
#include <sstream>
#include <string_view>
#include <system_error>
#include <unordered_map>

#include "units.hpp"

namespace penstock::sim {

ModelError::ModelError(SourceMark where, const std::string& message)
    : std::runtime_error(where.line > 0 ? where.file + ":" + std::to_string(where.line) + ":" +
                                              std::to_string(where.column) + ": error: " + message
                                        : where.file + ": error: " + message),
      where_(std::move(where)),
      message_(message) {}

size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      const bool same =
          std::tolower(static_cast<unsigned char>(a[i - 1])) == std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string closest(const std::string& name, const std::vector<std::string>& candidates) {
  std::string best;
  size_t best_distance = std::max<size_t>(2, name.size() / 3) + 1;
  for (const auto& c : candidates) {
    const size_t d = edit_distance(name, c);
    if (d < best_distance) {
      best_distance = d;
      best = c;
    }
  }
  return best;
}

namespace detail {

std::string did_you_mean(const std::string& name, const std::vector<std::string>& candidates) {
  const std::string best = closest(name, candidates);
  return best.empty() ? "" : "; did you mean '" + best + "'?";
}

// A key given twice in one map: YAML leaves it to the reader, and yaml-cpp keeps both pairs, of
// which a lookup finds the first and a walk over the map meets both. The keys are looked up as
// views of the parsed text with their lines: a map of thousands of components costs little more.
void YamlFile::no_duplicate_keys(const YAML::Node& node) const {
  if (node.IsSequence()) {
    for (const auto& item : node) no_duplicate_keys(item);
  }
  if (!node.IsMap()) return;
  std::unordered_map<std::string_view, int> lines;  // key -> the line of its first appearance
  lines.reserve(node.size());
  for (const auto& kv : node) {
    no_duplicate_keys(kv.second);
    if (!kv.first.IsScalar()) continue;
    const std::string& key = kv.first.Scalar();  // owned by the parsed tree, which outlives the map
    const auto [it, added] = lines.emplace(key, mark(kv.first).line);
    if (!added)
      fail(kv.first,
           fmt::format("'{}' is given twice in this map (first at line {}): give each key once", key, it->second));
  }
}

// A syntax error at its place, with a hint when the line holds a chain's section in a flow list.
void YamlFile::syntax_error(const YAML::ParserException& e, const std::string& line) const {
  std::string hint;
  const size_t close = line.find("].");
  const size_t open = close == std::string::npos ? close : line.rfind('[', close);
  if (open != std::string::npos && open > 0) {
    const size_t begin = line.find_last_of(" [,", open - 1) + 1;
    const size_t end = line.find_first_of(" ,]", close + 2);
    hint = "; inside [...] a chain section is quoted: \"" + line.substr(begin, end - begin) + "\"";
  }
  throw ModelError(SourceMark{file_, e.mark.line + 1, e.mark.column + 1}, "YAML syntax: " + e.msg + hint);
}

YAML::Node YamlFile::load() const {
  // A folder opens but cannot be read: told before it is tried.
  std::error_code ec;
  if (std::filesystem::is_directory(file_, ec))
    throw ModelError(SourceMark{file_, 0, 0}, "cannot read the model file: it is a folder");
  std::ifstream in(file_);
  if (!in) {
    throw ModelError(SourceMark{file_, 0, 0}, std::string("cannot read the model file: ") + std::strerror(errno));
  }
  YAML::Node root;
  try {
    root = YAML::Load(in);
  } catch (const YAML::ParserException& e) {
    std::ifstream again(file_);
    std::string line;
    for (int i = 0; i <= e.mark.line && std::getline(again, line);) ++i;
    syntax_error(e, line);
  } catch (const std::ios_base::failure& e) {  // a read that failed part way (a device, a vanished file)
    throw ModelError(SourceMark{file_, 0, 0}, std::string("cannot read the model file: ") + e.what());
  }
  no_duplicate_keys(root);
  return root;
}

YAML::Node YamlFile::parse(const std::string& text) const {
  YAML::Node root;
  try {
    root = YAML::Load(text);
  } catch (const YAML::ParserException& e) {
    std::istringstream again(text);
    std::string line;
    for (int i = 0; i <= e.mark.line && std::getline(again, line);) ++i;
    syntax_error(e, line);
  }
  no_duplicate_keys(root);
  return root;
}

void YamlFile::set_origin(const YAML::Node& node, const std::string& origin) {
  origins_.emplace_back(node, origin);
  if (node.IsMap()) {
    for (const auto& kv : node) {
      set_origin(kv.first, origin);
      set_origin(kv.second, origin);
    }
  } else if (node.IsSequence()) {
    for (const auto& item : node) set_origin(item, origin);
  }
}

SourceMark YamlFile::mark(const YAML::Node& node) const {
  if (!node.IsDefined()) return SourceMark{file_, 0, 0};
  for (const auto& [set, origin] : origins_)
    if (set.is(node)) return SourceMark{origin, 0, 0};
  const YAML::Mark m = node.Mark();
  if (m.line < 0) return SourceMark{file_, 0, 0};
  return SourceMark{file_, m.line + 1, m.column + 1};
}

void YamlFile::fail(const YAML::Node& node, const std::string& message) const { throw ModelError(mark(node), message); }
void YamlFile::fail(const SourceMark& where, const std::string& message) const { throw ModelError(where, message); }

std::string YamlFile::text(const YAML::Node& node, const std::string& what) const {
  if (!node.IsScalar()) fail(node, what + " must be a single value");
  return node.Scalar();
}

double YamlFile::number(const YAML::Node& node, const std::string& what) const {
  if (!node.IsScalar()) fail(node, what + " must be a number");
  std::optional<Quantity> q;
  try {
    q = parse_quantity(node.Scalar());
  } catch (const std::invalid_argument& e) {
    fail(node, what + ": " + e.what());
  }
  if (!q) fail(node, what + " must be a number, not '" + node.Scalar() + "'");
  return q->value;
}

double YamlFile::number(const YAML::Node& node, const std::string& what, const std::string& unit) const {
  const double value = number(node, what);
  check_unit(node, what, unit);
  return value;
}

void YamlFile::check_unit(const YAML::Node& node, const std::string& what, const std::string& unit) const {
  const std::optional<Quantity> q = parse_quantity(node.Scalar());
  const std::optional<Unit> expected = find_unit(unit);
  if (!q || q->unit.empty() || !expected) return;
  const std::string written = find_unit(q->unit)->dimension;
  if (written == expected->dimension) return;
  const std::string is = expected->dimension.empty() ? "is a pure number" : "is in " + unit;
  fail(node, fmt::format("{} {}, and '{}' is {}", what, is, node.Scalar(), dimension_phrase(written)));
}

void YamlFile::only_keys(const YAML::Node& map, const std::vector<std::string>& allowed,
                         const std::string& what) const {
  for (const auto& kv : map) {
    const std::string key = kv.first.Scalar();
    if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
      std::string list;
      for (const auto& a : allowed) list += (list.empty() ? "" : ", ") + a;
      fail(kv.first, fmt::format("unknown key '{}' in {}{} (known: {})", key, what, did_you_mean(key, allowed), list));
    }
  }
}

void YamlFile::expect_map(const YAML::Node& node, const std::string& what) const {
  if (!node.IsMap()) fail(node, what + " must be a map of 'key: value' entries");
}

void YamlFile::expect_sequence(const YAML::Node& node, const std::string& what) const {
  if (!node.IsSequence()) fail(node, what + " must be a list");
}

}  // namespace detail
}  // namespace penstock::sim
