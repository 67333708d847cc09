// SPDX-License-Identifier: BSD-3-Clause
#include "penstock/sim/profile.hpp"

#include <fmt/core.h>

#include <map>
#include <stdexcept>

namespace penstock::sim {

ChainEnvelopes::ChainEnvelopes(const DaeSystem& system, const std::vector<ChainProfile>& profiles, Observer& inner)
    : system_(system), profiles_(profiles), inner_(inner) {
  std::map<std::string, size_t> position;
  const std::vector<std::string>& names = system.variable_names();
  for (size_t i = 0; i < names.size(); ++i) position.emplace(names[i], i);
  for (const ChainProfile& profile : profiles_) {
    std::vector<Place>& places = places_.emplace_back();
    PipeEnvelope& e = envelopes_.emplace_back();
    e.pipe = profile.chain;
    e.kind = "chain";
    e.rho_g = profile.rho_g;
    for (const ChainProfile::Node& node : profile.nodes) {
      Place place;
      if (const auto found = position.find(node.pressure); found != position.end()) {
        place.variable = found->second;
      } else if (const auto output = system.find_output(node.pressure)) {
        place.output = *output;
      } else {
        throw std::invalid_argument(
            fmt::format("the pressure '{}' along chain '{}' is not known to the model", node.pressure, profile.chain));
      }
      places.push_back(place);
      e.nodes.push_back({node.x, node.z, 0, 0, 0, 0, 0, 0, 0, 0});
    }
  }
}

void ChainEnvelopes::sample(double t, const double* y, bool event) {
  inner_.sample(t, y, event);
  if (event) return;  // the extremes of the rows in the results, as the recorder keeps them
  for (size_t c = 0; c < places_.size(); ++c) {
    PipeEnvelope& e = envelopes_[c];
    for (size_t i = 0; i < places_[c].size(); ++i) {
      const Place& place = places_[c][i];
      const double p = place.variable ? y[*place.variable] : system_.output(place.output, t, y);
      PipeEnvelope::Node& n = e.nodes[i];
      const double h = n.z + p / e.rho_g;
      // The head follows the pressure at a fixed elevation: both extremes come at the same row.
      if (!sampled_ || p < n.p_min) n.p_min = p, n.t_p_min = t, n.h_min = h, n.t_h_min = t;
      if (!sampled_ || p > n.p_max) n.p_max = p, n.t_p_max = t, n.h_max = h, n.t_h_max = t;
    }
  }
  sampled_ = true;
}

std::vector<PipeEnvelope> ChainEnvelopes::envelopes() const {
  if (!sampled_) return {};
  return envelopes_;
}

}  // namespace penstock::sim
