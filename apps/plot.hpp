// SPDX-License-Identifier: BSD-3-Clause
// penstock plot: draw results files with gnuplot, one panel per quantity (pressure, flow, level,
// speed, torque, connection state, ...), time on the shared axis, units on the axes, a legend; or,
// with --envelope, the head envelope of each WavePipe along the pipe.
#pragma once

#include <CLI/CLI.hpp>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
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

// The panel of a column and its unit (SI, before scaling). Pressures, flows, levels, volumes, powers,
// speeds and torques have a panel each, logical variables share the "state" panel; any other
// column, or one whose kind is not known, gets a panel named after its last part, without a unit.
struct Quantity {
  std::string name;  // panel key and axis label
  std::string unit;
  bool state = false;  // drawn as steps between 0 and 1
};
Quantity quantity_of(const std::string& column, const VariableKinds& kinds);

// A horizontal line drawn in the panel of a column. The value is in unit when one is given ("12",
// "bar": 12 bar), else in the unit the panel's axis shows (bar, or the --pressure-unit, for a
// pressure).
struct PlotMark {
  std::string column;
  double value = 0.0;
  std::string unit;  // as written; "" for the panel's own
  std::string label;
};

// An axis range; a side not given is left to the data.
struct PlotRange {
  std::optional<double> low, high;
};

// The unit pressures are drawn in: bar, kPa, Pa, or mH2O (the pressure as a head of the fluid, of
// density rho, g = 9.81 m/s²). Pressures are gauge, as the model computes them.
struct PressureUnit {
  std::string name;      // as the axis shows it: "bar", "kPa", "Pa", "m H₂O" (or "m" for another fluid)
  double pascals = 1.0;  // the pressure of one unit
  std::string axis;      // the axis label: "pressure [bar, gauge]"
};
// Throws std::invalid_argument for another name or a density that is not positive.
PressureUnit pressure_unit(const std::string& name, double density = 1000.0);

struct PlotRequest {
  std::vector<std::filesystem::path> results;  // CSV files as penstock simulate writes them
  std::filesystem::path image;                 // PNG; empty: the first file's name with .png
  std::vector<std::string> columns;            // recorded variables to draw; empty: all
  std::vector<PlotMark> marks;
  std::string title;                               // empty: the file names
  VariableKinds kinds;                             // what the columns measure
  std::optional<PlotRange> xrange;                 // time [s]; none: the files' span
  std::optional<PlotRange> yrange;                 // of every panel without one of its own, in its unit
  std::map<std::string, PlotRange> panel_yranges;  // by panel ("pressure", "flow", ...), in its unit
  std::string pressure_unit = "bar";
  double density = 1000.0;  // of the fluid, for pressures drawn as head (mH2O) [kg/m³]
};

// "A:B", "A:" or ":B" (also "*" for a side left to the data); throws std::invalid_argument.
PlotRange parse_range(const std::string& text);
// A --yrange: "A:B" for every panel, or "panel=A:B". The panel is "" for every panel.
std::pair<std::string, PlotRange> parse_panel_range(const std::string& text);

// The title of the plots of a model file: its top-level "name:" if it has one, else the first
// sentence of the comment it begins with (a long one cut at its first colon or after some words),
// else the file's name. A file that cannot be read gives
// its name.
std::string model_title(const std::filesystem::path& model);

// The gnuplot script of plot_results, without running gnuplot (see plot_results for the throws).
std::string results_script(const PlotRequest& request, const std::filesystem::path& image);

// Writes the PNG (nothing when anything fails) and returns its path. Throws std::runtime_error when a
// file cannot be read, a column is missing, a mark or a range does not fit its panel, gnuplot is not
// installed or gnuplot fails. gnuplot's warnings go to standard error.
std::filesystem::path plot_results(const PlotRequest& request);

// The extremes of the heads along the WavePipes of a model, as penstock simulate writes them to
// <results stem>.envelope.csv: the header
//   pipe,node,x,z,p_min,t_p_min,p_max,t_p_max,h_min,t_h_min,h_max,t_h_max[,h_vapour]
// then one row per grid node, the rows of a pipe together and its nodes numbered 0, 1, ... in order
// of x. Only what is drawn is kept; the other values are checked to be numbers.
struct EnvelopeNode {
  double x = 0.0;  // distance from end A [m]
  double z = 0.0;  // elevation of the pipe's axis [m]
  double h_min = 0.0, h_max = 0.0;
  double h_vapour = std::numeric_limits<double>::quiet_NaN();  // the head at the vapour pressure, if given
};
struct EnvelopePipe {
  std::string pipe;
  std::vector<EnvelopeNode> nodes;
  // Whether the minimum head falls below the vapour-pressure head at some node.
  bool separates() const;
};
struct EnvelopeFile {
  std::filesystem::path file;
  bool vapour = false;  // the file has the column h_vapour
  std::vector<EnvelopePipe> pipes;
};

// Throws std::runtime_error naming the file, and the line and column of the fault in it: a file that
// cannot be read or is empty, a header that is not an envelope header, a row with another number of
// values than the header, a value that is not a finite number, a node out of order, a pipe whose rows
// are split, no rows.
EnvelopeFile read_envelope(const std::filesystem::path& file);

// The gnuplot script that draws one panel per pipe into image: the distance x from end A across, the
// head up; the maximum and minimum head, the pipe's axis z(x) and, when the file has it, the
// vapour-pressure head, with the band where the minimum head falls below it shaded. The curves read
// the envelope file itself, each pipe's rows picked by the name in the first column. title empty: the
// file's name.
std::string envelope_script(const EnvelopeFile& envelope, const std::filesystem::path& image, const std::string& title);

struct EnvelopeRequest {
  std::filesystem::path file;   // an envelope file
  std::filesystem::path image;  // PNG; empty: the file's name with .png
  std::string title;
};

// Writes the PNG (nothing when anything fails) and returns its path. Throws std::runtime_error as
// read_envelope does, and when gnuplot is not installed or fails.
std::filesystem::path plot_envelope(const EnvelopeRequest& request);

// Reads "column=value[ unit][:label]" ("gate.p=12", "gate.p=12 bar:limit"); throws
// std::invalid_argument.
PlotMark parse_mark(const std::string& text);

void add_plot_command(CLI::App& app);

}  // namespace penstock::app
