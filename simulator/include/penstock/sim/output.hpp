// Results of a run: the recorded variables as CSV, their extremes, a summary for the terminal,
// a JSON report for scripts and a progress bar.
#pragma once

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
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
  // record: variable names as the system knows them, empty for all. Throws std::invalid_argument
  // naming a variable the system does not have.
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
  const std::vector<size_t>* reads() const override { return &index_; }
  void progress(double t) override;
  void note(const std::string& text) override;

  // Closes the CSV under its final name when the run is complete, as "<stem>.incomplete<ext>"
  // otherwise. Returns the file written (empty without CSV). Throws std::runtime_error when the
  // file could not be written.
  std::filesystem::path finish(bool complete);
  // The name an incomplete run's CSV gets.
  static std::filesystem::path incomplete_name(const std::filesystem::path& path);

  const std::vector<std::string>& names() const { return names_; }
  const std::vector<Extreme>& extremes() const { return extremes_; }
  const std::vector<std::string>& notes() const { return notes_; }
  size_t rows() const { return rows_; }
  size_t event_rows() const { return event_rows_; }
  // With keep_rows(true): every row as (t, recorded values...).
  const std::vector<std::vector<double>>& kept() const { return kept_; }

 private:
  std::vector<std::string> names_;
  std::vector<size_t> index_;
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

// The terminal summary: span reached, statistics, wall time, real-time factor, extremes.
std::string summary(const Outcome& outcome, const RunSettings& run, const Recorder& recorder,
                    const std::filesystem::path& results);
// The same as one JSON object.
std::string json_report(const Outcome& outcome, const RunSettings& run, const Recorder& recorder,
                        const std::filesystem::path& results);

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
