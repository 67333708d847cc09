// The assembled plant model as the integrator sees it: F(t, y, y') = 0.
//
// Rows come from the plug-in equations, F = Mass·y' - Residual - LinearRow·y, from the across
// relations of the network (p - (A.p - B.p) = 0) and from the balance of through variables at
// every node. Mode flags are held fixed between events; renew_part renews those of one component.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace penstock::sim {

// Compressed sparse columns of dF/dy + cj·dF/dy', fixed for the whole run.
struct SparsityPattern {
  std::vector<int64_t> column_starts;  // size() + 1 entries
  std::vector<int64_t> row_indices;    // one per structural non-zero, ascending within a column
};

class DaeSystem {
 public:
  virtual ~DaeSystem() = default;

  virtual size_t size() const = 0;
  // "component.variable" for element variables, "node.p" (or "node.w") for node across variables.
  virtual const std::vector<std::string>& variable_names() const = 0;
  // What each variable measures: "pressure", "flow", "level", "volume", "speed", "torque",
  // "logical", "ratio" or "signal" (the network descriptions say it), "" when not known.
  virtual const std::vector<std::string>& variable_kinds() const = 0;
  // "component: equation k", "node X: balance", ... for messages.
  virtual const std::vector<std::string>& equation_names() const = 0;
  // True where y' of the variable enters some equation (IDASetId: 1), false for algebraic ones.
  virtual const std::vector<bool>& differential() const = 0;
  // Absolute tolerance per variable, from its kind (pressure, flow, level, speed, ...).
  virtual std::vector<double> absolute_tolerances(double default_atol) const = 0;

  // Start values (model start values, parameters such as q0, p0, z_ini, defaults), y' = 0.
  virtual void initial_values(double* y, double* yp) const = 0;

  virtual void residual(double t, const double* y, const double* yp, double* F) = 0;
  virtual const SparsityPattern& pattern() const = 0;
  // Values of dF/dy + cj·dF/dy' in the order of pattern(); entries may be non-finite where a
  // component's Jacobian is singular (the caller regularises).
  virtual void jacobian(double t, const double* y, const double* yp, double cj, double* values) = 0;

  // Switching. A switching part is a component with zero-crossing signals and mode flags: it owns
  // the signals [first_root, first_root + n_roots) of the system and the rows its flags select
  // between. The flags stay fixed between events; the solver locates a part's switch from its own
  // signals and renews its flags alone.
  struct SwitchingPart {
    std::string name;
    size_t first_root = 0;
    size_t n_roots = 0;
    std::vector<size_t> rows;      // the equations its flags enter
    std::vector<size_t> unknowns;  // the unknowns its signals and flags read
  };
  virtual const std::vector<SwitchingPart>& switching_parts() const = 0;
  // The part's signals into g[0, n_roots), reading y at its unknowns only.
  virtual void part_roots(size_t part, double t, const double* y, double* g) = 0;
  // Renews the part's flags from y; true when they changed.
  virtual bool renew_part(size_t part, double t, const double* y) = 0;
  // The part's rows of F, in the order of SwitchingPart::rows.
  virtual void part_residual(size_t part, double t, const double* y, const double* yp, double* F) = 0;

  // Times where a driving signal has a kink or a jump, ascending: the integrator must not step
  // across them, since a step's interpolant (and the root finding on it) cannot follow a kink.
  virtual std::vector<double> breakpoints() const { return {}; }
};

// The zero-crossing signals of all switching parts together.
inline size_t root_count(const DaeSystem& system) {
  size_t n = 0;
  for (const auto& part : system.switching_parts()) n += part.n_roots;
  return n;
}

// Every part's signals at (t, y) into g, each part's at its first_root.
inline void all_roots(DaeSystem& system, double t, const double* y, double* g) {
  const auto& parts = system.switching_parts();
  for (size_t p = 0; p < parts.size(); ++p) system.part_roots(p, t, y, g + parts[p].first_root);
}

// Renews the flags of every part; the names of those whose flags changed.
inline std::vector<std::string> renew_all(DaeSystem& system, double t, const double* y) {
  std::vector<std::string> changed;
  const auto& parts = system.switching_parts();
  for (size_t p = 0; p < parts.size(); ++p)
    if (system.renew_part(p, t, y)) changed.push_back(parts[p].name);
  return changed;
}

}  // namespace penstock::sim
