// SPDX-License-Identifier: BSD-3-Clause
// The run of a loaded model, as `penstock simulate` and the Python module make it.
#pragma once

#include <filesystem>
#include <vector>

#include "penstock/sim/dae.hpp"
#include "penstock/sim/output.hpp"
#include "penstock/sim/run.hpp"
#include "penstock/sim/solver.hpp"

namespace penstock::sim {

// How a run ended, the results file when the recorder wrote one, and the envelopes along the
// WavePipes and the chains the run kept.
struct RunResults {
  Outcome outcome;
  std::filesystem::path results;
  std::vector<PipeEnvelope> envelopes;
};

// Integrates the model from its start to its stop, every row handed to the recorder, the extremes
// along the chains of model.profiles kept beside it. Then closes the recorder's CSV, when it
// writes one (under its final name only when the run is complete and every row was written: a
// run whose last rows did not go out is incomplete, with the write error as its error), and
// gathers the envelopes: the WavePipes' first, then the chains'. Throws only what the recorder
// throws when its files cannot be renamed.
RunResults run_model(Model& model, Recorder& recorder);

}  // namespace penstock::sim
