// SPDX-License-Identifier: BSD-3-Clause
// A plug-in driven as the host drives it: loaded through the engine, its group declared, a
// parameter block set up, its registered methods called into buffers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "penstock/engine.hpp"

namespace penstock::testing {

// build/plugins/<name>.so, or build/builtins/<name>.so for one of the host's built-ins.
std::filesystem::path plugin_path(std::string_view name);
bool plugin_built(std::string_view name);

// Skips the current test when the plug-in has not been built (yet).
#define PENSTOCK_REQUIRE_PLUGIN(name) \
  if (!::penstock::testing::plugin_built(name)) GTEST_SKIP() << name << ".so is not built"

class Harness {
 public:
  explicit Harness(std::string_view name, const engine::ParameterTable& params = {});

  const engine::GroupDecl& group() const { return plugin_.group(); }
  const engine::Plugin& plugin() const { return plugin_; }
  const double* block() const { return instance_->block(); }
  size_t n_inputs() const { return group().inputs.size(); }
  // Sets up a new parameter block (the old one is cleaned up).
  void set_parameters(const engine::ParameterTable& params);

  std::vector<double> mass(size_t eq, const std::vector<double>& x, const std::vector<int32_t>& m = {}) const;
  double residual(size_t eq, const std::vector<double>& x, const std::vector<int32_t>& m = {}) const;
  std::vector<uint8_t> pattern(size_t eq) const;
  std::vector<double> jacobian(size_t eq, const std::vector<double>& x, const std::vector<int32_t>& m = {}) const;
  std::vector<double> linear_row(size_t eq) const;
  std::vector<double> zero_crossings(const std::vector<double>& x, const std::vector<int32_t>& m = {}) const;
  std::vector<int32_t> modes(const std::vector<double>& x, const std::vector<int32_t>& m = {}) const;

  // Central differences of Residual over every input, the flags held fixed.
  std::vector<double> fd_jacobian(size_t eq, const std::vector<double>& x, const std::vector<int32_t>& m,
                                  double relative_step = 1e-6) const;

 private:
  const int32_t* flags(const std::vector<int32_t>& m) const;
  engine::Plugin plugin_;
  std::unique_ptr<engine::Instance> instance_;
  std::vector<int32_t> no_flags_;
};

// Every combination of n mode flags, 0 or 1 each (2^n of them).
inline std::vector<std::vector<int32_t>> all_flags(int n) {
  std::vector<std::vector<int32_t>> out;
  for (int bits = 0; bits < 1 << n; ++bits) {
    std::vector<int32_t> m(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) m[static_cast<size_t>(i)] = bits >> i & 1;
    out.push_back(m);
  }
  return out;
}

}  // namespace penstock::testing
