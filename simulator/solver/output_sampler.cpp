// SPDX-License-Identifier: BSD-3-Clause
#include "output_sampler.hpp"

#include <utility>

namespace penstock::sim::detail {

OutputSampler::OutputSampler(const RunSettings& run, Observer& observer, size_t n)
    : run_(run),
      observer_(observer),
      interpolate_events_(observer.reads() == nullptr || !observer.reads()->empty()),
      row_(n, 0.0),
      next_(output_time(1)) {}

// The output times t0 + k·interval, the last one moved onto the stop time.
double OutputSampler::output_time(long index) const {
  const double span = run_.stop_time - run_.start_time;
  const double t = run_.start_time + static_cast<double>(index) * run_.output_interval;
  return t > run_.stop_time - 1e-12 * span ? run_.stop_time : t;
}

bool OutputSampler::due(double t) const { return next_ - t <= close(t, next_); }

bool OutputSampler::output(double t, const double* y) {
  observer_.sample(t, y, false);
  last_ = t;
  if (next_ >= run_.stop_time) return false;
  next_ = output_time(++index_);
  return true;
}

void OutputSampler::event(double t, const double* y) {
  observer_.sample(t, y, true);
  last_ = t;
}

void OutputSampler::last(double t, const double* y) {
  if (t > last_) observer_.sample(t, y, false);
}

void OutputSampler::stop_if_asked(double t, const double* y) {
  std::string why = observer_.stop();
  if (why.empty()) return;
  if (t > run_.start_time && t > last_) {
    observer_.sample(t, y, false);
    last_ = t;
  }
  throw Stopped{std::move(why), t};
}

void OutputSampler::stop_between_rows() {
  std::string why = observer_.stop();
  if (!why.empty()) throw Stopped{std::move(why), last_};
}

}  // namespace penstock::sim::detail
