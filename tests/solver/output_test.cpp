// SPDX-License-Identifier: BSD-3-Clause
// The results writer: CSV under its final name only when complete, extremes, reports.
#include "penstock/sim/output.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "toy_dae.hpp"

namespace penstock::testing {
namespace {

namespace fs = std::filesystem;

std::string read(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

ToyDae ramp() {
  return ToyDae({"a.x", "b.y"}, {true, false}, {0.0, 0.0}, [](double t, const double* y, const double* yp, double* F) {
    F[0] = yp[0] - 1.0;
    F[1] = y[1] - (t > 0.25 ? std::nan("") : -y[0]);
  });
}

class RecorderTest : public ::testing::Test {
 protected:
  fs::path dir = fs::temp_directory_path() / ("penstock_output_" + std::to_string(::getpid()));
  void SetUp() override { fs::create_directories(dir); }
  void TearDown() override { fs::remove_all(dir); }
};

TEST_F(RecorderTest, CompleteRunWritesExactValuesUnderTheFinalName) {
  ToyDae dae = ramp();
  sim::RunSettings run;
  run.stop_time = 0.2;
  run.output_interval = 0.1;
  run.record = {"b.y"};
  sim::Recorder recorder(dae, run.record);
  recorder.write_csv(dir / "r.csv");
  EXPECT_TRUE(fs::exists(dir / "r.csv.part"));
  const auto outcome = sim::simulate(dae, run, recorder);
  ASSERT_TRUE(outcome.complete) << outcome.error;
  EXPECT_EQ(recorder.finish(true), dir / "r.csv");
  EXPECT_FALSE(fs::exists(dir / "r.csv.part"));
  std::istringstream csv(read(dir / "r.csv"));
  std::string line;
  std::getline(csv, line);
  EXPECT_EQ(line, "time,b.y");
  std::getline(csv, line);
  EXPECT_EQ(line.substr(0, 2), "0,");
  EXPECT_NEAR(std::stod(line.substr(2)), 0.0, 1e-12);
  std::getline(csv, line);
  EXPECT_EQ(line.substr(0, 4), "0.1,");
  EXPECT_NEAR(std::stod(line.substr(4)), -0.1, 1e-9);
  EXPECT_EQ(recorder.rows(), 3u);
  EXPECT_NEAR(recorder.extremes()[0].min, -0.2, 1e-9);
  EXPECT_NEAR(recorder.extremes()[0].t_min, 0.2, 1e-12);
  EXPECT_EQ(recorder.extremes()[0].t_max, 0.0);

  const std::string json = sim::json_report(outcome, run, recorder, dir / "r.csv");
  EXPECT_EQ(json.front(), '{');
  EXPECT_EQ(json.back(), '}');
  EXPECT_NE(json.find("\"complete\":true"), std::string::npos) << json;
  EXPECT_NE(json.find("\"b.y\":{\"min\":"), std::string::npos) << json;
  EXPECT_NE(sim::summary(outcome, run, recorder, dir / "r.csv").find("real-time factor"), std::string::npos);
}

TEST_F(RecorderTest, FailedRunKeepsItsResultsMarkedIncomplete) {
  ToyDae dae = ramp();
  sim::RunSettings run;
  run.stop_time = 1.0;
  run.output_interval = 0.1;
  sim::Recorder recorder(dae, {});
  recorder.write_csv(dir / "r.csv");
  const auto outcome = sim::simulate(dae, run, recorder);
  ASSERT_FALSE(outcome.complete);
  EXPECT_EQ(recorder.finish(false), dir / "r.incomplete.csv");
  EXPECT_FALSE(fs::exists(dir / "r.csv"));
  EXPECT_FALSE(fs::exists(dir / "r.csv.part"));
  EXPECT_NE(read(dir / "r.incomplete.csv").find("0.2,"), std::string::npos);
  const std::string json = sim::json_report(outcome, run, recorder, dir / "r.incomplete.csv");
  EXPECT_NE(json.find("\"complete\":false,\"error\":\"the integrator failed at t = 0.2"), std::string::npos) << json;
  EXPECT_NE(sim::summary(outcome, run, recorder, {}).find("INCOMPLETE"), std::string::npos);
}

TEST_F(RecorderTest, AbandonedRecorderLeavesNoPartialFile) {
  ToyDae dae = ramp();
  {
    sim::Recorder recorder(dae, {});
    recorder.write_csv(dir / "r.csv");
  }
  EXPECT_TRUE(fs::is_empty(dir));
}

TEST(Recorder, UnknownRecordedVariableIsNamed) {
  ToyDae dae = ramp();
  try {
    sim::Recorder recorder(dae, {"a.x", "b.z"});
    FAIL() << "no error";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("'b.z'"), std::string::npos);
  }
}

// A toy that switches: x grows at 1/s; "on" is 1 while x is within 0.2 of 1, a switch that
// changes its equation, so that each crossing is an event with two rows at its time.
struct Window {
  int inside = 0;
  ToyDae dae{{"x", "on"}, {true, false}, {0.0, 0.0}, [this](double, const double* y, const double* yp, double* F) {
               F[0] = yp[0] - 1;
               F[1] = y[1] - inside;
             }};
  Window() {
    dae.root_count = 1;
    dae.root_signals = [](double, const double* y, const double*, double* g) { g[0] = 0.2 - std::abs(y[0] - 1); };
    dae.renew_modes = [this](double, const double* y, const double*) {
      const int now = 0.2 - std::abs(y[0] - 1) > 0;
      std::vector<std::string> changed;
      if (now != inside) changed.push_back("window");
      inside = now;
      return changed;
    };
    dae.flags = [this] { return std::vector<int32_t>{inside}; };
  }
};

TEST_F(RecorderTest, TheGridAloneInTheResultsAndTheEventsBesideThem) {
  Window w;
  sim::RunSettings run;
  run.stop_time = 2.0;
  run.output_interval = 0.5;
  sim::Recorder recorder(w.dae, {});
  recorder.write_csv(dir / "r.csv");
  EXPECT_TRUE(fs::exists(dir / "r.events.csv.part"));
  const auto outcome = sim::simulate(w.dae, run, recorder);
  ASSERT_TRUE(outcome.complete) << outcome.error;
  ASSERT_EQ(outcome.stats.mode_changes, 2);
  EXPECT_EQ(recorder.finish(true), dir / "r.csv");
  EXPECT_EQ(recorder.events_file(), dir / "r.events.csv");
  EXPECT_FALSE(fs::exists(dir / "r.events.csv.part"));
  // 0, 0.5, 1, 1.5, 2: no row at either switch; "on" is 1 at 1 s alone.
  std::istringstream csv(read(dir / "r.csv"));
  std::string row;
  std::getline(csv, row);
  EXPECT_EQ(row, "time,x,on");
  for (const char* t : {"0", "0.5", "1", "1.5", "2"}) {
    ASSERT_TRUE(std::getline(csv, row));
    EXPECT_EQ(row.substr(0, row.find(',')), t);
    EXPECT_NEAR(std::stod(row.substr(row.rfind(',') + 1)), std::string(t) == "1" ? 1.0 : 0.0, 1e-6) << row;
  }
  EXPECT_FALSE(std::getline(csv, row));
  EXPECT_EQ(recorder.rows(), 5u);
  EXPECT_EQ(recorder.events(), 2u);
  EXPECT_EQ(recorder.extremes()[1].t_max, 1.0);  // from the rows written
  EXPECT_NEAR(recorder.extremes()[1].max, 1.0, 1e-6);
  std::istringstream events(read(dir / "r.events.csv"));
  std::string line;
  std::getline(events, line);
  EXPECT_EQ(line, "time,component,what");
  for (const char* change : {"from 0 to 1", "from 1 to 0"}) {
    ASSERT_TRUE(std::getline(events, line));
    const size_t comma = line.find(',');
    EXPECT_NEAR(std::stod(line.substr(0, comma)), change[5] == '0' ? 0.8 : 1.2, 1e-9) << line;
    // What changed is quoted: it holds commas.
    EXPECT_EQ(line.substr(comma), std::string(",window,\"mode flag ") + change +
                                      "; its equations changed there, and the solver restarted from a consistent "
                                      "state\"")
        << line;
  }
  EXPECT_FALSE(std::getline(events, line));

  const std::string json = sim::json_report(outcome, run, recorder, dir / "r.csv");
  EXPECT_NE(json.find("\"rows\":5,\"events_file\":" + sim::json_string((dir / "r.events.csv").string()) +
                      ",\"events_listed\":2,"),
            std::string::npos)
      << json;
  const std::string text = sim::summary(outcome, run, recorder, dir / "r.csv");
  EXPECT_NE(text.find("events: " + (dir / "r.events.csv").string() + " (2 changes of a component's flags)\n"),
            std::string::npos)
      << text;
}

// A direction flag that F does not read: x falls through zero at 0.5 s, and its switch leaves the
// equations as they were. Counted in the summary and the report, listed only when asked.
TEST_F(RecorderTest, SwitchesThatLeaveTheEquationsAreCountedAndListedWhenAsked) {
  for (const bool listed : {false, true}) {
    SCOPED_TRACE(listed ? "listed" : "counted");
    int positive = 1;
    ToyDae dae{{"x"}, {true}, {0.5}, [](double, const double*, const double* yp, double* F) { F[0] = yp[0] + 1; }};
    dae.root_count = 1;
    dae.root_signals = [](double, const double* y, const double*, double* g) { g[0] = y[0]; };
    dae.renew_modes = [&positive](double, const double* y, const double*) {
      const int now = y[0] > 0;
      std::vector<std::string> changed;
      if (now != positive) changed.push_back("direction");
      positive = now;
      return changed;
    };
    dae.flags = [&positive] { return std::vector<int32_t>{positive}; };
    dae.set_flags = [&positive](const std::vector<int32_t>& to) { positive = to[0]; };
    sim::RunSettings run;
    run.stop_time = 1.0;
    run.output_interval = 0.25;
    run.tell_smooth_switches = listed;
    sim::Recorder recorder(dae, {});
    recorder.write_csv(dir / "r.csv");
    const auto outcome = sim::simulate(dae, run, recorder);
    ASSERT_TRUE(outcome.complete) << outcome.error;
    recorder.finish(true);
    EXPECT_EQ(positive, 0);
    EXPECT_EQ(outcome.stats.smooth_switches, 1);
    EXPECT_EQ(outcome.stats.restarts, 0);
    EXPECT_EQ(recorder.events(), listed ? 1u : 0u);
    const std::string events = read(dir / "r.events.csv");
    EXPECT_EQ(
        events.find(",direction,\"mode flag from 1 to 0; its equations are the same either side") != std::string::npos,
        listed)
        << events;
    const std::string text = sim::summary(outcome, run, recorder, dir / "r.csv");
    EXPECT_NE(text.find(", smooth switches 1, "), std::string::npos) << text;
    const std::string not_listed = "; not listed: 1 switch that left the equations as they were (run: events: all))\n";
    EXPECT_EQ(text.find(not_listed) != std::string::npos, !listed) << text;
    const std::string json = sim::json_report(outcome, run, recorder, dir / "r.csv");
    EXPECT_NE(json.find(std::string("\"smooth_switches\":1,\"smooth_switches_listed\":") + (listed ? "true" : "false")),
              std::string::npos)
        << json;
  }
}

TEST_F(RecorderTest, AnIncompleteRunsEventsFollowItsResultsName) {
  Window w;
  sim::RunSettings run;
  run.stop_time = 2.0;
  run.output_interval = 0.5;
  sim::Recorder recorder(w.dae, {});
  recorder.write_csv(dir / "r.csv");
  recorder.stop_when([&recorder] { return recorder.events() > 0 ? std::string("enough") : std::string(); });
  const auto outcome = sim::simulate(w.dae, run, recorder);
  ASSERT_FALSE(outcome.complete);
  EXPECT_EQ(recorder.finish(false), dir / "r.incomplete.csv");
  EXPECT_EQ(recorder.events_file(), dir / "r.incomplete.events.csv");
  EXPECT_NE(read(dir / "r.incomplete.events.csv").find(",window,"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "r.events.csv"));
}

TEST(PressureUnits, NamesScalesAndTheDensityOfAHead) {
  EXPECT_EQ(sim::pressure_unit("bar").pascals, 1e5);
  EXPECT_EQ(sim::pressure_unit("kPa").pascals, 1e3);
  EXPECT_EQ(sim::pressure_unit("Pa").pascals, 1.0);
  const sim::PressureUnit water = sim::pressure_unit("mH2O");
  EXPECT_EQ(water.pascals, 1000 * 9.81);
  EXPECT_TRUE(water.assumed);
  const sim::PressureUnit fluid = sim::pressure_unit("mH2O", 998.0);
  EXPECT_EQ(fluid.pascals, 998 * 9.81);
  EXPECT_FALSE(fluid.assumed);
  EXPECT_THROW(sim::pressure_unit("psi"), std::invalid_argument);
  EXPECT_EQ(sim::si_unit("pressure"), "Pa");
  EXPECT_EQ(sim::si_unit("flow"), "m3/s");
  EXPECT_EQ(sim::si_unit("speed"), "rad/s");
  EXPECT_EQ(sim::si_unit("torque"), "N m");
  EXPECT_EQ(sim::si_unit("level"), "m");
  EXPECT_EQ(sim::si_unit("volume"), "m3");
  EXPECT_EQ(sim::si_unit("power"), "W");
  EXPECT_EQ(sim::si_unit("logical"), "1");
  EXPECT_EQ(sim::si_unit("ratio"), "1");
  EXPECT_EQ(sim::si_unit("signal"), "");
}

// Off a terminal: a plain line each period, with the time elapsed and an estimate of what is left
// from the simulated time covered so far.
TEST_F(RecorderTest, ProgressOffATerminalIsAPlainLine) {
  const fs::path log = dir / "progress.log";
  {
    std::FILE* out = std::fopen(log.c_str(), "w");
    ASSERT_NE(out, nullptr);
    {
      sim::ProgressBar bar(0.0, 600.0, out, false, std::chrono::steady_clock::duration::zero());
      bar.update(12.3);
    }
    std::fclose(out);
  }
  const std::string text = read(log);
  EXPECT_EQ(text.rfind("t = 12.3 s of 600 s (2 %), 0 s elapsed, about ", 0), 0u) << text;
  EXPECT_EQ(text.substr(text.size() - 6), " left\n") << text;
  EXPECT_EQ(sim::ProgressBar::line(300, 0, 600, 40), "t = 300 s of 600 s (50 %), 40 s elapsed, about 40 s left");
  EXPECT_EQ(sim::ProgressBar::line(12.3, 0, 600, 4), "t = 12.3 s of 600 s (2 %), 4 s elapsed, about 3 min left");
  EXPECT_EQ(sim::ProgressBar::line(0, 0, 600, 4), "t = 0 s of 600 s (0 %), 4 s elapsed, time left not yet known");
  EXPECT_EQ(sim::ProgressBar::duration(125), "2 min 5 s");
  EXPECT_EQ(sim::ProgressBar::duration(125, true), "2 min");
  EXPECT_EQ(sim::ProgressBar::duration(4800), "1 h 20 min");
}

}  // namespace
}  // namespace penstock::testing

namespace penstock::testing {
namespace {

// A recorder that writes no file keeps the rows of the grid alone, as the CSV would have them, and
// hands on every event as it is recorded.
TEST(RecorderInMemory, KeepsTheGridAndHandsOnTheEvents) {
  Window w;
  sim::RunSettings run;
  run.stop_time = 2.0;
  run.output_interval = 0.5;
  sim::Recorder recorder(w.dae, {});
  recorder.keep_grid(true);
  std::vector<std::pair<double, std::string>> events;
  recorder.on_event([&](double t, const std::string& component, const std::string& what) {
    events.emplace_back(t, component + ": " + what.substr(0, what.find(';')));
  });
  ASSERT_TRUE(sim::simulate(w.dae, run, recorder).complete);
  EXPECT_TRUE(recorder.finish(true).empty());  // no file
  ASSERT_EQ(recorder.kept().size(), 5u);
  for (size_t k = 0; k < 5; ++k) {
    EXPECT_EQ(recorder.kept()[k][0], 0.5 * static_cast<double>(k));
    EXPECT_NEAR(recorder.kept()[k][2], k == 2 ? 1.0 : 0.0, 1e-6);
  }
  ASSERT_EQ(events.size(), 2u);
  EXPECT_NEAR(events[0].first, 0.8, 1e-9);
  EXPECT_EQ(events[0].second, "window: mode flag from 0 to 1");
  EXPECT_NEAR(events[1].first, 1.2, 1e-9);
  // The rows at the events were not even asked for.
  ASSERT_NE(recorder.reads(), nullptr);
  EXPECT_TRUE(recorder.reads()->empty());
}

}  // namespace
}  // namespace penstock::testing
