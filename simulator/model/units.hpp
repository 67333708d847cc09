// SPDX-License-Identifier: BSD-3-Clause
// Quantities written with a unit ("600 m", "2 bar", "0.5 m3/s"), converted to SI.
#pragma once

#include <optional>
#include <string>

namespace penstock::sim::detail {

struct Unit {
  double factor = 1.0;    // SI value of one unit
  std::string dimension;  // "length", "pressure", ... ; "" for a pure number
};

// The unit of a name ("bar", "l/s", "rpm"), or nothing when it is not known.
std::optional<Unit> find_unit(const std::string& name);

struct Quantity {
  double value = 0.0;  // in SI
  std::string unit;    // as written, "" when none
};

// Parses "<decimal number> [unit]" into SI: returns nothing when the text does not start with a
// decimal number, and throws std::invalid_argument with a message when what follows the number is
// not a known unit (a hexadecimal number, a list "1,2,3", trailing text) or when the value in SI is
// not finite.
std::optional<Quantity> parse_quantity(const std::string& text);

// "a length", "an area", "a pure number" (for ""): a dimension in a sentence.
std::string dimension_phrase(const std::string& dimension);

}  // namespace penstock::sim::detail
