// SPDX-License-Identifier: BSD-3-Clause
// Small hand-written DAE systems with known answers for the integrator tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "penstock/sim/dae.hpp"
#include "penstock/sim/solver.hpp"

namespace penstock::testing {

// A dense system given by its residual; the Jacobian by central differences unless given.
class ToyDae : public sim::DaeSystem {
 public:
  using Residual = std::function<void(double t, const double* y, const double* yp, double* F)>;
  using Jacobian = std::function<void(double t, const double* y, const double* yp, double cj, double* dense)>;

  ToyDae(std::vector<std::string> variables, std::vector<bool> differential, std::vector<double> start, Residual F)
      : variables_(std::move(variables)),
        differential_(std::move(differential)),
        start_(std::move(start)),
        F_(std::move(F)) {
    const size_t n = variables_.size();
    kinds_.assign(n, "");
    for (size_t r = 0; r < n; ++r) equations_.push_back("toy: equation " + std::to_string(r));
    pattern_.column_starts.push_back(0);
    for (size_t c = 0; c < n; ++c) {
      for (size_t r = 0; r < n; ++r) pattern_.row_indices.push_back(static_cast<int64_t>(r));
      pattern_.column_starts.push_back(static_cast<int64_t>(pattern_.row_indices.size()));
    }
    atol_.assign(n, 0.0);
  }

  // Exact Jacobian, column-major dense n x n.
  Jacobian exact_jacobian;
  // Zero crossings and the mode renewal, which returns the names of what changed. The whole toy
  // is one switching part, named by its renewal ("toy" until it names itself); its signals and
  // flags read y only.
  size_t root_count = 0;
  std::function<void(double, const double*, const double*, double*)> root_signals;
  std::function<std::vector<std::string>(double, const double*, const double*)> renew_modes;
  // The part's flags as they are, for the events told of them; none when not given. And setting
  // them back, to undo a renewal tried at a step's end; without it, every switch is located.
  std::function<std::vector<int32_t>()> flags;
  std::function<void(const std::vector<int32_t>&)> set_flags;
  // Per-variable absolute tolerance; 0 takes the default.
  std::vector<double> atol_;
  long residual_calls = 0;

  size_t size() const override { return variables_.size(); }
  const std::vector<std::string>& variable_names() const override { return variables_; }
  const std::string& variable_kind(size_t i) const override { return kinds_[i]; }
  const std::vector<std::string>& equation_names() const override { return equations_; }
  const std::vector<bool>& differential() const override { return differential_; }
  std::vector<double> absolute_tolerances(double default_atol) const override {
    std::vector<double> a = atol_;
    for (double& v : a)
      if (v == 0.0) v = default_atol;
    return a;
  }
  void initial_values(double* y, double* yp) const override {
    for (size_t i = 0; i < size(); ++i) y[i] = start_[i], yp[i] = 0.0;
  }
  void residual(double t, const double* y, const double* yp, double* F) override {
    ++residual_calls;
    F_(t, y, yp, F);
  }
  const sim::SparsityPattern& pattern() const override { return pattern_; }
  void jacobian(double t, const double* y, const double* yp, double cj, double* values) override {
    const size_t n = size();
    if (exact_jacobian) {
      exact_jacobian(t, y, yp, cj, values);
      return;
    }
    std::vector<double> yy(y, y + n), yyp(yp, yp + n), Fp(n), Fm(n);
    for (size_t c = 0; c < n; ++c) {
      const double h = 1e-7 * std::max(1.0, std::abs(y[c]));
      const double hp = 1e-7 * std::max(1.0, std::abs(yp[c]));
      yy[c] = y[c] + h, F_(t, yy.data(), yp, Fp.data());
      yy[c] = y[c] - h, F_(t, yy.data(), yp, Fm.data());
      yy[c] = y[c];
      for (size_t r = 0; r < n; ++r) values[c * n + r] = (Fp[r] - Fm[r]) / (2 * h);
      yyp[c] = yp[c] + hp, F_(t, y, yyp.data(), Fp.data());
      yyp[c] = yp[c] - hp, F_(t, y, yyp.data(), Fm.data());
      yyp[c] = yp[c];
      for (size_t r = 0; r < n; ++r) values[c * n + r] += cj * (Fp[r] - Fm[r]) / (2 * hp);
    }
  }
  const Residual& residual_function() const { return F_; }
  const std::vector<SwitchingPart>& switching_parts() const override {
    parts_.clear();
    if (root_count > 0) {
      SwitchingPart part{.name = name_, .first_root = 0, .n_roots = root_count, .rows = {}, .unknowns = {}};
      for (size_t r = 0; r < size(); ++r) part.rows.push_back(r), part.unknowns.push_back(r);
      parts_.push_back(part);
    }
    return parts_;
  }
  void part_roots(size_t, double t, const double* y, double* g) override {
    no_yp_.assign(size(), 0.0);
    root_signals(t, y, no_yp_.data(), g);
  }
  bool renew_part(size_t, double t, const double* y) override {
    if (!renew_modes) return false;
    no_yp_.assign(size(), 0.0);
    const std::vector<std::string> changed = renew_modes(t, y, no_yp_.data());
    if (!changed.empty()) name_ = changed.front();
    return !changed.empty();
  }
  std::vector<int32_t> part_flags(size_t) const override { return flags ? flags() : std::vector<int32_t>{}; }
  bool set_part_flags(size_t, double, const double*, const std::vector<int32_t>& to) override {
    if (!set_flags) return false;
    set_flags(to);
    return true;
  }
  void part_residual(size_t, double t, const double* y, const double* yp, double* F) override { residual(t, y, yp, F); }

 private:
  std::vector<std::string> variables_, kinds_, equations_;
  std::string name_ = "toy";
  std::vector<bool> differential_;
  std::vector<double> start_;
  Residual F_;
  sim::SparsityPattern pattern_;
  mutable std::vector<SwitchingPart> parts_;
  std::vector<double> no_yp_;
};

// An event as the observer is told of it.
struct Told {
  double t;
  std::string component, what;
};

// Keeps every sample, event and note.
struct Trace : sim::Observer {
  std::vector<Told> told;
  void event(double time, const std::string& component, const std::string& what) override {
    told.push_back({time, component, what});
  }
  std::vector<double> t;
  std::vector<std::vector<double>> y;
  std::vector<bool> is_event;
  std::vector<std::string> notes;
  size_t n = 0;
  explicit Trace(size_t size) : n(size) {}
  void sample(double time, const double* state, bool at_event) override {
    t.push_back(time);
    y.emplace_back(state, state + n);
    is_event.push_back(at_event);
  }
  std::vector<std::string> details;
  void note(const std::string& text, const std::string& detail) override {
    notes.push_back(text);
    details.push_back(detail);
  }
};

}  // namespace penstock::testing
