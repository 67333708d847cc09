// SPDX-License-Identifier: BSD-3-Clause
// The valves and local losses, driven through the engine: names and orders, flags and signals,
// every slot at points worked by hand (forward, reverse, zero flow, stale flags, the limits of the
// coefficient, missing parameters), and the Jacobian against finite differences.
//
// Din = 2 makes the bore A = (3.14·2²)/4 = 3.14 exactly, and q = 6.28 the velocity v = 2 exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "harness.hpp"

namespace penstock::testing {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kA = 3.14;  // bore at Din = 2
constexpr double kQ = 6.28;  // v = 2

// Equal values, or both NaN (+0 and −0 count as equal).
bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// d(v²)/dq as the valves group it: (2·v)·(A/(A·A)).
double w(double v, double A) { return (2 * v) * (A / (A * A)); }

// Inputs of the four valves with a coefficient input; the port pressures hold values no method reads.
std::vector<double> at(double coefficient, double q, double p) { return {0, coefficient, 11, -7, q, p}; }
// Inputs of Fitting.
std::vector<double> at(double q, double p) { return {0, 11, -7, q, p}; }

// ---------------------------------------------------------------------------------------------
struct Sheet {
  const char* name;
  std::vector<std::string> inputs;
  std::vector<std::string> own_params;  // after A.* and B.*
  std::vector<uint8_t> pattern;
};

void PrintTo(const Sheet& s, std::ostream* os) { *os << s.name; }

class Declares : public ::testing::TestWithParam<Sheet> {};

TEST_P(Declares, InputsParametersAndPattern) {
  const Sheet& s = GetParam();
  PENSTOCK_REQUIRE_PLUGIN(s.name);
  const Harness h(s.name);
  EXPECT_EQ(h.group().inputs, s.inputs);
  std::vector<std::string> params = {"A.density", "A.viscosity_kin", "A.bulk", "A.alpha",
                                     "B.density", "B.viscosity_kin", "B.bulk", "B.alpha"};
  params.insert(params.end(), s.own_params.begin(), s.own_params.end());
  EXPECT_EQ(h.plugin().parameter_names(), params);
  EXPECT_EQ(h.pattern(0), s.pattern);
}

INSTANTIATE_TEST_SUITE_P(
    Valves, Declares,
    ::testing::Values(
        Sheet{"valve", {"time", "ksi", "A.p", "B.p", "q", "p"}, {"Din", "density"}, {0, 1, 0, 0, 1, 1}},
        Sheet{"Regulator", {"time", "sigma", "A.p", "B.p", "q", "p"}, {"Din"}, {0, 1, 0, 0, 1, 1}},
        Sheet{"Fitting", {"time", "A.p", "B.p", "q", "p"}, {"ksi_plus", "ksi_minus", "Din"}, {0, 0, 0, 1, 1}},
        Sheet{"Throttle", {"time", "ksi", "A.p", "B.p", "q", "p"}, {"Din"}, {0, 1, 0, 0, 1, 1}},
        Sheet{"Orifice", {"time", "Kv", "A.p", "B.p", "q", "p"}, {"Din"}, {0, 1, 0, 0, 1, 1}}),
    [](const ::testing::TestParamInfo<Sheet>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------------------------
// Modes and ZeroCrossings: which value each tests, with which strictness, and the signal's sign.
struct Switch {
  const char* name;
  engine::ParameterTable params;
  std::vector<double> x;
  std::vector<int32_t> modes;
  double signal;
};

void PrintTo(const Switch& s, std::ostream* os) { *os << s.name; }

class Switches : public ::testing::TestWithParam<Switch> {};

TEST_P(Switches, FlagsAndSignal) {
  const Switch& s = GetParam();
  PENSTOCK_REQUIRE_PLUGIN(s.name);
  const Harness h(s.name, s.params);
  // Modes reads no flags: the result is the same whatever flags it is handed.
  const std::vector<int32_t> ones(s.modes.size(), 1);
  EXPECT_EQ(h.modes(s.x), s.modes);
  EXPECT_EQ(h.modes(s.x, ones), s.modes);
  const double zc = h.zero_crossings(s.x)[0];
  EXPECT_TRUE(same(zc, s.signal)) << zc;
  // −v at v = 0 is −0: the sign of a zero counts too.
  if (!std::isnan(zc)) {
    EXPECT_EQ(std::signbit(zc), std::signbit(s.signal)) << zc;
  }
}

const engine::ParameterTable kBore = {{"Din", 2}, {"A.density", 1000}, {"density", 1000}};

INSTANTIATE_TEST_SUITE_P(
    Valves, Switches,
    ::testing::Values(
        // loss valves: sign test of v = q/A, signal −v
        Switch{"valve", kBore, at(1.5, kQ, -9), {0, 1}, -2.0}, Switch{"valve", kBore, at(1.5, -kQ, 9), {1, 0}, 2.0},
        Switch{"valve", kBore, at(1.5, 0, 9), {0, 0}, -0.0}, Switch{"valve", kBore, at(1.5, kNaN, 9), {0, 0}, kNaN},
        Switch{"valve", {{"density", 1000}}, at(1.5, -1e-20, 9), {1, 0}, 1e-20 / 1e-16},  // Din missing: v = q/1e-16
        Switch{"Regulator", kBore, at(0.5, kQ, -9), {0, 1}, -2.0},
        Switch{"Regulator", kBore, at(0.5, -kQ, 9), {1, 0}, 2.0}, Switch{"Regulator", kBore, at(0, 0, 9), {0, 0}, -0.0},
        // Fitting: one non-strict flag v ≥ 0, signal −v
        Switch{"Fitting", kBore, at(kQ, -9), {1}, -2.0}, Switch{"Fitting", kBore, at(0.0, 9), {1}, -0.0},
        Switch{"Fitting", kBore, at(-0.0, 9), {1}, 0.0}, Switch{"Fitting", kBore, at(-kQ, 9), {0}, 2.0},
        Switch{"Fitting", kBore, at(kNaN, 9), {0}, kNaN},
        // Throttle: sign test of p, signal −p, whatever the flow
        Switch{"Throttle", kBore, at(2, -5, 40), {0, 1}, -40.0}, Switch{"Throttle", kBore, at(2, 5, -40), {1, 0}, 40.0},
        Switch{"Throttle", kBore, at(2, 5, 0), {0, 0}, -0.0}, Switch{"Throttle", kBore, at(2, 5, kNaN), {0, 0}, kNaN},
        // Orifice: open while Kv > 0, signal −Kv, whatever the flow and p
        Switch{"Orifice", kBore, at(0.5, -5, -40), {1}, -0.5}, Switch{"Orifice", kBore, at(0, 5, 40), {0}, -0.0},
        Switch{"Orifice", kBore, at(-1, 5, 40), {0}, 1.0}, Switch{"Orifice", kBore, at(kNaN, 5, 40), {0}, kNaN}));

// ---------------------------------------------------------------------------------------------
// Residual and the whole Jacobian row at points worked by hand, to the bit.
struct Point {
  const char* name;
  const char* what;
  engine::ParameterTable params;
  std::vector<double> x;
  std::vector<int32_t> m;
  double residual;
  std::vector<double> jacobian;
};

void PrintTo(const Point& p, std::ostream* os) { *os << p.name << ": " << p.what; }

class Slots : public ::testing::TestWithParam<Point> {};

TEST_P(Slots, ResidualAndJacobian) {
  const Point& pt = GetParam();
  PENSTOCK_REQUIRE_PLUGIN(pt.name);
  const Harness h(pt.name, pt.params);
  const double r = h.residual(0, pt.x, pt.m);
  EXPECT_TRUE(same(r, pt.residual)) << r << " != " << pt.residual;
  const std::vector<double> jac = h.jacobian(0, pt.x, pt.m);
  ASSERT_EQ(jac.size(), pt.jacobian.size());
  for (size_t i = 0; i < jac.size(); ++i) {
    EXPECT_TRUE(same(jac[i], pt.jacobian[i])) << h.group().inputs[i] << ": " << jac[i] << " != " << pt.jacobian[i];
  }
}

// valve, ρ = density = 1000 (A.density 1.5 is not read), v = ±2: h = (1000·4)/2 = 2000.
const engine::ParameterTable kValve = {{"Din", 2}, {"density", 1000}, {"A.density", 1.5}};
const double g_valve = (2 * (1000 * w(2, kA))) / 4;  // ρ·v/A at v = 2
// Regulator, ρ = A.density = 1000; σ = 0.5: z = 4, ζ = 3, y = −(2·0.5)/(0.25·0.25) = −16.
const engine::ParameterTable kRegulator = {{"Din", 2}, {"A.density", 1000}};
double regulator_q(double z, double v, double s) { return -(((2 * (((z - 1) * 1000) * w(v, kA))) / 4) * s); }
// Fitting, ρ = 1000, ξ₊ = 1.5, ξ₋ = 0.5.
const engine::ParameterTable kFitting = {{"Din", 2}, {"A.density", 1000}, {"ksi_plus", 1.5}, {"ksi_minus", 0.5}};
double fitting_q(double k, double v) { return -((2 * ((k * w(v, kA)) * 1000)) / 4); }
// Throttle, ρ = 1000, ζ = 2: X = (2·3.14²)/2000; at |p| = 40000, √|p| = 200 and 0.5·|p|^(−1/2) = 0.0025.
const engine::ParameterTable kThrottle = {{"Din", 2}, {"A.density", 1000}};
const double X_throttle = (2 * std::pow(kA, 2)) / (1000.0 * 2);
const double rootX = std::pow(X_throttle, 0.5);
const double throttle_ksi =
    -(((0.5 * std::pow(X_throttle, -0.5)) * (-((2 * std::pow(kA, 2)) * 1000) / (2000.0 * 2000))) * 200);
// Orifice, ρ = 1000, Kv = 0.5, p = ±8000: R = ±16, √R = ±4, A·Kv = 1.57.
// ζ = 0 or ρ missing: ρ·ζ = 0 is replaced by 1e-16.
const double X_floor = (2 * std::pow(kA, 2)) / 1e-16;
const engine::ParameterTable kOrifice = {{"Din", 2}, {"A.density", 1000}};
const double orifice_p = -(1.57 * ((0.5 * 0.25) * (2000.0 / (1000.0 * 1000))));

// clang-format off
const std::vector<Point> kPoints = {
    // valve: p − (h·ζ)·s
    {"valve", "forward", kValve, at(1.5, kQ, 3500), {0, 1}, 500, {0, -2000, 0, 0, -(g_valve * 1.5), 1}},
    {"valve", "negative Din acts as its size", {{"Din", -2}, {"density", 1000}}, at(1.5, kQ, 3500), {0, 1}, 500,
     {0, -2000, 0, 0, -(g_valve * 1.5), 1}},
    {"valve", "reverse", kValve, at(1.5, -kQ, -3500), {1, 0}, -500, {0, 2000, 0, 0, -g_valve * 1.5, 1}},
    {"valve", "stale flags", kValve, at(1.5, kQ, 3500), {1, 0}, 6500, {0, 2000, 0, 0, g_valve * 1.5, 1}},
    {"valve", "zero flow", kValve, at(1.5, 0, 3500), {0, 0}, 3500, {0, 0, 0, 0, 0, 1}},
    {"valve", "ksi = 0", kValve, at(0, kQ, 3500), {0, 1}, 3500, {0, -2000, 0, 0, 0, 1}},
    {"valve", "density missing, A.density given", {{"Din", 2}, {"A.density", 1000}}, at(1.5, kQ, 3500), {0, 1},
     3500, {0, 0, 0, 0, 0, 1}},
    {"valve", "Din missing", {{"density", 1000}}, at(1.5, 1e-14, 0), {0, 1},
     -(((1000 * std::pow(1e-14 / 1e-16, 2)) / 2) * 1.5), {0, -((1000 * std::pow(1e-14 / 1e-16, 2)) / 2), 0, 0, 0, 1}},
    // Regulator: p − ((((z − 1)·ρ)·v²)/2)·s
    {"Regulator", "sigma = 0.5", kRegulator, at(0.5, kQ, 6500), {0, 1}, 500, {0, 32000, 0, 0, regulator_q(4, 2, 1), 1}},
    {"Regulator", "negative sigma", kRegulator, at(-0.5, kQ, 6500), {0, 1}, 500,
     {0, -32000, 0, 0, regulator_q(4, 2, 1), 1}},
    {"Regulator", "reverse", kRegulator, at(0.5, -kQ, -6500), {1, 0}, -500,
     {0, -32000, 0, 0, regulator_q(4, -2, -1), 1}},
    {"Regulator", "stale flags", kRegulator, at(0.5, -kQ, 0), {0, 1}, -6000,
     {0, 32000, 0, 0, regulator_q(4, -2, 1), 1}},
    {"Regulator", "sigma = 1, no loss", kRegulator, at(1, kQ, 6500), {0, 1}, 6500, {0, 4000, 0, 0, 0, 1}},
    {"Regulator", "sigma = 0, closed", kRegulator, at(0, kQ, 0), {0, 1}, -((((1e16 - 1) * 1000) * 4) / 2),
     {0, 0, 0, 0, regulator_q(1e16, 2, 1), 1}},
    {"Regulator", "sigma = 2, negative coefficient", kRegulator, at(2, kQ, 100), {0, 1}, 1600,
     {0, -((2 * ((-0.25 * 1000) * 4)) / 4), 0, 0, regulator_q(0.25, 2, 1), 1}},
    {"Regulator", "zero flow", kRegulator, at(0.5, 0, 6500), {0, 0}, 6500, {0, 0, 0, 0, 0, 1}},
    // Fitting: p − ((k·v²)·ρ)/2, k = ξ₊ or −ξ₋
    {"Fitting", "forward", kFitting, at(kQ, 3500), {1}, 500, {0, 0, 0, fitting_q(1.5, 2), 1}},
    {"Fitting", "reverse", kFitting, at(-kQ, -900), {0}, 100, {0, 0, 0, fitting_q(-0.5, -2), 1}},
    {"Fitting", "stale flag", kFitting, at(-kQ, 3500), {1}, 500, {0, 0, 0, fitting_q(1.5, -2), 1}},
    {"Fitting", "zero flow", kFitting, at(0.0, 3500), {1}, 3500, {0, 0, 0, 0, 1}},
    {"Fitting", "ksi_minus missing", {{"Din", 2}, {"A.density", 1000}, {"ksi_plus", 1.5}}, at(-kQ, 3500), {0}, 3500,
     {0, 0, 0, 0, 1}},
    {"Fitting", "A.density missing", {{"Din", 2}, {"B.density", 1000}, {"ksi_plus", 1.5}}, at(kQ, 3500), {1}, 3500,
     {0, 0, 0, 0, 1}},
    {"Fitting", "Din missing", {{"A.density", 1000}, {"ksi_plus", 1.5}}, at(1e-14, 0), {1},
     -(((1.5 * std::pow(1e-14 / 1e-16, 2)) * 1000) / 2), {0, 0, 0, 0, 1}},
    // Throttle: q − √X·√(p·s)
    {"Throttle", "forward", kThrottle, at(2, 0.5, 40000), {0, 1}, 0.5 - rootX * 200,
     {0, throttle_ksi, 0, 0, 1, -(rootX * 0.0025)}},
    {"Throttle", "reverse: the same flow", kThrottle, at(2, 0.5, -40000), {1, 0}, 0.5 - rootX * 200,
     {0, throttle_ksi, 0, 0, 1, rootX * 0.0025}},
    {"Throttle", "stale flags: negative flow", kThrottle, at(2, 0.5, -40000), {0, 1}, 0.5 + rootX * 200,
     {0, -throttle_ksi, 0, 0, 1, -(rootX * 0.0025)}},
    {"Throttle", "p = 0", kThrottle, at(2, 0.5, 0), {0, 0}, 0.5, {0, 0, 0, 0, 1, kNaN}},
    {"Throttle", "ksi = 0", kThrottle, at(0, 0.5, 40000), {0, 1}, 0.5 - std::pow(X_floor, 0.5) * 200,
     {0, -(((0.5 * std::pow(X_floor, -0.5)) * (-((2 * std::pow(kA, 2)) * 1000) / 1e-16)) * 200), 0, 0, 1,
      -(std::pow(X_floor, 0.5) * 0.0025)}},
    {"Throttle", "negative ksi: negative flow", kThrottle, at(-2, 0.5, 40000), {0, 1}, 0.5 + rootX * 200,
     {0, throttle_ksi, 0, 0, 1, rootX * 0.0025}},
    {"Throttle", "A.density missing", {{"Din", 2}}, at(2, 0.5, 40000), {0, 1}, 0.5 - std::pow(X_floor, 0.5) * 200,
     {0, 0, 0, 0, 1, -(std::pow(X_floor, 0.5) * 0.0025)}},
    {"Throttle", "Din missing", {{"A.density", 1000}}, at(2, 0.5, 40000), {0, 1}, 0.5, {0, kNaN, 0, 0, 1, 0}},
    // Orifice: open q − (A·Kv)·√(2p/ρ), closed −q
    {"Orifice", "open", kOrifice, at(0.5, 10, 8000), {1}, 10 - 6.28, {0, -12.56, 0, 0, 1, orifice_p}},
    // the slope of a sign-preserving root is even in its argument: d/dp at −p is d/dp at p
    {"Orifice", "open, reverse", kOrifice, at(0.5, 10, -8000), {1}, 10 + 6.28, {0, 12.56, 0, 0, 1, orifice_p}},
    {"Orifice", "stale flag: negative Kv open", kOrifice, at(-1, 10, 8000), {1}, 10 + 12.56,
     {0, -12.56, 0, 0, 1, -(-3.14 * (0.125 * 0.002))}},
    {"Orifice", "stale flag: positive Kv closed", kOrifice, at(0.5, 10, 8000), {0}, -10, {0, 0, 0, 0, -1, 0}},
    {"Orifice", "closed at p = 0", kOrifice, at(0, 10, 0), {0}, -10, {0, 0, 0, 0, -1, 0}},
    {"Orifice", "open at p = 0", kOrifice, at(0.5, 10, 0), {1}, 10, {0, 0, 0, 0, 1, kInf}},
    {"Orifice", "A.density missing", {{"Din", 2}}, at(0.5, 10, 8000), {1}, 10 - 1.57 * std::pow(16000 / 1e-16, 0.5),
     {0, -(kA * std::pow(16000 / 1e-16, 0.5)), 0, 0, 1, 0}},
    {"Orifice", "Din missing", {{"A.density", 1000}}, at(0.5, 10, 8000), {1}, 10, {0, 0, 0, 0, 1, 0}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Valves, Slots, ::testing::ValuesIn(kPoints), [](const ::testing::TestParamInfo<Point>& i) {
  std::string n = std::string(i.param.name) + "_" + i.param.what;
  for (char& c : n) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return n;
});

// ---------------------------------------------------------------------------------------------
// ResidualJacobian against central differences, flags held fixed, away from p = 0, q = 0 and σ = 0.
struct Smooth {
  const char* name;
  engine::ParameterTable params;
  std::vector<double> x;
  std::vector<int32_t> m;
};

void PrintTo(const Smooth& s, std::ostream* os) { *os << s.name; }

class Slopes : public ::testing::TestWithParam<Smooth> {};

TEST_P(Slopes, MatchFiniteDifferences) {
  const Smooth& s = GetParam();
  PENSTOCK_REQUIRE_PLUGIN(s.name);
  const Harness h(s.name, s.params);
  const std::vector<double> jac = h.jacobian(0, s.x, s.m);
  const std::vector<double> fd = h.fd_jacobian(0, s.x, s.m);
  for (size_t i = 0; i < jac.size(); ++i) {
    EXPECT_NEAR(jac[i], fd[i], 1e-6 * std::max(1.0, std::abs(fd[i]))) << h.group().inputs[i];
  }
}

const engine::ParameterTable kPlant = {
    {"Din", 0.5}, {"A.density", 998.2}, {"density", 998.2}, {"ksi_plus", 0.8}, {"ksi_minus", 1.3}};

INSTANTIATE_TEST_SUITE_P(
    Valves, Slopes,
    ::testing::Values(
        Smooth{"valve", kPlant, at(2.5, 0.3, 1e4), {0, 1}}, Smooth{"valve", kPlant, at(2.5, -0.3, -1e4), {1, 0}},
        Smooth{"valve", kPlant, at(2.5, -0.3, 1e4), {0, 1}}, Smooth{"Regulator", kPlant, at(0.4, 0.3, 1e4), {0, 1}},
        Smooth{"Regulator", kPlant, at(-0.4, -0.3, 1e4), {1, 0}},
        Smooth{"Regulator", kPlant, at(1.7, 0.3, 1e4), {0, 1}}, Smooth{"Fitting", kPlant, at(0.3, 1e4), {1}},
        Smooth{"Fitting", kPlant, at(-0.3, -1e4), {0}}, Smooth{"Fitting", kPlant, at(-0.3, 1e4), {1}},
        Smooth{"Throttle", kPlant, at(2.5, 0.3, 1e4), {0, 1}}, Smooth{"Throttle", kPlant, at(2.5, 0.3, -1e4), {1, 0}},
        Smooth{"Throttle", kPlant, at(2.5, 0.3, -1e4), {0, 1}},  // stale flags: P < 0
        Smooth{"Throttle", kPlant, at(-2.5, 0.3, 1e4), {0, 1}},  // X < 0
        Smooth{"Orifice", kPlant, at(0.7, 0.3, 1e4), {1}},
        Smooth{"Orifice", kPlant, at(0.7, 0.3, -1e4), {1}},  // reverse flow: R < 0
        Smooth{"Orifice", kPlant, at(0.7, 0.3, 1e4), {0}}),
    [](const ::testing::TestParamInfo<Smooth>& i) { return std::string(i.param.name) + std::to_string(i.index); });

// The throttle's documented behaviour: with matching flags the flow that zeroes the residual is
// the same for p and −p, and never negative for ρ·ζ > 0.
TEST(Throttle, FlowDoesNotFollowTheSignOfThePressureDifference) {
  PENSTOCK_REQUIRE_PLUGIN("Throttle");
  const Harness h("Throttle", kPlant);
  for (double p : {1e3, 2.5e4, 4e5}) {
    const std::vector<int32_t> forward = h.modes(at(2.5, 0, p));
    const std::vector<int32_t> reverse = h.modes(at(2.5, 0, -p));
    const double q = -h.residual(0, at(2.5, 0, p), forward);  // q − f = 0 at q = f
    EXPECT_GT(q, 0.0);
    EXPECT_EQ(h.residual(0, at(2.5, q, -p), reverse), 0.0);
  }
}

}  // namespace
}  // namespace penstock::testing
