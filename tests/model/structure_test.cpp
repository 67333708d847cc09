// SPDX-License-Identifier: BSD-3-Clause
// The structural check on hand-made incidences: equations (rows) over the unknowns they involve.
#include "structure.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace penstock::sim::detail {
namespace {

using Structure = std::vector<std::vector<int>>;
using Ints = std::vector<int>;

TEST(Structure, ASquareSystemIsDetermined) {
  EXPECT_TRUE(structural_faults({{0}, {0, 1}, {1, 2}}, 3).empty());
  // The greedy pass matches e0 to 0, leaving e1 nothing: one augmenting step moves e0 to 1.
  EXPECT_TRUE(structural_faults({{0, 1}, {0}}, 2).empty());
  // Two steps: e2 takes 0 from e0, which takes 1 from e1, which takes 2.
  EXPECT_TRUE(structural_faults({{0, 1}, {1, 2}, {0}}, 3).empty());
  EXPECT_TRUE(structural_faults({}, 0).empty());
}

TEST(Structure, AnUnknownInNoEquationIsUnderDetermined) {
  const StructuralFaults f = structural_faults({{0}, {1}}, 3);
  EXPECT_EQ(f.under, Ints{2});
  EXPECT_TRUE(f.over.empty());
}

TEST(Structure, TwoEquationsOfOneUnknownAreOverDetermined) {
  const StructuralFaults f = structural_faults({{1}, {0}, {0}}, 2);
  EXPECT_TRUE(f.under.empty());
  EXPECT_EQ(f.over, (Ints{1, 2}));  // not e0, which determines 1 alone
}

TEST(Structure, AlternatingPathsSpreadTheFault) {
  // A chain of three equations over four unknowns: any one of them could be the one too many.
  const StructuralFaults chain = structural_faults({{0, 1}, {1, 2}, {2, 3}}, 4);
  EXPECT_EQ(chain.under, (Ints{0, 1, 2, 3}));
  EXPECT_TRUE(chain.over.empty());

  // Two flow sources in series, the node between them on the reference of neither: unknowns
  // mid.p (0), one.q (1), one.p (2), two.q (3), two.p (4); equations one.q = set (e0),
  // one.p = mid.p (e1), two.q = set (e2), two.p = -mid.p (e3), balance at mid one.q = two.q (e4).
  // The node pressure and what it sets are free; the flows are set twice.
  const StructuralFaults series = structural_faults({{1}, {2, 0}, {3}, {4, 0}, {1, 3}}, 5);
  EXPECT_EQ(series.under, (Ints{0, 2, 4}));
  EXPECT_EQ(series.over, (Ints{0, 2, 4}));

  // A determined part beside a faulty one is left out of both.
  const StructuralFaults beside = structural_faults({{0}, {0, 1}, {2}, {2}}, 4);
  EXPECT_EQ(beside.under, Ints{3});
  EXPECT_EQ(beside.over, (Ints{2, 3}));
}

}  // namespace
}  // namespace penstock::sim::detail
