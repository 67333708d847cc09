// SPDX-License-Identifier: BSD-3-Clause
#include "jacobian.hpp"

#include <fmt/core.h>
#include <sunmatrix/sunmatrix_dense.h>
#include <sunmatrix/sunmatrix_sparse.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace penstock::sim::detail {

namespace {

// The plain account of a slope that is not finite: where, what it usually means physically, and
// that the result stands (the slope steers Newton's iterations only; the equations are met as
// before).
std::string infinite_slope(const DaeSystem& system, double t, size_t row, size_t col) {
  const std::string& equation = system.equation_names()[row];
  const std::string& variable = system.variable_names()[col];
  const size_t colon = equation.find(": ");
  const std::string owner = equation.substr(0, colon);
  const std::string where =
      owner.rfind("node ", 0) == 0 ? fmt::format("at {}", owner) : fmt::format("in component '{}'", owner);
  std::string text = fmt::format(
      "at t = {} s, {} the equations have an infinite slope with respect to {} (a loss law such as q = k*sqrt(dp) "
      "at zero flow or zero pressure difference, where the slope is infinite); the solver used a finite slope "
      "there, here and wherever it happens again. This only steers the solver's iterations: the equations are met "
      "as accurately as elsewhere, and the results can be trusted. Only when the run then fails or takes very "
      "small steps near that time does it need a remedy: a loss law with a finite slope at zero (a small linear "
      "part or leakage)",
      t, where, system.variable_kind(col).empty() ? variable : variable + " (" + system.variable_kind(col) + ")");
  if (const std::string remedy = system.equation_remedy(row); !remedy.empty()) text += "; " + remedy;
  return text;
}

}  // namespace

Jacobian::Jacobian(DaeSystem& system, double rtol, std::vector<double> atol, bool dense, Notes& notes)
    : system_(system),
      rtol_(rtol),
      atol_(std::move(atol)),
      dense_(dense),
      notes_(notes),
      values_(system.pattern().row_indices.size(), 0.0),
      row_scale_(system.size(), 0.0),
      probe_(system.size(), 0.0),
      F_plus_(system.size(), 0.0),
      F_minus_(system.size(), 0.0) {
  const SparsityPattern& pattern = system.pattern();
  const size_t n = system.size();
  row_starts_.assign(n + 1, 0);
  for (const int64_t row : pattern.row_indices) ++row_starts_[static_cast<size_t>(row) + 1];
  for (size_t r = 0; r < n; ++r) row_starts_[r + 1] += row_starts_[r];
  row_entries_.resize(pattern.row_indices.size());
  std::vector<size_t> next(row_starts_.begin(), row_starts_.end() - 1);
  for (size_t col = 0; col < n; ++col)
    for (auto k = pattern.column_starts[col]; k < pattern.column_starts[col + 1]; ++k) {
      const auto row = static_cast<size_t>(pattern.row_indices[static_cast<size_t>(k)]);
      row_entries_[next[row]++] = {static_cast<size_t>(k), col};
    }
}

void Jacobian::evaluate(double t, const double* y, const double* yp, double cj) {
  system_.jacobian(t, y, yp, cj, values_.data());
  const SparsityPattern& pattern = system_.pattern();
  const size_t n = system_.size();
  for (size_t col = 0; col < n; ++col) {
    bool probed = false;
    for (auto k = pattern.column_starts[col]; k < pattern.column_starts[col + 1]; ++k) {
      double& v = values_[static_cast<size_t>(k)];
      if (std::isfinite(v)) continue;
      const auto row = static_cast<size_t>(pattern.row_indices[static_cast<size_t>(k)]);
      const double delta = rtol_ * std::abs(y[col]) + atol_[col];
      if (!probed) {
        probed = true;
        std::copy(y, y + n, probe_.begin());
        probe_[col] = y[col] + delta;
        system_.residual(t, probe_.data(), yp, F_plus_.data());
        probe_[col] = y[col] - delta;
        system_.residual(t, probe_.data(), yp, F_minus_.data());
      }
      const double was = v;
      const double secant = (F_plus_[row] - F_minus_[row]) / (2.0 * delta);
      v = std::isfinite(secant) ? secant : 0.0;
      notes_.once(
          Notes::regularised, [&] { return infinite_slope(system_, t, row, col); },
          [&] {
            return fmt::format(
                "t = {}: the Jacobian entry of {} with respect to {} is {}; replaced by the secant over +-{:.3g} "
                "({:.6g}), here and wherever it happens again, without further notice",
                t, system_.equation_names()[row], system_.variable_names()[col], was, delta, v);
          });
    }
  }
}

void fill_matrix(SUNMatrix J, const SparsityPattern& pattern, const double* values, bool dense) {
  const size_t n = pattern.column_starts.size() - 1;
  if (dense) {
    SUNMatZero(J);
    for (size_t col = 0; col < n; ++col) {
      double* column = SUNDenseMatrix_Column(J, static_cast<sunindextype>(col));
      for (auto k = pattern.column_starts[col]; k < pattern.column_starts[col + 1]; ++k)
        column[pattern.row_indices[static_cast<size_t>(k)]] = values[k];
    }
    return;
  }
  // The matrix is zeroed, pattern included, before every evaluation: lay the fixed pattern again.
  static_assert(sizeof(sunindextype) == sizeof(int64_t));
  const size_t nonzeros = pattern.row_indices.size();
  std::memcpy(SUNSparseMatrix_IndexPointers(J), pattern.column_starts.data(), (n + 1) * sizeof(int64_t));
  std::memcpy(SUNSparseMatrix_IndexValues(J), pattern.row_indices.data(), nonzeros * sizeof(int64_t));
  std::memcpy(SUNSparseMatrix_Data(J), values, nonzeros * sizeof(double));
}

void Jacobian::error_weights(const double* y, double* w) const {
  for (size_t i = 0; i < atol_.size(); ++i) w[i] = 1.0 / (rtol_ * std::abs(y[i]) + atol_[i]);
}

void Jacobian::scale_rows(double t, const double* y, const double* yp, double cj, const double* w) {
  evaluate(t, y, yp, cj);
  scale_rows_by_last(w);
}

void Jacobian::scale_rows_by_last(const double* w) {
  std::fill(row_scale_.begin(), row_scale_.end(), 0.0);
  const SparsityPattern& pattern = system_.pattern();
  for (size_t col = 0; col < system_.size(); ++col)
    for (auto k = pattern.column_starts[col]; k < pattern.column_starts[col + 1]; ++k) {
      auto r = static_cast<size_t>(pattern.row_indices[static_cast<size_t>(k)]);
      row_scale_[r] = std::max(row_scale_[r], std::abs(values_[static_cast<size_t>(k)]) / w[col]);
    }
}

double Jacobian::row_scale_by_last(size_t r, const double* y) const {
  double scale = 0.0;
  for (size_t e = row_starts_[r]; e < row_starts_[r + 1]; ++e) {
    const auto [k, col] = row_entries_[e];
    const double w = 1.0 / (rtol_ * std::abs(y[col]) + atol_[col]);
    scale = std::max(scale, std::abs(values_[k]) / w);
  }
  return scale;
}

size_t Jacobian::worst_row(const double* F) const {
  size_t worst = 0;
  double largest = -1.0;
  for (size_t r = 0; r < row_scale_.size(); ++r) {
    const double v = std::abs(F[r]) / (row_scale_[r] > 0.0 ? row_scale_[r] : 1.0);
    if (std::isnan(v)) return r;
    if (v > largest) {
      largest = v;
      worst = r;
    }
  }
  return worst;
}

std::string Jacobian::worst_equation(const double* F) const {
  const size_t r = worst_row(F);
  if (std::isnan(F[r])) return fmt::format("{} (not a number)", system_.equation_names()[r]);
  return fmt::format("{} ({:.3g})", system_.equation_names()[r], F[r]);
}

}  // namespace penstock::sim::detail
