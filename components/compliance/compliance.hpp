// SPDX-License-Identifier: BSD-3-Clause
// Compliance cell: the storage of fluid in one line element through the compressibility of the
// fluid and the elasticity of the wall, expressed by the pressure-wave speed a.
//
//   C·dp/dt = q,   C = dx·A/(ρ·a²),   A = c·Din²/4
//
// Linear in the inputs: Mass carries C at p, LinearRow carries 1 at q; C depends on parameters only.
//
// A member states its ports (OnePort or TwoPort), its parameter list and its compliance
// storage(c); the equation is written here once.
#pragma once

#include "penstock/frame.hpp"
#include "penstock/hydraulics.hpp"

namespace penstock::compliance {

// Port A. Inputs: A.p (bound, unread), q flow charging the cell, p pressure (the state).
struct OnePort {
  PENSTOCK_INPUTS(A_p, q, p);
};

// Ports A, B. Inputs: A.p, B.p (bound, unread), q, p.
struct TwoPort {
  PENSTOCK_INPUTS(A_p, B_p, q, p);
};

// C = (L·A)/(ρ·a²): dividend and divisor each a product of two factors, one division.
inline double compliance(double circle, double L, double D, double rho, double a) {
  return safe_divide(L * cross_section(circle, D), rho * signed_pow(a, 2));
}

template <class Member>
struct Cell : Member {
  static double storage(const Ctx& c) { return Member::storage(c); }
  static void charged_by_q(Params /*par*/, Row row) { row[Member::q] = 1; }

  static constexpr std::array equations{
      Equation{.kind = differential_linear, .differential = Member::p, .mass = storage, .linear_row = charged_by_q}};
};

}  // namespace penstock::compliance
