// SPDX-License-Identifier: BSD-3-Clause
// penstock check and penstock components: load and assemble a model without simulating it, and
// list the components a model may use.
#pragma once

#include <CLI/CLI.hpp>

namespace penstock::app {

void add_model_commands(CLI::App& app);

}  // namespace penstock::app
