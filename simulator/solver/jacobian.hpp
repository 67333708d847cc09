// SPDX-License-Identifier: BSD-3-Clause
// The Jacobian of the assembled system, dF/dy + cj·dF/dy', over its fixed sparsity pattern, and the
// scales that read a residual as a correction in units of the error tolerances.
#pragma once

#include <sundials/sundials_matrix.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "penstock/sim/dae.hpp"
#include "penstock/sim/solver.hpp"

namespace penstock::sim::detail {

// Lines for the log, each topic said once in a run.
class Notes {
 public:
  enum Topic { regularised, projected, jumped, topics };
  explicit Notes(Observer& observer) : observer_(observer) {}
  // Says text() in plain words, with detail() the solver's own account, the first time the topic
  // comes up. Never throws: it is called from within SUNDIALS.
  template <typename Text, typename Detail>
  void once(Topic topic, Text text, Detail detail) noexcept {
    if (said_[topic]) return;
    said_[topic] = true;
    try {
      observer_.note(text(), detail());
    } catch (...) {
    }
  }

 private:
  Observer& observer_;
  bool said_[topics] = {};
};

// Values over a sparsity pattern into a SUNDIALS matrix, dense or compressed sparse columns.
void fill_matrix(SUNMatrix J, const SparsityPattern& pattern, const double* values, bool dense);

class Jacobian {
 public:
  // atol: the absolute tolerance of each variable; rtol the relative one.
  Jacobian(DaeSystem& system, double rtol, std::vector<double> atol, bool dense, Notes& notes);

  // The values of dF/dy + cj·dF/dy' at (t, y, y'), in pattern order, with every non-finite entry
  // replaced by the secant of its residual over the variable's error tolerance either side: an
  // infinite slope (q = k·√|Δp| at Δp = 0) becomes the slope of the law linearised over the band
  // the solution is resolved to.
  void evaluate(double t, const double* y, const double* yp, double cj);
  // The last values into a SUNDIALS matrix, dense or sparse as the linear solver is.
  void fill(SUNMatrix J) const { fill_matrix(J, system_.pattern(), values_.data(), dense_); }
  const std::vector<double>& values() const { return values_; }

  // 1 / (rtol·|y| + atol): the inverse of the error tolerance of each variable.
  void error_weights(const double* y, double* w) const;
  // The largest |dF_r/dy_j| / w_j over each row: how much row r moves for a change of one error
  // weight in some variable. From a Jacobian evaluated at (t, y, y'), or from the last one (row
  // scales change slowly, and an event is too frequent a thing to pay a Jacobian for).
  void scale_rows(double t, const double* y, const double* yp, double cj, const double* w);
  void scale_rows_by_last(const double* w);
  const std::vector<double>& row_scales() const { return row_scale_; }
  // Row r's scale from the last values at the error weights of y, as scale_rows_by_last gives it,
  // reading that row's entries alone.
  double row_scale_by_last(size_t r, const double* y) const;

  // The equation whose residual is largest in row-scale units (the first one not a number), and
  // its name with its residual, for messages.
  size_t worst_row(const double* F) const;
  std::string worst_equation(const double* F) const;
  const std::vector<double>& absolute_tolerances() const { return atol_; }

 private:
  DaeSystem& system_;
  const double rtol_;
  const std::vector<double> atol_;
  const bool dense_;
  Notes& notes_;
  std::vector<double> values_;     // in pattern order
  std::vector<double> row_scale_;  // per row
  // The pattern by rows: row r's entries are row_entries_[row_starts_[r] .. row_starts_[r + 1]),
  // each its place in the values and its column.
  std::vector<size_t> row_starts_;
  std::vector<std::pair<size_t, size_t>> row_entries_;
  std::vector<double> probe_, F_plus_, F_minus_;
};

}  // namespace penstock::sim::detail
