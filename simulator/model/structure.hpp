// SPDX-License-Identifier: BSD-3-Clause
// Structural analysis of a system of equations: which unknowns the equations cannot determine and
// which equations are too many, from the incidence of unknowns in equations alone.
#pragma once

#include <cstddef>
#include <vector>

namespace penstock::sim::detail {

// The under- and over-determined parts of a structure. A maximum matching of equations to
// unknowns leaves some unknowns and some equations unmatched; those unknowns, and every unknown
// reachable from them along alternating paths (an equation of the unknown, then the unknown that
// equation is matched to), are under-determined. Likewise the unmatched equations and those
// reachable from them are over-determined. Both sets do not depend on which maximum matching.
struct StructuralFaults {
  std::vector<int> under;  // unknowns, ascending
  std::vector<int> over;   // equations, ascending

  bool empty() const { return under.empty() && over.empty(); }
};

// structure[e]: the unknowns equation e involves, each in [0, n_unknowns).
StructuralFaults structural_faults(const std::vector<std::vector<int>>& structure, size_t n_unknowns);

}  // namespace penstock::sim::detail
