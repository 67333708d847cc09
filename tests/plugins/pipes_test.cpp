// SPDX-License-Identifier: BSD-3-Clause
// Pipe reaches driven through the engine: the four-node section (two half-length reaches and a
// compliance branch), the surge line, the full-length flow line and the line segment.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "harness.hpp"

namespace penstock::testing {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The guarded operations, restated: an exact zero divisor becomes 1e-16; squares of finite values
// by the C library's pow, called at run time as the plug-ins call it (the compiler would turn
// pow(x, 2) into x·x, which differs from the library's pow in the last bit for some x).
double sd(double a, double b) { return a / (b == 0.0 ? 1e-16 : b); }
double sq(double x) {
  volatile double two = 2;
  return std::pow(x, two);
}

std::vector<std::string> fluid_names(const std::string& ports) {
  std::vector<std::string> names;
  for (char port : ports) {
    for (const char* prop : {"density", "viscosity_kin", "bulk", "alpha"})
      names.push_back(std::string{port} + "." + prop);
  }
  return names;
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(Pipes, DeclareTheirInputsAndParametersInOrder) {
  struct Want {
    const char* plugin;
    std::vector<std::string> inputs;
    std::vector<std::string> params;
  };
  const std::vector<std::string> two_port = {"time", "A.p", "B.p", "q", "p"};
  const std::vector<Want> wants = {
      {"Pipe",
       {"time", "A.p", "B.p", "C.p", "D.p", "q_ac", "p_ac", "q_cb", "p_cb", "q_cd", "p_cd"},
       concat(fluid_names("ABCD"), {"dx", "Din", "lambda", "a"})},
      {"SurgeLine", two_port, concat(fluid_names("AB"), {"dx", "Din", "lambda"})},
      {"FlowLine", two_port, concat(fluid_names("AB"), {"lambda", "Length", "Din", "q0"})},
      {"LineSegment", two_port, concat(fluid_names("AB"), {"dx", "Din", "lambda", "a"})},
  };
  for (const Want& w : wants) {
    if (!plugin_built(w.plugin)) continue;
    const Harness h(w.plugin);
    EXPECT_EQ(h.group().inputs, w.inputs) << w.plugin;
    EXPECT_EQ(h.plugin().parameter_names(), w.params) << w.plugin;
  }
}

// Worked by hand: Din = 2 gives S = π, q = 2π gives v = 2; dx = 4, lambda = 1, density = 2 give
// k_f = ((0.5·1·4)/2·2)/2 = 1, a drop of 1·2² = 4, and L_h = (2/π)·2.
TEST(SurgeLine, WorkedReach) {
  PENSTOCK_REQUIRE_PLUGIN("SurgeLine");
  const Harness h("SurgeLine", {{"A.density", 2}, {"dx", 4}, {"Din", 2}, {"lambda", 1}});
  const std::vector<double> x = {0, 0, 0, 2 * kPi, 5};
  EXPECT_EQ(h.modes(x), (std::vector<int32_t>{0, 1}));
  EXPECT_EQ(h.zero_crossings(x), (std::vector<double>{-2}));
  EXPECT_EQ(h.residual(0, x, {0, 1}), 1);  // 5 − (4 + 0)
  EXPECT_EQ(h.residual(0, x, {1, 0}), 9);  // flags not yet renewed: the drop takes their sign
  EXPECT_EQ(h.residual(0, x, {0, 0}), 5);
  EXPECT_EQ(h.mass(0, x), (std::vector<double>{0, 0, 0, (2 / kPi) * 2, 0}));
  // d/dq = k_f·2v/S = 4/π, formed as 4·(π/(π·π)).
  EXPECT_EQ(h.jacobian(0, x, {0, 1}), (std::vector<double>{0, 0, 0, -(4 * (kPi / (kPi * kPi))), 1}));
  EXPECT_NEAR(h.jacobian(0, x, {0, 1})[3], -4 / kPi, 1e-15);
  EXPECT_EQ(h.pattern(0), (std::vector<uint8_t>{0, 0, 0, 1, 1}));
}

// Same numbers over 3.14: S = 3.14, q = 6.28 gives v = 2; Length = 2 is the surge line's half of 4;
// e = 1·2/2 = 1, drop = ((1·4)·2)/2 = 4, L = (2·2)/3.14.
TEST(FlowLine, WorkedReach) {
  PENSTOCK_REQUIRE_PLUGIN("FlowLine");
  const Harness h("FlowLine", {{"A.density", 2}, {"Length", 2}, {"Din", 2}, {"lambda", 1}, {"q0", kNaN}});
  const std::vector<double> x = {0, 0, 0, 6.28, 5};
  EXPECT_EQ(h.modes(x), (std::vector<int32_t>{0, 1}));
  EXPECT_EQ(h.zero_crossings(x), (std::vector<double>{-2}));
  EXPECT_EQ(h.residual(0, x, {0, 1}), 1);
  EXPECT_EQ(h.residual(0, x, {1, 0}), 9);
  EXPECT_EQ(h.mass(0, x), (std::vector<double>{0, 0, 0, 4 / 3.14, 0}));
  // d/dq = e·ρ·v/S = 4/3.14, formed as (2·((1·(4·(3.14/(3.14·3.14))))·2))/4.
  EXPECT_EQ(h.jacobian(0, x, {0, 1})[3], -((2 * ((4 * (3.14 / (3.14 * 3.14))) * 2)) / 4));
  EXPECT_NEAR(h.jacobian(0, x, {0, 1})[3], -4 / 3.14, 1e-15);
}

// The section with the surge line's reach on both sides: Din = 2, dx = 4, a = 3, density = 2.
TEST(Pipe, WorkedSection) {
  PENSTOCK_REQUIRE_PLUGIN("Pipe");
  const Harness h("Pipe", {{"A.density", 2}, {"dx", 4}, {"Din", 2}, {"lambda", 1}, {"a", 3}});
  //                        t  A  B  C  D  q_ac     p_ac q_cb    p_cb q_cd p_cd
  const std::vector<double> x = {0, 0, 0, 0, 0, 2 * kPi, 5, -kPi, 7, 1, 1};
  EXPECT_EQ(h.modes(x), (std::vector<int32_t>{0, 1, 1, 0}));
  EXPECT_EQ(h.zero_crossings(x), (std::vector<double>{-2, 1}));
  const std::vector<int32_t> m = {0, 1, 1, 0};
  EXPECT_EQ(h.residual(0, x, m), 1);  // 5 − 1·2²
  EXPECT_EQ(h.residual(1, x, m), 8);  // 7 + 1·(−1)²
  const double L_h = (2 / kPi) * 2;
  EXPECT_EQ(h.mass(0, x), (std::vector<double>{0, 0, 0, 0, 0, L_h, 0, 0, 0, 0, 0}));
  EXPECT_EQ(h.mass(1, x), (std::vector<double>{0, 0, 0, 0, 0, 0, 0, L_h, 0, 0, 0}));
  const double inv_S = kPi / (kPi * kPi);
  EXPECT_EQ(h.jacobian(0, x, m), (std::vector<double>{0, 0, 0, 0, 0, -(4 * inv_S), 1, 0, 0, 0, 0}));
  EXPECT_EQ(h.jacobian(1, x, m), (std::vector<double>{0, 0, 0, 0, 0, 0, 0, -((-2 * inv_S) * -1), 1, 0, 0}));
  EXPECT_EQ(h.pattern(0), (std::vector<uint8_t>{0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0}));
  EXPECT_EQ(h.pattern(1), (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0}));
  // C = (4·π)/(2·3²), passed twice through 1/x.
  const double C = (4 * kPi) / (2 * 9.0);
  EXPECT_EQ(h.mass(2, x), (std::vector<double>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1 / (1 / C)}));
  EXPECT_NEAR(h.mass(2, x)[10], 2 * kPi / 9, 1e-15);
  EXPECT_EQ(h.linear_row(2), (std::vector<double>{0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}));
}

TEST(LineSegment, WorkedSegment) {
  PENSTOCK_REQUIRE_PLUGIN("LineSegment");
  const Harness h("LineSegment", {{"A.density", 2}, {"dx", 4}, {"Din", 2}, {"lambda", 1}, {"a", 3}});
  const std::vector<double> x = {0, 0, 0, -2 * kPi, 5};
  EXPECT_EQ(h.modes(x), (std::vector<int32_t>{1, 0}));
  EXPECT_EQ(h.zero_crossings(x), (std::vector<double>{2}));
  EXPECT_EQ(h.residual(0, x, {1, 0}), 9);  // no inertia term
  EXPECT_EQ(h.jacobian(0, x, {1, 0}), (std::vector<double>{0, 0, 0, -((-4 * (kPi / (kPi * kPi))) * -1), 1}));
  EXPECT_EQ(h.mass(1, x), (std::vector<double>{0, 0, 0, 0, (4 * kPi) / (2 * 9.0)}));
  EXPECT_EQ(h.linear_row(1), (std::vector<double>{0, 0, 0, 1, 0}));
}

// A reach as the tests see it inside a plug-in, with the values it must give restated in the
// grouping of that plug-in.
struct Geometry {
  double rho, len, Din, lambda;
};
struct Reach {
  const char* plugin;
  size_t eq;
  size_t q, p, flag, zc;
  const char* length;  // the length parameter's name
  double (*drop)(const Geometry&, double q, double s);
  double (*drop_dq)(const Geometry&, double q, double s);
  double (*inertance)(const Geometry&);  // nullptr: no inertia
  double circle;
};

double half_area(const Geometry& g) { return sd(kPi * sq(g.Din), 4); }
double half_kf(const Geometry& g) { return sd(sd(0.5 * g.lambda * g.len, g.Din) * g.rho, 2); }
double half_drop(const Geometry& g, double q, double s) { return (half_kf(g) * sq(sd(q, half_area(g)))) * s; }
double half_drop_dq(const Geometry& g, double q, double s) {
  const double S = half_area(g);
  return (half_kf(g) * ((2 * sd(q, S)) * sd(S, S * S))) * s;
}
double half_inertance(const Geometry& g) { return sd(0.5 * g.len, half_area(g)) * g.rho; }

double flow_area(const Geometry& g) { return sd(3.14 * sq(g.Din), 4); }
double flow_drop(const Geometry& g, double q, double s) {
  return sd((sd(g.lambda * g.len, g.Din) * sq(sd(q, flow_area(g)))) * g.rho, 2) * s;
}
double flow_drop_dq(const Geometry& g, double q, double s) {
  const double S = flow_area(g);
  return sd(2 * ((sd(g.lambda * g.len, g.Din) * ((2 * sd(q, S)) * sd(S, S * S))) * g.rho), 4) * s;
}
double flow_inertance(const Geometry& g) { return sd(g.rho * g.len, flow_area(g)); }

const std::vector<Reach> kReaches = {
    {"SurgeLine", 0, 3, 4, 0, 0, "dx", half_drop, half_drop_dq, half_inertance, kPi},
    {"Pipe", 0, 5, 6, 0, 0, "dx", half_drop, half_drop_dq, half_inertance, kPi},
    {"Pipe", 1, 7, 8, 2, 1, "dx", half_drop, half_drop_dq, half_inertance, kPi},
    {"LineSegment", 0, 3, 4, 0, 0, "dx", half_drop, half_drop_dq, nullptr, kPi},
    {"FlowLine", 0, 3, 4, 0, 0, "Length", flow_drop, flow_drop_dq, flow_inertance, 3.14},
};

void PrintTo(const Reach& r, std::ostream* os) { *os << r.plugin << "/e" << r.eq; }

class ReachSlots : public ::testing::TestWithParam<Reach> {
 protected:
  // Every parameter no formula reads is NaN, and so is every input but the reach's own flow and
  // pressure difference (time, the port pressures, the other branches): a formula that read one
  // would turn NaN.
  engine::ParameterTable parameters(const Geometry& g) const {
    const Reach& r = GetParam();
    engine::ParameterTable t;
    for (const auto& name : Harness(r.plugin).plugin().parameter_names()) t[name] = kNaN;
    t["A.density"] = g.rho;
    t[r.length] = g.len;
    t["Din"] = g.Din;
    t["lambda"] = g.lambda;
    if (t.count("a") != 0) t["a"] = 1200;
    return t;
  }
  std::vector<double> inputs(const Harness& h, double q, double p) const {
    const Reach& r = GetParam();
    std::vector<double> x(h.n_inputs(), kNaN);
    x[r.q] = q;
    x[r.p] = p;
    return x;
  }
  std::vector<int32_t> flags(const Harness& h, int32_t below, int32_t above) const {
    std::vector<int32_t> m(static_cast<size_t>(h.group().n_modes), 1);  // the other reach's flags: both set
    m[GetParam().flag] = below;
    m[GetParam().flag + 1] = above;
    return m;
  }
};

TEST_P(ReachSlots, EverySlotAtForwardReverseZeroAndStaleFlags) {
  const Reach& r = GetParam();
  PENSTOCK_REQUIRE_PLUGIN(r.plugin);
  const std::vector<Geometry> geometries = {{998.2, 10, 0.5, 0.02}, {1000, 600, 1.2, 0.015}, {2, 4, 2, 1}};
  for (const Geometry& g : geometries) {
    const Harness h(r.plugin, parameters(g));
    const double S = sd(r.circle * sq(g.Din), 4);
    for (double q : {0.35, -0.35, 2.0, -1e-3, 0.0, -0.0}) {
      const double v = sd(q, S);
      const std::vector<double> x = inputs(h, q, 1.5e4);
      const std::vector<int32_t> natural = h.modes(x);
      EXPECT_EQ(natural[r.flag], q < 0 ? 1 : 0) << q;
      EXPECT_EQ(natural[r.flag + 1], q > 0 ? 1 : 0) << q;
      EXPECT_EQ(h.zero_crossings(x)[r.zc], -v) << q;
      // The sign comes from the flags: the ones the flow gives, the opposite ones, none.
      for (const auto& [below, above] : {std::pair{0, 1}, std::pair{1, 0}, std::pair{0, 0}}) {
        const std::vector<int32_t> m = flags(h, below, above);
        const double s = above - below;
        const double inertia = r.inertance != nullptr ? 0 * r.inertance(g) : 0.0;
        EXPECT_EQ(h.residual(r.eq, x, m), 1.5e4 - (r.drop(g, q, s) + inertia)) << q << " s " << s;
        std::vector<double> jac(h.n_inputs(), 0.0);
        jac[r.q] = -r.drop_dq(g, q, s);
        jac[r.p] = 1;
        EXPECT_EQ(h.jacobian(r.eq, x, m), jac) << q << " s " << s;
        if (q == 0) {
          EXPECT_EQ(h.residual(r.eq, x, m), 1.5e4);
        }
      }
      // Against the textbook reach: drop λ·ℓ/D·ρ·v·|v|/2 (ℓ half of dx where the reach is half).
      const double len = r.circle == kPi ? 0.5 * g.len : g.len;
      const double textbook = g.lambda * len / g.Din * g.rho * v * std::abs(v) / 2;
      const double drop = 1.5e4 - h.residual(r.eq, x, natural);
      EXPECT_NEAR(drop, textbook, 1e-12 * std::max(1.0, std::abs(textbook))) << q;
      if (r.inertance != nullptr) {
        std::vector<double> mass(h.n_inputs(), 0.0);
        mass[r.q] = r.inertance(g);
        EXPECT_EQ(h.mass(r.eq, x), mass);
        EXPECT_NEAR(mass[r.q], g.rho * len / S, 1e-12 * mass[r.q]);
      }
    }
  }
}

TEST_P(ReachSlots, ZeroDiameterStaysFinite) {
  const Reach& r = GetParam();
  PENSTOCK_REQUIRE_PLUGIN(r.plugin);
  const Geometry g{998.2, 10, 0, 0.02};
  engine::ParameterTable t = parameters(g);
  t.erase("Din");  // missing: read as 0
  const Harness h(r.plugin, t);
  const std::vector<double> x = inputs(h, 0.2, 100);
  EXPECT_EQ(h.zero_crossings(x)[r.zc], -(0.2 / 1e-16));
  const std::vector<int32_t> m = h.modes(x);
  const double residual = h.residual(r.eq, x, m);
  EXPECT_TRUE(std::isfinite(residual));
  EXPECT_EQ(residual, 100 - (r.drop(g, 0.2, 1) + (r.inertance != nullptr ? 0 * r.inertance(g) : 0.0)));
  EXPECT_EQ(h.jacobian(r.eq, x, m)[r.q], 0.0);  // S/(S·S) = 0/0 → 0
  if (r.inertance != nullptr) {
    const double L = h.mass(r.eq, x)[r.q];
    EXPECT_TRUE(std::isfinite(L));
    EXPECT_EQ(L, r.inertance(g));
    EXPECT_GT(L, 1e18);
  }
}

TEST_P(ReachSlots, JacobianMatchesFiniteDifferences) {
  const Reach& r = GetParam();
  PENSTOCK_REQUIRE_PLUGIN(r.plugin);
  std::mt19937_64 rng(4711);
  for (int trial = 0; trial < 30; ++trial) {
    const Geometry g{
        std::uniform_real_distribution<double>(500, 1500)(rng), std::uniform_real_distribution<double>(1, 100)(rng),
        std::uniform_real_distribution<double>(0.2, 2)(rng), std::uniform_real_distribution<double>(0.005, 0.05)(rng)};
    const Harness h(r.plugin, parameters(g));
    std::vector<double> x = inputs(h, std::uniform_real_distribution<double>(-3, 3)(rng), 1e4);
    for (double& value : x) {
      if (std::isnan(value)) value = 0;  // differences are taken over every input
    }
    for (const auto& m : {h.modes(x), flags(h, 1, 0), flags(h, 0, 1)}) {
      const std::vector<double> jac = h.jacobian(r.eq, x, m);
      const std::vector<double> fd = h.fd_jacobian(r.eq, x, m);
      for (size_t i = 0; i < jac.size(); ++i) {
        EXPECT_NEAR(jac[i], fd[i], 1e-6 * std::max(1.0, std::abs(jac[i]))) << "input " << i << " trial " << trial;
      }
    }
  }
}

std::string reach_name(const ::testing::TestParamInfo<Reach>& info) {
  return std::string(info.param.plugin) + "_e" + std::to_string(info.param.eq);
}

INSTANTIATE_TEST_SUITE_P(Pipes, ReachSlots, ::testing::ValuesIn(kReaches), reach_name);

TEST(Pipes, NaNFlowSetsNoFlag) {
  for (const char* plugin : {"SurgeLine", "FlowLine", "LineSegment"}) {
    if (!plugin_built(plugin)) continue;
    const Harness h(plugin, {{"Din", 1}});
    EXPECT_EQ(h.modes({0, 0, 0, kNaN, 0}), (std::vector<int32_t>{0, 0})) << plugin;
  }
}

// The section's compliance passes twice through 1/x, the segment's is one quotient: they agree
// where it is finite and non-zero, and part at a zero length or diameter.
TEST(Pipes, ComplianceOfSectionAndSegment) {
  PENSTOCK_REQUIRE_PLUGIN("Pipe");
  PENSTOCK_REQUIRE_PLUGIN("LineSegment");
  auto section = [](const engine::ParameterTable& t) {
    return Harness("Pipe", t).mass(2, std::vector<double>(11))[10];
  };
  auto segment = [](const engine::ParameterTable& t) {
    return Harness("LineSegment", t).mass(1, std::vector<double>(5))[4];
  };
  const engine::ParameterTable full = {{"A.density", 998.2}, {"dx", 10}, {"Din", 0.5}, {"a", 1200}};
  const double S = sd(kPi * sq(0.5), 4);
  const double C = sd(10 * S, 998.2 * sq(1200));
  EXPECT_EQ(segment(full), C);
  EXPECT_EQ(section(full), sd(1, sd(1, C)));
  EXPECT_NEAR(section(full), 10 * S / (998.2 * 1200 * 1200), 1e-14 * C);

  for (const char* zero : {"dx", "Din"}) {
    engine::ParameterTable t = full;
    t.erase(zero);
    EXPECT_EQ(section(t), 1e-16) << zero;  // 1/(1/0) = 1/1e16
    EXPECT_EQ(segment(t), 0.0) << zero;
  }
  for (const char* zero : {"a", "A.density"}) {
    engine::ParameterTable t = full;
    t.erase(zero);
    EXPECT_EQ(segment(t), (10 * S) / 1e-16) << zero;
    EXPECT_EQ(section(t), sd(1, sd(1, (10 * S) / 1e-16))) << zero;
    EXPECT_NEAR(section(t), 10 * S * 1e16, 1e-15 * 10 * S * 1e16) << zero;
  }
  // Other ports' fluid is not the section's density.
  engine::ParameterTable others = full;
  for (const auto& name : fluid_names("ABCD")) {
    if (name != "A.density") others[name] = 7;
  }
  EXPECT_EQ(section(others), section(full));
}

// The surge line is one reach of the section, to the bit.
TEST(Pipes, SurgeLineIsEachReachOfTheSection) {
  PENSTOCK_REQUIRE_PLUGIN("Pipe");
  PENSTOCK_REQUIRE_PLUGIN("SurgeLine");
  const engine::ParameterTable t = {{"A.density", 998.2}, {"dx", 37}, {"Din", 0.8}, {"lambda", 0.018}, {"a", 1100}};
  const Harness pipe("Pipe", t);
  const Harness line("SurgeLine", t);
  for (double q : {1.7, -0.4}) {
    const std::vector<double> xl = {0, 0, 0, q, 2e3};
    const std::vector<double> xp = {0, 0, 0, 0, 0, q, 2e3, q, 2e3, 0, 0};
    const std::vector<int32_t> ml = line.modes(xl);
    const std::vector<int32_t> mp = pipe.modes(xp);
    EXPECT_EQ(mp, (std::vector<int32_t>{ml[0], ml[1], ml[0], ml[1]}));
    for (size_t e : {0U, 1U}) {
      const size_t at = e == 0 ? 5 : 7;
      EXPECT_EQ(pipe.residual(e, xp, mp), line.residual(0, xl, ml));
      EXPECT_EQ(pipe.jacobian(e, xp, mp)[at], line.jacobian(0, xl, ml)[3]);
      EXPECT_EQ(pipe.mass(e, xp)[at], line.mass(0, xl)[3]);
      EXPECT_EQ(pipe.zero_crossings(xp, mp)[e], line.zero_crossings(xl, ml)[0]);
    }
  }
}

// The same reach (the flow line's Length half the surge line's dx) through 3.14 against π: close,
// not equal.
TEST(Pipes, FlowLineAndSurgeLineDifferByTheCircleConstant) {
  PENSTOCK_REQUIRE_PLUGIN("SurgeLine");
  PENSTOCK_REQUIRE_PLUGIN("FlowLine");
  const Harness surge("SurgeLine", {{"A.density", 998.2}, {"dx", 1200}, {"Din", 0.9}, {"lambda", 0.02}});
  const Harness flow("FlowLine", {{"A.density", 998.2}, {"Length", 600}, {"Din", 0.9}, {"lambda", 0.02}});
  auto close_not_equal = [](double a, double b, const char* what) {
    EXPECT_NE(a, b) << what;
    EXPECT_NEAR(a, b, 2e-3 * std::abs(a)) << what;
  };
  for (double q : {0.8, -1.3}) {
    const std::vector<double> x = {0, 0, 0, q, 0};
    const std::vector<int32_t> m = surge.modes(x);
    EXPECT_EQ(flow.modes(x), m);
    close_not_equal(surge.residual(0, x, m), flow.residual(0, x, m), "residual");
    close_not_equal(surge.jacobian(0, x, m)[3], flow.jacobian(0, x, m)[3], "jacobian");
    close_not_equal(surge.mass(0, x)[3], flow.mass(0, x)[3], "mass");
    close_not_equal(surge.zero_crossings(x)[0], flow.zero_crossings(x)[0], "zero crossing");
  }
}

}  // namespace
}  // namespace penstock::testing
