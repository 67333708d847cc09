// SPDX-License-Identifier: BSD-3-Clause
// Equation assembly: components wired into nodes become one DAE, F(t, y, y') = 0.
//
// Unknowns: the across variable of every node but the reference, and every element variable that
// is neither bound to a port nor driven by a signal of time. Equations: every plug-in equation,
// Mass·y' - Residual - LinearRow·x = 0; every across relation, p - (A.p - B.p) = 0; at every
// node the balance of its through variables, entering - leaving = 0; and for every input driven by
// a signal that reads model variables, input - f(t, variables) = 0 ("signal for 'gov.u'"). A WavePipe adds the flows at
// its ends, q_A into it and q_B out of it, and the law at each end (wave_pipe.hpp).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "penstock/engine.hpp"
#include "penstock/sim/dae.hpp"
#include "penstock/sim/model.hpp"
#include "signals.hpp"
#include "wave_pipe.hpp"

namespace penstock::sim::detail {

inline constexpr int kReference = -1;
inline constexpr int kUnjoined = -2;

// One element; the sections of a chain share their parameters, their place in the file and so on.
class ElementSpec {
 public:
  std::string name;
  const Description* description = nullptr;
  std::shared_ptr<const engine::Plugin> plugin;
  std::shared_ptr<const engine::ParameterTable> parameters;
  std::vector<int> port_nodes;  // per port of the description: its node, kReference or kUnjoined
  std::map<std::string, std::shared_ptr<Signal>> signals;  // input -> the signal driving it
  std::map<std::string, double> start;                     // own variable -> start value
  std::shared_ptr<const SourceMark> mark;
  std::shared_ptr<const WavePipeData> wave_pipe;  // a WavePipe, solved by the host: no plug-in

  // The node at a port of the description (std::out_of_range for another name), whether the port
  // is joined yet, and joining it.
  int node_at(const std::string& port) const { return port_nodes.at(port_index(port)); }
  bool joined(const std::string& port) const { return node_at(port) != kUnjoined; }
  void join(const std::string& port, int node) { port_nodes.at(port_index(port)) = node; }

 private:
  size_t port_index(const std::string& port) const {
    for (size_t k = 0; k < description->ports.size(); ++k)
      if (description->ports[k].name == port) return k;
    throw std::out_of_range("no port '" + port + "'");
  }
};

struct NodeSpec {
  std::string name;
  Domain domain = Domain::hydraulic;
  std::string unconnected;  // the port it was made for, when that port was left unconnected
  std::optional<double> start;
};

struct NetworkSpec {
  std::string file;
  std::vector<ElementSpec> elements;
  std::vector<NodeSpec> nodes;
  std::map<std::string, double> absolute_by_kind;  // absolute tolerances the model sets per kind
  double start_time = 0.0;
  WaveGrid wave_grid;                 // of the WavePipes, in the order of their elements
  std::vector<std::string> envelope;  // the WavePipes whose extremes are kept
  bool every_envelope = false;        // keep every WavePipe's (to hold them against the vapour pressure)
};

// Builds the DAE; throws ModelError naming the components at fault when the equations do not
// determine the unknowns.
std::unique_ptr<DaeSystem> assemble(NetworkSpec spec, CheckReport* report);

// Default absolute tolerance of a kind of variable, as a multiple of the run's absolute tolerance:
// pressures to about 100 Pa and flows to about 1e-4 m3/s for the default 1e-6.
double tolerance_scale(const std::string& kind);

}  // namespace penstock::sim::detail
