#include "signals.hpp"

#include <muParser.h>

#include <algorithm>
#include <cmath>

namespace penstock::sim::detail {

namespace {

constexpr double kPi = 3.141592653589793;

class Constant final : public Signal {
 public:
  explicit Constant(double v) : v_(v) {}
  double value(double /*t*/) override { return v_; }

 private:
  double v_;
};

class Table final : public Signal {
 public:
  Table(std::vector<double> t, std::vector<double> v) : t_(std::move(t)), v_(std::move(v)) {}
  double value(double t) override {
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
  double value(double t) override { return offset_ + a_ * std::sin(2.0 * kPi * f_ * t + phase_); }

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
  double value(double t) override {
    t_ = t;
    return parser_.Eval();
  }

 private:
  double t_ = 0.0;
  mu::Parser parser_;
};

double field(const YamlFile& f, const YAML::Node& map, const char* key, const std::string& what,
             std::optional<double> fallback = std::nullopt) {
  const YAML::Node n = map[key];
  if (!n) {
    if (fallback) return *fallback;
    f.fail(map, what + " needs '" + key + "'");
  }
  return f.number(n, std::string(what) + " " + key);
}

}  // namespace

std::unique_ptr<Signal> read_signal(const YamlFile& f, const YAML::Node& node) {
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
    const double at = field(f, body, "at", "a step"), from = field(f, body, "from", "a step"),
                 to = field(f, body, "to", "a step");
    return std::make_unique<Table>(std::vector<double>{at, at}, std::vector<double>{from, to});
  }
  if (type == "ramp") {
    f.expect_map(body, "a ramp");
    f.only_keys(body, {"start", "duration", "from", "to"}, "a ramp");
    const double start = field(f, body, "start", "a ramp"), duration = field(f, body, "duration", "a ramp");
    if (!(duration >= 0.0)) f.fail(body["duration"], "a ramp's duration must not be negative");
    return std::make_unique<Table>(
        std::vector<double>{start, start + duration},
        std::vector<double>{field(f, body, "from", "a ramp"), field(f, body, "to", "a ramp")});
  }
  if (type == "table") {
    f.expect_sequence(body, "a table");
    std::vector<double> t, v;
    for (const auto& row : body) {
      if (!row.IsSequence() || row.size() != 2) f.fail(row, "a table row is [time, value]");
      t.push_back(f.number(row[0], "a table time"));
      v.push_back(f.number(row[1], "a table value"));
      if (t.size() > 1 && t.back() < t[t.size() - 2]) f.fail(row[0], "table times must not decrease");
    }
    if (t.empty()) f.fail(body, "a table needs at least one row");
    return std::make_unique<Table>(std::move(t), std::move(v));
  }
  if (type == "sine") {
    f.expect_map(body, "a sine");
    f.only_keys(body, {"amplitude", "frequency", "phase", "offset"}, "a sine");
    return std::make_unique<Sine>(field(f, body, "amplitude", "a sine"), field(f, body, "frequency", "a sine"),
                                  field(f, body, "phase", "a sine", 0.0), field(f, body, "offset", "a sine", 0.0));
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

}  // namespace penstock::sim::detail
