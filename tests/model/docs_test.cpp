// SPDX-License-Identifier: BSD-3-Clause
// Every YAML block of the documentation (docs/*.md and README.md) holds true: a block fenced
// ```yaml is a whole model and loads through the loader against the built plug-ins; one fenced
// ```yaml fragment is valid YAML, and a fragment of only run: or fluid: loads inside a small model;
// one fenced ```yaml description reads as a network description. A block that fails is named by
// its file and the line it starts at.
#include <yaml-cpp/yaml.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "model_support.hpp"

namespace penstock::testing {
namespace {

namespace fs = std::filesystem;

const fs::path kSource = fs::path(PENSTOCK_SOURCE_DIR);

struct Block {
  std::string file;  // as shown in a failure, relative to the source tree
  int line = 0;      // of the block's first line of YAML
  std::string kind;  // "" for a whole model, "fragment" or "description"
  std::string text;
};

// The ```yaml blocks of a Markdown text; the info string after "yaml" says whether it is a fragment.
std::vector<Block> yaml_blocks(const std::string& file, std::istream& in) {
  std::vector<Block> blocks;
  std::string line;
  int number = 0;
  bool inside = false, ours = false;
  Block block;
  while (std::getline(in, line)) {
    ++number;
    const size_t indent = line.find_first_not_of(' ');
    const std::string fence = indent == std::string::npos ? "" : line.substr(indent);
    if (fence.rfind("```", 0) == 0) {
      if (inside) {
        if (ours) blocks.push_back(block);
        inside = ours = false;
        continue;
      }
      inside = true;
      std::istringstream info(fence.substr(3));
      std::string language, kind;
      info >> language >> kind;
      ours = language == "yaml";
      block = Block{file, number + 1, kind, ""};
      continue;
    }
    if (inside && ours) block.text += line + "\n";
  }
  return blocks;
}

std::vector<Block> documented_blocks() {
  std::vector<fs::path> files{kSource / "README.md"};
  for (const auto& entry : fs::directory_iterator(kSource / "docs"))
    if (entry.path().extension() == ".md") files.push_back(entry.path());
  std::vector<Block> blocks;
  for (const auto& path : files) {
    std::ifstream in(path);
    for (auto& b : yaml_blocks(fs::relative(path, kSource).string(), in)) blocks.push_back(std::move(b));
  }
  return blocks;
}

// A plant that loads as it is, into which a fragment of run: or fluid: settings is put.
constexpr const char* kPlant = R"(fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6 m2/s, bulk: 2.1e9 Pa, alpha: 0}
components:
  lake: {type: Headwater, parameters: {h: 100 m}}
  gate: {type: valve, parameters: {Din: 1.2 m}}
connections:
  - [lake.B, ref]
  - [lake.A, gate.A]
  - [gate.B, ref]
signals:
  gate.ksi: 0.5
run: {stop: 1 s}
)";

// A folder of the running test's own for the blocks it writes.
fs::path folder() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  fs::path dir = fs::temp_directory_path() / "penstock_docs_tests" / info->name();
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// What is wrong with the block, or "" when it holds.
std::string fault(const Block& b, const fs::path& dir) {
  YAML::Node parsed;
  try {
    parsed = YAML::Load(b.text);
  } catch (const YAML::Exception& e) {
    return "not valid YAML: " + std::string(e.what());
  }
  if (b.kind == "description") {
    if (!parsed.IsMap() || !parsed["component"]) return "a description needs 'component: <Name>'";
    const fs::path file = dir / (parsed["component"].Scalar() + ".yaml");
    std::ofstream(file) << b.text;
    try {
      sim::read_description(file);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }
  if (!b.kind.empty() && b.kind != "fragment") return "unknown kind of block '" + b.kind + "'";
  std::string model = b.text;
  if (b.kind == "fragment") {
    if (!parsed.IsMap()) return "";
    for (const auto& kv : parsed) {
      const std::string key = kv.first.Scalar();
      if (key != "run" && key != "fluid") return "";  // a part of a model that stands on nothing: parsed only
    }
    YAML::Node plant = YAML::Load(kPlant);
    for (const auto& kv : parsed) plant[kv.first.Scalar()] = kv.second;
    YAML::Emitter out;
    out << plant;
    model = out.c_str();
  }
  const fs::path file = dir / ("block_" + std::to_string(b.line) + ".yaml");
  std::ofstream(file) << model;
  try {
    sim::load_model(file, catalogue());
  } catch (const sim::ModelError& e) {
    // In a whole model, the line the loader names is a line of the page.
    if (b.kind.empty() && e.where().line > 0)
      return "line " + std::to_string(b.line + e.where().line - 1) + ": " + e.message();
    return e.what();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

TEST(Docs, EveryYamlBlockOfTheDocumentationLoads) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "valve", "Orifice", "Pipe", "FlowLine", "GridMachine", "Alternator");
  const std::vector<Block> blocks = documented_blocks();
  const fs::path dir = folder();
  int whole = 0;
  std::set<std::string> files;
  for (const Block& b : blocks) {
    files.insert(b.file);
    if (b.kind.empty()) ++whole;
    const std::string what = fault(b, dir);
    if (!what.empty()) ADD_FAILURE() << b.file << ":" << b.line << ": this YAML block does not hold: " << what;
  }
  // The model format's own page has its examples; a fence the reader missed would pass unseen.
  EXPECT_TRUE(files.count("docs/model-format.md") == 1);
  EXPECT_GE(whole, 8) << "whole models found in the documentation";
}

// The page shows the example's description as it is, past its comment line.
TEST(Docs, TheDescriptionShownIsTheExamplesOwn) {
  std::ifstream in(kSource / "examples" / "my_component" / "Capillary.yaml");
  std::string example, line;
  while (std::getline(in, line))
    if (line.rfind('#', 0) != 0) example += line + "\n";
  int shown = 0;
  for (const Block& b : documented_blocks()) {
    if (b.kind != "description" || b.text.find("component: Capillary") == std::string::npos) continue;
    ++shown;
    EXPECT_EQ(b.text, example) << b.file << ":" << b.line << " differs from examples/my_component/Capillary.yaml";
  }
  EXPECT_EQ(shown, 1);
}

TEST(Docs, ABlockThatDoesNotHoldIsFoundAndNamedByItsLine) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "valve");
  std::istringstream text(
      "# Title\n\nText.\n\n```yaml\ncomponents:\n  lake: {type: Headwater, parameters: {h: 3 s}}\n```\n\n"
      "```sh\npenstock check x.yaml\n```\n\n"
      "```yaml fragment\nrun: {stop: 2 s, output: -1 s}\n```\n\n"
      "```yaml fragment\ncomponents: {a: [unclosed\n```\n\n"
      "```yaml fragment\nsignals:\n  gate.ksi: 2\n```\n\n"
      "```yaml description\ncomponent: Plug\nports: {A: hydraulic}\nbranches: {q: A => B}\n```\n");
  const std::vector<Block> blocks = yaml_blocks("page.md", text);
  ASSERT_EQ(blocks.size(), 5U);
  EXPECT_EQ(blocks[0].line, 6);
  EXPECT_EQ(blocks[0].kind, "");
  EXPECT_EQ(blocks[1].kind, "fragment");
  const fs::path dir = folder();
  // A parameter in the wrong unit at its line of the page, a run fragment loaded into the plant,
  // broken YAML.
  EXPECT_NE(fault(blocks[0], dir).find("line 7: parameter 'h' of Headwater is in m, and '3 s' is a time"),
            std::string::npos)
      << fault(blocks[0], dir);
  EXPECT_NE(fault(blocks[1], dir).find("the output interval must be positive"), std::string::npos);
  EXPECT_NE(fault(blocks[2], dir).find("not valid YAML"), std::string::npos);
  EXPECT_EQ(fault(blocks[3], dir), "");  // a fragment of signals: parsed only
  EXPECT_NE(fault(blocks[4], dir).find("'A => B' is not a port of Plug"), std::string::npos) << fault(blocks[4], dir);
}

}  // namespace
}  // namespace penstock::testing
