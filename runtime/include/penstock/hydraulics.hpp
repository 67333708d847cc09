// SPDX-License-Identifier: BSD-3-Clause
// Cross-section and mean velocity, formed the same way in every component that has them. The
// circle constant is the component's own: pi to double precision in some, 3.14 in others.
#pragma once

#include "penstock/guarded_math.hpp"

namespace penstock {

inline constexpr double pi = 3.141592653589793;

// A = c·Din²/4, the product c·Din² formed first.
double cross_section(double circle, double Din);

// v = q/A.
inline double mean_velocity(double q, double A) { return safe_divide(q, A); }

}  // namespace penstock
