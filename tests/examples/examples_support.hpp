// SPDX-License-Identifier: BSD-3-Clause
// The bundled example models, run to the end with their rows kept.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../model/model_support.hpp"
#include "penstock/sim/output.hpp"
#include "penstock/sim/solver.hpp"

namespace penstock::testing {

inline std::filesystem::path example_file(const std::string& name) {
  return std::filesystem::path(PENSTOCK_SOURCE_DIR) / "examples" / name;
}

inline std::string example_text(const std::string& name) {
  std::ifstream in(example_file(name));
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The text with every `from` replaced by `to`; fails the test when `from` does not occur.
inline std::string replaced(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << "'" << from << "' is not in the model";
  for (; at != std::string::npos; at = text.find(from, at + to.size())) text.replace(at, from.size(), to);
  return text;
}

// Rows of (t, recorded variables...) in the order asked for.
struct ExampleRun {
  sim::Outcome outcome;
  std::vector<std::vector<double>> rows;
};

inline ExampleRun run(sim::Model& model, const std::vector<std::string>& record) {
  sim::Recorder recorder(*model.system, record);
  recorder.keep_rows(true);
  ExampleRun r;
  r.outcome = sim::simulate(*model.system, model.run, recorder);
  r.rows = recorder.kept();
  return r;
}

// The first time after `after` at which column k crosses `level` going up (or down), by linear
// interpolation between rows; -1 when it does not.
inline double crossing(const std::vector<std::vector<double>>& rows, size_t k, double level, bool up,
                       double after = -1e300) {
  for (size_t i = 1; i < rows.size(); ++i) {
    const double t0 = rows[i - 1][0], t1 = rows[i][0], y0 = rows[i - 1][k], y1 = rows[i][k];
    if (t1 <= after) continue;
    const bool crosses = up ? (y0 < level && y1 >= level) : (y0 > level && y1 <= level);
    if (!crosses) continue;
    const double t = t0 + (level - y0) / (y1 - y0) * (t1 - t0);
    if (t > after) return t;
  }
  return -1.0;
}

}  // namespace penstock::testing
