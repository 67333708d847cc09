// SPDX-License-Identifier: BSD-3-Clause
// What every plug-in owes the host, checked over the whole library and the host's built-ins: the
// group its component declares, the exact sequence of engine calls, setup and cleanup, and the
// buffers of every registered method.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "declared_rows.hpp"
#include "harness.hpp"
#include "penstock/foundation_util_testing.h"

namespace penstock::testing {
namespace {

// A deliverable whose source declares nothing (no PENSTOCK_PLUGIN) would have no row.
TEST(Declarations, CoverEveryDeliverableOnce) {
  std::vector<std::string> deliverables;
  std::stringstream list(PENSTOCK_DELIVERABLES);
  for (std::string name; std::getline(list, name, ',');) deliverables.push_back(name);
  ASSERT_FALSE(deliverables.empty());
  const std::vector<declared::Component> all = declarations();
  for (const std::string& name : deliverables) {
    EXPECT_EQ(std::count_if(all.begin(), all.end(), [&](const auto& d) { return d.name == name; }), 1) << name;
  }
}

class Contract : public ::testing::TestWithParam<declared::Component> {
 protected:
  void SetUp() override {
    PENSTOCK_REQUIRE_PLUGIN(GetParam().name);
    names_ = GetParam().params;
    engine::ParameterTable values;
    for (const auto& n : names_) values[n] = std::uniform_real_distribution<double>(0.5, 2.0)(rng_);
    h_ = std::make_unique<Harness>(GetParam().name, values);
  }

  std::vector<double> random_inputs() {
    std::vector<double> x(h_->n_inputs());
    for (double& v : x) v = std::uniform_real_distribution<double>(-2.0, 2.0)(rng_);
    return x;
  }
  std::vector<int32_t> flags_at(const std::vector<double>& x) {
    return h_->group().n_modes > 0 ? h_->modes(x) : std::vector<int32_t>{};
  }

  std::mt19937_64 rng_{20261208};
  std::unique_ptr<Harness> h_;
  std::vector<std::string> names_;
};

// The group the plug-in hands the engine is the one its component declares, name for name.
TEST_P(Contract, DeclaresItsGroup) {
  const declared::Component& d = GetParam();
  const engine::GroupDecl& g = h_->group();
  std::vector<std::string> inputs{"time"};
  inputs.insert(inputs.end(), d.inputs.begin(), d.inputs.end());
  EXPECT_EQ(g.inputs, inputs);
  ASSERT_EQ(g.equations.size(), d.equations.size());
  for (size_t e = 0; e < d.equations.size(); ++e) {
    EXPECT_EQ(g.equations[e].kind(), d.equations[e].kind) << "equation " << e;
    if (is_differential(d.equations[e].kind)) {
      EXPECT_EQ(g.equations[e].differential, d.equations[e].differential) << "equation " << e;
    }
  }
  EXPECT_EQ(g.n_zc, d.n_zc);
  EXPECT_EQ(g.n_modes, d.n_modes);
  EXPECT_EQ(h_->plugin().parameter_names(), d.params);
}

// The engine calls in exactly the order the frame prescribes.
TEST_P(Contract, CallsTheEngineInOrder) {
  const declared::Component& d = GetParam();
  const engine::GroupDecl& g = h_->group();
  std::vector<std::string> want = {"ne_builder_add_group", "ne_builder_get_time", "ne_eqn_group_add_input(time)"};
  for (size_t i = 1; i < g.inputs.size(); ++i) {
    want.push_back("ne_builder_get_element_variable(" + g.inputs[i] + ", 0)");
    want.push_back("ne_eqn_group_add_input(" + g.inputs[i] + ")");
  }
  for (size_t e = 0; e < d.equations.size(); ++e) {
    const std::string eq = "e" + std::to_string(e);
    want.push_back("ne_eqn_group_add_equation -> " + eq);
    const Kind k = d.equations[e].kind;
    if (is_differential(k)) {
      want.push_back("ne_eqn_set_differential(" + eq + ", " + std::to_string(d.equations[e].differential) + ")");
    }
    if (is_linear(k)) want.push_back("ne_eqn_set_param_method(" + eq + ", 0)");
    for (int32_t s = 0; s < kSlotCount; ++s) {
      if ((slot_bits(k) >> s & 1U) != 0) want.push_back("ne_eqn_set_method(" + eq + ", " + std::to_string(s) + ")");
    }
  }
  if (d.n_zc > 0) {
    want.push_back("ne_eqn_group_set_method_size(0, " + std::to_string(d.n_zc) + ")");
    want.push_back("ne_eqn_group_set_method(0)");
    want.push_back("ne_eqn_group_set_method_size(1, " + std::to_string(d.n_modes) + ")");
    want.push_back("ne_eqn_group_set_method(1)");
  }
  want.emplace_back("ne_eqn_group_set_setup_cleanup_fcn");
  EXPECT_EQ(g.calls, want);
}

TEST_P(Contract, SetupCopiesEachParameterToItsIndex) {
  engine::ParameterTable numbered;
  for (size_t i = 0; i < names_.size(); ++i) numbered[names_[i]] = static_cast<double>(i + 1);
  h_->set_parameters(numbered);
  for (size_t i = 0; i < names_.size(); ++i) EXPECT_EQ(h_->block()[i], static_cast<double>(i + 1)) << names_[i];

  h_->set_parameters({});  // nothing supplied: every entry 0.0
  for (size_t i = 0; i < names_.size(); ++i) EXPECT_EQ(h_->block()[i], 0.0) << names_[i];
}

TEST_P(Contract, CleanupFreesTheBlockAndFailedSetupWritesNothing) {
  const int64_t before = pmf_testing_live_blocks();
  {
    const engine::Instance extra(h_->group(), {});
    EXPECT_EQ(pmf_testing_live_blocks(), before + 1);
  }
  EXPECT_EQ(pmf_testing_live_blocks(), before);

  pmf_testing_fail_next_callocs(1);
  const engine::ParameterTable one =
      names_.empty() ? engine::ParameterTable{} : engine::ParameterTable{{names_.front(), 1.0}};
  EXPECT_THROW(engine::Instance(h_->group(), one), engine::PluginError);
  pmf_testing_fail_next_callocs(0);
  EXPECT_EQ(pmf_testing_live_blocks(), before);
}

// Every registered method writes every entry of a poisoned buffer; the fixed slots hold their
// fixed values; Jacobian entries lie inside the pattern; Mass sits at the differential input only.
TEST_P(Contract, WritesEveryEntryOfEveryBuffer) {
  const engine::GroupDecl& g = h_->group();
  const size_t n = h_->n_inputs();
  constexpr unsigned char kPoison = 0xA5;
  for (int trial = 0; trial < 20; ++trial) {
    const std::vector<double> x = random_inputs();
    std::vector<int32_t> m = flags_at(x);
    for (size_t e = 0; e < g.equations.size(); ++e) {
      const engine::EquationDecl& eq = g.equations[e];
      const EvalContext ctx{x.data(), m.empty() ? nullptr : m.data(), nullptr, h_->block()};
      for (int32_t s = 0; s < kSlotCount; ++s) {
        if (!eq.has(s)) continue;
        std::vector<unsigned char> buf(n * sizeof(double), kPoison);
        eq.methods[static_cast<size_t>(s)](&ctx, buf.data());
        const bool bytes = s == kMassPattern || s == kResidualPattern || s == kResidualNonlinear || s == kMassNonlinear;
        const size_t count = (s == kResidual || s == kResidualNonlinear || s == kMassNonlinear) ? 1 : n;
        for (size_t i = 0; i < count; ++i) {
          if (bytes) {
            EXPECT_LE(buf[i], 1) << "e" << e << " " << slot_name(s) << " entry " << i;
          } else {
            uint64_t bits = 0;
            std::memcpy(&bits, buf.data() + 8 * i, 8);
            EXPECT_NE(bits, 0xA5A5A5A5A5A5A5A5ULL) << "e" << e << " " << slot_name(s) << " entry " << i;
          }
        }
        if (s == kMassPattern || s == kMassJacobian) {
          EXPECT_TRUE(std::all_of(buf.begin(), buf.begin() + static_cast<long>(count * (bytes ? 1 : 8)),
                                  [](unsigned char c) { return c == 0; }))
              << "e" << e << " " << slot_name(s);
        }
        if (s == kResidualNonlinear) {
          EXPECT_EQ(buf[0], 1);
        }
        if (s == kMassNonlinear) {
          EXPECT_EQ(buf[0], 0);
        }
      }
      if (eq.has(kResidualJacobian)) {
        const std::vector<uint8_t> pattern = h_->pattern(e);
        const std::vector<double> jac = h_->jacobian(e, x, m);
        EXPECT_EQ(pattern[0], 0) << "time enters no residual";
        for (size_t i = 0; i < n; ++i) {
          if (pattern[i] == 0) {
            EXPECT_EQ(jac[i], 0.0) << "e" << e << " input " << g.inputs[i];
          }
        }
      }
      if (eq.has(kMass)) {
        const std::vector<double> row = h_->mass(e, x, m);
        for (size_t i = 0; i < n; ++i) {
          if (static_cast<int32_t>(i) != eq.differential) {
            EXPECT_EQ(row[i], 0.0) << "e" << e << " input " << i;
          }
        }
      }
      if (eq.linear_row != nullptr) {
        std::vector<unsigned char> buf(n * sizeof(double), kPoison);
        eq.linear_row(h_->block(), reinterpret_cast<double*>(buf.data()));
        for (size_t i = 0; i < n; ++i) {
          uint64_t bits = 0;
          std::memcpy(&bits, buf.data() + 8 * i, 8);
          EXPECT_NE(bits, 0xA5A5A5A5A5A5A5A5ULL) << "e" << e << " LinearRow entry " << i;
        }
      }
    }
  }
}

// Mass depends on parameters and flags only; nothing depends on the time.
TEST_P(Contract, MassIgnoresInputsAndNothingReadsTime) {
  const engine::GroupDecl& g = h_->group();
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<double> x = random_inputs();
    const std::vector<int32_t> m = flags_at(x);
    std::vector<double> later = x;
    later[0] += 1234.5;
    const std::vector<double> other = random_inputs();
    for (size_t e = 0; e < g.equations.size(); ++e) {
      if (g.equations[e].has(kMass)) {
        EXPECT_EQ(h_->mass(e, x, m), h_->mass(e, other, m));
      }
      if (g.equations[e].has(kResidual)) {
        const double r0 = h_->residual(e, x, m);
        const double r1 = h_->residual(e, later, m);
        EXPECT_TRUE(r0 == r1 || (std::isnan(r0) && std::isnan(r1)));
      }
    }
    if (g.n_modes > 0) {
      EXPECT_EQ(h_->modes(x, m), h_->modes(later, m));
      const auto z0 = h_->zero_crossings(x, m);
      const auto z1 = h_->zero_crossings(later, m);
      EXPECT_EQ(std::memcmp(z0.data(), z1.data(), z0.size() * sizeof(double)), 0);
      for (int32_t flag : h_->modes(x, m)) EXPECT_TRUE(flag == 0 || flag == 1);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Library, Contract, ::testing::ValuesIn(declarations()), name_of);

}  // namespace
}  // namespace penstock::testing
