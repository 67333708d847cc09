// SPDX-License-Identifier: BSD-3-Clause
// The switches of a step: where a switching part's zero-crossing signal changes sign between the
// ends of an integrator step, or crosses and comes back within it, the crossing is located and the
// part's mode flags are renewed there.
//
// Each part's crossing is located on its own, on the cubic Hermite interpolant through (y, y') at
// the step's ends, read at the part's own unknowns only (so that a switch costs the same in a plant
// of ten sections as in one of a thousand), by regula falsi with the Illinois weight down to the
// integrator's time resolution. Parts switch in time order, those crossing at the same time
// together. A switch whose new flags leave the part's rows of F as they were (within a tenth of a
// row's scale: a loss changing sign at zero flow), there and at the step's end (the rest of the
// step was taken under the old flags), is smooth: the integrator goes on with its history, and
// the part's signals under its new flags start the rest of its step. Any other switch is located
// again on the integrator's own interpolant, and the integrator restarts there.
//
// Most switches of a lumped line are smooth, and a line of many sections has many of them in
// every step: they are first tried where the integrator stands, at the step's end. When every
// part with one signal across in the step (or several whose flags are independent of each other,
// the two half reaches of a pipe section) renews its flags there and leaves its rows of F as they
// were, those switches are taken there, without being located; the step was computed under the
// old flags, which past the crossing differ from the new ones by less than a tenth of a row's
// scale, so the error that leaves is a tenth of the tolerance. Other parts with more than one
// signal across are located as above; should one of them restart the integration within the step, the
// flags taken at its end are put back. When a part tried at the end does not leave F as it was,
// every flag tried is put back and every crossing of the step is located (and always so with
// locate_smooth).
//
// A signal that keeps its sign at both ends but heads for zero at the start and comes from it at
// the end may have crossed and come back within the step (a speed passing through a narrow
// window): where the tangents at the ends meet across zero, the interpolant is looked at there, and
// the step is examined in two intervals. A part's switches are located a few times per step at
// most: a signal that keeps coming back across zero (a variable held at zero, whose rounding noise
// crosses it) is taken at the step's end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "penstock/sim/dae.hpp"

namespace penstock::sim {

class EventLocator {
 public:
  // What the locator asks of the integration whose steps it examines.
  class Integration {
   public:
    virtual ~Integration() = default;
    // The state at t on the interpolant of the last step; at the step's end, the state itself.
    virtual void state_at(double t, double* y) = 0;
    // How far row r of F moves for a change of one error tolerance in some unknown, at the state
    // y. The yardstick by which a switch leaves F as it was; asked of a switching part's rows only.
    virtual double row_scale(size_t r, const double* y) = 0;
  };

  // A switch that changes F: the integrator begins again at t, from restart_state() when the switch
  // was located within the step, from the state at the step's end otherwise.
  struct Restart {
    double t = 0.0;
    bool within_step = false;
    // The new flags leave the rows as they were at the switch, but not over the rest of the step
    // the integrator took under the old ones (a loss changing sign, the flow grown since).
    bool same_there = false;
  };

  // A part whose mode flags changed: at t, from and to (both empty when the system does not tell
  // its flags).
  struct Change {
    double t = 0.0;
    size_t part = 0;
    std::vector<int32_t> from, to;
    double step_start = 0.0;   // where the step began, for a switch taken at its end
    bool at_step_end = false;  // not located: taken at the end of the step in which it crossed
  };

  // The switches of one step, in time order.
  struct Switches {
    std::vector<double> smooth;      // times of the smooth switches: an event row each
    std::vector<Change> changes;     // the flags changed at them
    std::optional<Restart> restart;  // and after them, a switch that changes F
  };

  // locate_smooth: every switch located within its step, none tried at the step's end first.
  explicit EventLocator(DaeSystem& system, bool locate_smooth = true);

  // Where the integrator begins, or begins again: the signals and their rates at t, the rates taken
  // over a small part of the time scale h.
  void start(double t, const double* y, const double* yp, double h);
  // The state at the start of the next step.
  void step_from(double t, const double* y, const double* yp);
  // The switches of the step that ended at t with (y, y'), the parts' flags renewed at each. The
  // pointers must stay valid until the next step.
  const Switches& step_to(double t, const double* y, const double* yp, Integration& integration);
  // The state at a restart located within the step.
  const double* restart_state() const { return event_y_.data(); }

  // The flags of every part as they are now, the base against which changes are told.
  void remember_flags();
  // The parts whose flags differ at t from those last told (after a restart, which renews them
  // outside the steps), appended to changes.
  void changes_at(double t, std::vector<Change>& changes);

  long events() const { return events_; }              // located switches
  long mode_changes() const { return mode_changes_; }  // times at which a flag changed
  // Switches of a part's flags that left its rows of F as they were, located or not.
  long smooth_switches() const { return smooth_switches_; }

 private:
  using Group = std::span<const size_t>;
  void rates(double t, const double* y, const double* yp, double h, const std::vector<double>& g,
             std::vector<double>& rate);
  double there_and_back(double a, double b);
  bool interval(double a, double b, const double* y_b);
  bool switch_parts(double a, double t, double b, const double* y_b);
  void restart_at_switch(double a, double b, bool same_there);
  bool renew_smoothly(size_t p, double t, const double* y, const double* yp, bool& changed);
  bool rest_of_step_holds(size_t p);
  bool rows_agree(const DaeSystem::SwitchingPart& part, const std::vector<double>& a, const std::vector<double>& b,
                  double share = 0.1) const;
  void take_rest_of_step_at(double t);
  bool try_at_end(double t, const double* y, const double* yp);

  void record(double t, size_t p, std::vector<Change>& changes);
  bool crosses(size_t p) const;
  bool any_crosses() const;
  bool has_left(size_t p, const std::vector<double>& g) const;
  double locate_on_cubic(size_t p, double a, double b);
  double locate_on_interpolant(double a, double b);
  template <typename Signals>
  void narrow(Group group, double& a, double& b, Signals signals);
  bool signals_at(Group group, double t, const double* y);
  void keep(Group group, const std::vector<double>& from, std::vector<double>& to) const;
  const double* cubic(const std::vector<size_t>& unknowns, double t);
  void cubic_rate(double t, double* yp);

  DaeSystem& system_;
  const std::vector<DaeSystem::SwitchingPart>& parts_;
  const bool locate_smooth_;
  enum class Restore { untried, can, cannot } restore_ = Restore::untried;  // set_part_flags works
  Integration* integration_ = nullptr;

  // The step: its start (the cubic's first end) and its end, where the integrator stands.
  double t0_ = 0.0, t1_ = 0.0;
  std::vector<double> y0_, yp0_;
  const double* y1_ = nullptr;
  const double* yp1_ = nullptr;

  std::vector<double> g_lo_, g_hi_;                   // every signal at the start and end of the interval
  std::vector<double> rate_lo_, rate_hi_;             // and their rates of change there
  std::vector<double> lo_, hi_, mid_;                 // a group's signals at a bracket's ends and inside it
  std::vector<double> since_;                         // per part: the time its entry of g_lo_ is at
  std::vector<std::pair<double, size_t>> pending_;    // located crossings not yet switched: time, part
  std::vector<size_t> candidates_;                    // parts whose signals cross at a located time
  std::vector<size_t> switching_;                     // of those, the ones that switch there
  std::vector<int> switched_;                         // per part: switches located in this step
  std::vector<double> before_switch_, after_switch_;  // a part's rows of F either side of its switch
  std::vector<double> end_before_switch_;             // and at the step's end before it
  std::vector<double> cubic_y_, probe_y_, split_y_, event_y_, event_yp_;
  std::vector<std::vector<int32_t>> flags_;  // per part: its flags as last told
  std::vector<size_t> at_end_;               // parts switched at the step's end, unlocated
  std::vector<std::vector<int32_t>> tried_;  // and their flags before
  Switches found_;
  long events_ = 0;
  long mode_changes_ = 0;
  long smooth_switches_ = 0;
};

}  // namespace penstock::sim
