// SPDX-License-Identifier: BSD-3-Clause
// The folders a catalogue searches: only those the user gives, each plug-in with its description,
// each name once; and a catalogue shared between threads.
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "model_support.hpp"
#include "penstock/engine.hpp"

namespace penstock::testing {
namespace {

namespace fs = std::filesystem;

const fs::path kPlugins = fs::path(PENSTOCK_PLUGIN_DIR);
const fs::path kBuiltins = fs::path(PENSTOCK_PLUGIN_DIR) / ".." / "builtins";

constexpr const char* kPlant = R"(fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6 m2/s, bulk: 2.1e9 Pa, alpha: 0}
components:
  - {name: lake, type: Headwater, parameters: {h: 100 m}}
  - {name: pipe, type: PIPE, parameters: {dx: 30 m, Din: 1.2 m, lambda: 0.018, a: 1000 m/s}}
  - {name: gate, type: valve, parameters: {Din: 1.2 m}}
connections:
  - [lake.B, ref]
  - [lake.A, pipe.A]
  - [pipe.B, gate.A]
  - [gate.B, ref]
signals:
  gate.ksi: 0.5
run: {stop: 1 s}
)";

// The plant with its pipe of the given type, after the given lines.
std::string plant(const std::string& pipe_type, const std::string& before = "") {
  std::string text = before + kPlant;
  return text.replace(text.find("PIPE"), 4, pipe_type);
}

// A fresh folder under the temporary one, named after the running test and the given name.
fs::path folder(const std::string& name) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const fs::path dir = fs::temp_directory_path() / "penstock_catalogue_tests" / info->name() / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// The built Pipe plug-in copied into the folder as <name>.so, with its description unless told not.
void copy_pipe(const fs::path& dir, const std::string& name, bool description = true) {
  fs::copy_file(kPlugins / "Pipe.so", dir / (name + ".so"));
  if (description) fs::copy_file(kPlugins / "Pipe.yaml", dir / (name + ".yaml"));
}

// The message of the exception of type E that loading the text against the catalogue throws.
template <class E>
std::string error_of(const std::string& text, const sim::Catalogue& catalogue) {
  try {
    sim::load_model(write_model(text), catalogue);
  } catch (const E& e) {
    return e.what();
  }
  return "(it loads)";
}

bool in_process(const fs::path& library) {
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) dlclose(handle);
  return handle != nullptr;
}

// A plug-in of the user's without its description, or with one that cannot be read, used to give
// way silently to the program's own plug-in of that name.
TEST(Catalogue, APlugInWithoutAReadableDescriptionIsAFaultAndNoneOfItsNameStandsIn) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  const fs::path bare = folder("bare");
  copy_pipe(bare, "Pipe", false);
  const fs::path broken = folder("broken");
  copy_pipe(broken, "Pipe", false);
  std::ofstream(broken / "Pipe.yaml") << "component: [Pipe\n";

  const std::string missing = error_of<engine::PluginError>(plant("Pipe"), sim::Catalogue({bare, kPlugins, kBuiltins}));
  EXPECT_NE(missing.find((bare / "Pipe.so").string() + ": no network description Pipe.yaml beside it"),
            std::string::npos)
      << missing;
  const std::string unreadable =
      error_of<engine::PluginError>(plant("Pipe"), sim::Catalogue({broken, kPlugins, kBuiltins}));
  EXPECT_NE(unreadable.find((broken / "Pipe.yaml").string() + ":2:1: error: YAML syntax"), std::string::npos)
      << unreadable;
  EXPECT_NE(unreadable.find("(the description of " + (broken / "Pipe.so").string() + ")"), std::string::npos)
      << unreadable;
}

TEST(Catalogue, TwoPlugInsOfOneNameAreAFaultAndOneFolderGivenTwiceIsNot) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  const fs::path mine = folder("mine");
  copy_pipe(mine, "Pipe");
  const std::string twice = error_of<engine::PluginError>(plant("Pipe"), sim::Catalogue({mine, kPlugins, kBuiltins}));
  EXPECT_NE(twice.find("two components named Pipe: " + (mine / "Pipe.so").string() + " and "), std::string::npos)
      << twice;

  const sim::Catalogue again({kPlugins, kBuiltins, kPlugins / ".." / "plugins", fs::path(kPlugins.string() + "/")});
  EXPECT_EQ(again.directories().size(), 2U);
  EXPECT_EQ(error_of<std::exception>(plant("Pipe"), again), "(it loads)");
  EXPECT_TRUE(again.external_plugins().empty());
}

// A host that is not the program (the Python module) says which folders are its own: plugins/ and
// builtins/ of its build or installation. A plug-in from any other folder is external.
TEST(Catalogue, TheHostsOwnFoldersAreThoseItGives) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  const fs::path root = kPlugins.parent_path();
  EXPECT_EQ(sim::Catalogue::own_directories(root), (std::vector<fs::path>{root / "plugins", root / "builtins"}));
  EXPECT_TRUE(sim::Catalogue::own_directories(folder("empty")).empty());
  const sim::Catalogue own({kPlugins, kBuiltins}, sim::Catalogue::own_directories(root));
  EXPECT_EQ(error_of<std::exception>(plant("Pipe"), own), "(it loads)");
  EXPECT_TRUE(own.external_plugins().empty());
  const sim::Catalogue other({kPlugins, kBuiltins}, {});
  EXPECT_EQ(error_of<std::exception>(plant("Pipe"), other), "(it loads)");
  const std::vector<fs::path> external = other.external_plugins();
  EXPECT_NE(std::find(external.begin(), external.end(), kPlugins / "Pipe.so"), external.end());
}

// A model file's plugins: used to load any folder it named, and with it any library's code.
TEST(Catalogue, AModelNamesOnlyFoldersTheUserAllowed) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "valve");
  const fs::path mine = folder("mine");
  copy_pipe(mine, "MyPipe");
  // The model file is written into the temporary folder: a relative folder is taken from there.
  const fs::path relative = fs::relative(mine, write_model("").parent_path());
  const std::string text = plant("MyPipe", "plugins: [" + relative.string() + "]\n");

  const std::string refused = error_of<sim::ModelError>(text, sim::Catalogue({kPlugins, kBuiltins}));
  EXPECT_NE(refused.find(":1:11: error: the plug-in folder " + mine.string() + " is not allowed"), std::string::npos)
      << refused;
  EXPECT_NE(refused.find(" is not allowed: a model names only folders given with --plugins or in PENSTOCK_PLUGIN_PATH"),
            std::string::npos)
      << refused;
  EXPECT_FALSE(in_process(mine / "MyPipe.so"));

  const sim::Catalogue allowed({mine, kPlugins, kBuiltins});
  EXPECT_EQ(error_of<std::exception>(text, allowed), "(it loads)");
  EXPECT_TRUE(in_process(mine / "MyPipe.so"));
  EXPECT_EQ(allowed.external_plugins(), std::vector<fs::path>{mine / "MyPipe.so"});

  const std::string missing =
      error_of<engine::PluginError>(plant("Pipe"), sim::Catalogue({mine / "nowhere", kPlugins}));
  EXPECT_NE(missing.find((mine / "nowhere").string() + ": no such plug-in folder"), std::string::npos) << missing;
}

// Threads that share a catalogue share each plug-in, loaded once (ThreadSanitizer saw the first
// uses race on the cache).
TEST(Catalogue, ThreadsSharingACatalogueLoadEachPlugInOnce) {
  PENSTOCK_REQUIRE_COMPONENTS("Pipe", "valve", "Headwater");
  constexpr int kThreads = 8;
  for (int round = 0; round < 5; ++round) {
    const sim::Catalogue shared({kPlugins, kBuiltins});
    std::vector<std::shared_ptr<const engine::Plugin>> seen(kThreads);
    std::atomic<size_t> parameters{0};
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        const char* name = t % 2 == 0 ? "Pipe" : "valve";
        parameters += shared.parameter_names(name).size();
        seen[static_cast<size_t>(t)] = shared.plugin(name);
        shared.plugin("Headwater");
      });
    }
    for (auto& t : threads) t.join();
    for (int t = 2; t < kThreads; ++t)
      EXPECT_EQ(seen[static_cast<size_t>(t)].get(), seen[static_cast<size_t>(t % 2)].get());
    EXPECT_EQ(parameters,
              kThreads / 2 * (shared.parameter_names("Pipe").size() + shared.parameter_names("valve").size()));
  }
}

}  // namespace
}  // namespace penstock::testing
