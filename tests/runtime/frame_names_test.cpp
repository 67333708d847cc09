// SPDX-License-Identifier: BSD-3-Clause
// The names a component declares once: the enumerators it computes with, and the strings the frame
// registers with the engine.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "penstock/frame.hpp"

namespace penstock {
namespace {

template <class List>
std::vector<std::string> strings(const List& list) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < list.size(); ++i) out.emplace_back(list[i]);
  return out;
}

void none(Params /*par*/, Row /*row*/) {}

// Every kind of name in the library.
struct Mixed {
  PENSTOCK_INPUTS(Qturb, A_p, G_w, q_ac, P, Kv, n_syn);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B), Din, Damp_limit, K, E, k, z_ini);
  static constexpr std::array equations{Equation{.kind = algebraic_linear, .linear_row = none}};
};

TEST(FrameNames, PortVariablesAreDottedAndEveryOtherNameStaysAsWritten) {
  EXPECT_EQ(strings(Mixed::inputs), (std::vector<std::string>{"Qturb", "A.p", "G.w", "q_ac", "P", "Kv", "n_syn"}));
  EXPECT_EQ(strings(Mixed::params), (std::vector<std::string>{"A.density", "A.viscosity_kin", "A.bulk", "A.alpha",
                                                              "B.density", "B.viscosity_kin", "B.bulk", "B.alpha",
                                                              "Din", "Damp_limit", "K", "E", "k", "z_ini"}));
  EXPECT_TRUE(frame::well_formed<Mixed>());
}

TEST(FrameNames, EnumeratorsAreTheIndicesTheNamesAreRegisteredAt) {
  EXPECT_EQ(frame::n_inputs<Mixed>, 8);
  EXPECT_EQ(Mixed::time, 0);
  EXPECT_EQ(std::string(Mixed::inputs[Mixed::G_w - 1]), "G.w");
  EXPECT_EQ(std::string(Mixed::inputs[Mixed::n_syn - 1]), "n_syn");
  EXPECT_EQ(Mixed::A_density, 0);
  EXPECT_EQ(Mixed::B_density, 4);
  EXPECT_EQ(Mixed::B_alpha, 7);
  EXPECT_EQ(Mixed::Din, 8);
  EXPECT_EQ(std::string(Mixed::params[Mixed::k]), "k");
  EXPECT_EQ(std::string(Mixed::params[Mixed::z_ini]), "z_ini");
}

// The engine keeps the pointers it is handed: each name lives as long as the program, in one place.
TEST(FrameNames, NamesAreStaticNulTerminatedStrings) {
  for (std::size_t i = 0; i < Mixed::params.size(); ++i) {
    const char* name = Mixed::params[i];
    EXPECT_EQ(name, Mixed::params[i]);
    EXPECT_EQ(std::strlen(name), std::string(name).size());
    EXPECT_TRUE(name >= reinterpret_cast<const char*>(&Mixed::params) &&
                name < reinterpret_cast<const char*>(&Mixed::params) + sizeof(Mixed::params));
  }
}

struct FluidOnly {
  PENSTOCK_INPUTS(A_p, B_p, C_p, D_p, q);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A, B, C, D));
  static constexpr std::array equations{Equation{.kind = algebraic_linear, .linear_row = none}};
};

struct NoParameters {
  PENSTOCK_INPUTS(t_set, A_w, t);
  static constexpr std::array equations{Equation{.kind = algebraic_linear, .linear_row = none}};
};

TEST(FrameNames, FluidOnlyAndNoParameters) {
  EXPECT_EQ(frame::params<FluidOnly>().size(), 16U);
  EXPECT_EQ(std::string(frame::params<FluidOnly>()[FluidOnly::D_alpha]), "D.alpha");
  EXPECT_EQ(frame::params<NoParameters>().size(), 0U);
  EXPECT_EQ(strings(NoParameters::inputs), (std::vector<std::string>{"t_set", "A.w", "t"}));
  EXPECT_TRUE(frame::well_formed<FluidOnly>());
  EXPECT_TRUE(frame::well_formed<NoParameters>());
}

// A fluid block out of its place would hand B's density to the slot the host fills with A's.
struct FluidOfBAlone {
  PENSTOCK_INPUTS(A_p, B_p, q);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(B), Din);
  static constexpr std::array equations{Equation{.kind = algebraic_linear, .linear_row = none}};
};

struct FluidAfterOwn {
  PENSTOCK_INPUTS(A_p, q);
  PENSTOCK_PARAMETERS(Din, PENSTOCK_FLUID(A));
  static constexpr std::array equations{Equation{.kind = algebraic_linear, .linear_row = none}};
};

// An own name spelled like a port variable is registered dotted, and the host would not find it.
struct OwnParameterLikeAPortVariable {
  PENSTOCK_INPUTS(A_p, q);
  PENSTOCK_PARAMETERS(PENSTOCK_FLUID(A), K_s);
  static constexpr std::array equations{Equation{.kind = algebraic_linear, .linear_row = none}};
};

struct InputLikeAPortVariable {
  PENSTOCK_INPUTS(A_p, Q_in, q);
  static constexpr std::array equations{Equation{.kind = algebraic_linear, .linear_row = none}};
};

TEST(FrameNames, WellFormedRefusesNamesTheHostWouldMisread) {
  EXPECT_EQ(std::string(FluidOfBAlone::params[0]), "B.density");
  EXPECT_FALSE(frame::well_formed<FluidOfBAlone>());
  EXPECT_FALSE(frame::well_formed<FluidAfterOwn>());
  EXPECT_EQ(std::string(OwnParameterLikeAPortVariable::params[4]), "K.s");
  EXPECT_FALSE(frame::well_formed<OwnParameterLikeAPortVariable>());
  EXPECT_EQ(std::string(InputLikeAPortVariable::inputs[1]), "Q.in");
  EXPECT_FALSE(frame::well_formed<InputLikeAPortVariable>());
}

}  // namespace
}  // namespace penstock
