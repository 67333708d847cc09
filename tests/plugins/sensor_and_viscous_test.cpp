// SPDX-License-Identifier: BSD-3-Clause
#include <gtest/gtest.h>

#include <cmath>

#include "harness.hpp"

namespace penstock::testing {
namespace {

TEST(Manometer, PassesAnyPressureToItsOutputAndDrawsNoFlow) {
  PENSTOCK_REQUIRE_PLUGIN("Manometer");
  const Harness h("Manometer", {{"A.density", 998.2}});
  EXPECT_EQ(h.group().inputs, (std::vector<std::string>{"time", "A.p", "P", "q", "p"}));
  EXPECT_EQ(h.plugin().parameter_names(),
            (std::vector<std::string>{"A.density", "A.viscosity_kin", "A.bulk", "A.alpha"}));
  EXPECT_EQ(h.linear_row(0), (std::vector<double>{0, 0, 0, -1, 0}));  // 0 = -q
  EXPECT_EQ(h.linear_row(1), (std::vector<double>{0, 0, 1, 0, -1}));  // 0 = P - p
}

std::vector<double> viscous_row(const engine::ParameterTable& params) {
  return Harness("ViscousCell", params).linear_row(0);
}

TEST(ViscousCell, RowIsMinusResistanceAndOne) {
  PENSTOCK_REQUIRE_PLUGIN("ViscousCell");
  const Harness h("ViscousCell");
  EXPECT_EQ(h.group().inputs, (std::vector<std::string>{"time", "A.p", "q", "p"}));
  EXPECT_EQ(h.plugin().parameter_names(),
            (std::vector<std::string>{"A.density", "A.viscosity_kin", "A.bulk", "A.alpha", "dx", "Din", "mi_eq"}));

  // Din = 2, dx = 4, mi_eq = 1: A = (π·2²)/4 = π, R = 1/(π·4).
  const double pi = 3.141592653589793;
  const std::vector<double> row = viscous_row({{"Din", 2}, {"dx", 4}, {"mi_eq", 1}});
  EXPECT_EQ(row, (std::vector<double>{0, 0, -(1 / ((pi * 4) / 4 * 4)), 1}));
  EXPECT_NEAR(row[2], -1 / (4 * pi), 1e-17);
}

TEST(ViscousCell, ZeroDiameterOrLengthDividesByTheFloor) {
  PENSTOCK_REQUIRE_PLUGIN("ViscousCell");
  EXPECT_EQ(viscous_row({{"dx", 4}, {"mi_eq", 3}})[2], -3e16);
  EXPECT_EQ(viscous_row({{"Din", 2}, {"mi_eq", 3}})[2], -3e16);
  EXPECT_EQ(viscous_row({{"Din", 2}, {"dx", 0}, {"mi_eq", 3}})[2], -3e16);

  const double no_viscosity = viscous_row({{"Din", 2}, {"dx", 4}})[2];
  EXPECT_EQ(no_viscosity, 0.0);
  EXPECT_TRUE(std::signbit(no_viscosity));  // p = -0·q

  EXPECT_EQ(viscous_row({{"Din", -0.7}, {"dx", 4}, {"mi_eq", 1}}),
            viscous_row({{"Din", 0.7}, {"dx", 4}, {"mi_eq", 1}}));
}

}  // namespace
}  // namespace penstock::testing
