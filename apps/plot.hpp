// penstock plot: draw results files with gnuplot, one panel per quantity (pressure, flow, level,
// speed, torque, connection state, ...), time on the shared axis, units on the axes, a legend.
#pragma once

#include <CLI/CLI.hpp>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "penstock/sim/dae.hpp"
#include "penstock/sim/model.hpp"

namespace penstock::app {

// What recorded variables measure ("pressure", "flow", "level", "volume", "speed", "torque",
// "logical", ...), by name: a column is looked up by its full name, then by its last part (after
// the last '.').
using VariableKinds = std::map<std::string, std::string>;

// The model's own: every variable's full name with its kind.
VariableKinds kinds_of(const sim::DaeSystem& system);
// The descriptions': by last part, every own variable a description names with the kind it gives
// it, and the node across variables p (pressure) and w (speed). A "ratio", which is what a
// description says of a variable it tells nothing about, yields to another description's kind for
// the name; a name given two other kinds is left out.
VariableKinds kinds_of(const sim::Catalogue& catalogue);

// The panel of a column and its unit (SI, before scaling). Pressures, flows, levels, volumes,
// speeds and torques have a panel each, logical variables share the "state" panel; any other
// column, or one whose kind is not known, gets a panel named after its last part, without a unit.
struct Quantity {
  std::string name;  // panel key and axis label
  std::string unit;
  bool state = false;  // drawn as steps between 0 and 1
};
Quantity quantity_of(const std::string& column, const VariableKinds& kinds);

// A horizontal line drawn in the panel of a column, at a value in the column's SI unit.
struct PlotMark {
  std::string column;
  double value = 0.0;
  std::string label;
};

struct PlotRequest {
  std::vector<std::filesystem::path> results;  // CSV files as penstock simulate writes them
  std::filesystem::path image;                 // PNG; empty: the first file's name with .png
  std::vector<std::string> columns;            // recorded variables to draw; empty: all
  std::vector<PlotMark> marks;
  std::string title;    // empty: the file names
  VariableKinds kinds;  // what the columns measure
};

// Writes the PNG and returns its path. Throws std::runtime_error when a file cannot be read, a
// column is missing, gnuplot is not installed or gnuplot fails.
std::filesystem::path plot_results(const PlotRequest& request);

// Reads "column=value[:label]"; throws std::invalid_argument.
PlotMark parse_mark(const std::string& text);

void add_plot_command(CLI::App& app);

}  // namespace penstock::app
