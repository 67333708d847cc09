// SPDX-License-Identifier: BSD-3-Clause
#include "signals.hpp"

#include <fmt/core.h>
#include <muParser.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>

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

// The name characters of an expression over model variables: a variable is written as the model
// names it, "shaft.w", "gate.A.p", "pipe[3].C.p".
constexpr const char* kVariableNameChars = "0123456789_abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.[]";

// Every name an expression uses, besides t and pi, each given storage as the parser meets it.
double* define_on_use(const char* /*name*/, void* user) {
  auto* storage = static_cast<std::deque<double>*>(user);
  storage->push_back(0.0);
  return &storage->back();
}

// The variables an expression reads (besides t), in the parser's order.
std::vector<std::string> expression_variables(const std::string& text) {
  std::deque<double> storage;
  double t = 0.0;
  mu::Parser parser;
  parser.DefineNameChars(kVariableNameChars);
  parser.DefineVar("t", &t);
  parser.DefineConst("pi", kPi);
  parser.SetVarFactory(define_on_use, &storage);
  parser.SetExpr(text);
  std::vector<std::string> names;
  for (const auto& [name, where] : parser.GetUsedVar())
    if (name != "t") names.push_back(name);
  return names;
}

class From final : public VariableSignal {
 public:
  explicit From(std::string variable) { reads_.push_back(std::move(variable)); }
  void gradient(double /*t*/, const double* /*x*/, double* d) override { d[0] = 1.0; }

 private:
  double evaluate(double /*t*/, const double* x) override { return x[0]; }
};

// An expression over t and model variables; its gradient by central differences, each variable
// moved by the cube root of the rounding unit relative to its size (at least to 1).
class VariableExpression final : public VariableSignal {
 public:
  VariableExpression(const std::string& text, const std::vector<std::string>& variables) {
    reads_ = variables;
    values_.assign(variables.size(), 0.0);
    parser_.DefineNameChars(kVariableNameChars);
    parser_.DefineVar("t", &t_);
    parser_.DefineConst("pi", kPi);
    for (size_t j = 0; j < variables.size(); ++j) parser_.DefineVar(variables[j], &values_[j]);
    parser_.SetExpr(text);
    parser_.Eval();  // parse now, so that a fault shows at load time
  }
  void gradient(double t, const double* x, double* d) override {
    static const double step = std::cbrt(std::numeric_limits<double>::epsilon());
    t_ = t;
    std::copy(x, x + values_.size(), values_.begin());
    for (size_t j = 0; j < values_.size(); ++j) {
      const double h = step * std::max(1.0, std::abs(x[j]));
      values_[j] = x[j] + h;
      const double up = parser_.Eval();
      values_[j] = x[j] - h;
      const double down = parser_.Eval();
      values_[j] = x[j];
      d[j] = (up - down) / (2.0 * h);
    }
  }

 private:
  double evaluate(double t, const double* x) override {
    t_ = t;
    std::copy(x, x + values_.size(), values_.begin());
    return parser_.Eval();
  }
  double t_ = 0.0;
  std::vector<double> values_;  // the variables read, in the order of reads()
  mu::Parser parser_;
};

// Slopes at the knots of a monotone piecewise-cubic Hermite interpolant (Fritsch and Carlson): the
// mean of the neighbouring secants where they agree in sign, 0 at a local extremum, and pulled in
// where they would overshoot, so that the curve is monotone wherever the data are.
std::vector<double> monotone_slopes(const std::vector<double>& x, const std::vector<double>& v) {
  const size_t n = x.size();
  std::vector<double> m(n, 0.0);
  if (n < 2) return m;
  std::vector<double> secant(n - 1);
  for (size_t k = 0; k + 1 < n; ++k) secant[k] = (v[k + 1] - v[k]) / (x[k + 1] - x[k]);
  m[0] = secant[0];
  m[n - 1] = secant[n - 2];
  for (size_t k = 1; k + 1 < n; ++k) m[k] = secant[k - 1] * secant[k] <= 0.0 ? 0.0 : 0.5 * (secant[k - 1] + secant[k]);
  for (size_t k = 0; k + 1 < n; ++k) {
    if (secant[k] == 0.0) {
      m[k] = m[k + 1] = 0.0;
      continue;
    }
    const double a = m[k] / secant[k], b = m[k + 1] / secant[k];
    if (a < 0.0) m[k] = 0.0;
    if (b < 0.0) m[k + 1] = 0.0;
    const double r = a * a + b * b;
    if (r > 9.0) {
      const double tau = 3.0 / std::sqrt(r);
      m[k] = tau * a * secant[k];
      m[k + 1] = tau * b * secant[k];
    }
  }
  return m;
}

// Where q falls on the knots x and the cubic Hermite weights there: f = w[0]·v_k + w[1]·m_k +
// w[2]·v_k+1 + w[3]·m_k+1, f' the same with dw. Outside the knots the end value is held (dw = 0).
struct Hermite {
  size_t k = 0;
  double w[4] = {1.0, 0.0, 0.0, 0.0};
  double dw[4] = {0.0, 0.0, 0.0, 0.0};
  bool outside = false;

  Hermite(const std::vector<double>& x, double q) {
    const size_t n = x.size();
    if (std::isnan(q)) {  // not a number in, not a number out: the fault shows
      w[0] = q;
      return;
    }
    if (n < 2 || q <= x.front() || q >= x.back()) {
      outside = n >= 2 && (q < x.front() || q > x.back());
      if (n >= 2 && q >= x.back()) k = n - 2, w[0] = 0.0, w[2] = 1.0;
      return;
    }
    k = static_cast<size_t>(std::upper_bound(x.begin(), x.end(), q) - x.begin()) - 1;
    const double h = x[k + 1] - x[k], s = (q - x[k]) / h, s2 = s * s, s3 = s2 * s;
    w[0] = 2 * s3 - 3 * s2 + 1;
    w[1] = (s3 - 2 * s2 + s) * h;
    w[2] = -2 * s3 + 3 * s2;
    w[3] = (s3 - s2) * h;
    dw[0] = (6 * s2 - 6 * s) / h;
    dw[1] = 3 * s2 - 4 * s + 1;
    dw[2] = (-6 * s2 + 6 * s) / h;
    dw[3] = 3 * s2 - 2 * s;
  }
};

// "x = 1.2 lies outside [0, 1]": what a table or chart says once when a variable leaves it.
std::string outside_note(const Signal& s, const std::string& variable, double q, const std::vector<double>& x) {
  return fmt::format(
      "{}:{}: the signal for '{}' reads {} = {:.6g}, outside its table [{:g}, {:g}]: it holds its value "
      "at the end there",
      s.mark.file, s.mark.line, s.name, variable, q, x.front(), x.back());
}

// A table over a model variable: the monotone cubic through its points, held at the ends.
class TableOf final : public VariableSignal {
 public:
  TableOf(std::string variable, std::vector<double> x, std::vector<double> v)
      : x_(std::move(x)), v_(std::move(v)), m_(monotone_slopes(x_, v_)) {
    reads_.push_back(std::move(variable));
  }
  void gradient(double /*t*/, const double* x, double* d) override {
    const Hermite h(x_, x[0]);
    d[0] = h.k + 1 < x_.size() ? h.dw[0] * v_[h.k] + h.dw[1] * m_[h.k] + h.dw[2] * v_[h.k + 1] + h.dw[3] * m_[h.k + 1]
                               : 0.0;
  }
  std::string outside(const double* x) override {
    if (warned_ || !Hermite(x_, x[0]).outside) return "";
    warned_ = true;
    return outside_note(*this, reads_[0], x[0], x_);
  }

 private:
  double evaluate(double /*t*/, const double* x) override {
    const Hermite h(x_, x[0]);
    if (h.k + 1 >= x_.size()) return v_[0];
    return h.w[0] * v_[h.k] + h.w[1] * m_[h.k] + h.w[2] * v_[h.k + 1] + h.w[3] * m_[h.k + 1];
  }
  std::vector<double> x_, v_, m_;
  bool warned_ = false;
};

// A chart over two model variables: the bicubic Hermite surface through its values, with the
// monotone slopes along x at every y and along y at every x, and no twist. Its value and slopes
// are continuous across the cells (C1); outside, the value on the edge is held.
class Chart final : public VariableSignal {
 public:
  Chart(std::string of_x, std::string of_y, std::vector<double> x, std::vector<double> y,
        std::vector<std::vector<double>> v)
      : x_(std::move(x)), y_(std::move(y)), v_(std::move(v)) {
    reads_ = {std::move(of_x), std::move(of_y)};
    const size_t nx = x_.size(), ny = y_.size();
    fx_.assign(nx, std::vector<double>(ny, 0.0));
    fy_.assign(nx, std::vector<double>(ny, 0.0));
    for (size_t i = 0; i < nx; ++i) fy_[i] = monotone_slopes(y_, v_[i]);
    for (size_t j = 0; j < ny; ++j) {
      std::vector<double> column(nx);
      for (size_t i = 0; i < nx; ++i) column[i] = v_[i][j];
      const std::vector<double> m = monotone_slopes(x_, column);
      for (size_t i = 0; i < nx; ++i) fx_[i][j] = m[i];
    }
  }
  void gradient(double /*t*/, const double* x, double* d) override {
    const Hermite hx(x_, x[0]), hy(y_, x[1]);
    d[0] = sum(hx, hx.dw, hy, hy.w);
    d[1] = sum(hx, hx.w, hy, hy.dw);
  }
  std::string outside(const double* x) override {
    if (warned_) return "";
    for (int a = 0; a < 2; ++a) {
      const std::vector<double>& axis = a == 0 ? x_ : y_;
      if (Hermite(axis, x[a]).outside) {
        warned_ = true;
        std::string note = outside_note(*this, reads_[static_cast<size_t>(a)], x[a], axis);
        return note.replace(note.find("its table"), 9, a == 0 ? "its chart's x" : "its chart's y");
      }
    }
    return "";
  }

 private:
  double evaluate(double /*t*/, const double* x) override {
    const Hermite hx(x_, x[0]), hy(y_, x[1]);
    return sum(hx, hx.w, hy, hy.w);
  }
  // Σ over the corners of the cell: value, slope along x and slope along y, with their weights.
  double sum(const Hermite& hx, const double* wx, const Hermite& hy, const double* wy) const {
    double f = 0.0;
    for (size_t a = 0; a < 2; ++a) {
      const size_t i = hx.k + a;
      for (size_t b = 0; b < 2; ++b) {
        const size_t j = hy.k + b;
        f += wx[2 * a] * wy[2 * b] * v_[i][j] + wx[2 * a + 1] * wy[2 * b] * fx_[i][j] +
             wx[2 * a] * wy[2 * b + 1] * fy_[i][j];
      }
    }
    return f;
  }
  std::vector<double> x_, y_;
  std::vector<std::vector<double>> v_, fx_, fy_;  // per x: per y
  bool warned_ = false;
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

// A variable a signal reads, as the model names it: the model checks it once it is assembled.
std::string variable_name(const YamlFile& f, const YAML::Node& node, const std::string& what) {
  std::string name = f.text(node, what);
  if (name.empty() || name.find_first_of(" \t,") != std::string::npos)
    f.fail(node, what + " is a variable of the model as record names it, e.g. shaft.w or gate.A.p");
  return name;
}

// Knots strictly increasing: each after the one before.
void check_increasing(const YamlFile& f, const YAML::Node& node, const std::vector<double>& x,
                      const std::string& what) {
  if (x.size() > 1 && !(x.back() > x[x.size() - 2]))
    f.fail(node, fmt::format("{} must increase strictly: {:g} follows {:g}", what, x.back(), x[x.size() - 2]));
}

// {table: [[x, v], ...], of: variable}
std::unique_ptr<Signal> read_table_of(const YamlFile& f, const YAML::Node& node) {
  f.only_keys(node, {"table", "of"}, "a table over a variable");
  const std::string of = variable_name(f, node["of"], "the variable a table is 'of'");
  const YAML::Node body = node["table"];
  f.expect_sequence(body, "a table");
  std::vector<double> x, v;
  for (const auto& row : body) {
    if (!row.IsSequence() || row.size() != 2) f.fail(row, fmt::format("a table row over {0} is [{0}, value]", of));
    x.push_back(f.number(row[0], "a table's " + of));
    v.push_back(f.number(row[1], "a table value"));
    check_increasing(f, row[0], x, "the values of " + of + " in a table");
    if (v.size() > 1) check_span(f, row[1], v[v.size() - 2], v.back(), "the table");
  }
  if (x.empty()) f.fail(body, "a table needs at least one row");
  return std::make_unique<TableOf>(of, std::move(x), std::move(v));
}

// {chart: {of: [x variable, y variable], x: [...], y: [...], values: [[per y, ...] per x, ...]}}
std::unique_ptr<Signal> read_chart(const YamlFile& f, const YAML::Node& body) {
  f.expect_map(body, "a chart");
  f.only_keys(body, {"of", "x", "y", "values"}, "a chart");
  for (const char* key : {"of", "x", "y", "values"})
    if (!body[key]) f.fail(body, std::string("a chart needs '") + key + "'");
  const YAML::Node of = body["of"];
  if (!of.IsSequence() || of.size() != 2) f.fail(of, "a chart is 'of' two variables: [x variable, y variable]");
  const std::string of_x = variable_name(f, of[0], "a chart's x variable");
  const std::string of_y = variable_name(f, of[1], "a chart's y variable");
  auto axis = [&](const char* key, const std::string& variable) {
    const YAML::Node n = body[key];
    f.expect_sequence(n, std::string("a chart's ") + key);
    std::vector<double> values;
    for (const auto& item : n) {
      values.push_back(f.number(item, fmt::format("a chart's {} ({})", key, variable)));
      check_increasing(f, item, values, fmt::format("a chart's {} ({})", key, variable));
    }
    if (values.size() < 2) f.fail(n, fmt::format("a chart's {} ({}) needs at least two values", key, variable));
    return values;
  };
  std::vector<double> x = axis("x", of_x), y = axis("y", of_y);
  const YAML::Node rows = body["values"];
  f.expect_sequence(rows, "a chart's values");
  std::vector<std::vector<double>> v;
  for (size_t i = 0; i < rows.size(); ++i) {
    const YAML::Node row = rows[i];
    const std::string which =
        fmt::format("row {} of the chart's values ({} = {:g})", i + 1, of_x, i < x.size() ? x[i] : std::nan(""));
    if (i >= x.size())
      f.fail(row, fmt::format("the chart's values have more rows ({}) than x has values ({})", rows.size(), x.size()));
    if (!row.IsSequence() || row.size() != y.size())
      f.fail(row, fmt::format("{} needs {} values, one per y ({}); it has {}", which, y.size(), of_y,
                              row.IsSequence() ? row.size() : 0));
    std::vector<double>& r = v.emplace_back();
    for (const auto& item : row) {
      r.push_back(f.number(item, "a value of " + which));
      if (r.size() > 1) check_span(f, item, r[r.size() - 2], r.back(), which);
    }
    if (i > 0)
      for (size_t j = 0; j < y.size(); ++j) check_span(f, row[j], v[i - 1][j], r[j], "the chart's column");
  }
  if (v.size() < x.size())
    f.fail(rows, fmt::format("the chart's values have {} rows, but x has {} values: the row for {} = {:g} is missing",
                             v.size(), x.size(), of_x, x[v.size()]));
  return std::make_unique<Chart>(of_x, of_y, std::move(x), std::move(y), std::move(v));
}

std::unique_ptr<Signal> read_kind(const YamlFile& f, const YAML::Node& node) {
  if (node.IsScalar()) return std::make_unique<Constant>(f.number(node, "a constant signal"));
  if (node.IsMap() && node["table"] && node["of"]) return read_table_of(f, node);
  if (!node.IsMap() || node.size() != 1) {
    f.fail(node, "a signal is a number or one of step, ramp, table, sine, expression, from, chart");
  }
  const std::string type = node.begin()->first.Scalar();
  const YAML::Node body = node.begin()->second;
  const std::vector<std::string> types{"constant", "step", "ramp", "table", "sine", "expression", "from", "chart"};
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
  if (type == "from") return std::make_unique<From>(variable_name(f, body, "the variable a signal is 'from'"));
  if (type == "chart") return read_chart(f, body);
  if (type == "expression") {
    const std::string text = f.text(body, "an expression");
    try {
      std::vector<std::string> variables;
      try {
        variables = expression_variables(text);
      } catch (const mu::Parser::exception_type&) {
        return std::make_unique<Expression>(text);  // its fault, as an expression of t says it
      }
      if (!variables.empty()) return std::make_unique<VariableExpression>(text, variables);
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
