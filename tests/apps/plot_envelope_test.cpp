// SPDX-License-Identifier: BSD-3-Clause
// penstock plot --envelope: the envelope file read and checked, and the gnuplot script drawn from it,
// one panel per pipe. Only the last test runs gnuplot, and is skipped where it is not installed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "plot.hpp"

namespace penstock::testing {
namespace {

namespace fs = std::filesystem;

const std::string kHeader = "pipe,node,x,z,p_min,t_p_min,p_max,t_p_max,h_min,t_h_min,h_max,t_h_max";
const std::string kExpected =
    "an envelope file begins with pipe,node,x,z,p_min,t_p_min,p_max,t_p_max,h_min,t_h_min,h_max,t_h_max[,h_vapour]";

// A tunnel and a penstock whose minimum head falls below the vapour-pressure head at its middle node.
const std::string kWithVapour = kHeader + ",h_vapour\n" +
                                "tunnel,0,0,50,0,0,0,0,50,0,50,0,39.9\n"
                                "tunnel,1,100,48,19620,1.5,29430,0.5,50,1.5,51,0.5,37.9\n"
                                "penstock,0,0,48,0,0,0,0,48,0,48,0,37.9\n"
                                "penstock,1,150,24,-117720,1.2,451260,0.4,12,1.2,70,0.4,13.9\n"
                                "penstock,2,300,0,-49050,1.1,1030050,0.3,-5,1.1,105,0.3,-10.1\n";

// The same two pipes without a vapour pressure, written with CR LF and ending in a blank line.
const std::string kWithoutVapour = kHeader + "\r\n" +
                                   "tunnel,0,0,50,0,0,0,0,50,0,50,0\r\n"
                                   "tunnel,1,100,48,19620,1.5,29430,0.5,50,1.5,51,0.5\r\n"
                                   "penstock,0,0,48,0,0,0,0,48,0,48,0\r\n"
                                   "penstock,1,150,24,-117720,1.2,451260,0.4,12,1.2,70,0.4\r\n"
                                   "penstock,2,300,0,-49050,1.1,1030050,0.3,-5,1.1,105,0.3\r\n"
                                   "\r\n";

class PlotEnvelope : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("penstock_plot_envelope_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path write(const std::string& name, const std::string& text) const {
    const fs::path file = dir_ / name;
    std::ofstream(file, std::ios::binary) << text;
    return file;
  }

  fs::path dir_;
};

// What read_envelope throws, or "" when it reads the file.
std::string rejection(const fs::path& file) {
  try {
    app::read_envelope(file);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST_F(PlotEnvelope, ReadsThePipesInTheirOrderWithAndWithoutTheVapourHead) {
  const app::EnvelopeFile with = app::read_envelope(write("with.envelope.csv", kWithVapour));
  EXPECT_TRUE(with.vapour);
  ASSERT_EQ(with.pipes.size(), 2u);
  EXPECT_EQ(with.pipes[0].pipe, "tunnel");
  EXPECT_EQ(with.pipes[1].pipe, "penstock");
  ASSERT_EQ(with.pipes[0].nodes.size(), 2u);
  ASSERT_EQ(with.pipes[1].nodes.size(), 3u);
  const app::EnvelopeNode& middle = with.pipes[1].nodes[1];
  EXPECT_DOUBLE_EQ(middle.x, 150.0);
  EXPECT_DOUBLE_EQ(middle.z, 24.0);
  EXPECT_DOUBLE_EQ(middle.h_min, 12.0);
  EXPECT_DOUBLE_EQ(middle.h_max, 70.0);
  EXPECT_DOUBLE_EQ(middle.h_vapour, 13.9);
  EXPECT_DOUBLE_EQ(with.pipes[1].nodes[2].h_vapour, -10.1);
  EXPECT_FALSE(with.pipes[0].separates());
  EXPECT_TRUE(with.pipes[1].separates());

  const app::EnvelopeFile without = app::read_envelope(write("without.envelope.csv", kWithoutVapour));
  EXPECT_FALSE(without.vapour);
  ASSERT_EQ(without.pipes.size(), 2u);
  EXPECT_EQ(without.pipes[1].pipe, "penstock");  // no CR left on the names
  ASSERT_EQ(without.pipes[1].nodes.size(), 3u);
  EXPECT_DOUBLE_EQ(without.pipes[1].nodes[2].x, 300.0);
  EXPECT_DOUBLE_EQ(without.pipes[1].nodes[2].h_max, 105.0);
  EXPECT_TRUE(std::isnan(without.pipes[1].nodes[1].h_vapour));
  EXPECT_FALSE(without.pipes[1].separates());  // nothing to fall below
}

TEST_F(PlotEnvelope, RejectsABadFileNamingTheLineAndColumnAndDrawsNothing) {
  const std::string row = "a,0,0,10,0,0,0,0,10,0,10,0\n";
  struct Case {
    std::string text;
    std::string message;  // after "<file>"
  };
  const std::vector<Case> cases{
      {"", ": the file is empty"},
      {"\n  \n\n", ": the file is empty"},
      {kHeader + "\n", ": no rows after the header"},
      {"time,gate.p\n0,1\n", ":1:1: not an envelope header: 'time' where 'pipe' belongs; " + kExpected +
                                 " (a results file: plot it without --envelope)"},
      {"\npipe,node,x,z,p_min,t_p_min,p_max,t_p_max,head_min,t_h_min,h_max,t_h_max\n" + row,
       ":2:43: not an envelope header: 'head_min' where 'h_min' belongs; " + kExpected},
      {"pipe,node,x,z\n", ":1:1: not an envelope header: 4 columns; " + kExpected},
      {kHeader + ",h_vapour,h_other\n", ":1:1: not an envelope header: 14 columns; " + kExpected},
      {kHeader + "\n" + row + "a,1,30,10,0,0,0,0,10,0,10\n", ":3:26: 11 values, the header has 12"},
      {kHeader + "\n" + "a,0,0,10,0,0,0,0,10,0,10,0,5\n", ":2:28: 13 values, the header has 12"},
      {kHeader + ",h_vapour\n" + row, ":2:27: 12 values, the header has 13"},
      {kHeader + "\n" + row + "a,1,30,10,0,0,0,0,abc,0,10,0\n", ":3:19: h_min is 'abc', not a finite number"},
      {kHeader + "\n" + "a,0,0,,0,0,0,0,10,0,10,0\n", ":2:7: z is empty"},
      {kHeader + "\n" + "a,0,0,10,0,0,0,0,10,0,nan,0\n", ":2:23: h_max is 'nan', not a finite number"},
      {kHeader + "\n" + "a,0,0m,10,0,0,0,0,10,0,10,0\n", ":2:5: x is '0m', not a finite number"},
      {kHeader + "\n" + ",0,0,10,0,0,0,0,10,0,10,0\n", ":2:1: the pipe has no name"},
      {kHeader + "\n" + row + "a,2,60,10,0,0,0,0,10,0,10,0\n",
       ":3:3: node 2 of pipe 'a' where node 1 belongs (its nodes are numbered 0, 1, ... in order)"},
      {kHeader + "\n" + row + "b,0,0,10,0,0,0,0,10,0,10,0\n" + "a,1,30,10,0,0,0,0,10,0,10,0\n",
       ":4:1: the rows of pipe 'a' are split by those of 'b'"},
  };
  const fs::path image = dir_ / "bad.png";
  for (const Case& c : cases) {
    const fs::path file = write("bad.envelope.csv", c.text);
    EXPECT_EQ(rejection(file), file.string() + c.message) << "the file:\n" << c.text;
    EXPECT_THROW(app::plot_envelope({file, image, ""}), std::runtime_error);
    EXPECT_FALSE(fs::exists(image));
    EXPECT_FALSE(fs::exists(dir_ / "bad.png.part"));
  }
  EXPECT_EQ(rejection(dir_ / "none.envelope.csv"), (dir_ / "none.envelope.csv").string() + ": no such file");
  EXPECT_EQ(rejection(dir_), dir_.string() + ": a folder, not an envelope file");
}

TEST_F(PlotEnvelope, AnImageInAFolderThatIsNotThereIsRefusedBeforeGnuplotRuns) {
  const fs::path file = write("two.envelope.csv", kWithVapour);
  const fs::path image = dir_ / "nowhere" / "two.png";
  try {
    app::plot_envelope({file, image, ""});
    ADD_FAILURE() << "drew into a folder that is not there";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "cannot write " + image.string() + ": No such file or directory");
  }
  EXPECT_FALSE(fs::exists(dir_ / "nowhere"));
}

// A curve of a plot command, "'<file>' skip 1 using <using> with <style> ... title '<title>'", as
// "<using> <style> <title>"; empty when the line is not one.
std::string curve_of(const std::string& line) {
  const size_t using_at = line.find("' skip 1 using ");
  const size_t with_at = line.find(" with ", using_at);
  const size_t title_at = line.find(" title '", with_at);
  const size_t title_end = line.rfind('\'');
  if (using_at == std::string::npos || with_at == std::string::npos || title_at == std::string::npos ||
      title_end <= title_at + 8)
    return "";
  const size_t using_from = using_at + std::strlen("' skip 1 using ");
  const size_t style_from = with_at + std::strlen(" with ");
  const std::string style = line.substr(style_from, line.find(' ', style_from) - style_from);
  return line.substr(using_from, with_at - using_from) + " " + style + " " +
         line.substr(title_at + 8, title_end - title_at - 8);
}

// The plot commands of a script, one per panel, each as its curves: "<using> <style> <title>".
std::vector<std::vector<std::string>> panels_of(const std::string& script) {
  std::vector<std::vector<std::string>> panels;
  std::istringstream in(script);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("plot ", 0) == 0) panels.emplace_back();
    if (line.rfind("plot ", 0) != 0 && line.rfind("     ", 0) != 0) continue;
    const std::string curve = curve_of(line);
    if (curve.empty()) {
      ADD_FAILURE() << "not a curve: " << line;
      continue;
    }
    panels.back().push_back(curve);
  }
  return panels;
}

TEST_F(PlotEnvelope, TheScriptHasAPanelPerPipeWithItsHeadsElevationAndVapourHead) {
  const fs::path file = write("two.envelope.csv", kWithVapour);
  const std::string script = app::envelope_script(app::read_envelope(file), "out.png", "");
  EXPECT_NE(script.find("set output 'out.png'\n"), std::string::npos);
  EXPECT_NE(script.find("set multiplot layout 2,1 title 'two.envelope.csv'\n"), std::string::npos);
  EXPECT_NE(script.find("set xlabel 'x, from end A [m]'\nset ylabel 'head [m]'\n"), std::string::npos);
  // The rows of a pipe are those with its name in the first column; the band lies between the
  // vapour head and the lower of the two heads.
  EXPECT_NE(script.find("row(pipe, c) = strcol(1) eq pipe ? column(c) : NaN\n"), std::string::npos);
  EXPECT_NE(script.find("separated(pipe) = row(pipe, 9) < row(pipe, 13) ? row(pipe, 9) : row(pipe, 13)\n"),
            std::string::npos);
  // Each panel's title and x range before its plot.
  const size_t tunnel = script.find("set title 'tunnel'\nset xrange [0:100]\nplot ");
  const size_t penstock = script.find("set title 'penstock'\nset xrange [0:300]\nplot ");
  EXPECT_NE(tunnel, std::string::npos);
  EXPECT_NE(penstock, std::string::npos);
  EXPECT_LT(tunnel, penstock);

  const auto panels = panels_of(script);
  ASSERT_EQ(panels.size(), 2u);
  EXPECT_EQ(panels[0], (std::vector<std::string>{
                           "3:(row('tunnel', 11)) lines maximum head",
                           "3:(row('tunnel', 9)) lines minimum head",
                           "3:(row('tunnel', 4)) lines pipe axis z(x)",
                           "3:(row('tunnel', 13)) lines vapour-pressure head (separation below)",
                       }));
  // Only the penstock falls below the vapour head: the band is drawn there, under the lines.
  EXPECT_EQ(panels[1], (std::vector<std::string>{
                           "3:(row('penstock', 13)):(separated('penstock')) filledcurves column separation",
                           "3:(row('penstock', 11)) lines maximum head",
                           "3:(row('penstock', 9)) lines minimum head",
                           "3:(row('penstock', 4)) lines pipe axis z(x)",
                           "3:(row('penstock', 13)) lines vapour-pressure head (separation below)",
                       }));
}

TEST_F(PlotEnvelope, WithoutTheVapourHeadThePanelsHaveThreeCurves) {
  const fs::path file = write("two.envelope.csv", kWithoutVapour);
  const std::string script = app::envelope_script(app::read_envelope(file), "out.png", "Closure in 2 s");
  EXPECT_NE(script.find("set multiplot layout 2,1 title 'Closure in 2 s'\n"), std::string::npos);
  const auto panels = panels_of(script);
  ASSERT_EQ(panels.size(), 2u);
  EXPECT_EQ(panels[1], (std::vector<std::string>{
                           "3:(row('penstock', 11)) lines maximum head",
                           "3:(row('penstock', 9)) lines minimum head",
                           "3:(row('penstock', 4)) lines pipe axis z(x)",
                       }));
  EXPECT_EQ(panels[0].size(), 3u);
}

TEST_F(PlotEnvelope, GnuplotDrawsTheImageBesideTheFile) {
  if (std::system("command -v gnuplot >/dev/null 2>&1") != 0) GTEST_SKIP() << "gnuplot is not installed";
  const fs::path file = write("two.envelope.csv", kWithVapour);
  const fs::path image = app::plot_envelope({file, "", ""});
  EXPECT_EQ(image, dir_ / "two.envelope.png");
  std::ifstream png(image, std::ios::binary);
  std::string signature(8, '\0');
  png.read(signature.data(), 8);
  EXPECT_EQ(signature, "\x89PNG\r\n\x1a\n");
  EXPECT_FALSE(fs::exists(dir_ / "two.envelope.png.part"));
}

}  // namespace
}  // namespace penstock::testing
