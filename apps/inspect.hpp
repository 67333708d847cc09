// SPDX-License-Identifier: BSD-3-Clause
// penstock inspect: print the group a plug-in declares.
#pragma once

#include <filesystem>
#include <string>

#include "penstock/engine.hpp"

namespace penstock::app {

// The declared group in words: inputs, equations with kind, differential input and slots, zero
// crossings, modes and parameter names.
std::string describe(const engine::Plugin& plugin);

}  // namespace penstock::app
