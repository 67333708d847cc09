// SPDX-License-Identifier: BSD-3-Clause
#include "reduction.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <tuple>

namespace penstock::sim::detail {

namespace {

constexpr size_t kNone = SIZE_MAX;

struct Sum {
  std::vector<std::pair<size_t, double>> terms;  // unknown, coefficient
  void add(size_t u, double c) {
    const auto it = std::find_if(terms.begin(), terms.end(), [u](const auto& t) { return t.first == u; });
    if (it == terms.end()) {
      terms.emplace_back(u, c);
    } else {
      it->second += c;
    }
  }
  void drop_zeros() {
    std::erase_if(terms, [](const auto& t) { return t.second == 0.0; });
  }
};

}  // namespace

Reduction::Reduction(const DaeSystem& system, bool enabled) {
  const size_t n = system.size();
  const std::vector<bool>& differential = system.differential();
  const std::vector<DaeSystem::ConstantRow> constant_rows =
      enabled ? system.constant_rows() : std::vector<DaeSystem::ConstantRow>{};

  std::vector<int> occurs(n, 0);  // in how many constant rows each unknown stands
  for (const auto& r : constant_rows)
    for (const auto& [u, c] : r.terms) ++occurs[u];
  auto better = [&](size_t u, size_t v) {
    if (differential[u] != differential[v]) return !differential[u];
    return occurs[u] < occurs[v];
  };

  // Whether every row that reads u, but the constant ones, has the derivative of an unknown in it:
  // an equation of motion or of storage, where a state may stand for an unknown of its own.
  const std::vector<bool> derivative_rows = system.derivative_rows();
  std::vector<bool> constant(n, false);
  for (const auto& r : constant_rows) constant[r.row] = true;
  const SparsityPattern& whole = system.pattern();
  auto in_motion_only = [&](size_t u) {
    for (auto k = whole.column_starts[u]; k < whole.column_starts[u + 1]; ++k) {
      const auto r = static_cast<size_t>(whole.row_indices[static_cast<size_t>(k)]);
      if (!constant[r] && !(r < derivative_rows.size() && derivative_rows[r])) return false;
    }
    return true;
  };

  // sums[e]: the unknown e, solved for, as a sum of unknowns not solved for.
  std::vector<size_t> candidates;
  std::vector<Sum> sums(n);
  std::vector<bool> solved(n, false), row_solved(n, false);
  std::vector<std::vector<size_t>> users(n);  // the solved unknowns whose sums hold an unknown
  for (const auto& r : constant_rows) {
    Sum row;
    for (const auto& [u, c] : r.terms) {
      if (!solved[u]) {
        row.add(u, c);
        continue;
      }
      for (const auto& [v, cv] : sums[u].terms) row.add(v, c * cv);
    }
    row.drop_zeros();
    // The candidates, best first; the first the rule allows is solved for.
    candidates.clear();
    for (const auto& [u, c] : row.terms)
      if (std::abs(c) == 1.0) candidates.push_back(u);
    std::stable_sort(candidates.begin(), candidates.end(), better);
    const bool moves =
        std::any_of(row.terms.begin(), row.terms.end(), [&](const auto& t) { return differential[t.first]; });
    size_t e = kNone;
    for (const size_t u : candidates) {
      // A state stands only for states: an algebraic unknown made one would have no rate to start
      // from.
      if (differential[u] &&
          !std::all_of(row.terms.begin(), row.terms.end(), [&](const auto& t) { return differential[t.first]; }))
        continue;
      if (moves &&
          !(std::all_of(row.terms.begin(), row.terms.end(), [&](const auto& t) { return in_motion_only(t.first); }) &&
            std::all_of(users[u].begin(), users[u].end(), in_motion_only)))
        continue;
      e = u;
      break;
    }
    if (e == kNone) continue;
    const double ce =
        std::find_if(row.terms.begin(), row.terms.end(), [e](const auto& t) { return t.first == e; })->second;
    Sum sum;  // e = −(1/ce)·Σ c·u over the others, with 1/ce = ce
    for (const auto& [u, c] : row.terms)
      if (u != e) sum.terms.emplace_back(u, -ce * c);
    for (const size_t v : users[e]) {
      auto& terms = sums[v].terms;
      const auto it = std::find_if(terms.begin(), terms.end(), [e](const auto& t) { return t.first == e; });
      if (it == terms.end()) continue;
      const double c = it->second;
      terms.erase(it);
      for (const auto& [u, cu] : sum.terms) {
        sums[v].add(u, c * cu);
        users[u].push_back(v);
      }
      sums[v].drop_zeros();
    }
    users[e].clear();
    for (const auto& [u, c] : sum.terms) users[u].push_back(e);
    sums[e] = std::move(sum);
    solved[e] = true;
    row_solved[r.row] = true;
  }

  std::vector<size_t> position(n, kNone);
  for (size_t u = 0; u < n; ++u)
    if (!solved[u]) {
      position[u] = kept_.size();
      kept_.push_back(u);
    }
  for (size_t r = 0; r < n; ++r)
    if (!row_solved[r]) rows_.push_back(r);
  differential_.assign(kept_.size(), false);
  for (size_t k = 0; k < kept_.size(); ++k) differential_[k] = differential[kept_[k]];
  formed_starts_.push_back(0);
  for (size_t e = 0; e < n; ++e) {
    if (!solved[e]) continue;
    const auto& terms = sums[e].terms;
    if (terms.size() == 1) {
      ones_.push_back({e, position[terms[0].first], terms[0].second});
    } else if (terms.size() == 2) {
      twos_.push_back({e, position[terms[0].first], position[terms[1].first], terms[0].second, terms[1].second});
    } else {
      formed_.push_back(e);
      for (const auto& [u, c] : terms) formed_terms_.push_back({position[u], c});
      formed_starts_.push_back(formed_terms_.size());
    }
  }

  // The kept Jacobian: every entry of the system's in a kept row, spread over the kept unknowns its
  // column is formed from.
  std::vector<size_t> row_position(n, kNone);
  for (size_t k = 0; k < rows_.size(); ++k) row_position[rows_[k]] = k;
  std::vector<std::vector<Term>> column_of(n);  // per unknown: kept unknown, factor
  for (size_t k = 0; k < kept_.size(); ++k) column_of[kept_[k]] = {{k, 1.0}};
  for (const One& f : ones_) column_of[f.whole] = {{f.kept, f.c}};
  for (const Two& f : twos_) column_of[f.whole] = {{f.kept_a, f.c_a}, {f.kept_b, f.c_b}};
  for (size_t i = 0; i < formed_.size(); ++i)
    column_of[formed_[i]].assign(formed_terms_.begin() + static_cast<long>(formed_starts_[i]),
                                 formed_terms_.begin() + static_cast<long>(formed_starts_[i + 1]));
  std::vector<std::tuple<size_t, size_t, size_t, double>> spread;  // kept column, kept row, entry, factor
  for (size_t col = 0; col < n; ++col)
    for (auto k = whole.column_starts[col]; k < whole.column_starts[col + 1]; ++k) {
      const size_t row = row_position[static_cast<size_t>(whole.row_indices[static_cast<size_t>(k)])];
      if (row == kNone) continue;
      for (const Term& t : column_of[col]) spread.emplace_back(t.unknown, row, static_cast<size_t>(k), t.c);
    }
  std::stable_sort(spread.begin(), spread.end(), [](const auto& a, const auto& b) {
    return std::tie(std::get<0>(a), std::get<1>(a)) < std::tie(std::get<0>(b), std::get<1>(b));
  });
  pattern_.column_starts.assign(kept_.size() + 1, 0);
  for (size_t i = 0; i < spread.size(); ++i) {
    const auto [col, row, k, c] = spread[i];
    const bool fresh = i == 0 || std::get<0>(spread[i - 1]) != col || std::get<1>(spread[i - 1]) != row;
    if (fresh) {
      pattern_.row_indices.push_back(static_cast<int64_t>(row));
      ++pattern_.column_starts[col + 1];
      entry_starts_.push_back(entry_terms_.size());
    }
    entry_terms_.emplace_back(k, c);
  }
  entry_starts_.push_back(entry_terms_.size());
  for (size_t c = 0; c < kept_.size(); ++c) pattern_.column_starts[c + 1] += pattern_.column_starts[c];
}

void Reduction::expand(const double* kept, double* whole) const {
  for (size_t k = 0; k < kept_.size(); ++k) whole[kept_[k]] = kept[k];
  for (const One& f : ones_) whole[f.whole] = f.c * kept[f.kept];
  for (const Two& f : twos_) whole[f.whole] = f.c_a * kept[f.kept_a] + f.c_b * kept[f.kept_b];
  for (size_t i = 0; i < formed_.size(); ++i) {
    double sum = 0.0;
    for (size_t j = formed_starts_[i]; j < formed_starts_[i + 1]; ++j)
      sum += formed_terms_[j].c * kept[formed_terms_[j].unknown];
    whole[formed_[i]] = sum;
  }
}

void Reduction::reduce(const double* whole, double* kept) const {
  for (size_t k = 0; k < kept_.size(); ++k) kept[k] = whole[kept_[k]];
}

void Reduction::reduce_rows(const double* F, double* kept) const {
  for (size_t k = 0; k < rows_.size(); ++k) kept[k] = F[rows_[k]];
}

void Reduction::reduce_jacobian(const double* values, double* kept) const {
  for (size_t i = 0; i + 1 < entry_starts_.size(); ++i) {
    double sum = 0.0;
    for (size_t j = entry_starts_[i]; j < entry_starts_[i + 1]; ++j)
      sum += entry_terms_[j].second * values[entry_terms_[j].first];
    kept[i] = sum;
  }
}

}  // namespace penstock::sim::detail
