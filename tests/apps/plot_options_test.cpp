// SPDX-License-Identifier: BSD-3-Clause
// penstock plot's options and the gnuplot script of results: ranges, marks in the unit of their
// panel, the pressure unit, the title of a model, the legend, many curves, constant columns. The
// last test runs gnuplot, and is skipped where it is not installed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "plot.hpp"

namespace penstock::testing {
namespace {

namespace fs = std::filesystem;

class PlotOptions : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("penstock_plot_options_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path write(const std::string& name, const std::string& text) const {
    fs::path file = dir_ / name;
    std::ofstream(file, std::ios::binary) << text;
    return file;
  }

  // A results file: gate.p rises from 10 bar to 20 bar over 2 s, valve.q falls, lake.p stays.
  fs::path results() const {
    return write("r.csv", "time,gate.p,valve.q,lake.p\n0,1e6,0.2,5e5\n1,1.5e6,0.1,5e5\n2,2e6,0,5e5\n3,2e6,0,5e5\n");
  }

  app::PlotRequest request() const {
    app::PlotRequest r;
    r.results = {results()};
    r.kinds = {{"p", "pressure"}, {"q", "flow"}};
    return r;
  }

  fs::path dir_;
};

bool has(const std::string& script, const std::string& text) { return script.find(text) != std::string::npos; }

// What a parser throws, or "" when it reads the text.
template <typename Parse>
std::string rejection(Parse parse, const std::string& text) {
  try {
    parse(text);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

TEST(PlotParse, RangesAreLowColonHighWithEitherSideLeftOut) {
  app::PlotRange r = app::parse_range("0:30");
  EXPECT_EQ(r.low, 0.0);
  EXPECT_EQ(r.high, 30.0);
  r = app::parse_range("1.5:");
  EXPECT_EQ(r.low, 1.5);
  EXPECT_FALSE(r.high);
  r = app::parse_range("*:-2e5");
  EXPECT_FALSE(r.low);
  EXPECT_EQ(r.high, -2e5);
  const auto [panel, range] = app::parse_panel_range("pressure=0:20");
  EXPECT_EQ(panel, "pressure");
  EXPECT_EQ(range.high, 20.0);
  EXPECT_EQ(app::parse_panel_range("-1:1").first, "");

  const std::string shape = "a range is low:high (either side may be left out or '*', as in 0:30 or 10:), not ";
  EXPECT_EQ(rejection(app::parse_range, "0-30"), shape + "'0-30'");
  EXPECT_EQ(rejection(app::parse_range, "0:abc"), shape + "'0:abc'");
  EXPECT_EQ(rejection(app::parse_range, "1:2:3"), shape + "'1:2:3'");
  EXPECT_EQ(rejection(app::parse_range, "results.csv"), shape + "'results.csv'");
  EXPECT_EQ(rejection(app::parse_range, "30:0"), "the range '30:0' is empty: its high end is not above its low end");
  EXPECT_EQ(rejection(app::parse_panel_range, "=0:1"), "a y range is low:high or panel=low:high, not '=0:1'");
}

TEST(PlotParse, MarksKeepTheirUnitAndLabel) {
  app::PlotMark m = app::parse_mark("gate.p=12");
  EXPECT_EQ(m.column, "gate.p");
  EXPECT_EQ(m.value, 12.0);
  EXPECT_EQ(m.unit, "");
  m = app::parse_mark("gate.p=12bar");
  EXPECT_EQ(m.value, 12.0);
  EXPECT_EQ(m.unit, "bar");
  m = app::parse_mark("gate.p=1.2 MPa:design limit");
  EXPECT_EQ(m.value, 1.2);
  EXPECT_EQ(m.unit, "MPa");
  EXPECT_EQ(m.label, "design limit");
  m = app::parse_mark("valve.q=-3e-2 m3/s");
  EXPECT_EQ(m.value, -0.03);
  EXPECT_EQ(m.unit, "m3/s");
  EXPECT_EQ(rejection(app::parse_mark, "gate.p"), "a mark is column=value[ unit][:label], not 'gate.p'");
  EXPECT_EQ(rejection(app::parse_mark, "gate.p=bar"), "the value of the mark 'gate.p=bar' is not a number");
  EXPECT_EQ(rejection(app::parse_mark, "gate.p=12,5"),
            "the value of the mark 'gate.p=12,5' is not a number with a unit");
}

TEST(PlotParse, PressureUnitsAreGauge) {
  EXPECT_EQ(app::pressure_unit("bar").axis, "pressure [bar, gauge]");
  EXPECT_EQ(app::pressure_unit("kPa").pascals, 1e3);
  EXPECT_EQ(app::pressure_unit("Pa").axis, "pressure [Pa, gauge]");
  EXPECT_DOUBLE_EQ(app::pressure_unit("mH2O").pascals, 9810.0);
  EXPECT_EQ(app::pressure_unit("mH2O").axis, "pressure head [m H₂O, gauge]");
  EXPECT_DOUBLE_EQ(app::pressure_unit("mH2O", 850.0).pascals, 850.0 * 9.81);
  EXPECT_EQ(app::pressure_unit("mH2O", 850.0).axis, "pressure head [m of fluid at 850 kg/m³, gauge]");
  EXPECT_THROW(app::pressure_unit("psi"), std::invalid_argument);
  EXPECT_THROW(app::pressure_unit("mH2O", 0.0), std::invalid_argument);
}

TEST_F(PlotOptions, TheTitleIsTheModelsNameOrTheFirstSentenceOfItsComment) {
  EXPECT_EQ(app::model_title(write("a.yaml", "# Water hammer: a valve closes in 0.2 s.\n# More.\ncomponents: {}\n")),
            "Water hammer: a valve closes in 0.2 s");
  EXPECT_EQ(app::model_title(write("b.yaml", "\n# Surge tank: the mass\n# oscillation. After that\n#\n# x\n")),
            "Surge tank: the mass oscillation");
  EXPECT_EQ(app::model_title(write("c.yaml", "# Comment.\nname: 'Unit 2 trip'  # of the plant\ncomponents: {}\n")),
            "Unit 2 trip");
  EXPECT_EQ(app::model_title(write("d.yaml", "components:\n  # not a title\n  name: x\n")), "d.yaml");
  const std::string long_line(60, 'w');
  EXPECT_EQ(app::model_title(write("e.yaml", "# Hydro unit: " + long_line + " " + long_line + ".\n")), "Hydro unit");
  EXPECT_EQ(app::model_title(dir_ / "none.yaml"), "none.yaml");
}

TEST_F(PlotOptions, TheScriptHasTheTitleACompactLegendAndGaugePressureInBar) {
  app::PlotRequest r = request();
  r.title = "Closure in 2 s";
  const std::string s = app::results_script(r, "out.png");
  EXPECT_TRUE(has(s, "set multiplot layout 2,1 title 'Closure in 2 s'.\"\\n\"\n"));
  EXPECT_TRUE(has(s, "set key tmargin left horizontal"));  // above each panel, not beside it
  EXPECT_FALSE(has(s, "set key outside right"));
  EXPECT_FALSE(has(s, "set rmargin 36"));
  EXPECT_TRUE(has(s, "set ylabel 'pressure [bar, gauge]'\n"));
  EXPECT_TRUE(has(s, "using 1:(column(2)/100000) with lines title 'gate.p'"));
  EXPECT_TRUE(has(s, "set xrange [0:3]\n"));

  r.pressure_unit = "mH2O";
  const std::string head = app::results_script(r, "out.png");
  EXPECT_TRUE(has(head, "set ylabel 'pressure head [m H₂O, gauge]'\n"));
  EXPECT_TRUE(has(head, "using 1:(column(2)/9810) with lines"));
}

TEST_F(PlotOptions, RangesGoToThePanelsAndAnUnknownPanelIsNamed) {
  app::PlotRequest r = request();
  r.xrange = app::parse_range("0.5:");
  r.yrange = app::parse_range("-1:1");
  r.panel_yranges["pressure"] = app::parse_range("0:25");
  const std::string s = app::results_script(r, "out.png");
  EXPECT_TRUE(has(s, "set xrange [0.5:3]\n"));
  EXPECT_TRUE(has(s, "set yrange [0:25]\n"));
  EXPECT_TRUE(has(s, "set yrange [-1:1]\n"));  // the flow panel, which has none of its own

  r.panel_yranges["presure"] = app::parse_range("0:25");
  try {
    app::results_script(r, "out.png");
    ADD_FAILURE() << "a range for a panel that is not there";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "--yrange presure=...: no panel 'presure'; the panels are pressure, flow");
  }
}

TEST_F(PlotOptions, MarksAreReadInTheUnitOfTheirPanel) {
  app::PlotRequest r = request();
  r.marks = {app::parse_mark("gate.p=18:limit"), app::parse_mark("gate.p=1.2 MPa"), app::parse_mark("valve.q=100 l/s")};
  const std::string s = app::results_script(r, "out.png");
  EXPECT_TRUE(has(s, "18 with lines lw 1.5 dashtype 2 lc rgb 'black' title 'limit'"));  // 18 bar
  EXPECT_TRUE(has(s, "12 with lines lw 1.5 dashtype 3 lc rgb 'dark-red' title 'gate.p = 12 bar'"));
  EXPECT_TRUE(has(s, "0.1 with lines lw 1.5 dashtype 2 lc rgb 'black' title 'valve.q = 0.1 m³/s'"));

  r.pressure_unit = "kPa";
  r.marks = {app::parse_mark("gate.p=1500"), app::parse_mark("gate.p=2 bar")};
  const std::string kpa = app::results_script(r, "out.png");
  EXPECT_TRUE(has(kpa, "1500 with lines"));
  EXPECT_TRUE(has(kpa, "200 with lines"));

  r.marks = {app::parse_mark("gate.p=3 m3/s")};
  try {
    app::results_script(r, "out.png");
    ADD_FAILURE() << "a flow drawn on a pressure panel";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              "the mark 'gate.p=3 m3/s': m3/s measures flow, the panel of gate.p shows pressure (kPa)");
  }
  r.marks = {app::parse_mark("gate.p=3 furlongs")};
  EXPECT_THROW(app::results_script(r, "out.png"), std::runtime_error);
}

TEST_F(PlotOptions, AConstantPanelGetsARangeAroundItsValue) {
  app::PlotRequest r = request();
  r.columns = {"lake.p"};
  EXPECT_TRUE(has(app::results_script(r, "out.png"), "set yrange [4.5:5.5]\n"));  // 5 bar
  // Within the time drawn the flow is constant too: 0 from 2 s on.
  r.columns = {"valve.q"};
  r.xrange = app::parse_range("2:3");
  EXPECT_TRUE(has(app::results_script(r, "out.png"), "set yrange [-1:1]\n"));
  r.xrange.reset();
  EXPECT_TRUE(has(app::results_script(r, "out.png"), "set autoscale y\n"));
}

TEST_F(PlotOptions, ManyCurvesAreDrawnThinWithTheFirstAndLastNamed) {
  std::string header = "time", row0 = "0", row1 = "1";
  for (int k = 0; k < 12; ++k) {
    header += ",pipe[" + std::to_string(k) + "].p";
    row0 += ",1e5";
    row1 += "," + std::to_string(1e5 + k * 1e4);
  }
  app::PlotRequest r;
  r.results = {write("many.csv", header + "\n" + row0 + "\n" + row1 + "\n")};
  r.kinds = {{"p", "pressure"}};
  const std::string s = app::results_script(r, "out.png");
  EXPECT_TRUE(has(s, "lw 0.5 lc palette frac 0.0000 title 'pipe[0].p (first of 12 curves)'"));
  EXPECT_TRUE(has(s, "lw 0.5 lc palette frac 1.0000 title 'pipe[11].p (last)'"));
  size_t unnamed = 0;
  for (size_t at = s.find("notitle"); at != std::string::npos; at = s.find("notitle", at + 1)) ++unnamed;
  EXPECT_EQ(unnamed, 10u);
}

TEST_F(PlotOptions, GnuplotDrawsAConstantColumnWithoutAWord) {
  if (std::system("command -v gnuplot >/dev/null 2>&1") != 0) GTEST_SKIP() << "gnuplot is not installed";
  app::PlotRequest r = request();
  r.image = dir_ / "r.png";
  r.columns = {"lake.p"};  // 5 bar throughout
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(app::plot_results(r), dir_ / "r.png");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");  // no "empty y range" from gnuplot
  std::ifstream png(r.image, std::ios::binary);
  std::string signature(8, '\0');
  png.read(signature.data(), 8);
  EXPECT_EQ(signature, "\x89PNG\r\n\x1a\n");
  EXPECT_FALSE(fs::exists(dir_ / "r.png.part"));

  // A mark that does not fit draws nothing.
  r.image = dir_ / "bad.png";
  r.marks = {app::parse_mark("gate.p=3 m3/s")};
  EXPECT_THROW(app::plot_results(r), std::runtime_error);
  EXPECT_FALSE(fs::exists(dir_ / "bad.png"));
  EXPECT_FALSE(fs::exists(dir_ / "bad.png.part"));
}

}  // namespace
}  // namespace penstock::testing
