// SPDX-License-Identifier: BSD-3-Clause
// Method slots and equation kinds: the numbering shared by the plug-in frame and the engine.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace penstock {

// Per-equation method slots. Slot 5 exists in the numbering and is never used.
enum Slot : int32_t {
  kMass = 0,               // n_inputs doubles: coefficient row of the time derivatives
  kMassPattern = 1,        // n_inputs bytes, all 0
  kMassJacobian = 2,       // n_inputs doubles, all 0
  kResidual = 3,           // 1 double: the nonlinear part, time derivative taken as 0
  kResidualNonlinear = 4,  // 1 byte: 1
  kUnusedSlot = 5,
  kMassNonlinear = 6,     // 1 byte: 0
  kResidualPattern = 7,   // n_inputs bytes: 1 where the residual depends on the input
  kResidualJacobian = 8,  // n_inputs doubles: d residual / d input, flags held fixed
};
inline constexpr int32_t kSlotCount = 9;
inline constexpr int32_t kLinearRowSlot = 0;      // the only parameter-method slot
inline constexpr int32_t kZeroCrossingsSlot = 0;  // group-method slots
inline constexpr int32_t kModesSlot = 1;

constexpr std::string_view slot_name(int32_t slot) {
  constexpr std::array<std::string_view, kSlotCount> names{"Mass",          "MassPattern",       "MassJacobian",
                                                           "Residual",      "ResidualNonlinear", "(unused slot)",
                                                           "MassNonlinear", "ResidualPattern",   "ResidualJacobian"};
  return slot >= 0 && slot < kSlotCount ? names[static_cast<size_t>(slot)] : "(no such slot)";
}

enum class Kind { differential_nonlinear, differential_linear, algebraic_nonlinear, algebraic_linear };

constexpr bool is_differential(Kind k) { return k == Kind::differential_nonlinear || k == Kind::differential_linear; }
constexpr bool is_linear(Kind k) { return k == Kind::differential_linear || k == Kind::algebraic_linear; }

constexpr std::string_view kind_name(Kind k) {
  switch (k) {
    case Kind::differential_nonlinear:
      return "differential nonlinear";
    case Kind::differential_linear:
      return "differential linear";
    case Kind::algebraic_nonlinear:
      return "algebraic nonlinear";
    case Kind::algebraic_linear:
      return "algebraic linear";
  }
  return "?";
}

// The equation-method slots each kind registers, as a bit set over slot numbers.
constexpr uint32_t slot_bits(Kind k) {
  switch (k) {
    case Kind::differential_nonlinear:
      return 1U << kMass | 1U << kMassPattern | 1U << kMassJacobian | 1U << kResidual | 1U << kResidualNonlinear |
             1U << kMassNonlinear | 1U << kResidualPattern | 1U << kResidualJacobian;
    case Kind::differential_linear:
      return 1U << kMass | 1U << kMassPattern | 1U << kMassJacobian | 1U << kMassNonlinear;
    case Kind::algebraic_nonlinear:
      return 1U << kResidual | 1U << kResidualNonlinear | 1U << kResidualPattern | 1U << kResidualJacobian;
    case Kind::algebraic_linear:
      return 0;
  }
  return 0;
}

}  // namespace penstock
