// SPDX-License-Identifier: BSD-3-Clause
// Powers have a panel of their own, in W, kW or MW by the largest value drawn: the shaft power of a
// turbine and the power an electrical load draws, as the model's kinds and the descriptions say.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "../model/model_support.hpp"
#include "plot.hpp"

namespace penstock::testing {
namespace {

namespace fs = std::filesystem;

bool has(const std::string& script, const std::string& text) { return script.find(text) != std::string::npos; }

fs::path results_file(const std::string& text) {
  const fs::path dir =
      fs::temp_directory_path() /
      ("penstock_power_panel_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::ofstream(dir / "r.csv") << text;
  return dir / "r.csv";
}

TEST(PowerPanel, LargePowersAreDrawnInKilowattsOrMegawatts) {
  app::PlotRequest r;
  r.kinds = {{"P", "power"}, {"t", "torque"}};
  r.results = {results_file("time,unit.P,unit.t\n0,0,0\n1,8.8e6,1.6e5\n2,9.1e6,1.7e5\n")};
  std::string s = app::results_script(r, "out.png");
  EXPECT_TRUE(has(s, "set ylabel 'power [kW]'\n")) << s;
  EXPECT_TRUE(has(s, "using 1:(column(2)/1000) with lines title 'unit.P'")) << s;
  EXPECT_TRUE(has(s, "set ylabel 'torque [kN m]'\n")) << s;

  r.results = {results_file("time,unit.P\n0,0\n1,2.5e7\n")};
  r.marks = {app::parse_mark("unit.P=20 MW")};
  s = app::results_script(r, "out.png");
  EXPECT_TRUE(has(s, "set ylabel 'power [MW]'\n")) << s;
  EXPECT_TRUE(has(s, "20 with lines")) << s;  // the mark in the panel's unit

  r.results = {results_file("time,grid.P\n0,0\n1,500\n")};
  r.marks = {};
  s = app::results_script(r, "out.png");
  EXPECT_TRUE(has(s, "set ylabel 'power [W]'\n")) << s;
  fs::remove_all(r.results.front().parent_path());
}

TEST(PowerPanel, TheTurbinesShaftPowerIsAPowerAndItsHeadALevel) {
  PENSTOCK_REQUIRE_COMPONENTS("HydroTurbine", "ElectricalLoad", "Inertia", "PressureSource");
  const sim::Model m = load_text(R"(
fluid: {density: 1000 kg/m3}
components:
  head: {type: PressureSource}
  unit: {type: HydroTurbine, parameters: {Hr: 100 m, Qr: 10 m3/s, wr: 500 rpm}}
  rotor: {type: Inertia, parameters: {J: 5000 kg m2, w0: 500 rpm}}
  grid: {type: ElectricalLoad}
connections:
  - [head.B, ref]
  - [head.A, unit.A]
  - [unit.B, ref]
  - {node: shaft, ports: [unit.S, rotor.A, grid.S], start: 500 rpm}
signals:
  head.p_set: 9.81 bar
  unit.u: 1
  unit.eta: 0.9
  grid.P: 5 MW
run: {stop: 1 s, output: 0.5 s, tolerances: {power: 10 W}}
)");
  const app::VariableKinds kinds = app::kinds_of(*m.system);
  const app::Quantity power = app::quantity_of("unit.P", kinds);
  EXPECT_EQ(power.name, "power");
  EXPECT_EQ(power.unit, "W");
  EXPECT_EQ(app::quantity_of("unit.H", kinds).name, "level");
  EXPECT_EQ(app::quantity_of("unit.t", kinds).name, "torque");
}

}  // namespace
}  // namespace penstock::testing
