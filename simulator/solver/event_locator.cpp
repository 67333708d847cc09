// SPDX-License-Identifier: BSD-3-Clause
#include "penstock/sim/event_locator.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace penstock::sim {

namespace {

// Switches of one part located within one step; more are taken at the step's end.
constexpr int kLocatedPerStep = 4;
// Unit roundoff of the doubles the integrator works in.
constexpr double kRoundoff = std::numeric_limits<double>::epsilon();

// The time over which the rates of the signals are taken: a small part of a step h.
double rate_span(double h) { return 1e-4 * h; }

// Brackets are narrowed down to this: the integrator's resolution of time.
double time_resolution(double a, double b) { return 100 * kRoundoff * (std::abs(b) + (b - a)); }

int sign_of(double g) { return (g > 0.0) - (g < 0.0); }

// Whether a signal at some time has left the sign it had at the start of the interval (lo) on its
// way to the sign it has at the end (hi). Exactly zero counts as left only where the signal ends on
// zero: a flag that tests its signal strictly reads the old side there.
bool left(double lo, double g, double hi) {
  const int s = sign_of(g);
  return s != sign_of(lo) && (s != 0 || sign_of(hi) == 0);
}

}  // namespace

EventLocator::EventLocator(DaeSystem& system, bool locate_smooth)
    : system_(system), parts_(system.switching_parts()), locate_smooth_(locate_smooth) {
  const size_t n = system.size();
  const size_t roots = root_count(system);
  for (auto* v : {&g_lo_, &g_hi_, &rate_lo_, &rate_hi_, &lo_, &hi_, &mid_}) v->assign(roots, 0.0);
  for (auto* v : {&y0_, &yp0_, &cubic_y_, &probe_y_, &split_y_, &event_y_, &event_yp_}) v->assign(n, 0.0);
  since_.assign(parts_.size(), 0.0);
  flags_.resize(parts_.size());
}

void EventLocator::start(double t, const double* y, const double* yp, double h) {
  if (g_lo_.empty()) return;
  all_roots(system_, t, y, g_lo_.data());
  rates(t, y, yp, h, g_lo_, rate_lo_);
}

void EventLocator::step_from(double t, const double* y, const double* yp) {
  t0_ = t;
  if (parts_.empty()) return;
  std::copy(y, y + y0_.size(), y0_.begin());
  std::copy(yp, yp + yp0_.size(), yp0_.begin());
}

// dg/dt of every signal at (t, y, y'), by a forward difference along y' over a small part of a step
// h: enough to see whether a signal heads for zero.
void EventLocator::rates(double t, const double* y, const double* yp, double h, const std::vector<double>& g,
                         std::vector<double>& rate) {
  const double dt = rate_span(h);
  for (size_t j = 0; j < probe_y_.size(); ++j) probe_y_[j] = y[j] + dt * yp[j];
  all_roots(system_, t + dt, probe_y_.data(), rate.data());
  for (size_t i = 0; i < rate.size(); ++i) rate[i] = (rate[i] - g[i]) / dt;
}

const EventLocator::Switches& EventLocator::step_to(double t, const double* y, const double* yp,
                                                    Integration& integration) {
  found_.smooth.clear();
  found_.changes.clear();
  found_.restart.reset();
  if (parts_.empty()) return found_;
  integration_ = &integration;
  const double t_lo = t0_, t_hi = t;
  t1_ = t;
  y1_ = y;
  yp1_ = yp;
  all_roots(system_, t_hi, y, g_hi_.data());
  rates(t_hi, y, yp, t_hi - t_lo, g_hi_, rate_hi_);
  const double split = there_and_back(t_lo, t_hi);
  if (split == t_hi && !any_crosses()) {
    g_lo_.swap(g_hi_);
    rate_lo_.swap(rate_hi_);
    return found_;
  }
  switched_.assign(parts_.size(), 0);
  double a = t_lo;
  if (split < t_hi) {
    // First up to the point where the signal is across zero, then on to the step's end.
    if (interval(a, split, split_y_.data())) return found_;
    a = split;
    g_lo_.swap(g_hi_);
    all_roots(system_, t_hi, y, g_hi_.data());
  }
  const bool at_end = !locate_smooth_ && try_at_end(t_hi, y, yp);
  if (interval(a, t_hi, y)) {
    // A switch within the step restarts it: those tried at its end are put back.
    if (at_end)
      for (size_t k = 0; k < at_end_.size(); ++k) system_.set_part_flags(at_end_[k], t_hi, y, tried_[k]);
    return found_;
  }
  if (at_end) {
    ++mode_changes_;
    for (const size_t p : at_end_) {
      const size_t told = found_.changes.size();
      record(t_hi, p, found_.changes);
      for (size_t k = told; k < found_.changes.size(); ++k) {
        found_.changes[k].step_start = t0_;
        found_.changes[k].at_step_end = true;
      }
    }
  }
  // Switches beyond the located ones are taken at the step's end.
  bool smooth = true;
  bool changed = false;
  switching_.clear();
  for (size_t p = 0; p < parts_.size(); ++p)
    if (crosses(p)) {
      switching_.push_back(p);
      ++switched_[p];
      smooth = renew_smoothly(p, t_hi, y, yp, changed) && smooth;
    }
  if (changed) ++mode_changes_;
  if (!smooth) {
    found_.restart = Restart{.t = t_hi, .within_step = false, .same_there = false};
    return found_;
  }
  for (const size_t p : switching_) record(t_hi, p, found_.changes);
  take_rest_of_step_at(t_hi);
  g_lo_.swap(g_hi_);
  rate_lo_.swap(rate_hi_);
  return found_;
}

void EventLocator::remember_flags() {
  flags_.resize(parts_.size());
  for (size_t p = 0; p < parts_.size(); ++p) flags_[p] = system_.part_flags(p);
}

void EventLocator::changes_at(double t, std::vector<Change>& changes) {
  for (size_t p = 0; p < parts_.size(); ++p) {
    std::vector<int32_t> now = system_.part_flags(p);
    if (now == flags_[p]) continue;
    changes.push_back(Change{.t = t, .part = p, .from = flags_[p], .to = now});
    flags_[p] = std::move(now);
  }
}

// A part switched smoothly at t: its change of flags, if any (every switch, when the system does
// not tell its flags).
void EventLocator::record(double t, size_t p, std::vector<Change>& changes) {
  std::vector<int32_t> now = system_.part_flags(p);
  if (flags_.size() != parts_.size()) flags_.resize(parts_.size());
  if (!now.empty() && now == flags_[p]) return;
  ++smooth_switches_;
  changes.push_back(Change{.t = t, .part = p, .from = flags_[p], .to = now});
  flags_[p] = std::move(now);
}

// Every part with one signal across since the interval's start (or several, where each signal sets
// flags of its own for rows of their own: a pipe section's two half reaches) renews its flags at
// the step's end (t, y, y'), where the integrator stands. True when each of them changed its flags
// there and left its rows of F as they were: they stay switched, their signals under the new flags
// start the rest of the step, and they take no part in its location (at_end_ lists them, tried_
// their flags before). Otherwise every flag tried is put back as it was, and all crossings are for
// locating. Any other part with more than one signal across is left for locating: its flags may
// have passed through a state that changes F on the way (a window entered and left within the
// step); so is a part whose laws bend at its switches (a limiter), since the rest of the step was
// taken under the old law.
bool EventLocator::try_at_end(double t, const double* y, const double* yp) {
  at_end_.clear();
  for (size_t p = 0; p < parts_.size(); ++p) {
    const DaeSystem::SwitchingPart& part = parts_[p];
    size_t across = 0;
    for (size_t i = part.first_root; i < part.first_root + part.n_roots; ++i)
      across += sign_of(g_lo_[i]) != sign_of(g_hi_[i]) ? 1 : 0;
    if ((across == 1 || (across > 1 && part.independent)) && !part.kinks) at_end_.push_back(p);
  }
  if (at_end_.empty() || restore_ == Restore::cannot) return false;
  tried_.resize(at_end_.size());
  for (size_t k = 0; k < at_end_.size(); ++k) {
    tried_[k] = system_.part_flags(at_end_[k]);
    if (tried_[k].empty()) return false;
  }
  if (restore_ == Restore::untried)
    restore_ = system_.set_part_flags(at_end_[0], t, y, tried_[0]) ? Restore::can : Restore::cannot;
  if (restore_ == Restore::cannot) return false;
  size_t renewed = 0;
  bool smooth = true;
  while (smooth && renewed < at_end_.size()) {
    bool changed = false;
    smooth = renew_smoothly(at_end_[renewed++], t, y, yp, changed) && changed;
  }
  if (!smooth) {
    for (size_t k = 0; k < renewed; ++k) system_.set_part_flags(at_end_[k], t, y, tried_[k]);
    return false;
  }
  for (const size_t p : at_end_) ++switched_[p];
  take_rest_of_step_at(t);
  for (const size_t p : at_end_) {
    const auto first = static_cast<long>(parts_[p].first_root);
    std::copy(g_hi_.begin() + first, g_hi_.begin() + first + static_cast<long>(parts_[p].n_roots),
              g_lo_.begin() + first);
  }
  return true;
}

// The next step starts at the end of this one, under the flags now in force: the signals and rates
// of the parts that switched taken again.
void EventLocator::take_rest_of_step_at(double t) {
  const double dt = rate_span(t - t0_);
  for (size_t p = 0; p < parts_.size(); ++p) {
    if (switched_[p] == 0) continue;
    const DaeSystem::SwitchingPart& part = parts_[p];
    system_.part_roots(p, t, y1_, g_hi_.data() + part.first_root);
    for (const size_t j : part.unknowns) cubic_y_[j] = y1_[j] + dt * yp1_[j];
    system_.part_roots(p, t + dt, cubic_y_.data(), rate_hi_.data() + part.first_root);
    for (size_t i = part.first_root; i < part.first_root + part.n_roots; ++i)
      rate_hi_[i] = (rate_hi_[i] - g_hi_[i]) / dt;
  }
}

// A signal that keeps its sign at both ends of the step but heads for zero at the start and comes
// from it at the end may have crossed and come back within the step. Where the tangents at the
// ends meet across zero, the interpolant is looked at there; the earliest such time at which a
// signal is across zero, or b. split_y_ holds the state there, g_hi_ the signals.
double EventLocator::there_and_back(double a, double b) {
  double split = b;
  for (size_t p = 0; p < parts_.size(); ++p) {
    const DaeSystem::SwitchingPart& part = parts_[p];
    for (size_t i = part.first_root; i < part.first_root + part.n_roots; ++i) {
      const double g0 = g_lo_[i], g1 = g_hi_[i], m0 = rate_lo_[i], m1 = rate_hi_[i];
      if (sign_of(g0) == 0 || sign_of(g0) != sign_of(g1) || !(g0 * m0 < 0.0) || !(g1 * m1 > 0.0)) continue;
      const double t = (g1 - g0 + m0 * a - m1 * b) / (m0 - m1);
      if (!(t > a && t < split) || sign_of(g0 + m0 * (t - a)) == sign_of(g0)) continue;
      integration_->state_at(t, probe_y_.data());
      system_.part_roots(p, t, probe_y_.data(), mid_.data() + part.first_root);
      if (sign_of(mid_[i]) == sign_of(g0)) continue;
      split = t;
      split_y_ = probe_y_;
    }
  }
  if (split < b) all_roots(system_, split, split_y_.data(), g_hi_.data());
  return split;
}

// The switches in (a, b], with y_b the state at b and g_hi_ the signals there. A part's switches
// are located a few times per step at most.
bool EventLocator::interval(double a, double b, const double* y_b) {
  pending_.clear();
  for (size_t p = 0; p < parts_.size(); ++p) {
    since_[p] = a;
    if (crosses(p)) pending_.push_back({locate_on_cubic(p, a, b), p});
  }
  while (!pending_.empty()) {
    const double t = std::min_element(pending_.begin(), pending_.end())->first;
    candidates_.clear();
    double start = a;
    std::erase_if(pending_, [&](const std::pair<double, size_t>& e) {
      if (e.first != t) return false;
      candidates_.push_back(e.second);
      start = std::max(start, since_[e.second]);
      return true;
    });
    if (switch_parts(start, t, b, y_b)) return true;
    for (const size_t p : switching_) {
      since_[p] = t;
      if (switched_[p] < kLocatedPerStep && crosses(p)) pending_.push_back({locate_on_cubic(p, t, b), p});
    }
  }
  return false;
}

// Every candidate part whose signal has left at t (located in (a, b] on the cubic) switches there:
// its flags renewed on the cubic's state, and one event. A smooth switch keeps the integrator's
// history, and the part's signals at t, under its new flags, start the rest of its step; any other
// is located again on the interpolant and ends the step there (true).
bool EventLocator::switch_parts(double a, double t, double b, const double* y_b) {
  ++events_;
  for (const size_t p : candidates_) cubic(parts_[p].unknowns, t);
  cubic_rate(t, event_yp_.data());
  bool smooth = true;
  bool changed = false;
  bool same_there = true;  // every part's rows at the switch as they were
  // Should rounding leave no candidate across at the bracket's end, none is located again in this
  // step: whatever is left is taken at its end.
  const bool none_left =
      std::none_of(candidates_.begin(), candidates_.end(), [&](size_t p) { return has_left(p, hi_); });
  switching_.clear();
  for (const size_t p : candidates_) {
    if (none_left) switched_[p] = kLocatedPerStep;
    if (!has_left(p, hi_)) continue;
    switching_.push_back(p);
    ++switched_[p];
    const bool same = renew_smoothly(p, t, cubic_y_.data(), event_yp_.data(), changed);
    same_there = same_there && same;
    smooth = same && smooth;
    // The rest of the step was taken under the old flags: it stands only if the new ones leave the
    // part's rows at its end as they were. A loss changing sign at zero flow departs from its old
    // side with the square of the flow; a law that bends at the switch (a rate reaching its limit)
    // parts company with the old one at once.
    if (smooth && t < t1_ && b == t1_ && y_b == y1_) smooth = rest_of_step_holds(p);
  }
  if (changed) ++mode_changes_;
  if (!smooth) {
    restart_at_switch(a, b, same_there);
    return true;
  }
  found_.smooth.push_back(t);
  for (const size_t p : switching_) record(t, p, found_.changes);
  for (const size_t p : candidates_) {
    const DaeSystem::SwitchingPart& part = parts_[p];
    const auto first = static_cast<long>(part.first_root);
    if (std::find(switching_.begin(), switching_.end(), p) != switching_.end()) {
      system_.part_roots(p, t, cubic_y_.data(), g_lo_.data() + first);
      system_.part_roots(p, b, y_b, g_hi_.data() + first);
    } else {
      std::copy(hi_.begin() + first, hi_.begin() + first + static_cast<long>(part.n_roots), g_lo_.begin() + first);
    }
  }
  return false;
}

// A switch that changes F: its flags back as they were, the switch located on the integrator's
// interpolant, and the flags renewed on the state there, where the integrator restarts.
void EventLocator::restart_at_switch(double a, double b, bool same_there) {
  for (const size_t p : switching_) system_.renew_part(p, a, cubic(parts_[p].unknowns, a));
  const double t = locate_on_interpolant(a, b);
  for (const size_t p : candidates_)
    if (has_left(p, hi_)) system_.renew_part(p, t, event_y_.data());
  found_.restart = Restart{.t = t, .within_step = true, .same_there = same_there};
}

// Renews part p's flags at (t, y, y'); false when that changed its rows of F there by more than a
// tenth of their scale, or the flags do not settle at once.
bool EventLocator::renew_smoothly(size_t p, double t, const double* y, const double* yp, bool& changed) {
  const DaeSystem::SwitchingPart& part = parts_[p];
  before_switch_.resize(part.rows.size());
  after_switch_.resize(part.rows.size());
  system_.part_residual(p, t, y, yp, before_switch_.data());
  if (t < t1_) {  // for rest_of_step_holds: the rows at the step's end under the old flags
    end_before_switch_.resize(part.rows.size());
    system_.part_residual(p, t1_, y1_, yp1_, end_before_switch_.data());
  }
  if (!system_.renew_part(p, t, y)) return true;
  changed = true;
  system_.part_residual(p, t, y, yp, after_switch_.data());
  if (system_.renew_part(p, t, y)) return false;
  return rows_agree(part, after_switch_, before_switch_);
}

// Whether the part's rows a and b of F are within a share of their scale of each other (a tenth
// unless said), the scales at the step's end from the Jacobian the integrator last used.
bool EventLocator::rows_agree(const DaeSystem::SwitchingPart& part, const std::vector<double>& a,
                              const std::vector<double>& b, double share) const {
  for (size_t k = 0; k < part.rows.size(); ++k)
    if (!(std::abs(a[k] - b[k]) <= share * integration_->row_scale(part.rows[k], y1_))) return false;
  return true;
}

// Whether the part's rows of F at the step's end, where the integrator stands, under the flags the
// part has now, are close enough to what they were under those it had through the step. A law
// that bends at the switch departs from the old one in proportion to the time since: within a tenth
// of their scale. A loss changing sign at zero flow departs with the square of the flow, and over
// the rest of the step by a third of what it reaches at its end: within their scale, the error the
// integrator's own test lets a step have.
bool EventLocator::rest_of_step_holds(size_t p) {
  const DaeSystem::SwitchingPart& part = parts_[p];
  after_switch_.resize(part.rows.size());
  system_.part_residual(p, t1_, y1_, yp1_, after_switch_.data());
  return rows_agree(part, after_switch_, end_before_switch_, part.kinks ? 0.1 : 1.0);
}

// Whether a signal of the part has another sign at the interval's end than at its start.
bool EventLocator::crosses(size_t p) const {
  const DaeSystem::SwitchingPart& part = parts_[p];
  for (size_t i = part.first_root; i < part.first_root + part.n_roots; ++i)
    if (sign_of(g_lo_[i]) != sign_of(g_hi_[i])) return true;
  return false;
}

bool EventLocator::any_crosses() const {
  for (size_t p = 0; p < parts_.size(); ++p)
    if (crosses(p)) return true;
  return false;
}

// Whether the part has a signal in g that has left its sign at the interval's start.
bool EventLocator::has_left(size_t p, const std::vector<double>& g) const {
  const DaeSystem::SwitchingPart& part = parts_[p];
  for (size_t i = part.first_root; i < part.first_root + part.n_roots; ++i)
    if (left(g_lo_[i], g[i], g_hi_[i])) return true;
  return false;
}

// The earliest time in (a, b] at which a signal of part p has left its sign at a, on the cubic, to
// within the integrator's time resolution: the end of the final bracket, where the signal reads its
// new side. hi_ keeps the part's signals there. The cubic and the integrator's interpolant differ by
// less than the error tolerance, and so do the times at which they cross.
double EventLocator::locate_on_cubic(size_t p, double a, double b) {
  const DaeSystem::SwitchingPart& part = parts_[p];
  const Group one(&p, 1);
  keep(one, g_lo_, lo_);
  keep(one, g_hi_, hi_);
  narrow(one, a, b, [&](double t) { return signals_at(one, t, cubic(part.unknowns, t)); });
  return b;
}

// The earliest crossing of a candidate on the integrator's interpolant, for a switch that restarts
// it: event_y_ holds the state at the time returned, hi_ the candidates' signals there.
double EventLocator::locate_on_interpolant(double a, double b) {
  const Group all(candidates_);
  auto on_interpolant = [&](double t) {
    integration_->state_at(t, event_y_.data());
    return signals_at(all, t, event_y_.data());
  };
  keep(all, g_lo_, lo_);
  keep(all, g_hi_, hi_);
  narrow(all, a, b, on_interpolant);
  on_interpolant(b);
  keep(all, mid_, hi_);
  return b;
}

// The parts' entries of one vector of signals into another.
void EventLocator::keep(Group group, const std::vector<double>& from, std::vector<double>& to) const {
  for (const size_t p : group) {
    const auto first = static_cast<long>(parts_[p].first_root);
    std::copy(from.begin() + first, from.begin() + first + static_cast<long>(parts_[p].n_roots), to.begin() + first);
  }
}

// Regula falsi on the bracket [a, b] down to the resolution, with the Illinois weight against a
// bracket end that stays put; signals(t) puts the group's signals at t into mid_ and says whether
// one has left. lo_ and hi_ hold them at the bracket's ends.
template <typename Signals>
void EventLocator::narrow(Group group, double& a, double& b, Signals signals) {
  const double resolution = time_resolution(a, b);
  enum { none, low, high } side = none, previous = none;
  double weight = 1.0;
  while (b - a > resolution) {
    weight = side != none && side == previous ? (side == high ? 2.0 * weight : 0.5 * weight) : 1.0;
    const double width = b - a;
    double t = b;
    for (const size_t p : group)
      for (size_t i = parts_[p].first_root; i < parts_[p].first_root + parts_[p].n_roots; ++i)
        if (sign_of(lo_[i]) != sign_of(hi_[i])) t = std::min(t, b - width * (hi_[i] / (hi_[i] - weight * lo_[i])));
    // Not onto a bracket end: inward by a tenth, or by half the resolution in a narrow bracket.
    const double inward = width > 5 * resolution ? 0.1 * width : 0.5 * resolution;
    if (!(t - a >= 0.5 * resolution)) t = a + inward;
    if (!(b - t >= 0.5 * resolution)) t = b - inward;
    previous = side;
    if (signals(t)) {
      b = t;
      keep(group, mid_, hi_);
      side = low;
    } else {
      a = t;
      keep(group, mid_, lo_);
      side = high;
    }
  }
}

// The group's signals at t from the state y (read at their own unknowns) into mid_; true when one
// has left its sign.
bool EventLocator::signals_at(Group group, double t, const double* y) {
  bool any = false;
  for (const size_t p : group) {
    system_.part_roots(p, t, y, mid_.data() + parts_[p].first_root);
    any = any || has_left(p, mid_);
  }
  return any;
}

// The cubic through (y, y') at the step's ends, at t, written at the given unknowns only.
const double* EventLocator::cubic(const std::vector<size_t>& unknowns, double t) {
  const double h = t1_ - t0_;
  const double s = (t - t0_) / h;
  const double h00 = (1 + 2 * s) * (1 - s) * (1 - s), h10 = s * (1 - s) * (1 - s);
  const double h01 = s * s * (3 - 2 * s), h11 = s * s * (s - 1);
  double* out = cubic_y_.data();
  for (const size_t j : unknowns) out[j] = h00 * y0_[j] + h * h10 * yp0_[j] + h01 * y1_[j] + h * h11 * yp1_[j];
  return out;
}

// y' of the same cubic at t, written into yp at the candidates' unknowns only: the rates that the
// candidates' rows read in the check of a switch.
void EventLocator::cubic_rate(double t, double* yp) {
  const double h = t1_ - t0_;
  const double s = (t - t0_) / h;
  const double d00 = 6 * s * (s - 1), d10 = (3 * s - 1) * (s - 1), d01 = 6 * s * (1 - s), d11 = s * (3 * s - 2);
  for (const size_t p : candidates_)
    for (const size_t j : parts_[p].unknowns) yp[j] = (d00 * y0_[j] + d01 * y1_[j]) / h + d10 * yp0_[j] + d11 * yp1_[j];
}

}  // namespace penstock::sim
