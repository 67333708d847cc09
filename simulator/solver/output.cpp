// SPDX-License-Identifier: BSD-3-Clause
#include "penstock/sim/output.hpp"

#include <fcntl.h>
#include <fmt/core.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <stdexcept>
#include <system_error>

namespace penstock::sim {

namespace {

// A file beside another, its kind before the extension: "x.csv" and "events" give "x.events.csv".
std::filesystem::path beside(const std::filesystem::path& file, const std::string& kind) {
  std::filesystem::path name = file;
  name.replace_filename(file.stem().string() + "." + kind + file.extension().string());
  return name;
}

std::runtime_error cannot_write(const std::filesystem::path& target, const std::string& reason) {
  return std::runtime_error(fmt::format("cannot write {}: {}", target.string(), reason));
}

const char* file_kind(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a file";
}

// The width a progress bar's line is padded to and cleared over: within a terminal of 80 columns,
// where a longer line would wrap and \r no longer take it back.
constexpr int kClearWidth = 79;

// The buffer of a PartFile is written out when it holds this much.
constexpr size_t kBuffer = size_t{1} << 16;

}  // namespace

void check_target(const std::filesystem::path& target, const std::filesystem::path& model) {
  struct stat file {};
  if (::stat(target.c_str(), &file) != 0) {
    // A file that is not there yet is made in its folder, which says then what is wrong with it.
    if (errno == ENOENT) return;
    throw cannot_write(target, std::strerror(errno));
  }
  if (S_ISDIR(file.st_mode)) throw cannot_write(target, std::strerror(EISDIR));
  if (!S_ISREG(file.st_mode))
    throw cannot_write(target, fmt::format("not a regular file ({})", file_kind(file.st_mode)));
  struct stat input {};
  if (!model.empty() && ::stat(model.c_str(), &input) == 0 && input.st_dev == file.st_dev &&
      input.st_ino == file.st_ino)
    throw cannot_write(target, fmt::format("it is the model file {}", model.string()));
}

void PartFile::check(const std::filesystem::path& target, const std::filesystem::path& model) {
  check_target(target, model);
  std::filesystem::path part = target;
  part += ".part";
  struct stat left {};
  if (::lstat(part.c_str(), &left) != 0) return;
  if (!S_ISREG(left.st_mode))
    throw cannot_write(target, fmt::format("{} is in the way, not a regular file", part.string()));
  check_target(part, model);  // a model of that name is no leftover
}

PartFile::PartFile(std::filesystem::path target) : target_(std::move(target)), part_(target_) {
  check(target_);
  part_ += ".part";
  // A leftover of a run that was killed.
  if (::unlink(part_.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR)
    throw cannot_write(target_, std::strerror(errno));
  // A new file of our own: never one that a link leads to.
  fd_ = ::open(part_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd_ < 0) throw cannot_write(target_, std::strerror(errno));
  buffer_.reserve(kBuffer + 4096);
}

PartFile::~PartFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!renamed_) ::unlink(part_.c_str());
}

void PartFile::append(std::string_view lines) {
  if (!error_.empty()) return;
  buffer_ += lines;
  buffered_lines_ += static_cast<size_t>(std::count(lines.begin(), lines.end(), '\n'));
  if (buffer_.size() >= kBuffer) flush();
}

bool PartFile::flush() {
  if (!error_.empty() || fd_ < 0) {
    buffer_.clear();
    return error_.empty();
  }
  size_t done = 0;
  int failure = 0;
  while (done < buffer_.size()) {
    const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      failure = n < 0 ? errno : ENOSPC;
      break;
    }
  }
  if (failure == 0) {
    size_ += done;
    lines_ += buffered_lines_;
  } else {
    // The whole lines among those that went out stay; a line cut short is taken back.
    const size_t last = done == 0 ? std::string::npos : buffer_.rfind('\n', done - 1);
    const size_t whole = last == std::string::npos ? 0 : last + 1;
    size_ += whole;
    lines_ +=
        static_cast<size_t>(std::count(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(whole), '\n'));
    fail(failure);
    if (whole < done && ::ftruncate(fd_, static_cast<off_t>(size_)) != 0)
      error_ += fmt::format(" (and its last line could not be cut off: {})", std::strerror(errno));
  }
  buffer_.clear();
  buffered_lines_ = 0;
  return failure == 0;
}

bool PartFile::close() {
  if (fd_ < 0) return error_.empty();
  flush();
  if (::fsync(fd_) != 0 && error_.empty()) fail(errno);
  if (::close(fd_) != 0 && error_.empty()) fail(errno);
  fd_ = -1;
  return error_.empty();
}

void PartFile::rename(const std::filesystem::path& name) {
  if (::rename(part_.c_str(), name.c_str()) != 0) {
    const int error = errno;
    renamed_ = true;  // what was written stays where it is
    throw cannot_write(name, fmt::format("{}; what was written is in {}", std::strerror(error), part_.string()));
  }
  renamed_ = true;
}

void PartFile::fail(int error) { error_ = fmt::format("cannot write {}: {}", target_.string(), std::strerror(error)); }

Recorder::Recorder(const DaeSystem& system, const std::vector<std::string>& record) : system_(system) {
  const std::vector<std::string>& all = system.variable_names();
  if (record.empty()) {
    names_ = all;
    for (size_t i = 0; i < all.size(); ++i) index_.push_back(i);
  } else {
    std::map<std::string, size_t> position;
    for (size_t i = 0; i < all.size(); ++i) position.emplace(all[i], i);
    for (const auto& name : record) {
      const auto found = position.find(name);
      if (found != position.end()) {
        index_.push_back(found->second);
      } else if (const auto output = system.find_output(name)) {
        outputs_.emplace_back(names_.size(), *output);
        index_.push_back(SIZE_MAX);
      } else {
        throw std::invalid_argument(fmt::format("recorded variable '{}' is not a variable of the model", name));
      }
      names_.push_back(name);
    }
  }
  extremes_.resize(names_.size());
  values_.resize(names_.size());
}

std::vector<std::string> Recorder::kinds() const {
  std::vector<std::string> kinds;
  for (size_t k = 0; k < names_.size(); ++k)
    kinds.push_back(index_[k] != SIZE_MAX ? system_.variable_kind(index_[k]) : "");
  for (const auto& [column, id] : outputs_) kinds[column] = system_.output_kind(id);
  return kinds;
}

// The rows at events are read only to be kept: without, the integrator is spared their interpolation.
const std::vector<size_t>* Recorder::reads() const {
  static const std::vector<size_t> none;
  if (!keep_rows_) return &none;
  return outputs_.empty() ? &index_ : nullptr;
}

Recorder::~Recorder() = default;

std::filesystem::path Recorder::incomplete_name(const std::filesystem::path& path) {
  return beside(path, "incomplete");
}

void Recorder::write_csv(const std::filesystem::path& path) {
  csv_path_ = path;
  csv_ = std::make_unique<PartFile>(path);
  std::string header = "time";
  for (const auto& name : names_) header += "," + name;
  header += "\n";
  // Out at once: a disk that takes nothing is told before the run.
  csv_->append(header);
  if (!csv_->flush()) throw std::runtime_error(csv_->error());
  events_csv_ = std::make_unique<PartFile>(events_name(path));
  events_csv_->append("time,component,what\n");
  if (!events_csv_->flush()) throw std::runtime_error(events_csv_->error());
}

namespace {

// A field of a CSV line, quoted when it holds a comma, a quote or a line break.
std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\n\r") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

}  // namespace

void Recorder::event(double t, const std::string& component, const std::string& what) {
  ++events_;
  if (on_event_) on_event_(t, component, what);
  if (events_csv_ != nullptr) events_csv_->append(fmt::format("{},{},{}\n", t, csv_field(component), csv_field(what)));
}

void Recorder::sample(double t, const double* y, bool event) {
  if (event && !keep_rows_) return;
  const bool first = rows_ == 0;
  if (!event) ++rows_;
  for (size_t k = 0; k < index_.size(); ++k)
    if (index_[k] != SIZE_MAX) values_[k] = y[index_[k]];
  for (const auto& [column, id] : outputs_) values_[column] = system_.output(id, t, y);
  for (size_t k = 0; k < values_.size() && !event; ++k) {
    const double v = values_[k];
    Extreme& e = extremes_[k];
    if (first || v < e.min) e.min = v, e.t_min = t;
    if (first || v > e.max) e.max = v, e.t_max = t;
  }
  if (keep_rows_ || (keep_grid_ && !event)) {
    std::vector<double> row{t};
    row.insert(row.end(), values_.begin(), values_.end());
    kept_.push_back(std::move(row));
  }
  if (csv_ != nullptr && !event) {
    // Shortest text that reads back to the same double.
    line_.clear();
    fmt::format_to(std::back_inserter(line_), "{}", t);
    for (const double v : values_) fmt::format_to(std::back_inserter(line_), ",{}", v);
    line_ += '\n';
    csv_->append(line_);
  }
}

void Recorder::progress(double t) {
  if (on_progress_) on_progress_(t);
}

void Recorder::note(const std::string& text, const std::string& detail) {
  notes_.push_back(text);
  note_details_.push_back(detail);
  if (on_note_) on_note_(text, detail);
}

std::string Recorder::stop() {
  if (csv_ != nullptr && !csv_->error().empty()) return csv_->error();
  if (events_csv_ != nullptr && !events_csv_->error().empty()) return events_csv_->error();
  return stop_when_ ? stop_when_() : std::string{};
}

std::filesystem::path Recorder::finish(bool complete) {
  if (csv_ == nullptr) return {};
  const std::unique_ptr<PartFile> csv = std::move(csv_);
  const std::unique_ptr<PartFile> events = std::move(events_csv_);
  bool written = csv->close();
  write_error_ = csv->error();
  if (events != nullptr && !events->close() && written) {
    written = false;
    write_error_ = events->error();
  }
  const size_t rows = csv->lines() > 0 ? csv->lines() - 1 : 0;  // after the header
  rows_lost_ = rows_ > rows ? rows_ - rows : 0;
  std::filesystem::path target = complete && written ? csv_path_ : incomplete_name(csv_path_);
  csv->rename(target);
  if (events != nullptr) {
    events_file_ = events_name(target);
    events->rename(events_file_);
  }
  return target;
}

double planned_rows(const RunSettings& run) {
  const double span = run.stop_time - run.start_time;
  if (!(span > 0.0) || !(run.output_interval > 0.0) || !std::isfinite(span)) return 1.0;
  // The output times t0 + k·interval up to the stop time, the last moved onto it, and the start.
  return std::ceil(span / run.output_interval - 1e-9) + 1.0;
}

namespace {

double real_time_factor(const Outcome& outcome, const RunSettings& run) {
  const double simulated = outcome.end_time - run.start_time;
  return outcome.stats.wall_seconds > 0.0 ? simulated / outcome.stats.wall_seconds : 0.0;
}

std::string json_number(double v) { return std::isfinite(v) ? fmt::format("{}", v) : "null"; }

}  // namespace

std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (const char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

PressureUnit pressure_unit(const std::string& name, std::optional<double> density) {
  if (name == "bar") return {"bar", 1e5, std::nullopt};
  if (name == "kPa") return {"kPa", 1e3, std::nullopt};
  if (name == "Pa") return {"Pa", 1.0, std::nullopt};
  if (name == "mH2O") {
    const double rho = density.value_or(1000.0);
    return {"mH2O", rho * 9.81, rho, !density.has_value()};
  }
  throw std::invalid_argument(fmt::format("unknown pressure unit '{}': bar, kPa, Pa or mH2O", name));
}

std::string si_unit(const std::string& kind) {
  static const std::map<std::string, std::string> units{{"pressure", "Pa"}, {"flow", "m3/s"}, {"speed", "rad/s"},
                                                        {"torque", "N m"},  {"level", "m"},   {"volume", "m3"},
                                                        {"power", "W"},     {"logical", "1"}, {"ratio", "1"}};
  const auto it = units.find(kind);
  return it == units.end() ? "" : it->second;
}

std::string summary(const Outcome& outcome, const RunSettings& run, const Recorder& recorder,
                    const std::filesystem::path& results, const std::vector<std::string>& model_notes,
                    const PressureUnit& pressure) {
  const SolverStatistics& s = outcome.stats;
  std::string out;
  if (outcome.complete) {
    out += fmt::format("simulated {} s to {} s\n", run.start_time, run.stop_time);
  } else {
    out +=
        fmt::format("INCOMPLETE: stopped at t = {} s of {} s\n  {}\n", outcome.end_time, run.stop_time, outcome.error);
  }
  out += fmt::format(
      "  steps {}, located switches {}, flags changed at {} times ({} restarts), smooth switches {}, Jacobian "
      "evaluations {}, residual evaluations {}\n",
      s.steps, s.events, s.mode_changes, s.restarts, s.smooth_switches, s.jacobian_evaluations, s.residual_evaluations);
  out += fmt::format("  error-test failures {}, convergence failures {}, last step {:.3g} s, linear solver {}\n",
                     s.error_test_failures, s.convergence_failures, s.last_step,
                     outcome.linear_solver.empty() ? "-" : outcome.linear_solver);
  out += fmt::format("  wall time {:.3f} s, real-time factor {:.1f}\n", s.wall_seconds, real_time_factor(outcome, run));
  for (size_t k = 0; k < model_notes.size(); ++k)
    out += fmt::format("  {}{}\n", k == 0 ? "wave grid: " : "    ", model_notes[k]);
  if (!results.empty()) {
    out += fmt::format("  results: {} ({} rows{})\n", results.string(), recorder.rows_written(),
                       outcome.complete ? "" : ", incomplete");
    if (!recorder.events_file().empty()) {
      out += fmt::format("  events: {} ({} change{} of a component's flags", recorder.events_file().string(),
                         recorder.events(), recorder.events() == 1 ? "" : "s");
      if (s.smooth_switches > 0 && !run.tell_smooth_switches)
        out += fmt::format("; not listed: {} switch{} that left the equations as they were (run: events: all)",
                           s.smooth_switches, s.smooth_switches == 1 ? "" : "es");
      out += ")\n";
    }
  }
  if (recorder.rows() > 0 && !recorder.names().empty()) {
    const std::vector<std::string> kinds = recorder.kinds();
    const bool pressures = std::find(kinds.begin(), kinds.end(), "pressure") != kinds.end();
    if (pressures) {
      out += fmt::format("  pressures in {}", pressure.name);
      if (pressure.density)
        out += pressure.assumed
                   ? fmt::format(" (head of water at {:g} kg/m3, the model giving no fluid density; g = 9.81 m/s2)",
                                 *pressure.density)
                   : fmt::format(" (head of the fluid at {:g} kg/m3, g = 9.81 m/s2)", *pressure.density);
      out += ", gauge (against the atmosphere); a component's pressure across two ports is their difference\n";
    }
    size_t width = 8;
    for (const auto& name : recorder.names()) width = std::max(width, name.size());
    out += fmt::format("  {:<{}} {:>6} {:>14} {:>10} {:>14} {:>10}\n", "variable", width, "unit", "min", "at t", "max",
                       "at t");
    for (size_t k = 0; k < recorder.names().size(); ++k) {
      const Extreme& e = recorder.extremes()[k];
      const bool pressure_column = kinds[k] == "pressure";
      const double scale = pressure_column ? pressure.pascals : 1.0;
      const std::string unit = pressure_column ? pressure.name : si_unit(kinds[k]);
      out += fmt::format("  {:<{}} {:>6} {:>14.6g} {:>10.4g} {:>14.6g} {:>10.4g}\n", recorder.names()[k], width,
                         unit.empty() ? "-" : unit, e.min / scale, e.t_min, e.max / scale, e.t_max);
    }
  }
  return out;
}

std::string json_report(const Outcome& outcome, const RunSettings& run, const Recorder& recorder,
                        const std::filesystem::path& results, const std::vector<std::string>& model_notes) {
  const SolverStatistics& s = outcome.stats;
  std::string out = "{";
  out += fmt::format("\"complete\":{},\"error\":{},", outcome.complete ? "true" : "false",
                     outcome.complete ? "null" : json_string(outcome.error));
  out += fmt::format("\"start_time\":{},\"stop_time\":{},\"end_time\":{},", json_number(run.start_time),
                     json_number(run.stop_time), json_number(outcome.end_time));
  out += fmt::format("\"results\":{},\"rows\":{},\"events_file\":{},\"events_listed\":{},\"linear_solver\":{},",
                     results.empty() ? "null" : json_string(results.string()), recorder.rows_written(),
                     recorder.events_file().empty() ? "null" : json_string(recorder.events_file().string()),
                     recorder.events(), json_string(outcome.linear_solver));
  out += "\"columns\":[";
  const std::vector<std::string> kinds = recorder.kinds();
  for (size_t k = 0; k < recorder.names().size(); ++k)
    out += fmt::format("{}{{\"name\":{},\"unit\":{},\"kind\":{}}}", k ? "," : "", json_string(recorder.names()[k]),
                       json_string(si_unit(kinds[k])), json_string(kinds[k]));
  out += "],";
  out += fmt::format(
      "\"steps\":{},\"events\":{},\"mode_changes\":{},\"restarts\":{},\"smooth_switches\":{},\"smooth_switches_"
      "listed\":{},\"jacobian_evaluations\":{},\"residual_evaluations\":{},"
      "\"error_test_failures\":{},\"convergence_failures\":{},\"last_step\":{},\"wall_seconds\":{},"
      "\"real_time_factor\":{},",
      s.steps, s.events, s.mode_changes, s.restarts, s.smooth_switches, run.tell_smooth_switches ? "true" : "false",
      s.jacobian_evaluations, s.residual_evaluations, s.error_test_failures, s.convergence_failures,
      json_number(s.last_step), json_number(s.wall_seconds), json_number(real_time_factor(outcome, run)));
  out += "\"notes\":[";
  for (size_t i = 0; i < recorder.notes().size(); ++i) out += (i ? "," : "") + json_string(recorder.notes()[i]);
  out += "],\"note_details\":[";
  for (size_t i = 0; i < recorder.note_details().size(); ++i)
    out += (i ? "," : "") + json_string(recorder.note_details()[i]);
  out += "],";
  if (!model_notes.empty()) {
    out += "\"wave_grid\":[";
    for (size_t i = 0; i < model_notes.size(); ++i) out += (i ? "," : "") + json_string(model_notes[i]);
    out += "],";
  }
  out += "\"extremes\":{";
  for (size_t k = 0; k < recorder.names().size() && recorder.rows() > 0; ++k) {
    const Extreme& e = recorder.extremes()[k];
    out += fmt::format("{}{}:{{\"min\":{},\"t_min\":{},\"max\":{},\"t_max\":{}}}", k ? "," : "",
                       json_string(recorder.names()[k]), json_number(e.min), json_number(e.t_min), json_number(e.max),
                       json_number(e.t_max));
  }
  out += "}}";
  return out;
}

std::filesystem::path events_name(const std::filesystem::path& results) { return beside(results, "events"); }

std::filesystem::path envelope_name(const std::filesystem::path& results) { return beside(results, "envelope"); }

std::filesystem::path write_envelopes(const std::filesystem::path& results, const std::vector<PipeEnvelope>& all,
                                      const std::vector<std::string>& pipes, std::optional<double> vapour_pressure) {
  std::filesystem::path target = envelope_name(results);
  std::string text = "pipe,node,x,z,p_min,t_p_min,p_max,t_p_max,h_min,t_h_min,h_max,t_h_max";
  text += vapour_pressure ? ",h_vapour\n" : "\n";
  for (const std::string& name : pipes) {
    const auto e = std::find_if(all.begin(), all.end(), [&](const PipeEnvelope& p) { return p.pipe == name; });
    if (e == all.end()) continue;
    for (size_t i = 0; i < e->nodes.size(); ++i) {
      const PipeEnvelope::Node& n = e->nodes[i];
      fmt::format_to(std::back_inserter(text), "{},{},{},{},{},{},{},{},{},{},{},{}", e->pipe, i, n.x, n.z, n.p_min,
                     n.t_p_min, n.p_max, n.t_p_max, n.h_min, n.t_h_min, n.h_max, n.t_h_max);
      if (vapour_pressure) fmt::format_to(std::back_inserter(text), ",{}", n.z + *vapour_pressure / e->rho_g);
      text += '\n';
    }
  }
  PartFile file(target);
  file.append(text);
  if (!file.close()) throw std::runtime_error(file.error());
  file.rename(target);
  return target;
}

std::vector<std::string> vapour_warnings(const std::vector<PipeEnvelope>& all, double vapour_pressure) {
  std::vector<std::string> warnings;
  for (const PipeEnvelope& e : all) {
    const auto lowest = std::min_element(e.nodes.begin(), e.nodes.end(),
                                         [](const auto& a, const auto& b) { return a.p_min < b.p_min; });
    if (lowest == e.nodes.end() || !(lowest->p_min < vapour_pressure)) continue;
    warnings.push_back(fmt::format(
        "{} '{}': the pressure falls to {:.6g} Pa (gauge) at x = {:.6g} m, t = {:.6g} s, below the vapour "
        "pressure {:.6g} Pa: the water column would separate there, which the pipe does not model; the results "
        "after that are not to be trusted",
        e.kind, e.pipe, lowest->p_min, lowest->x, lowest->t_p_min, vapour_pressure));
  }
  return warnings;
}

ProgressBar::ProgressBar(double start, double stop, std::FILE* out)
    : ProgressBar(start, stop, out, isatty(fileno(out)) != 0) {}

ProgressBar::ProgressBar(double start, double stop, std::FILE* out, bool interactive,
                         std::chrono::steady_clock::duration every)
    : start_(start),
      stop_(stop),
      out_(out),
      interactive_(interactive),
      every_(every),
      began_(std::chrono::steady_clock::now()),
      last_(began_) {}

ProgressBar::~ProgressBar() { clear(); }

std::string ProgressBar::duration(double seconds, bool coarse) {
  if (!(seconds < 1e9)) return "a very long time";
  const auto s = static_cast<long long>(std::llround(std::max(seconds, 0.0)));
  if (s < 60) return fmt::format("{} s", s);
  if (s < 3600)
    return s % 60 == 0 || s >= 600 || coarse ? fmt::format("{} min", (s + 30) / 60)
                                             : fmt::format("{} min {} s", s / 60, s % 60);
  const long long minutes = (s + 30) / 60;
  return minutes % 60 == 0 ? fmt::format("{} h", minutes / 60) : fmt::format("{} h {} min", minutes / 60, minutes % 60);
}

namespace {

// The fraction of the run's simulated time covered at t.
double covered(double t, double start, double stop) {
  return stop > start ? std::clamp((t - start) / (stop - start), 0.0, 1.0) : 0.0;
}

// "about 3 min left", from the rate at which simulated time has gone so far.
std::string left(double fraction, double elapsed) {
  if (!(fraction > 0.0)) return "time left not yet known";
  return fmt::format("about {} left", ProgressBar::duration(elapsed * (1.0 - fraction) / fraction, true));
}

// "m:ss" or "h:mm:ss".
std::string clock(double seconds) {
  const auto s = static_cast<long long>(std::llround(std::clamp(seconds, 0.0, 359999.0)));
  return s < 3600 ? fmt::format("{}:{:02}", s / 60, s % 60)
                  : fmt::format("{}:{:02}:{:02}", s / 3600, s / 60 % 60, s % 60);
}

}  // namespace

std::string ProgressBar::line(double t, double start, double stop, double elapsed) {
  const double fraction = covered(t, start, stop);
  return fmt::format("t = {:.4g} s of {:.4g} s ({:.0f} %), {} elapsed, {}", t, stop, 100.0 * fraction,
                     duration(elapsed), left(fraction, elapsed));
}

void ProgressBar::update(double t) {
  const auto now = std::chrono::steady_clock::now();
  const double elapsed = std::chrono::duration<double>(now - began_).count();
  if (!interactive_) {
    if (now - last_ < every_) return;
    last_ = now;
    fmt::print(out_, "{}\n", line(t, start_, stop_, elapsed));
    std::fflush(out_);
    return;
  }
  if (now - began_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  const double fraction = covered(t, start_, stop_);
  constexpr int kWidth = 20;
  const int filled = static_cast<int>(fraction * kWidth);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.resize(kWidth, '.');
  // At most 74 characters: times as on a clock.
  const std::string text =
      fmt::format("[{}] {:5.1f} % t = {:.4g} s, {} elapsed, {} left", bar, 100.0 * fraction, t, clock(elapsed),
                  fraction > 0.0 ? clock(elapsed * (1.0 - fraction) / fraction) : std::string("--:--"));
  // Padded over what a longer line before left.
  fmt::print(out_, "\r{:<{}}", text, kClearWidth);
  std::fflush(out_);
  drawn_ = true;
}

void ProgressBar::clear() {
  if (!drawn_) return;
  fmt::print(out_, "\r{:{}}\r", "", kClearWidth);
  std::fflush(out_);
  drawn_ = false;
}

}  // namespace penstock::sim
