// SPDX-License-Identifier: BSD-3-Clause
// The event locator alone, on toy signals of a state that moves along a known curve: where it puts
// the switches of a step, in what order, which it takes as smooth and where it restarts.
#include "penstock/sim/event_locator.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

namespace penstock::testing {
namespace {

using sim::EventLocator;

// Switching parts over a state y(t) given in closed form. Each part has one signal g(t, y) and one
// flag, the side of its signal; its one row of F is `jump` times the flag, so that a part with a
// jump changes F when it switches and one without does not.
class ToySwitches final : public sim::DaeSystem, public EventLocator::Integration {
 public:
  // A component of the state and its derivative.
  struct Curve {
    std::function<double(double)> y, yp;
  };
  using Signal = std::function<double(double t, const double* y)>;

  explicit ToySwitches(std::vector<Curve> curve) : curve_(std::move(curve)) {
    for (size_t i = 0; i < curve_.size(); ++i) names_.push_back("y" + std::to_string(i));
    kinds_.assign(names_.size(), "");
    differential_.assign(names_.size(), true);
    pattern_.column_starts.assign(names_.size() + 1, 0);
  }

  // A part with a second signal is on while both are positive (a window).
  void add_part(const std::string& name, Signal g, double jump = 0.0, Signal second = {}) {
    SwitchingPart part{
        .name = name, .first_root = roots_, .n_roots = second ? 2u : 1u, .rows = {parts_.size()}, .unknowns = {}};
    roots_ += part.n_roots;
    for (size_t j = 0; j < curve_.size(); ++j) part.unknowns.push_back(j);
    parts_.push_back(part);
    signals_.push_back(std::move(g));
    seconds_.push_back(std::move(second));
    jumps_.push_back(jump);
    flags_.push_back(0);
  }
  // Flags as they stand at the start of a run at t.
  void set_flags(double t) {
    const std::vector<double> y = at(t);
    for (size_t p = 0; p < parts_.size(); ++p) flags_[p] = on(p, t, y.data());
  }
  int flag(size_t p) const { return flags_[p]; }

  std::vector<double> at(double t) const {
    std::vector<double> y;
    for (const auto& c : curve_) y.push_back(c.y(t));
    return y;
  }
  std::vector<double> rate(double t) const {
    std::vector<double> yp;
    for (const auto& c : curve_) yp.push_back(c.yp(t));
    return yp;
  }

  // Integration: the curve itself is the interpolant.
  void state_at(double t, double* y) override {
    for (size_t j = 0; j < curve_.size(); ++j) y[j] = curve_[j].y(t);
  }
  double row_scale(size_t, const double*) override { return 1.0; }

  // The system, as far as the locator reads it.
  size_t size() const override { return curve_.size(); }
  const std::vector<std::string>& variable_names() const override { return names_; }
  const std::string& variable_kind(size_t i) const override { return kinds_[i]; }
  const std::vector<std::string>& equation_names() const override { return names_; }
  const std::vector<bool>& differential() const override { return differential_; }
  std::vector<double> absolute_tolerances(double atol) const override { return std::vector<double>(size(), atol); }
  void initial_values(double* y, double* yp) const override {
    for (size_t j = 0; j < size(); ++j) y[j] = curve_[j].y(0.0), yp[j] = curve_[j].yp(0.0);
  }
  void residual(double, const double*, const double*, double*) override {}
  const sim::SparsityPattern& pattern() const override { return pattern_; }
  void jacobian(double, const double*, const double*, double, double*) override {}
  const std::vector<SwitchingPart>& switching_parts() const override { return parts_; }
  void part_roots(size_t p, double t, const double* y, double* g) override {
    g[0] = signals_[p](t, y);
    if (seconds_[p]) g[1] = seconds_[p](t, y);
  }
  bool renew_part(size_t p, double t, const double* y) override {
    const int now = on(p, t, y);
    if (now == flags_[p]) return false;
    flags_[p] = now;
    return true;
  }
  void part_residual(size_t p, double, const double*, const double*, double* F) override {
    F[0] = jumps_[p] * flags_[p];
  }
  std::vector<int32_t> part_flags(size_t p) const override { return {flags_[p]}; }
  bool set_part_flags(size_t p, double, const double*, const std::vector<int32_t>& to) override {
    flags_[p] = to.at(0);
    return true;
  }

 private:
  std::vector<Curve> curve_;
  std::vector<std::string> names_, kinds_;
  std::vector<bool> differential_;
  sim::SparsityPattern pattern_;
  std::vector<SwitchingPart> parts_;
  int on(size_t p, double t, const double* y) const {
    return signals_[p](t, y) > 0.0 && (!seconds_[p] || seconds_[p](t, y) > 0.0);
  }
  size_t roots_ = 0;
  std::vector<Signal> signals_, seconds_;
  std::vector<double> jumps_;
  std::vector<int> flags_;
};

// One step of the locator from t0 to t1 over the toy's curve.
const EventLocator::Switches& step(EventLocator& locator, ToySwitches& toy, double t0, double t1,
                                   std::vector<double>& y1, std::vector<double>& yp1) {
  const std::vector<double> y0 = toy.at(t0), yp0 = toy.rate(t0);
  locator.step_from(t0, y0.data(), yp0.data());
  y1 = toy.at(t1);
  yp1 = toy.rate(t1);
  return locator.step_to(t1, y1.data(), yp1.data(), toy);
}

double identity(double t) { return t; }
double twice(double t) { return 2 * t; }
double one(double) { return 1; }
double two(double) { return 2; }

// A switch is placed at the end of its final bracket, where the signal reads its new side: past the
// root by no more than the integrator's resolution of time (here 100·ε·2).
void expect_just_past(double t, double root) {
  EXPECT_GE(t, root - 1e-16);
  EXPECT_LE(t, root + 5e-14);
}

// Starts a locator on the toy at t = 0, the rates of its signals taken over a time scale of 1.
void start(EventLocator& locator, ToySwitches& toy) {
  toy.set_flags(0.0);
  const std::vector<double> y0 = toy.at(0.0), yp0 = toy.rate(0.0);
  locator.start(0.0, y0.data(), yp0.data(), 1.0);
}

// A cubic state: the Hermite cubic through the step's ends is the curve itself, so the located
// times are the roots to the integrator's resolution of time.
TEST(EventLocator, LocatesTheCrossingsOfSeveralPartsInTimeOrder) {
  ToySwitches toy({{[](double t) { return t * t * t; }, [](double t) { return 3 * t * t; }}, {twice, two}});
  toy.add_part("late", [](double, const double* y) { return 1.4 - y[1]; });   // t = 0.7, + to −
  toy.add_part("early", [](double, const double* y) { return y[0] - 0.2; });  // t = 0.2^(1/3), − to +
  toy.add_part("never", [](double, const double* y) { return 5.0 - y[1]; });
  EventLocator locator(toy);
  start(locator, toy);
  std::vector<double> y1, yp1;
  const auto& found = step(locator, toy, 0.0, 1.0, y1, yp1);
  ASSERT_EQ(found.smooth.size(), 2u);
  EXPECT_FALSE(found.restart);
  expect_just_past(found.smooth[0], std::cbrt(0.2));
  expect_just_past(found.smooth[1], 0.7);
  EXPECT_EQ(toy.flag(0), 0);
  EXPECT_EQ(toy.flag(1), 1);
  EXPECT_EQ(toy.flag(2), 1);
  EXPECT_EQ(locator.events(), 2);
  EXPECT_EQ(locator.mode_changes(), 2);

  // The next step starts under the new flags: nothing more to find.
  const auto& next = step(locator, toy, 1.0, 1.5, y1, yp1);
  EXPECT_TRUE(next.smooth.empty());
  EXPECT_FALSE(next.restart);
}

// A window of half-width 0.2 around y = 1, passed within one step: both ends of the step lie
// outside it, the tangents at the ends meet inside, and both edges are found.
TEST(EventLocator, FindsAWindowEnteredAndLeftWithinOneStep) {
  ToySwitches toy({{identity, one}});
  toy.add_part("window", [](double, const double* y) { return 0.2 - std::abs(y[0] - 1.0); });
  EventLocator locator(toy);
  start(locator, toy);
  std::vector<double> y1, yp1;
  const auto& found = step(locator, toy, 0.0, 3.0, y1, yp1);
  ASSERT_EQ(found.smooth.size(), 2u);
  EXPECT_NEAR(found.smooth[0], 0.8, 1e-13);
  EXPECT_NEAR(found.smooth[1], 1.2, 1e-13);
  EXPECT_EQ(toy.flag(0), 0);  // outside again
  EXPECT_EQ(locator.mode_changes(), 2);
}

// A switch that changes F ends the step where it happens: located on the interpolant, its state
// handed back, its part's flags renewed there; the smooth switch before it stands, the crossing
// after it is left for the restarted integration.
TEST(EventLocator, RestartsAtTheFirstSwitchThatChangesF) {
  ToySwitches toy({{identity, one}});
  toy.add_part("smooth", [](double, const double* y) { return y[0] - 0.3; });
  toy.add_part(
      "jump", [](double, const double* y) { return y[0] - 0.6; }, 10.0);
  toy.add_part("after", [](double, const double* y) { return y[0] - 0.8; });
  EventLocator locator(toy);
  start(locator, toy);
  std::vector<double> y1, yp1;
  const auto& found = step(locator, toy, 0.0, 1.0, y1, yp1);
  ASSERT_EQ(found.smooth.size(), 1u);
  expect_just_past(found.smooth[0], 0.3);
  ASSERT_TRUE(found.restart);
  EXPECT_TRUE(found.restart->within_step);
  expect_just_past(found.restart->t, 0.6);
  EXPECT_EQ(locator.restart_state()[0], found.restart->t);  // the state on the interpolant there
  EXPECT_EQ(toy.flag(0), 1);
  EXPECT_EQ(toy.flag(1), 1);
  EXPECT_EQ(toy.flag(2), 0);
  EXPECT_EQ(locator.events(), 2);
}

// Switches that leave F as it was are taken where the integrator stands, at the step's end, when
// every part that crossed in the step leaves its rows there as they were: unlocated, no event row,
// each change told as taken at the step's end, and counted.
TEST(EventLocator, SmoothSwitchesAreTakenAtTheStepsEnd) {
  ToySwitches toy({{identity, one}});
  toy.add_part("first", [](double, const double* y) { return y[0] - 0.3; });
  toy.add_part("second", [](double, const double* y) { return 0.6 - y[0]; });
  toy.add_part("never", [](double, const double* y) { return y[0] - 5.0; });
  EventLocator locator(toy, false);
  start(locator, toy);
  locator.remember_flags();
  std::vector<double> y1, yp1;
  const auto& found = step(locator, toy, 0.0, 1.0, y1, yp1);
  EXPECT_TRUE(found.smooth.empty());
  EXPECT_FALSE(found.restart);
  ASSERT_EQ(found.changes.size(), 2u);
  for (const auto& change : found.changes) {
    EXPECT_EQ(change.t, 1.0);
    EXPECT_TRUE(change.at_step_end);
    EXPECT_EQ(change.step_start, 0.0);
  }
  EXPECT_EQ(found.changes[0].part, 0u);
  EXPECT_EQ(found.changes[0].from, std::vector<int32_t>{0});
  EXPECT_EQ(found.changes[0].to, std::vector<int32_t>{1});
  EXPECT_EQ(found.changes[1].part, 1u);
  EXPECT_EQ(toy.flag(0), 1);
  EXPECT_EQ(toy.flag(1), 0);
  EXPECT_EQ(toy.flag(2), 0);
  EXPECT_EQ(locator.events(), 0);
  EXPECT_EQ(locator.smooth_switches(), 2);
  // The next step starts under the new flags.
  const auto& next = step(locator, toy, 1.0, 1.5, y1, yp1);
  EXPECT_TRUE(next.changes.empty());
}

// One switch in the step changes F: the flags tried at the step's end are put back, and every
// crossing is located as it was before (the smooth switch before it at its time, the restart at
// the jump, the crossing after it left for the restarted integration).
TEST(EventLocator, ASwitchThatChangesFHasEveryCrossingOfItsStepLocated) {
  ToySwitches toy({{identity, one}});
  toy.add_part("smooth", [](double, const double* y) { return y[0] - 0.3; });
  toy.add_part(
      "jump", [](double, const double* y) { return y[0] - 0.6; }, 10.0);
  toy.add_part("after", [](double, const double* y) { return y[0] - 0.8; });
  EventLocator locator(toy, false);
  start(locator, toy);
  std::vector<double> y1, yp1;
  const auto& found = step(locator, toy, 0.0, 1.0, y1, yp1);
  ASSERT_EQ(found.smooth.size(), 1u);
  expect_just_past(found.smooth[0], 0.3);
  ASSERT_EQ(found.changes.size(), 1u);
  EXPECT_FALSE(found.changes[0].at_step_end);
  ASSERT_TRUE(found.restart);
  expect_just_past(found.restart->t, 0.6);
  EXPECT_EQ(toy.flag(0), 1);
  EXPECT_EQ(toy.flag(1), 1);
  EXPECT_EQ(toy.flag(2), 0);  // tried at the step's end and put back
  EXPECT_EQ(locator.events(), 2);
}

// A window (two signals) entered and left within one step changes F on the way: it is located
// alone, and restarts the step at its entry. A smooth part that crossed in the same step was taken
// at the step's end; being past the restart, it is put back as it was.
TEST(EventLocator, APartWithTwoSignalsAcrossIsLocatedAloneAndItsRestartPutsBackTheRest) {
  ToySwitches toy({{identity, one}});
  toy.add_part(
      "window", [](double, const double* y) { return y[0] - 0.4; }, 10.0,
      [](double, const double* y) { return 0.5 - y[0]; });
  toy.add_part("smooth", [](double, const double* y) { return y[0] - 0.7; });
  EventLocator locator(toy, false);
  start(locator, toy);
  locator.remember_flags();
  std::vector<double> y1, yp1;
  const auto& found = step(locator, toy, 0.0, 1.0, y1, yp1);
  EXPECT_TRUE(found.changes.empty());
  ASSERT_TRUE(found.restart);
  EXPECT_TRUE(found.restart->within_step);
  expect_just_past(found.restart->t, 0.4);
  EXPECT_EQ(toy.flag(0), 1);  // inside, renewed at the restart
  EXPECT_EQ(toy.flag(1), 0);  // tried at the step's end, put back
  EXPECT_EQ(locator.events(), 1);
  EXPECT_EQ(locator.smooth_switches(), 0);

  // Without the window, the smooth part alone is taken at the step's end.
  ToySwitches alone({{identity, one}});
  alone.add_part("smooth", [](double, const double* y) { return y[0] - 0.7; });
  EventLocator other(alone, false);
  start(other, alone);
  other.remember_flags();
  step(other, alone, 0.0, 1.0, y1, yp1);
  EXPECT_EQ(alone.flag(0), 1);
  EXPECT_EQ(other.events(), 0);
  EXPECT_EQ(other.smooth_switches(), 1);
}

// A signal that ends the step on zero has left its side there: its part switches at the step's end.
TEST(EventLocator, ASignalEndingOnZeroSwitchesThere) {
  ToySwitches toy({{identity, one}});
  toy.add_part("edge", [](double, const double* y) { return 1.0 - y[0]; });
  EventLocator locator(toy);
  start(locator, toy);
  std::vector<double> y1, yp1;
  const auto& found = step(locator, toy, 0.0, 1.0, y1, yp1);
  ASSERT_EQ(found.smooth.size(), 1u);
  EXPECT_EQ(found.smooth[0], 1.0);
  EXPECT_EQ(toy.flag(0), 0);
}

}  // namespace
}  // namespace penstock::testing
