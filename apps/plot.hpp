// penstock plot: draw results files with gnuplot, one panel per quantity (pressure, flow, level,
// speed, torque, connection state, ...), time on the shared axis, units on the axes, a legend.
#pragma once

#include <CLI/CLI.hpp>
#include <filesystem>
#include <string>
#include <vector>

namespace penstock::app {

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
  std::string title;  // empty: the file names
};

// Writes the PNG and returns its path. Throws std::runtime_error when a file cannot be read, a
// column is missing, gnuplot is not installed or gnuplot fails.
std::filesystem::path plot_results(const PlotRequest& request);

// Reads "column=value[:label]"; throws std::invalid_argument.
PlotMark parse_mark(const std::string& text);

void add_plot_command(CLI::App& app);

}  // namespace penstock::app
