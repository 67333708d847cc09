// SPDX-License-Identifier: BSD-3-Clause
#include "structure.hpp"

namespace penstock::sim::detail {

namespace {

// A maximum matching of equations to unknowns: a cheap greedy pass, then an augmenting path
// (depth first) from every equation the greedy pass left unmatched.
class Matching {
 public:
  Matching(const std::vector<std::vector<int>>& structure, size_t n_unknowns)
      : structure_(structure), equation_of_(n_unknowns, -1), unknown_of_(structure.size(), -1), seen_(n_unknowns, -1) {
    for (size_t e = 0; e < structure_.size(); ++e) {
      for (int v : structure_[e]) {
        if (equation_of_[static_cast<size_t>(v)] < 0) {
          pair(static_cast<int>(e), v);
          break;
        }
      }
    }
    for (size_t e = 0; e < structure_.size(); ++e) {
      if (unknown_of_[e] < 0) augment(static_cast<int>(e), static_cast<int>(e));
    }
  }

  int equation_of(size_t unknown) const { return equation_of_[unknown]; }
  int unknown_of(size_t equation) const { return unknown_of_[equation]; }

 private:
  void pair(int equation, int unknown) {
    equation_of_[static_cast<size_t>(unknown)] = equation;
    unknown_of_[static_cast<size_t>(equation)] = unknown;
  }

  // Matches the equation, re-matching along an alternating path; stamp marks the unknowns this
  // search has visited.
  bool augment(int e, int stamp) {
    for (int v : structure_[static_cast<size_t>(e)]) {
      const size_t k = static_cast<size_t>(v);
      if (seen_[k] == stamp) continue;
      seen_[k] = stamp;
      if (equation_of_[k] < 0 || augment(equation_of_[k], stamp)) {
        pair(e, v);
        return true;
      }
    }
    return false;
  }

  const std::vector<std::vector<int>>& structure_;
  std::vector<int> equation_of_, unknown_of_, seen_;
};

std::vector<int> ascending(const std::vector<bool>& marked) {
  std::vector<int> out;
  for (size_t i = 0; i < marked.size(); ++i) {
    if (marked[i]) out.push_back(static_cast<int>(i));
  }
  return out;
}

// From the unmatched unknowns: an equation of a marked unknown leads to the unknown it is matched to.
std::vector<int> under_determined(const std::vector<std::vector<int>>& structure, size_t n_unknowns,
                                  const Matching& m) {
  std::vector<std::vector<int>> equations_of(n_unknowns);
  for (size_t e = 0; e < structure.size(); ++e) {
    for (int v : structure[e]) equations_of[static_cast<size_t>(v)].push_back(static_cast<int>(e));
  }
  std::vector<bool> under(n_unknowns, false);
  std::vector<int> stack;
  for (size_t v = 0; v < n_unknowns; ++v) {
    if (m.equation_of(v) < 0) stack.push_back(static_cast<int>(v));
  }
  while (!stack.empty()) {
    const size_t v = static_cast<size_t>(stack.back());
    stack.pop_back();
    if (under[v]) continue;
    under[v] = true;
    for (int e : equations_of[v]) {
      const int w = m.unknown_of(static_cast<size_t>(e));
      if (w >= 0 && !under[static_cast<size_t>(w)]) stack.push_back(w);
    }
  }
  return ascending(under);
}

// From the unmatched equations: an unknown of a marked equation leads to the equation it is matched to.
std::vector<int> over_determined(const std::vector<std::vector<int>>& structure, const Matching& m) {
  std::vector<bool> over(structure.size(), false);
  std::vector<int> stack;
  for (size_t e = 0; e < structure.size(); ++e) {
    if (m.unknown_of(e) < 0) stack.push_back(static_cast<int>(e));
  }
  while (!stack.empty()) {
    const size_t e = static_cast<size_t>(stack.back());
    stack.pop_back();
    if (over[e]) continue;
    over[e] = true;
    for (int v : structure[e]) {
      const int f = m.equation_of(static_cast<size_t>(v));
      if (f >= 0 && !over[static_cast<size_t>(f)]) stack.push_back(f);
    }
  }
  return ascending(over);
}

}  // namespace

StructuralFaults structural_faults(const std::vector<std::vector<int>>& structure, size_t n_unknowns) {
  const Matching m(structure, n_unknowns);
  return {under_determined(structure, n_unknowns, m), over_determined(structure, m)};
}

}  // namespace penstock::sim::detail
