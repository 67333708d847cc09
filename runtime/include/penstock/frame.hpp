// SPDX-License-Identifier: BSD-3-Clause
// The plug-in frame. A component is a struct that describes itself as data:
//
//   PENSTOCK_INPUTS(...)      its inputs in order, each named once (time, input 0, is implicit)
//   PENSTOCK_PARAMETERS(...)  its parameters in block order, PENSTOCK_FLUID(A, ...) first
//   equations                 one Equation each: kind, differential input, and the functions for
//                             its slots
//   n_zc, n_modes, zero_crossings, modes   only for a component that switches
//
//   struct Orifice {
//     PENSTOCK_INPUTS(Kv, A_p, B_p, q, p);
//     PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B), Din);
//     static double flow(const Ctx& c) { ... c.x(q) ... c.par(A_density) ... }
//     ...
//   };
//
// Each name is an enumerator the component computes with (Input: time = 0, Kv = 1, ...; Param:
// A_density = 0, ..., Din = 8) and the name the host knows it by: A_p is "A.p", see names below.
// A function of an equation or a group method sees the context as `const Ctx& c`; LinearRow sees
// the parameter block as `Params par`.
//
// PENSTOCK_PLUGIN(Component) turns the description into mexFunction, build_group, setup, cleanup
// and one trampoline per registered slot. The order of the engine calls is written here and
// nowhere else. Every buffer is zero-filled before a component function writes into it, so every
// entry is written on every call, and a component states only its non-zero entries. Compiled with
// PENSTOCK_DECLARATIONS="<Deliverable>", the same source enters its declaration in the tests'
// library of declarations instead (penstock/declarations.hpp).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
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

// Names. A component declares each input and parameter once, as a C++ identifier, and the host
// knows it by the same name with one rule: an identifier X_y, X one capital letter, is the
// variable y of port X and is registered as "X.y" (A_p is "A.p", G_w is "G.w", A_density is
// "A.density"); every other identifier is registered as it is written (Din, Damp_limit, K, Qturb,
// q_ac). The preprocessor hands the list over as one string, "A_p, B_p, q, p", which is split and
// renamed here at compile time into one static table of NUL-terminated names.
namespace names {

constexpr bool is_separator(char ch) { return ch == ',' || ch == ' ' || ch == '\t' || ch == '\n'; }
constexpr bool is_capital(char ch) { return ch >= 'A' && ch <= 'Z'; }

// The number of names in a list as the preprocessor spells it, "a, b, c".
consteval std::size_t count(std::string_view list) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (!is_separator(list[i]) && (i == 0 || is_separator(list[i - 1]))) ++n;
  }
  return n;
}

// The N names of such a list, each closed by NUL, one after the other in L characters: no more
// than the list, since each name's NUL takes the place of the comma or the NUL that followed it.
template <std::size_t N, std::size_t L>
class List {
 public:
  constexpr explicit List(const char (&list)[L]) {
    std::size_t n = 0;
    std::size_t out = 0;
    std::size_t length = 0;  // of the name being copied
    for (std::size_t i = 0; i + 1 < L; ++i) {
      if (is_separator(list[i])) {
        if (length > 0) text_[out++] = '\0';
        length = 0;
        continue;
      }
      if (length == 0) at_[n++] = out;
      const bool port =
          length == 1 && list[i] == '_' && is_capital(list[i - 1]) && list[i + 1] != '\0' && !is_separator(list[i + 1]);
      text_[out++] = port ? '.' : list[i];
      ++length;
    }
    if (length > 0) text_[out] = '\0';
  }
  static constexpr std::size_t size() { return N; }
  constexpr const char* operator[](std::size_t i) const { return text_.data() + at_[i]; }

 private:
  std::array<char, L> text_{};
  std::array<std::size_t, N> at_{};
};

inline constexpr List<0, 1> kNone{""};

}  // namespace names

// The fluid of a hydraulic port X, four parameters in this order: X_density, X_viscosity_kin,
// X_bulk, X_alpha. The blocks of the ports A, B, C, D stand first in the parameter list, in that
// order, and take the indices 0..4·ports-1.
// clang-format off
inline constexpr std::array<std::string_view, 16> kFluidParams{
    "A.density", "A.viscosity_kin", "A.bulk", "A.alpha",
    "B.density", "B.viscosity_kin", "B.bulk", "B.alpha",
    "C.density", "C.viscosity_kin", "C.bulk", "C.alpha",
    "D.density", "D.viscosity_kin", "D.bulk", "D.alpha"};
// clang-format on

namespace frame {

template <class C>
inline constexpr int32_t n_inputs = static_cast<int32_t>(1 + C::inputs.size());

// The parameter names in block order; a component that declares no parameters has none.
template <class C>
constexpr const auto& params() {
  if constexpr (requires { C::params; }) {
    return C::params;
  } else {
    return names::kNone;
  }
}

template <class C>
concept Switching = requires {
  C::zero_crossings;
  C::modes;
};

template <class C>
consteval bool well_formed() {
  constexpr int32_t kMaxInputs = 32;  // ResidualPattern is kept as a 32-bit set
  if (kMaxInputs < n_inputs<C>) return false;
  // A port variable among the inputs is a port's across variable.
  for (std::size_t i = 0; i < C::inputs.size(); ++i) {
    const std::string_view in = C::inputs[i];
    if (in.size() > 1 && in[1] == '.' && in.substr(2) != "p" && in.substr(2) != "w") return false;
  }
  // A port variable among the parameters is the fluid of a port, at its place in the fluid blocks.
  for (std::size_t i = 0; i < params<C>().size(); ++i) {
    const std::string_view name = params<C>()[i];
    if (name.find('.') != std::string_view::npos && (i >= kFluidParams.size() || name != kFluidParams[i])) return false;
  }
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
  constexpr const auto& names = params<C>();
  auto* block = static_cast<double*>(pmf_calloc(1, sizeof(double) * names.size()));
  if (block == nullptr) return nullptr;  // no memory: no block to fill
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (const double* value = ne_eqn_get_parameter(source, names[i])) block[i] = *value;
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
  for (std::size_t i = 0; i < C::inputs.size(); ++i) {
    ne_eqn_group_add_input(g, ne_builder_get_element_variable(b, C::inputs[i], 0));
  }
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

// The declaration of a component's names, each written once.
//
//   PENSTOCK_INPUTS(Kv, A_p, B_p, q, p);
//     enum Input { time, Kv, A_p, B_p, q, p }  and  inputs = "Kv", "A.p", "B.p", "q", "p"
//     (the names of inputs 1, 2, ...; time, input 0, is implicit)
//   PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B), Din);
//     enum Param { A_density, A_viscosity_kin, A_bulk, A_alpha, B_density, ..., B_alpha, Din }
//     and  params = "A.density", ..., "B.alpha", "Din"  (in block order)
//
// PENSTOCK_FLUID names the fluid blocks of the hydraulic ports A, A B, A B C or A B C D, and stands
// first. A component with no parameters leaves out PENSTOCK_PARAMETERS.
#define PENSTOCK_INPUTS(...)        \
  enum Input { time, __VA_ARGS__ }; \
  static constexpr PENSTOCK_DETAIL_LIST(__VA_ARGS__) inputs { PENSTOCK_DETAIL_TEXT(__VA_ARGS__) }

#define PENSTOCK_PARAMETERS(...) \
  enum Param { __VA_ARGS__ };    \
  static constexpr PENSTOCK_DETAIL_LIST(__VA_ARGS__) params { PENSTOCK_DETAIL_TEXT(__VA_ARGS__) }

#define PENSTOCK_FLUID(...)                                                                                  \
  PENSTOCK_DETAIL_FIFTH(__VA_ARGS__, PENSTOCK_DETAIL_FLUID4, PENSTOCK_DETAIL_FLUID3, PENSTOCK_DETAIL_FLUID2, \
                        PENSTOCK_DETAIL_FLUID1, )                                                            \
  (__VA_ARGS__)

// The list as one string: the arguments arrive here expanded (PENSTOCK_FLUID), and are stringized
// as such. The table's type counts the names and takes the string's length.
#define PENSTOCK_DETAIL_TEXT(...) #__VA_ARGS__
#define PENSTOCK_DETAIL_LIST(...)                                                      \
  ::penstock::names::List<::penstock::names::count(PENSTOCK_DETAIL_TEXT(__VA_ARGS__)), \
                          sizeof(PENSTOCK_DETAIL_TEXT(__VA_ARGS__))>

#define PENSTOCK_DETAIL_FIFTH(a, b, c, d, e, ...) e
#define PENSTOCK_DETAIL_PORT_FLUID(X) X##_density, X##_viscosity_kin, X##_bulk, X##_alpha
#define PENSTOCK_DETAIL_FLUID1(a) PENSTOCK_DETAIL_PORT_FLUID(a)
#define PENSTOCK_DETAIL_FLUID2(a, b) PENSTOCK_DETAIL_FLUID1(a), PENSTOCK_DETAIL_PORT_FLUID(b)
#define PENSTOCK_DETAIL_FLUID3(a, b, c) PENSTOCK_DETAIL_FLUID2(a, b), PENSTOCK_DETAIL_PORT_FLUID(c)
#define PENSTOCK_DETAIL_FLUID4(a, b, c, d) PENSTOCK_DETAIL_FLUID3(a, b, c), PENSTOCK_DETAIL_PORT_FLUID(d)

#ifndef PENSTOCK_DECLARATIONS
// The plug-in's only export: hand the host the component's builder.
#define PENSTOCK_PLUGIN(Component)                                                                 \
  extern "C" __attribute__((visibility("default"))) void mexFunction(RegistrationRecord* record) { \
    record->builder = &penstock::frame::build_group<Component>;                                    \
  }
#else
// Compiled for the tests: the component's declaration is entered in the library of declarations
// under the deliverable's name PENSTOCK_DECLARATIONS, and nothing is exported.
#include "penstock/declarations.hpp"

namespace penstock::frame {

template <class C>
bool declare(const char* deliverable) {
#ifndef PENSTOCK_SANITIZED
  static_assert(well_formed<C>(), "component description breaks a rule of the frame");
#endif
  constexpr auto equations = []<std::size_t... E>(std::index_sequence<E...>) {
    return std::array<declared::Equation, sizeof...(E)>{
        declared::Equation{C::equations[E].kind, C::equations[E].differential}...};
  }
  (std::make_index_sequence<C::equations.size()>{});
  declared::Component d;
  d.name = deliverable;
  for (std::size_t i = 0; i < C::inputs.size(); ++i) d.inputs.emplace_back(C::inputs[i]);
  for (std::size_t i = 0; i < params<C>().size(); ++i) d.params.emplace_back(params<C>()[i]);
  d.equations.assign(equations.begin(), equations.end());
  if constexpr (Switching<C>) {
    d.n_zc = C::n_zc;
    d.n_modes = C::n_modes;
  }
  declared::library().push_back(std::move(d));
  return true;
}

}  // namespace penstock::frame

#define PENSTOCK_PLUGIN(Component) \
  [[maybe_unused]] static const bool penstock_declared = penstock::frame::declare<Component>(PENSTOCK_DECLARATIONS);
#endif
