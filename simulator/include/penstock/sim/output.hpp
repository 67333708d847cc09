// Results of a run: the recorded variables as CSV, their extremes, a summary for the terminal,
// a JSON report for scripts and a progress bar.
#pragma once

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "penstock/sim/solver.hpp"

namespace penstock::sim {

struct Extreme {
  double min = 0.0, t_min = 0.0;
  double max = 0.0, t_max = 0.0;
};

// Picks the recorded variables from each sample and keeps their extremes. The CSV (time, then
// each recorded variable) goes to a temporary file beside the final one and is renamed when the
// run ends, so that a half-written file never carries the final name.
class Recorder : public Observer {
 public:
  // record: variable names as the system knows them, or its outputs (pipe.A.p, pipe.h[3]); empty
  // for every variable. Throws std::invalid_argument naming one the system does not have.
  Recorder(const DaeSystem& system, const std::vector<std::string>& record);
  ~Recorder() override;
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Starts the CSV; throws std::runtime_error when the temporary file cannot be created.
  void write_csv(const std::filesystem::path& path);
  void keep_rows(bool keep) { keep_rows_ = keep; }
  void on_progress(std::function<void(double)> f) { on_progress_ = std::move(f); }
  void on_note(std::function<void(const std::string&)> f) { on_note_ = std::move(f); }

  void sample(double t, const double* y, bool event) override;
  const std::vector<size_t>* reads() const override;
  void progress(double t) override;
  void note(const std::string& text) override;

  // Closes the CSV under its final name when the run is complete, as "<stem>.incomplete<ext>"
  // otherwise. Returns the file written (empty without CSV). Throws std::runtime_error when the
  // file could not be written.
  std::filesystem::path finish(bool complete);
  // The name an incomplete run's CSV gets.
  static std::filesystem::path incomplete_name(const std::filesystem::path& path);

  const std::vector<std::string>& names() const { return names_; }
  // What each recorded column measures ("pressure", "flow", ...), as the system says it.
  std::vector<std::string> kinds() const;
  const std::vector<Extreme>& extremes() const { return extremes_; }
  const std::vector<std::string>& notes() const { return notes_; }
  size_t rows() const { return rows_; }
  size_t event_rows() const { return event_rows_; }
  // With keep_rows(true): every row as (t, recorded values...).
  const std::vector<std::vector<double>>& kept() const { return kept_; }

 private:
  const DaeSystem& system_;
  std::vector<std::string> names_;
  std::vector<size_t> index_;                       // per recorded variable: its place in y
  std::vector<std::pair<size_t, size_t>> outputs_;  // per recorded output: its column, its id
  std::vector<double> values_;                      // of the row being sampled
  std::vector<Extreme> extremes_;
  std::vector<std::string> notes_;
  std::vector<std::vector<double>> kept_;
  std::string line_;
  bool keep_rows_ = false;
  size_t rows_ = 0;
  size_t event_rows_ = 0;
  std::FILE* csv_ = nullptr;
  std::filesystem::path csv_path_, part_path_;
  std::function<void(double)> on_progress_;
  std::function<void(const std::string&)> on_note_;
};

// The terminal summary: span reached, statistics, wall time, real-time factor, extremes; and what
// the model says of itself (the WavePipes' grid).
std::string summary(const Outcome& outcome, const RunSettings& run, const Recorder& recorder,
                    const std::filesystem::path& results, const std::vector<std::string>& model_notes = {});
// The same as one JSON object.
std::string json_report(const Outcome& outcome, const RunSettings& run, const Recorder& recorder,
                        const std::filesystem::path& results, const std::vector<std::string>& model_notes = {});

// The envelopes of the pipes named (in their order) as CSV beside the results: results "x.csv"
// gives "x.envelope.csv". One row a node: pipe, node, x, z, the extremes of pressure and of head
// with their times, and the head of the vapour pressure when it is given. Written under a
// temporary name and renamed. Returns the file; throws std::runtime_error when it cannot be written.
std::filesystem::path write_envelopes(const std::filesystem::path& results, const std::vector<PipeEnvelope>& all,
                                      const std::vector<std::string>& pipes, std::optional<double> vapour_pressure);
// A warning for every pipe whose pressure fell below the vapour pressure (gauge): where and when.
std::vector<std::string> vapour_warnings(const std::vector<PipeEnvelope>& all, double vapour_pressure);

// A progress bar on a terminal: appears once a run has lasted a second, redraws at most ten
// times a second, and clears itself when done.
class ProgressBar {
 public:
  ProgressBar(double start, double stop, std::FILE* out = stderr);
  ~ProgressBar();
  void update(double t);
  void clear();

 private:
  double start_, stop_;
  std::FILE* out_;
  bool interactive_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point began_, last_;
};

}  // namespace penstock::sim
