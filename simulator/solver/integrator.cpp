// IDA on F(t, y, y') = Mass·y' - Residual - LinearRow·y = 0, KINSOL for the steady start; the
// zero crossings of each switching part located on IDA's interpolant step by step, with the part's
// mode flags renewed at its switch.
#include <fmt/core.h>
#include <ida/ida.h>
#include <kinsol/kinsol.h>
#include <nvector/nvector_serial.h>
#include <sundials/sundials_context.h>
#include <sunlinsol/sunlinsol_dense.h>
#include <sunlinsol/sunlinsol_klu.h>
#include <sunmatrix/sunmatrix_dense.h>
#include <sunmatrix/sunmatrix_sparse.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "penstock/sim/solver.hpp"

namespace penstock::sim {
namespace {

// Mode flags renewed at most this often at one instant before they count as chattering.
constexpr int kMaxModeIterations = 20;
// Switches of one part located within one integrator step; more are taken at the step's end.
constexpr int kLocatedPerStep = 4;
// Unit roundoff of the doubles IDA works in.
constexpr double kRoundoff = SUN_UNIT_ROUNDOFF;

struct Failure {
  std::string message;
};

// Owners of the SUNDIALS objects.
struct ContextDeleter {
  void operator()(SUNContext c) const { SUNContext_Free(&c); }
};
struct VectorDeleter {
  void operator()(N_Vector v) const { N_VDestroy(v); }
};
struct MatrixDeleter {
  void operator()(SUNMatrix m) const { SUNMatDestroy(m); }
};
struct LinearSolverDeleter {
  void operator()(SUNLinearSolver s) const { SUNLinSolFree(s); }
};
struct IdaDeleter {
  void operator()(void* m) const { IDAFree(&m); }
};
struct KinDeleter {
  void operator()(void* m) const { KINFree(&m); }
};
using Context = std::unique_ptr<std::remove_pointer_t<SUNContext>, ContextDeleter>;
using Vector = std::unique_ptr<std::remove_pointer_t<N_Vector>, VectorDeleter>;
using Matrix = std::unique_ptr<std::remove_pointer_t<SUNMatrix>, MatrixDeleter>;
using LinearSolver = std::unique_ptr<std::remove_pointer_t<SUNLinearSolver>, LinearSolverDeleter>;
using IdaMemory = std::unique_ptr<void, IdaDeleter>;
using KinMemory = std::unique_ptr<void, KinDeleter>;

// KLU refactors with the pivot order of its first factorisation (the symbolic analysis reused);
// when a pivot of that order vanishes the refactorisation fails, and SUNDIALS would fail the same
// way on every retry. Then analyse and factor afresh, once.
int klu_setup(SUNLinearSolver S, SUNMatrix A) {
  if (SUNLinSolSetup_KLU(S, A) == SUNLS_SUCCESS) return SUNLS_SUCCESS;
  SUNLinSol_KLUReInit(S, A, SUNSparseMatrix_NNZ(A), SUNKLU_REINIT_PARTIAL);
  return SUNLinSolSetup_KLU(S, A);
}

std::string flag_name(char* (*namer)(long), int flag) {
  char* name = namer(flag);
  std::string text = name != nullptr ? name : fmt::format("flag {}", flag);
  std::free(name);
  return text;
}

using SwitchingPart = DaeSystem::SwitchingPart;

class Integrator {
 public:
  Integrator(DaeSystem& system, const RunSettings& run, Observer& observer)
      : system_(system), run_(run), observer_(observer), n_(system.size()) {}

  Outcome run() {
    const auto wall_start = std::chrono::steady_clock::now();
    Outcome outcome;
    outcome.end_time = run_.start_time;
    try {
      check_settings();
      set_up();
      outcome.linear_solver = dense_ ? "dense" : "klu";
      start();
      integrate();
      outcome.complete = true;
    } catch (const Failure& failure) {
      outcome.error = failure.message;
    }
    outcome.end_time = t_;
    accumulate();
    stats_.wall_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    outcome.stats = stats_;
    return outcome;
  }

 private:
  // ---- set-up ---------------------------------------------------------------------------------

  void check_settings() const {
    if (n_ == 0) throw Failure{"the model has no unknowns"};
    if (!(run_.stop_time > run_.start_time))
      throw Failure{fmt::format("stop time {} is not after start time {}", run_.stop_time, run_.start_time)};
    if (!(run_.output_interval > 0.0)) throw Failure{"the output interval must be positive"};
    if (!(run_.relative_tolerance > 0.0) || !(run_.absolute_tolerance > 0.0))
      throw Failure{"tolerances must be positive"};
    if (system_.differential().size() != n_ || system_.variable_names().size() != n_ ||
        system_.equation_names().size() != n_ || system_.pattern().column_starts.size() != n_ + 1)
      throw Failure{"the assembled system is inconsistent: sizes of names, flags and pattern differ from its size"};
  }

  void check(int flag, const char* what) const {
    if (flag < 0)
      throw Failure{fmt::format("{} failed: {}", what, last_error_.empty() ? std::to_string(flag) : last_error_)};
  }

  template <typename T>
  T made(T object, const char* what) const {
    if (object == nullptr) throw Failure{fmt::format("could not create the {}", what)};
    return object;
  }

  void set_up() {
    const SparsityPattern& pattern = system_.pattern();
    nnz_ = pattern.row_indices.size();
    values_.assign(nnz_, 0.0);
    row_scale_.assign(n_, 0.0);
    breakpoints_ = system_.breakpoints();
    probe_.assign(n_, 0.0);
    y_start_.assign(n_, 0.0);
    yp_start_.assign(n_, 0.0);
    cubic_y_.assign(n_, 0.0);
    F_plus_.assign(n_, 0.0);
    F_minus_.assign(n_, 0.0);
    differential_.resize(n_);
    for (size_t i = 0; i < n_; ++i) differential_[i] = system_.differential()[i] ? 1.0 : 0.0;
    dense_ = run_.linear_solver == RunSettings::Linear::dense ||
             (run_.linear_solver == RunSettings::Linear::automatic && n_ < kDenseLimit);

    SUNContext raw_context = nullptr;
    if (SUNContext_Create(nullptr, &raw_context) != 0) throw Failure{"could not create the SUNDIALS context"};
    context_.reset(raw_context);
    const auto n = static_cast<sunindextype>(n_);
    y_.reset(made(N_VNew_Serial(n, context_.get()), "state vector"));
    // IDA's vectors are clones of y: one pass over memory for each linear combination of its
    // history (the predictor, the interpolant at outputs and switches) instead of one per term.
    check(N_VEnableFusedOps_Serial(y_.get(), SUNTRUE), "N_VEnableFusedOps_Serial");
    yp_.reset(made(N_VNew_Serial(n, context_.get()), "derivative vector"));
    id_.reset(made(N_VNew_Serial(n, context_.get()), "id vector"));
    atol_.reset(made(N_VNew_Serial(n, context_.get()), "tolerance vector"));
    scratch_.reset(made(N_VNew_Serial(n, context_.get()), "scratch vector"));
    u_scale_.reset(made(N_VNew_Serial(n, context_.get()), "scaling vector"));
    f_scale_.reset(made(N_VNew_Serial(n, context_.get()), "scaling vector"));
    event_y_.reset(made(N_VClone(y_.get()), "event state vector"));
    event_yp_.reset(made(N_VClone(y_.get()), "event derivative vector"));
    probe_y_.reset(made(N_VClone(y_.get()), "interpolation vector"));
    dense_y_.reset(made(N_VClone(y_.get()), "output vector"));
    split_y_.reset(made(N_VClone(y_.get()), "interpolation vector"));

    system_.initial_values(data(y_), data(yp_));
    std::copy(differential_.begin(), differential_.end(), data(id_));
    const std::vector<double> atol = system_.absolute_tolerances(run_.absolute_tolerance);
    if (atol.size() != n_) throw Failure{"the system gave a tolerance vector of the wrong size"};
    for (size_t i = 0; i < n_; ++i)
      if (!(atol[i] > 0.0)) throw Failure{fmt::format("absolute tolerance of {} is not positive", name_of(i))};
    std::copy(atol.begin(), atol.end(), data(atol_));

    ida_matrix_ = new_matrix();
    ida_solver_ = new_solver(ida_matrix_.get());
    kin_matrix_ = new_matrix();
    kin_solver_ = new_solver(kin_matrix_.get());

    ida_.reset(made(IDACreate(context_.get()), "IDA integrator"));
    void* ida = ida_.get();
    check(IDASetErrHandlerFn(ida, on_error, this), "IDASetErrHandlerFn");
    check(IDAInit(ida, ida_residual, run_.start_time, y_.get(), yp_.get()), "IDAInit");
    check(IDASetUserData(ida, this), "IDASetUserData");
    check(IDASVtolerances(ida, run_.relative_tolerance, atol_.get()), "IDASVtolerances");
    check(IDASetId(ida, id_.get()), "IDASetId");
    check(IDASetSuppressAlg(ida, SUNTRUE), "IDASetSuppressAlg");
    if (run_.max_step > 0.0) check(IDASetMaxStep(ida, run_.max_step), "IDASetMaxStep");
    // A step this short makes no progress worth having: stop rather than creep towards a fault.
    check(IDASetMinStep(ida, 1e-12 * std::max(1.0, run_.stop_time - run_.start_time)), "IDASetMinStep");
    check(IDASetLinearSolver(ida, ida_solver_.get(), ida_matrix_.get()), "IDASetLinearSolver");
    check(IDASetJacFn(ida, ida_jacobian), "IDASetJacFn");

    kin_.reset(made(KINCreate(context_.get()), "KINSOL solver"));
    void* kin = kin_.get();
    check(KINSetErrHandlerFn(kin, on_error, this), "KINSetErrHandlerFn");
    check(KINInit(kin, kin_residual, y_.get()), "KINInit");
    check(KINSetUserData(kin, this), "KINSetUserData");
    check(KINSetLinearSolver(kin, kin_solver_.get(), kin_matrix_.get()), "KINSetLinearSolver");
    check(KINSetJacFn(kin, kin_jacobian), "KINSetJacFn");
    check(KINSetMaxSetupCalls(kin, 1), "KINSetMaxSetupCalls");  // exact Newton: the Jacobian is cheap
    check(KINSetNumMaxIters(kin, 200), "KINSetNumMaxIters");
    check(KINSetScaledStepTol(kin, 1e-14), "KINSetScaledStepTol");
    // The unknowns are scaled by their tolerances: a full Newton step is many scaled units long.
    check(KINSetMaxNewtonStep(kin, 1e100), "KINSetMaxNewtonStep");
    t_ = run_.start_time;
  }

  Matrix new_matrix() const {
    const auto n = static_cast<sunindextype>(n_);
    if (dense_) return Matrix(made(SUNDenseMatrix(n, n, context_.get()), "dense matrix"));
    return Matrix(
        made(SUNSparseMatrix(n, n, static_cast<sunindextype>(std::max<size_t>(nnz_, 1)), CSC_MAT, context_.get()),
             "sparse matrix"));
  }

  LinearSolver new_solver(SUNMatrix matrix) const {
    if (dense_) return LinearSolver(made(SUNLinSol_Dense(y_.get(), matrix, context_.get()), "dense linear solver"));
    LinearSolver solver(made(SUNLinSol_KLU(y_.get(), matrix, context_.get()), "KLU linear solver"));
    solver->ops->setup = klu_setup;
    return solver;
  }

  // ---- the start --------------------------------------------------------------------------------

  void start() {
    const double t0 = run_.start_time;
    std::vector<std::string> changed = renew_all(system_, t0, data(y_));
    for (int iteration = 0;; ++iteration) {
      if (run_.start == RunSettings::Start::steady) {
        steady_state();
        reinit(t0);
      } else {
        consistent_restart(t0);
      }
      changed = renew_all(system_, t0, data(y_));
      if (changed.empty()) break;
      chatter_check(iteration, changed, t0);
    }
    observer_.sample(t0, data(y_), false);
  }

  // F(t0, y, 0) = 0 for every y: the differential variables at rest. Newton from the start values
  // first; where that fails (a quadratic loss has no slope at zero flow, so a network at rest has
  // a singular Jacobian) by pseudo-transient continuation: implicit-Euler steps at t0 with the
  // signals held, the step growing while they succeed and the flags renewed after each, until
  // Newton on the steady equations converges.
  void steady_state() {
    const double t0 = run_.start_time;
    const double span = run_.stop_time - run_.start_time;
    double* y = data(y_);
    std::vector<double> base(y, y + n_);
    std::string why;
    if (newton(t0, 0.0, nullptr, 1e-9, why)) return done_steady();
    std::copy(base.begin(), base.end(), y);
    double h = run_.output_interval;
    for (int step = 0; step < 400; ++step) {
      base.assign(y, y + n_);
      std::string step_why;
      if (!newton(t0, 1.0 / h, base.data(), 1e-8, step_why)) {
        std::copy(base.begin(), base.end(), y);
        h /= 8.0;
        if (h < 1e-12 * span) break;
        continue;
      }
      N_VConst(0.0, yp_.get());
      renew_all(system_, t0, y);
      h *= 4.0;
      if (h < 1e3 * span) continue;
      base.assign(y, y + n_);
      if (newton(t0, 0.0, nullptr, 1e-9, why)) return done_steady();
      std::copy(base.begin(), base.end(), y);
    }
    throw Failure{fmt::format("no steady state found at t = {}: {}", t0, why)};
  }

  void done_steady() { N_VConst(0.0, yp_.get()); }

  // Makes (y, y') consistent at t under the current flags: the algebraic variables and the
  // derivatives re-solved with the differential variables held. Where that system is singular
  // (two differential flows meeting at a node, a closed valve on a differential flow), two tiny
  // implicit-Euler steps project y onto the constraints and give y' by difference.
  void consistent_restart(double t) {
    reinit(t);
    if (IDACalcIC(ida_.get(), IDA_YA_YDP_INIT, t + run_.output_interval) >= 0) {
      check(IDAGetConsistentIC(ida_.get(), y_.get(), yp_.get()), "IDAGetConsistentIC");
      return;
    }
    note_once(projected_, fmt::format("t = {}: the consistent initialisation ({}) failed; the state is projected "
                                      "onto the constraints by implicit-Euler steps instead",
                                      t, last_error_));
    const double h = 1e-8 * std::max(1.0, run_.stop_time - run_.start_time);
    std::vector<double> before(data(y_), data(y_) + n_);
    std::string why;
    for (int step = 0; step < 2; ++step) {
      before.assign(data(y_), data(y_) + n_);
      if (!newton(t, 1.0 / h, before.data(), 1e-8, why))
        throw Failure{fmt::format("no consistent state at t = {}: {}", t, why)};
    }
    double* y = data(y_);
    double* yp = data(yp_);
    for (size_t i = 0; i < n_; ++i) yp[i] = differential_[i] != 0.0 ? (y[i] - before[i]) / h : 0.0;
    reinit(t);
  }

  // Solves F(t, y, y') = 0 for y with KINSOL, y' = cj·(y - base) on the differential variables
  // (cj = 0: y' = 0). Scaled so that the residual reads as a Newton correction in units of the
  // error weights.
  bool newton(double t, double cj, const double* base, double tolerance, std::string& why) {
    newton_t_ = t;
    newton_cj_ = cj;
    newton_base_ = base;
    derivatives_from(data(y_));
    error_weights(data(y_), data(u_scale_));
    scale_rows(t, data(y_), data(yp_), cj, data(u_scale_));
    double* f_scale = data(f_scale_);
    for (size_t r = 0; r < n_; ++r) f_scale[r] = row_scale_[r] > 0.0 ? 1.0 / row_scale_[r] : 1.0;
    check(KINSetFuncNormTol(kin_.get(), tolerance), "KINSetFuncNormTol");
    last_error_.clear();
    const int flag = KINSol(kin_.get(), y_.get(), KIN_LINESEARCH, u_scale_.get(), f_scale_.get());
    derivatives_from(data(y_));
    if (flag >= 0) return true;
    // Stuck at the rounding floor of the residual, close enough to count as solved.
    double fnorm = HUGE_VAL;
    if (KINGetFuncNorm(kin_.get(), &fnorm) == KIN_SUCCESS && fnorm <= 1e3 * tolerance) return true;
    system_.residual(t, data(y_), data(yp_), data(scratch_));
    why = fmt::format("{}; largest residual in {}",
                      last_error_.empty() ? flag_name(KINGetReturnFlagName, flag) : last_error_,
                      worst_equation(data(scratch_)));
    return false;
  }

  // y' of the Newton problem from its unknowns.
  void derivatives_from(const double* y) {
    double* yp = data(yp_);
    for (size_t i = 0; i < n_; ++i)
      yp[i] = (newton_base_ != nullptr && differential_[i] != 0.0) ? newton_cj_ * (y[i] - newton_base_[i]) : 0.0;
  }

  // ---- integration ------------------------------------------------------------------------------

  // One IDA step at a time. After each step the zero-crossing signals at its end are compared with
  // those at its start; a part whose signal changed sign has its switch located on the step's
  // interpolant and handled there, in time order. A switch that leaves F as it was (a loss changing
  // sign at zero flow) goes on with IDA's history; any other restarts IDA at the switch.
  void integrate() {
    const double t0 = run_.start_time;
    const double span = run_.stop_time - t0;
    auto output_time = [&](long index) {
      const double t = t0 + static_cast<double>(index) * run_.output_interval;
      return t > run_.stop_time - 1e-12 * span ? run_.stop_time : t;
    };
    tout_ = output_time(next_output_);
    auto next_output = [&] { tout_ = output_time(++next_output_); };
    // The outputs of the last step before t, from IDA's interpolant.
    auto outputs_before = [&](double t) {
      while (tout_ < t - close(t, tout_)) {
        interpolate(tout_, 0, dense_y_.get());
        observer_.sample(tout_, data(dense_y_), false);
        last_sample_ = tout_;
        next_output();
      }
    };
    for (;;) {
      // An output on the current time (the start, a restart on an output time, the end): the
      // state itself.
      if (tout_ - t_ <= close(t_, tout_)) {
        observer_.sample(t_, data(y_), false);
        last_sample_ = t_;
        if (tout_ >= run_.stop_time) break;
        next_output();
        continue;
      }
      if (restarted_) begin_interval();
      step_start_ = t_;
      std::copy(data(y_), data(y_) + n_, y_start_.begin());
      std::copy(data(yp_), data(yp_) + n_, yp_start_.begin());
      double tret = t_;
      last_error_.clear();
      const int flag = IDASolve(ida_.get(), run_.stop_time, &tret, y_.get(), yp_.get(), IDA_ONE_STEP);
      if (flag < 0) {
        t_ = tret;
        const std::string why = integration_failure(flag);
        if (t_ > last_sample_) observer_.sample(t_, data(y_), false);  // the last state reached
        throw Failure{why};
      }
      const double t_lo = t_;
      t_ = tret;
      if (switches(t_lo, tret, outputs_before)) continue;
      outputs_before(t_);
      // At a kink or jump of a signal IDA begins afresh: its history from before would bend the
      // interpolant after it. A jump may switch a component (an enable going to 0) without any
      // signal crossing zero: the flags are renewed just past it, where the signal has its new
      // value, and a switch restarts the run from there.
      if (flag == IDA_TSTOP_RETURN) {
        const double after = t_ + close(t_, t_);
        if (renew_all(system_, after, data(y_)).empty()) {
          reinit(t_);
        } else {
          ++stats_.mode_changes;
          t_ = after;
          settle_modes();
          sample_switched_state();
        }
      }
      observer_.progress(t_);
    }
  }

  // The signals of every part, and their rates, at the start of the interval IDA integrates next.
  void begin_interval() {
    const size_t n = root_count(system_);
    g_lo_.resize(n);
    g_hi_.resize(n);
    rate_lo_.resize(n);
    rate_hi_.resize(n);
    lo_.resize(n);
    hi_.resize(n);
    mid_.resize(n);
    since_.resize(system_.switching_parts().size());
    if (n > 0) {
      all_roots(system_, t_, data(y_), g_lo_.data());
      rates(t_, y_.get(), yp_.get(), run_.output_interval, g_lo_, rate_lo_);
    }
    restarted_ = false;
  }

  // The time over which rates are taken: a small part of a step h.
  static double rate_span(double h) { return 1e-4 * h; }

  // dg/dt of every signal at (t, y, y'), by a forward difference along y' over a small part of
  // a step h: enough to see whether a signal heads for zero.
  void rates(double t, N_Vector y, N_Vector yp, double h, const std::vector<double>& g, std::vector<double>& rate) {
    const double dt = rate_span(h);
    N_VLinearSum(1.0, y, dt, yp, probe_y_.get());
    all_roots(system_, t + dt, data(probe_y_), rate.data());
    for (size_t i = 0; i < rate.size(); ++i) rate[i] = (rate[i] - g[i]) / dt;
  }

  static int sign_of(double g) { return (g > 0.0) - (g < 0.0); }

  // Whether a signal at some time has left the sign it had at the start of the interval (lo) on
  // its way to the sign it has at the end (hi). Exactly zero counts as left only where the signal
  // ends on zero: a flag that tests its signal strictly reads the old side there.
  static bool left(double lo, double g, double hi) {
    const int s = sign_of(g);
    return s != sign_of(lo) && (s != 0 || sign_of(hi) == 0);
  }

  // The switches in the step (t_lo, t_hi], in time order, and those beyond the located ones at
  // the step's end. emit(t) writes the outputs before t. True when a switch restarted IDA.
  template <typename Emit>
  bool switches(double t_lo, double t_hi, Emit emit) {
    const auto& parts = system_.switching_parts();
    if (parts.empty()) return false;
    all_roots(system_, t_hi, data(y_), g_hi_.data());
    rates(t_hi, y_.get(), yp_.get(), t_hi - t_lo, g_hi_, rate_hi_);
    const double split = there_and_back(t_lo, t_hi);
    if (split == t_hi && std::none_of(parts.begin(), parts.end(), [&](const auto& part) { return crosses(part); })) {
      g_lo_.swap(g_hi_);
      rate_lo_.swap(rate_hi_);
      return false;
    }
    error_weights(data(y_), data(u_scale_));
    scale_rows_by_last_jacobian(data(u_scale_));
    switched_.assign(parts.size(), 0);
    double a = t_lo;
    if (split < t_hi) {
      // First up to the point where the signal is across zero, then on to the step's end.
      if (interval(a, split, split_y_.get(), emit)) return true;
      a = split;
      g_lo_.swap(g_hi_);
      all_roots(system_, t_hi, data(y_), g_hi_.data());
    }
    if (interval(a, t_hi, y_.get(), emit)) return true;
    // Switches beyond the located ones are taken at the step's end.
    bool smooth = true;
    bool changed = false;
    for (size_t p = 0; p < parts.size(); ++p)
      if (crosses(parts[p])) {
        ++switched_[p];
        smooth = renew_smoothly(p, t_hi, data(y_), data(yp_), changed) && smooth;
      }
    if (changed) ++stats_.mode_changes;
    if (!smooth) {
      emit(t_hi);
      settle_modes();
      sample_switched_state();
      return true;
    }
    // The next step starts here, under the flags now in force: the signals and rates of the parts
    // that switched taken again.
    const double dt = rate_span(t_hi - t_lo);
    for (size_t p = 0; p < parts.size(); ++p) {
      if (switched_[p] == 0) continue;
      const SwitchingPart& part = parts[p];
      system_.part_roots(p, t_hi, data(y_), g_hi_.data() + part.first_root);
      for (const size_t j : part.unknowns) cubic_y_[j] = data(y_)[j] + dt * data(yp_)[j];
      system_.part_roots(p, t_hi + dt, cubic_y_.data(), rate_hi_.data() + part.first_root);
      for (size_t i = part.first_root; i < part.first_root + part.n_roots; ++i)
        rate_hi_[i] = (rate_hi_[i] - g_hi_[i]) / dt;
    }
    g_lo_.swap(g_hi_);
    rate_lo_.swap(rate_hi_);
    return false;
  }

  // A signal that keeps its sign at both ends of the step but heads for zero at the start and
  // comes from it at the end may have crossed and come back within the step (a speed passing
  // through a narrow window). Where the tangents at the ends meet across zero, the interpolant is
  // looked at there; the earliest such time at which a signal is across zero, or t_hi. split_y_
  // holds the state there.
  double there_and_back(double a, double b) {
    const auto& parts = system_.switching_parts();
    double split = b;
    for (size_t p = 0; p < parts.size(); ++p) {
      const SwitchingPart& part = parts[p];
      for (size_t i = part.first_root; i < part.first_root + part.n_roots; ++i) {
        const double g0 = g_lo_[i], g1 = g_hi_[i], m0 = rate_lo_[i], m1 = rate_hi_[i];
        if (sign_of(g0) == 0 || sign_of(g0) != sign_of(g1) || !(g0 * m0 < 0.0) || !(g1 * m1 > 0.0)) continue;
        const double t = (g1 - g0 + m0 * a - m1 * b) / (m0 - m1);
        if (!(t > a && t < split) || sign_of(g0 + m0 * (t - a)) == sign_of(g0)) continue;
        interpolate(t, 0, probe_y_.get());
        system_.part_roots(p, t, data(probe_y_), mid_.data() + part.first_root);
        if (sign_of(mid_[i]) == sign_of(g0)) continue;
        split = t;
        N_VScale(1.0, probe_y_.get(), split_y_.get());
      }
    }
    if (split < b) all_roots(system_, split, data(split_y_), g_hi_.data());
    return split;
  }

  // The switches in (a, b], with y_b the state at b and g_hi_ the signals there. Each part's
  // crossing is located on its own (the cubic is the step's, whatever switches in it), and the
  // parts switch in time order, those crossing at the same time together. A part's switches are
  // located a few times per step at most: a signal that keeps coming back across zero (a variable
  // held at zero, whose rounding noise crosses it) is taken at the step's end.
  template <typename Emit>
  bool interval(double a, double b, N_Vector y_b, Emit emit) {
    const auto& parts = system_.switching_parts();
    pending_.clear();
    for (size_t p = 0; p < parts.size(); ++p) {
      since_[p] = a;
      if (crosses(parts[p])) pending_.push_back({locate_on_cubic(p, a, b), p});
    }
    while (!pending_.empty()) {
      const double t = std::min_element(pending_.begin(), pending_.end())->first;
      candidates_.clear();
      double start = a;
      std::erase_if(pending_, [&](const std::pair<double, size_t>& e) {
        if (e.first != t) return false;
        candidates_.push_back(e.second);
        start = std::max(start, since_[e.second]);
        return true;
      });
      if (switch_parts(start, t, b, y_b, emit)) return true;
      for (const size_t p : switching_) {
        since_[p] = t;
        if (switched_[p] < kLocatedPerStep && crosses(parts[p])) pending_.push_back({locate_on_cubic(p, t, b), p});
      }
    }
    return false;
  }

  // Whether a signal of the part has another sign at the step's end than at its start.
  bool crosses(const SwitchingPart& part) const {
    for (size_t i = part.first_root; i < part.first_root + part.n_roots; ++i)
      if (sign_of(g_lo_[i]) != sign_of(g_hi_[i])) return true;
    return false;
  }

  // Renews part p's flags at (t, y, y'); false when that changed F there by more than a tenth of
  // an error weight, or the flags do not settle at once.
  bool renew_smoothly(size_t p, double t, const double* y, const double* yp, bool& changed) {
    const SwitchingPart& part = system_.switching_parts()[p];
    before_switch_.resize(part.rows.size());
    after_switch_.resize(part.rows.size());
    system_.part_residual(p, t, y, yp, before_switch_.data());
    if (!system_.renew_part(p, t, y)) return true;
    changed = true;
    system_.part_residual(p, t, y, yp, after_switch_.data());
    if (system_.renew_part(p, t, y)) return false;
    for (size_t k = 0; k < part.rows.size(); ++k)
      if (!(std::abs(after_switch_[k] - before_switch_[k]) <= 0.1 * row_scale_[part.rows[k]])) return false;
    return true;
  }

  // Whether a candidate part has a signal that has left its sign at the bracket's start.
  bool has_left(const SwitchingPart& part, const double* g) const {
    for (size_t i = part.first_root; i < part.first_root + part.n_roots; ++i)
      if (left(g_lo_[i], g[i], g_hi_[i])) return true;
    return false;
  }

  // The earliest time in (a, b] at which a signal of part p has left its sign at a, on the cubic
  // through the values and slopes at the step's ends, to within IDA's time resolution: the end of
  // the final bracket, where the signal reads its new side. hi_ keeps the part's signals there.
  //
  // The cubic reads only the part's own unknowns, so that locating a switch costs the same in a
  // plant of ten sections as in one of a thousand; it and IDA's interpolant differ by less than
  // the error tolerance, and so do the times at which they cross.
  double locate_on_cubic(size_t p, double a, double b) {
    const SwitchingPart& part = system_.switching_parts()[p];
    const std::span<const size_t> one(&p, 1);
    start_bracket(one);
    narrow(one, a, b, resolution(a, b), [&](double t) { return signals_at(one, t, cubic(part.unknowns, t)); });
    return b;
  }

  // The earliest crossing of a candidate on IDA's interpolant, for a switch that restarts IDA:
  // event_y_ holds the state at the time returned, hi_ the candidates' signals there.
  double locate_on_ida(double a, double b) {
    const std::span<const size_t> all(candidates_);
    auto on_ida = [&](double t) {
      interpolate(t, 0, event_y_.get());
      return signals_at(all, t, data(event_y_));
    };
    start_bracket(all);
    narrow(all, a, b, resolution(a, b), on_ida);
    on_ida(b);
    keep(all, mid_, hi_);
    return b;
  }

  static double resolution(double a, double b) { return 100 * kRoundoff * (std::abs(b) + (b - a)); }

  // The parts' signals at the bracket's ends, from those at the interval's.
  void start_bracket(std::span<const size_t> group) {
    keep(group, g_lo_, lo_);
    keep(group, g_hi_, hi_);
  }

  // The parts' entries of one vector of signals into another.
  void keep(std::span<const size_t> group, const std::vector<double>& from, std::vector<double>& to) const {
    const auto& parts = system_.switching_parts();
    for (const size_t p : group) {
      const auto first = static_cast<long>(parts[p].first_root);
      std::copy(from.begin() + first, from.begin() + first + static_cast<long>(parts[p].n_roots), to.begin() + first);
    }
  }

  // Regula falsi on the bracket [a, b] down to the resolution, with the Illinois weight against a
  // bracket end that stays put; signals(t) puts the group's signals at t into mid_ and says
  // whether one has left. lo_ and hi_ hold them at the bracket's ends.
  template <typename Signals>
  void narrow(std::span<const size_t> group, double& a, double& b, double resolution, Signals signals) {
    const auto& parts = system_.switching_parts();
    enum { none, low, high } side = none, previous = none;
    double weight = 1.0;
    while (b - a > resolution) {
      weight = side != none && side == previous ? (side == high ? 2.0 * weight : 0.5 * weight) : 1.0;
      const double width = b - a;
      double t = b;
      for (const size_t p : group)
        for (size_t i = parts[p].first_root; i < parts[p].first_root + parts[p].n_roots; ++i)
          if (sign_of(lo_[i]) != sign_of(hi_[i])) t = std::min(t, b - width * (hi_[i] / (hi_[i] - weight * lo_[i])));
      // Not onto a bracket end: inward by a tenth, or by half the resolution in a narrow bracket.
      const double inward = width > 5 * resolution ? 0.1 * width : 0.5 * resolution;
      if (!(t - a >= 0.5 * resolution)) t = a + inward;
      if (!(b - t >= 0.5 * resolution)) t = b - inward;
      previous = side;
      if (signals(t)) {
        b = t;
        keep(group, mid_, hi_);
        side = low;
      } else {
        a = t;
        keep(group, mid_, lo_);
        side = high;
      }
    }
  }

  // The group's signals at t from the state y (read at their own unknowns) into mid_; true when
  // one has left its sign.
  bool signals_at(std::span<const size_t> group, double t, const double* y) {
    const auto& parts = system_.switching_parts();
    bool any = false;
    for (const size_t p : group) {
      system_.part_roots(p, t, y, mid_.data() + parts[p].first_root);
      any = any || has_left(parts[p], mid_.data());
    }
    return any;
  }

  // y' of the same cubic at t, written into yp at the candidates' unknowns only: the rates that
  // the candidates' rows read in the check of a switch.
  void cubic_rate(double t, double* yp) {
    const double t0 = step_start_, t1 = t_;
    const double h = t1 - t0;
    const double s = (t - t0) / h;
    const double d00 = 6 * s * (s - 1), d10 = (3 * s - 1) * (s - 1), d01 = 6 * s * (1 - s), d11 = s * (3 * s - 2);
    const double* y1 = data(y_);
    const double* yp1 = data(yp_);
    for (const size_t p : candidates_)
      for (const size_t j : system_.switching_parts()[p].unknowns)
        yp[j] = (d00 * y_start_[j] + d01 * y1[j]) / h + d10 * yp_start_[j] + d11 * yp1[j];
  }

  // The cubic through (y, y') at the step's ends, at t, written at the given unknowns only.
  const double* cubic(const std::vector<size_t>& unknowns, double t) {
    const double t0 = step_start_, t1 = t_;
    const double h = t1 - t0;
    const double s = (t - t0) / h;
    const double h00 = (1 + 2 * s) * (1 - s) * (1 - s), h10 = s * (1 - s) * (1 - s);
    const double h01 = s * s * (3 - 2 * s), h11 = s * s * (s - 1);
    const double* y1 = data(y_);
    const double* yp1 = data(yp_);
    double* out = cubic_y_.data();
    for (const size_t j : unknowns)
      out[j] = h00 * y_start_[j] + h * h10 * yp_start_[j] + h01 * y1[j] + h * h11 * yp1[j];
    return out;
  }

  // Every candidate part whose signal has left at t (located in (a, b] on the cubic) switched
  // there: its flags renewed on the cubic's state, the outputs before t written, and one event
  // row. A switch that leaves F as it was goes on with IDA's history, and the part's signals at t,
  // under its new flags, start the rest of its step. Any other switch is located again on IDA's
  // interpolant and restarts IDA there (true).
  template <typename Emit>
  bool switch_parts(double a, double t, double b, N_Vector y_b, Emit emit) {
    const auto& parts = system_.switching_parts();
    ++stats_.events;
    for (const size_t p : candidates_) cubic(parts[p].unknowns, t);
    cubic_rate(t, data(event_yp_));
    bool smooth = true;
    bool changed = false;
    // Should rounding leave no candidate across at the bracket's end, none is located again in
    // this step: whatever is left is taken at its end.
    const bool none_left =
        std::none_of(candidates_.begin(), candidates_.end(), [&](size_t p) { return has_left(parts[p], hi_.data()); });
    switching_.clear();
    for (const size_t p : candidates_) {
      if (none_left) switched_[p] = kLocatedPerStep;
      if (!has_left(parts[p], hi_.data())) continue;
      switching_.push_back(p);
      ++switched_[p];
      smooth = renew_smoothly(p, t, cubic_y_.data(), data(event_yp_), changed) && smooth;
    }
    if (changed) ++stats_.mode_changes;
    if (!smooth) return restart_at_switch(a, b, emit);
    emit(t);
    observer_.sample(t, event_row(t), true);
    last_sample_ = t;
    for (const size_t p : candidates_) {
      // The rest of the step starts at t: the part's signals there under its flags now.
      const SwitchingPart& part = parts[p];
      const auto first = static_cast<long>(part.first_root);
      if (std::find(switching_.begin(), switching_.end(), p) != switching_.end()) {
        system_.part_roots(p, t, cubic_y_.data(), g_lo_.data() + first);
        system_.part_roots(p, b, data(y_b), g_hi_.data() + first);
      } else {
        std::copy(hi_.begin() + first, hi_.begin() + first + static_cast<long>(part.n_roots), g_lo_.begin() + first);
      }
    }
    return false;
  }

  // A switch that changes F: its flags back as they were, the switch located on IDA's
  // interpolant, the flags renewed on IDA's state there, re-solved until they settle, and IDA
  // restarted from there. Event rows before and after.
  template <typename Emit>
  bool restart_at_switch(double a, double b, Emit emit) {
    const auto& parts = system_.switching_parts();
    for (const size_t p : switching_) system_.renew_part(p, a, cubic(parts[p].unknowns, a));
    const double t = locate_on_ida(a, b);
    emit(t);
    observer_.sample(t, data(event_y_), true);
    for (const size_t p : candidates_)
      if (has_left(parts[p], hi_.data())) system_.renew_part(p, t, data(event_y_));
    double h = 0.0;
    IDAGetLastStep(ida_.get(), &h);
    N_VScale(1.0, event_y_.get(), y_.get());
    interpolate(t, 1, yp_.get());
    t_ = t;
    settle_modes();
    // Restart at the step the solution was resolved with rather than from a guess.
    if (h > 0.0) check(IDASetInitStep(ida_.get(), h), "IDASetInitStep");
    sample_switched_state();
    return true;
  }

  // The state at t for the event row of a switch that keeps IDA's history: IDA's interpolant, as
  // at the output times, so that the rows of one run come from one curve. Skipped for an observer
  // that reads no variable.
  const double* event_row(double t) {
    const std::vector<size_t>* wanted = observer_.reads();
    if (wanted == nullptr || !wanted->empty()) interpolate(t, 0, event_y_.get());
    return data(event_y_);
  }

  // The k-th derivative of IDA's interpolant at t, within the last step; at the step's end the
  // state itself, as IDA returned it (the interpolant can differ from it by rounding, which
  // matters for a signal resting on zero).
  void interpolate(double t, int k, N_Vector out) {
    if (t == t_ && k <= 1) return N_VScale(1.0, k == 0 ? y_.get() : yp_.get(), out);
    check(IDAGetDky(ida_.get(), t, k, out), "IDAGetDky");
  }

  // The event row after a restart: the state re-solved under the new flags.
  void sample_switched_state() {
    observer_.sample(t_, data(y_), true);
    last_sample_ = t_;
  }

  // Re-solves the state under renewed flags and renews them again until they stay (bounded).
  void settle_modes() {
    ++stats_.restarts;
    for (int iteration = 0;; ++iteration) {
      consistent_restart(t_);
      const std::vector<std::string> changed = renew_all(system_, t_, data(y_));
      if (changed.empty()) break;
      chatter_check(iteration, changed, t_);
    }
  }

  void chatter_check(int iteration, const std::vector<std::string>& changed, double t) {
    if (iteration + 1 < kMaxModeIterations) return;
    std::set<std::string> names(changed.begin(), changed.end());
    std::string list;
    for (const auto& name : names) list += (list.empty() ? "" : ", ") + name;
    throw Failure{fmt::format("mode flags do not settle at t = {} after {} renewals: {} keep switching", t,
                              kMaxModeIterations, list)};
  }

  // Restarts IDA at t from (y, y'), keeping the counters of the run so far.
  void reinit(double t) {
    accumulate();
    check(IDAReInit(ida_.get(), t, y_.get(), yp_.get()), "IDAReInit");
    restarted_ = true;
    check(IDASetStopTime(ida_.get(), next_stop(t)), "IDASetStopTime");
    t_ = t;
  }

  // The first kink or jump of a signal after t, or the end of the run.
  double next_stop(double t) const {
    const auto it = std::upper_bound(breakpoints_.begin(), breakpoints_.end(), t + close(t, t));
    return it == breakpoints_.end() ? run_.stop_time : std::min(*it, run_.stop_time);
  }

  // Two times closer than this are the same time to IDA.
  static double close(double a, double b) { return 4 * kRoundoff * std::max(std::abs(a), std::abs(b)); }

  void accumulate() {
    void* ida = ida_.get();
    if (ida == nullptr) return;
    long steps = 0, residuals = 0, jacobians = 0, error_fails = 0, convergence_fails = 0;
    IDAGetNumSteps(ida, &steps);
    IDAGetNumResEvals(ida, &residuals);
    IDAGetNumJacEvals(ida, &jacobians);
    IDAGetNumErrTestFails(ida, &error_fails);
    IDAGetNumNonlinSolvConvFails(ida, &convergence_fails);
    double last = 0.0;
    if (IDAGetLastStep(ida, &last) == IDA_SUCCESS && last != 0.0) stats_.last_step = last;
    stats_.steps += steps;
    stats_.residual_evaluations += residuals;
    stats_.jacobian_evaluations += jacobians;
    stats_.error_test_failures += error_fails;
    stats_.convergence_failures += convergence_fails;
    // IDAReInit zeroes IDA's counters (and the next solve its linear solver's): every restart
    // goes through here first, so nothing is counted twice.
    long kin_residuals = 0;
    if (kin_ != nullptr && KINGetNumFuncEvals(kin_.get(), &kin_residuals) == KIN_SUCCESS) {
      stats_.residual_evaluations += kin_residuals - kin_residuals_counted_;
      kin_residuals_counted_ = kin_residuals;
    }
  }

  std::string integration_failure(int flag) {
    void* ida = ida_.get();
    double h = 0.0;
    IDAGetLastStep(ida, &h);
    double tried = 0.0;
    IDAGetCurrentStep(ida, &tried);
    std::string message =
        fmt::format("the integrator failed at t = {} (last step {:.3g} s, step tried {:.3g} s): {}", t_, h, tried,
                    last_error_.empty() ? flag_name(IDAGetReturnFlagName, flag) : last_error_);
    if (non_finite_row_ < n_)
      message += fmt::format("; the residual of {} was not finite at t = {}", system_.equation_names()[non_finite_row_],
                             non_finite_time_);
    // Where it went wrong: the largest weighted local error, and the largest residual at the
    // last iterate, both scaled to error-weight units.
    N_Vector weights = scratch_.get();
    if (IDAGetErrWeights(ida, weights) == IDA_SUCCESS && IDAGetEstLocalErrors(ida, u_scale_.get()) == IDA_SUCCESS) {
      const double* w = data(scratch_);
      const double* e = data(u_scale_);
      size_t worst = 0;
      double largest = -1.0;
      for (size_t i = 0; i < n_; ++i) {
        const double v = std::abs(e[i] * w[i]);
        if (v > largest || std::isnan(v)) {
          largest = v;
          worst = i;
          if (std::isnan(v)) break;
        }
      }
      message += fmt::format("; largest local error in {}", name_of(worst));
    }
    N_Vector y_current = nullptr;
    N_Vector yp_current = nullptr;
    double cj = 0.0;
    if (IDAGetCurrentY(ida, &y_current) == IDA_SUCCESS && IDAGetCurrentYp(ida, &yp_current) == IDA_SUCCESS &&
        IDAGetCurrentCj(ida, &cj) == IDA_SUCCESS && y_current != nullptr && yp_current != nullptr) {
      std::vector<double> y(N_VGetArrayPointer(y_current), N_VGetArrayPointer(y_current) + n_);
      std::vector<double> yp(N_VGetArrayPointer(yp_current), N_VGetArrayPointer(yp_current) + n_);
      error_weights(y.data(), data(u_scale_));
      scale_rows(t_, y.data(), yp.data(), cj, data(u_scale_));
      system_.residual(t_, y.data(), yp.data(), data(scratch_));
      message += fmt::format(", largest residual in {}", worst_equation(data(scratch_)));
    }
    return message;
  }

  // ---- Jacobian ---------------------------------------------------------------------------------

  // values_ = dF/dy + cj·dF/dy' with every non-finite entry replaced by the secant of its residual
  // over the variable's error tolerance either side: an infinite slope (q = k·√|Δp| at Δp = 0)
  // becomes the slope of the law linearised over the band the solution is resolved to.
  void evaluate_jacobian(double t, const double* y, const double* yp, double cj) {
    system_.jacobian(t, y, yp, cj, values_.data());
    const SparsityPattern& pattern = system_.pattern();
    for (size_t col = 0; col < n_; ++col) {
      bool probed = false;
      for (auto k = pattern.column_starts[col]; k < pattern.column_starts[col + 1]; ++k) {
        double& v = values_[static_cast<size_t>(k)];
        if (std::isfinite(v)) continue;
        const auto row = static_cast<size_t>(pattern.row_indices[static_cast<size_t>(k)]);
        const double delta = run_.relative_tolerance * std::abs(y[col]) + N_VGetArrayPointer(atol_.get())[col];
        if (!probed) {
          probed = true;
          std::copy(y, y + n_, probe_.begin());
          probe_[col] = y[col] + delta;
          system_.residual(t, probe_.data(), yp, F_plus_.data());
          probe_[col] = y[col] - delta;
          system_.residual(t, probe_.data(), yp, F_minus_.data());
        }
        const double was = v;
        const double secant = (F_plus_[row] - F_minus_[row]) / (2.0 * delta);
        v = std::isfinite(secant) ? secant : 0.0;
        if (!regularised_) {
          regularised_ = true;
          try {
            observer_.note(
                fmt::format("t = {}: the Jacobian entry of {} with respect to {} is {}; replaced by the secant over "
                            "+-{:.3g} ({:.6g}), here and wherever it happens again, without further notice",
                            t, system_.equation_names()[row], name_of(col), was, delta, v));
          } catch (...) {
          }
        }
      }
    }
  }

  void fill(SUNMatrix J) const {
    const SparsityPattern& pattern = system_.pattern();
    if (dense_) {
      SUNMatZero(J);
      for (size_t col = 0; col < n_; ++col) {
        double* column = SUNDenseMatrix_Column(J, static_cast<sunindextype>(col));
        for (auto k = pattern.column_starts[col]; k < pattern.column_starts[col + 1]; ++k)
          column[pattern.row_indices[static_cast<size_t>(k)]] = values_[static_cast<size_t>(k)];
      }
      return;
    }
    // The matrix is zeroed, pattern included, before every evaluation: lay the fixed pattern again.
    static_assert(sizeof(sunindextype) == sizeof(int64_t));
    std::memcpy(SUNSparseMatrix_IndexPointers(J), pattern.column_starts.data(), (n_ + 1) * sizeof(int64_t));
    std::memcpy(SUNSparseMatrix_IndexValues(J), pattern.row_indices.data(), nnz_ * sizeof(int64_t));
    std::memcpy(SUNSparseMatrix_Data(J), values_.data(), nnz_ * sizeof(double));
  }

  // The largest |dF_r/dy_j| / w_j over each row: how much row r moves for a change of one error
  // weight in some variable. Used to read residuals as corrections.
  void scale_rows(double t, const double* y, const double* yp, double cj, const double* w) {
    evaluate_jacobian(t, y, yp, cj);
    scale_rows_by_last_jacobian(w);
  }

  // The same from the Jacobian evaluated last: row scales change slowly, and an event is too
  // frequent a thing to pay a Jacobian for.
  void scale_rows_by_last_jacobian(const double* w) {
    std::fill(row_scale_.begin(), row_scale_.end(), 0.0);
    const SparsityPattern& pattern = system_.pattern();
    for (size_t col = 0; col < n_; ++col)
      for (auto k = pattern.column_starts[col]; k < pattern.column_starts[col + 1]; ++k) {
        auto r = static_cast<size_t>(pattern.row_indices[static_cast<size_t>(k)]);
        row_scale_[r] = std::max(row_scale_[r], std::abs(values_[static_cast<size_t>(k)]) / w[col]);
      }
  }

  // 1 / (rtol·|y| + atol): the inverse of the error tolerance of each variable.
  void error_weights(const double* y, double* w) const {
    const double* atol = N_VGetArrayPointer(atol_.get());
    for (size_t i = 0; i < n_; ++i) w[i] = 1.0 / (run_.relative_tolerance * std::abs(y[i]) + atol[i]);
  }

  std::string worst_equation(const double* F) const {
    size_t worst = 0;
    double largest = -1.0;
    for (size_t r = 0; r < n_; ++r) {
      const double v = std::abs(F[r]) / (row_scale_[r] > 0.0 ? row_scale_[r] : 1.0);
      if (std::isnan(v)) return fmt::format("{} (not a number)", system_.equation_names()[r]);
      if (v > largest) {
        largest = v;
        worst = r;
      }
    }
    return fmt::format("{} ({:.3g})", system_.equation_names()[worst], F[worst]);
  }

  // ---- callbacks --------------------------------------------------------------------------------

  static Integrator& self(void* user) { return *static_cast<Integrator*>(user); }

  static bool finite(const double* v, size_t n) {
    for (size_t i = 0; i < n; ++i)
      if (!std::isfinite(v[i])) return false;
    return true;
  }

  static int ida_residual(sunrealtype t, N_Vector y, N_Vector yp, N_Vector F, void* user) {
    Integrator& s = self(user);
    s.system_.residual(t, data(y), data(yp), data(F));
    if (finite(data(F), s.n_)) return 0;
    const double* f = data(F);
    s.non_finite_row_ = static_cast<size_t>(std::find_if(f, f + s.n_, [](double v) { return !std::isfinite(v); }) - f);
    s.non_finite_time_ = t;
    return 1;  // recoverable: IDA retries with a smaller step
  }

  static int ida_jacobian(sunrealtype t, sunrealtype cj, N_Vector y, N_Vector yp, N_Vector, SUNMatrix J, void* user,
                          N_Vector, N_Vector, N_Vector) {
    Integrator& s = self(user);
    s.evaluate_jacobian(t, data(y), data(yp), cj);
    s.fill(J);
    return 0;
  }

  static int kin_residual(N_Vector u, N_Vector F, void* user) {
    Integrator& s = self(user);
    s.derivatives_from(data(u));
    s.system_.residual(s.newton_t_, data(u), data(s.yp_), data(F));
    return finite(data(F), s.n_) ? 0 : 1;
  }

  static int kin_jacobian(N_Vector u, N_Vector, SUNMatrix J, void* user, N_Vector, N_Vector) {
    Integrator& s = self(user);
    s.derivatives_from(data(u));
    s.evaluate_jacobian(s.newton_t_, data(u), data(s.yp_), s.newton_cj_);
    s.fill(J);
    ++s.stats_.jacobian_evaluations;
    return 0;
  }

  static void on_error(int, const char* module, const char* function, char* message, void* user) {
    try {
      self(user).last_error_ = fmt::format("{} in {}: {}", module, function, message);
    } catch (...) {
    }
  }

  // ---- helpers ----------------------------------------------------------------------------------

  static double* data(N_Vector v) { return N_VGetArrayPointer(v); }
  static double* data(const Vector& v) { return N_VGetArrayPointer(v.get()); }

  const std::string& name_of(size_t i) const { return system_.variable_names()[i]; }

  void note_once(bool& said, const std::string& text) {
    if (said) return;
    said = true;
    observer_.note(text);
  }

  DaeSystem& system_;
  const RunSettings& run_;
  Observer& observer_;
  const size_t n_;
  size_t nnz_ = 0;
  bool dense_ = true;

  std::vector<double> differential_;  // 1 for a differential variable, 0 for an algebraic one
  std::vector<double> values_;        // Jacobian values in pattern order
  std::vector<double> row_scale_;
  std::vector<double> before_switch_, after_switch_;  // a part's rows of F either side of its switch
  std::vector<double> g_lo_, g_hi_;                   // every signal at the start and end of a step
  std::vector<double> rate_lo_, rate_hi_;             // and their rates of change there
  std::vector<double> lo_, hi_, mid_;                 // a part's signals while its switch is located
  std::vector<double> since_;                         // per part: the time its entry of g_lo_ is at
  std::vector<std::pair<double, size_t>> pending_;    // located crossings not yet switched: time, part
  std::vector<double> y_start_, yp_start_, cubic_y_;  // (y, y') at the step's start; the cubic between
  double step_start_ = 0.0;
  std::vector<size_t> candidates_;                // parts whose signals change sign in a step
  std::vector<size_t> switching_;                 // of those, the ones switching at a located time
  std::vector<int> switched_;                     // per part: switches located in this step
  std::vector<double> breakpoints_;               // kinks and jumps of the signals, ascending
  std::vector<double> roots_;                     // the zero-crossing signals at an event
  std::vector<double> probe_, F_plus_, F_minus_;  // for the secant of a non-finite entry

  Context context_;
  Vector y_, yp_, id_, atol_, scratch_, u_scale_, f_scale_;
  Vector event_y_, event_yp_, probe_y_, dense_y_;  // interpolated states: at a switch, while locating, at outputs
  Vector split_y_;                                 // where a signal is found across zero within a step
  Matrix ida_matrix_, kin_matrix_;
  LinearSolver ida_solver_, kin_solver_;
  IdaMemory ida_;
  KinMemory kin_;

  double t_ = 0.0;
  double last_sample_ = -HUGE_VAL;
  double tout_ = 0.0;      // the next output time
  long next_output_ = 1;   // its index
  bool restarted_ = true;  // IDA begins afresh: the signals at the start are to be taken again
  double newton_t_ = 0.0;
  double newton_cj_ = 0.0;
  const double* newton_base_ = nullptr;
  long kin_residuals_counted_ = 0;
  size_t non_finite_row_ = SIZE_MAX;  // the last equation whose residual was not finite, and when
  double non_finite_time_ = 0.0;
  bool regularised_ = false;
  bool projected_ = false;
  std::string last_error_;
  SolverStatistics stats_;
};

}  // namespace

Outcome simulate(DaeSystem& system, const RunSettings& run, Observer& observer) {
  Integrator integrator(system, run, observer);
  return integrator.run();
}

}  // namespace penstock::sim
