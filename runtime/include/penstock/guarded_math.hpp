// SPDX-License-Identifier: BSD-3-Clause
// Guarded arithmetic: every division and every power of a component formula goes through these, so
// that a formula evaluated at a singular point (a zero divisor, a negative base under a fractional
// power, a logarithm of zero, an inverse sine outside its domain) still returns a number.
// Every comparison below is an ordered one: false when an operand is NaN.
#pragma once

namespace penstock {

inline constexpr double kDivisorFloor = 1e-16;  // replaces an exact zero divisor (+0 or -0)
inline constexpr double kLogFloor = 2.5e-308;   // a normal double just above the smallest normal
inline constexpr double kMinusOne = -1.0;

// a / b, with an exact zero divisor replaced by +1e-16. A NaN divisor is kept.
inline double safe_divide(double a, double b) { return a / (b == 0.0 ? kDivisorFloor : b); }

// pow(b, e) when finite; otherwise the sign-mirrored power -pow(-b, e): a negative base under a
// fractional exponent gives -|b|^e, and an overflowing power comes back negated.
double signed_pow(double b, double e);
double signed_sqrt(double x);
double safe_asin(double x);  // argument clamped to [-1, 1]
double safe_acos(double x);
double safe_log(double x);  // argument floored at 2.5e-308
double safe_log10(double x);
double sign_of(double x);  // 1, -1, or 0 for +0, -0 and NaN

}  // namespace penstock
