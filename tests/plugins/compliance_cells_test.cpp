// SPDX-License-Identifier: BSD-3-Clause
// Compliance line cells, driven through the engine: names and order of the inputs and parameters,
// the compliance at hand-worked points to the bit, its guarded forms, the computed wave speed,
// the damped cell's mode and its Residual, and the relations between the members.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "harness.hpp"

namespace penstock::testing {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kFloor = 1e-16;  // what a zero divisor becomes

double floored(double b) { return b == 0 ? kFloor : b; }

// C = (L·A)/(ρ·a²), A = (c·D²)/4, grouped as the cells group it.
double compliance(double circle, double L, double D, double rho, double a) {
  return (L * ((circle * std::pow(D, 2)) / 4)) / floored(rho * std::pow(a, 2));
}

// The fluid properties no formula reads are NaN: reading one by mistake shows up as a NaN result.
engine::ParameterTable fluid(int ports, double density) {
  engine::ParameterTable t{{"A.density", density}, {"A.viscosity_kin", kNaN}, {"A.bulk", kNaN}, {"A.alpha", kNaN}};
  if (ports == 2) t.insert({{"B.density", kNaN}, {"B.viscosity_kin", kNaN}, {"B.bulk", kNaN}, {"B.alpha", kNaN}});
  return t;
}

engine::ParameterTable with(engine::ParameterTable t, const engine::ParameterTable& own) {
  for (const auto& [name, value] : own) t[name] = value;
  return t;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

const std::vector<std::string> kOnePort{"time", "A.p", "q", "p"};
const std::vector<std::string> kTwoPort{"time", "A.p", "B.p", "q", "p"};
const std::vector<std::string> kFluidA{"A.density", "A.viscosity_kin", "A.bulk", "A.alpha"};
const std::vector<std::string> kFluidB{"B.density", "B.viscosity_kin", "B.bulk", "B.alpha"};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Declared {
  const char* name;
  std::vector<std::string> inputs;
  std::vector<std::string> params;
};

TEST(ComplianceFamily, DeclaresInputsAndParametersInOrder) {
  const std::vector<Declared> family{
      {"ElasticCell", kOnePort, kFluidA + std::vector<std::string>{"dx", "Din", "a", "p0"}},
      {"StorageSegment", kOnePort, kFluidA + std::vector<std::string>{"dx", "Din", "a"}},
      {"StorageLine", kOnePort, kFluidA + std::vector<std::string>{"dx", "Din", "a"}},
      {"ElasticPair", kTwoPort, kFluidA + kFluidB + std::vector<std::string>{"dx", "Din", "a", "p0"}},
      {"ElasticSegment", kOnePort, kFluidA + std::vector<std::string>{"dx", "Din", "epipe", "K", "E", "p0"}},
      {"DampedCell", kOnePort, kFluidA + std::vector<std::string>{"dx", "Din", "a", "p0", "Damp", "Damp_limit"}},
  };
  for (const Declared& d : family) {
    if (!plugin_built(d.name)) continue;
    const Harness h(d.name);
    EXPECT_EQ(h.group().inputs, d.inputs) << d.name;
    EXPECT_EQ(h.plugin().parameter_names(), d.params) << d.name;
  }
}

// ---------------------------------------------------------------------------------------------
// Cells whose wave speed is a parameter: C·dp/dt = q.

struct WaveSpeedMember {
  const char* name;
  int ports;
  bool double_reciprocal;  // Mass = 1/(1/C), both divisions guarded

  size_t q() const { return ports == 2 ? 3 : 2; }
  size_t p() const { return q() + 1; }
  double mass(double C) const { return double_reciprocal ? 1 / floored(1 / floored(C)) : C; }
  engine::ParameterTable params(double density, double dx, double Din, double a) const {
    return with(fluid(ports, density), {{"dx", dx}, {"Din", Din}, {"a", a}, {"p0", kNaN}});
  }
};

void PrintTo(const WaveSpeedMember& m, std::ostream* os) { *os << m.name; }

class WaveSpeedCell : public ::testing::TestWithParam<WaveSpeedMember> {
 protected:
  void SetUp() override { PENSTOCK_REQUIRE_PLUGIN(GetParam().name); }
  std::vector<double> mass_row(const engine::ParameterTable& params) const {
    const Harness h(GetParam().name, params);
    return h.mass(0, std::vector<double>(h.n_inputs(), kNaN));  // no input is read
  }
  double mass(const engine::ParameterTable& params) const { return mass_row(params)[GetParam().p()]; }
};

// Din = 2, dx = 4, ρ = 2, a = 3: A = π, C = 4π/18.
TEST_P(WaveSpeedCell, MatchesTheHandWorkedPoint) {
  const WaveSpeedMember& m = GetParam();
  const Harness h(m.name, m.params(2, 4, 2, 3));
  std::vector<double> charge(h.n_inputs(), 0.0);
  charge[m.q()] = 1;
  EXPECT_EQ(h.linear_row(0), charge);  // C·dp/dt = q

  std::vector<double> row(h.n_inputs(), 0.0);
  row[m.p()] = m.mass(compliance(kPi, 4, 2, 2, 3));
  EXPECT_EQ(mass_row(m.params(2, 4, 2, 3)), row);
  EXPECT_NEAR(row[m.p()], 4 * kPi / 18, 1e-15);
}

TEST_P(WaveSpeedCell, FollowsItsGroupingToTheBit) {
  const WaveSpeedMember& m = GetParam();
  std::mt19937_64 rng(23);
  std::uniform_real_distribution<double> par(0.5, 2.0);
  for (int trial = 0; trial < 50; ++trial) {
    const double rho = 1000 * par(rng), L = 10 * par(rng), D = par(rng), a = 1000 * par(rng);
    EXPECT_EQ(mass(m.params(rho, L, D, a)), m.mass(compliance(kPi, L, D, rho, a)));
  }
}

TEST_P(WaveSpeedCell, GuardedFormsAtZeroParameters) {
  const WaveSpeedMember& m = GetParam();
  // No diameter or no length: C = 0, which the double reciprocal turns into 1e-16.
  for (const auto& params : {m.params(2, 4, 0, 3), m.params(2, 0, 2, 3)}) {
    const double M = mass(params);
    EXPECT_EQ(M, m.mass(0.0));
    if (m.double_reciprocal) {
      EXPECT_NEAR(M, 1e-16, 1e-31);
    }
  }
  // No density or no wave speed: C = (L·A)/1e-16.
  for (const auto& params : {m.params(0, 4, 2, 3), m.params(2, 4, 2, 0)}) {
    EXPECT_EQ(mass(params), m.mass((4 * ((kPi * 4) / 4)) / kFloor));
  }
  // Signs of a and Din do not matter.
  EXPECT_EQ(mass(m.params(2, 4, -2, -3)), mass(m.params(2, 4, 2, 3)));
  EXPECT_TRUE(std::isnan(mass(m.params(2, 4, kNaN, 3))));
}

INSTANTIATE_TEST_SUITE_P(
    Family, WaveSpeedCell,
    ::testing::Values(WaveSpeedMember{"ElasticCell", 1, false}, WaveSpeedMember{"StorageSegment", 1, true},
                      WaveSpeedMember{"StorageLine", 1, true}, WaveSpeedMember{"ElasticPair", 2, false}),
    [](const ::testing::TestParamInfo<WaveSpeedMember>& member) { return std::string(member.param.name); });

TEST(ComplianceFamily, MembersAgreeWhereTheyShould) {
  for (const char* name : {"ElasticCell", "StorageSegment", "StorageLine", "ElasticPair"}) {
    PENSTOCK_REQUIRE_PLUGIN(name);
  }
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> par(0.5, 2.0);
  for (int trial = 0; trial < 20; ++trial) {
    const double rho = 1000 * par(rng), dx = 10 * par(rng), D = par(rng), a = 1000 * par(rng);
    const double cell =
        Harness("ElasticCell", WaveSpeedMember{"", 1, false}.params(rho, dx, D, a)).mass(0, {0, 0, 0, 0})[3];
    const auto storage = WaveSpeedMember{"", 1, true}.params(rho, dx, D, a);
    const double segment = Harness("StorageSegment", storage).mass(0, {0, 0, 0, 0})[3];
    EXPECT_NEAR(segment, cell, 1e-15 * cell);  // the double reciprocal only rounds
    EXPECT_EQ(Harness("StorageLine", storage).mass(0, {0, 0, 0, 0})[3], segment);
    const auto pair = WaveSpeedMember{"", 2, false}.params(rho, dx, D, a);  // B. fluid all NaN
    EXPECT_EQ(Harness("ElasticPair", pair).mass(0, {0, 0, 0, 0, 0})[4], cell);
  }
}

// ---------------------------------------------------------------------------------------------
// ElasticSegment: the wave speed a = √(K/(ρ·(K·D/(E·e) + 1))), the cross-section with 3.14.

engine::ParameterTable segment(double density, double dx, double Din, double epipe, double K, double E) {
  return with(fluid(1, density), {{"dx", dx}, {"Din", Din}, {"epipe", epipe}, {"K", K}, {"E", E}, {"p0", kNaN}});
}

double segment_mass(const engine::ParameterTable& params) {
  return Harness("ElasticSegment", params).mass(0, {kNaN, kNaN, kNaN, kNaN})[3];
}

// The compliance as the cell forms it, the root by the signed power.
double segment_compliance(double rho, double L, double D, double e, double K, double E) {
  const double r = ((K / floored(E)) * D) / floored(e);
  const double x = K / floored(rho * (r + 1));
  const double a = std::isfinite(std::pow(x, 0.5)) ? std::pow(x, 0.5) : -std::pow(-x, 0.5);
  return compliance(3.14, L, D, rho, a);
}

TEST(ElasticSegment, ComputesTheWaveSpeedFromTheModuli) {
  PENSTOCK_REQUIRE_PLUGIN("ElasticSegment");
  // ρ = 2, dx = 4, Din = 2, epipe = 1, K = 2, E = 2: r = 2, a² = 1/3, A = 3.14.
  const double C = segment_mass(segment(2, 4, 2, 1, 2, 2));
  EXPECT_EQ(C, segment_compliance(2, 4, 2, 1, 2, 2));
  EXPECT_NEAR(C, (4 * 3.14) / (2.0 / 3), 1e-13);

  // A plant-like pipe, against the same wave speed handed to ElasticCell: only 3.14 against π.
  PENSTOCK_REQUIRE_PLUGIN("ElasticCell");
  const double rho = 998.2, L = 10, D = 0.5, e = 0.01, K = 2.1e9, E = 2.1e11;
  const double a = std::sqrt(K / (rho * (K * D / (E * e) + 1)));
  const double cell =
      Harness("ElasticCell", with(fluid(1, rho), {{"dx", L}, {"Din", D}, {"a", a}})).mass(0, {0, 0, 0, 0})[3];
  EXPECT_NEAR(segment_mass(segment(rho, L, D, e, K, E)), cell * (3.14 / kPi), 1e-12 * cell);
}

TEST(ElasticSegment, FollowsItsGroupingToTheBit) {
  PENSTOCK_REQUIRE_PLUGIN("ElasticSegment");
  std::mt19937_64 rng(29);
  std::uniform_real_distribution<double> par(0.5, 2.0);
  for (int trial = 0; trial < 50; ++trial) {
    const double rho = 1000 * par(rng), L = 10 * par(rng), D = par(rng), e = 0.01 * par(rng);
    const double K = 2e9 * par(rng), E = 2e11 * par(rng);
    EXPECT_EQ(segment_mass(segment(rho, L, D, e, K, E)), segment_compliance(rho, L, D, e, K, E));
  }
}

TEST(ElasticSegment, GuardedFormsAtZeroOrNegativeParameters) {
  PENSTOCK_REQUIRE_PLUGIN("ElasticSegment");
  // No wall modulus or no wall thickness: r huge, a tiny, C huge but finite.
  for (const auto& [e, E] : {std::pair{0.0, 2.0}, std::pair{1.0, 0.0}}) {
    const double C = segment_mass(segment(2, 4, 2, e, 2, E));
    EXPECT_TRUE(std::isfinite(C));
    EXPECT_EQ(C, segment_compliance(2, 4, 2, e, 2, E));
    EXPECT_GT(C, 1e15);
  }
  // No bulk modulus: a = 0, C = (L·A)/1e-16.
  EXPECT_EQ(segment_mass(segment(2, 4, 2, 1, 0, 2)), (4 * 3.14) / kFloor);
  // A negative radicand (here through ρ < 0): a = −√|x|, a² = |x|, so C is that of √|x|.
  EXPECT_EQ(segment_mass(segment(-2, 4, 2, 1, 2, 2)), -segment_mass(segment(2, 4, 2, 1, 2, 2)));
}

// ---------------------------------------------------------------------------------------------
// DampedCell: M·dp/dt = q − 0·M, M = C with the flag set (Damp_limit > 0), else C·Damp.

engine::ParameterTable damped(double Damp, double Damp_limit) {
  return with(fluid(1, 2), {{"dx", 4}, {"Din", 2}, {"a", 3}, {"p0", kNaN}, {"Damp", Damp}, {"Damp_limit", Damp_limit}});
}

class DampedCellTest : public ::testing::Test {
 protected:
  void SetUp() override { PENSTOCK_REQUIRE_PLUGIN("DampedCell"); }
  const double C = compliance(kPi, 4, 2, 2, 3);
  const std::vector<double> x{0, kNaN, 0.25, kNaN};  // A.p and p are never read
};

TEST_F(DampedCellTest, ModeFollowsTheStrictSignOfTheLimit) {
  for (const double limit : {1.0, 1e-300}) {
    EXPECT_EQ(Harness("DampedCell", damped(5, limit)).modes(x, {0}), std::vector<int32_t>{1}) << limit;
  }
  for (const double limit : {0.0, -0.0, -1.0, kNaN}) {
    EXPECT_EQ(Harness("DampedCell", damped(5, limit)).modes(x, {1}), std::vector<int32_t>{0}) << limit;
  }
  EXPECT_EQ(Harness("DampedCell", with(fluid(1, 2), {{"Damp", 5}})).modes(x, {1}), std::vector<int32_t>{0});
  // The signal is the limit itself, bit for bit.
  for (const double limit : {1.0, 0.0, -0.0, -3.5, kNaN}) {
    EXPECT_TRUE(same_bits(Harness("DampedCell", damped(5, limit)).zero_crossings(x, {0})[0], limit)) << limit;
  }
}

TEST_F(DampedCellTest, MassIsTheCompliancePerMode) {
  const Harness h("DampedCell", damped(5, 1));
  EXPECT_EQ(h.mass(0, x, {1}), (std::vector<double>{0, 0, 0, C}));
  EXPECT_EQ(h.mass(0, x, {0}), (std::vector<double>{0, 0, 0, C * 5}));  // the flag decides, not the limit
  EXPECT_EQ(Harness("DampedCell", damped(1, -1)).mass(0, x, {0}), h.mass(0, x, {1}));
  EXPECT_EQ(Harness("DampedCell", damped(0, 0)).mass(0, x, {0}), (std::vector<double>{0, 0, 0, 0}));

  // The undamped compliance is ElasticCell's.
  PENSTOCK_REQUIRE_PLUGIN("ElasticCell");
  const Harness elastic("ElasticCell", with(fluid(1, 2), {{"dx", 4}, {"Din", 2}, {"a", 3}}));
  EXPECT_EQ(h.mass(0, x, {1}), elastic.mass(0, x));
}

TEST_F(DampedCellTest, ResidualIsTheFlowUnlessTheMassIsNotFinite) {
  const Harness h("DampedCell", damped(5, 1));
  EXPECT_EQ(h.pattern(0), (std::vector<uint8_t>{0, 0, 1, 0}));
  for (const int32_t flag : {0, 1}) {
    EXPECT_EQ(h.residual(0, x, {flag}), 0.25);
    EXPECT_EQ(h.jacobian(0, x, {flag}), (std::vector<double>{0, 0, 1, 0}));
  }
  // An infinite damping factor: M = ∞ and q − 0·∞ is NaN in the damped mode only.
  const Harness wild("DampedCell", damped(kInf, 1));
  EXPECT_TRUE(std::isnan(wild.residual(0, x, {0})));
  EXPECT_EQ(wild.residual(0, x, {1}), 0.25);

  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> in(-2.0, 2.0);
  for (int trial = 0; trial < 10; ++trial) {
    const std::vector<double> at{in(rng), in(rng), in(rng), in(rng)};
    const std::vector<int32_t> flags = h.modes(at);
    const std::vector<double> fd = h.fd_jacobian(0, at, flags);
    const std::vector<double> jac = h.jacobian(0, at, flags);
    for (size_t i = 0; i < jac.size(); ++i) EXPECT_NEAR(jac[i], fd[i], 1e-9) << i;
  }
}

TEST_F(DampedCellTest, ZeroDiameterOrLengthGivesNoStorageInEitherMode) {
  for (const auto& params : {with(damped(5, 1), {{"Din", 0}}), with(damped(5, 1), {{"dx", 0}})}) {
    const Harness h("DampedCell", params);
    EXPECT_EQ(h.mass(0, x, {1})[3], 0.0);
    EXPECT_EQ(h.mass(0, x, {0})[3], 0.0);
  }
  EXPECT_EQ(Harness("DampedCell", with(damped(5, 1), {{"a", 0}})).mass(0, x, {1})[3], (4 * kPi) / kFloor);
}

}  // namespace
}  // namespace penstock::testing
