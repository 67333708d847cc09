// SPDX-License-Identifier: BSD-3-Clause
// penstock simulate with the envelope of a chain of pipe sections beside a WavePipe's: one file,
// one form, the chain's extremes those of its recorded pressures, and plot --envelope reads it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "plot.hpp"

namespace penstock::testing {
namespace {

namespace fs = std::filesystem;

fs::path folder() {
  fs::path dir =
      fs::temp_directory_path() /
      ("penstock_chain_envelope_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

std::vector<std::vector<std::string>> read_csv(const fs::path& file) {
  std::ifstream in(file);
  std::vector<std::vector<std::string>> rows;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string>& row = rows.emplace_back();
    std::stringstream s(line);
    std::string cell;
    while (std::getline(s, cell, ',')) row.push_back(cell);
  }
  return rows;
}

// A lake feeds two penstocks side by side, each to its own valve closing in 0.1 s: one a chain of
// 4 Pipe sections of 25 m, the other a WavePipe of 100 m.
constexpr const char* kModel = R"(fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6, bulk: 2.1e9, alpha: 0}
components:
  lake: {type: Headwater, parameters: {h: 50 m}}
  chain: {type: Pipe, count: 4, parameters: {dx: 25 m, Din: 0.5 m, lambda: 0.02, a: 1000 m/s}}
  wave: {type: WavePipe, parameters: {Length: 100 m, Din: 0.5 m, lambda: 0.02, a: 1000 m/s, reaches: 4}}
  gate1: {type: Orifice, parameters: {Din: 0.5 m}}
  gate2: {type: Orifice, parameters: {Din: 0.5 m}}
connections:
  - [lake.B, ref]
  - {node: top, ports: [lake.A, chain.A, wave.A]}
  - {node: end1, ports: [chain.B, gate1.A]}
  - {node: end2, ports: [wave.B, gate2.A]}
  - [gate1.B, ref]
  - [gate2.B, ref]
signals:
  gate1.Kv: {table: [[0, 0.03], [0.05, 0.03], [0.15, 0]]}
  gate2.Kv: {table: [[0, 0.03], [0.05, 0.03], [0.15, 0]]}
run:
  stop: 0.5 s
  output: 0.001 s
  start: steady
  record: ["chain[*].C.p", end1.p]
  envelope: [wave, chain]
)";

TEST(ChainEnvelopeCommand, WritesTheChainBesideTheWavePipeInOneForm) {
  const fs::path dir = folder();
  std::ofstream(dir / "two.yaml") << kModel;
  const std::string command = std::string(PENSTOCK_BINARY) + " simulate -q " + (dir / "two.yaml").string() + " > " +
                              (dir / "out").string() + " 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << std::ifstream(dir / "out").rdbuf();

  const auto envelope = read_csv(dir / "two.envelope.csv");
  ASSERT_FALSE(envelope.empty());
  EXPECT_EQ(envelope[0], (std::vector<std::string>{"pipe", "node", "x", "z", "p_min", "t_p_min", "p_max", "t_p_max",
                                                   "h_min", "t_h_min", "h_max", "t_h_max"}));
  std::map<std::string, std::vector<std::vector<std::string>>> by_pipe;
  for (size_t i = 1; i < envelope.size(); ++i) by_pipe[envelope[i][0]].push_back(envelope[i]);
  ASSERT_EQ(by_pipe["wave"].size(), 5U);   // the order of the run's envelope: the WavePipe first
  ASSERT_EQ(by_pipe["chain"].size(), 9U);  // end A, then each section's C and B
  EXPECT_EQ(envelope[1][0], "wave");
  const auto& chain = by_pipe["chain"];
  for (size_t i = 0; i < chain.size(); ++i) {
    EXPECT_EQ(chain[i][1], std::to_string(i));
    EXPECT_DOUBLE_EQ(std::stod(chain[i][2]), 12.5 * static_cast<double>(i));
  }

  // Each section's middle node and the valve's end against the extremes of the recorded columns.
  const auto results = read_csv(dir / "two.csv");
  ASSERT_GT(results.size(), 400U);
  auto extremes = [&](size_t column) {
    double lo = std::stod(results[1][column]), hi = lo;
    for (size_t r = 1; r < results.size(); ++r) {
      lo = std::min(lo, std::stod(results[r][column]));
      hi = std::max(hi, std::stod(results[r][column]));
    }
    return std::pair{lo, hi};
  };
  for (size_t k = 1; k <= 4; ++k) {
    ASSERT_EQ(results[0][k], "chain[" + std::to_string(k) + "].C.p");
    const auto [lo, hi] = extremes(k);
    EXPECT_EQ(std::stod(chain[2 * k - 1][4]), lo) << k;
    EXPECT_EQ(std::stod(chain[2 * k - 1][6]), hi) << k;
  }
  const auto [lo, hi] = extremes(5);
  EXPECT_EQ(std::stod(chain[8][4]), lo);
  EXPECT_EQ(std::stod(chain[8][6]), hi);
  EXPECT_GT(hi, 1.2 * 50 * 1000 * 9.81);  // the water hammer at the valve

  const app::EnvelopeFile read = app::read_envelope(dir / "two.envelope.csv");
  ASSERT_EQ(read.pipes.size(), 2U);
  EXPECT_EQ(read.pipes[1].pipe, "chain");
}

}  // namespace
}  // namespace penstock::testing
