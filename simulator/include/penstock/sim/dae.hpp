// The assembled plant model as the integrator sees it: F(t, y, y') = 0.
//
// Rows come from the plug-in equations, F = Mass·y' - Residual - LinearRow·y, from the across
// relations of the network (p - (A.p - B.p) = 0) and from the balance of through variables at
// every node. Mode flags are held fixed between events; update_modes renews them.
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

  virtual size_t n_roots() const = 0;
  virtual void roots(double t, const double* y, const double* yp, double* g) = 0;
  // Renews the mode flags of every switching component from y; returns the names of the
  // components whose flags changed (empty when none did).
  virtual std::vector<std::string> update_modes(double t, const double* y, const double* yp) = 0;

  // The same, one switching part at a time. A part is a component with zero-crossing signals: it
  // owns roots [first_root, first_root + n_roots) and the rows its flags select between. The
  // integrator locates a part's switch from its own signals and renews its flags alone.
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

}  // namespace penstock::sim
