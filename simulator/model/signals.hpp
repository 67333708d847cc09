// Signals that drive a component's inputs: functions of the time.
#pragma once

#include <memory>
#include <vector>

#include "yaml_util.hpp"

namespace penstock::sim::detail {

class Signal {
 public:
  virtual ~Signal() = default;
  virtual double value(double t) = 0;
  // Times where the signal has a kink or a jump.
  virtual std::vector<double> breakpoints() const { return {}; }
};

// constant:    0.5   or   "2 bar"
// step:        {step: {at: 1 s, from: 0.1, to: 1e6}}
// ramp:        {ramp: {start: 1 s, duration: 0.2 s, from: 0.1, to: 100}}
// table:       {table: [[0, 0.1], [1, 0.1], [1.2, 100]]}   piecewise linear, held at the ends
// sine:        {sine: {amplitude: 0.1, frequency: 0.5 Hz, phase: 0, offset: 1}}
// expression:  {expression: "0.1 + 10*(t > 1)"}
std::unique_ptr<Signal> read_signal(const YamlFile& f, const YAML::Node& node);

}  // namespace penstock::sim::detail
