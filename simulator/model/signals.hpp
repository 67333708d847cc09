// SPDX-License-Identifier: BSD-3-Clause
// Signals that drive a component's inputs: functions of the time, or of the time and the model's
// own variables (the wiring of control blocks to the plant and to each other).
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
  // The model variables it reads, as the model names them ("shaft.w"); none for a signal of time.
  const std::vector<std::string>& reads() const { return reads_; }

  std::string name;  // the input it drives as the model names it, "gate.sigma"
  SourceMark mark;   // where the model gives it

 protected:
  std::vector<std::string> reads_;
  // Keeps the first value that is not finite, at the time it was met.
  void keep_fault(double t, double v) {
    if (!std::isfinite(v) && !fault_) fault_ = Fault{t, v};
  }

 private:
  virtual double at(double t) = 0;
  Fault first_fault(double t, double v);
  std::optional<Fault> fault_;
  double start_ = 0.0;
};

// A signal of the time and of model variables: f(t, x), x the values of reads() in that order. In
// the DAE the input it drives is an unknown u with the row u - f(t, x) = 0.
class VariableSignal : public Signal {
 public:
  // f(t, x); the first value that is not finite is kept for fault().
  double value_at(double t, const double* x) {
    const double v = evaluate(t, x);
    keep_fault(t, v);
    return v;
  }
  // df/dx_j into d[j], j over reads().
  virtual void gradient(double t, const double* x, double* d) = 0;
  // Once, when a variable it reads first lies outside its table or chart (the value is held there):
  // what to tell the user; "" otherwise.
  virtual std::string outside(const double* /*x*/) { return ""; }

 private:
  virtual double evaluate(double t, const double* x) = 0;
  // Never asked for: the value needs the model's variables (value_at).
  double at(double /*t*/) override { return 0.0; }
};

// constant:    0.5   or   "2 bar"
// step:        {step: {at: 1 s, from: 0.1, to: 1e6}}
// ramp:        {ramp: {start: 1 s, duration: 0.2 s, from: 0.1, to: 100}}
// table:       {table: [[0, 0.1], [1, 0.1], [1.2, 100]]}   piecewise linear, held at the ends
// sine:        {sine: {amplitude: 0.1, frequency: 0.5 Hz, phase: 0, offset: 1}}
// expression:  {expression: "0.1 + 10*(t > 1)"}
// Over model variables (VariableSignal):
// from:        {from: shaft.w}                                a variable's value
// expression:  {expression: "6400*(1 - shaft.w/78.54)"}       over t and variables
// table of:    {table: [[0, 0], [1, 2.5]], of: unit.u}          monotone cubic, held outside
// chart:       {chart: {of: [u.n11, u.u], x: [...], y: [...], values: [[...], ...]}}
// Times in s, the frequency in Hz; every value finite, and a ramp or table finite between its
// points. `name` is the input it drives, as the model names it, for messages.
std::unique_ptr<Signal> read_signal(const YamlFile& f, const YAML::Node& node, const std::string& name);

// "not a number", "+inf" or "-inf".
const char* non_finite(double v);

// How a signal fault reads: "the signal for 'gate.sigma' (model.yaml:12:3) is not a number at t = 2 s".
std::string describe(const Signal& signal, const Signal::Fault& fault);

}  // namespace penstock::sim::detail
