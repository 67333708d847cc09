// SPDX-License-Identifier: BSD-3-Clause
// Every plug-in's component as it declares itself (penstock/declarations.hpp), the deliverables and
// the host's built-ins, as rows of a parametrised test named after the deliverable.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "penstock/declarations.hpp"

namespace penstock::declared {
inline void PrintTo(const Component& d, std::ostream* os) { *os << d.name; }
}  // namespace penstock::declared

namespace penstock::testing {

inline std::vector<declared::Component> declarations() {
  std::vector<declared::Component> all = declared::library();
  std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  return all;
}

inline std::string name_of(const ::testing::TestParamInfo<declared::Component>& info) { return info.param.name; }

}  // namespace penstock::testing
