// SPDX-License-Identifier: BSD-3-Clause
#include "plot.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "../simulator/model/units.hpp"

namespace penstock::app {
namespace {

// The unit a panel is drawn in, the divisor from SI and the axis label: pressures in the pressure
// unit asked for, large torques in kN m or MN m and large powers in kW or MW (by the largest value
// of the data).
struct Scale {
  std::string unit;
  double divisor = 1.0;
  std::string axis;
};

Scale scale_of(const Quantity& q, double largest, const PressureUnit& pressure) {
  if (q.name == "pressure") return {pressure.name, pressure.pascals, pressure.axis};
  Scale s{q.unit.empty() ? "-" : q.unit, 1.0, ""};
  if (q.name == "torque" && largest >= 1e7) s = {"MN m", 1e6, ""};
  if (q.name == "torque" && largest >= 1e4 && largest < 1e7) s = {"kN m", 1e3, ""};
  if (q.name == "power" && largest >= 1e7) s = {"MW", 1e6, ""};
  if (q.name == "power" && largest >= 1e4 && largest < 1e7) s = {"kW", 1e3, ""};
  s.axis = q.name + " [" + s.unit + "]";
  return s;
}

// The dimension, in the unit table's words, of the values of each panel with a unit.
const std::map<std::string, std::string> kDimensions{
    {"pressure", "pressure"},   {"flow", "flow"},     {"level", "length"}, {"volume", "volume"},
    {"speed", "angular speed"}, {"torque", "torque"}, {"power", "power"},
};

const double kInf = std::numeric_limits<double>::infinity();

struct Table {
  std::filesystem::path file;
  std::vector<std::string> columns;  // without the time
  std::vector<double> largest;       // largest magnitude of each column
  std::vector<double> low, high;     // the extremes of each column within the time range drawn
  double t0 = 0.0, t1 = 0.0;
  size_t rows = 0;
};

std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> cells;
  std::stringstream in(line);
  std::string cell;
  while (std::getline(in, cell, ',')) {
    if (!cell.empty() && cell.back() == '\r') cell.pop_back();
    cells.push_back(cell);
  }
  return cells;
}

Table read_table(const std::filesystem::path& file, const std::optional<PlotRange>& xrange) {
  std::ifstream in(file);
  if (!in) throw std::runtime_error(fmt::format("cannot read {}", file.string()));
  Table t;
  t.file = file;
  std::string line;
  if (!std::getline(in, line)) throw std::runtime_error(fmt::format("{}: the file is empty", file.string()));
  std::vector<std::string> header = split(line);
  if (header.size() < 2 || header.front() != "time")
    throw std::runtime_error(fmt::format("{}: not a results file (the first column is not 'time')", file.string()));
  t.columns.assign(header.begin() + 1, header.end());
  t.largest.assign(t.columns.size(), 0.0);
  t.low.assign(t.columns.size(), kInf);
  t.high.assign(t.columns.size(), -kInf);
  const double from = xrange && xrange->low ? *xrange->low : -kInf;
  const double to = xrange && xrange->high ? *xrange->high : kInf;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    const std::vector<std::string> cells = split(line);
    if (cells.size() != header.size())
      throw std::runtime_error(fmt::format("{}: row {} has {} values, the header {}", file.string(), t.rows + 2,
                                           cells.size(), header.size()));
    const double time = std::strtod(cells[0].c_str(), nullptr);
    if (t.rows == 0) t.t0 = time;
    t.t1 = time;
    const bool drawn = time >= from && time <= to;
    for (size_t k = 0; k < t.columns.size(); ++k) {
      const double v = std::strtod(cells[k + 1].c_str(), nullptr);
      if (!std::isfinite(v)) continue;
      t.largest[k] = std::max(t.largest[k], std::fabs(v));
      if (drawn) t.low[k] = std::min(t.low[k], v), t.high[k] = std::max(t.high[k], v);
    }
    ++t.rows;
  }
  if (t.rows == 0) throw std::runtime_error(fmt::format("{}: no rows of results", file.string()));
  return t;
}

// A gnuplot string literal: single quotes, a quote doubled.
std::string gp_string(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

bool gnuplot_installed() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::filesystem::path candidate = std::filesystem::path(dir.empty() ? "." : dir) / "gnuplot";
    if (::access(candidate.c_str(), X_OK) == 0) return true;
  }
  return false;
}

struct Curve {
  size_t table;
  size_t column;  // 0-based among the table's columns (the CSV column is column + 2)
};

// A mark with its value in the unit of its panel's axis.
struct DrawnMark {
  double value = 0.0;
  std::string label;
};

struct Panel {
  Quantity quantity;
  std::vector<Curve> curves;
  std::vector<PlotMark> marks;
  double largest = 0.0;             // of the curves, SI
  double low = kInf, high = -kInf;  // of the curves within the time range drawn, SI
};

// More curves than this in a panel are drawn thin in a run of colours, the first and the last named.
constexpr size_t kNamedCurves = 8;

// A name of at most 32 characters for the legend: a longer one keeps its beginning and its end.
std::string legend_name(const std::string& name) {
  constexpr size_t kLongest = 32;
  if (name.size() <= kLongest) return name;
  return name.substr(0, 14) + "..." + name.substr(name.size() - 15);
}

// The beginning of every script: a PNG of width × height pixels into image, CSV input, a grid, the
// legend a compact row (or a few) above each panel, at its left.
std::string preamble(int width, int height, const std::filesystem::path& image) {
  std::string s;
  auto line = [&s](const std::string& text) { s += text + "\n"; };
  line("set encoding utf8");
  line(
      fmt::format("if (strstrt(GPVAL_TERMINALS, 'pngcairo') > 0) {{ set terminal pngcairo size {0},{1} font 'sans,11' "
                  "noenhanced linewidth 1.5 }} else {{ set terminal png size {0},{1} noenhanced }}",
                  width, height));
  line("set output " + gp_string(image.string()));
  line("set datafile separator ','");
  line("set grid");
  line("set key tmargin left horizontal Left reverse nobox samplen 2 spacing 1 width 1 font ',10'");
  line("set lmargin 12");
  line("set rmargin 4");
  return s;
}

// gnuplot's "[low:high]", a side not given "*".
std::string gp_range(const PlotRange& r) {
  return fmt::format("[{}:{}]", r.low ? fmt::format("{}", *r.low) : "*", r.high ? fmt::format("{}", *r.high) : "*");
}

// The value of a mark in the unit of its panel's axis.
double mark_value(const PlotMark& m, const Panel& p, const Scale& sc, double density) {
  if (m.unit.empty()) return m.value;
  const std::string written = fmt::format("{}={} {}", m.column, m.value, m.unit);
  const auto dimension = kDimensions.find(p.quantity.name);
  if (dimension == kDimensions.end())
    throw std::runtime_error(
        fmt::format("the mark '{}': the panel '{}' has no unit; give the value without one", written, p.quantity.name));
  std::string unit = m.unit;
  unit.erase(std::remove(unit.begin(), unit.end(), ' '), unit.end());
  if (unit == "mH2O" || unit == "mWC") {
    if (p.quantity.name != "pressure")
      throw std::runtime_error(fmt::format("the mark '{}': {} is a pressure head, the panel of {} shows {}", written,
                                           m.unit, m.column, p.quantity.name));
    return m.value * pressure_unit("mH2O", density).pascals / sc.divisor;  // a head of the fluid drawn
  }
  const std::optional<sim::detail::Unit> u = sim::detail::find_unit(m.unit);
  if (!u) throw std::runtime_error(fmt::format("the mark '{}': '{}' is not a known unit", written, m.unit));
  if (u->dimension != dimension->second)
    throw std::runtime_error(fmt::format("the mark '{}': {} measures {}, the panel of {} shows {} ({})", written,
                                         m.unit, u->dimension.empty() ? "nothing" : u->dimension, m.column,
                                         p.quantity.name, sc.unit));
  return m.value * u->factor / sc.divisor;
}

std::string script(const PlotRequest& r, const std::vector<Table>& tables, const std::vector<Panel>& panels,
                   const std::filesystem::path& image) {
  const PressureUnit pressure = pressure_unit(r.pressure_unit, r.density);
  double t0 = tables.front().t0, t1 = tables.front().t1;
  for (const auto& t : tables) t0 = std::min(t0, t.t0), t1 = std::max(t1, t.t1);
  if (r.xrange && r.xrange->low) t0 = *r.xrange->low;
  if (r.xrange && r.xrange->high) t1 = *r.xrange->high;
  if (!(t1 > t0)) t1 = t0 + 1.0;
  std::string title = r.title;
  if (title.empty()) {
    for (const auto& t : tables) title += (title.empty() ? "" : ", ") + t.file.filename().string();
  }
  for (const auto& asked : r.panel_yranges) {
    const std::string& name = asked.first;
    if (std::none_of(panels.begin(), panels.end(), [&name](const Panel& p) { return p.quantity.name == name; })) {
      std::string names;
      for (const Panel& p : panels) names += (names.empty() ? "" : ", ") + p.quantity.name;
      throw std::runtime_error(fmt::format("--yrange {}=...: no panel '{}'; the panels are {}", name, name, names));
    }
  }
  // The legend's rows: a row holds about four entries.
  std::vector<int> rows;
  int height = 70;
  for (const Panel& p : panels) {
    const size_t entries = std::min(p.curves.size(), kNamedCurves + 1) + p.marks.size();
    rows.push_back(static_cast<int>((entries + 3) / 4));
    height += 250 + 17 * rows.back();
  }
  const int width = 1200;
  std::string s = preamble(width, height, image);
  auto line = [&s](const std::string& text) { s += text + "\n"; };
  line(fmt::format("set xrange [{}:{}]", t0, t1));
  // The title a line above the legend of the first panel.
  line(fmt::format("set multiplot layout {},1 title {}.\"\\n\"", panels.size(), gp_string(title)));
  const bool several = tables.size() > 1;
  for (size_t i = 0; i < panels.size(); ++i) {
    const Panel& p = panels[i];
    const Scale sc = scale_of(p.quantity, p.largest, pressure);
    line(fmt::format("set ylabel {}", gp_string(sc.axis)));
    line(i + 1 == panels.size() ? "set xlabel 'time [s]'" : "unset xlabel");
    const auto own = r.panel_yranges.find(p.quantity.name);
    std::optional<PlotRange> asked;
    if (own != r.panel_yranges.end()) asked = own->second;
    if (!asked && r.yrange) asked = r.yrange;
    std::vector<double> marks;  // in the unit of the axis
    double low = p.low / sc.divisor, high = p.high / sc.divisor;
    for (const PlotMark& m : p.marks) {
      marks.push_back(mark_value(m, p, sc, r.density));
      low = std::min(low, marks.back()), high = std::max(high, marks.back());
    }
    // Room around the curves, so that none runs along the frame.
    line("set offsets 0, 0, graph 0.05, graph 0.05");
    if (p.quantity.state && !asked) {
      line("set offsets 0, 0, 0, 0");
      line("set yrange [-0.1:1.1]");
      line("set ytics 0,1,1");
    } else {
      line("set ytics autofreq");
      if (asked) {
        line("set yrange " + gp_range(*asked));
      } else if (!(high - low > 1e-9 * std::max(std::fabs(low), std::fabs(high)))) {
        // Constant (or nothing to draw): a range around the value, where gnuplot would find none.
        const double value = low <= high ? (low + high) / 2.0 : 0.0;
        const double margin = value != 0.0 ? 0.1 * std::fabs(value) : 1.0;
        line(fmt::format("set yrange [{}:{}]", value - margin, value + margin));
      } else {
        line("set autoscale y");
      }
    }
    std::vector<std::string> items;
    const bool many = p.curves.size() > kNamedCurves;
    if (many) {
      line("set palette defined (0 'blue', 0.5 'dark-green', 1 'red')");
      line("unset colorbox");
    }
    for (size_t k = 0; k < p.curves.size(); ++k) {
      const Curve& c = p.curves[k];
      const Table& t = tables[c.table];
      std::string name = legend_name(t.columns[c.column]);
      if (several) name += " (" + t.file.stem().string() + ")";
      const std::string y = sc.divisor == 1.0 ? fmt::format("{}", c.column + 2)
                                              : fmt::format("(column({})/{})", c.column + 2, sc.divisor);
      std::string style = p.quantity.state ? "steps" : "lines";
      std::string key = "title " + gp_string(name);
      if (many) {
        const double frac = static_cast<double>(k) / static_cast<double>(p.curves.size() - 1);
        style += fmt::format(" lw 0.5 lc palette frac {:.4f}", frac);
        if (k == 0) {
          key = "title " + gp_string(fmt::format("{} (first of {} curves)", name, p.curves.size()));
        } else if (k + 1 == p.curves.size()) {
          key = "title " + gp_string(name + " (last)");
        } else {
          key = "notitle";
        }
      }
      items.push_back(fmt::format("{} skip 1 using 1:{} with {} {}", gp_string(t.file.string()), y, style, key));
    }
    for (size_t k = 0; k < p.marks.size(); ++k) {
      const PlotMark& m = p.marks[k];
      const double value = marks[k];
      const std::string label = m.label.empty() ? fmt::format("{} = {:.6g} {}", m.column, value, sc.unit) : m.label;
      items.push_back(fmt::format("{} with lines lw 1.5 dashtype {} lc rgb '{}' title {}", value, 2 + k,
                                  k % 2 == 0 ? "black" : "dark-red", gp_string(label)));
    }
    std::string plot = "plot ";
    for (size_t k = 0; k < items.size(); ++k) plot += (k == 0 ? "" : ", \\\n     ") + items[k];
    line(plot);
  }
  line("unset multiplot");
  line("set output");
  return s;
}

// The columns of an envelope file; those drawn by their numbers, counted from 1 as gnuplot does.
const std::vector<std::string> kEnvelopeColumns{"pipe",    "node",  "x",       "z",     "p_min",   "t_p_min", "p_max",
                                                "t_p_max", "h_min", "t_h_min", "h_max", "t_h_max", "h_vapour"};
constexpr int kColNode = 2, kColX = 3, kColZ = 4, kColHMin = 9, kColHMax = 11, kColHVapour = 13;

// A line of a CSV file cut at the commas, with the 1-based character column each cell begins at.
struct Cells {
  std::vector<std::string> text;
  std::vector<size_t> at;
};

Cells cut(const std::string& line) {
  Cells c;
  size_t begin = 0;
  while (true) {
    const size_t comma = line.find(',', begin);
    c.text.push_back(line.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin));
    c.at.push_back(begin + 1);
    if (comma == std::string::npos) break;
    begin = comma + 1;
  }
  return c;
}

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

std::string join(const std::vector<std::string>& names, size_t count) {
  std::string out;
  for (size_t k = 0; k < count; ++k) out += (k == 0 ? "" : ",") + names[k];
  return out;
}

// The gnuplot expression of column c of the rows of one pipe (undefined on the other pipes' rows).
std::string of_pipe(const std::string& pipe, int column) { return fmt::format("row({}, {})", gp_string(pipe), column); }

struct Options {
  PlotRequest request;
  EnvelopeRequest envelope;
  std::vector<std::string> marks;
  std::string xrange;
  std::vector<std::string> yranges;
  std::filesystem::path model;
  std::vector<std::filesystem::path> plugin_dirs;
};

}  // namespace

VariableKinds kinds_of(const sim::DaeSystem& system) {
  VariableKinds kinds;
  for (size_t i = 0; i < system.size(); ++i) kinds[system.variable_names()[i]] = system.variable_kind(i);
  return kinds;
}

VariableKinds kinds_of(const sim::Catalogue& catalogue) {
  std::map<std::string, std::set<std::string>> given{{"p", {"pressure"}}, {"w", {"speed"}}};
  for (const auto& name : catalogue.names()) {
    const sim::Description& d = *catalogue.find(name);
    for (const auto& v : d.named_variables()) given[v].insert(d.kind_of(v));
  }
  VariableKinds kinds;
  for (auto& [name, set] : given) {
    if (set.size() > 1) set.erase("ratio");
    if (set.size() == 1) kinds[name] = *set.begin();
  }
  return kinds;
}

Quantity quantity_of(const std::string& column, const VariableKinds& kinds) {
  static const std::map<std::string, Quantity> panels{
      {"pressure", {"pressure", "Pa"}}, {"flow", {"flow", "m³/s"}},
      {"level", {"level", "m"}},        {"volume", {"volume", "m³"}},
      {"speed", {"speed", "rad/s"}},    {"torque", {"torque", "N m"}},
      {"power", {"power", "W"}},        {"logical", {"state", "0 off, 1 on", true}},
  };
  const size_t dot = column.rfind('.');
  std::string last = dot == std::string::npos ? column : column.substr(dot + 1);
  // A node along a pipe, p[3], measures what p measures.
  if (const size_t bracket = last.find('['); bracket != std::string::npos && bracket > 0 && last.back() == ']')
    last.erase(bracket);
  auto kind = kinds.find(column);
  if (kind == kinds.end()) kind = kinds.find(last);
  if (kind != kinds.end()) {
    if (const auto panel = panels.find(kind->second); panel != panels.end()) return panel->second;
  }
  return {last, ""};
}

PlotMark parse_mark(const std::string& text) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0)
    throw std::invalid_argument("a mark is column=value[ unit][:label], not '" + text + "'");
  PlotMark m;
  m.column = text.substr(0, eq);
  const std::string rest = text.substr(eq + 1);
  const size_t colon = rest.find(':');
  const std::string quantity = trimmed(rest.substr(0, colon));
  char* end = nullptr;
  m.value = std::strtod(quantity.c_str(), &end);
  const size_t length = static_cast<size_t>(end - quantity.c_str());
  if (length == 0 || !std::isfinite(m.value))
    throw std::invalid_argument("the value of the mark '" + text + "' is not a number");
  m.unit = trimmed(quantity.substr(length));
  const bool word = !m.unit.empty() && (std::isalpha(static_cast<unsigned char>(m.unit.front())) != 0 ||
                                        m.unit.front() == '%' || m.unit.front() == '-');
  if (!m.unit.empty() && !word)
    throw std::invalid_argument("the value of the mark '" + text + "' is not a number with a unit");
  if (colon != std::string::npos) m.label = rest.substr(colon + 1);
  return m;
}

PlotRange parse_range(const std::string& text) {
  const size_t colon = text.find(':');
  const std::string shape =
      "a range is low:high (either side may be left out or '*', as in 0:30 or 10:), not '" + text + "'";
  if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) throw std::invalid_argument(shape);
  PlotRange r;
  auto side = [&shape](const std::string& written) -> std::optional<double> {
    const std::string t = trimmed(written);
    if (t.empty() || t == "*") return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(t.c_str(), &end);
    if (end != t.c_str() + t.size() || !std::isfinite(v)) throw std::invalid_argument(shape);
    return v;
  };
  r.low = side(text.substr(0, colon));
  r.high = side(text.substr(colon + 1));
  if (r.low && r.high && !(*r.high > *r.low))
    throw std::invalid_argument(fmt::format("the range '{}' is empty: its high end is not above its low end", text));
  return r;
}

std::pair<std::string, PlotRange> parse_panel_range(const std::string& text) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos) return {"", parse_range(text)};
  const std::string panel = trimmed(text.substr(0, eq));
  if (panel.empty()) throw std::invalid_argument("a y range is low:high or panel=low:high, not '" + text + "'");
  return {panel, parse_range(text.substr(eq + 1))};
}

PressureUnit pressure_unit(const std::string& name, double density) {
  constexpr double kGravity = 9.81;
  if (name == "bar") return {name, 1e5, "pressure [bar, gauge]"};
  if (name == "kPa") return {name, 1e3, "pressure [kPa, gauge]"};
  if (name == "Pa") return {name, 1.0, "pressure [Pa, gauge]"};
  if (name == "mH2O") {
    if (!(density > 0.0) || !std::isfinite(density))
      throw std::invalid_argument(fmt::format("the density {} kg/m³ is not positive", density));
    const std::string of = density == 1000.0 ? "m H₂O" : fmt::format("m of fluid at {:g} kg/m³", density);
    return {density == 1000.0 ? "m H₂O" : "m", density * kGravity, "pressure head [" + of + ", gauge]"};
  }
  throw std::invalid_argument("the pressure unit is bar, kPa, Pa or mH2O, not '" + name + "'");
}

std::string model_title(const std::filesystem::path& model) {
  std::string fallback = model.filename().string();
  std::ifstream in(model);
  if (!in) return fallback;
  std::string line, comment;
  bool in_comment = true;  // still in the comment the file begins with
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("name:", 0) == 0) {
      std::string name = trimmed(line.substr(5));
      if (const size_t hash = name.find(" #"); hash != std::string::npos) name = trimmed(name.substr(0, hash));
      if (name.size() >= 2 && (name.front() == '"' || name.front() == '\'') && name.back() == name.front())
        name = name.substr(1, name.size() - 2);
      if (!name.empty()) return name;
    }
    if (!in_comment) continue;
    const std::string t = trimmed(line);
    if (t.rfind('#', 0) != 0) {
      in_comment = t.empty() && comment.empty();  // blank lines before the comment
      continue;
    }
    const std::string words = trimmed(t.substr(t.find_first_not_of('#')));
    if (words.empty()) {
      in_comment = comment.empty();  // the first paragraph ends at an empty comment line
      continue;
    }
    comment += (comment.empty() ? "" : " ") + words;
    // The first sentence: up to a full stop that ends a line or is followed by a space.
    if (words.back() == '.') in_comment = false;
    if (const size_t stop = comment.find(". "); stop != std::string::npos) {
      comment.erase(stop + 1);
      in_comment = false;
    }
  }
  if (comment.empty()) return fallback;
  if (comment.back() == '.') comment.pop_back();
  // A title that would not fit above the panels: what comes before its first colon, else its first
  // words.
  constexpr size_t kLongest = 100;
  if (comment.size() > kLongest) {
    const size_t colon = comment.find(": ");
    if (colon != std::string::npos && colon > 0 && colon <= kLongest) return comment.substr(0, colon);
    const size_t space = comment.rfind(' ', kLongest - 3);
    comment = comment.substr(0, space == std::string::npos ? kLongest - 3 : space) + "...";
  }
  return comment;
}

namespace {

// The panels of a request, with the tables they draw from.
std::vector<Panel> panels_of(const PlotRequest& r, const std::vector<Table>& tables) {
  // Panels in the order their quantities first appear; curves in column order.
  std::vector<Panel> panels;
  auto panel_of = [&panels](const Quantity& q) -> Panel& {
    for (auto& p : panels)
      if (p.quantity.name == q.name) return p;
    panels.emplace_back();
    panels.back().quantity = q;
    return panels.back();
  };
  std::vector<std::string> wanted = r.columns;
  if (wanted.empty()) {
    for (const auto& t : tables)
      for (const auto& c : t.columns)
        if (std::find(wanted.begin(), wanted.end(), c) == wanted.end()) wanted.push_back(c);
  }
  for (const auto& name : wanted) {
    bool found = false;
    for (size_t i = 0; i < tables.size(); ++i) {
      const auto& cols = tables[i].columns;
      const auto it = std::find(cols.begin(), cols.end(), name);
      if (it == cols.end()) continue;
      found = true;
      const size_t k = static_cast<size_t>(it - cols.begin());
      Panel& p = panel_of(quantity_of(name, r.kinds));
      p.curves.push_back({i, k});
      p.largest = std::max(p.largest, tables[i].largest[k]);
      p.low = std::min(p.low, tables[i].low[k]);
      p.high = std::max(p.high, tables[i].high[k]);
    }
    if (!found) throw std::runtime_error(fmt::format("no results file has the column '{}'", name));
  }
  for (const PlotMark& m : r.marks) {
    const Quantity q = quantity_of(m.column, r.kinds);
    const auto it =
        std::find_if(panels.begin(), panels.end(), [&q](const Panel& p) { return p.quantity.name == q.name; });
    if (it == panels.end()) throw std::runtime_error(fmt::format("the mark '{}' has no panel to go to", m.column));
    it->marks.push_back(m);
  }
  return panels;
}

std::vector<Table> tables_of(const PlotRequest& r) {
  if (r.results.empty()) throw std::runtime_error("no results file to plot");
  std::vector<Table> tables;
  for (const auto& f : r.results) tables.push_back(read_table(f, r.xrange));
  return tables;
}

// Runs gnuplot on a script that draws into part (made here first, so that a place that cannot be
// written is told before gnuplot runs, which would then draw to its standard output), and renames
// part to image when gnuplot has succeeded; removes part otherwise. What gnuplot says on its
// standard error is kept: an error is thrown with it, a warning is passed on to standard error.
void run_gnuplot(const std::function<std::string(const std::filesystem::path&)>& script,
                 const std::filesystem::path& image) {
  std::filesystem::path part = image;
  part += ".part";
  std::FILE* made = std::fopen(part.c_str(), "wb");
  if (made == nullptr)
    throw std::runtime_error(fmt::format("cannot write {}: {}", image.string(), std::strerror(errno)));
  std::fclose(made);
  std::string log = (std::filesystem::temp_directory_path() / "penstock_gnuplot_XXXXXX").string();
  const int log_fd = ::mkstemp(log.data());
  auto fail = [&part, &log, log_fd](const std::string& message) {
    std::error_code ignored;
    std::filesystem::remove(part, ignored);
    if (log_fd >= 0) std::filesystem::remove(log, ignored);
    return std::runtime_error(message);
  };
  if (log_fd < 0)
    throw fail(fmt::format("cannot make a temporary file for gnuplot's messages: {}", std::strerror(errno)));
  ::close(log_fd);
  if (!gnuplot_installed()) throw fail("gnuplot is not installed (on Debian: apt-get install gnuplot-nox)");
  const std::string text = script(part);
  std::FILE* pipe = ::popen(fmt::format("gnuplot >/dev/null 2>'{}'", log).c_str(), "w");
  if (pipe == nullptr) throw fail("cannot start gnuplot");
  std::fputs(text.c_str(), pipe);
  const int status = ::pclose(pipe);
  std::string said;
  {
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line))
      if (!trimmed(line).empty()) said += (said.empty() ? "" : "\n") + line;
  }
  std::error_code error;
  if (status != 0 || std::filesystem::file_size(part, error) == 0 || error)
    throw fail(fmt::format("gnuplot failed to draw {}{}", image.string(), said.empty() ? "" : ":\n" + said));
  if (!said.empty()) fmt::print(stderr, "{}: gnuplot: {}\n", image.string(), said);
  std::filesystem::rename(part, image, error);
  if (error) throw fail(fmt::format("cannot write {}: {}", image.string(), error.message()));
  std::filesystem::remove(log, error);
}

}  // namespace

std::string results_script(const PlotRequest& r, const std::filesystem::path& image) {
  const std::vector<Table> tables = tables_of(r);
  return script(r, tables, panels_of(r, tables), image);
}

std::filesystem::path plot_results(const PlotRequest& r) {
  const std::vector<Table> tables = tables_of(r);
  const std::vector<Panel> panels = panels_of(r, tables);
  std::filesystem::path image = r.image;
  if (image.empty()) image = std::filesystem::path(r.results.front()).replace_extension(".png");
  // The script is made before gnuplot runs, so that a mark or a range that does not fit is told first.
  script(r, tables, panels, image);
  run_gnuplot([&](const std::filesystem::path& part) { return script(r, tables, panels, part); }, image);
  return image;
}

bool EnvelopePipe::separates() const {
  return std::any_of(nodes.begin(), nodes.end(), [](const EnvelopeNode& n) { return n.h_min < n.h_vapour; });
}

EnvelopeFile read_envelope(const std::filesystem::path& file) {
  const std::string name = file.string();
  std::error_code error;
  if (std::filesystem::is_directory(file, error))
    throw std::runtime_error(fmt::format("{}: a folder, not an envelope file", name));
  if (!std::filesystem::exists(file, error)) throw std::runtime_error(fmt::format("{}: no such file", name));
  std::ifstream in(file);
  if (!in) throw std::runtime_error(fmt::format("{}: cannot read the file", name));
  auto fail = [&name](size_t line, size_t column, const std::string& message) {
    return std::runtime_error(fmt::format("{}:{}:{}: {}", name, line, column, message));
  };

  EnvelopeFile e;
  e.file = file;
  std::string line;
  size_t number = 0;  // of the line
  bool blank = true;
  while (blank && std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    blank = trimmed(line).empty();
  }
  if (in.bad()) throw std::runtime_error(fmt::format("{}: reading the file failed", name));
  if (blank) throw std::runtime_error(fmt::format("{}: the file is empty", name));
  const size_t header_line = number;
  const Cells header = cut(line);
  const size_t base = kEnvelopeColumns.size() - 1;  // the columns without h_vapour
  const std::string expected = join(kEnvelopeColumns, base) + "[,h_vapour]";
  for (size_t k = 0; k < std::min(header.text.size(), kEnvelopeColumns.size()); ++k) {
    if (header.text[k] == kEnvelopeColumns[k]) continue;
    const std::string hint = k == 0 && header.text[k] == "time" ? " (a results file: plot it without --envelope)" : "";
    throw fail(header_line, header.at[k],
               fmt::format("not an envelope header: '{}' where '{}' belongs; an envelope file begins with {}{}",
                           header.text[k], kEnvelopeColumns[k], expected, hint));
  }
  if (header.text.size() < base || header.text.size() > kEnvelopeColumns.size())
    throw fail(header_line, 1,
               fmt::format("not an envelope header: {} columns; an envelope file begins with {}", header.text.size(),
                           expected));
  e.vapour = header.text.size() == kEnvelopeColumns.size();

  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (trimmed(line).empty()) continue;
    const Cells cells = cut(line);
    if (cells.text.size() != header.text.size()) {
      const size_t column = cells.text.size() > header.text.size() ? cells.at[header.text.size()] : line.size() + 1;
      throw fail(number, column, fmt::format("{} values, the header has {}", cells.text.size(), header.text.size()));
    }
    const std::string& pipe = cells.text[0];
    if (pipe.empty()) throw fail(number, 1, "the pipe has no name");
    std::vector<double> values(cells.text.size(), 0.0);
    for (size_t k = 1; k < cells.text.size(); ++k) {
      const std::string text = trimmed(cells.text[k]);
      char* end = nullptr;
      values[k] = std::strtod(text.c_str(), &end);
      if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(values[k]))
        throw fail(number, cells.at[k],
                   text.empty() ? fmt::format("{} is empty", kEnvelopeColumns[k])
                                : fmt::format("{} is '{}', not a finite number", kEnvelopeColumns[k], text));
    }
    if (e.pipes.empty() || e.pipes.back().pipe != pipe) {
      for (const EnvelopePipe& before : e.pipes) {
        if (before.pipe == pipe)
          throw fail(number, 1,
                     fmt::format("the rows of pipe '{}' are split by those of '{}'", pipe, e.pipes.back().pipe));
      }
      e.pipes.push_back({pipe, {}});
    }
    EnvelopePipe& p = e.pipes.back();
    if (values[kColNode - 1] != static_cast<double>(p.nodes.size()))
      throw fail(number, cells.at[kColNode - 1],
                 fmt::format("node {} of pipe '{}' where node {} belongs (its nodes are numbered 0, 1, ... in order)",
                             trimmed(cells.text[kColNode - 1]), pipe, p.nodes.size()));
    EnvelopeNode n;
    n.x = values[kColX - 1];
    n.z = values[kColZ - 1];
    n.h_min = values[kColHMin - 1];
    n.h_max = values[kColHMax - 1];
    if (e.vapour) n.h_vapour = values[kColHVapour - 1];
    p.nodes.push_back(n);
  }
  if (in.bad()) throw std::runtime_error(fmt::format("{}: reading the file failed", name));
  if (e.pipes.empty()) throw std::runtime_error(fmt::format("{}: no rows after the header", name));
  return e;
}

std::string envelope_script(const EnvelopeFile& e, const std::filesystem::path& image, const std::string& title) {
  const int width = 1200, height = 90 + 390 * static_cast<int>(e.pipes.size());
  std::string s = preamble(width, height, image);
  auto line = [&s](const std::string& text) { s += text + "\n"; };
  line("set xlabel 'x, from end A [m]'");
  line("set ylabel 'head [m]'");
  line("set offsets 0, 0, graph 0.05, graph 0.05");
  // Column c of the rows of one pipe; undefined on the others', which are left out.
  line("row(pipe, c) = strcol(1) eq pipe ? column(c) : NaN");
  line(fmt::format("separated(pipe) = {0} < {1} ? {0} : {1}", "row(pipe, " + std::to_string(kColHMin) + ")",
                   "row(pipe, " + std::to_string(kColHVapour) + ")"));
  // Each panel has the pipe's name above it and the legend below.
  line("set key bmargin left horizontal");
  line("set bmargin 7");  // the tics, the label of x and three rows of the legend
  line(fmt::format("set multiplot layout {},1 title {}", e.pipes.size(),
                   gp_string(title.empty() ? e.file.filename().string() : title)));
  const std::string data = gp_string(e.file.string()) + " skip 1";
  for (const EnvelopePipe& p : e.pipes) {
    line("set title " + gp_string(p.pipe));
    double x0 = p.nodes.front().x, x1 = x0;
    for (const EnvelopeNode& n : p.nodes) x0 = std::min(x0, n.x), x1 = std::max(x1, n.x);
    line(x1 > x0 ? fmt::format("set xrange [{}:{}]", x0, x1) : "set autoscale x");
    std::vector<std::string> items;
    auto curve = [&](int column, const std::string& style, const std::string& name) {
      items.push_back(fmt::format("{} using {}:({}) with lines {} title {}", data, kColX, of_pipe(p.pipe, column),
                                  style, gp_string(name)));
    };
    // The band first, so that the lines are drawn over it.
    if (e.vapour && p.separates()) {
      items.push_back(
          fmt::format("{} using {}:({}):(separated({})) with filledcurves fillstyle transparent solid 0.35 "
                      "noborder lc rgb '#e03030' title {}",
                      data, kColX, of_pipe(p.pipe, kColHVapour), gp_string(p.pipe), gp_string("column separation")));
    }
    curve(kColHMax, "lw 2 lc rgb 'dark-red'", "maximum head");
    curve(kColHMin, "lw 2 lc rgb 'blue'", "minimum head");
    curve(kColZ, "lw 3 lc rgb 'black'", "pipe axis z(x)");
    if (e.vapour) curve(kColHVapour, "lw 2 dashtype 2 lc rgb '#e07000'", "vapour-pressure head (separation below)");
    std::string plot = "plot ";
    for (size_t k = 0; k < items.size(); ++k) plot += (k == 0 ? "" : ", \\\n     ") + items[k];
    line(plot);
  }
  line("unset multiplot");
  line("set output");
  return s;
}

std::filesystem::path plot_envelope(const EnvelopeRequest& r) {
  const EnvelopeFile envelope = read_envelope(r.file);
  std::filesystem::path image = r.image;
  if (image.empty()) image = std::filesystem::path(r.file).replace_extension(".png");
  run_gnuplot([&](const std::filesystem::path& part) { return envelope_script(envelope, part, r.title); }, image);
  return image;
}

void add_plot_command(CLI::App& app) {
  auto o = std::make_shared<Options>();
  CLI::App* cmd = app.add_subcommand("plot", "Draw results files (CSV), or an envelope file, as a PNG with gnuplot");
  cmd->add_option("results", o->request.results, "Results files of penstock simulate; several are overlaid")
      ->check(CLI::ExistingFile);
  cmd->add_option("--envelope", o->envelope.file,
                  "Draw an envelope file of penstock simulate (<stem>.envelope.csv) instead: the heads along each "
                  "WavePipe or chain of sections");
  cmd->add_option("-o,--output", o->request.image, "Image file (default: the first file's name with .png)");
  cmd->add_option("-c,--columns", o->request.columns, "Variables to draw (default: all)");
  cmd->add_option("--mark", o->marks,
                  "A dashed level in a column's panel: column=value[ unit][:label]; without a unit the value is in "
                  "the unit of the panel's axis (gate.p=12 is 12 bar; gate.p=1.2MPa, 'gate.p=120 mH2O:limit')");
  cmd->add_option("--xrange", o->xrange, "Time range drawn [s]: low:high, either side may be left out (0:30, 10:)");
  cmd->add_option("--yrange", o->yranges,
                  "Value range of every panel (low:high, in the unit of its axis), or of one: panel=low:high "
                  "(pressure=0:20); may be given once per panel");
  cmd->add_option("--pressure-unit", o->request.pressure_unit,
                  "Unit of the pressure panels: bar, kPa, Pa, or mH2O for the pressure as a head of the fluid "
                  "(default bar; pressures are gauge)")
      ->check(CLI::IsMember({"bar", "kPa", "Pa", "mH2O"}));
  cmd->add_option("--density", o->request.density,
                  "Density of the fluid for --pressure-unit mH2O [kg/m³] (default 1000)")
      ->check(CLI::PositiveNumber);
  cmd->add_option("--title", o->request.title,
                  "Title above the panels (default: that of --model, else the file names)");
  cmd->add_option("--model", o->model,
                  "The model file of the results: the title is its name: or the first sentence of its comment")
      ->check(CLI::ExistingFile);
  cmd->add_option("--plugins", o->plugin_dirs, "Further folders of plug-ins with their descriptions")
      ->allow_extra_args(false);  // one folder each time, so that the results file may follow it
  cmd->callback([o] {
    try {
      if (!o->envelope.file.empty()) {
        if (!o->request.results.empty())
          throw std::runtime_error("--envelope draws an envelope file alone: give the results files in another call");
        if (!o->request.columns.empty() || !o->marks.empty() || !o->xrange.empty() || !o->yranges.empty())
          throw std::runtime_error(
              "--columns, --mark, --xrange and --yrange are for results files, not for --envelope");
        o->envelope.image = o->request.image;
        o->envelope.title = o->request.title;
        if (o->envelope.title.empty() && !o->model.empty()) o->envelope.title = model_title(o->model);
        fmt::print("{}\n", plot_envelope(o->envelope).string());
        return;
      }
      if (o->request.results.empty())
        throw std::runtime_error("give the results files to draw, or --envelope and an envelope file");
      for (const auto& m : o->marks) o->request.marks.push_back(parse_mark(m));
      if (!o->xrange.empty()) o->request.xrange = parse_range(o->xrange);
      for (const auto& y : o->yranges) {
        auto [panel, range] = parse_panel_range(y);
        if (panel.empty() ? o->request.yrange.has_value() : o->request.panel_yranges.count(panel) != 0)
          throw std::invalid_argument(fmt::format("--yrange {}: a second range for {}", y,
                                                  panel.empty() ? "every panel" : "the panel '" + panel + "'"));
        if (panel.empty()) {
          o->request.yrange = range;
        } else {
          o->request.panel_yranges[panel] = range;
        }
      }
      if (o->request.title.empty() && !o->model.empty()) o->request.title = model_title(o->model);
      // What the columns measure, as the components' descriptions tell it.
      std::vector<std::filesystem::path> dirs = o->plugin_dirs;
      for (const auto& d : sim::Catalogue::default_directories()) dirs.push_back(d);
      o->request.kinds = kinds_of(sim::Catalogue(dirs));
      const std::filesystem::path image = plot_results(o->request);
      fmt::print("{}\n", image.string());
    } catch (const std::exception& e) {
      fmt::print(stderr, "penstock plot: {}\n", e.what());
      throw CLI::RuntimeError(1);
    }
  });
}

}  // namespace penstock::app
