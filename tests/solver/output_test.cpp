// The results writer: CSV under its final name only when complete, extremes, reports.
#include "penstock/sim/output.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

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

}  // namespace
}  // namespace penstock::testing
