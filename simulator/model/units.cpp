#include "units.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>
#include <stdexcept>

namespace penstock::sim::detail {

namespace {

constexpr double kTwoPi = 2.0 * 3.141592653589793;

const std::map<std::string, Unit>& units() {
  static const std::map<std::string, Unit> table{
      {"1", {1.0, ""}},
      {"-", {1.0, ""}},
      {"%", {0.01, ""}},
      {"m", {1.0, "length"}},
      {"mm", {1e-3, "length"}},
      {"cm", {1e-2, "length"}},
      {"km", {1e3, "length"}},
      {"m2", {1.0, "area"}},
      {"cm2", {1e-4, "area"}},
      {"m3", {1.0, "volume"}},
      {"l", {1e-3, "volume"}},
      {"L", {1e-3, "volume"}},
      {"Pa", {1.0, "pressure"}},
      {"kPa", {1e3, "pressure"}},
      {"MPa", {1e6, "pressure"}},
      {"GPa", {1e9, "pressure"}},
      {"bar", {1e5, "pressure"}},
      {"mbar", {1e2, "pressure"}},
      {"m3/s", {1.0, "flow"}},
      {"l/s", {1e-3, "flow"}},
      {"L/s", {1e-3, "flow"}},
      {"m3/min", {1.0 / 60.0, "flow"}},
      {"m3/h", {1.0 / 3600.0, "flow"}},
      {"kg/m3", {1.0, "density"}},
      {"m2/s", {1.0, "kinematic viscosity"}},
      {"mm2/s", {1e-6, "kinematic viscosity"}},
      {"s", {1.0, "time"}},
      {"ms", {1e-3, "time"}},
      {"min", {60.0, "time"}},
      {"h", {3600.0, "time"}},
      {"m/s", {1.0, "velocity"}},
      {"m/s2", {1.0, "acceleration"}},
      {"rad/s", {1.0, "angular speed"}},
      {"rpm", {kTwoPi / 60.0, "angular speed"}},
      {"Hz", {1.0, "frequency"}},
      {"N m", {1.0, "torque"}},
      {"N*m", {1.0, "torque"}},
      {"Nm", {1.0, "torque"}},
      {"kN m", {1e3, "torque"}},
      {"kNm", {1e3, "torque"}},
      {"kg m2", {1.0, "moment of inertia"}},
      {"kg*m2", {1.0, "moment of inertia"}},
      {"t m2", {1e3, "moment of inertia"}},
      {"N m s/rad", {1.0, "torque per speed"}},
      {"kN m s/rad", {1e3, "torque per speed"}},
      {"Pa s/m3", {1.0, "flow resistance"}},
  };
  return table;
}

std::string trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  const size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

}  // namespace

std::optional<Unit> find_unit(const std::string& name) {
  const auto it = units().find(trim(name));
  if (it == units().end()) return std::nullopt;
  return it->second;
}

std::optional<Quantity> parse_quantity(const std::string& text) {
  const std::string s = trim(text);
  if (s.empty()) return std::nullopt;
  const char* begin = s.c_str();
  char* end = nullptr;
  errno = 0;
  const double number = std::strtod(begin, &end);
  if (end == begin || errno == ERANGE) return std::nullopt;
  const std::string rest = trim(std::string(end));
  // strtod also reads "inf" and "nan" and hexadecimal numbers; a quantity is a plain decimal.
  if (!std::isfinite(number)) return std::nullopt;
  if (rest.empty()) return Quantity{number, ""};
  const std::optional<Unit> unit = find_unit(rest);
  if (!unit) throw std::invalid_argument("unknown unit '" + rest + "'");
  return Quantity{number * unit->factor, rest};
}

}  // namespace penstock::sim::detail
