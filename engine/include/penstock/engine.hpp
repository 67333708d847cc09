// SPDX-License-Identifier: BSD-3-Clause
// The host side of the plug-in interface: load a plug-in, build and check the group it declares,
// set up its parameter block and call any of its methods.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "penstock/ne_mli.h"
#include "penstock/slots.hpp"

namespace penstock::engine {

class PluginError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One equation as the plug-in declared it.
struct EquationDecl {
  int32_t differential = -1;  // input index, or -1 for an algebraic equation
  std::array<NeEquationMethod, kSlotCount> methods{};
  NeParamMethod linear_row = nullptr;

  bool has(int32_t slot) const { return methods[static_cast<size_t>(slot)] != nullptr; }
  // The kind that the registered slots make up, or none when they make up no kind.
  std::optional<Kind> kind() const;
};

// The group a plug-in declared, with every engine call it made, in order.
struct GroupDecl {
  std::vector<std::string> inputs;  // "time" at index 0, then the element variables
  std::vector<EquationDecl> equations;
  int32_t n_zc = 0;
  int32_t n_modes = 0;
  NeGroupMethod zero_crossings = nullptr;
  NeGroupMethod modes = nullptr;
  NeSetupFcn setup = nullptr;
  NeCleanupFcn cleanup = nullptr;
  std::vector<std::string> calls;     // e.g. "ne_eqn_set_method(e0, 3)"
  std::vector<std::string> problems;  // breaches of the frame's rules, in words

  int32_t n_inputs() const { return static_cast<int32_t>(inputs.size()); }
};

// Runs a plug-in's builder against a recording engine. Never throws for a faulty plug-in: what is
// wrong ends up in problems.
GroupDecl declare(NeBuildFcn builder);

// Parameter values by name, as the engine hands them to setup.
using ParameterTable = std::map<std::string, double>;

// What keeps the file from being a shared library that this host can map safely: not a regular
// file, not ELF of the host's kind, not a shared library, or a header, table or segment that does
// not lie inside the file (a truncated file). "" when nothing does.
std::string elf_fault(const std::filesystem::path& file);

// A loaded plug-in with its declared group. The path names a file, never a library to search for:
// a relative path is taken from the current folder. Throws PluginError, naming the file, when its
// ELF headers are faulty (see elf_fault), the library cannot be loaded, has no mexFunction,
// registers no builder or declares a faulty group.
class Plugin {
 public:
  explicit Plugin(const std::filesystem::path& path);
  ~Plugin();
  Plugin(Plugin&& other) noexcept;
  Plugin& operator=(Plugin&&) = delete;
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string name() const { return path_.stem().string(); }
  NeBuildFcn builder() const { return builder_; }
  const GroupDecl& group() const { return group_; }

  // The names setup asks for, in its order, learnt by running it against a recording source.
  std::vector<std::string> parameter_names() const;

 private:
  std::filesystem::path path_;
  void* handle_ = nullptr;
  NeBuildFcn builder_ = nullptr;
  GroupDecl group_;
};

// One group with its parameter block: setup on construction, cleanup on destruction.
//
// The calls the host makes go through the instance. Every method a call may reach is bound when
// the instance is made; a method the group does not register is bound to one that throws
// std::logic_error naming it, so each call is one indirect call. The instance keeps a scratch
// row: it is not for use from two threads at once.
class Instance {
 public:
  Instance(const GroupDecl& group, const ParameterTable& parameters);
  ~Instance();
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  const GroupDecl& group() const { return *group_; }
  const double* block() const { return block_; }

  // Context for the equation and group methods over the given inputs and flags.
  EvalContext context(const double* inputs, const int32_t* modes) const {
    return EvalContext{inputs, modes, nullptr, block_};
  }
  // Any registered equation method by its slot, into out.
  void call(size_t equation, int32_t slot, const double* inputs, const int32_t* modes, void* out) const;

  // The host's calls; equation < group().equations.size().
  // Mass at the equation's differential input: the coefficient of that input's time derivative.
  double mass(size_t equation, const double* inputs, const int32_t* modes) const {
    const Methods& m = methods_[equation];
    const EvalContext ctx = context(inputs, modes);
    m.mass(&ctx, row_.data());
    return row_[m.differential];
  }
  double residual(size_t equation, const double* inputs, const int32_t* modes) const {
    double r = 0.0;
    const EvalContext ctx = context(inputs, modes);
    methods_[equation].residual(&ctx, &r);
    return r;
  }
  // n_inputs bytes: 1 where the residual depends on the input.
  void residual_pattern(size_t equation, const double* inputs, const int32_t* modes, uint8_t* out) const {
    const EvalContext ctx = context(inputs, modes);
    methods_[equation].residual_pattern(&ctx, out);
  }
  // n_inputs doubles: d residual / d input, the flags held fixed.
  void residual_jacobian(size_t equation, const double* inputs, const int32_t* modes, double* out) const {
    const EvalContext ctx = context(inputs, modes);
    methods_[equation].residual_jacobian(&ctx, out);
  }
  // n_inputs doubles: the coefficients of the inputs in a linear equation.
  void linear_row(size_t equation, double* out) const { methods_[equation].linear_row(block_, out); }
  // n_zc doubles.
  void zero_crossings(const double* inputs, const int32_t* modes, double* out) const {
    const EvalContext ctx = context(inputs, modes);
    zero_crossings_(&ctx, out);
  }
  // n_modes flags, renewed from the inputs and the present flags.
  void modes(const double* inputs, const int32_t* modes, int32_t* out) const {
    const EvalContext ctx = context(inputs, modes);
    modes_(&ctx, out);
  }

 private:
  // The methods of one equation that the host calls, each bound.
  struct Methods {
    NeEquationMethod mass;
    NeEquationMethod residual;
    NeEquationMethod residual_pattern;
    NeEquationMethod residual_jacobian;
    NeParamMethod linear_row;
    size_t differential;  // the input whose Mass entry mass() returns
  };

  const GroupDecl* group_;
  double* block_ = nullptr;
  std::vector<Methods> methods_;
  NeGroupMethod zero_crossings_ = nullptr;
  NeGroupMethod modes_ = nullptr;
  mutable std::vector<double> row_;  // the Mass row
};

}  // namespace penstock::engine
