// SPDX-License-Identifier: BSD-3-Clause
#include "penstock/guarded_math.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace penstock {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(SafeDivide, ReplacesOnlyAnExactZeroByAPositiveFloor) {
  EXPECT_EQ(safe_divide(5, 0.0), 5e16);
  EXPECT_EQ(safe_divide(5, -0.0), 5e16);
  EXPECT_EQ(safe_divide(1, 0), 1e16);
  EXPECT_EQ(safe_divide(-1, -0.0), -1e16);
  EXPECT_EQ(safe_divide(0, 0), 0.0);
  EXPECT_EQ(safe_divide(1, 1e-300), 1 / 1e-300);
  EXPECT_TRUE(std::isnan(safe_divide(5, kNaN)));
  EXPECT_EQ(safe_divide(6, 3), 2.0);
}

TEST(SignedPow, MirrorsPowersThatAreNotFinite) {
  EXPECT_EQ(signed_pow(-2, 2), 4.0);
  EXPECT_EQ(signed_pow(-3, 2), 9.0);
  EXPECT_EQ(signed_pow(-2, 0.5), -std::sqrt(2.0));
  EXPECT_EQ(signed_pow(2, 0.5), std::sqrt(2.0));
  EXPECT_EQ(signed_pow(-8, 1.0 / 3), -std::pow(8.0, 1.0 / 3));
  EXPECT_EQ(signed_pow(1e200, 2), -kInf);  // overflow comes back negated
  EXPECT_TRUE(std::isnan(signed_pow(kNaN, 2)));
  for (double x : {0.0, -0.0, 1.5, -7.25, 1e300, -1e-300}) EXPECT_EQ(signed_pow(x, 1), x);
}

TEST(GuardedMath, ClampsFloorsAndSigns) {
  EXPECT_EQ(signed_sqrt(-4), -2.0);
  EXPECT_EQ(signed_sqrt(9), 3.0);
  EXPECT_TRUE(std::signbit(signed_sqrt(-0.0)));
  EXPECT_TRUE(std::isnan(signed_sqrt(kNaN)));

  EXPECT_EQ(safe_asin(2), std::asin(1.0));
  EXPECT_EQ(safe_asin(-1), std::asin(-1.0));
  EXPECT_EQ(safe_asin(0.5), std::asin(0.5));
  EXPECT_EQ(safe_acos(-3), std::acos(-1.0));
  EXPECT_EQ(safe_acos(1), 0.0);
  EXPECT_TRUE(std::isnan(safe_asin(kNaN)));

  EXPECT_EQ(safe_log(0), std::log(2.5e-308));
  EXPECT_EQ(safe_log(-5), std::log(2.5e-308));
  EXPECT_NEAR(safe_log(0), -708.28, 0.01);
  EXPECT_EQ(safe_log(std::exp(1.0)), 1.0);
  EXPECT_TRUE(std::isnan(safe_log(kNaN)));
  EXPECT_EQ(safe_log10(1), 0.0);
  EXPECT_NEAR(safe_log10(-1), -307.60, 0.01);

  EXPECT_EQ(sign_of(3), 1.0);
  EXPECT_EQ(sign_of(-0.1), -1.0);
  EXPECT_EQ(sign_of(0.0), 0.0);
  EXPECT_EQ(sign_of(-0.0), 0.0);
  EXPECT_EQ(sign_of(kNaN), 0.0);
}

}  // namespace
}  // namespace penstock
