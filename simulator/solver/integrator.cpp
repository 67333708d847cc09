// SPDX-License-Identifier: BSD-3-Clause
// The run: IDA one step at a time from a consistent start, the switches of each step located and
// handled in time order, the rows of the results sampled as the solution passes them.
#include <fmt/core.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ida.hpp"
#include "jacobian.hpp"
#include "newton.hpp"
#include "output_sampler.hpp"
#include "penstock/sim/event_locator.hpp"
#include "penstock/sim/solver.hpp"
#include "start.hpp"
#include "sundials.hpp"

namespace penstock::sim {

namespace {

using detail::Failure;

class Integrator final : EventLocator::Integration {
 public:
  Integrator(DaeSystem& system, const RunSettings& run, Observer& observer)
      : system_(system), run_(run), observer_(observer), notes_(observer) {}

  Outcome run() {
    const auto wall_start = std::chrono::steady_clock::now();
    Outcome outcome;
    try {
      check_settings();
      set_up();
      outcome.linear_solver = dense_ ? "dense" : "klu";
      start_->initial();
      locator_->remember_flags();
      check_inputs();
      tell_input_notes();
      output_->first(state_.t, y());
      integrate();
      outcome.complete = true;
      outcome.end_time = state_.t;
    } catch (const Failure& failure) {
      outcome.error = failure.message;
      // A signal that left the finite range is the cause of what the numerics made of it.
      const std::string fault = system_.input_fault();
      if (!fault.empty() && failure.message != fault) outcome.error = fault + "\n  then " + failure.message;
      outcome.end_time = state_.t;
    } catch (const detail::Stopped& stopped) {
      outcome.error = stopped.why;
      outcome.end_time = stopped.t;
    }
    if (ida_) {
      ida_->add_statistics(stats_);
      stats_.integrated_unknowns = ida_->unknowns();
    }
    if (initial_ida_) initial_ida_->add_statistics(stats_);
    if (newton_) newton_->add_statistics(stats_);
    if (locator_) {
      stats_.events += locator_->events();
      stats_.mode_changes += locator_->mode_changes();
      stats_.smooth_switches += locator_->smooth_switches();
    }
    stats_.wall_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    outcome.stats = stats_;
    return outcome;
  }

 private:
  // One IDA step at a time. After each step the locator finds the switches in it; the outputs and
  // event rows are written in time order. A switch that changes F restarts IDA where it happened;
  // so does a kink or jump of a driving signal, where IDA stops. Before each step, and between the
  // rows of a long one, the observer may end the run (an interrupt): it stops where its rows end.
  void integrate() {
    for (;;) {
      // An output on the current time (the start, a restart on an output time, the end): the state.
      if (output_->due(state_.t)) {
        if (!output_->output(state_.t, y())) break;
        continue;
      }
      output_->stop_if_asked(state_.t, y());
      if (ida_->fresh()) locator_->start(state_.t, y(), yp(), run_.output_interval);
      locator_->step_from(state_.t, y(), yp());
      const int flag = ida_->step();
      if (flag < 0) {
        if (past_undeclared_jump()) continue;
        const std::string why = ida_->failure(flag);
        output_->last(state_.t, y());
        throw Failure{why};
      }
      check_inputs();
      tell_input_notes();
      const EventLocator::Switches& switches = locator_->step_to(state_.t, y(), yp(), *this);
      for (const double t : switches.smooth) {
        output_->before(t, *ida_);
        output_->event_on_interpolant(t, *ida_);
      }
      // The switches that left the equations as they were are counted, and told only when asked.
      if (run_.tell_smooth_switches)
        tell(switches.changes, "its equations are the same either side, and the integration went on");
      if (switches.restart) {
        restart_at(*switches.restart);
        continue;
      }
      output_->before(state_.t, *ida_);
      if (flag == IDA_TSTOP_RETURN) stopped();
      observer_.progress(state_.t);
    }
  }

  // A switch that changed F: the state there re-solved under the new flags, and IDA begun afresh,
  // at the step it was resolved with when the switch lay within the step. Event rows before the
  // switch (when located within the step) and after it. A switch on a time of the grid (or as
  // close to it as IDA can tell) moves the grid on first, from the state there.
  void restart_at(const EventLocator::Restart& restart) {
    output_->before(restart.t, *ida_);
    const char* how = restart.same_there
                          ? "its equations are the same either side there but part over the rest of the solver's step, "
                            "and the solver restarted there from a consistent state"
                          : "its equations changed there, and the solver restarted from a consistent state";
    if (!restart.within_step) {
      grid_if_due();
      settle();
      output_->event(state_.t, y());
      tell_changes_at(state_.t, how);
      return;
    }
    const double* located = locator_->restart_state();
    output_->event(restart.t, located);
    const double h = ida_->last_step();
    std::copy(located, located + system_.size(), y());
    ida_->rate_into_state(restart.t);
    state_.t = restart.t;
    grid_if_due();
    settle();
    if (h > 0.0) ida_->set_initial_step(h);
    output_->event(state_.t, y());
    tell_changes_at(state_.t, how);
  }

  // IDA stopped where it was asked to: at a time of the system's grid the parts on it move on, and
  // IDA goes on with its history; at a kink or jump of a signal it begins afresh.
  void stopped() {
    grid_if_due();
    if (ida_->stopped_at_breakpoint()) {
      begin_after_breakpoint();
    } else {
      ida_->stop_next();
    }
  }

  // At a kink or jump of a signal IDA begins afresh: its history from before would bend the
  // interpolant after it. A jump may switch a component (an enable going to 0) without any signal
  // crossing zero: the flags are renewed just past it, where the signal has its new value, and a
  // switch restarts the run from there.
  void begin_after_breakpoint() {
    const double after = state_.t + detail::close(state_.t, state_.t);
    if (renew_all(system_, after, y()).empty()) {
      ida_->reinit(state_.t);
      return;
    }
    ++stats_.mode_changes;
    state_.t = after;
    settle();
    output_->event(state_.t, y());
    tell_changes_at(state_.t, "after a jump or kink of a driving signal; the solver restarted from a consistent state");
  }

  // IDA failed where it stands. A driving signal that jumps just ahead without having said so (an
  // expression comparing t) does that: no step across the jump meets the tolerance, however short.
  // It shows as F at the state IDA stands at moving, between now and just past the step IDA tried,
  // by more than a change of one tolerance in some unknown moves it. Past the jump the run begins
  // afresh from a consistent state, as at a jump the signals announce; once at a time.
  bool past_undeclared_jump() {
    const double t = state_.t;
    const double tried = ida_->tried_step();
    // Only where the step IDA tried is near the least it takes (1e-12 of the span): a longer one
    // that failed did so for another reason, and the run must not skip what it would have covered.
    if (!(tried <= 1e-9 * std::max(1.0, run_.stop_time - run_.start_time))) return false;
    const double past = t + 2 * std::max(tried, detail::close(t, t));
    if (!(past > t) || t < jumped_at_) return false;
    const size_t n = system_.size();
    std::vector<double> now(n), then(n), w(n);
    system_.residual(t, y(), yp(), now.data());
    system_.residual(past, y(), yp(), then.data());
    jacobian_->error_weights(y(), w.data());
    jacobian_->scale_rows_by_last(w.data());
    const std::vector<double>& scale = jacobian_->row_scales();
    bool jumped = false;
    for (size_t r = 0; r < n && !jumped; ++r) jumped = std::abs(then[r] - now[r]) > scale[r] && scale[r] > 0.0;
    if (!jumped) return false;
    jumped_at_ = past;
    notes_.once(
        detail::Notes::jumped,
        [&] {
          return fmt::format(
              "at t = {} s a driving signal jumps where it did not say it would (an expression of t with a "
              "comparison, say); the solver began afresh just past the jump from a consistent state, and does so "
              "at every such jump. The results stand; to have such a jump at an exact time, use a step or a "
              "table signal, which announce theirs",
              past);
        },
        [&] { return fmt::format("t = {}: IDA failed at the smallest step ({})", t, errors_.text()); });
    state_.t = past;
    if (!renew_all(system_, past, y()).empty()) ++stats_.mode_changes;
    settle();
    output_->event(state_.t, y());
    tell_changes_at(state_.t, "after a jump of a driving signal; the solver restarted from a consistent state");
    return true;
  }

  // The observer told of each part whose flags changed: the flags, their values before and after,
  // and what the solver did about it (of a smooth switch: how it was taken).
  void tell(const std::vector<EventLocator::Change>& changes, const char* how) {
    for (const EventLocator::Change& c : changes) {
      const std::string taken = c.at_step_end
                                    ? fmt::format(
                                          "its equations are the same either side; the solver renewed the flags at the "
                                          "end of its step from {} s, in which its signal crossed zero, and went on",
                                          c.step_start)
                                    : std::string(how);
      std::string what;
      for (size_t k = 0; k < c.to.size() && k < c.from.size(); ++k) {
        if (c.from[k] == c.to[k]) continue;
        what += what.empty() ? "" : ", ";
        what += c.to.size() == 1 ? fmt::format("mode flag from {} to {}", c.from[k], c.to[k])
                                 : fmt::format("mode flag {} from {} to {}", k, c.from[k], c.to[k]);
      }
      if (what.empty()) what = "mode flags changed";
      observer_.event(c.t, system_.switching_parts()[c.part].name, fmt::format("{}; {}", what, taken));
    }
  }

  // After a restart: the parts whose flags it changed, at t.
  void tell_changes_at(double t, const char* how) {
    changes_.clear();
    locator_->changes_at(t, changes_);
    tell(changes_, how);
  }

  // The parts on the system's grid move on when the integration has reached the grid's next time.
  void grid_if_due() {
    if (!ida_->grid_due(state_.t)) return;
    system_.advance_grid(state_.t, y());
    ida_->grid_moved();
  }

  void settle() {
    ++stats_.restarts;
    start_->settle();
  }

  // A signal that went infinite or not a number in the step makes its F meaningless, even where the
  // step succeeded (a comparison with NaN is false, and a component may turn it into a number).
  void check_inputs() const {
    if (std::string fault = system_.input_fault(); !fault.empty()) throw Failure{std::move(fault)};
  }

  // What the signals say at the accepted state (a variable outside a table), each once.
  void tell_input_notes() {
    for (const std::string& note : system_.input_notes(state_.t, y()))
      observer_.note(note, "the signal's table or chart holds its end value beyond its last point");
  }

  void check_settings() const {
    const size_t n = system_.size();
    if (n == 0) throw Failure{"the model has no unknowns"};
    if (!(run_.stop_time > run_.start_time))
      throw Failure{fmt::format("stop time {} is not after start time {}", run_.stop_time, run_.start_time)};
    if (!(run_.output_interval > 0.0)) throw Failure{"the output interval must be positive"};
    if (!(run_.relative_tolerance > 0.0) || !(run_.absolute_tolerance > 0.0))
      throw Failure{"tolerances must be positive"};
    if (system_.differential().size() != n || system_.variable_names().size() != n ||
        system_.equation_names().size() != n || system_.pattern().column_starts.size() != n + 1)
      throw Failure{"the assembled system is inconsistent: sizes of names, flags and pattern differ from its size"};
  }

  void set_up() {
    const size_t n = system_.size();
    dense_ = run_.linear_solver == RunSettings::Linear::dense ||
             (run_.linear_solver == RunSettings::Linear::automatic && n < kDenseLimit);
    context_ = detail::new_context();
    state_.y = detail::new_vector(n, context_.get(), "state vector");
    state_.yp = detail::new_vector(n, context_.get(), "derivative vector");
    system_.initial_values(y(), yp());
    std::vector<double> atol = system_.absolute_tolerances(run_.absolute_tolerance);
    if (atol.size() != n) throw Failure{"the system gave a tolerance vector of the wrong size"};
    for (size_t i = 0; i < n; ++i)
      if (!(atol[i] > 0.0))
        throw Failure{fmt::format("absolute tolerance of {} is not positive", system_.variable_names()[i])};

    jacobian_.emplace(system_, run_.relative_tolerance, std::move(atol), dense_, notes_);
    ida_ = std::make_unique<detail::Ida>(system_, run_, state_, *jacobian_, errors_, context_.get(), dense_,
                                         !run_.keep_every_unknown);
    if (ida_->reduced())
      initial_ida_ =
          std::make_unique<detail::Ida>(system_, run_, state_, *jacobian_, errors_, context_.get(), dense_, false);
    newton_ = std::make_unique<detail::Newton>(system_, state_, *jacobian_, errors_, context_.get(), dense_);
    start_.emplace(system_, run_, state_, *ida_, initial_ida_ ? *initial_ida_ : *ida_, *newton_, notes_, errors_);
    locator_.emplace(system_, run_.locate_smooth_switches);
    output_.emplace(run_, observer_, n);
    state_.t = run_.start_time;
  }

  // What the locator asks of the integration: IDA's interpolant, and a row's scale from the last
  // Jacobian at the error weights of y.
  void state_at(double t, double* state) override { ida_->state_at(t, state); }
  double row_scale(size_t r, const double* state) override { return jacobian_->row_scale_by_last(r, state); }

  double* y() { return detail::data(state_.y); }
  double* yp() { return detail::data(state_.yp); }

  DaeSystem& system_;
  const RunSettings& run_;
  Observer& observer_;
  detail::Notes notes_;
  detail::ErrorText errors_;
  SolverStatistics stats_;
  bool dense_ = true;

  detail::Context context_;
  detail::State state_;
  std::optional<detail::Jacobian> jacobian_;
  std::unique_ptr<detail::Ida> ida_;
  std::unique_ptr<detail::Ida> initial_ida_;  // over every unknown, for consistent states, when ida_ is reduced
  std::unique_ptr<detail::Newton> newton_;
  std::optional<detail::Start> start_;
  std::optional<EventLocator> locator_;
  std::optional<detail::OutputSampler> output_;
  std::vector<EventLocator::Change> changes_;
  double jumped_at_ = -std::numeric_limits<double>::infinity();  // just past the last undeclared jump
};

}  // namespace

Outcome simulate(DaeSystem& system, const RunSettings& run, Observer& observer) {
  Integrator integrator(system, run, observer);
  return integrator.run();
}

}  // namespace penstock::sim
