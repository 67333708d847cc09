// The plug-in frame. A component is a struct that describes itself as data:
//
//   inputs        element-variable names in input order (time, input 0, is implicit)
//   params        parameter names in block order (with_fluid<N>(...) prepends the port fluid blocks)
//   equations     one Equation each: kind, differential input, and the functions for its slots
//   n_zc, n_modes, zero_crossings, modes   only for a component that switches
//
// and PENSTOCK_PLUGIN(Component) turns the description into mexFunction, build_group, setup,
// cleanup and one trampoline per registered slot. The order of the engine calls is written here
// and nowhere else. Every buffer is zero-filled before a component function writes into it, so
// every entry is written on every call, and a component states only its non-zero entries.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "penstock/guarded_math.hpp"
#include "penstock/ne_mli.h"
#include "penstock/slots.hpp"

namespace penstock {

// What an equation or group method sees: current inputs, mode flags and the parameter block.
class Ctx {
 public:
  explicit Ctx(const EvalContext* c) : c_(c) {}
  double x(int i) const { return c_->inputs[i]; }  // input i
  double par(int i) const { return c_->params[i]; }
  int32_t flag(int k) const { return c_->modes[k]; }
  // The sign carried by the flag pair of a sign test (k: v < 0, k+1: v > 0): 1, -1 or 0.
  double sign(int k) const { return static_cast<double>(c_->modes[k + 1] - c_->modes[k]); }

 private:
  const EvalContext* c_;
};

// The parameter block, as LinearRow receives it.
class Params {
 public:
  explicit Params(const double* block) : block_(block) {}
  double operator[](int i) const { return block_[i]; }

 private:
  const double* block_;
};

// An output row over the inputs, zero-filled by the frame.
class Row {
 public:
  explicit Row(double* d) : d_(d) {}
  double& operator[](int i) const { return d_[i]; }

 private:
  double* d_;
};

// The set of inputs a residual depends on: on(q, p).
template <class... I>
constexpr uint32_t on(I... inputs) {
  return ((1U << static_cast<int>(inputs)) | ... | 0U);
}

using Kind::algebraic_linear;
using Kind::algebraic_nonlinear;
using Kind::differential_linear;
using Kind::differential_nonlinear;

struct Equation {
  Kind kind;
  int differential = -1;                        // input whose derivative the Mass row multiplies
  double (*mass)(const Ctx&) = nullptr;         // the storage coefficient at that input
  double (*residual)(const Ctx&) = nullptr;     // evaluated with the time derivative taken as 0
  uint32_t depends = 0;                         // ResidualPattern, as a set of inputs
  void (*jacobian)(const Ctx&, Row) = nullptr;  // d residual / d input at the inputs of depends
  void (*linear_row)(Params, Row) = nullptr;    // coefficients of the linear part
};

// A sign test of v over the flag pair at m: m[0] = v < 0, m[1] = v > 0 (both 0 at 0 and NaN).
inline void sign_test(double v, int32_t* m) {
  m[0] = v < 0.0 ? 1 : 0;
  m[1] = v > 0.0 ? 1 : 0;
}

// Parameter names: for each hydraulic port, its four fluid properties, then the component's own.
// clang-format off
inline constexpr std::array<const char*, 16> kFluidParams{
    "A.density", "A.viscosity_kin", "A.bulk", "A.alpha",
    "B.density", "B.viscosity_kin", "B.bulk", "B.alpha",
    "C.density", "C.viscosity_kin", "C.bulk", "C.alpha",
    "D.density", "D.viscosity_kin", "D.bulk", "D.alpha"};
// clang-format on

constexpr int fluid(int ports) { return 4 * ports; }  // index of the first own parameter

template <int Ports>
constexpr auto with_fluid() {
  static_assert(Ports >= 0 && Ports <= 4);
  std::array<const char*, fluid(Ports)> names{};
  for (std::size_t i = 0; i < names.size(); ++i) names[i] = kFluidParams[i];
  return names;
}

template <int Ports, std::size_t M>
constexpr auto with_fluid(const char* const (&own)[M]) {
  static_assert(Ports >= 0 && Ports <= 4);
  std::array<const char*, fluid(Ports) + M> names{};
  for (std::size_t i = 0; i < static_cast<std::size_t>(fluid(Ports)); ++i) names[i] = kFluidParams[i];
  for (std::size_t j = 0; j < M; ++j) names[fluid(Ports) + j] = own[j];
  return names;
}

namespace frame {

template <class C>
inline constexpr int32_t n_inputs = static_cast<int32_t>(1 + C::inputs.size());

template <class C>
concept Switching = requires {
  C::zero_crossings;
  C::modes;
};

template <class C>
consteval bool well_formed() {
  constexpr int32_t kMaxInputs = 32;  // ResidualPattern is kept as a 32-bit set
  if (kMaxInputs < n_inputs<C>) return false;
  for (const Equation& e : C::equations) {
    if (is_differential(e.kind) != (e.differential >= 1 && e.differential < n_inputs<C>)) return false;
    if (is_differential(e.kind) != (e.mass != nullptr)) return false;
    if (is_linear(e.kind) != (e.linear_row != nullptr)) return false;
    const bool nonlinear = !is_linear(e.kind);
    if (nonlinear != (e.residual != nullptr) || nonlinear != (e.jacobian != nullptr)) return false;
    if ((e.depends & 1U) != 0 || e.depends >> n_inputs<C> != 0) return false;
    if (!nonlinear && e.depends != 0) return false;
  }
  if constexpr (Switching<C>) return C::n_zc > 0 && C::n_modes > 0;
  return true;
}

template <class C, std::size_t E>
void mass(const EvalContext* ctx, void* out) {
  constexpr const Equation& eq = C::equations[E];
  double* row = static_cast<double*>(out);
  std::fill_n(row, n_inputs<C>, 0.0);
  row[eq.differential] = eq.mass(Ctx{ctx});
}

template <class C>
void zero_bytes(const EvalContext* /*ctx*/, void* out) {
  std::memset(out, 0, n_inputs<C>);
}

template <class C>
void zero_doubles(const EvalContext* /*ctx*/, void* out) {
  std::fill_n(static_cast<double*>(out), n_inputs<C>, 0.0);
}

template <uint8_t Value>
void byte(const EvalContext* /*ctx*/, void* out) {
  *static_cast<uint8_t*>(out) = Value;
}

template <class C, std::size_t E>
void residual(const EvalContext* ctx, void* out) {
  *static_cast<double*>(out) = C::equations[E].residual(Ctx{ctx});
}

template <class C, std::size_t E>
void residual_pattern(const EvalContext* /*ctx*/, void* out) {
  constexpr uint32_t depends = C::equations[E].depends;
  auto* bytes = static_cast<uint8_t*>(out);
  for (int i = 0; i < n_inputs<C>; ++i) bytes[i] = static_cast<uint8_t>((depends >> i) & 1U);
}

template <class C, std::size_t E>
void residual_jacobian(const EvalContext* ctx, void* out) {
  double* row = static_cast<double*>(out);
  std::fill_n(row, n_inputs<C>, 0.0);
  C::equations[E].jacobian(Ctx{ctx}, Row{row});
}

template <class C, std::size_t E>
void linear_row(const double* params, double* out) {
  std::fill_n(out, n_inputs<C>, 0.0);
  C::equations[E].linear_row(Params{params}, Row{out});
}

template <class C>
void zero_crossings(const EvalContext* ctx, void* out) {
  double* zc = static_cast<double*>(out);
  std::fill_n(zc, C::n_zc, 0.0);
  C::zero_crossings(Ctx{ctx}, zc);
}

template <class C>
void modes(const EvalContext* ctx, void* out) {
  auto* m = static_cast<int32_t*>(out);
  std::fill_n(m, C::n_modes, 0);
  C::modes(Ctx{ctx}, m);
}

template <class C>
double* setup(const NeParameterSource* source) {
  auto* block = static_cast<double*>(pmf_calloc(1, sizeof(double) * C::params.size()));
  if (block == nullptr) return nullptr;  // no memory: no block to fill
  for (std::size_t i = 0; i < C::params.size(); ++i) {
    if (const double* value = ne_eqn_get_parameter(source, C::params[i])) block[i] = *value;
  }
  return block;
}

inline void cleanup(double* block) { pmf_free(block); }

template <class C, std::size_t E>
void declare_equation(NeEqnGroup* g) {
  constexpr const Equation& eq = C::equations[E];
  NeEquation* e = ne_eqn_group_add_equation(g);
  if constexpr (is_differential(eq.kind)) ne_eqn_set_differential(e, eq.differential);
  if constexpr (is_linear(eq.kind)) ne_eqn_set_param_method(e, kLinearRowSlot, &linear_row<C, E>);
  if constexpr (is_differential(eq.kind)) {
    ne_eqn_set_method(e, kMass, &mass<C, E>);
    ne_eqn_set_method(e, kMassPattern, &zero_bytes<C>);
    ne_eqn_set_method(e, kMassJacobian, &zero_doubles<C>);
  }
  if constexpr (!is_linear(eq.kind)) {
    ne_eqn_set_method(e, kResidual, &residual<C, E>);
    ne_eqn_set_method(e, kResidualNonlinear, &byte<1>);
  }
  if constexpr (is_differential(eq.kind)) ne_eqn_set_method(e, kMassNonlinear, &byte<0>);
  if constexpr (!is_linear(eq.kind)) {
    ne_eqn_set_method(e, kResidualPattern, &residual_pattern<C, E>);
    ne_eqn_set_method(e, kResidualJacobian, &residual_jacobian<C, E>);
  }
}

template <class C>
NeEqnGroup* build_group(NeBuilder* b) {
#ifndef PENSTOCK_SANITIZED  // the sanitizers make function addresses non-constant; the plain build checks
  static_assert(well_formed<C>(), "component description breaks a rule of the frame");
#endif
  NeEqnGroup* g = ne_builder_add_group(b);
  ne_eqn_group_add_input(g, ne_builder_get_time(b));
  for (const char* name : C::inputs) ne_eqn_group_add_input(g, ne_builder_get_element_variable(b, name, 0));
  [g]<std::size_t... E>(std::index_sequence<E...>) { (declare_equation<C, E>(g), ...); }
  (std::make_index_sequence<C::equations.size()>{});
  if constexpr (Switching<C>) {
    ne_eqn_group_set_method_size(g, kZeroCrossingsSlot, C::n_zc);
    ne_eqn_group_set_method(g, kZeroCrossingsSlot, &zero_crossings<C>);
    ne_eqn_group_set_method_size(g, kModesSlot, C::n_modes);
    ne_eqn_group_set_method(g, kModesSlot, &modes<C>);
  }
  ne_eqn_group_set_setup_cleanup_fcn(g, &setup<C>, &cleanup);
  return g;
}

}  // namespace frame
}  // namespace penstock

// The plug-in's only export: hand the host the component's builder.
#define PENSTOCK_PLUGIN(Component)                                                                 \
  extern "C" __attribute__((visibility("default"))) void mexFunction(RegistrationRecord* record) { \
    record->builder = &penstock::frame::build_group<Component>;                                    \
  }
