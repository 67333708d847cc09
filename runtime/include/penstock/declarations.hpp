// SPDX-License-Identifier: BSD-3-Clause
// The library of component declarations, for the tests: what each plug-in's component struct
// declares (its names, its equations' kinds, its switching), entered under the deliverable's name
// by the plug-in's source compiled with PENSTOCK_DECLARATIONS="<Deliverable>" (see frame.hpp).
#pragma once

#include <string>
#include <vector>

#include "penstock/slots.hpp"

namespace penstock::declared {

struct Equation {
  Kind kind;
  int differential;  // the input whose derivative the Mass row multiplies, -1 for none
};

struct Component {
  std::string name;                 // the deliverable, <name>.so
  std::vector<std::string> inputs;  // inputs 1, 2, ... as the host knows them (time, input 0, is implicit)
  std::vector<std::string> params;  // in block order
  std::vector<Equation> equations;
  int n_zc = 0;
  int n_modes = 0;
};

// Every component compiled into the program, in the order of their static initialisation.
inline std::vector<Component>& library() {
  static std::vector<Component> all;
  return all;
}

}  // namespace penstock::declared
