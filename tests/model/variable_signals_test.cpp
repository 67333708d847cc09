// SPDX-License-Identifier: BSD-3-Clause
// Signals that read the model's own variables: each form's value and slope, the rows they add to
// the DAE with their Jacobian, and the faults a model can make with them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "model_support.hpp"

namespace penstock::testing {
namespace {

namespace fs = std::filesystem;

size_t row_of(const sim::DaeSystem& s, const std::string& name) {
  const auto& rows = s.equation_names();
  const auto it = std::find(rows.begin(), rows.end(), name);
  if (it == rows.end()) ADD_FAILURE() << "no equation " << name << " among " << ::testing::PrintToString(rows);
  return static_cast<size_t>(it - rows.begin());
}

// A shaft (an inertia) driven by a torque source whose torque is the signal given; a second shaft
// spinning freely at 3 rad/s, whose speed a signal may read too.
std::string shaft_model(const std::string& signal, const std::string& extra = "") {
  return R"(
components:
  shaft: {type: Inertia, parameters: {J: 2, w0: 10 rad/s}}
  brake: {type: TorqueSource}
  other: {type: Inertia, parameters: {J: 1, w0: 3 rad/s}}
  spin: {type: TorqueSource}
connections:
  - {node: rotor, ports: [shaft.A, brake.A]}
  - {node: wheel, ports: [other.A, spin.A]}
signals:
  brake.t_set: )" +
         signal +
         R"(
  spin.t_set: {ramp: {start: 0, duration: 1 s, from: 0, to: 2}}
)" + extra;
}

// The residual of the signal's row and its Jacobian entries at (t, y): what each form gives.
struct Row {
  double residual = 0.0;
  std::vector<std::pair<std::string, double>> slopes;  // variable, dF/dy
};

Row signal_row(sim::DaeSystem& s, double t, std::vector<double> y, const std::string& input) {
  const size_t n = s.size();
  std::vector<double> yp(n, 0.0), F(n);
  s.residual(t, y.data(), yp.data(), F.data());
  const size_t r = row_of(s, "signal for '" + input + "'");
  Row row;
  row.residual = F[r];
  const sim::SparsityPattern& p = s.pattern();
  std::vector<double> values(p.row_indices.size());
  s.jacobian(t, y.data(), yp.data(), 1.0, values.data());
  for (size_t c = 0; c < n; ++c)
    for (auto k = p.column_starts[c]; k < p.column_starts[c + 1]; ++k)
      if (static_cast<size_t>(p.row_indices[static_cast<size_t>(k)]) == r)
        row.slopes.emplace_back(s.variable_names()[c], values[static_cast<size_t>(k)]);
  return row;
}

double slope(const Row& row, const std::string& variable) {
  for (const auto& [v, d] : row.slopes)
    if (v == variable) return d;
  ADD_FAILURE() << "no entry for " << variable << " in the row";
  return 0.0;
}

// Every entry of dF/dy + cj·dF/dy' against central differences, and nothing outside the pattern.
void expect_jacobian_matches_differences(sim::DaeSystem& s, std::vector<double> y, double t) {
  const size_t n = s.size();
  std::vector<double> yp(n, 0.0), F1(n), F2(n);
  const double cj = 3.0;
  const sim::SparsityPattern& p = s.pattern();
  std::vector<double> values(p.row_indices.size());
  s.jacobian(t, y.data(), yp.data(), cj, values.data());
  for (size_t c = 0; c < n; ++c) {
    const double h = 1e-6 * std::max(1.0, std::abs(y[c]));
    y[c] += h, yp[c] += cj * h;
    s.residual(t, y.data(), yp.data(), F1.data());
    y[c] -= 2 * h, yp[c] -= 2 * cj * h;
    s.residual(t, y.data(), yp.data(), F2.data());
    y[c] += h, yp[c] += cj * h;
    std::vector<double> column(n);
    for (size_t r = 0; r < n; ++r) column[r] = (F1[r] - F2[r]) / (2 * h);
    for (auto k = p.column_starts[c]; k < p.column_starts[c + 1]; ++k) {
      const size_t r = static_cast<size_t>(p.row_indices[static_cast<size_t>(k)]);
      // Central differences, less the rounding of a large residual over the step.
      const double noise = 8 * 2.2e-16 * std::max({1.0, std::abs(F1[r]), std::abs(F2[r])}) / h;
      EXPECT_NEAR(values[static_cast<size_t>(k)], column[r], 1e-6 * std::max(1.0, std::abs(column[r])) + noise)
          << s.equation_names()[r] << " / " << s.variable_names()[c];
      column[r] = 0.0;
    }
    for (size_t r = 0; r < n; ++r)
      EXPECT_NEAR(column[r], 0.0, 8 * 2.2e-16 * std::max({1.0, std::abs(F1[r]), std::abs(F2[r])}) / h)
          << "outside the pattern: " << s.equation_names()[r] << " / " << s.variable_names()[c];
  }
}

std::vector<double> start_values(const sim::DaeSystem& s) {
  std::vector<double> y(s.size()), yp(s.size());
  s.initial_values(y.data(), yp.data());
  return y;
}

TEST(VariableSignals, FromAVariableIsAnUnknownWithARowOfItsOwn) {
  sim::CheckReport report;
  sim::Model m = load_text(shaft_model("{from: other.w}"), &report);
  sim::DaeSystem& s = *m.system;
  const size_t u = index_of(s, "brake.t_set");
  EXPECT_EQ(s.variable_kind(u), "signal");
  EXPECT_FALSE(s.differential()[u]);
  EXPECT_EQ(report.unknowns, report.equations);
  EXPECT_DOUBLE_EQ(s.absolute_tolerances(1e-6)[u], 1e-4);  // the kind's scale, 1e2
  sim::Model tight = load_text(shaft_model("{from: other.w}", "run: {tolerances: {signal: 2.5e-7}}\n"));
  EXPECT_EQ(tight.system->absolute_tolerances(1e-6)[index_of(*tight.system, "brake.t_set")], 2.5e-7);
  std::vector<double> y = start_values(s);
  EXPECT_EQ(y[u], 3.0);  // the signal at the start values: the other inertia's speed
  y[index_of(s, "other.w")] = 5.5;
  y[u] = 1.0;
  const Row row = signal_row(s, 0.2, y, "brake.t_set");
  EXPECT_EQ(row.residual, 1.0 - 5.5);
  EXPECT_EQ(slope(row, "brake.t_set"), 1.0);
  EXPECT_EQ(slope(row, "other.w"), -1.0);
  EXPECT_EQ(row.slopes.size(), 2U);
  expect_jacobian_matches_differences(s, y, 0.2);
}

// A port's variable, a component's own variable, and an input driven by a signal of time (read
// through that signal: no unknown, no entry in the Jacobian).
TEST(VariableSignals, FromAPortAnOwnVariableOrAnInputOfTime) {
  {
    sim::Model m = load_text(shaft_model("{from: other.A.w}"));
    sim::DaeSystem& s = *m.system;
    std::vector<double> y = start_values(s);
    y[index_of(s, "wheel.w")] = 4.25;  // the node the port is on
    const Row row = signal_row(s, 0.0, y, "brake.t_set");
    EXPECT_EQ(row.residual, y[index_of(s, "brake.t_set")] - 4.25);
    EXPECT_EQ(slope(row, "wheel.w"), -1.0);
  }
  {
    sim::Model m = load_text(shaft_model("{from: other.t}"));
    sim::DaeSystem& s = *m.system;
    std::vector<double> y = start_values(s);
    y[index_of(s, "other.t")] = -0.75;
    EXPECT_EQ(signal_row(s, 0.0, y, "brake.t_set").residual, y[index_of(s, "brake.t_set")] + 0.75);
  }
  {
    sim::CheckReport report;
    sim::Model m = load_text(shaft_model("{from: spin.t_set}"), &report);
    sim::DaeSystem& s = *m.system;
    const auto& names = s.variable_names();
    EXPECT_EQ(std::count(names.begin(), names.end(), "spin.t_set"), 0);  // still a signal of time
    std::vector<double> y = start_values(s);
    y[index_of(s, "brake.t_set")] = 0.0;
    const Row row = signal_row(s, 0.5, y, "brake.t_set");
    EXPECT_DOUBLE_EQ(row.residual, -1.0);  // the ramp at 0.5 s
    EXPECT_EQ(row.slopes.size(), 1U);
    expect_jacobian_matches_differences(s, y, 0.5);
  }
}

TEST(VariableSignals, ExpressionOverTimeAndVariables) {
  sim::Model m = load_text(shaft_model(R"~({expression: "0.5 + 0.1*cos(t)*shaft.w*other.w - other.A.w^2"})~"));
  sim::DaeSystem& s = *m.system;
  std::vector<double> y = start_values(s);
  const size_t shaft = index_of(s, "shaft.w"), other = index_of(s, "other.w"), u = index_of(s, "brake.t_set");
  EXPECT_DOUBLE_EQ(y[u], 0.5 + 0.1 * 10 * 3);  // at the start values, the node wheel at 0
  y[shaft] = 7.0, y[other] = -2.0, y[index_of(s, "wheel.w")] = 2.0, y[u] = 0.25;
  const double t = 0.8;
  const Row row = signal_row(s, t, y, "brake.t_set");
  EXPECT_DOUBLE_EQ(row.residual, 0.25 - (0.5 + 0.1 * std::cos(t) * 7 * -2 - 4));
  EXPECT_NEAR(slope(row, "shaft.w"), -0.1 * std::cos(t) * -2, 1e-9);
  EXPECT_NEAR(slope(row, "other.w"), -0.1 * std::cos(t) * 7, 1e-9);
  EXPECT_NEAR(slope(row, "wheel.w"), 2 * 2.0, 1e-8);
  expect_jacobian_matches_differences(s, y, t);
}

// A section's variable of a chain, written with its brackets.
TEST(VariableSignals, ExpressionReadsAChainSection) {
  PENSTOCK_REQUIRE_COMPONENTS("Pipe", "Headwater");
  sim::Model m = load_text(R"(
fluid: {density: 1000}
components:
  lake: {type: Headwater, parameters: {h: 100 m}}
  pipe: {type: Pipe, count: 3, parameters: {dx: 10 m, Din: 1 m, lambda: 0.02, a: 1000 m/s}}
  src: {type: FlowSource}
connections:
  - [lake.B, ref]
  - [lake.A, pipe.A]
  - [pipe.B, src.A]
  - [src.B, ref]
signals:
  src.q_set: {expression: "-1e-7*pipe[2].C.p"}
)");
  sim::DaeSystem& s = *m.system;
  std::vector<double> y = start_values(s);
  y[index_of(s, "pipe[2].C.p")] = 2e6;
  y[index_of(s, "src.q_set")] = 0.0;
  EXPECT_NEAR(signal_row(s, 0.0, y, "src.q_set").residual, 0.2, 1e-12);
  expect_jacobian_matches_differences(s, y, 0.0);
}

// A time-only expression is what it always was: no unknown, no row.
TEST(VariableSignals, AnExpressionOfTimeAloneAddsNothing) {
  sim::CheckReport with_time, constant;
  load_text(shaft_model(R"~({expression: "-0.5*sin(t)"})~"), &with_time);
  load_text(shaft_model("-0.5"), &constant);
  EXPECT_EQ(with_time.unknowns, constant.unknowns);
  EXPECT_EQ(with_time.equations, constant.equations);
  sim::CheckReport reading;  // one reading a variable: one unknown and one row more, both algebraic
  load_text(shaft_model(R"~({expression: "-0.5*sin(t)*shaft.w"})~"), &reading);
  EXPECT_EQ(reading.unknowns, constant.unknowns + 1);
  EXPECT_EQ(reading.equations, constant.equations + 1);
  EXPECT_EQ(reading.algebraic, constant.algebraic + 1);
}

// The monotone cubic through the table: each knot exactly, slopes continuous across the knots,
// monotone where the data are, and held (flat) outside with a note once.
TEST(VariableSignals, TableOfAVariable) {
  const std::vector<std::pair<double, double>> knots{{0, 0}, {1, 0.2}, {2, 1.5}, {4, 1.6}, {5, 3}};
  std::string table = "{table: [";
  for (const auto& [x, v] : knots) table += "[" + std::to_string(x) + ", " + std::to_string(v) + "], ";
  table += "], of: wheel.w}";
  sim::Model m = load_text(shaft_model(table));
  sim::DaeSystem& s = *m.system;
  std::vector<double> y = start_values(s);
  const size_t wheel = index_of(s, "wheel.w"), u = index_of(s, "brake.t_set");
  y[u] = 0.0;
  auto f = [&](double x) {
    y[wheel] = x;
    return -signal_row(s, 0.0, y, "brake.t_set").residual;
  };
  auto df = [&](double x) {
    y[wheel] = x;
    return -slope(signal_row(s, 0.0, y, "brake.t_set"), "wheel.w");
  };
  for (const auto& [x, v] : knots) EXPECT_EQ(f(x), v) << "at the knot " << x;
  for (const auto& [x, v] : knots) {
    if (x == 0 || x == 5) continue;
    EXPECT_NEAR(df(x - 1e-9), df(x + 1e-9), 1e-6) << "the slope jumps at " << x;
    EXPECT_NEAR(f(x - 1e-7), f(x + 1e-7) - 2e-7 * df(x), 1e-9) << "a kink at " << x;
  }
  double last = f(0);
  for (int step = 1; step < 499; ++step) {  // the held ends are kinks
    const double x = 0.01 * step;
    const double v = f(x);
    EXPECT_GE(v, last - 1e-15) << "not monotone at " << x;
    last = v;
    // Central differences across a knot see the jump of the curvature: checked between knots.
    if (std::any_of(knots.begin(), knots.end(), [&](const auto& k) { return std::abs(x - k.first) < 1e-3; })) continue;
    y[wheel] = x;
    expect_jacobian_matches_differences(s, y, 0.0);
    if (::testing::Test::HasFailure()) {
      ADD_FAILURE() << "at wheel.w = " << x;
      break;
    }
  }
  EXPECT_TRUE(std::isnan(f(std::nan(""))));  // a variable that is not a number is not held
  EXPECT_EQ(f(-3), 0.0);
  EXPECT_EQ(df(-3), 0.0);
  EXPECT_EQ(f(9), 3.0);
  EXPECT_EQ(df(9), 0.0);
  y[wheel] = 7.5;
  const std::vector<std::string> notes = s.input_notes(1.25, y.data());
  ASSERT_EQ(notes.size(), 1U);
  EXPECT_NE(notes[0].find("the signal for 'brake.t_set' reads wheel.w = 7.5, outside its table [0, 5]"),
            std::string::npos)
      << notes[0];
  EXPECT_NE(notes[0].find(".yaml:11: "), std::string::npos) << notes[0];
  EXPECT_TRUE(s.input_notes(1.5, y.data()).empty());  // once
}

// A hill chart over two variables: its values at the grid exactly, C1 across the cells, clamped
// outside, its slopes analytic.
TEST(VariableSignals, ChartOverTwoVariables) {
  const std::vector<double> xs{0, 1, 3}, ys{-1, 0, 2, 5};
  const std::vector<std::vector<double>> v{{0, 1, 2, 4}, {1, 3, 3.5, 5}, {2, 2.5, 6, 9}};
  sim::Model m = load_text(shaft_model(R"({chart: {of: [wheel.w, other.t], x: [0, 1, 3], y: [-1, 0, 2, 5],
    values: [[0, 1, 2, 4], [1, 3, 3.5, 5], [2, 2.5, 6, 9]]}})"));
  sim::DaeSystem& s = *m.system;
  std::vector<double> y = start_values(s);
  const size_t a = index_of(s, "wheel.w"), b = index_of(s, "other.t"), u = index_of(s, "brake.t_set");
  y[u] = 0.0;
  auto f = [&](double x1, double x2) {
    y[a] = x1, y[b] = x2;
    return -signal_row(s, 0.0, y, "brake.t_set").residual;
  };
  auto grad = [&](double x1, double x2) {
    y[a] = x1, y[b] = x2;
    const Row row = signal_row(s, 0.0, y, "brake.t_set");
    return std::pair{-slope(row, "wheel.w"), -slope(row, "other.t")};
  };
  for (size_t i = 0; i < xs.size(); ++i)
    for (size_t j = 0; j < ys.size(); ++j) EXPECT_EQ(f(xs[i], ys[j]), v[i][j]) << i << ", " << j;
  // Across the inner grid lines, the value and both slopes are continuous.
  for (double x2 : {-0.5, 0.7, 3.3}) {
    const auto below = grad(1 - 1e-9, x2), above = grad(1 + 1e-9, x2);
    EXPECT_NEAR(below.first, above.first, 1e-6) << x2;
    EXPECT_NEAR(below.second, above.second, 1e-6) << x2;
  }
  for (double x1 : {0.3, 2.2}) {
    const auto below = grad(x1, 2 - 1e-9), above = grad(x1, 2 + 1e-9);
    EXPECT_NEAR(below.first, above.first, 1e-6) << x1;
    EXPECT_NEAR(below.second, above.second, 1e-6) << x1;
  }
  for (double x1 : {0.2, 1.5, 2.9})
    for (double x2 : {-0.9, 0.5, 4.1}) {
      y[a] = x1, y[b] = x2;
      expect_jacobian_matches_differences(s, y, 0.0);
    }
  EXPECT_EQ(f(-2, 0), 1.0);  // held on the edge x = 0
  EXPECT_EQ(f(4, 7), 9.0);   // at the far corner
  y[a] = 0.5, y[b] = 6.0;
  const std::vector<std::string> notes = s.input_notes(2.0, y.data());
  ASSERT_EQ(notes.size(), 1U);
  EXPECT_NE(notes[0].find("reads other.t = 6, outside its chart's y [-1, 5]"), std::string::npos) << notes[0];
}

// The faults, each at the signal's line with what to do.
TEST(VariableSignals, FaultsAreNamedAtTheSignal) {
  const std::string unknown = load_error(shaft_model("{from: rotr.w}"));
  EXPECT_NE(unknown.find(".yaml:11:16: error: the signal for 'brake.t_set' reads 'rotr.w', which is not a variable "
                         "of the model; did you mean 'rotor.w'?"),
            std::string::npos)
      << unknown;
  const std::string in_expression = load_error(shaft_model(R"({expression: "2*shaft.ww"})"));
  EXPECT_NE(in_expression.find("reads 'shaft.ww', which is not a variable of the model; did you mean 'shaft.w'?"),
            std::string::npos)
      << in_expression;
  const std::string decreasing = load_error(shaft_model("{table: [[0, 1], [2, 3], [1.5, 4]], of: wheel.w}"));
  EXPECT_NE(
      decreasing.find(".yaml:11:42: error: the values of wheel.w in a table must increase strictly: 1.5 follows 2"),
      std::string::npos)
      << decreasing;
  const std::string missing_row = load_error(shaft_model(R"({chart: {of: [wheel.w, other.t], x: [0, 1, 3], y: [0, 1],
    values: [[0, 1], [1, 3]]}})"));
  EXPECT_NE(missing_row.find(".yaml:12:13: error: the chart's values have 2 rows, but x has 3 values: the row for "
                             "wheel.w = 3 is missing"),
            std::string::npos)
      << missing_row;
  const std::string short_row = load_error(shaft_model(R"({chart: {of: [wheel.w, other.t], x: [0, 1], y: [0, 1],
    values: [[0, 1], [1]]}})"));
  EXPECT_NE(short_row.find(".yaml:12:22: error: row 2 of the chart's values (wheel.w = 1) needs 2 values, one per y "
                           "(other.t); it has 1"),
            std::string::npos)
      << short_row;
  const std::string flat_axis = load_error(shaft_model(R"({chart: {of: [wheel.w, other.t], x: [0, 1], y: [0, 0],
    values: [[0, 1], [1, 2]]}})"));
  EXPECT_NE(flat_axis.find("a chart's y (other.t) must increase strictly: 0 follows 0"), std::string::npos)
      << flat_axis;
  const std::string self = load_error(shaft_model("{from: brake.t_set}"));
  EXPECT_NE(self.find("algebraic loop through blocks without a state: brake.t_set → brake.t_set; put a Lag in it"),
            std::string::npos)
      << self;
}

// A test-only folder with the torque source as a block whose output t follows its input at once.
fs::path feedthrough_folder() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  fs::path dir =
      fs::temp_directory_path() / "penstock_model_tests" / (std::string(info->test_suite_name()) + "_" + info->name());
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path builtins = fs::path(PENSTOCK_PLUGIN_DIR) / ".." / "builtins";
  fs::copy_file(builtins / "TorqueSource.so", dir / "Feed.so");
  std::ofstream(dir / "Feed.yaml") << R"(component: Feed
physics: "a block whose torque follows its input at once"
feedthrough: true
ports:
  A: rotational
branches:
  t: ref -> A
signals: [t_set]
outputs: [t]
)";
  return dir;
}

TEST(VariableSignals, FeedthroughIsTrueOrFalse) {
  const fs::path dir = feedthrough_folder();
  EXPECT_TRUE(sim::read_description(dir / "Feed.yaml").feedthrough);
  std::ofstream(dir / "Plain.yaml") << "component: Plain\nports: {A: rotational}\nbranches: {t: ref -> A}\n";
  EXPECT_FALSE(sim::read_description(dir / "Plain.yaml").feedthrough);
  std::ofstream(dir / "Odd.yaml") << "component: Odd\nfeedthrough: maybe\nports: {A: rotational}\n";
  try {
    sim::read_description(dir / "Odd.yaml");
    ADD_FAILURE() << "feedthrough: maybe was accepted";
  } catch (const sim::ModelError& e) {
    EXPECT_NE(std::string(e.what()).find("Odd.yaml:2:14: error: feedthrough is true or false, not 'maybe'"),
              std::string::npos)
        << e.what();
  }
}

TEST(VariableSignals, AnAlgebraicLoopThroughFeedthroughBlocksIsNamed) {
  const fs::path dir = feedthrough_folder();
  const sim::Catalogue cat({dir, fs::path(PENSTOCK_PLUGIN_DIR) / ".." / "builtins"});
  ASSERT_TRUE(cat.find("Feed") != nullptr && cat.find("Feed")->feedthrough);
  const std::string body = R"(
components:
  j1: {type: Inertia, parameters: {J: 1}}
  j2: {type: Inertia, parameters: {J: 1}}
  j3: {type: Inertia, parameters: {J: 1}}
  g1: {type: Feed}
  g2: {type: Feed}
  g3: {type: Feed}
connections:
  - [j1.A, g1.A]
  - [j2.A, g2.A]
  - [j3.A, g3.A]
signals:
)";
  auto error = [&](const std::string& signals) {
    try {
      sim::load_model(write_model(body + signals), cat);
    } catch (const sim::ModelError& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  const std::string two = error("  g3.t_set: 0\n  g2.t_set: {from: g1.t}\n  g1.t_set: {expression: \"2*g2.t\"}\n");
  EXPECT_NE(two.find(".yaml:16:13: error: algebraic loop through blocks without a state: g1.t → g2.t_set → g2.t → "
                     "g1.t_set; put a Lag in it"),
            std::string::npos)
      << two;
  const std::string three =
      error("  g1.t_set: {from: g3.t}\n  g2.t_set: {from: g1.t}\n  g3.t_set: {table: [[0, 0], [1, 1]], of: g2.t}\n");
  EXPECT_NE(three.find(".yaml:14:13: error: algebraic loop through blocks without a state: g1.t → g2.t_set → g2.t → "
                       "g3.t_set → g3.t → g1.t_set; put a Lag in it"),
            std::string::npos)
      << three;
  // Through a state (the inertia's speed) there is no loop.
  EXPECT_EQ(error("  g1.t_set: {from: j2.w}\n  g2.t_set: {from: g1.t}\n  g3.t_set: 0\n"), "");
}

// The control blocks themselves: a gain and a sum fed back into each other close a loop; a lag in
// the loop opens it.
TEST(VariableSignals, GainAndSumBlocksInALoopAreNamedALagOpensIt) {
  PENSTOCK_REQUIRE_COMPONENTS("Gain", "Sum", "Lag");
  const std::string blocks = R"(components:
  g: {type: Gain, parameters: {k: 0.5}}
  s: {type: Sum}
  lag: {type: Lag, parameters: {T: 1 s}}
signals:
  g.u: {from: s.y}
  s.u1: {from: FEEDBACK}
  s.u2: 1
  lag.u: {from: g.y}
run: {stop: 1 s}
)";
  auto error = [&](const std::string& feedback) {
    std::string text = blocks;
    text.replace(text.find("FEEDBACK"), 8, feedback);
    try {
      load_text(text);
    } catch (const sim::ModelError& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  const std::string loop = error("g.y");
  EXPECT_NE(loop.find("algebraic loop through blocks without a state: "), std::string::npos) << loop;
  EXPECT_NE(loop.find("put a Lag in it"), std::string::npos) << loop;
  EXPECT_EQ(error("lag.y"), "");
  const std::string typo = error("lag.yy");
  EXPECT_NE(typo.find("did you mean 'lag.y'?"), std::string::npos) << typo;
}

}  // namespace
}  // namespace penstock::testing
