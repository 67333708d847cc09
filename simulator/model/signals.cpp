// SPDX-License-Identifier: BSD-3-Clause
#include "signals.hpp"

#include <fmt/core.h>
#include <muParser.h>

#include <algorithm>
#include <cmath>

namespace penstock::sim::detail {

namespace {

constexpr double kPi = 3.141592653589793;

class Constant final : public Signal {
 public:
  explicit Constant(double v) : v_(v) {}
  double at(double /*t*/) override { return v_; }

 private:
  double v_;
};

class Table final : public Signal {
 public:
  Table(std::vector<double> t, std::vector<double> v) : t_(std::move(t)), v_(std::move(v)) {}
  double at(double t) override {
    if (t <= t_.front()) return v_.front();
    if (t >= t_.back()) return v_.back();
    const size_t k = static_cast<size_t>(std::upper_bound(t_.begin(), t_.end(), t) - t_.begin());
    const double span = t_[k] - t_[k - 1];
    if (span <= 0.0) return v_[k];  // a jump: two points at the same time
    return v_[k - 1] + (v_[k] - v_[k - 1]) * ((t - t_[k - 1]) / span);
  }
  std::vector<double> breakpoints() const override { return t_; }

 private:
  std::vector<double> t_, v_;
};

class Sine final : public Signal {
 public:
  Sine(double amplitude, double frequency, double phase, double offset)
      : a_(amplitude), f_(frequency), phase_(phase), offset_(offset) {}
  double at(double t) override { return offset_ + a_ * std::sin(2.0 * kPi * f_ * t + phase_); }

 private:
  double a_, f_, phase_, offset_;
};

class Expression final : public Signal {
 public:
  explicit Expression(const std::string& text) {
    parser_.DefineVar("t", &t_);
    parser_.DefineConst("pi", kPi);
    parser_.SetExpr(text);
    t_ = 0.0;
    parser_.Eval();  // parse now, so that a fault shows at load time
  }
  double at(double t) override {
    t_ = t;
    return parser_.Eval();
  }

 private:
  double t_ = 0.0;
  mu::Parser parser_;
};

double field(const YamlFile& f, const YAML::Node& map, const char* key, const std::string& what, const char* unit,
             std::optional<double> fallback = std::nullopt) {
  const YAML::Node n = map[key];
  if (!n) {
    if (fallback) return *fallback;
    f.fail(map, what + " needs '" + key + "'");
  }
  return f.number(n, std::string(what) + " " + key, unit);
}

// Between two points a ramp or table goes through v0 + (v1 - v0)·s: v1 - v0 must be finite.
void check_span(const YamlFile& f, const YAML::Node& node, double v0, double v1, const std::string& what) {
  if (!std::isfinite(v1 - v0))
    f.fail(node, fmt::format("{} goes from {:g} to {:g}, a change too large to compute with", what, v0, v1));
}

std::unique_ptr<Signal> read_kind(const YamlFile& f, const YAML::Node& node) {
  if (node.IsScalar()) return std::make_unique<Constant>(f.number(node, "a constant signal"));
  if (!node.IsMap() || node.size() != 1) {
    f.fail(node, "a signal is a number or one of step, ramp, table, sine, expression");
  }
  const std::string type = node.begin()->first.Scalar();
  const YAML::Node body = node.begin()->second;
  const std::vector<std::string> types{"constant", "step", "ramp", "table", "sine", "expression"};
  if (type == "constant") return std::make_unique<Constant>(f.number(body, "a constant signal"));
  if (type == "step") {
    f.expect_map(body, "a step");
    f.only_keys(body, {"at", "from", "to"}, "a step");
    const double at = field(f, body, "at", "a step", "s"), from = field(f, body, "from", "a step", ""),
                 to = field(f, body, "to", "a step", "");
    return std::make_unique<Table>(std::vector<double>{at, at}, std::vector<double>{from, to});
  }
  if (type == "ramp") {
    f.expect_map(body, "a ramp");
    f.only_keys(body, {"start", "duration", "from", "to"}, "a ramp");
    const double start = field(f, body, "start", "a ramp", "s"), duration = field(f, body, "duration", "a ramp", "s");
    if (!(duration >= 0.0)) f.fail(body["duration"], "a ramp's duration must not be negative");
    if (!std::isfinite(start + duration)) f.fail(body["duration"], "a ramp must end at a finite time");
    const double from = field(f, body, "from", "a ramp", ""), to = field(f, body, "to", "a ramp", "");
    check_span(f, body["to"], from, to, "the ramp");
    return std::make_unique<Table>(std::vector<double>{start, start + duration}, std::vector<double>{from, to});
  }
  if (type == "table") {
    f.expect_sequence(body, "a table");
    std::vector<double> t, v;
    for (const auto& row : body) {
      if (!row.IsSequence() || row.size() != 2) f.fail(row, "a table row is [time, value]");
      t.push_back(f.number(row[0], "a table time", "s"));
      v.push_back(f.number(row[1], "a table value"));
      if (t.size() > 1 && t.back() < t[t.size() - 2]) f.fail(row[0], "table times must not decrease");
      if (t.size() > 1) check_span(f, row[1], v[v.size() - 2], v.back(), "the table");
    }
    if (t.empty()) f.fail(body, "a table needs at least one row");
    return std::make_unique<Table>(std::move(t), std::move(v));
  }
  if (type == "sine") {
    f.expect_map(body, "a sine");
    f.only_keys(body, {"amplitude", "frequency", "phase", "offset"}, "a sine");
    const double amplitude = field(f, body, "amplitude", "a sine", ""),
                 frequency = field(f, body, "frequency", "a sine", "Hz"),
                 phase = field(f, body, "phase", "a sine", "1", 0.0),
                 offset = field(f, body, "offset", "a sine", "", 0.0);
    if (!std::isfinite(std::abs(offset) + std::abs(amplitude)))
      f.fail(body, "a sine's offset and amplitude are too large to add up");
    return std::make_unique<Sine>(amplitude, frequency, phase, offset);
  }
  if (type == "expression") {
    const std::string text = f.text(body, "an expression");
    try {
      return std::make_unique<Expression>(text);
    } catch (const mu::Parser::exception_type& e) {
      f.fail(body, "in the expression '" + text + "': " + e.GetMsg());
    }
  }
  f.fail(node.begin()->first, "unknown kind of signal '" + type + "'" + did_you_mean(type, types));
}

}  // namespace

// Bisection between the start, where the value was finite, and t, where it is not: a time where the
// value stops being finite, to the resolution of the times.
Signal::Fault Signal::first_fault(double t, double v) {
  double finite = start_;
  Fault fault{t, v};
  if (!(finite < t) || !std::isfinite(at(finite))) return fault;
  for (int k = 0; k < 200 && fault.t - finite > 1e-12 * std::max(1.0, std::abs(t)); ++k) {
    const double mid = finite + 0.5 * (fault.t - finite);
    const double value = at(mid);
    if (std::isfinite(value)) {
      finite = mid;
    } else {
      fault = Fault{mid, value};
    }
  }
  return fault;
}

const char* non_finite(double v) {
  if (std::isnan(v)) return "not a number";
  return v > 0 ? "+inf" : "-inf";
}

std::string describe(const Signal& signal, const Signal::Fault& fault) {
  const char* what = non_finite(fault.value);
  // A signal a script set has no line in the file: its place says so.
  const std::string where = signal.mark.line > 0
                                ? fmt::format("{}:{}:{}", signal.mark.file, signal.mark.line, signal.mark.column)
                                : signal.mark.file;
  return fmt::format("{}: the signal for '{}' is {} at t = {:.9g} s; a signal must stay finite", where, signal.name,
                     what, fault.t);
}

std::unique_ptr<Signal> read_signal(const YamlFile& f, const YAML::Node& node, const std::string& name) {
  std::unique_ptr<Signal> s = read_kind(f, node);
  s->name = name;
  s->mark = f.mark(node);
  return s;
}

}  // namespace penstock::sim::detail
