// SPDX-License-Identifier: BSD-3-Clause
#include "penstock/sim/run_model.hpp"

#include <utility>

#include "penstock/sim/profile.hpp"

namespace penstock::sim {

RunResults run_model(Model& model, Recorder& recorder) {
  RunResults out;
  // The chains' envelopes are kept from the rows the recorder is handed.
  ChainEnvelopes chains(*model.system, model.profiles, recorder);
  Observer& observer = model.profiles.empty() ? static_cast<Observer&>(recorder) : chains;
  out.outcome = simulate(*model.system, model.run, observer);
  out.results = recorder.finish(out.outcome.complete);
  if (out.outcome.complete && !recorder.write_error().empty()) {  // the last rows did not go out
    out.outcome.complete = false;
    out.outcome.error = recorder.write_error();
  }
  out.envelopes = model.system->envelopes();
  for (PipeEnvelope& e : chains.envelopes()) out.envelopes.push_back(std::move(e));
  return out;
}

}  // namespace penstock::sim
