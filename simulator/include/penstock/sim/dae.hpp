// SPDX-License-Identifier: BSD-3-Clause
// The assembled plant model as the integrator sees it: F(t, y, y') = 0.
//
// Rows come from the plug-in equations, F = Mass·y' - Residual - LinearRow·y, from the across
// relations of the network (p - (A.p - B.p) = 0) and from the balance of through variables at
// every node. Mode flags are held fixed between events; renew_part renews those of one component.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace penstock::sim {

// Compressed sparse columns of dF/dy + cj·dF/dy', fixed for the whole run.
struct SparsityPattern {
  std::vector<int64_t> column_starts;  // size() + 1 entries
  std::vector<int64_t> row_indices;    // one per structural non-zero, ascending within a column
};

// The extremes of pressure (gauge) and head along a pipe solved by the method of characteristics,
// node by node, with the times they occurred.
struct PipeEnvelope {
  struct Node {
    double x, z;  // distance from end A, elevation
    double p_min, t_p_min, p_max, t_p_max;
    double h_min, t_h_min, h_max, t_h_max;
  };
  std::string pipe;
  std::string kind = "WavePipe";  // what the pipe is, for messages: "WavePipe", or "chain"
  double rho_g = 0.0;             // to turn a pressure into a head: h = z + p/(ρ·g)
  std::vector<Node> nodes;
};

class DaeSystem {
 public:
  virtual ~DaeSystem() = default;

  virtual size_t size() const = 0;
  // "component.variable" for element variables, "node.p" (or "node.w") for node across variables.
  virtual const std::vector<std::string>& variable_names() const = 0;
  // What variable i measures: "pressure", "flow", "level", "volume", "speed", "torque",
  // "logical", "ratio" or "signal" (the network descriptions say it), "" when not known.
  virtual const std::string& variable_kind(size_t i) const = 0;
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

  // The rows of F that are linear in the unknowns with constant coefficients, F_row = Σ c·y_u (the
  // across relations, the balances of through variables at the nodes). The integrator may solve
  // such a row for one of its unknowns, and integrate the others alone.
  struct ConstantRow {
    size_t row = 0;
    std::vector<std::pair<size_t, double>> terms;  // unknown, coefficient
  };
  virtual std::vector<ConstantRow> constant_rows() const { return {}; }
  // Per row of F: whether the derivative of some unknown enters it (an equation of motion or of
  // storage); empty when the system does not tell.
  virtual std::vector<bool> derivative_rows() const { return {}; }

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
    // Its laws bend at its switches (a rate reaching its limit): the rest of a step taken under the
    // old flags stands only if the new ones leave its rows at the step's end as they were.
    bool kinks = false;
    // Each of its signals sets flags of its own, entering rows of their own (a pipe section's two
    // half reaches): no state of its flags on the way between two crossings in one step matters.
    bool independent = false;
  };
  virtual const std::vector<SwitchingPart>& switching_parts() const = 0;
  // The part's signals into g[0, n_roots), reading y at its unknowns only.
  virtual void part_roots(size_t part, double t, const double* y, double* g) = 0;
  // Renews the part's flags from y; true when they changed.
  virtual bool renew_part(size_t part, double t, const double* y) = 0;
  // The part's mode flags as they are now; empty when the system does not tell them.
  virtual std::vector<int32_t> part_flags(size_t /*part*/) const { return {}; }
  // The part's rows of F, in the order of SwitchingPart::rows.
  virtual void part_residual(size_t part, double t, const double* y, const double* yp, double* F) = 0;
  // Puts the part's flags to those part_flags told (the undoing of a renewal tried on it), its
  // masses taken at (t, y); false when the system cannot, and then nothing changed.
  virtual bool set_part_flags(size_t /*part*/, double /*t*/, const double* /*y*/,
                              const std::vector<int32_t>& /*flags*/) {
    return false;
  }

  // Times where a driving signal has a kink or a jump, ascending: the integrator must not step
  // across them, since a step's interpolant (and the root finding on it) cannot follow a kink.
  virtual std::vector<double> breakpoints() const { return {}; }

  // A time grid on which parts of the system move on beside the integrator (pipes solved by the
  // method of characteristics): its step, 0 when there is none. The integrator begins the grid once
  // at the start, from the consistent state there, then stops at every grid time t0 + k·step,
  // without beginning afresh, and hands the state there to advance_grid. Between grid times these
  // parts enter F as relations whose coefficients go linearly in time.
  virtual double grid_step() const { return 0.0; }
  virtual void begin_grid(double /*t*/, const double* /*y*/) {}
  virtual void advance_grid(double /*t*/, const double* /*y*/) {}
  // How far, relatively, those coefficients have moved at t since the Jacobian was last evaluated:
  // a Newton step on the old Jacobian is off by about this fraction of itself.
  virtual double jacobian_drift(double /*t*/) const { return 0.0; }

  // Quantities worth recording that are not unknowns (a port's across variable by the port's name,
  // the values along a characteristic pipe): an id for the name, or none.
  virtual std::optional<size_t> find_output(const std::string& /*name*/) const { return std::nullopt; }
  // The output's value at (t, y), t within the grid's current step; and its kind, as for variables.
  virtual double output(size_t /*id*/, double /*t*/, const double* /*y*/) const { return 0.0; }
  virtual std::string output_kind(size_t /*id*/) const { return ""; }

  // The extremes along the characteristic pipes asked for, over the grid times so far.
  virtual std::vector<PipeEnvelope> envelopes() const { return {}; }

  // Why the inputs that drive F left the finite range (a signal that is infinite or not a number,
  // named with the first time it was met), or "" while they have not: after that F means nothing.
  virtual std::string input_fault() const { return ""; }
  // What the driving signals have to tell at a state the solver accepted (a variable read by a
  // table or chart has left it, and its end value is held), each once: notes for the user.
  virtual std::vector<std::string> input_notes(double /*t*/, const double* /*y*/) { return {}; }
  // What the component owning the variable, or the equation, advises when a run fails there (its
  // description's remedy, with its name), or "".
  virtual std::string variable_remedy(size_t /*variable*/) const { return ""; }
  virtual std::string equation_remedy(size_t /*row*/) const { return ""; }
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
