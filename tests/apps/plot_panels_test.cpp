// SPDX-License-Identifier: BSD-3-Clause
// The panels of penstock plot, chosen by what each column measures: the kinds of a loaded model,
// or those the catalogue's descriptions give. Nothing here needs gnuplot.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "../model/model_support.hpp"
#include "plot.hpp"

namespace penstock::testing {
namespace {

using app::quantity_of;

// "panel [unit]", with " steps" for a state.
std::string panel(const std::string& column, const app::VariableKinds& kinds) {
  const app::Quantity q = quantity_of(column, kinds);
  return q.name + " [" + q.unit + "]" + (q.state ? " steps" : "");
}

TEST(PlotPanels, TheModelsKindsChooseThePanels) {
  PENSTOCK_REQUIRE_COMPONENTS("Pipe", "Tank", "Reservoir", "GridMachine", "Inertia", "Manometer", "LineSegment");
  const sim::Model m = sim::load_model(data_file("everything.yaml"), catalogue());
  const app::VariableKinds kinds = app::kinds_of(*m.system);
  EXPECT_EQ(panel("lake.A.p", kinds), "pressure [Pa]");  // a node
  EXPECT_EQ(panel("shaft.w", kinds), "speed [rad/s]");   // a rotational node
  EXPECT_EQ(panel("pipe[2].p_cd", kinds), "pressure [Pa]");
  EXPECT_EQ(panel("pipe[1].q_ac", kinds), "flow [m³/s]");
  EXPECT_EQ(panel("gauge.P", kinds), "pressure [Pa]");
  EXPECT_EQ(panel("tank.z", kinds), "level [m]");
  EXPECT_EQ(panel("reservoir.V", kinds), "volume [m³]");
  EXPECT_EQ(panel("reservoir.Qin", kinds), "flow [m³/s]");
  EXPECT_EQ(panel("rotor.w", kinds), "speed [rad/s]");
  EXPECT_EQ(panel("machine.t", kinds), "torque [N m]");
  EXPECT_EQ(panel("machine.ochrana", kinds), "state [0 off, 1 on] steps");
  EXPECT_EQ(panel("alternator.on_grid", kinds), "state [0 off, 1 on] steps");
  // LineSegment's p is tied to no port and given no kind: a ratio, in a panel of its own.
  EXPECT_EQ(panel("sink.p", kinds), "p []");
  EXPECT_EQ(panel("nowhere.xyz", kinds), "xyz []");
}

TEST(PlotPanels, TheCatalogueChoosesThePanelsByTheLastPart) {
  PENSTOCK_REQUIRE_COMPONENTS("Pipe", "Tank", "GridMachine", "Inertia", "LineSegment", "valve");
  const app::VariableKinds kinds = app::kinds_of(catalogue());
  EXPECT_EQ(panel("line[42].B.p", kinds), "pressure [Pa]");
  EXPECT_EQ(panel("shaft.w", kinds), "speed [rad/s]");
  EXPECT_EQ(panel("line[3].q_cb", kinds), "flow [m³/s]");
  EXPECT_EQ(panel("basin.z", kinds), "level [m]");
  EXPECT_EQ(panel("basin.V", kinds), "volume [m³]");
  EXPECT_EQ(panel("unit.t", kinds), "torque [N m]");
  EXPECT_EQ(panel("unit.control", kinds), "state [0 off, 1 on] steps");
  // Every other description makes p a pressure; LineSegment's ratio yields to them.
  EXPECT_EQ(panel("segment.p", kinds), "pressure [Pa]");
  EXPECT_EQ(panel("gate.ksi", kinds), "ksi []");  // a signal
  EXPECT_EQ(panel("gate.xyz", kinds), "xyz []");
  // Nodes along a WavePipe measure what their quantity measures.
  EXPECT_EQ(panel("penstock.p[10]", kinds), "pressure [Pa]");
  EXPECT_EQ(panel("penstock.q[0]", kinds), "flow [m³/s]");
  EXPECT_EQ(panel("penstock.qA", kinds), "flow [m³/s]");
}

TEST(PlotPanels, ANameTheDescriptionsDisagreeOnHasAPanelOfItsOwn) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "penstock_plot_panels";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  auto component = [&dir](const std::string& name, const std::string& body) {
    std::ofstream(dir / (name + ".yaml")) << "component: " << name << "\n" << body;
    std::ofstream(dir / (name + ".so")) << "";  // descriptions are read without loading their plug-ins
  };
  component("Sluice", "ports: {A: hydraulic}\nbranches: {x: A -> ref}\nvariables: {y: level}\n");
  component("Brake", "ports: {G: rotational}\nbranches: {x: G -> ref}\noutputs: [y]\n");
  const app::VariableKinds kinds = app::kinds_of(sim::Catalogue({dir}));
  EXPECT_EQ(panel("c.x", kinds), "x []");       // a flow in one, a torque in the other
  EXPECT_EQ(panel("c.y", kinds), "level [m]");  // a level, and a ratio where nothing is said
  EXPECT_EQ(panel("c.G.w", kinds), "speed [rad/s]");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace penstock::testing
