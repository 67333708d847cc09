// SPDX-License-Identifier: BSD-3-Clause
// Out of line on purpose: each power is one call of the C library's pow with the exponent as given,
// the same in every plug-in whatever the optimiser could fold.
#include "penstock/guarded_math.hpp"

#include <cmath>

#include "penstock/ne_mli.h"

namespace penstock {

double signed_pow(double b, double e) {
  const double r = std::pow(b, e);
  if (pmf_is_finite(r)) return r;
  return -std::pow(-b, e);
}

double signed_sqrt(double x) { return x < 0.0 ? -std::sqrt(-x) : std::sqrt(x); }

double safe_asin(double x) {
  if (x <= kMinusOne) return std::asin(kMinusOne);
  if (x >= 1.0) return std::asin(1.0);
  return std::asin(x);
}

double safe_acos(double x) {
  if (x <= kMinusOne) return std::acos(kMinusOne);
  if (x >= 1.0) return std::acos(1.0);
  return std::acos(x);
}

double safe_log(double x) { return std::log(x <= kLogFloor ? kLogFloor : x); }

double safe_log10(double x) { return std::log10(x <= kLogFloor ? kLogFloor : x); }

double sign_of(double x) {
  if (x > 0.0) return 1.0;
  if (x < 0.0) return kMinusOne;
  return 0.0;
}

}  // namespace penstock
