// SPDX-License-Identifier: BSD-3-Clause
// The rows of the results: the state at every output time (from the integrator's interpolant, or
// the state itself where a step ends on one) and at every event, handed to the observer in time
// order.
#pragma once

#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "penstock/sim/run.hpp"
#include "penstock/sim/solver.hpp"
#include "sundials.hpp"

namespace penstock::sim::detail {

// Thrown when the observer ends the run: why, and the time of the last row.
struct Stopped {
  std::string why;
  double t = 0.0;
};

class OutputSampler {
 public:
  OutputSampler(const RunSettings& run, Observer& observer, size_t n);

  // The first row: the state where the run starts.
  void first(double t, const double* y) { observer_.sample(t, y, false); }
  // Whether the next output time is t itself, to within the integrator's resolution.
  bool due(double t) const;
  // The output row at t from the state itself; false when that was the last, at the stop time.
  bool output(double t, const double* y);
  // The output rows before t, from the interpolant: interpolant.state_at(t, y) puts the state at
  // t into y.
  template <typename Interpolant>
  void before(double t, Interpolant& interpolant);
  // An event row from the state at t.
  void event(double t, const double* y);
  // An event row from the interpolant, as at the output times, so that the rows of one run come
  // from one curve; not interpolated for an observer that reads no variable.
  template <typename Interpolant>
  void event_on_interpolant(double t, Interpolant& interpolant);
  // The state where a failed run stopped, unless a row was written there already.
  void last(double t, const double* y);
  // Ends the run (throws Stopped) when the observer asks, with the state y at t as the last row
  // unless t is the start. Asked also every kRowsPerAsk output rows of a step.
  void stop_if_asked(double t, const double* y);

 private:
  double output_time(long index) const;
  // A step can span millions of output rows (a slow model sampled finely): the observer is asked
  // whether to stop between them too, the rows so far ending the run.
  static constexpr long kRowsPerAsk = 4096;
  void stop_between_rows();

  const RunSettings& run_;
  Observer& observer_;
  const bool interpolate_events_;
  std::vector<double> row_;
  double next_ = 0.0;        // the next output time
  long index_ = 1;           // its index
  double last_ = -HUGE_VAL;  // the time of the last row after the first
};

template <typename Interpolant>
void OutputSampler::before(double t, Interpolant& interpolant) {
  while (next_ < t - close(t, next_)) {
    interpolant.state_at(next_, row_.data());
    observer_.sample(next_, row_.data(), false);
    last_ = next_;
    next_ = output_time(++index_);
    if (index_ % kRowsPerAsk == 0) stop_between_rows();
  }
}

template <typename Interpolant>
void OutputSampler::event_on_interpolant(double t, Interpolant& interpolant) {
  if (interpolate_events_) interpolant.state_at(t, row_.data());
  event(t, row_.data());
}

}  // namespace penstock::sim::detail
