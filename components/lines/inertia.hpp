// SPDX-License-Identifier: BSD-3-Clause
// Inertance cell: the inertia of the fluid column in one line element between ports A and B.
//
//   M·dq/dt = p,   M = ρ·dx/A (or ρ·0.5·dx/A),   A = c·Din²/4
//
// Linear in the inputs: Mass carries M at q, LinearRow carries 1 at p; M depends on parameters only.
//
// Ports A, B. Inputs: A.p, B.p (bound, unread), q flow (the state), p pressure difference.
// Parameters: fluid of A and B (only A.density is read), dx length [m], Din inner diameter [m],
// q0 initial flow [m³/s] (carried to the host, read by no method).
//
// A member states what sets it apart, all else is written here once:
//   circle             the circle constant of its cross-section (π or 3.14)
//   inertance(L,A,ρ)   M, with its length factor
#pragma once

#include "penstock/frame.hpp"
#include "penstock/hydraulics.hpp"

namespace penstock::inertia {

template <class Member>
struct Cell {
  PENSTOCK_INPUTS(A_p, B_p, q, p);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B), dx, Din, q0);

  static double inertance(const Ctx& c) {
    return Member::inertance(c.par(dx), cross_section(Member::circle, c.par(Din)), c.par(A_density));
  }
  static void driven_by_p(Params /*par*/, Row row) { row[p] = 1; }

  static constexpr std::array equations{
      Equation{.kind = differential_linear, .differential = q, .mass = inertance, .linear_row = driven_by_p}};
};

}  // namespace penstock::inertia
