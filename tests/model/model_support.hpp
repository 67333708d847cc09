// SPDX-License-Identifier: BSD-3-Clause
// Model files written by a test, loaded against the built plug-ins and built-ins.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "penstock/sim/model.hpp"

namespace penstock::testing {

inline const sim::Catalogue& catalogue() {
  static const sim::Catalogue c(
      {std::filesystem::path(PENSTOCK_PLUGIN_DIR), std::filesystem::path(PENSTOCK_PLUGIN_DIR) / ".." / "builtins"});
  return c;
}

inline std::filesystem::path data_file(const std::string& name) {
  return std::filesystem::path(PENSTOCK_SOURCE_DIR) / "tests" / "model" / "data" / name;
}

// Writes the text to a file named after the running test and returns its path.
inline std::filesystem::path write_model(const std::string& text) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "penstock_model_tests";
  std::filesystem::create_directories(dir);
  std::string name = std::string(info->test_suite_name()) + "_" + info->name() + ".yaml";
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  std::filesystem::path path = dir / name;
  std::ofstream(path) << text;
  return path;
}

inline sim::Model load_text(const std::string& text, sim::CheckReport* report = nullptr) {
  return sim::load_model(write_model(text), catalogue(), report);
}

// The message of the ModelError that loading the text throws, or "" when it loads.
inline std::string load_error(const std::string& text) {
  try {
    load_text(text);
  } catch (const sim::ModelError& e) {
    return e.what();
  }
  return "";
}

#define PENSTOCK_REQUIRE_COMPONENTS(...)                              \
  for (const char* component_ : {__VA_ARGS__})                        \
    if (::penstock::testing::catalogue().find(component_) == nullptr) \
  GTEST_SKIP() << component_ << " is not built with its network description"

// The index of a variable of the system by its name; a failure of the test when it has none.
inline size_t index_of(const sim::DaeSystem& system, const std::string& name) {
  const auto& names = system.variable_names();
  const auto it = std::find(names.begin(), names.end(), name);
  EXPECT_NE(it, names.end()) << name << " among " << ::testing::PrintToString(names);
  return static_cast<size_t>(it - names.begin());
}

}  // namespace penstock::testing
