// SPDX-License-Identifier: BSD-3-Clause
// The envelope of a chain of line sections: the extremes of pressure and head at each place along
// it, over the rows of the results (the start, every output time and the end).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "penstock/sim/dae.hpp"
#include "penstock/sim/run.hpp"
#include "penstock/sim/solver.hpp"

namespace penstock::sim {

// Passes everything on to the observer it wraps (the recorder), and keeps the extremes of the
// pressures of the chains' profiles at every row it is handed.
class ChainEnvelopes : public Observer {
 public:
  // Throws std::invalid_argument for a place whose pressure the system does not know.
  ChainEnvelopes(const DaeSystem& system, const std::vector<ChainProfile>& profiles, Observer& inner);

  void sample(double t, const double* y, bool event) override;
  // Every variable: the pressures at the ports are read through the system's outputs.
  const std::vector<size_t>* reads() const override { return nullptr; }
  void event(double t, const std::string& component, const std::string& what) override {
    inner_.event(t, component, what);
  }
  void progress(double t) override { inner_.progress(t); }
  void note(const std::string& text, const std::string& detail) override { inner_.note(text, detail); }
  std::string stop() override { return inner_.stop(); }

  // One envelope a chain, in the order of the profiles, in the form of a WavePipe's; empty before
  // the first row.
  std::vector<PipeEnvelope> envelopes() const;

 private:
  struct Place {
    std::optional<size_t> variable;  // in y, or
    size_t output = 0;               // the system's output
  };
  const DaeSystem& system_;
  std::vector<ChainProfile> profiles_;
  Observer& inner_;
  std::vector<std::vector<Place>> places_;
  std::vector<PipeEnvelope> envelopes_;
  bool sampled_ = false;
};

}  // namespace penstock::sim
