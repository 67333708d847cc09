// SPDX-License-Identifier: BSD-3-Clause
// The engine's checks of a declared group, and the frame's declaration of every equation kind.
#include "penstock/engine.hpp"

#include <gtest/gtest.h>
#include <link.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "harness.hpp"
#include "penstock/frame.hpp"

namespace penstock {
namespace {

using engine::declare;

bool mentions(const engine::GroupDecl& g, const std::string& words) {
  return std::any_of(g.problems.begin(), g.problems.end(),
                     [&](const std::string& p) { return p.find(words) != std::string::npos; });
}

void noop(const EvalContext* /*ctx*/, void* /*out*/) {}
double* no_setup(const NeParameterSource* /*source*/) { return nullptr; }
void no_cleanup(double* /*block*/) {}

NeEqnGroup* uses_slot_five(NeBuilder* b) {
  NeEqnGroup* g = ne_builder_add_group(b);
  ne_eqn_group_add_input(g, ne_builder_get_time(b));
  NeEquation* e = ne_eqn_group_add_equation(g);
  ne_eqn_set_method(e, 5, noop);
  ne_eqn_group_set_setup_cleanup_fcn(g, no_setup, no_cleanup);
  return g;
}

NeEqnGroup* method_before_size(NeBuilder* b) {
  NeEqnGroup* g = ne_builder_add_group(b);
  ne_eqn_group_add_input(g, ne_builder_get_time(b));
  NeEquation* e = ne_eqn_group_add_equation(g);
  ne_eqn_set_param_method(e, 0, [](const double*, double*) {});
  ne_eqn_group_set_method(g, 0, noop);
  ne_eqn_group_set_method_size(g, 0, 1);
  ne_eqn_group_set_setup_cleanup_fcn(g, no_setup, no_cleanup);
  return g;
}

NeEqnGroup* half_a_kind(NeBuilder* b) {
  NeEqnGroup* g = ne_builder_add_group(b);
  ne_eqn_group_add_input(g, ne_builder_get_time(b));
  ne_eqn_group_add_input(g, ne_builder_get_element_variable(b, "q", 0));
  NeEquation* e = ne_eqn_group_add_equation(g);
  ne_eqn_set_method(e, 3, noop);  // a residual without its pattern and Jacobian
  ne_eqn_set_differential(e, 7);
  return g;
}

NeEqnGroup* foreign_handles(NeBuilder* b) {
  static NeEqnGroup* stray = reinterpret_cast<NeEqnGroup*>(&stray);
  NeEqnGroup* g = ne_builder_add_group(b);
  ne_eqn_group_add_input(stray, ne_builder_get_time(b));
  ne_builder_add_group(b);
  return g;
}

TEST(Engine, ReportsAFaultyDeclarationInWords) {
  EXPECT_TRUE(mentions(declare(uses_slot_five), "slot 5 is never used"));
  EXPECT_TRUE(mentions(declare(method_before_size), "before setting its size"));
  EXPECT_TRUE(mentions(declare(method_before_size), "only one of ZeroCrossings and Modes"));
  const engine::GroupDecl half = declare(half_a_kind);
  EXPECT_TRUE(mentions(half, "none of the four equation kinds"));
  EXPECT_TRUE(mentions(half, "differential input 7"));
  EXPECT_TRUE(mentions(half, "no setup"));
  const engine::GroupDecl foreign = declare(foreign_handles);
  EXPECT_TRUE(mentions(foreign, "group handle that ne_builder_add_group did not return"));
  EXPECT_TRUE(mentions(foreign, "second group"));
}

TEST(Engine, RefusesAFileThatIsNoPlugin) {
  const auto junk = std::filesystem::temp_directory_path() / "penstock_not_a_plugin.so";
  std::ofstream(junk) << "not a shared library";
  try {
    engine::Plugin p(junk);
    FAIL() << "loaded a text file";
  } catch (const engine::PluginError& e) {
    EXPECT_NE(std::string(e.what()).find(junk.string()), std::string::npos);
  }
  std::filesystem::remove(junk);
  EXPECT_THROW(engine::Plugin(testing::plugin_path("NoSuchComponent")), engine::PluginError);
}

std::string bytes_of(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The message of the PluginError that loading the file throws, or "" when it loads.
std::string load_error(const std::filesystem::path& file) {
  try {
    engine::Plugin p(file);
  } catch (const engine::PluginError& e) {
    return e.what();
  }
  return "";
}

// dlopen maps a library's segments without looking at the file's size: a truncated plug-in would
// kill the host with SIGBUS. Its headers are checked first, and each fault is named.
TEST(Engine, RefusesATruncatedOrForgedLibraryBeforeLoadingIt) {
  PENSTOCK_REQUIRE_PLUGIN("Manometer");
  const std::string whole = bytes_of(testing::plugin_path("Manometer"));
  ASSERT_GT(whole.size(), 8000U);
  const auto dir = std::filesystem::temp_directory_path() / "penstock_forged_plugins";
  std::filesystem::create_directories(dir);
  auto forged = [&dir](const std::string& name, const std::string& bytes) {
    const auto file = dir / name;
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  };
  auto with_header = [&whole](auto edit) {
    std::string bytes = whole;
    ElfW(Ehdr) h;
    std::memcpy(&h, bytes.data(), sizeof h);
    edit(h);
    std::memcpy(bytes.data(), &h, sizeof h);
    return bytes;
  };
  const struct {
    std::string file;
    std::string bytes;
    std::string fault;
  } cases[] = {
      {"cut_in_its_segments.so", whole.substr(0, 5000),
       "lies beyond the end of the file (5000 bytes): is it truncated?"},
      {"cut_after_its_headers.so", whole.substr(0, 1000), "segment 0 (bytes 0 to "},
      {"cut_at_the_end.so", whole.substr(0, whole.size() - 8), "section headers lie beyond the end"},
      {"cut_in_its_header.so", whole.substr(0, 40), "too short to be a shared library (40 bytes)"},
      {"empty.so", "", "too short"},
      {"headers_far_away.so", with_header([](auto& h) { h.e_phoff = ~decltype(h.e_phoff){0} - 8; }),
       "program headers lie beyond the end"},
      {"no_headers.so", with_header([](auto& h) { h.e_phnum = 0; }), "lists no program headers"},
      {"odd_header_size.so", with_header([](auto& h) { h.e_phentsize = 7; }), "sizes of headers"},
      {"program.so", with_header([](auto& h) { h.e_type = ET_EXEC; }), "not a shared library (ELF type 2)"},
      {"other_machine.so", with_header([](auto& h) { h.e_ident[EI_CLASS] = ELFCLASS32; }), "another kind of machine"},
      {"text.so", std::string(100, 'x'), "not an ELF file"},
  };
  for (const auto& c : cases) {
    const auto file = forged(c.file, c.bytes);
    const std::string error = load_error(file);
    EXPECT_NE(error.find(file.string() + ": cannot load plug-in: "), std::string::npos) << c.file << ": " << error;
    EXPECT_NE(error.find(c.fault), std::string::npos) << c.file << ": " << error;
  }
  EXPECT_NE(load_error(dir).find("not a regular file"), std::string::npos);
  EXPECT_EQ(engine::elf_fault(testing::plugin_path("Manometer")), "");
  std::filesystem::remove_all(dir);
}

// dlopen searches the library path for a name without a slash; the host loads the file named.
TEST(Engine, LoadsTheFileNamedNotALibraryOfThatName) {
  PENSTOCK_REQUIRE_PLUGIN("Manometer");
  const auto dir = std::filesystem::temp_directory_path() / "penstock_named_plugins";
  std::filesystem::create_directories(dir);
  // A plug-in under the name of a host library that is already loaded, and one under its own.
  std::filesystem::copy_file(testing::plugin_path("Manometer"), dir / "libfoundation_util.so",
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::copy_file(testing::plugin_path("Manometer"), dir / "Manometer.so",
                             std::filesystem::copy_options::overwrite_existing);
  const auto before = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  for (const char* name : {"libfoundation_util.so", "Manometer.so"}) {
    try {
      const engine::Plugin p{std::filesystem::path(name)};
      EXPECT_EQ(p.group().inputs.size(), 5U) << name;
      EXPECT_EQ(p.path(), name);
    } catch (const engine::PluginError& e) {
      ADD_FAILURE() << e.what();
    }
  }
  std::filesystem::current_path(before);
  std::filesystem::remove_all(dir);
}

// A component of every kind, declared through the frame.
struct EveryKind {
  PENSTOCK_INPUTS(u, v, w);
  PENSTOCK_PARAMETERS(C);

  static double capacity(const Ctx& c) { return c.par(C); }
  static double spring(const Ctx& c) { return c.x(u) * c.x(v) * c.sign(0); }
  static void spring_jacobian(const Ctx& c, Row j) {
    j[u] = c.x(v) * c.sign(0);
    j[v] = c.x(u) * c.sign(0);
  }
  static void link(Params /*par*/, Row row) { row[w] = 1; }

  static constexpr std::array equations{
      Equation{.kind = differential_nonlinear,
               .differential = u,
               .mass = capacity,
               .residual = spring,
               .depends = on(u, v),
               .jacobian = spring_jacobian},
      Equation{.kind = differential_linear, .differential = w, .mass = capacity, .linear_row = link},
      Equation{.kind = algebraic_nonlinear, .residual = spring, .depends = on(u, v), .jacobian = spring_jacobian},
      Equation{.kind = algebraic_linear, .linear_row = link},
  };

  static constexpr int n_zc = 1;
  static constexpr int n_modes = 2;
  static void zero_crossings(const Ctx& c, double* zc) { zc[0] = -c.x(u); }
  static void modes(const Ctx& c, int32_t* m) { sign_test(c.x(u), m); }
};

TEST(Frame, DeclaresEveryKindWithItsSlots) {
  const engine::GroupDecl g = declare(&frame::build_group<EveryKind>);
  ASSERT_TRUE(g.problems.empty()) << g.problems.front();
  ASSERT_EQ(g.equations.size(), 4U);
  EXPECT_EQ(g.equations[0].kind(), Kind::differential_nonlinear);
  EXPECT_EQ(g.equations[1].kind(), Kind::differential_linear);
  EXPECT_EQ(g.equations[2].kind(), Kind::algebraic_nonlinear);
  EXPECT_EQ(g.equations[3].kind(), Kind::algebraic_linear);
  EXPECT_EQ(g.equations[1].differential, 3);

  engine::Instance inst(g, {{"C", 2.5}});
  const double in[] = {0, -3, 2, 0};
  int32_t m[2] = {7, 7};
  inst.modes(in, m, m);
  EXPECT_EQ(m[0], 1);
  EXPECT_EQ(m[1], 0);
  double r = 0;
  inst.call(0, kResidual, in, m, &r);
  EXPECT_EQ(r, 6.0);  // (-3)·2·(0 - 1)
  double mass[4];
  inst.call(1, kMass, in, m, mass);
  EXPECT_EQ(std::vector<double>(mass, mass + 4), (std::vector<double>{0, 0, 0, 2.5}));
  uint8_t pattern[4];
  inst.call(2, kResidualPattern, in, m, pattern);
  EXPECT_EQ(std::vector<uint8_t>(pattern, pattern + 4), (std::vector<uint8_t>{0, 1, 1, 0}));
}

// The calls the host makes, each bound when the instance is made; a method the group does not
// register throws instead of being called.
TEST(Instance, MakesTheHostCallsAndRefusesAMissingMethod) {
  engine::GroupDecl g = declare(&frame::build_group<EveryKind>);
  ASSERT_TRUE(g.problems.empty()) << g.problems.front();
  engine::Instance inst(g, {{"C", 2.5}});
  const double in[] = {0, -3, 2, 5};
  int32_t m[2];
  inst.modes(in, m, m);  // u < 0: the sign is -1
  EXPECT_EQ(inst.mass(0, in, m), 2.5);
  EXPECT_EQ(inst.mass(1, in, m), 2.5);
  EXPECT_EQ(inst.residual(2, in, m), 6.0);
  double row[4] = {9, 9, 9, 9};
  inst.residual_jacobian(2, in, m, row);
  EXPECT_EQ(row[1], -2.0);  // x(v)·sign
  EXPECT_EQ(row[2], 3.0);   // x(u)·sign
  uint8_t pattern[4];
  inst.residual_pattern(0, in, m, pattern);
  EXPECT_EQ(std::vector<uint8_t>(pattern, pattern + 4), (std::vector<uint8_t>{0, 1, 1, 0}));
  inst.linear_row(3, row);
  EXPECT_EQ(row[3], 1.0);
  double zc = 0;
  inst.zero_crossings(in, m, &zc);
  EXPECT_EQ(zc, 3.0);

  EXPECT_THROW(inst.residual(3, in, m), std::logic_error);  // algebraic linear: LinearRow alone
  EXPECT_THROW(inst.mass(2, in, m), std::logic_error);      // algebraic: no derivative
  EXPECT_THROW(inst.linear_row(0, row), std::logic_error);
  EXPECT_THROW(inst.residual_jacobian(1, in, m, row), std::logic_error);
  g.zero_crossings = nullptr;
  g.modes = nullptr;
  engine::Instance smooth(g, {{"C", 1.0}});
  EXPECT_THROW(smooth.zero_crossings(in, m, &zc), std::logic_error);
  EXPECT_THROW(smooth.modes(in, m, m), std::logic_error);
}

TEST(Frame, SignTestGivesNoSignAtZeroAndNaN) {
  int32_t m[2];
  for (double v : {0.0, -0.0, std::nan("")}) {
    sign_test(v, m);
    EXPECT_EQ(m[0], 0);
    EXPECT_EQ(m[1], 0);
  }
  sign_test(-1e-300, m);
  EXPECT_EQ(m[0], 1);
  sign_test(1e-300, m);
  EXPECT_EQ(m[1], 1);
}

}  // namespace
}  // namespace penstock
