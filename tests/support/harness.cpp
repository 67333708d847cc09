// SPDX-License-Identifier: BSD-3-Clause
#include "harness.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

namespace penstock::testing {

std::filesystem::path plugin_path(std::string_view name) {
  const std::string file = std::string(name) + ".so";
  const std::filesystem::path plugin = std::filesystem::path(PENSTOCK_PLUGIN_DIR) / file;
  const std::filesystem::path builtin = std::filesystem::path(PENSTOCK_PLUGIN_DIR) / ".." / "builtins" / file;
  return !std::filesystem::exists(plugin) && std::filesystem::exists(builtin) ? builtin : plugin;
}

bool plugin_built(std::string_view name) { return std::filesystem::exists(plugin_path(name)); }

Harness::Harness(std::string_view name, const engine::ParameterTable& params)
    : plugin_(plugin_path(name)),
      instance_(std::make_unique<engine::Instance>(plugin_.group(), params)),
      no_flags_(static_cast<size_t>(std::max(plugin_.group().n_modes, 1)), 0) {}

void Harness::set_parameters(const engine::ParameterTable& params) {
  instance_.reset();
  instance_ = std::make_unique<engine::Instance>(plugin_.group(), params);
}

const int32_t* Harness::flags(const std::vector<int32_t>& m) const {
  if (m.empty()) return no_flags_.data();
  if (static_cast<int32_t>(m.size()) != group().n_modes) throw std::invalid_argument("wrong number of mode flags");
  return m.data();
}

std::vector<double> Harness::mass(size_t eq, const std::vector<double>& x, const std::vector<int32_t>& m) const {
  std::vector<double> row(n_inputs());
  instance_->call(eq, kMass, x.data(), flags(m), row.data());
  return row;
}

double Harness::residual(size_t eq, const std::vector<double>& x, const std::vector<int32_t>& m) const {
  double r = 0;
  instance_->call(eq, kResidual, x.data(), flags(m), &r);
  return r;
}

std::vector<uint8_t> Harness::pattern(size_t eq) const {
  std::vector<double> x(n_inputs(), 0.0);
  std::vector<uint8_t> bytes(n_inputs());
  instance_->call(eq, kResidualPattern, x.data(), no_flags_.data(), bytes.data());
  return bytes;
}

std::vector<double> Harness::jacobian(size_t eq, const std::vector<double>& x, const std::vector<int32_t>& m) const {
  std::vector<double> row(n_inputs());
  instance_->call(eq, kResidualJacobian, x.data(), flags(m), row.data());
  return row;
}

std::vector<double> Harness::linear_row(size_t eq) const {
  std::vector<double> row(n_inputs());
  instance_->linear_row(eq, row.data());
  return row;
}

std::vector<double> Harness::zero_crossings(const std::vector<double>& x, const std::vector<int32_t>& m) const {
  std::vector<double> zc(static_cast<size_t>(group().n_zc));
  instance_->zero_crossings(x.data(), flags(m), zc.data());
  return zc;
}

std::vector<int32_t> Harness::modes(const std::vector<double>& x, const std::vector<int32_t>& m) const {
  std::vector<int32_t> out(static_cast<size_t>(group().n_modes));
  instance_->modes(x.data(), flags(m), out.data());
  return out;
}

std::vector<double> Harness::fd_jacobian(size_t eq, const std::vector<double>& x, const std::vector<int32_t>& m,
                                         double relative_step) const {
  std::vector<double> row(n_inputs());
  for (size_t i = 0; i < x.size(); ++i) {
    const double h = relative_step * std::max(1.0, std::abs(x[i]));
    std::vector<double> up = x;
    std::vector<double> down = x;
    up[i] += h;
    down[i] -= h;
    row[i] = (residual(eq, up, m) - residual(eq, down, m)) / (up[i] - down[i]);
  }
  return row;
}

}  // namespace penstock::testing
