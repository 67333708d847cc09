// SPDX-License-Identifier: BSD-3-Clause
// libFuzzer's entry: the input as a model file, loaded against the built plug-ins. A ModelError or
// a PluginError is the loader saying no, as it should; a crash, a sanitizer's report or any other
// exception escaping is a finding.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "penstock/engine.hpp"
#include "penstock/sim/model.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace fs = std::filesystem;
  static const penstock::sim::Catalogue catalogue(
      {fs::path(PENSTOCK_PLUGIN_DIR), fs::path(PENSTOCK_PLUGIN_DIR) / ".." / "builtins"});
  // One file per process (libFuzzer's workers are processes of their own), removed at exit.
  struct TempFile {
    fs::path path = fs::temp_directory_path() / ("penstock_fuzz_" + std::to_string(getpid()) + ".yaml");
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
      std::error_code ignored;
      fs::remove(path, ignored);
    }
  };
  static const TempFile temp;
  const fs::path& file = temp.path;
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  try {
    penstock::sim::CheckReport report;
    penstock::sim::load_model(file, catalogue, &report);
  } catch (const penstock::sim::ModelError&) {
  } catch (const penstock::engine::PluginError&) {
  }
  return 0;
}
