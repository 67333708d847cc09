// SPDX-License-Identifier: BSD-3-Clause
// The hydro unit: examples/load_rejection.yaml, island_governor.yaml and unit_startup.yaml against
// answers computed here without the loader, the plug-ins or IDA.
//
// Load rejection: the rigid water column (the WavePipe replaced by a FlowLine of the same pipe),
// the turbine, the shaft, the grid machine and the governor written out as four ODEs in q, w, xi
// and y and integrated by the classical Runge–Kutta method with a step of 1 ms; the speed rise and
// the pressure rise at the turbine against the run's.
//
// Island operation: the classical linearised unit (per unit about the operating point) with the
// water starting time T_w = L·Q0/(g·A·H0), the mechanical starting time T_a = J·w_r²/P0, the
// turbine's self-regulation and the load's; the response to a 10 % load step, the droop's final
// deviation and the stability limit on the governor's proportional gain (Routh–Hurwitz).
#include <fmt/core.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "examples_support.hpp"

namespace penstock::testing {
namespace {

constexpr double kRho = 1000, kG = 9.81;

// The plant of load_rejection.yaml, as its file gives it.
struct Plant {
  double h_lake = 100;                      // m
  double L = 400, D = 2, lambda = 0.015;    // the penstock
  double H_r = 100, Q_r = 10, w_r = 52.36;  // the turbine's rated point
  double Q_nl = 0.8, k_run = 2, H_eps = 0.01, eta = 0.9;
  double J = 2e4;                      // kg m2
  double k_grid = 1e7, n_syn = 52.36;  // the grid machine
  double breaker = 1;                  // s: syn_enable drops to 0
  double w_ref = 52.36, b_p = 0.04, K_p = 2, T_i = 5, T_y = 0.2, T_open = 15, T_close = 8;
  double y_min = 0, y_max = 1, y_set = 0.8;
  double area() const { return 3.14 * D * D / 4; }  // FlowLine's cross-section uses 3.14
};

// The turbine's rounded signed root r(x) = x/(x² + ε²)^(1/4).
double root(double x, double eps) { return x / std::pow(x * x + eps * eps, 0.25); }

// The head at which the guide vanes at opening u pass q: r is increasing, so Newton from the
// orifice's own answer converges.
double head_for(const Plant& P, double q, double u) {
  const double eps = P.H_eps / P.H_r, target = q / (P.Q_r * u);
  double x = target * std::abs(target);
  for (int k = 0; k < 60; ++k) {
    const double s = x * x + eps * eps;
    const double f = x / std::pow(s, 0.25) - target;
    const double df = (x * x / 2 + eps * eps) / std::pow(s, 1.25);
    const double dx = f / df;
    x -= dx;
    if (std::abs(dx) < 1e-15 * std::max(1.0, std::abs(x))) break;
  }
  return x * P.H_r;
}

using State = std::array<double, 4>;  // q, w, xi, y
enum { Q, W, XI, Y };

struct Rates {
  State d;
  double H;  // turbine head
};

Rates rates(const Plant& P, double t, const State& s) {
  const double A = P.area(), eps = P.H_eps / P.H_r;
  const double H = head_for(P, s[Q], s[Y]);
  const double v = s[Q] / A;
  const double inertance = kRho * P.L / A;
  const double dq =
      (kRho * kG * P.h_lake - kRho * kG * H - P.lambda * P.L / P.D * kRho * v * std::abs(v) / 2) / inertance;
  const double loss = P.eta * kRho * kG * H * P.Q_nl * root(H / P.H_r, eps);  // of the no-load flow at w_r
  const double power = P.eta * kRho * kG * H * s[Q] - loss;
  const double span = P.k_run * P.w_r - P.w_r;
  const double torque =
      power / P.w_r * (P.k_run * P.w_r - s[W]) / span + loss / P.w_r * P.k_run * (P.w_r - s[W]) / span;
  const double grid = t < P.breaker ? P.k_grid * (s[W] - P.n_syn) : 0.0;
  const double dw = (torque - grid) / P.J;
  const double e = (P.w_ref - s[W]) / P.w_ref - P.b_p * (s[Y] - P.y_set);
  const double c = P.y_set + P.K_p * e + s[XI];
  // The servo: rate-limited, held at its stops; the integral all but still while the servo cannot
  // follow in the direction the error pushes (damped by δ²/(δ² + x²), x the command's excess).
  const double rate = (c - s[Y]) / P.T_y;
  const bool opening_at_rate = rate > 1 / P.T_open, closing_at_rate = rate < -1 / P.T_close;
  const bool held_open = s[Y] >= P.y_max && c > s[Y], held_shut = s[Y] <= P.y_min && c < s[Y];
  double dy = held_open || held_shut ? 0.0 : std::clamp(rate, -1 / P.T_close, 1 / P.T_open);
  double excess = c - s[Y];
  if (!held_open && !held_shut && opening_at_rate) excess -= P.T_y / P.T_open;
  if (!held_open && !held_shut && closing_at_rate) excess += P.T_y / P.T_close;
  const bool stopped = ((held_open || opening_at_rate) && e > 0) || ((held_shut || closing_at_rate) && e < 0);
  const double share = stopped ? 1e-6 / (1e-6 + excess * excess) : 1.0;
  const double dxi = P.K_p / P.T_i * e * share;
  return {{dq, dw, dxi, dy}, H};
}

State step_rk4(const Plant& P, double t, const State& s, double h) {
  auto add = [](const State& a, const State& b, double f) {
    State r;
    for (size_t i = 0; i < a.size(); ++i) r[i] = a[i] + f * b[i];
    return r;
  };
  const State k1 = rates(P, t, s).d;
  const State k2 = rates(P, t + h / 2, add(s, k1, h / 2)).d;
  const State k3 = rates(P, t + h / 2, add(s, k2, h / 2)).d;
  const State k4 = rates(P, t + h, add(s, k3, h)).d;
  State r;
  for (size_t i = 0; i < s.size(); ++i) r[i] = s[i] + h / 6 * (k1[i] + 2 * k2[i] + 2 * k3[i] + k4[i]);
  return r;
}

struct Peaks {
  double w_max = 0, t_w_max = 0, p_max = 0, t_p_max = 0;
};

// Load rejection with the rigid column: load_rejection.yaml with the WavePipe as a FlowLine.
std::string rigid_text() {
  return replaced(example_text("load_rejection.yaml"),
                  "type: WavePipe, parameters: {Length: 400 m, Din: 2 m, lambda: 0.015, a: 1100 m/s, reaches: 20}",
                  "type: FlowLine, parameters: {Length: 400 m, Din: 2 m, lambda: 0.015}");
}

// Up to the speed's and the pressure's peaks and short of the shut gate: a rigid column cannot
// meet a shut gate (the head there would be free).
std::string rigid_until_shut() { return replaced(rigid_text(), "stop: 60 s", "stop: 7.5 s"); }

TEST(LoadRejection, SpeedAndPressureRiseAgreeWithAnIndependentRungeKutta) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "FlowLine", "HydroTurbine", "Inertia", "GridMachine", "Governor");
  sim::Model model = load_text(rigid_until_shut());
  const ExampleRun r = run(model, {"penstock.q", "shaft.w", "governor.xi", "governor.y", "inlet.p"});
  ASSERT_TRUE(r.outcome.complete) << r.outcome.error;
  const Plant P;
  // The run's steady start is a rest point of the equations written out here.
  State s{r.rows[0][1], r.rows[0][2], r.rows[0][3], r.rows[0][4]};
  const Rates at_start = rates(P, 0, s);
  EXPECT_NEAR(at_start.d[Q], 0, 1e-9);
  EXPECT_NEAR(at_start.d[W], 0, 1e-9);
  EXPECT_NEAR(at_start.d[XI], 0, 1e-9);
  EXPECT_NEAR(at_start.d[Y], 0, 1e-9);
  EXPECT_NEAR(at_start.H * kRho * kG, r.rows[0][5], 1e-3);

  Peaks rk, dae;
  const double h = 1e-3, stop = r.rows.back()[0];
  for (double t = 0; t < stop - h / 2; t += h) {
    s = step_rk4(P, t, s, h);
    const double p = rates(P, t + h, s).H * kRho * kG;
    if (s[W] > rk.w_max) rk.w_max = s[W], rk.t_w_max = t + h;
    if (p > rk.p_max) rk.p_max = p, rk.t_p_max = t + h;
  }
  for (const auto& row : r.rows) {
    if (row[2] > dae.w_max) dae.w_max = row[2], dae.t_w_max = row[0];
    if (row[5] > dae.p_max) dae.p_max = row[5], dae.t_p_max = row[0];
  }
  const double w0 = r.rows[0][2], p0 = r.rows[0][5];
  std::printf("speed rise: run %.5f rad/s at %.2f s, Runge-Kutta %.5f rad/s at %.2f s (%+.4f %%)\n", dae.w_max - w0,
              dae.t_w_max, rk.w_max - w0, rk.t_w_max, 100 * ((dae.w_max - w0) / (rk.w_max - w0) - 1));
  std::printf("pressure rise: run %.1f Pa at %.2f s, Runge-Kutta %.1f Pa at %.2f s (%+.4f %%)\n", dae.p_max - p0,
              dae.t_p_max, rk.p_max - p0, rk.t_p_max, 100 * ((dae.p_max - p0) / (rk.p_max - p0) - 1));
  EXPECT_NEAR((dae.w_max - w0) / (rk.w_max - w0), 1, 0.01);
  EXPECT_NEAR((dae.p_max - p0) / (rk.p_max - p0), 1, 0.01);
  EXPECT_NEAR(s[W], r.rows.back()[2], 1e-3 * s[W]);
}

// The island plant (island_governor.yaml): no friction, no no-load flow, runaway at twice the
// rated speed, a load of constant power stepping by 10 % at t = 1 s.
struct Island {
  double L = 400, D = 2, H0 = 100, Q_r = 10, w_r = 52.36, k_run = 2, eta = 0.9, J = 2e4;
  double b_p = 0.04, K_p = 2, T_i = 5, T_y = 0.2;
  double y0 = 0.7, step = 0.1, at = 1;
  double Q0() const { return Q_r * y0 * root(1.0, 0.01 / 100); }
  double P0() const { return eta * kRho * kG * H0 * Q0(); }
  double T_w() const { return L * Q0() / (kG * 3.14 * D * D / 4 * H0); }
  double T_a() const { return J * w_r * w_r / P0(); }
};

// Per unit deviations about the operating point: flow q, speed w, integral xi, opening y (of y0).
//   T_w·dq/dt = −h,  q = y + h/2          the rigid column and the orifice, h = 2·(q − y)
//   t_m = q + h − w/(k_run − 1)           the turbine's torque and its self-regulation
//   t_L = P − w                           a load of constant power
//   T_a·dw/dt = t_m − t_L
//   e = −w − b_p·y0·y,  dxi/dt = K_p/T_i·e,  T_y·y0·dy/dt = K_p·e + xi − y0·y
using Matrix = std::array<std::array<double, 4>, 4>;
Matrix linearised(const Island& I, double K_p) {
  const double Tw = I.T_w(), Ta = I.T_a(), s = 1 - 1 / (I.k_run - 1), y0 = I.y0, bp = I.b_p;
  return {{{-2 / Tw, 0, 0, 2 / Tw},
           {3 / Ta, s / Ta, 0, -2 / Ta},
           {0, -K_p / I.T_i, 0, -K_p / I.T_i * bp * y0},
           {0, -K_p / (I.T_y * y0), 1 / (I.T_y * y0), (-K_p * bp * y0 - y0) / (I.T_y * y0)}}};
}

// The characteristic polynomial det(sI − A) = s⁴ + c1·s³ + c2·s² + c3·s + c4 (Faddeev–LeVerrier).
std::array<double, 5> characteristic(const Matrix& A) {
  std::array<double, 5> c{1, 0, 0, 0, 0};
  Matrix M{};  // M_0 = 0
  for (int k = 1; k <= 4; ++k) {
    Matrix next{};
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) {
        double sum = 0;
        for (int l = 0; l < 4; ++l) sum += A[i][l] * M[l][j];
        next[i][j] = sum + (i == j ? c[k - 1] : 0.0);
      }
    double trace = 0;
    for (int i = 0; i < 4; ++i)
      for (int l = 0; l < 4; ++l) trace += A[i][l] * next[l][i];
    c[k] = -trace / k;
    M = next;
  }
  return c;
}

// Routh–Hurwitz for a quartic with a leading 1.
bool stable(const std::array<double, 5>& c) {
  const double a1 = c[1], a2 = c[2], a3 = c[3], a4 = c[4];
  return a1 > 0 && a2 > 0 && a3 > 0 && a4 > 0 && a1 * a2 - a3 > 0 && a1 * a2 * a3 - a3 * a3 - a1 * a1 * a4 > 0;
}

// The proportional gain where the linearised unit loses stability, T_i held.
double critical_gain(const Island& I) {
  double lo = 0.05, hi = 200;
  EXPECT_TRUE(stable(characteristic(linearised(I, lo))));
  EXPECT_FALSE(stable(characteristic(linearised(I, hi))));
  for (int k = 0; k < 100; ++k) {
    const double mid = std::sqrt(lo * hi);
    (stable(characteristic(linearised(I, mid))) ? lo : hi) = mid;
  }
  return lo;
}

// The linearised response of the speed deviation (per unit) to the load step, at the times given.
std::vector<double> linear_speed(const Island& I, const std::vector<double>& times) {
  const Matrix A = linearised(I, I.K_p);
  const double Ta = I.T_a();
  std::array<double, 4> x{};
  auto f = [&](double t, const std::array<double, 4>& s) {
    std::array<double, 4> d{};
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) d[i] += A[i][j] * s[j];
    if (t >= I.at) d[1] -= I.step / Ta;
    return d;
  };
  std::vector<double> out;
  double t = 0;
  const double h = 1e-3;
  for (double want : times) {
    while (t < want - h / 2) {
      auto add = [](auto a, const auto& b, double g) {
        for (size_t i = 0; i < a.size(); ++i) a[i] += g * b[i];
        return a;
      };
      const auto k1 = f(t, x), k2 = f(t + h / 2, add(x, k1, h / 2)), k3 = f(t + h / 2, add(x, k2, h / 2)),
                 k4 = f(t + h, add(x, k3, h));
      for (int i = 0; i < 4; ++i) x[i] += h / 6 * (k1[i] + 2 * k2[i] + 2 * k3[i] + k4[i]);
      t += h;
    }
    out.push_back(x[1]);
  }
  return out;
}

ExampleRun run_island(const std::string& text) {
  sim::Model model = load_text(text);
  ExampleRun r = run(model, {"shaft.w", "governor.y", "penstock.q"});
  EXPECT_TRUE(r.outcome.complete) << r.outcome.error;
  return r;
}

// The speed's deviation per unit against the linearised unit's, for a load step of `step` of P0.
struct StepResponse {
  double dip = 0, worst = 0, final_deviation = 0, droop = 0, opened = 0, opening_by_droop = 0;
};

StepResponse step_response(double step) {
  const double P0 = 6.1803e6;
  std::string text =
      replaced(example_text("island_governor.yaml"), "to: 6.79833e6", fmt::format("to: {}", P0 * (1 + step)));
  text = replaced(text, "stop: 40 s", "stop: 80 s");
  const ExampleRun r = run_island(text);
  Island I;
  I.step = step;
  const double w0 = r.rows[0][1];
  I.y0 = r.rows[0][2];
  std::vector<double> times, deviation;
  for (const auto& row : r.rows) times.push_back(row[0]), deviation.push_back((row[1] - w0) / I.w_r);
  const std::vector<double> linear = linear_speed(I, times);
  StepResponse s;
  for (size_t i = 0; i < times.size(); ++i) {
    s.dip = std::min(s.dip, deviation[i]);
    s.worst = std::max(s.worst, std::abs(deviation[i] - linear[i]));
  }
  s.final_deviation = deviation.back();
  s.opened = r.rows.back()[2] - I.y0;
  s.droop = -I.b_p * s.opened;       // the governor's rest: Δw/w_ref = −b_p·Δy
  s.opening_by_droop = I.y0 * step;  // the linearised unit's Δy = y0·ΔP/P0
  std::printf(
      "step %g: T_w %.3f s, T_a %.3f s; speed dip %.5f pu, largest difference from the linearised unit "
      "%.2e pu (%.2f %% of the dip); final %.6f pu, droop %.6f pu\n",
      step, I.T_w(), I.T_a(), s.dip, s.worst, 100 * s.worst / std::abs(s.dip), s.final_deviation, s.droop);
  return s;
}

TEST(IslandGovernor, LoadStepFollowsTheLinearisedUnitAndSettlesAtTheDroop) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "FlowLine", "HydroTurbine", "Inertia", "ElectricalLoad", "Governor");
  // A small step is the linearised unit's own ground; the example's 10 % step stays close to it.
  const StepResponse small = step_response(0.01), example = step_response(0.1);
  EXPECT_LT(small.worst, 0.02 * std::abs(small.dip));
  EXPECT_LT(example.worst, 0.08 * std::abs(example.dip));
  for (const StepResponse& s : {small, example}) {
    EXPECT_NEAR(s.final_deviation, s.droop, 0.01 * std::abs(s.droop));
    EXPECT_NEAR(s.opened, s.opening_by_droop, 0.02 * s.opening_by_droop);
  }
}

// The swing of the speed, peak to peak, over the first and the last third of the run after `after`.
std::pair<double, double> swings(const ExampleRun& r, double after) {
  const double end = r.rows.back()[0], third = (end - after) / 3;
  double lo1 = 1e300, hi1 = -1e300, lo3 = 1e300, hi3 = -1e300;
  for (const auto& row : r.rows) {
    if (row[0] < after) continue;
    if (row[0] < after + third) lo1 = std::min(lo1, row[1]), hi1 = std::max(hi1, row[1]);
    if (row[0] > end - third) lo3 = std::min(lo3, row[1]), hi3 = std::max(hi3, row[1]);
  }
  return {hi1 - lo1, hi3 - lo3};
}

TEST(IslandGovernor, GainAboveTheStabilityLimitOscillates) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "FlowLine", "HydroTurbine", "Inertia", "ElectricalLoad", "Governor");
  Island I;
  const double limit = critical_gain(I);
  std::printf("stability limit of the linearised unit: K_p = %.4f (T_i = %g s)\n", limit, I.T_i);
  ASSERT_GT(limit, I.K_p);  // the example itself is stable
  for (double factor : {0.7, 1.4}) {
    const std::string text =
        replaced(replaced(example_text("island_governor.yaml"), "Kp: 2,", fmt::format("Kp: {},", factor * limit)),
                 "stop: 40 s", "stop: 120 s");
    const ExampleRun r = run_island(text);
    const auto [first, last] = swings(r, 2);
    std::printf("K_p = %.3f (%.1f x limit): swing %.3e rad/s early, %.3e rad/s late\n", factor * limit, factor, first,
                last);
    if (factor < 1) {
      EXPECT_LT(last, 0.1 * first);
    } else {
      // It grows until the servo's rate limits hold it: a sustained swing, no decay.
      EXPECT_GT(last, 0.5 * first);
      EXPECT_GT(last, 1.0);  // rad/s, against the 0.15 rad/s the droop asks for
    }
  }
}

// Start-up from rest: the gate opens at the opening rate, the speed comes up from standstill, the
// machine connects where the speed enters its window and, once the load reference rises, takes the
// turbine's power without tripping.
TEST(UnitStartup, RunsUpSynchronisesAndTakesLoad) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "FlowLine", "HydroTurbine", "Inertia", "GridMachine", "Governor");
  sim::Model model = sim::load_model(example_file("unit_startup.yaml"), catalogue());
  const ExampleRun r = run(model, {"shaft.w", "governor.y", "grid.on_grid", "grid.t", "unit.t", "grid.control"});
  ASSERT_TRUE(r.outcome.complete) << r.outcome.error;
  constexpr double kSyn = 52.36, kOpeningRate = 1.0 / 20;
  EXPECT_NEAR(r.rows[0][1], 0, 1e-9);  // at rest
  double connected = -1;
  for (const auto& row : r.rows) {
    EXPECT_GE(row[1], -1e-6) << "the shaft turns backwards at t = " << row[0];
    if (row[0] <= 5) {
      EXPECT_NEAR(row[2], std::min(1.0, kOpeningRate * row[0]), 1e-4) << "t = " << row[0];
    }
    if (connected < 0 && row[3] == 1) connected = row[0];
    EXPECT_EQ(row[6], 1) << "the machine's protection tripped at t = " << row[0];
  }
  ASSERT_GT(connected, 0) << "never synchronised";
  const double w_at = r.rows[static_cast<size_t>(
      std::lower_bound(r.rows.begin(), r.rows.end(), connected, [](const auto& row, double t) { return row[0] < t; }) -
      r.rows.begin())][1];
  std::printf(
      "synchronised at t = %.3f s at %.4f rad/s; at the end the machine takes %.0f N m of the turbine's %.0f N m\n",
      connected, w_at, r.rows.back()[4], r.rows.back()[5]);
  EXPECT_GE(w_at, kSyn - 1e-6);
  EXPECT_LT(w_at, kSyn + 0.5);
  // Loaded: in steady state the machine takes the whole of the turbine's torque, at the grid's speed.
  EXPECT_GT(r.rows.back()[4], 1e5);
  EXPECT_NEAR(r.rows.back()[4], r.rows.back()[5], 1e-4 * r.rows.back()[5]);
  EXPECT_NEAR(r.rows.back()[1], kSyn + r.rows.back()[4] / 1e7, 1e-6);
}

}  // namespace
}  // namespace penstock::testing
