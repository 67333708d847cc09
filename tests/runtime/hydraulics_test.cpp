// SPDX-License-Identifier: BSD-3-Clause
// The cross-section that a plug-in keeps from its last call is the formula's value to the bit, from
// any number of threads asking for different diameters at once.
#include "penstock/hydraulics.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <thread>
#include <vector>

namespace penstock {
namespace {

double formula(double circle, double Din) { return safe_divide(circle * signed_pow(Din, 2), 4); }

TEST(CrossSection, IsTheFormulasValueFromEveryThread) {
  constexpr int kThreads = 4;
  constexpr int kCalls = 200000;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int k = 0; k < kThreads; ++k) {
    threads.emplace_back([k, &wrong] {
      // Each thread its own diameters and circle constants, the same one several times in a row.
      const double diameters[] = {0.5 + 0.1 * k, 1.2 + 0.01 * k, 3e-3 * (k + 1)};
      const double circles[] = {pi, 3.14};
      for (int i = 0; i < kCalls; ++i) {
        const double D = diameters[(i / 3) % 3], c = circles[(i / 7) % 2];
        if (std::bit_cast<uint64_t>(cross_section(c, D)) != std::bit_cast<uint64_t>(formula(c, D))) ++wrong;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(cross_section(pi, 0.0), 0.0);
  EXPECT_EQ(std::bit_cast<uint64_t>(cross_section(pi, -0.0)), std::bit_cast<uint64_t>(formula(pi, -0.0)));
}

}  // namespace
}  // namespace penstock
