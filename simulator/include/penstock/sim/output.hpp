// SPDX-License-Identifier: BSD-3-Clause
// Results of a run: the recorded variables as CSV, their extremes, a summary for the terminal,
// a JSON report for scripts and a progress bar.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "penstock/sim/solver.hpp"

namespace penstock::sim {

struct Extreme {
  double min = 0.0, t_min = 0.0;
  double max = 0.0, t_max = 0.0;
};

// Refuses a file that a run is to write, before the run: one that exists and is not a regular
// file (a folder, a device, a FIFO, a socket: a rename would replace it), or one that is the model
// itself, whatever its name (a link, another path). Throws std::runtime_error
// "cannot write <target>: <reason>", the target named as given.
void check_target(const std::filesystem::path& target, const std::filesystem::path& model = {});

// A text file written as "<target>.part" beside its target and renamed when done, so that no file
// carries a final name half-written. Lines are buffered and written out whole: when writing fails
// (a full disk), the file is cut back to its last whole line, error() says why, and what follows
// is dropped.
class PartFile {
 public:
  // Creates "<target>.part" (a regular file of that name, left by a run that was killed, is
  // replaced). Throws std::runtime_error "cannot write <target>: <reason>" when check() refuses or
  // the part file cannot be made.
  explicit PartFile(std::filesystem::path target);
  // check_target(target, model), and refuses a "<target>.part" that is not a regular file (it is
  // not opened: a FIFO would block) or is the model.
  static void check(const std::filesystem::path& target, const std::filesystem::path& model = {});
  // Removes the part file unless it was renamed.
  ~PartFile();
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;

  // Adds whole lines (the text ends with a new line); they are written out as the buffer fills.
  void append(std::string_view lines);
  // Writes out what is buffered. False once writing has failed.
  bool flush();
  // Writes out the rest, syncs the file to the disk and closes it. False when writing has failed:
  // the whole lines written before are still there.
  bool close();
  // After close(): gives the file its name. Throws std::runtime_error when the rename fails, and
  // leaves the part file then, saying so.
  void rename(const std::filesystem::path& name);

  // "cannot write <target>: <reason>", empty while writing succeeds.
  const std::string& error() const { return error_; }
  // The whole lines written out.
  size_t lines() const { return lines_; }

 private:
  void fail(int error);

  std::filesystem::path target_, part_;
  int fd_ = -1;
  bool renamed_ = false;
  std::string buffer_;
  size_t buffered_lines_ = 0;
  size_t lines_ = 0;
  std::uint64_t size_ = 0;  // bytes: the whole lines written out
  std::string error_;
};

// Picks the recorded variables from each sample and keeps their extremes. The CSV (time, then
// each recorded variable) holds the output grid alone: the start, every output time and the end,
// times strictly increasing. The events (time, component, what changed) go to their own CSV beside
// it (events_name). Both go to temporary files beside the final ones and are renamed when the run
// ends, so that a half-written file never carries the final name.
class Recorder : public Observer {
 public:
  // record: variable names as the system knows them, or its outputs (pipe.A.p, pipe.h[3]); empty
  // for every variable. Throws std::invalid_argument naming one the system does not have.
  Recorder(const DaeSystem& system, const std::vector<std::string>& record);
  ~Recorder() override;
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Starts the CSV, and the events' CSV beside it: their temporary files made and their headers
  // written. Throws std::runtime_error "cannot write <path>: <reason>" when that fails.
  void write_csv(const std::filesystem::path& path);
  void keep_rows(bool keep) { keep_rows_ = keep; }
  // Keeps the rows of the output grid alone, as the CSV has them (kept()), sparing the integrator
  // the interpolation of the rows at events.
  void keep_grid(bool keep) { keep_grid_ = keep; }
  // Called with every event as it is recorded: its time, the component, what changed.
  void on_event(std::function<void(double, const std::string&, const std::string&)> f) { on_event_ = std::move(f); }
  void on_progress(std::function<void(double)> f) { on_progress_ = std::move(f); }
  void on_note(std::function<void(const std::string&, const std::string&)> f) { on_note_ = std::move(f); }
  // Asked before every step whether the run is to end, as Observer::stop().
  void stop_when(std::function<std::string()> f) { stop_when_ = std::move(f); }

  // The rows at events are not written, and count among neither the rows nor the extremes; with
  // keep_rows(true) they are kept, in time order with the others.
  void sample(double t, const double* y, bool event) override;
  void event(double t, const std::string& component, const std::string& what) override;
  const std::vector<size_t>* reads() const override;
  void progress(double t) override;
  void note(const std::string& text, const std::string& detail) override;
  // Ends the run once the CSV cannot be written (its write error), or when stop_when says so.
  std::string stop() override;

  // Closes the CSV under its final name when the run is complete and every row was written, as
  // "<stem>.incomplete<ext>" otherwise, and the events' CSV beside it (events_name of that). Returns
  // the file written (empty without CSV). Throws std::runtime_error when a file cannot be renamed.
  std::filesystem::path finish(bool complete);
  // After finish(): the events' file written, empty without CSV.
  const std::filesystem::path& events_file() const { return events_file_; }
  // The name an incomplete run's CSV gets.
  static std::filesystem::path incomplete_name(const std::filesystem::path& path);

  const std::vector<std::string>& names() const { return names_; }
  // What each recorded column measures ("pressure", "flow", ...), as the system says it.
  std::vector<std::string> kinds() const;
  const std::vector<Extreme>& extremes() const { return extremes_; }
  // The notes in plain words, and the solver's own account of each.
  const std::vector<std::string>& notes() const { return notes_; }
  const std::vector<std::string>& note_details() const { return note_details_; }
  // The rows of the output grid so far.
  size_t rows() const { return rows_; }
  // The events so far: a line each in the events' CSV.
  size_t events() const { return events_; }
  // The rows in the CSV: all of them, fewer when writing failed.
  size_t rows_written() const { return rows_ - rows_lost_; }
  // "cannot write <path>: <reason>" when the CSV could not be written in full, else empty.
  const std::string& write_error() const { return write_error_; }
  // With keep_rows(true): every row as (t, recorded values...), the events' included; with
  // keep_grid(true), the rows of the output grid.
  const std::vector<std::vector<double>>& kept() const { return kept_; }

 private:
  const DaeSystem& system_;
  std::vector<std::string> names_;
  std::vector<size_t> index_;                       // per recorded variable: its place in y
  std::vector<std::pair<size_t, size_t>> outputs_;  // per recorded output: its column, its id
  std::vector<double> values_;                      // of the row being sampled
  std::vector<Extreme> extremes_;
  std::vector<std::string> notes_, note_details_;
  std::vector<std::vector<double>> kept_;
  std::string line_;
  bool keep_rows_ = false;
  bool keep_grid_ = false;
  size_t rows_ = 0;
  size_t events_ = 0;
  size_t rows_lost_ = 0;
  std::unique_ptr<PartFile> csv_;
  std::unique_ptr<PartFile> events_csv_;
  std::filesystem::path csv_path_, events_file_;
  std::string write_error_;
  std::function<void(double)> on_progress_;
  std::function<void(const std::string&, const std::string&)> on_note_;
  std::function<void(double, const std::string&, const std::string&)> on_event_;
  std::function<std::string()> stop_when_;
};

// The rows a run writes: the start and every output time.
// 1 when the times make no run (the solver says why).
double planned_rows(const RunSettings& run);

// The unit in which the summary shows pressures: its name, the pascals in one, and for a head of
// water the density it was taken with.
struct PressureUnit {
  std::string name = "bar";
  double pascals = 1e5;
  std::optional<double> density;  // kg/m3, for mH2O
  bool assumed = false;           // that of water, the model giving none
};
// "bar", "kPa", "Pa" or "mH2O" (a head of water: Pa / (ρ·g), g = 9.81 m/s2, ρ the fluid's density,
// 1000 kg/m3 when the model gives none). Throws std::invalid_argument for any other name.
PressureUnit pressure_unit(const std::string& name, std::optional<double> density = std::nullopt);

// The SI unit of what a column measures: "Pa" for a "pressure", "m3/s" for a "flow", "1" for a
// "logical" or a "ratio", "" when it has none known (a "signal").
std::string si_unit(const std::string& kind);

// The terminal summary: span reached, statistics, wall time, real-time factor, the results and
// events files, extremes with their units (pressures in the unit given, gauge); and what the
// model says of itself (the WavePipes' grid).
std::string summary(const Outcome& outcome, const RunSettings& run, const Recorder& recorder,
                    const std::filesystem::path& results, const std::vector<std::string>& model_notes = {},
                    const PressureUnit& pressure = {});
// The same as one JSON object, in SI units, with every column's name, unit and kind.
std::string json_report(const Outcome& outcome, const RunSettings& run, const Recorder& recorder,
                        const std::filesystem::path& results, const std::vector<std::string>& model_notes = {});
// The text as a JSON string, quoted and escaped.
std::string json_string(const std::string& text);

// Where the events of the results go: "x.csv" gives "x.events.csv".
std::filesystem::path events_name(const std::filesystem::path& results);
// Where the envelopes of the results go: "x.csv" gives "x.envelope.csv".
std::filesystem::path envelope_name(const std::filesystem::path& results);
// The envelopes of the pipes named (in their order) as CSV beside the results, in
// envelope_name(results). One row a node: pipe, node, x, z, the extremes of pressure and of head
// with their times, and the head of the vapour pressure when it is given. Written under a
// temporary name and renamed. Returns the file; throws std::runtime_error when it cannot be written,
// leaving nothing.
std::filesystem::path write_envelopes(const std::filesystem::path& results, const std::vector<PipeEnvelope>& all,
                                      const std::vector<std::string>& pipes, std::optional<double> vapour_pressure);
// A warning for every pipe whose pressure fell below the vapour pressure (gauge): where and when.
std::vector<std::string> vapour_warnings(const std::vector<PipeEnvelope>& all, double vapour_pressure);

// Progress of a run. On a terminal, a bar that appears once the run has lasted a second, redraws
// at most ten times a second with the time elapsed and an estimate of the time left, and clears
// itself when done. Elsewhere (a log file, a pipe), a plain line every few seconds of wall time:
// "t = 12.3 s of 600 s (2 %), 4 s elapsed, about 3 min left". The time left is estimated from the
// simulated time covered so far.
class ProgressBar {
 public:
  ProgressBar(double start, double stop, std::FILE* out = stderr);
  // interactive: the bar; otherwise a line every `every` of wall time.
  ProgressBar(double start, double stop, std::FILE* out, bool interactive,
              std::chrono::steady_clock::duration every = std::chrono::seconds(5));
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;
  void update(double t);
  void clear();

  // "t = 12.3 s of 600 s (2 %), 4 s elapsed, about 3 min left", elapsed in seconds of wall time.
  static std::string line(double t, double start, double stop, double elapsed);
  // A span of wall time in words: "4 s", "2 min 5 s", "1 h 20 min"; to the minute from a minute
  // on when coarse (an estimate).
  static std::string duration(double seconds, bool coarse = false);

 private:
  double start_, stop_;
  std::FILE* out_;
  bool interactive_;
  std::chrono::steady_clock::duration every_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point began_, last_;
};

}  // namespace penstock::sim
