// SPDX-License-Identifier: BSD-3-Clause
// Model files and the component catalogue: what a plant is made of and how it is wired.
//
// A component is a plug-in (<Name>.so) and its network description (<Name>.yaml beside it): the
// ports and their domains, the branches that carry a through variable from one port to another
// (or to the reference), the across relations p = A.p - B.p, the inputs a model drives with a
// signal, start values and the parameters its formulas read. load_model reads a plant's model
// file, wires the components into nodes and assembles the DAE that goes to the solver.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "penstock/sim/run.hpp"

namespace penstock::engine {
class Plugin;
}

namespace penstock::sim {

// Where something was written: file, line and column (1-based; 0 when not known).
struct SourceMark {
  std::string file;
  int line = 0;
  int column = 0;
};

// A fault in a model file or a network description, reported as "file:line:column: message".
class ModelError : public std::runtime_error {
 public:
  ModelError(SourceMark where, const std::string& message);
  const SourceMark& where() const { return where_; }
  const std::string& message() const { return message_; }

 private:
  SourceMark where_;
  std::string message_;
};

enum class Domain { hydraulic, rotational };
const char* domain_name(Domain d);
const char* across_name(Domain d);   // "p" or "w"
const char* through_name(Domain d);  // "q" or "t"

// The network description of one component.
struct Description {
  struct Port {
    std::string name;
    Domain domain = Domain::hydraulic;
    bool ground_if_unconnected = false;    // an unconnected port joins the reference, not a node of its own
    bool own_node_if_unconnected = false;  // left unconnected by design: a node of its own (a section's middle)
  };
  struct Branch {
    std::string through;  // element variable carried from `from` to `to`
    std::string from;     // port name, or "ref"
    std::string to;
  };
  struct Across {
    std::string variable;  // variable = plus.across - minus.across
    std::string plus;      // port name, or "ref"
    std::string minus;
  };
  // The values a parameter may take: positive, non-negative, or a closed range [low, high].
  struct Range {
    enum class Kind { positive, non_negative, between };
    Kind kind = Kind::positive;
    double low = 0.0;
    double high = 0.0;  // for between
    bool contains(double v) const;
    std::string text() const;  // "positive", "non-negative", "from 1 to 1e+07"
  };
  struct Parameter {
    std::string name;
    std::string unit;  // SI unit, "1" for a pure number, "" when not stated
    std::string doc;
    std::optional<double> default_value;
    std::string fluid;            // fluid property the parameter takes by default ("density", ...), or ""
    std::optional<Range> domain;  // the values the formulas are meant for; any when not stated
    bool required = false;        // the component cannot work without it: a model must give it
  };

  std::string name;
  std::string host;                // "characteristics": a WavePipe, solved by the host, no plug-in
  std::string physics;             // one line
  std::vector<std::string> notes;  // behaviour a user may not expect
  std::string remedy;              // what to do when a run fails at one of its variables or equations
  // Its own variables follow its signal inputs at once (a gain, a sum, a limit: no state between
  // them), so that a signal reading them back into its inputs closes an algebraic loop.
  bool feedthrough = false;
  bool kinks = false;  // its laws bend at its switches: a switch within a step restarts
  // Each zero-crossing signal sets flags of its own that enter rows of their own (a pipe section's
  // two half reaches): several crossing in one step may be taken at its end together.
  bool independent_switches = false;
  std::vector<Port> ports;
  std::vector<Branch> branches;
  std::vector<Across> across;
  std::vector<std::string> signals;          // inputs the model must drive
  std::vector<std::string> outputs;          // worth recording
  std::map<std::string, std::string> kinds;  // own variable -> kind ("level", "logical", ...)
  std::map<std::string, std::string> start;  // variable -> parameter holding its start value
  std::map<std::string, double> defaults;    // variable -> start value when nothing else gives one
  std::vector<Parameter> parameters;         // the parameters its formulas read
  SourceMark mark;                           // the description file

  const Port* port(const std::string& name) const;
  const Parameter* parameter(const std::string& name) const;
  // What an own variable measures: a branch's through variable is a "flow" or a "torque" and an
  // across variable a "pressure" or a "speed", by the domain of their ports; an entry under
  // variables says otherwise; anything else is a "ratio".
  std::string kind_of(const std::string& variable) const;
  // The own variables the description names (branches, across, signals, outputs, variables,
  // start, defaults), each once, in that order.
  std::vector<std::string> named_variables() const;
};

// Reads a network description file; throws ModelError on a fault.
Description read_description(const std::filesystem::path& file);

// The components a model may use: every <Name>.so with its network description <Name>.yaml
// beside it, and every description of an element the host solves itself, in the folders given.
// Only the folders given are searched: a model file may name no other (see allows). A plug-in
// whose description is missing or unreadable, a name found in two folders and a folder that is
// not one are faults (errors); a catalogue with faults loads no model.
//
// One catalogue may be shared between threads: each plug-in is loaded once, on first use.
class Catalogue {
 public:
  explicit Catalogue(const std::vector<std::filesystem::path>& directories);
  // The host's own folders given, for a host that is not the program (the Python module): a plug-in
  // from any other folder is external.
  Catalogue(const std::vector<std::filesystem::path>& directories, std::vector<std::filesystem::path> own);
  // The folders of $PENSTOCK_PLUGIN_PATH (colon-separated) that are there, then the program's own.
  static std::vector<std::filesystem::path> default_directories();
  // The same with the host's own folders given.
  static std::vector<std::filesystem::path> default_directories(const std::vector<std::filesystem::path>& own);
  // plugins/ and builtins/ beside the program's bin/, where they are: the host's own plug-ins.
  static std::vector<std::filesystem::path> own_directories();
  // plugins/ and builtins/ in the folder of an installation (or of the build), where they are.
  static std::vector<std::filesystem::path> own_directories(const std::filesystem::path& root);
  void add_directory(const std::filesystem::path& directory);
  // The folders searched, made absolute, each once.
  const std::vector<std::filesystem::path>& directories() const { return directories_; }
  // Whether the folder is one of those searched.
  bool allows(const std::filesystem::path& folder) const;

  std::vector<std::string> names() const;
  const Description* find(const std::string& name) const;
  // The plug-in's file; for an element the host solves itself, its description's.
  std::filesystem::path plugin_path(const std::string& name) const;
  // Loads the plug-in on first use and checks the description against the group it declares;
  // throws ModelError (at the description) or engine::PluginError.
  std::shared_ptr<const engine::Plugin> plugin(const std::string& name) const;
  // Parameter names the plug-in's setup asks for, in block order.
  const std::vector<std::string>& parameter_names(const std::string& name) const;
  // The faults of the folders, each naming its file or folder.
  const std::vector<std::string>& errors() const { return errors_; }
  // The plug-ins loaded so far from folders other than the program's own, by name.
  std::vector<std::filesystem::path> external_plugins() const;

 private:
  // What the first use of a plug-in learns, filled once under the lock.
  struct Loaded {
    std::mutex mutex;
    std::shared_ptr<const engine::Plugin> plugin;
    std::vector<std::string> parameters;
  };
  struct Entry {
    Description description;
    std::filesystem::path plugin;
    bool external = false;
    std::unique_ptr<Loaded> loaded = std::make_unique<Loaded>();
  };
  const Entry& entry(const std::string& name) const;
  bool claim(const std::string& name, const std::filesystem::path& file);
  void add_host_element(const std::filesystem::path& file, bool external);
  std::map<std::string, Entry> entries_;
  std::map<std::string, std::filesystem::path> claimed_;  // name -> the first file that bore it
  std::vector<std::filesystem::path> directories_;
  std::vector<std::filesystem::path> own_;
  std::vector<std::string> errors_;
};

// What `penstock check` reports about an assembled model.
struct CheckReport {
  size_t components = 0;
  size_t nodes = 0;  // not counting the reference
  size_t unknowns = 0;
  size_t equations = 0;
  size_t differential = 0;
  size_t algebraic = 0;
  size_t zero_crossings = 0;
  std::vector<std::string> warnings;  // "file:line:column: warning: ..."
  std::vector<std::string> notes;     // the WavePipes' grid: its step, who set it, each pipe's reaches
};

// Loads a model file, wires it and assembles its DAE. Throws ModelError for any fault of the
// file, of its wiring or of the balance of unknowns and equations.
Model load_model(const std::filesystem::path& file, const Catalogue& catalogue, CheckReport* report = nullptr);

// A change of a model made before it is assembled (by a script), as if its file said it. The
// value is written in YAML, as in a model file: "1100 m/s", "0.02", "{ramp: {start: 1 s, ...}}",
// "[gate.p, gate.q]".
//   value   "pipe.a": component pipe's parameter a (every section's, for a chain); "gate.sigma",
//           an input the component is driven at: its signal. "fluid.density": the fluid's
//           property; "run.stop": the run's setting (any key of run:).
//   signal  "gate.sigma", "pipe[2].ksi": the signal driving that input, in place of the file's.
// A fault of the value is told as one of the file would be, its place "<file> (set pipe.a = ...)".
struct Override {
  enum class Kind { value, signal };
  Kind kind = Kind::value;
  std::string name;
  std::string value;
};

// Loads a model given as text, `file` its name in messages and the folder its relative plug-in
// folders are in, with the changes applied in order (a later one of a name replaces an earlier).
Model load_model_text(const std::string& text, const std::filesystem::path& file, const Catalogue& catalogue,
                      const std::vector<Override>& overrides = {}, CheckReport* report = nullptr);
// A model file with the changes applied.
Model load_model(const std::filesystem::path& file, const Catalogue& catalogue, const std::vector<Override>& overrides,
                 CheckReport* report = nullptr);

// The edit distance of two names, for "did you mean".
size_t edit_distance(const std::string& a, const std::string& b);
// The closest of the candidates to `name`, or "" when none is close.
std::string closest(const std::string& name, const std::vector<std::string>& candidates);

}  // namespace penstock::sim
