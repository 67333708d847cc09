// SPDX-License-Identifier: BSD-3-Clause
#include "units.hpp"

#include <cctype>
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
      {"1/s", {1.0, "rate"}},
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
      {"W", {1.0, "power"}},
      {"kW", {1e3, "power"}},
      {"MW", {1e6, "power"}},
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

namespace {

// The length of the decimal number that starts s: a sign, digits with at most one point among or
// after them, and an exponent; 0 when s does not start with one.
size_t decimal_length(const std::string& s) {
  auto digit = [&s](size_t i) { return i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])) != 0; };
  size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
  size_t digits = 0;
  for (; digit(i); ++i) ++digits;
  if (i < s.size() && s[i] == '.') {
    for (++i; digit(i); ++i) ++digits;
  }
  if (digits == 0) return 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    if (digit(j)) {
      for (i = j; digit(i);) ++i;
    }
  }
  return i;
}

}  // namespace

std::optional<Quantity> parse_quantity(const std::string& text) {
  const std::string s = trim(text);
  const size_t length = decimal_length(s);
  if (length == 0) return std::nullopt;
  const std::string rest = trim(s.substr(length));
  const std::string digits = s.substr(0, length);
  // What strtod would also read, a list of numbers and trailing text are not quantities.
  if ((digits == "0" || digits == "+0" || digits == "-0") && (s[length] == 'x' || s[length] == 'X'))
    throw std::invalid_argument("'" + s + "' is a hexadecimal number; write it in decimals");
  const std::optional<Unit> unit = rest.empty() ? Unit{} : find_unit(rest);
  if (!unit && (rest[0] == ',' || rest[0] == '.' || std::isdigit(static_cast<unsigned char>(rest[0])) != 0)) {
    throw std::invalid_argument("'" + s +
                                "' is not one number: write a single decimal number, with '.' for the "
                                "decimal point, and its unit after a space");
  }
  if (!unit) throw std::invalid_argument("unknown unit '" + rest + "'");
  errno = 0;
  const double number = std::strtod(digits.c_str(), nullptr);
  if (errno == ERANGE && std::abs(number) > 1.0)
    throw std::invalid_argument("'" + s + "' is too large: numbers go up to about 1.8e308");
  const double si = number * unit->factor;
  if (!std::isfinite(si))
    throw std::invalid_argument("'" + s + "' is too large: in SI units it is beyond the largest number, about 1.8e308");
  return Quantity{si, rest};
}

std::string dimension_phrase(const std::string& dimension) {
  if (dimension.empty()) return "a pure number";
  const bool vowel = std::string("aeiou").find(dimension[0]) != std::string::npos;
  return (vowel ? "an " : "a ") + dimension;
}

}  // namespace penstock::sim::detail
