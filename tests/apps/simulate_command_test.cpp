// SPDX-License-Identifier: BSD-3-Clause
// penstock simulate as a user runs it: the files it refuses to write before a run starts, what an
// interrupted run or a full disk leaves behind, and the runs too long to write without being asked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace penstock::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A shaft driven at a speed that ramps for 8 s and then holds: cheap steps, so that the run's time
// goes into its rows. Two recorded columns.
std::string model(const std::string& stop, const std::string& output) {
  return "components:\n"
         "  drive: {type: SpeedSource}\n"
         "  alternator: {type: Alternator, parameters: {n_toler: 0.5 rad/s, k: 2e5 N m s/rad}}\n"
         "connections:\n"
         "  - {node: shaft, ports: [drive.A, alternator.G]}\n"
         "signals:\n"
         "  drive.w_set: {table: [[0, 310], [8, 318]]}\n"
         "  alternator.n_syn: 314.159\n"
         "  alternator.syn_enable: 1\n"
         "run: {stop: " +
         stop + ", output: " + output + ", record: [shaft.w, alternator.t]}\n";
}

struct Result {
  int exit = -1;   // the exit status, -1 when ended by a signal
  int signal = 0;  // the signal that ended it
  bool timed_out = false;
  std::string out, err;
};

// Runs penstock in `cwd` with the arguments; `child` runs in the child before the exec,
// `running` in the parent while it runs. A run that outlasts `limit` is killed and marked.
Result penstock(const fs::path& cwd, const std::vector<std::string>& args, const std::function<void()>& child = {},
                const std::function<void(pid_t)>& running = {}, std::chrono::seconds limit = 60s) {
  const fs::path out = cwd.parent_path() / "stdout", err = cwd.parent_path() / "stderr";
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = ::open("/dev/zero", O_RDONLY);
    if (o < 0 || e < 0 || in < 0) ::_exit(126);
    ::dup2(in, 0), ::dup2(o, 1), ::dup2(e, 2);
    if (child) child();
    std::vector<char*> argv{const_cast<char*>(PENSTOCK_BINARY), const_cast<char*>("simulate")};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(PENSTOCK_BINARY, argv.data());
    ::_exit(127);
  }
  Result r;
  if (running) running(pid);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      r.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  if (WIFEXITED(status)) r.exit = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  r.out = read(out);
  r.err = read(err);
  return r;
}

// Waits until the file exists and holds more than `bytes` (rows of a run under way).
bool wait_for(const fs::path& file, uintmax_t bytes) {
  for (int i = 0; i < 3000; ++i) {
    std::error_code ec;
    if (fs::file_size(file, ec) > bytes && !ec) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The rows of a results file of the model above: each line whole (three numbers, ending in a new
// line), the times strictly increasing. Returns the number of rows, or a failure.
::testing::AssertionResult whole_rows(const fs::path& file, size_t* count) {
  const std::string text = read(file);
  if (text.rfind("time,shaft.w,alternator.t\n", 0) != 0)
    return ::testing::AssertionFailure() << "header: " << text.substr(0, 40);
  if (text.back() != '\n')
    return ::testing::AssertionFailure() << "ends within a line: ..." << text.substr(text.size() - 40);
  std::istringstream lines(text);
  std::string line;
  std::getline(lines, line);
  size_t rows = 0;
  double last = -1.0;
  while (std::getline(lines, line)) {
    double t = 0.0, w = 0.0, torque = 0.0;
    char tail = 0;
    if (std::sscanf(line.c_str(), "%lf,%lf,%lf%c", &t, &w, &torque, &tail) != 3 || t <= last)
      return ::testing::AssertionFailure() << "row " << rows + 1 << ": '" << line << "'";
    last = t;
    ++rows;
  }
  *count = rows;
  return ::testing::AssertionSuccess();
}

class SimulateCommand : public ::testing::Test {
 protected:
  fs::path root = fs::temp_directory_path() / ("penstock_simulate_" + std::to_string(::getpid()));
  fs::path dir = root / "work";  // the runs' working folder; what penstock prints goes beside it
  void SetUp() override {
    fs::create_directories(dir);
    std::ofstream(dir / "m.yaml") << model("10 s", "0.01 s");
  }
  void TearDown() override {
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(root);
  }
};

TEST_F(SimulateCommand, RefusesTargetsThatAreNotRegularFilesBeforeTheRun) {
  fs::create_directory(dir / "folder");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
  struct Case {
    std::string target, reason;
  };
  // The temporary file beside the results is made new; something else in its place is not opened.
  ASSERT_EQ(::mkfifo((dir / "r.csv.part").c_str(), 0644), 0);
  std::vector<Case> cases{{"folder", "Is a directory"},
                          {"fifo", "not a regular file (a FIFO)"},
                          {"r.csv", "r.csv.part is in the way, not a regular file"}};
  // A null device of our own, where we may make one; never the system's.
  if (::geteuid() == 0 && ::mknod((dir / "null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) == 0)
    cases.push_back({"null", "not a regular file (a character device)"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const auto before = entries(dir);
    const Result r = penstock(dir, {"m.yaml", "-o", c.target});
    EXPECT_EQ(r.exit, 1) << r.err;
    EXPECT_EQ(r.err, "m.yaml: error: cannot write " + c.target + ": " + c.reason + "\n");
    EXPECT_EQ(entries(dir), before);  // nothing written, nothing replaced
  }
  EXPECT_TRUE(fs::is_directory(dir / "folder"));
  EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
  EXPECT_TRUE(fs::is_fifo(dir / "r.csv.part"));
  if (cases.size() == 4) {
    EXPECT_TRUE(fs::is_character_file(dir / "null"));
  }
}

TEST_F(SimulateCommand, TheEnvelopeAndTheImageAreCheckedBeforeTheRun) {
  // A WavePipe whose envelope is asked for: it goes to <results>.envelope.csv.
  std::ofstream(dir / "w.yaml")
      << "fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6 m2/s, bulk: 2.1e9 Pa, alpha: 0}\n"
         "components:\n"
         "  lake: {type: Headwater, parameters: {h: 100 m}}\n"
         "  pipe: {type: WavePipe, parameters: {Length: 600 m, Din: 0.5 m, lambda: 0.02, a: 1200 m/s, reaches: 4}}\n"
         "  valve: {type: Orifice, parameters: {Din: 0.5 m}}\n"
         "connections: [[lake.B, ref], [lake.A, pipe.A], {node: gate, ports: [pipe.B, valve.A]}, [valve.B, ref]]\n"
         "signals: {valve.Kv: 0.02}\n"
         "run: {stop: 0.1 s, output: 0.01 s, start: steady, record: [gate.p], envelope: [pipe]}\n";
  fs::create_directory(dir / "r.envelope.csv");
  Result r = penstock(dir, {"w.yaml", "-o", "r.csv"});
  EXPECT_EQ(r.exit, 1) << r.err;
  EXPECT_EQ(r.err, "w.yaml: error: cannot write r.envelope.csv: Is a directory\n");
  EXPECT_FALSE(fs::exists(dir / "r.csv"));
  // An incomplete run's envelope follows its results' name.
  fs::remove(dir / "r.envelope.csv");
  ASSERT_EQ(::mkfifo((dir / "r.incomplete.envelope.csv").c_str(), 0644), 0);
  r = penstock(dir, {"w.yaml", "-o", "r.csv"});
  EXPECT_EQ(r.err, "w.yaml: error: cannot write r.incomplete.envelope.csv: not a regular file (a FIFO)\n");
  EXPECT_FALSE(fs::exists(dir / "r.csv"));
  fs::remove(dir / "r.incomplete.envelope.csv");
  // So are the events, beside the results complete or not.
  fs::create_directory(dir / "m.events.csv");
  r = penstock(dir, {"m.yaml"});
  EXPECT_EQ(r.exit, 1) << r.err;
  EXPECT_EQ(r.err, "m.yaml: error: cannot write m.events.csv: Is a directory\n");
  EXPECT_FALSE(fs::exists(dir / "m.csv"));
  fs::remove(dir / "m.events.csv");
  ASSERT_EQ(::mkfifo((dir / "m.incomplete.events.csv").c_str(), 0644), 0);
  r = penstock(dir, {"m.yaml"});
  EXPECT_EQ(r.err, "m.yaml: error: cannot write m.incomplete.events.csv: not a regular file (a FIFO)\n");
  EXPECT_FALSE(fs::exists(dir / "m.csv"));
  fs::remove(dir / "m.incomplete.events.csv");
  // The image of --plot goes beside the results with .png.
  fs::create_directory(dir / "m.png");
  r = penstock(dir, {"m.yaml", "--plot"});
  EXPECT_EQ(r.exit, 1) << r.err;
  EXPECT_EQ(r.err, "m.yaml: error: cannot write m.png: Is a directory\n");
  EXPECT_FALSE(fs::exists(dir / "m.csv"));
  // Results named .png would be drawn over by their own image.
  r = penstock(dir, {"m.yaml", "--plot", "-o", "r.png"});
  EXPECT_EQ(r.exit, 1) << r.err;
  EXPECT_EQ(r.err, "m.yaml: error: cannot write r.png: --plot draws its image there; name the results .csv\n");
  EXPECT_FALSE(fs::exists(dir / "r.png"));
}

TEST_F(SimulateCommand, NeverWritesOverTheModel) {
  const std::string text = read(dir / "m.yaml");
  fs::create_hard_link(dir / "m.yaml", dir / "hard.yaml");
  fs::create_symlink("m.yaml", dir / "soft.yaml");
  fs::create_directory(dir / "sub");
  for (const std::string target : {"m.yaml", "./m.yaml", "hard.yaml", "soft.yaml", "sub/../m.yaml"}) {
    SCOPED_TRACE(target);
    const Result r = penstock(dir, {"m.yaml", "-o", target});
    EXPECT_EQ(r.exit, 1) << r.err;
    EXPECT_EQ(r.err, "m.yaml: error: cannot write " + target + ": it is the model file m.yaml\n");
    EXPECT_EQ(read(dir / "m.yaml"), text);
  }
  // A model named .csv is its own default results file; one named .csv.part would be taken for
  // the leftover temporary file of those results.
  fs::copy_file(dir / "m.yaml", dir / "model.csv");
  Result r = penstock(dir, {"model.csv"});
  EXPECT_EQ(r.err, "model.csv: error: cannot write model.csv: it is the model file model.csv\n");
  EXPECT_EQ(read(dir / "model.csv"), text);
  fs::copy_file(dir / "m.yaml", dir / "r.csv.part");
  r = penstock(dir, {"r.csv.part", "-o", "r.csv"});
  EXPECT_EQ(r.err, "r.csv.part: error: cannot write r.csv.part: it is the model file r.csv.part\n");
  EXPECT_EQ(read(dir / "r.csv.part"), text);
}

TEST_F(SimulateCommand, AFolderThatCannotTakeTheResultsIsNamedWithTheReason) {
  Result r = penstock(dir, {"m.yaml", "-o", "missing/r.csv"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.err, "m.yaml: error: cannot write missing/r.csv: No such file or directory\n");
  r = penstock(dir, {"m.yaml", "-o", "m.yaml/r.csv"});
  EXPECT_EQ(r.err, "m.yaml: error: cannot write m.yaml/r.csv: Not a directory\n");
  if (::geteuid() != 0) {  // root writes anywhere
    fs::create_directory(dir / "locked");
    fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    r = penstock(dir, {"m.yaml", "-o", "locked/r.csv"});
    EXPECT_EQ(r.err, "m.yaml: error: cannot write locked/r.csv: Permission denied\n");
    fs::remove(dir / "locked");
  }
  EXPECT_EQ(entries(dir), (std::vector<std::string>{"m.yaml"}));
}

// Interrupted while it writes, a run ends after its current step: every row so far, whole, in
// <name>.incomplete.csv, an earlier results file of that name left as it was.
TEST_F(SimulateCommand, AnInterruptedRunKeepsEveryRowWhole) {
  std::ofstream(dir / "long.yaml") << model("9000 s", "0.001 s");  // 9 million rows
  const std::pair<int, std::string> signals[] = {{SIGINT, "INT"}, {SIGTERM, "TERM"}, {SIGHUP, "HUP"}};
  for (const auto& entry : signals) {
    const int sig = entry.first;
    const std::string& name = entry.second;
    SCOPED_TRACE(name);
    std::ofstream(dir / "r.csv") << "earlier results\n";
    const Result r = penstock(dir, {"long.yaml", "-o", "r.csv"}, {}, [&](pid_t pid) {
      if (wait_for(dir / "r.csv.part", 100000)) ::kill(pid, sig);
    });
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit, 128 + sig) << r.err;
    EXPECT_EQ(read(dir / "r.csv"), "earlier results\n");
    EXPECT_FALSE(fs::exists(dir / "r.csv.part"));
    size_t rows = 0;
    ASSERT_TRUE(whole_rows(dir / "r.incomplete.csv", &rows));
    EXPECT_GT(rows, 1000u);
    EXPECT_EQ(read(dir / "r.incomplete.events.csv").rfind("time,component,what\n", 0), 0u);
    EXPECT_FALSE(fs::exists(dir / "r.events.csv"));
    EXPECT_NE(r.err.find("long.yaml: INCOMPLETE: stopped at t = "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\n  interrupted by SIG" + name + "\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("results: r.incomplete.csv (" + std::to_string(rows) + " rows, incomplete)"),
              std::string::npos)
        << r.err;
    fs::remove(dir / "r.incomplete.csv");
    fs::remove(dir / "r.incomplete.events.csv");
  }
}

// On a terminal the progress bar is wiped before the summary, which ends its last line.
TEST_F(SimulateCommand, AnInterruptOnATerminalClearsTheProgressBar) {
  std::ofstream(dir / "long.yaml") << model("30000 s", "0.001 s");  // long enough for the bar to show
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const std::string terminal = ::ptsname(master);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    const int t = ::open(terminal.c_str(), O_RDWR);
    if (t < 0 || ::chdir(dir.c_str()) != 0) ::_exit(126);
    ::dup2(t, 0), ::dup2(t, 1), ::dup2(t, 2);
    ::execl(PENSTOCK_BINARY, PENSTOCK_BINARY, "simulate", "long.yaml", "--max-rows", "0", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  std::string screen;
  bool interrupted = false;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the child has gone
    screen.append(buffer, static_cast<size_t>(n));
    if (!interrupted && screen.find("% t = ") != std::string::npos) {
      ::kill(pid, SIGINT);
      interrupted = true;
    }
    if (std::chrono::steady_clock::now() > deadline) ::kill(pid, SIGKILL);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(master);
  ASSERT_TRUE(interrupted) << screen;
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << ": " << screen;
  EXPECT_EQ(WEXITSTATUS(status), 130);
  const size_t bar = screen.rfind("% t = ");
  // The bar tells the time elapsed and an estimate of what is left.
  const size_t start_of_bar = screen.rfind('\r', bar) + 1, end_of_bar = screen.find('\r', bar);
  const std::string drawn = screen.substr(start_of_bar, end_of_bar - start_of_bar);
  ASSERT_FALSE(drawn.empty());
  EXPECT_EQ(drawn.front(), '[') << drawn;
  EXPECT_NE(drawn.find(" elapsed, "), std::string::npos) << drawn;
  EXPECT_NE(drawn.find(" left"), std::string::npos) << drawn;
  EXPECT_LE(drawn.size(), 79u) << drawn;  // no wrap on a terminal of 80 columns
  const size_t cleared = screen.find("\r" + std::string(79, ' ') + "\r", bar);
  ASSERT_NE(cleared, std::string::npos) << screen.substr(bar);
  EXPECT_EQ(screen.substr(cleared + 81, 24), "long.yaml: INCOMPLETE: s") << screen.substr(bar);
  EXPECT_EQ(screen.back(), '\n');
}

TEST_F(SimulateCommand, AFullDiskEndsTheRunKeepingWholeRows) {
  std::ofstream(dir / "long.yaml") << model("1000 s", "0.001 s");  // 1 million rows, ~20 MB
  std::ofstream(dir / "r.csv") << "earlier results\n";
  // Files larger than 100 kB cannot be written: the write that crosses it fails as on a full disk.
  const Result r = penstock(dir, {"long.yaml", "-o", "r.csv"}, [] {
    const rlimit limit{100000, 100000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  });
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exit, 1) << r.err;
  EXPECT_NE(r.err.find("\n  cannot write r.csv: File too large\n"), std::string::npos) << r.err;
  EXPECT_EQ(read(dir / "r.csv"), "earlier results\n");
  EXPECT_FALSE(fs::exists(dir / "r.csv.part"));
  size_t rows = 0;
  ASSERT_TRUE(whole_rows(dir / "r.incomplete.csv", &rows));
  EXPECT_GT(fs::file_size(dir / "r.incomplete.csv"), 90000u);
  EXPECT_NE(r.err.find("results: r.incomplete.csv (" + std::to_string(rows) + " rows, incomplete)"), std::string::npos)
      << r.err;
}

TEST_F(SimulateCommand, ARunOfTooManyRowsIsRefusedUnlessAskedFor) {
  std::ofstream(dir / "huge.yaml") << model("1e6 s", "1e-3 s");
  Result r = penstock(dir, {"huge.yaml"}, {}, {}, 20s);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit, 1) << r.err;
  EXPECT_NE(r.err.find("huge.yaml: error: the run would write 1000000001 rows"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("--max-rows"), std::string::npos) << r.err;
  EXPECT_EQ(entries(dir), (std::vector<std::string>{"huge.yaml", "m.yaml"}));
  // m.yaml: 1001 rows, replacing earlier results when complete.
  std::ofstream(dir / "m.csv") << "earlier results\n";
  r = penstock(dir, {"m.yaml", "--max-rows", "1000"});
  EXPECT_EQ(r.exit, 1) << r.err;
  EXPECT_NE(r.err.find("m.yaml: error: the run would write 1001 rows"), std::string::npos) << r.err;
  EXPECT_EQ(read(dir / "m.csv"), "earlier results\n");
  r = penstock(dir, {"m.yaml", "--max-rows", "1001", "-q"});
  EXPECT_EQ(r.exit, 0) << r.err;
  size_t rows = 0;
  ASSERT_TRUE(whole_rows(dir / "m.csv", &rows));
  EXPECT_EQ(rows, 1001u);
}

// The results hold the output grid alone; each switch of a component goes to the events file
// beside them: when, which component, what changed. The summary names both with their counts.
TEST_F(SimulateCommand, TheResultsHoldTheGridAndTheEventsTheirOwnFile) {
  const Result r = penstock(dir, {"m.yaml"});
  ASSERT_EQ(r.exit, 0) << r.err;
  size_t rows = 0;
  ASSERT_TRUE(whole_rows(dir / "m.csv", &rows));
  EXPECT_EQ(rows, 1001u);  // 0 to 10 s every 0.01 s
  std::istringstream events(read(dir / "m.events.csv"));
  std::string line;
  std::getline(events, line);
  EXPECT_EQ(line, "time,component,what");
  size_t count = 0;
  double last = -1.0;
  bool connected = false;
  while (std::getline(events, line)) {
    ++count;
    const size_t comma = line.find(',');
    ASSERT_NE(comma, std::string::npos) << line;
    const double t = std::stod(line.substr(0, comma));
    EXPECT_GE(t, last) << line;
    last = t;
    // The alternator connects as the ramp comes within 0.5 rad/s of the synchronous speed,
    // 314.159 rad/s, at 3.659 s.
    if (line.find(",alternator,\"mode flag") == comma && std::abs(t - 3.659) < 1e-6) connected = true;
  }
  EXPECT_TRUE(connected) << read(dir / "m.events.csv");
  EXPECT_NE(r.out.find("  results: m.csv (1001 rows)\n  events: m.events.csv (" + std::to_string(count) + " change"),
            std::string::npos)
      << r.out;
}

// A lumped line rings after its valve shuts, and its sections' flows reverse: switches that leave
// the equations as they were. Counted in the summary; --all-events lists them too, each taken at
// the end of the solver's step, with the same results. The default file lists the few after which
// the solver restarted: a section whose loss, past a reversal located within a step, parted from
// the old one over the rest of that step.
TEST_F(SimulateCommand, AllEventsListsTheSwitchesThatLeaveTheEquations) {
  std::ofstream(dir / "line.yaml")
      << "fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6 m2/s, bulk: 2.1e9 Pa, alpha: 0}\n"
         "components:\n"
         "  lake: {type: Headwater, parameters: {h: 100 m}}\n"
         "  line: {type: Pipe, count: 5, parameters: {dx: 60 m, Din: 1.2 m, lambda: 0.018, a: 1000 m/s}}\n"
         "  gate: {type: valve, parameters: {Din: 1.2 m}}\n"
         "connections: [[lake.B, ref], [lake.A, line.A], [line.B, gate.A], [gate.B, ref]]\n"
         "signals:\n"
         "  gate.ksi: {ramp: {start: 0.1 s, duration: 0.1 s, from: 0.5, to: 1e8}}\n"
         "run: {stop: 2 s, output: 0.01 s, start: steady, record: [gate.q]}\n";
  const Result counted = penstock(dir, {"line.yaml", "-o", "a.csv"});
  ASSERT_EQ(counted.exit, 0) << counted.err;
  const Result listed = penstock(dir, {"line.yaml", "-o", "b.csv", "--all-events"});
  ASSERT_EQ(listed.exit, 0) << listed.err;
  EXPECT_EQ(read(dir / "a.csv"), read(dir / "b.csv"));
  std::string line;
  std::istringstream restarts(read(dir / "a.events.csv"));
  std::getline(restarts, line);
  size_t restarted = 0;
  while (std::getline(restarts, line)) {
    ++restarted;
    EXPECT_NE(line.find("but part over the rest of the solver's step, and the solver restarted"), std::string::npos)
        << line;
  }
  std::istringstream events(read(dir / "b.events.csv"));
  std::getline(events, line);
  // Each a smooth switch: most taken at the end of a step, the others located (a section whose two
  // half reaches reverse in one step, and those in a step with it).
  size_t rows = 0, at_end = 0;
  while (std::getline(events, line)) {
    ++rows;
    EXPECT_NE(line.find("; its equations are the same either side"), std::string::npos) << line;
    if (line.find("; the solver renewed the flags at the end of its step from ") != std::string::npos) ++at_end;
  }
  EXPECT_GT(at_end, rows / 2);
  EXPECT_GT(rows, 10u);
  EXPECT_LT(restarted, rows / 10);
  const size_t smooth = rows - restarted;
  EXPECT_NE(counted.out.find(", smooth switches " + std::to_string(smooth) + ", "), std::string::npos) << counted.out;
  EXPECT_NE(counted.out.find("  events: a.events.csv (" + std::to_string(restarted) +
                             " changes of a component's flags; not listed: " + std::to_string(smooth) +
                             " switches that left the equations as they were (run: events: all))\n"),
            std::string::npos)
      << counted.out;
  EXPECT_NE(listed.out.find("  events: b.events.csv (" + std::to_string(rows) + " changes of a component's flags)\n"),
            std::string::npos)
      << listed.out;
}

// --json: the report lists each column with its SI unit and kind, and a failure is one JSON
// object too: where in the model file when it is the model's, the message otherwise.
TEST_F(SimulateCommand, JsonReportsColumnsAndFailures) {
  Result r = penstock(dir, {"m.yaml", "--json"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(r.out.find("\"columns\":[{\"name\":\"shaft.w\",\"unit\":\"rad/s\",\"kind\":\"speed\"},"
                       "{\"name\":\"alternator.t\",\"unit\":\"N m\",\"kind\":\"torque\"}]"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"rows\":1001,\"events_file\":\"m.events.csv\",\"events_listed\":"), std::string::npos)
      << r.out;

  std::ofstream(dir / "bad.yaml") << "components:\n  drive: {type: SpeedSource}\n  x: {type: NoSuchThing}\n";
  r = penstock(dir, {"bad.yaml", "--json"});
  EXPECT_EQ(r.exit, 1);
  ASSERT_EQ(r.out.rfind("{\"error\":{\"file\":\"bad.yaml\",\"line\":3,\"column\":", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("NoSuchThing"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 4), "\"}}\n") << r.out;
  EXPECT_NE(r.err.find("bad.yaml:3:"), std::string::npos) << r.err;  // and on stderr as before

  fs::create_directory(dir / "folder");
  r = penstock(dir, {"m.yaml", "--json", "-o", "folder"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out, "{\"error\":{\"message\":\"cannot write folder: Is a directory\"}}\n");

  // A model file that cannot be read is the loader's error like any other, with its reason.
  r = penstock(dir, {"nothere.yaml", "--json"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out,
            "{\"error\":{\"file\":\"nothere.yaml\",\"line\":null,\"column\":null,\"message\":\"cannot read the "
            "model file: No such file or directory\"}}\n");
  r = penstock(dir, {"folder", "--json"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.out.find("\"message\":\"cannot read the model file: it is a folder\""), std::string::npos) << r.out;
}

// A model with pressures: the lake's head at the gate of a short line, the valve opening.
std::string pressure_model(const std::string& fluid) {
  return fluid +
         "components:\n"
         "  lake: {type: Headwater, parameters: {h: 10 m, A.density: 1000 kg/m3}}\n"
         "  line: {type: FlowLine, parameters: {Length: 50 m, Din: 0.5 m, lambda: 0.02, A.density: 1000 kg/m3}}\n"
         "  valve: {type: Orifice, parameters: {Din: 0.5 m, A.density: 1000 kg/m3}}\n"
         "connections: [[lake.B, ref], [lake.A, line.A], {node: gate, ports: [line.B, valve.A]}, [valve.B, ref]]\n"
         "signals: {valve.Kv: {table: [[0, 0], [1, 0.02]]}}\n"
         "run: {stop: 2 s, output: 0.1 s, record: [gate.p, valve.q]}\n";
}

// The row of a variable in the summary's table: its unit, its minimum and its maximum.
struct Row {
  std::string unit;
  double min = 0.0, max = 0.0;
};
Row summary_row(const std::string& out, const std::string& name) {
  const size_t at = out.find("\n  " + name + " ");
  if (at == std::string::npos) return {};
  std::istringstream line(out.substr(at + 3, out.find('\n', at + 1) - at - 3));
  Row row;
  std::string variable;
  double t = 0.0;
  line >> variable >> row.unit >> row.min >> t >> row.max;
  return row;
}

// The summary shows pressures in the unit asked for, bar by default, says they are gauge, and
// gives every column's unit; a head of water is taken with the model's fluid.
TEST_F(SimulateCommand, PressuresInTheUnitAskedFor) {
  std::ofstream(dir / "p.yaml") << pressure_model("");
  std::ofstream(dir / "light.yaml") << pressure_model("fluid: {density: 500 kg/m3}\n");
  const Result pa = penstock(dir, {"p.yaml", "--pressure-unit", "Pa"});
  ASSERT_EQ(pa.exit, 0) << pa.err;
  const Row gate = summary_row(pa.out, "gate.p");
  EXPECT_EQ(gate.unit, "Pa") << pa.out;
  EXPECT_NEAR(gate.max, 1000 * 9.81 * 10, 1.0) << pa.out;  // at rest, the lake's head
  EXPECT_EQ(summary_row(pa.out, "valve.q").unit, "m3/s") << pa.out;
  EXPECT_NE(pa.out.find("pressures in Pa, gauge (against the atmosphere)"), std::string::npos) << pa.out;
  struct Case {
    std::vector<std::string> args;
    std::string unit;
    double pascals;
    std::string says;
  };
  const std::vector<Case> cases{
      {{"p.yaml"}, "bar", 1e5, "pressures in bar, gauge"},
      {{"p.yaml", "--pressure-unit", "kPa"}, "kPa", 1e3, "pressures in kPa, gauge"},
      {{"p.yaml", "--pressure-unit", "mH2O"}, "mH2O", 1000 * 9.81, "pressures in mH2O (head of water at 1000 kg/m3"},
      {{"light.yaml", "--pressure-unit", "mH2O"},
       "mH2O",
       500 * 9.81,
       "pressures in mH2O (head of the fluid at 500 kg/m3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.unit);
    const Result r = penstock(dir, c.args);
    ASSERT_EQ(r.exit, 0) << r.err;
    const Row row = summary_row(r.out, "gate.p");
    EXPECT_EQ(row.unit, c.unit) << r.out;
    EXPECT_NEAR(row.min * c.pascals, gate.min, 1e-5 * gate.min) << r.out;
    EXPECT_NEAR(row.max * c.pascals, gate.max, 1e-5 * gate.max) << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
  }
  const Result bad = penstock(dir, {"p.yaml", "--pressure-unit", "psi"});
  EXPECT_NE(bad.exit, 0);
  EXPECT_FALSE(fs::exists(dir / "p.csv.part"));
}

// The plot of a run shows its pressures in the summary's unit, with the fluid's density for a
// head: the script gnuplot is handed is kept by a gnuplot in front of the real one.
TEST_F(SimulateCommand, ThePlotShowsPressuresInTheSummarysUnit) {
  if (!fs::exists("/usr/bin/gnuplot")) GTEST_SKIP() << "gnuplot is not installed";
  std::ofstream(dir / "light.yaml") << pressure_model("fluid: {density: 500 kg/m3}\n");
  const fs::path bin = root / "bin";
  fs::create_directories(bin);
  std::ofstream(bin / "gnuplot") << "#!/bin/sh\ntee \"$PLOT_SCRIPT\" | /usr/bin/gnuplot \"$@\"\n";
  fs::permissions(bin / "gnuplot", fs::perms::owner_all);
  const fs::path script = root / "script.gp";
  const auto in_front = [&] {
    ::setenv("PATH", (bin.string() + ":" + std::getenv("PATH")).c_str(), 1);
    ::setenv("PLOT_SCRIPT", script.c_str(), 1);
  };
  Result r = penstock(dir, {"light.yaml", "--plot", "-q", "--pressure-unit", "kPa"}, in_front);
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(read(script).find("pressure [kPa, gauge]"), std::string::npos) << read(script);
  r = penstock(dir, {"light.yaml", "--plot", "-q", "--pressure-unit", "mH2O"}, in_front);
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(read(script).find("m of fluid at 500 kg/m³, gauge"), std::string::npos) << read(script);
}

// A note says in plain words what happened and whether to trust the results; the solver's own
// account of it only with --verbose.
TEST_F(SimulateCommand, NotesInPlainWordsAndTheSolversOnlyWhenVerbose) {
  // No head across the valve: its flow law has an infinite slope at the start.
  std::ofstream(dir / "still.yaml") << "fluid: {density: 1000 kg/m3}\n"
                                       "components:\n"
                                       "  lake: {type: Headwater, parameters: {h: 0 m}}\n"
                                       "  valve: {type: Orifice, parameters: {Din: 0.5 m}}\n"
                                       "connections: [[lake.B, ref], [lake.A, valve.A], [valve.B, ref]]\n"
                                       "signals: {valve.Kv: 0.02}\n"
                                       "run: {stop: 2 s, output: 0.5 s, record: [valve.q]}\n";
  Result r = penstock(dir, {"still.yaml"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(r.err.find("still.yaml: note: at t = 0 s, in component 'valve' the equations have an infinite slope with "
                       "respect to valve.p (pressure)"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("the results can be trusted"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("Jacobian"), std::string::npos) << r.err;
  r = penstock(dir, {"still.yaml", "--verbose"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(r.err.find("\n  solver: t = 0: the Jacobian entry of valve: equation 0 with respect to valve.p is"),
            std::string::npos)
      << r.err;
}

// Off a terminal (a log, a pipe) the progress is plain lines, never a bar redrawn in place; a
// run shorter than their period says nothing, nor does a quiet one.
TEST_F(SimulateCommand, NoBarOffATerminal) {
  Result r = penstock(dir, {"m.yaml"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.err, "");
  r = penstock(dir, {"m.yaml", "-q"});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "");
}

// penstock alone prints its help, and succeeds.
TEST_F(SimulateCommand, NoSubcommandPrintsTheHelp) {
  const fs::path out = root / "help";
  const int status = std::system((std::string(PENSTOCK_BINARY) + " > " + out.string() + " 2>&1").c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string help = read(out);
  EXPECT_NE(help.find("simulate"), std::string::npos) << help;
  EXPECT_NE(help.find("check"), std::string::npos) << help;
  EXPECT_EQ(help.find("A subcommand is required"), std::string::npos) << help;
}

}  // namespace
}  // namespace penstock::testing
