// SPDX-License-Identifier: BSD-3-Clause
#include "wave_pipe.hpp"

#include <fmt/core.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace penstock::sim::detail {

namespace {

void require_positive(const WavePipeData& p, double value, const char* what) {
  if (!(value > 0.0) || !std::isfinite(value))
    throw ModelError(p.mark, fmt::format("WavePipe '{}': {} must be positive, not {}", p.name, what, value));
}

double travel_time(const WavePipeData& p) { return p.length / p.wave_speed; }

}  // namespace

WaveGrid plan_wave_grid(const std::vector<WavePipeData>& pipes, double wave_step) {
  WaveGrid grid;
  if (pipes.empty()) return grid;
  for (const WavePipeData& p : pipes) {
    require_positive(p, p.length, "the length Length");
    require_positive(p, p.diameter, "the diameter Din");
    require_positive(p, p.wave_speed, "the wave speed a");
    require_positive(p, p.density, "the density");
    require_positive(p, p.gravity, "gravity");
    if (!(p.lambda >= 0.0) || !std::isfinite(p.lambda))
      throw ModelError(p.mark, fmt::format("WavePipe '{}': the friction factor lambda must not be negative, not {}",
                                           p.name, p.lambda));
    if (p.reaches < 0) throw ModelError(p.mark, fmt::format("WavePipe '{}': reaches must be at least 1", p.name));
  }
  if (wave_step > 0.0) {
    grid.step = wave_step;
  } else {
    grid.step = std::numeric_limits<double>::infinity();
    for (const WavePipeData& p : pipes) {
      const double step = travel_time(p) / (p.reaches > 0 ? p.reaches : kDefaultReaches);
      if (step < grid.step) {
        grid.step = step;
        grid.set_by = p.name;
      }
    }
  }
  for (const WavePipeData& p : pipes) {
    const double reaches = std::round(travel_time(p) / grid.step);
    if (reaches < 1.0)
      throw ModelError(p.mark, fmt::format("WavePipe '{}' is shorter than one reach at the wave step {} s: its travel "
                                           "time L/a is {:.4g} s (a pipe this short is better a lumped element)",
                                           p.name, grid.step, travel_time(p)));
    WaveGrid::Pipe fitted;
    fitted.reaches = static_cast<int>(reaches);
    fitted.wave_speed = p.length / (reaches * grid.step);
    fitted.change = fitted.wave_speed / p.wave_speed - 1.0;
    if (std::abs(fitted.change) > kWaveSpeedLimit)
      throw ModelError(p.mark, fmt::format("WavePipe '{}': the wave step {} s would move its wave speed from {} m/s to "
                                           "{:.6g} m/s ({:+.2f} %, more than {} %); choose a wave step that fits "
                                           "L/a = {:.6g} s in whole reaches",
                                           p.name, grid.step, p.wave_speed, fitted.wave_speed, 100 * fitted.change,
                                           100 * kWaveSpeedLimit, travel_time(p)));
    grid.pipes.push_back(fitted);
  }
  return grid;
}

CharacteristicPipe::CharacteristicPipe(const WavePipeData& data, const WaveGrid::Pipe& grid, double dt, bool envelope)
    : name_(data.name),
      n_(grid.reaches),
      length_(data.length),
      z_a_(data.z_a),
      z_b_(data.z_b),
      rho_g_(data.density * data.gravity),
      dt_(dt),
      H_(static_cast<size_t>(n_) + 1, 0.0),
      Q_(static_cast<size_t>(n_) + 1, 0.0),
      H1_(static_cast<size_t>(n_) + 1, 0.0),
      Q1_(static_cast<size_t>(n_) + 1, 0.0) {
  const double area = std::numbers::pi * data.diameter * data.diameter / 4;
  const double dx = data.length / n_;
  area_ = area;
  B_ = grid.wave_speed / (data.gravity * area);
  R_ = data.lambda * dx / (2 * data.gravity * data.diameter * area * area);
  if (envelope) envelope_.resize(static_cast<size_t>(n_) + 1);
}

double CharacteristicPipe::elevation_at(size_t i) const {
  return z_a_ + (z_b_ - z_a_) * static_cast<double>(i) / static_cast<double>(n_);
}

CharacteristicPipe::EndLaw CharacteristicPipe::end_a(double t) const {
  const double s = (t - t_k_) / dt_;
  const double c_m = c_m0_ + s * (c_m1_ - c_m0_), b_m = b_m0_ + s * (b_m1_ - b_m0_);
  return {rho_g_ * (c_m - z_a_), rho_g_ * b_m};
}

CharacteristicPipe::EndLaw CharacteristicPipe::end_b(double t) const {
  const double s = (t - t_k_) / dt_;
  const double c_p = c_p0_ + s * (c_p1_ - c_p0_), b_p = b_p0_ + s * (b_p1_ - b_p0_);
  return {rho_g_ * (c_p - z_b_), rho_g_ * b_p};
}

void CharacteristicPipe::begin(double t0, double p_a, double q) {
  t_k_ = t0;
  const double head_a = z_a_ + p_a / rho_g_;
  for (size_t i = 0; i <= static_cast<size_t>(n_); ++i) {
    H_[i] = head_a - static_cast<double>(i) * R_ * q * std::abs(q);
    Q_[i] = q;
  }
  // Before t0 the pipe was as it is at t0: the laws start from the same values.
  set_end_laws();
  c_m0_ = c_m1_, b_m0_ = b_m1_, c_p0_ = c_p1_, b_p0_ = b_p1_;
  step_interior();
  if (has_envelope()) {
    for (size_t i = 0; i < envelope_.size(); ++i) {
      const double p = rho_g_ * (H_[i] - elevation_at(i));
      envelope_[i] = {p, t0, p, t0, H_[i], t0, H_[i], t0};
    }
  }
}

void CharacteristicPipe::advance(double t, double p_a, double q_a, double p_b, double q_b) {
  const size_t n = static_cast<size_t>(n_);
  std::swap(H_, H1_);
  std::swap(Q_, Q1_);
  H_[0] = z_a_ + p_a / rho_g_;
  Q_[0] = q_a;
  H_[n] = z_b_ + p_b / rho_g_;
  Q_[n] = q_b;
  t_k_ = t;
  // The laws of the next interval begin where the last ones ended.
  c_m0_ = c_m1_, b_m0_ = b_m1_, c_p0_ = c_p1_, b_p0_ = b_p1_;
  set_end_laws();
  step_interior();
  if (has_envelope()) note_extremes(t);
}

// The laws at the end of the current interval, t_k + Δt: from nodes 1 and n−1 at t_k.
void CharacteristicPipe::set_end_laws() {
  const size_t n = static_cast<size_t>(n_);
  c_m1_ = H_[1] - B_ * Q_[1];
  b_m1_ = B_ + R_ * std::abs(Q_[1]);
  c_p1_ = H_[n - 1] + B_ * Q_[n - 1];
  b_p1_ = B_ + R_ * std::abs(Q_[n - 1]);
}

// The interior at t_k + Δt from all the nodes at t_k.
void CharacteristicPipe::step_interior() {
  const size_t n = static_cast<size_t>(n_);
  const double* H = H_.data();
  const double* Q = Q_.data();
  double* H1 = H1_.data();
  double* Q1 = Q1_.data();
  for (size_t i = 1; i < n; ++i) {
    const double c_p = H[i - 1] + B_ * Q[i - 1], b_p = B_ + R_ * std::abs(Q[i - 1]);
    const double c_m = H[i + 1] - B_ * Q[i + 1], b_m = B_ + R_ * std::abs(Q[i + 1]);
    const double inverse = 1.0 / (b_p + b_m);
    Q1[i] = (c_p - c_m) * inverse;
    H1[i] = (c_p * b_m + c_m * b_p) * inverse;
  }
}

void CharacteristicPipe::note_extremes(double t) {
  for (size_t i = 0; i < envelope_.size(); ++i) {
    Extremes& e = envelope_[i];
    const double h = H_[i];
    if (h < e.h_min) e.h_min = h, e.t_h_min = t, e.p_min = rho_g_ * (h - elevation_at(i)), e.t_p_min = t;
    if (h > e.h_max) e.h_max = h, e.t_h_max = t, e.p_max = rho_g_ * (h - elevation_at(i)), e.t_p_max = t;
  }
}

double CharacteristicPipe::head(size_t i, double t) const {
  if (i == 0 || i == static_cast<size_t>(n_)) return H_[i];
  return H_[i] + (t - t_k_) / dt_ * (H1_[i] - H_[i]);
}

double CharacteristicPipe::flow(size_t i, double t) const {
  if (i == 0 || i == static_cast<size_t>(n_)) return Q_[i];
  return Q_[i] + (t - t_k_) / dt_ * (Q1_[i] - Q_[i]);
}

}  // namespace penstock::sim::detail

namespace penstock::sim::detail {

void WavePipes::add(CharacteristicPipe pipe, const Link& link) {
  pipes_.push_back(std::move(pipe));
  links_.push_back(link);
}

void WavePipes::add_structure(std::vector<std::vector<int>>& structure) const {
  for (const Link& l : links_) {
    auto involve = [&](int row, int unknown) {
      if (unknown >= 0) structure[static_cast<size_t>(row)].push_back(unknown);
    };
    involve(l.row_a, l.p_a), involve(l.row_a, l.q_a), involve(l.row_a, l.q_b);
    involve(l.row_b, l.p_a), involve(l.row_b, l.p_b), involve(l.row_b, l.q_b);
  }
}

void WavePipes::residual(double t, const double* y, double* F) const {
  for (size_t j = 0; j < pipes_.size(); ++j) {
    const CharacteristicPipe& pipe = pipes_[j];
    const Link& l = links_[j];
    const double p_a = across(l.p_a, y), p_b = across(l.p_b, y), q_a = y[l.q_a], q_b = y[l.q_b];
    if (!characteristic_) {
      F[l.row_a] = q_a - q_b;
      F[l.row_b] = p_b - p_a - pipe.elevation() + pipe.resistance() * q_b * std::abs(q_b);
      continue;
    }
    const CharacteristicPipe::EndLaw a = pipe.end_a(t), b = pipe.end_b(t);
    F[l.row_a] = p_a - a.a - a.b * q_a;
    F[l.row_b] = p_b - b.a + b.b * q_b;
  }
}

void WavePipes::jacobian(double t, const double* y, double* values) {
  auto add = [values](long at, double v) {
    if (at >= 0) values[at] += v;
  };
  slopes_.resize(pipes_.size());
  for (size_t j = 0; j < pipes_.size(); ++j) {
    const CharacteristicPipe& pipe = pipes_[j];
    const Entries& e = entries_[j];
    if (!characteristic_) {
      const double q = std::max(std::abs(y[links_[j].q_b]), kSlopeVelocity * pipe.area());
      add(e.a_qa, 1.0), add(e.a_qb, -1.0);
      add(e.b_pb, 1.0), add(e.b_pa, -1.0), add(e.b_qb, 2 * pipe.resistance() * q);
      continue;
    }
    slopes_[j] = {pipe.end_a(t).b, pipe.end_b(t).b};
    add(e.a_pa, 1.0), add(e.a_qa, -slopes_[j].first);
    add(e.b_pb, 1.0), add(e.b_qb, slopes_[j].second);
  }
}

double WavePipes::drift(double t) const {
  if (!characteristic_ || slopes_.size() != pipes_.size()) return 0.0;
  double largest = 0.0;
  for (size_t j = 0; j < pipes_.size(); ++j) {
    const auto [b_a, b_b] = slopes_[j];
    largest = std::max({largest, std::abs(pipes_[j].end_a(t).b / b_a - 1), std::abs(pipes_[j].end_b(t).b / b_b - 1)});
  }
  return largest;
}

void WavePipes::begin(double t, const double* y) {
  for (size_t j = 0; j < pipes_.size(); ++j) pipes_[j].begin(t, across(links_[j].p_a, y), y[links_[j].q_a]);
  characteristic_ = true;
}

void WavePipes::advance(double t, const double* y) {
  for (size_t j = 0; j < pipes_.size(); ++j) {
    const Link& l = links_[j];
    pipes_[j].advance(t, across(l.p_a, y), y[l.q_a], across(l.p_b, y), y[l.q_b]);
  }
}

size_t WavePipes::outputs() const {
  size_t n = 0;
  for (const CharacteristicPipe& pipe : pipes_) n += 3 * (static_cast<size_t>(pipe.reaches()) + 1);
  return n;
}

long WavePipes::find(const std::string& name, long first) const {
  const size_t open = name.rfind('[');
  if (open == std::string::npos || open < 3 || name.back() != ']' || name[open - 2] != '.') return -1;
  const std::string number = name.substr(open + 1, name.size() - open - 2);
  if (number.empty() || number.size() > 9 || !std::all_of(number.begin(), number.end(), ::isdigit)) return -1;
  const size_t node = std::stoul(number);
  const char q = name[open - 1];
  const Quantity quantity = q == 'p' ? pressure : q == 'q' ? flow : head;
  if (q != 'p' && q != 'q' && q != 'h') return -1;
  const std::string pipe_name = name.substr(0, open - 2);
  long id = first;
  for (const CharacteristicPipe& pipe : pipes_) {
    const size_t nodes = static_cast<size_t>(pipe.reaches()) + 1;
    if (pipe.name() == pipe_name) return node < nodes ? id + static_cast<long>(3 * node + quantity) : -1;
    id += static_cast<long>(3 * nodes);
  }
  return -1;
}

std::pair<size_t, size_t> WavePipes::locate_output(size_t id) const {
  for (size_t j = 0; j < pipes_.size(); ++j) {
    const size_t count = 3 * (static_cast<size_t>(pipes_[j].reaches()) + 1);
    if (id < count) return {j, id};
    id -= count;
  }
  return {pipes_.size(), 0};
}

WavePipes::Quantity WavePipes::quantity(size_t id) const { return static_cast<Quantity>(locate_output(id).second % 3); }

double WavePipes::output(size_t id, double t, const double* y) const {
  const auto [j, offset] = locate_output(id);
  const CharacteristicPipe& pipe = pipes_[j];
  const Link& l = links_[j];
  const size_t node = offset / 3;
  const auto quantity = static_cast<Quantity>(offset % 3);
  const size_t n = static_cast<size_t>(pipe.reaches());
  if (node == 0 || node == n) {  // an end: the network's own values
    const double p = across(node == 0 ? l.p_a : l.p_b, y);
    if (quantity == pressure) return p;
    if (quantity == flow) return y[node == 0 ? l.q_a : l.q_b];
    return pipe.head_of_pressure(node, p);
  }
  if (quantity == pressure) return pipe.pressure(node, t);
  if (quantity == flow) return pipe.flow(node, t);
  return pipe.head(node, t);
}

}  // namespace penstock::sim::detail
