// SPDX-License-Identifier: BSD-3-Clause
#include "penstock/hydraulics.hpp"

#include <bit>
#include <cstdint>

namespace penstock {

// A component forms its cross-section in every residual, zero crossing and Jacobian row, nearly
// always from the same diameter: the last one formed is kept, per thread, and given again for the
// same circle constant and diameter (the same bits). It is the value the formula gives, without
// the power.
double cross_section(double circle, double Din) {
  struct Last {
    uint64_t circle = 0, Din = 0;
    double A = 0.0;
    bool set = false;
  };
  thread_local Last last;
  const uint64_t c = std::bit_cast<uint64_t>(circle), d = std::bit_cast<uint64_t>(Din);
  if (last.set && last.circle == c && last.Din == d) return last.A;
  const double A = safe_divide(circle * signed_pow(Din, 2), 4);
  last = Last{c, d, A, true};
  return A;
}

}  // namespace penstock
