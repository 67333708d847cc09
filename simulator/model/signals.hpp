// SPDX-License-Identifier: BSD-3-Clause
// Signals that drive a component's inputs: functions of the time.
#pragma once

#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "yaml_util.hpp"

namespace penstock::sim::detail {

class Signal {
 public:
  struct Fault {
    double t = 0.0;
    double value = 0.0;
  };

  virtual ~Signal() = default;
  // The value at t. The first value that is not finite is kept for fault(), at the earliest time
  // it can be found (from the start of the run, where the value was finite).
  double value(double t) {
    const double v = at(t);
    if (!std::isfinite(v) && !fault_) fault_ = first_fault(t, v);
    return v;
  }
  // Whether the value where the run starts is finite; the search for a first fault begins there.
  bool finite_at_start(double t) {
    start_ = t;
    return std::isfinite(at(t));
  }
  // Times where the signal has a kink or a jump.
  virtual std::vector<double> breakpoints() const { return {}; }
  const std::optional<Fault>& fault() const { return fault_; }

  std::string name;  // the input it drives as the model names it, "gate.sigma"
  SourceMark mark;   // where the model gives it

 private:
  virtual double at(double t) = 0;
  Fault first_fault(double t, double v);
  std::optional<Fault> fault_;
  double start_ = 0.0;
};

// constant:    0.5   or   "2 bar"
// step:        {step: {at: 1 s, from: 0.1, to: 1e6}}
// ramp:        {ramp: {start: 1 s, duration: 0.2 s, from: 0.1, to: 100}}
// table:       {table: [[0, 0.1], [1, 0.1], [1.2, 100]]}   piecewise linear, held at the ends
// sine:        {sine: {amplitude: 0.1, frequency: 0.5 Hz, phase: 0, offset: 1}}
// expression:  {expression: "0.1 + 10*(t > 1)"}
// Times in s, the frequency in Hz; every value finite, and a ramp or table finite between its
// points. `name` is the input it drives, as the model names it, for messages.
std::unique_ptr<Signal> read_signal(const YamlFile& f, const YAML::Node& node, const std::string& name);

// "not a number", "+inf" or "-inf".
const char* non_finite(double v);

// How a signal fault reads: "the signal for 'gate.sigma' (model.yaml:12:3) is not a number at t = 2 s".
std::string describe(const Signal& signal, const Signal::Fault& fault);

}  // namespace penstock::sim::detail
