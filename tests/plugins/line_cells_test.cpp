// SPDX-License-Identifier: BSD-3-Clause
// Friction and inertance line cells, driven through the engine: names and order of the inputs and
// parameters, values at hand-worked points to the bit, the guarded forms at a zero diameter, the
// Jacobian against central differences, the sign taken from the flags, and the relations between
// the members of each family.
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
constexpr double kFloor = 1e-16;  // what a zero divisor becomes

template <class Member>
std::string member_name(const ::testing::TestParamInfo<Member>& info) {
  return info.param.name;
}

const std::vector<std::string> kInputs{"time", "A.p", "B.p", "q", "p"};

// The parameters a formula reads, with every fluid property that none reads set to NaN: reading
// one by mistake shows up as a NaN result.
engine::ParameterTable two_port(double density, double dx, double Din, const char* own, double value) {
  return {{"A.density", density},
          {"A.viscosity_kin", kNaN},
          {"A.bulk", kNaN},
          {"A.alpha", kNaN},
          {"B.density", kNaN},
          {"B.viscosity_kin", kNaN},
          {"B.bulk", kNaN},
          {"B.alpha", kNaN},
          {"dx", dx},
          {"Din", Din},
          {own, value}};
}

std::vector<std::string> two_port_names(const char* own) {
  return {"A.density", "A.viscosity_kin", "A.bulk", "A.alpha", "B.density", "B.viscosity_kin",
          "B.bulk",    "B.alpha",         "dx",     "Din",     own};
}

// ---------------------------------------------------------------------------------------------
// Friction cells: 0 = p − loss·s.

struct FrictionMember {
  const char* name;
  double circle;
  double length_factor;  // 1: e = λ·L/D; 0.5: e = ((0.5·λ)·L)/D
  bool coefficient;      // loss as (k·v²)·s with k = (e·ρ)/2, else ((e·v²)·ρ)/2·s

  double ratio(double lambda, double L, double D) const {
    const double d = D == 0 ? kFloor : D;
    return length_factor == 1 ? (lambda * L) / d : (length_factor * lambda * L) / d;
  }
  double area(double D) const { return (circle * std::pow(D, 2)) / 4; }
  // Residual and Jacobian entry 3, grouped as the cell groups them (divisors taken non-zero).
  double residual(double p, double e, double v, double rho, double s) const {
    if (coefficient) return p - (((e * rho) / 2) * std::pow(v, 2)) * s;
    return p - ((e * std::pow(v, 2) * rho) / 2) * s;
  }
  double dq(double e, double v, double A, double rho, double s) const {
    const double dv = A / (A * A);
    if (coefficient) return -(((e * rho) / 2) * (2 * std::pow(v, 1) * dv)) * s;
    return -((2 * (e * (2 * std::pow(v, 1) * dv) * rho)) / 4) * s;
  }
};

void PrintTo(const FrictionMember& m, std::ostream* os) { *os << m.name; }

const FrictionMember kFrictionCell{"FrictionCell", kPi, 1, false};
const FrictionMember kFrictionSplit{"FrictionSplit", kPi, 0.5, false};
const FrictionMember kFrictionSegment{"FrictionSegment", 3.14, 0.5, false};
const FrictionMember kFrictionLine{"FrictionLine", kPi, 0.5, true};

engine::ParameterTable friction(double density, double dx, double Din, double lambda) {
  return two_port(density, dx, Din, "lambda", lambda);
}

class Friction : public ::testing::TestWithParam<FrictionMember> {
 protected:
  void SetUp() override { PENSTOCK_REQUIRE_PLUGIN(GetParam().name); }
};

TEST_P(Friction, DeclaresItsInputsAndParametersInOrder) {
  const Harness h(GetParam().name);
  EXPECT_EQ(h.group().inputs, kInputs);
  EXPECT_EQ(h.plugin().parameter_names(), two_port_names("lambda"));
  EXPECT_EQ(h.pattern(0), (std::vector<uint8_t>{0, 0, 0, 1, 1}));
}

// Din = 2, dx = 4, λ = 1, ρ = 2, q = 6.28, p = 5: every output to the bit, under both flag pairs.
TEST_P(Friction, MatchesTheHandWorkedPoint) {
  const FrictionMember& m = GetParam();
  const Harness h(m.name, friction(2, 4, 2, 1));
  const double A = m.area(2);
  const double v = 6.28 / A;
  const double e = m.ratio(1, 4, 2);
  const std::vector<double> x{0, kNaN, kNaN, 6.28, 5};  // port pressures are bound, never read

  EXPECT_EQ(h.modes(x), (std::vector<int32_t>{0, 1}));
  EXPECT_EQ(h.zero_crossings(x), std::vector<double>{-v});
  for (const std::vector<int32_t>& flags : {std::vector<int32_t>{0, 1}, std::vector<int32_t>{1, 0}}) {
    const double s = flags[1] - flags[0];
    EXPECT_EQ(h.residual(0, x, flags), m.residual(5, e, v, 2, s));
    EXPECT_EQ(h.jacobian(0, x, flags), (std::vector<double>{0, 0, 0, m.dq(e, v, A, 2, s), 1}));
  }
  // In plain numbers: the loss is e·ρ·v²/2 and its derivative e·ρ·v/A.
  EXPECT_NEAR(h.residual(0, x, {0, 1}), 5 - e * v * v, 1e-14);
  EXPECT_NEAR(h.jacobian(0, x, {0, 1})[3], -e * 2 * v / A, 1e-14);
}

// At random points the groupings of the family give different last bits: each member's is its own.
TEST_P(Friction, FollowsItsGroupingToTheBit) {
  const FrictionMember& m = GetParam();
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<double> par(0.5, 2.0);
  for (int trial = 0; trial < 50; ++trial) {
    const double rho = 1000 * par(rng), L = 10 * par(rng), D = par(rng), lambda = 0.02 * par(rng);
    const Harness h(m.name, friction(rho, L, D, lambda));
    const std::vector<double> x{0, 0, 0, par(rng) - 1.25, 1e4 * par(rng)};
    const std::vector<int32_t> flags = h.modes(x);
    const double s = flags[1] - flags[0];
    const double A = m.area(D);
    const double v = x[3] / A;
    const double e = m.ratio(lambda, L, D);
    EXPECT_EQ(h.residual(0, x, flags), m.residual(x[4], e, v, rho, s));
    EXPECT_EQ(h.jacobian(0, x, flags)[3], m.dq(e, v, A, rho, s));
  }
}

TEST(Friction, SegmentWorkedExampleIsExact) {
  PENSTOCK_REQUIRE_PLUGIN("FrictionSegment");
  const Harness h("FrictionSegment", friction(2, 4, 2, 1));
  const std::vector<double> x{0, 0, 0, 6.28, 5};  // A = 3.14, v = 2, e = 1
  EXPECT_EQ(h.residual(0, x, {0, 1}), 1.0);
  EXPECT_NEAR(h.jacobian(0, x, {0, 1})[3], -4 / 3.14, 1e-15);
  EXPECT_EQ(h.zero_crossings(x), std::vector<double>{-2.0});
}

// The sign comes from the flags in the context: a flow of either sign gives the same residual under
// the same flags, and no flags (zero, −0, NaN flow) means no loss at all.
TEST_P(Friction, TakesTheSignFromTheFlagsNotFromTheFlow) {
  const Harness h(GetParam().name, friction(998.2, 10, 0.5, 0.02));
  const std::vector<double> forward{0, 0, 0, 0.3, 0};  // p = 0: Residual = −loss·s
  const std::vector<double> backward{0, 0, 0, -0.3, 0};
  const double loss = -h.residual(0, forward, {0, 1});
  EXPECT_GT(loss, 0);
  EXPECT_EQ(h.residual(0, backward, {0, 1}), -loss);  // flags not renewed yet
  EXPECT_EQ(h.residual(0, backward, {1, 0}), loss);
  EXPECT_EQ(h.residual(0, forward, {1, 0}), loss);
  EXPECT_EQ(h.jacobian(0, backward, {0, 1})[3], -h.jacobian(0, forward, {0, 1})[3]);  // d(s·v²)/dq = 2·s·v/A
  EXPECT_EQ(h.jacobian(0, forward, {1, 0})[3], -h.jacobian(0, forward, {0, 1})[3]);
  EXPECT_EQ(h.modes(backward), (std::vector<int32_t>{1, 0}));

  for (const double q : {0.0, -0.0, kNaN}) {
    const std::vector<double> x{0, 0, 0, q, 1e4};
    EXPECT_EQ(h.modes(x, {1, 1}), (std::vector<int32_t>{0, 0})) << q;
  }
  const std::vector<double> still{0, 0, 0, 0.0, 1e4};
  EXPECT_EQ(h.residual(0, still, {0, 0}), 1e4);
  EXPECT_EQ(h.jacobian(0, still, {0, 0}), (std::vector<double>{0, 0, 0, 0, 1}));
  const double zc = h.zero_crossings(still)[0];
  EXPECT_EQ(zc, 0.0);
  EXPECT_TRUE(std::signbit(zc));  // −v at v = +0
  EXPECT_TRUE(std::isnan(h.zero_crossings({0, 0, 0, kNaN, 0})[0]));
}

// A missing diameter: A = 0, v = q·1e16, e scaled by 1e16; the Jacobian entry is 0, not huge.
TEST_P(Friction, ZeroDiameterKeepsEverythingFinite) {
  const FrictionMember& m = GetParam();
  const Harness h(m.name, friction(2, 4, 0, 1));
  const std::vector<double> x{0, 0, 0, 0.5, 3};
  const double v = 0.5 / kFloor;
  EXPECT_EQ(h.zero_crossings(x), std::vector<double>{-v});
  const double r = h.residual(0, x, {0, 1});
  EXPECT_TRUE(std::isfinite(r));
  EXPECT_EQ(r, m.residual(3, m.ratio(1, 4, 0), v, 2, 1));
  const std::vector<double> jac = h.jacobian(0, x, {0, 1});
  EXPECT_EQ(jac, (std::vector<double>{0, 0, 0, 0, 1}));

  // No friction factor (or length, or density): no loss at any flow.
  for (const auto& params : {friction(2, 4, 2, 0), friction(2, 0, 2, 1), friction(0, 4, 2, 1)}) {
    const Harness none(m.name, params);
    EXPECT_EQ(none.residual(0, x, {0, 1}), 3.0);
    EXPECT_EQ(none.jacobian(0, x, {0, 1})[3], 0.0);
  }
}

// A negative diameter: the same cross-section, a friction ratio of the other sign.
TEST_P(Friction, NegativeDiameterTurnsTheRatioRound) {
  const Harness plus(GetParam().name, friction(2, 4, 0.7, 1));
  const Harness minus(GetParam().name, friction(2, 4, -0.7, 1));
  const std::vector<double> x{0, 0, 0, 0.4, 0};
  EXPECT_EQ(minus.zero_crossings(x), plus.zero_crossings(x));
  EXPECT_EQ(minus.residual(0, x, {0, 1}), -plus.residual(0, x, {0, 1}));
  EXPECT_EQ(minus.jacobian(0, x, {0, 1})[3], -plus.jacobian(0, x, {0, 1})[3]);
}

TEST_P(Friction, JacobianMatchesCentralDifferences) {
  std::mt19937_64 rng(31);
  std::uniform_real_distribution<double> par(0.5, 2.0);
  std::uniform_real_distribution<double> in(-2.0, 2.0);
  for (int trial = 0; trial < 50; ++trial) {
    const Harness h(GetParam().name, friction(par(rng), par(rng), par(rng), par(rng)));
    std::vector<double> x{in(rng), in(rng), in(rng), in(rng), in(rng)};
    if (std::abs(x[3]) < 0.05) continue;  // stay off the switching surface
    const std::vector<int32_t> flags = h.modes(x);
    const std::vector<double> jac = h.jacobian(0, x, flags);
    const std::vector<double> fd = h.fd_jacobian(0, x, flags);
    for (size_t i = 0; i < jac.size(); ++i) EXPECT_NEAR(jac[i], fd[i], 1e-6 * (1 + std::abs(jac[i]))) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Family, Friction,
                         ::testing::Values(kFrictionCell, kFrictionSplit, kFrictionSegment, kFrictionLine),
                         member_name<FrictionMember>);

double loss_of(const char* name, const engine::ParameterTable& params, double q) {
  const Harness h(name, params);
  return -h.residual(0, {0, 0, 0, q, 0}, {0, 1});
}

TEST(FrictionFamily, MembersDifferOnlyWhereTheyShould) {
  for (const char* name : {"FrictionCell", "FrictionSplit", "FrictionSegment", "FrictionLine"}) {
    PENSTOCK_REQUIRE_PLUGIN(name);
  }
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> par(0.5, 2.0);
  for (int trial = 0; trial < 20; ++trial) {
    const auto params = friction(par(rng), par(rng), par(rng), par(rng));
    const double q = par(rng);
    const double split = loss_of("FrictionSplit", params, q);
    // No length factor 0.5: twice the loss.
    EXPECT_NEAR(loss_of("FrictionCell", params, q), 2 * split, 1e-14 * split);
    // Another grouping of the same product: equal up to rounding.
    EXPECT_NEAR(loss_of("FrictionLine", params, q), split, 1e-14 * split);
    // 3.14 against π: the same velocity at a flow scaled by 3.14/π gives the same loss, while the
    // same flow does not.
    EXPECT_NEAR(loss_of("FrictionSegment", params, q * (3.14 / kPi)), split, 1e-14 * split);
    EXPECT_GT(loss_of("FrictionSegment", params, q), split * 1.0009);
  }
}

// ---------------------------------------------------------------------------------------------
// Inertance cells: M·dq/dt = p.

struct InertiaMember {
  const char* name;
  double circle;
  double length_factor;  // 1: M = (L/A)·ρ; 0.5: M = ((0.5·L)/A)·ρ

  double inertance(double L, double D, double rho) const {
    const double A = (circle * std::pow(D, 2)) / 4;
    return ((length_factor == 1 ? L : length_factor * L) / (A == 0 ? kFloor : A)) * rho;
  }
};

void PrintTo(const InertiaMember& m, std::ostream* os) { *os << m.name; }

engine::ParameterTable inertia(double density, double dx, double Din) { return two_port(density, dx, Din, "q0", kNaN); }

class Inertia : public ::testing::TestWithParam<InertiaMember> {
 protected:
  void SetUp() override { PENSTOCK_REQUIRE_PLUGIN(GetParam().name); }
};

TEST_P(Inertia, DeclaresItsInputsAndParametersInOrder) {
  const Harness h(GetParam().name);
  EXPECT_EQ(h.group().inputs, kInputs);
  EXPECT_EQ(h.plugin().parameter_names(), two_port_names("q0"));
  EXPECT_EQ(h.linear_row(0), (std::vector<double>{0, 0, 0, 0, 1}));  // M·dq/dt = p
}

// Din = 2, dx = 4, ρ = 2, then a zero diameter, a zero length, a zero density and a negative
// diameter: Mass to the bit.
TEST_P(Inertia, MassMatchesTheHandWorkedPoints) {
  const InertiaMember& m = GetParam();
  const std::vector<double> x{7, kNaN, kNaN, kNaN, kNaN};
  const auto mass_at = [&](const engine::ParameterTable& params) { return Harness(m.name, params).mass(0, x); };

  const double M = m.inertance(4, 2, 2);
  EXPECT_EQ(mass_at(inertia(2, 4, 2)), (std::vector<double>{0, 0, 0, M, 0}));
  EXPECT_NEAR(M, m.length_factor * 8 / m.circle, 1e-15);

  const double floored = mass_at(inertia(2, 4, 0))[3];
  EXPECT_EQ(floored, m.inertance(4, 0, 2));
  EXPECT_NEAR(floored, m.length_factor * 4 * 2e16, 1e3);
  EXPECT_EQ(mass_at(inertia(2, 0, 2)), (std::vector<double>{0, 0, 0, 0, 0}));
  EXPECT_EQ(mass_at(inertia(0, 4, 2)), (std::vector<double>{0, 0, 0, 0, 0}));
  EXPECT_EQ(mass_at(inertia(2, 4, -2)), mass_at(inertia(2, 4, 2)));
}

TEST_P(Inertia, FollowsItsGroupingToTheBit) {
  const InertiaMember& m = GetParam();
  std::mt19937_64 rng(19);
  std::uniform_real_distribution<double> par(0.5, 2.0);
  for (int trial = 0; trial < 50; ++trial) {
    const double rho = 1000 * par(rng), L = 10 * par(rng), D = par(rng);
    EXPECT_EQ(Harness(m.name, inertia(rho, L, D)).mass(0, std::vector<double>(5, 0.0))[3], m.inertance(L, D, rho));
  }
}

INSTANTIATE_TEST_SUITE_P(Family, Inertia,
                         ::testing::Values(InertiaMember{"InertiaCell", 3.14, 1},
                                           InertiaMember{"InertiaSegment", 3.14, 0.5},
                                           InertiaMember{"InertiaLine", kPi, 0.5},
                                           InertiaMember{"InertiaSplit", kPi, 0.5}),
                         member_name<InertiaMember>);

TEST(InertiaFamily, MembersDifferOnlyWhereTheyShould) {
  for (const char* name : {"InertiaCell", "InertiaSegment", "InertiaLine", "InertiaSplit"}) {
    PENSTOCK_REQUIRE_PLUGIN(name);
  }
  const std::vector<double> x(5, 0.0);
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> par(0.5, 2.0);
  for (int trial = 0; trial < 20; ++trial) {
    const auto params = inertia(par(rng), par(rng), par(rng));
    const double cell = Harness("InertiaCell", params).mass(0, x)[3];
    const double segment = Harness("InertiaSegment", params).mass(0, x)[3];
    const double line = Harness("InertiaLine", params).mass(0, x)[3];
    EXPECT_NEAR(cell, 2 * segment, 1e-14 * cell);              // no length factor 0.5
    EXPECT_NEAR(segment * 3.14, line * kPi, 1e-14 * segment);  // 3.14 against π
    EXPECT_EQ(Harness("InertiaSplit", params).mass(0, x)[3], line);
  }
}

}  // namespace
}  // namespace penstock::testing
