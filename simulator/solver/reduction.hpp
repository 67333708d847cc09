// SPDX-License-Identifier: BSD-3-Clause
// The unknowns that rows of constant coefficients fix, taken out of the integration.
//
// A network is mostly such rows: every across relation (p_ac = A.p − C.p) and every balance of
// flows at a node. Each is solved for one of its unknowns whose coefficient is ±1, which becomes a
// sum of the others (later rows see the sums of earlier ones), and that row and that unknown
// leave the system the integrator iterates on. The integrator then solves, norms and interpolates
// three unknowns of a pipe section instead of eight; every evaluation of the system first forms
// the whole state from them, so the components, the switches and the results see the same
// variables as before.
//
// The unknown a row is solved for is an algebraic one where the row has one, and among those the
// one in the fewest such rows (an element's own across variable rather than the pressure of a
// node). A row of flows that are all states, the balance where two inertances meet, is solved for
// one of them: the two become one state, and the node's pressure is fixed by the two equations of
// motion together (index one, where the two states made it two). A state stands in for other
// unknowns only where every row that reads them is an equation of motion or storage: in an
// algebraic law (a valve's, a turbine's torque over its speed) the unknown keeps its own column,
// so that the searches for consistent values and Newton's iterations there go as before.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "penstock/sim/dae.hpp"

namespace penstock::sim::detail {

class Reduction {
 public:
  // enabled false: every unknown and row stays (the identity).
  Reduction(const DaeSystem& system, bool enabled);

  size_t size() const { return kept_.size(); }
  // The system's unknown of each unknown kept, and the system's row of each row kept.
  const std::vector<size_t>& kept() const { return kept_; }
  const std::vector<size_t>& rows() const { return rows_; }
  // Whether y' of a kept unknown enters F.
  const std::vector<bool>& differential() const { return differential_; }

  // The whole state (y or y') from the kept unknowns.
  void expand(const double* kept, double* whole) const;
  // The kept unknowns of a whole state.
  void reduce(const double* whole, double* kept) const;
  // The kept rows of F.
  void reduce_rows(const double* F, double* kept) const;

  // dF/dy·E over the kept rows, where E forms the whole state from the kept unknowns: the pattern,
  // and its values from the values of the system's Jacobian (in the system's pattern order).
  const SparsityPattern& pattern() const { return pattern_; }
  void reduce_jacobian(const double* values, double* kept) const;

 private:
  struct Term {
    size_t unknown;  // a kept one
    double c;
  };
  std::vector<size_t> kept_, rows_;
  std::vector<bool> differential_;
  // The unknowns formed from the kept ones, by the number of terms of their sums (most are a kept
  // unknown or its negative, or the sum or difference of two): their index in the whole state,
  // their kept unknowns and coefficients; those of more terms with their terms in formed_terms_
  // [formed_starts_[i] .. formed_starts_[i + 1]).
  struct One {
    size_t whole, kept;
    double c;
  };
  struct Two {
    size_t whole, kept_a, kept_b;
    double c_a, c_b;
  };
  std::vector<One> ones_;
  std::vector<Two> twos_;
  std::vector<size_t> formed_, formed_starts_;
  std::vector<Term> formed_terms_;
  SparsityPattern pattern_;
  std::vector<size_t> entry_starts_;                    // per kept entry: its terms in entry_terms_
  std::vector<std::pair<size_t, double>> entry_terms_;  // an entry of the system's Jacobian, its factor
};

}  // namespace penstock::sim::detail
