// SPDX-License-Identifier: BSD-3-Clause
// penstock simulate: load a model, integrate it and write its results.
#pragma once

#include <CLI/CLI.hpp>

namespace penstock::app {

void add_simulate_command(CLI::App& app);

}  // namespace penstock::app
